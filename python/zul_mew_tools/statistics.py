"""How a line did with one station or one place: requests sent and answered,
errors by the kind of failure, and the round trips, as ``zul-mew poll`` and the
plant's scheduler count them."""

from __future__ import annotations

import collections
import copy
from typing import Counter, Optional


class Statistics:
    """Counts of exchanges as they end: an exchange cut short (Ctrl-C, a stop) is
    no request sent. Round trips are kept as their least, sum and greatest, so
    that a count kept for days takes no more room than one kept for a minute."""

    def __init__(self) -> None:
        self.answered = 0
        self.errors: Counter[str] = collections.Counter()
        self.fastest: Optional[float] = None
        self.slowest: Optional[float] = None
        self.last_round_trip: Optional[float] = None
        self._total = 0.0

    def add_answer(self, round_trip: float) -> None:
        self.answered += 1
        self._total += round_trip
        self.last_round_trip = round_trip
        self.fastest = round_trip if self.fastest is None else min(self.fastest, round_trip)
        self.slowest = round_trip if self.slowest is None else max(self.slowest, round_trip)

    def add_failure(self, kind: str) -> None:
        """One exchange that got no good answer, by its failure kind (``timeout``...)."""
        self.errors[kind] += 1

    @property
    def sent(self) -> int:
        return self.answered + sum(self.errors.values())

    @property
    def failed(self) -> int:
        return sum(self.errors.values())

    @property
    def mean_round_trip(self) -> Optional[float]:
        return self._total / self.answered if self.answered else None

    def copy(self) -> "Statistics":
        return copy.deepcopy(self)

    def summary(self, what: str) -> str:
        """The lines that close a run: ``what`` names the station or place."""
        kinds = ", ".join(f"{n} {kind}" for kind, n in sorted(self.errors.items()))
        loss = 100.0 * self.failed / self.sent if self.sent else 0.0
        lines = [
            f"--- {what} statistics ---",
            f"{self.sent} requests sent, {self.answered} answered, {self.failed} errors"
            + (f" ({kinds})" if kinds else "")
            + f", {loss:.1f}% loss",
        ]
        if self.fastest is not None and self.slowest is not None:
            low, high = 1000 * self.fastest, 1000 * self.slowest
            mean = 1000 * self._total / self.answered
            lines.append(f"round trip min/avg/max = {low:.3f}/{mean:.3f}/{high:.3f} ms")
        return "\n".join(lines)
