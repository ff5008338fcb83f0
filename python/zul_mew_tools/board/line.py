"""What the line is doing: exchanges per second, errors by kind, the last round
trip, and its last frames when they are traced."""

from __future__ import annotations

import collections
import logging
import threading
import time
from typing import Any, Deque, Dict

import zul_mew

from ..vocabulary import failure_kind

# How far back the exchange rate looks, in seconds.
RATE_WINDOW = 2.0
# How many traced frames the board keeps to show.
TRACE_LINES = 200
# What an exchange cut short takes for its answer: no answer frame begins so,
# so the exchange fails at once as with a malformed answer.
CUT_SHORT = "cut short"


class LineStats:
    """Counts kept by the thread that talks to the line, read by the one that shows them."""

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._done: Deque[float] = collections.deque(maxlen=4096)
        self._errors: Dict[str, int] = {}
        self.last_round_trip = 0.0

    def answered(self, started: float, ended: float) -> None:
        with self._lock:
            self._done.append(ended)
            self.last_round_trip = ended - started

    def failed(self, error: BaseException, ended: float) -> None:
        kind = failure_kind(error)
        with self._lock:
            self._done.append(ended)
            self._errors[kind] = self._errors.get(kind, 0) + 1

    def rate(self, now: float) -> float:
        """Exchanges per second over the last few seconds."""
        with self._lock:
            recent = sum(1 for ended in self._done if ended > now - RATE_WINDOW)
        return recent / RATE_WINDOW

    def errors(self) -> Dict[str, int]:
        with self._lock:
            return dict(self._errors)


class CountingManager(zul_mew.InstManager):
    """An instrument manager that counts every exchange of its master side,
    discovery, refreshes and writes alike, and whose exchange in progress can
    be cut short."""

    def __init__(self, *args: Any, **kwargs: Any) -> None:
        self.stats = LineStats()
        super().__init__(*args, **kwargs)

    def query(self, command: str) -> str:
        started = time.monotonic()
        try:
            answer = super().query(command)
        except Exception as error:
            self.stats.failed(error, time.monotonic())
            raise
        self.stats.answered(started, time.monotonic())
        return answer

    def cut_short(self) -> None:
        """Ends the exchange waiting for its answer, if any, at once rather than
        at its time-out: a board told to quit does not wait for a silent station."""
        with self._listener_lock:
            for listener in self._feedback_listeners:
                listener.put(CUT_SHORT)


class TracedLines(logging.Handler):
    """The trace's last lines, and what the node prints of the line (a frame it
    could not read or deliver), kept for the board to show: printed, they would
    tear the screen the board draws on the same terminal."""

    def __init__(self) -> None:
        super().__init__()
        self.lines: Deque[str] = collections.deque(maxlen=TRACE_LINES)

    def emit(self, record: logging.LogRecord) -> None:
        self.lines.append(record.getMessage())

    def write(self, text: str) -> int:
        self.lines.extend(line for line in text.splitlines() if line)
        return len(text)
