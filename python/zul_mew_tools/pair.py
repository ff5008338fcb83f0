"""Two connected channels in one process: what one end sends, the other end
reads, as over a null-modem cable, but with no port and nothing of the
operating system behind it, so it works wherever Python does. A master on one
end and a station on the other talk as over a real line: the guide's examples
and ``zul-mew demo`` run on a pair.

Each end behaves as a serial channel does: one character per byte (text
leaves as UTF-8), a read waits at most the end's time-out, a frame ends at its
carriage return, and a frame cut short fails with ``MewFormatError``. What an
end sends after its peer was closed is lost, as on a line nobody listens to.
"""

from __future__ import annotations

import threading
import time
from typing import Callable, Optional, Tuple

import zul_mew

_TAIL = b"\r"


class _Wire:
    """One direction of the pair: the bytes on their way, and who waits for them."""

    def __init__(self) -> None:
        self.data = bytearray()
        self.changed = threading.Condition()
        self.closed = False  # the reading end is closed: nothing arrives any more


class PairedChannel(zul_mew.Channel):
    """One end of a pair made by ``channel_pair``. ``timeout`` is the longest a
    read waits, in seconds, as a serial port's time-out (None waits until
    something arrives, the channel is closed or ``cancel_read`` is called)."""

    def __init__(self, incoming: _Wire, outgoing: _Wire, timeout: Optional[float]) -> None:
        self.timeout = timeout
        self._incoming = incoming
        self._outgoing = outgoing
        self._cancelled = False

    def read(self, size: int = 1) -> str:
        wire = self._incoming
        with wire.changed:
            self._wait(lambda: len(wire.data) > 0)
            taken = bytes(wire.data[:size])
            del wire.data[:size]
        return taken.decode("latin-1")

    def receive_frame(self) -> str:
        # The time-out bounds the gap between two bytes, not the frame.
        wire = self._incoming
        frame = bytearray()
        with wire.changed:
            while True:
                end = wire.data.find(_TAIL)
                if end >= 0:
                    frame += wire.data[: end + 1]
                    del wire.data[: end + 1]
                    return frame.decode("latin-1")
                frame += wire.data
                wire.data.clear()
                if not self._wait(lambda: len(wire.data) > 0):
                    break
        if not frame:
            raise zul_mew.MewFormatError("Error: device no response.")
        raise zul_mew.MewFormatError("Error: device response format invalid.")

    def send_frame(self, data: str) -> None:
        if self._incoming.closed:
            raise OSError("the channel is closed")
        wire = self._outgoing
        with wire.changed:
            if not wire.closed:
                wire.data += data.encode()
                wire.changed.notify_all()

    @property
    def in_waiting(self) -> int:
        with self._incoming.changed:
            return len(self._incoming.data)

    def close(self) -> None:
        wire = self._incoming
        with wire.changed:
            wire.closed = True
            wire.data.clear()
            wire.changed.notify_all()

    def flush_input(self) -> None:
        with self._incoming.changed:
            self._incoming.data.clear()

    def cancel_read(self) -> None:
        """Ends the read in progress at once, or the next one when none is: a
        node's ``stop`` calls it, so that a node with a long time-out stops
        without waiting for it."""
        with self._incoming.changed:
            self._cancelled = True
            self._incoming.changed.notify_all()

    def _wait(self, arrived: Callable[[], bool]) -> bool:
        # Whether something arrived within the time-out; called holding the wire's lock.
        wire = self._incoming
        deadline = None if self.timeout is None else time.monotonic() + self.timeout
        while not arrived():
            if wire.closed:
                raise OSError("the channel is closed")
            if self._cancelled:
                self._cancelled = False
                return False
            left = None if deadline is None else deadline - time.monotonic()
            if left is not None and left <= 0:
                return False
            wire.changed.wait(left)
        return True

    def __repr__(self) -> str:
        return f"PairedChannel(timeout={self.timeout!r})"


def channel_pair(timeout: Optional[float] = 0.1) -> Tuple[PairedChannel, PairedChannel]:
    """Two channels joined to each other, each with the read time-out ``timeout``."""
    one_way, other_way = _Wire(), _Wire()
    return (
        PairedChannel(one_way, other_way, timeout),
        PairedChannel(other_way, one_way, timeout),
    )
