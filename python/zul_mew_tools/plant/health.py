"""A station's health: up from its first answer, down from its first silence,
and while it is down, when to try it again.

A silent station costs a query time-out each time it is asked, so it is asked
again after a back-off: first after the station's interval (or the query
time-out, when that is longer: a station is not tried again sooner than one
try lasts), then after twice as long each time it stays silent, up to a bound.
A line that is away (the device pulled) costs nothing to try, as the exchange
fails at once: its back-off does not grow, so the stations are back soon after
the line is.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Optional

# The longest a silent station waits for its next try, in seconds.
LONGEST_WAIT = 30.0


@dataclass(frozen=True)
class HealthChange:
    """A station came up (its first answer, or the first after a silence) or went
    down; ``reason`` is the failure kind that took it down (``timeout``, or
    ``line`` when the line itself is away), empty when it came up."""

    time: float  # seconds since the epoch
    station: int
    up: bool
    reason: str = ""


class Health:
    """The health of one station, kept by the scheduler's thread."""

    def __init__(self, first_wait: float, longest_wait: float = LONGEST_WAIT) -> None:
        self.up: Optional[bool] = None  # None: not asked yet
        self.reason = ""
        self._first_wait = first_wait
        self._longest_wait = max(longest_wait, first_wait)
        self._wait = first_wait
        self.retry_at = 0.0
        self.latest = 0.0

    def answered(self) -> bool:
        """An answer came: the station is up. True when that is news."""
        news = self.up is not True
        self.up, self.reason, self._wait = True, "", self._first_wait
        return news

    def silent(self, kind: str, now: float) -> bool:
        """No answer came (``kind`` ``timeout`` or ``line``): the station is down
        until it answers; it is tried again at ``retry_at``, in a gap of the
        schedule where it holds up no live station, and at ``latest`` whether or
        not a gap came. True when that is news."""
        news = self.up is not False
        if news:
            self._wait = self._first_wait
        self.up, self.reason = False, kind
        self.retry_at = now + self._wait
        self.latest = self.retry_at + self._wait
        if kind != "line":
            self._wait = min(2 * self._wait, self._longest_wait)
        return news
