"""A channel that outlives its port: when the port fails (a USB adapter pulled, a
network serial server gone), the channel closes it and opens it again, waiting
longer after each failed attempt up to a bound, until the device is back.

Meanwhile the node on it keeps running: a read returns nothing, as on a silent
line, and a frame to send fails at once with ``IOError``, so an exchange fails
without waiting for its time-out; one whose request left before the loss waits
for it, as the channel cannot reach the node's waiting master. Each loss and each
attempt is one record on the logger ``zul_mew_tools.reconnect``.
"""

from __future__ import annotations

import logging
import threading
import time
from typing import Callable, Optional

import zul_mew

from .vocabulary import is_protocol_error
from .wrapper import ChannelWrapper

logger = logging.getLogger("zul_mew_tools.reconnect")


class ReconnectingChannel(ChannelWrapper):
    """A channel over what ``open_port()`` returns, opened again after a failure.
    ``name`` names the port in messages; ``channel``, when given, is the port
    already open. Waits between attempts start at ``first_wait`` and double up to
    ``longest_wait`` seconds."""

    def __init__(
        self,
        open_port: Callable[[], zul_mew.Channel],
        name: str,
        channel: Optional[zul_mew.Channel] = None,
        first_wait: float = 0.1,
        longest_wait: float = 2.0,
        pause: float = 0.1,
    ) -> None:
        super().__init__(channel or open_port())
        self.name = name
        self._open_port = open_port
        self._first_wait = first_wait
        self._longest_wait = longest_wait
        self._pause = pause  # how long a read waits while the port is away, as a time-out
        self._lock = threading.Lock()
        self._closed = False
        self._attempts = 0
        self._wait = first_wait
        self._next_attempt = 0.0

    @property
    def connected(self) -> bool:
        return self.channel is not None

    def read(self, size: int = 1) -> str:
        channel = self.channel
        if channel is None:
            self._reconnect_when_due()
            return ""
        try:
            return channel.read(size)
        except (
            OSError,
            ValueError,
        ) as error:  # ValueError: pyserial's closed-port read
            self._lose(channel, error)
            return ""

    def receive_frame(self) -> str:
        channel = self.channel
        if channel is None:
            raise IOError(self._away())
        try:
            return channel.receive_frame()
        except OSError as error:
            if is_protocol_error(error):
                raise
            self._lose(channel, error)
            raise IOError(self._away()) from None

    def send_frame(self, data: str) -> None:
        channel = self.channel
        if channel is None:
            raise IOError(self._away())
        try:
            channel.send_frame(data)
        except (OSError, ValueError) as error:
            # The reader notices the loss and takes the port down; here the frame just fails.
            raise IOError(f"{self.name}: {error}") from None

    @property
    def in_waiting(self) -> int:
        channel = self.channel
        try:
            return channel.in_waiting if channel is not None else 0
        except (OSError, ValueError):
            return 0

    def close(self) -> None:
        with self._lock:
            self._closed = True
            channel, self.channel = self.channel, None
        if channel is not None:
            channel.close()

    def __repr__(self) -> str:
        return f"ReconnectingChannel({self.name!r})"

    def _away(self) -> str:
        return f"{self.name}: the port is away, reconnecting"

    def _lose(self, channel: zul_mew.Channel, error: BaseException) -> None:
        with self._lock:
            if self.channel is not channel:
                return
            self.channel = None
            self._attempts = 0
            self._wait = self._first_wait
            self._next_attempt = time.monotonic() + self._first_wait
        logger.warning("%s: lost (%s); reconnecting", self.name, error)
        try:
            channel.close()
        except (OSError, ValueError):
            pass  # the port is gone already

    def _reconnect_when_due(self) -> None:
        wait = self._next_attempt - time.monotonic()
        if wait > 0:
            time.sleep(min(wait, self._pause))
            return
        with self._lock:
            if self._closed:
                return
        self._attempts += 1
        try:
            channel = self._open_port()
        except (OSError, ValueError) as error:
            logger.info(
                "%s: attempt %d failed (%s); next in %g s",
                self.name,
                self._attempts,
                error,
                self._wait,
            )
            self._next_attempt = time.monotonic() + self._wait
            self._wait = min(2 * self._wait, self._longest_wait)
            return
        with self._lock:
            if self._closed:
                channel.close()
                return
            self.channel = channel
        logger.warning("%s: back at attempt %d", self.name, self._attempts)
