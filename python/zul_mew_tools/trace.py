"""A channel that passes every frame through unchanged and records it: which way
it went, when (monotonic time), the frame as written or read, whether its check
code holds, and for an answer the round trip since its request.

Records go to the logger ``zul_mew_tools.trace`` at DEBUG level and, when given,
to a host function. Any node takes the wrapper in place of its channel:
``MewMaster(TraceChannel(MewSerial(port=...)))``.
"""

from __future__ import annotations

import logging
import time
from typing import Callable, NamedTuple, Optional

import zul_mew
from zul_mew import MewStatic

from .vocabulary import check_of
from .wrapper import ChannelWrapper

logger = logging.getLogger("zul_mew_tools.trace")


class TracedFrame(NamedTuple):
    direction: str  # "sent" or "read"
    time: float  # time.monotonic() when the frame was written or completed
    frame: str
    check: str  # "ok", "bad", or "unchecked" for the pair "**"
    round_trip: Optional[float]  # seconds since the request, for an answer read


class TraceChannel(ChannelWrapper):
    """Wraps ``channel``; ``on_frame``, when given, is called with each ``TracedFrame``
    on the thread that wrote or read it."""

    def __init__(
        self,
        channel: zul_mew.Channel,
        on_frame: Optional[Callable[[TracedFrame], None]] = None,
    ) -> None:
        super().__init__(channel)
        self.channel: zul_mew.Channel = channel
        self.on_frame = on_frame
        self._began = time.monotonic()
        self._head = ""  # what read() gave of the frame receive_frame() completes
        self._request_sent: Optional[float] = None

    def read(self, size: int = 1) -> str:
        text = self.channel.read(size)
        self._head += text
        return text

    def receive_frame(self) -> str:
        head, self._head = self._head, ""
        rest = self.channel.receive_frame()
        now = time.monotonic()
        frame = head + rest
        trip = None
        if self._request_sent is not None and is_answer(frame):
            trip, self._request_sent = now - self._request_sent, None
        self._record(TracedFrame("read", now, frame, check_of(frame), trip))
        return rest

    def send_frame(self, data: str) -> None:
        # Recorded before it leaves: the answer may be read before the write returns.
        now = time.monotonic()
        if is_request(data):
            self._request_sent = now
        self._record(TracedFrame("sent", now, data, check_of(data), None))
        self.channel.send_frame(data)

    def _record(self, traced: TracedFrame) -> None:
        if logger.isEnabledFor(logging.DEBUG):
            trip = f"  {1000 * traced.round_trip:.1f} ms" if traced.round_trip is not None else ""
            logger.debug(
                "%9.6f  %-4s  %r  BCC %s%s",
                traced.time - self._began,
                traced.direction,
                traced.frame,
                traced.check,
                trip,
            )
        if self.on_frame is not None:
            self.on_frame(traced)


def _type_of(frame: str) -> str:
    try:
        return MewStatic.frame_type(frame)
    except (IndexError, ValueError):
        return ""


def is_request(frame: str) -> bool:
    return _type_of(frame) == MewStatic.QUERY


def is_answer(frame: str) -> bool:
    return _type_of(frame) in (MewStatic.FEEDBACK, MewStatic.ERROR)
