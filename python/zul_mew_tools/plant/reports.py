"""Report by exception: a point's value is reported when it is news, not each
time it is read.

A number is news when it moved more than its deadband since its last report, a
contact or a word of contacts on every change, any value when ``max_age``
passed since its last report, and the first value and every change of quality
(a good answer after a failure, a failure after good answers) always. A failure
is reported once, however long it lasts and whatever it turns into: an exchange
that timed out as the device was pulled, then the line away.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Optional

from .points import Point, PointValue, changed

GOOD = "good"


@dataclass(frozen=True)
class Report:
    """A point's value, or its failure: ``value`` is scaled into the point's
    units (bool for a contact), None unless ``quality`` is ``good``; otherwise
    ``quality`` is the failure kind as ``poll`` counts it (``timeout``, ``line``,
    ``error 61``...)."""

    time: float  # seconds since the epoch, when the answer came
    station: int
    point: str
    value: Optional[PointValue]
    quality: str = GOOD

    @property
    def good(self) -> bool:
        return self.quality == GOOD


class PointState:
    """What was last reported of one point, and its last good reading."""

    def __init__(self, station: int, point: Point) -> None:
        self.station = station
        self.point = point
        self.reported: Optional[Report] = None
        self.reported_at = 0.0  # monotonic time of the last report
        self.known: Optional[Report] = None

    def read(self, value: PointValue, time: float, now: float) -> Optional[Report]:
        """A good reading at ``time`` (``now`` on the monotonic clock): its
        report, if it is news."""
        report = Report(time, self.station, self.point.name, value)
        self.known = report
        last = self.reported
        aged = self.point.max_age is not None and now - self.reported_at >= self.point.max_age
        if (
            last is None
            or last.value is None
            or aged
            or changed(last.value, value, self.point.deadband)
        ):
            return self._made(report, now)
        return None

    def failed(self, kind: str, time: float, now: float) -> Optional[Report]:
        """A failed reading: its report, when the point was good before."""
        if self.reported is not None and not self.reported.good:
            return None
        return self._made(Report(time, self.station, self.point.name, None, kind), now)

    def _made(self, report: Report, now: float) -> Report:
        self.reported, self.reported_at = report, now
        return report
