"""The requests that read points of one station: as few as the protocol allows.

Registers next to each other (or overlapping: two names for one register) are
read by one RD; the contacts of one word, and the words of contacts next to it,
by one word read (RCC) instead of one read each. No request reads more than
the line's ``max_words`` words, so that every frame stays short enough for the
stations of a real bus, and none reads a word that no point asked for.
"""

from __future__ import annotations

from dataclasses import dataclass
from itertools import groupby
from typing import Iterable, List, Sequence, Tuple

import zul_mew

from .points import Point, PointValue


@dataclass(frozen=True)
class Read:
    """One request: ``count`` words from ``first`` of one area of a station
    (``family`` as ``Place.family`` gives it), and the points it reads."""

    family: Tuple[str, str]
    first: int
    count: int
    points: Tuple[Point, ...]

    @property
    def name(self) -> str:
        """The first place the request names: ``D100`` for registers, ``WX0`` for contacts."""
        kind, area = self.family
        return f"{area}{self.first}" if kind == "register" else f"W{area}{self.first}"

    def ask(self, master: zul_mew.MewMaster, station: int) -> List[int]:
        """The words, from one exchange with ``station``."""
        if self.family[0] == "register":
            return master.get_multi_uint16(station, self.name, self.count)
        return master.get_multi_coil_uint16(station, self.name, self.count)

    def values(self, words: Sequence[int]) -> List[Tuple[Point, PointValue]]:
        """Each point's value from the words the request read."""
        found = []
        for point in self.points:
            at = point.place.word - self.first
            found.append((point, point.value_of(words[at : at + point.place.words])))
        return found


def plan(points: Iterable[Point], max_words: int) -> List[Read]:
    """The fewest requests that read ``points``, each of ``max_words`` words at most."""
    reads = []

    def family(point: Point) -> Tuple[str, str]:
        return point.place.family

    for key, members in groupby(sorted(points, key=lambda p: (family(p), p.place.word)), family):
        group: List[Point] = []
        first = end = 0
        for point in members:
            place = point.place
            reaches = max(end, place.word + place.words)
            if group and place.word <= end and reaches - first <= max_words:
                group.append(point)
                end = reaches
                continue
            if group:
                reads.append(Read(key, first, end - first, tuple(group)))
            group, first, end = [point], place.word, place.word + place.words
        reads.append(Read(key, first, end - first, tuple(group)))
    return reads
