"""A number's trend over the last minutes, as a sparkline of block characters."""

from __future__ import annotations

import collections
from typing import Deque, Optional, Tuple

BLOCKS = "▁▂▃▄▅▆▇█"
# How far back a trend looks, in seconds, and how many characters it takes.
SPAN = 180.0
WIDTH = 24


class Trend:
    """The readings of one number over the last ``span`` seconds."""

    def __init__(self, span: float = SPAN, width: int = WIDTH) -> None:
        self.span = span
        self.width = width
        self._readings: Deque[Tuple[float, float]] = collections.deque()

    def add(self, at: float, value: float) -> None:
        """A reading at ``at`` (seconds since the epoch); one already held is not held twice."""
        if not self._readings or at > self._readings[-1][0]:
            self._readings.append((at, value))

    def line(self, now: float) -> str:
        """The sparkline ending at ``now``: one character per ``span / width``
        seconds, each the last reading of its stretch (the one before it while
        nothing new came), the lowest reading shown lowest; blank before the
        first reading."""
        while self._readings and self._readings[0][0] < now - 2 * self.span:
            self._readings.popleft()
        step = self.span / self.width
        values: list[Optional[float]] = []
        readings = iter(self._readings)
        reading = next(readings, None)
        last: Optional[float] = None
        for column in range(self.width):
            end = now - self.span + (column + 1) * step
            while reading is not None and reading[0] <= end:
                last = reading[1]
                reading = next(readings, None)
            values.append(last)
        shown = [value for value in values if value is not None]
        if not shown:
            return " " * self.width
        low, high = min(shown), max(shown)
        top = len(BLOCKS) - 1
        return "".join(
            " "
            if value is None
            else BLOCKS[round((value - low) / (high - low) * top) if high > low else top // 2]
            for value in values
        )
