"""The base of the package's channel wrappers: a channel that hands every
operation to the channel it wraps, so that a wrapper states only what it
changes.

Besides the channel operations a wrapper passes on ``cancel_read``: a node's
``stop`` and ``close`` call it on their channel, and it ends a read in progress
on the port underneath at once, so that a line that sends without end cannot
hold a node's receiver in one frame. A wrapper of a host's own passes it on
the same way: ``def cancel_read(self): cancel_read(self.inner)``.
"""

from __future__ import annotations

from typing import Optional

import zul_mew


def cancel_read(channel: Optional[zul_mew.Channel]) -> None:
    """Ends a read in progress on ``channel``, where its port can: the serial
    port of a ``MewSerial``, or any channel with a ``cancel_read`` of its own."""
    if channel is None:
        return
    if isinstance(channel, zul_mew.MewSerial):
        cancel = getattr(getattr(channel, "_serial", None), "cancel_read", None)
    else:
        cancel = getattr(channel, "cancel_read", None)
    if cancel is not None:
        cancel()


class ChannelWrapper(zul_mew.Channel):
    """A channel over ``channel``, which every operation reaches unchanged. A
    wrapper whose port can be away sets ``channel`` to None meanwhile: nothing
    is waiting then, and there is nothing to close, flush or cancel."""

    def __init__(self, channel: Optional[zul_mew.Channel]) -> None:
        self.channel = channel

    def read(self, size: int = 1) -> str:
        assert self.channel is not None
        return self.channel.read(size)

    def receive_frame(self) -> str:
        assert self.channel is not None
        return self.channel.receive_frame()

    def send_frame(self, data: str) -> None:
        assert self.channel is not None
        self.channel.send_frame(data)

    @property
    def in_waiting(self) -> int:
        channel = self.channel
        return channel.in_waiting if channel is not None else 0

    def close(self) -> None:
        if self.channel is not None:
            self.channel.close()

    def flush_input(self) -> None:
        if self.channel is not None:
            self.channel.flush_input()

    def flush_output(self) -> None:
        if self.channel is not None:
            self.channel.flush_output()

    def cancel_read(self) -> None:
        cancel_read(self.channel)

    def __repr__(self) -> str:
        return f"{type(self).__name__}({self.channel!r})"
