"""The scheduler of one line: it reads the points of a tag file at their
intervals, with the fewest requests, rides out silent stations and a line that
goes away, carries out writes before anything else, and reports values by
exception.

```python
from zul_mew_tools.plant import Scheduler, load

with Scheduler(load("plant.toml")) as scheduler:
    for report in scheduler.reports():
        print(report.station, report.point, report.value, report.quality)
```

One thread talks to the line; everything another thread asks for (a write, the
last values, health, statistics) is handed over to it or read from what it
publishes, so a slow or silent station never holds up a caller.
"""

from __future__ import annotations

import logging
import queue
import threading
import time
from concurrent.futures import Future
from dataclasses import dataclass
from typing import Callable, Dict, FrozenSet, Iterator, List, Optional, Tuple, TypeVar

import zul_mew

from ..statistics import Statistics
from ..vocabulary import SILENT, failure_kind, reason
from .health import LONGEST_WAIT, Health, HealthChange
from .points import Point, PointValue
from .reads import Read, plan
from .reports import PointState, Report
from .tagfile import Station, TagFile

logger = logging.getLogger("zul_mew_tools.plant")

# A point due within this share of its interval is read with the points due now,
# so that points of one station with different intervals share requests.
EARLY = 0.1

Answer = TypeVar("Answer")
Ask = Callable[[zul_mew.MewMaster, int], Answer]


class WriteFailed(OSError):
    """A write the station did not take: ``kind`` is the failure kind as ``poll``
    counts it (``timeout``, ``line``, ``error 61``...); the message names the
    station, the point and the failure."""

    def __init__(self, message: str, station: int, point: str, kind: str) -> None:
        super().__init__(message)
        self.station, self.point, self.kind = station, point, kind


@dataclass
class _Write:
    station: int
    point: Point
    words: List[int]
    future: "Future[None]"


class _Work:
    """One station as the scheduler's thread keeps it."""

    def __init__(self, station: Station, max_words: int, waits: Tuple[float, float]) -> None:
        self.station = station
        self.number = station.number
        shortest = min(station.interval_of(point) for point in station.points)
        self.health = Health(max(shortest, waits[0]), waits[1])
        self.stats = Statistics()
        self.states = {point.name: PointState(station.number, point) for point in station.points}
        self.due = {point.name: 0.0 for point in station.points}
        self._max_words = max_words
        self._plans: Dict[FrozenSet[str], List[Read]] = {}

    def plan(self, names: FrozenSet[str]) -> List[Read]:
        if names not in self._plans:
            points = [point for point in self.station.points if point.name in names]
            self._plans[names] = plan(points, self._max_words)
        return self._plans[names]

    @property
    def live(self) -> bool:
        return self.health.up is not False

    def first_due(self) -> float:
        return min(self.due.values())

    def due_now(self, now: float) -> FrozenSet[str]:
        station = self.station
        return frozenset(
            point.name
            for point in station.points
            if self.due[point.name] - EARLY * station.interval_of(point) <= now
        )

    def read_again(self, names: FrozenSet[str], now: float) -> None:
        # Each point keeps its own beat; one that fell behind is read at the next chance.
        for point in self.station.points:
            if point.name in names:
                due = self.due[point.name] + self.station.interval_of(point)
                self.due[point.name] = max(due, now)

    def all_due(self, now: float) -> None:
        for name in self.due:
            self.due[name] = now


class Scheduler:
    """Reads the points of ``tags`` on one line until ``stop``.

    The line is ``master`` when given (the host opens, traces and closes it);
    otherwise the scheduler opens the port of ``tags.line`` at ``start``, rides
    out a device that goes away through ``ReconnectingChannel``, and closes it
    at ``stop``. A ``with`` block starts and stops it.

    Reports (see ``Report``) go to ``on_report`` when given, called on the
    scheduler's thread, which it must not hold up (hand the report over, as
    the sinks do); otherwise they wait for ``reports()``. ``on_health`` is
    called the same way with each ``HealthChange``: a station up at its first
    answer, down at its first silence; when the line itself is away, every
    station goes down, and each point reports its failure once.

    Each station's points are read at their intervals with the fewest
    requests (see ``reads``). A station that does not answer is down and is
    tried again after a back-off, from its interval (at least the query
    time-out) doubling up to ``longest_wait`` seconds, in a gap of the
    schedule where the try holds up no live station; so a dead station costs
    at most one query time-out per back-off period. ``write`` goes before any
    read, waiting at most for the exchange in progress.
    """

    def __init__(
        self,
        tags: TagFile,
        master: Optional[zul_mew.MewMaster] = None,
        *,
        on_report: Optional[Callable[[Report], None]] = None,
        on_health: Optional[Callable[[HealthChange], None]] = None,
        longest_wait: float = LONGEST_WAIT,
    ) -> None:
        self.tags = tags
        self._master = master
        self._owns_master = master is None
        self._on_report = on_report
        self._on_health = on_health
        self._reports: "Optional[queue.Queue[Optional[Report]]]" = (
            queue.Queue() if on_report is None else None
        )
        self._orders: "queue.Queue[Optional[_Write]]" = queue.Queue()
        query_timeout = master._query_timeout if master is not None else tags.line.query_timeout
        # What a try at a silent station costs: the whole query time-out.
        self._try_takes = float(query_timeout)
        waits = (self._try_takes, longest_wait)
        self._stations = {
            station.number: _Work(station, tags.line.max_words, waits) for station in tags.stations
        }
        # Guards what other threads read and the hand-over of writes.
        self._lock = threading.Lock()
        self._running = False
        self._stopping = threading.Event()
        self._thread: Optional[threading.Thread] = None

    # -- the host's side

    def start(self) -> None:
        """Opens the line (``OSError`` when its port cannot be opened) unless a
        master was given, and starts reading. A scheduler runs once."""
        if self._thread is not None:
            raise RuntimeError("the scheduler was started already")
        if self._master is None:
            line = self.tags.line
            self._master = zul_mew.MewMaster(line.open(), query_timeout=line.query_timeout)
        with self._lock:
            self._running = True
        self._thread = threading.Thread(target=self._run, name="zul-mew scheduler")
        self._thread.start()

    def stop(self) -> None:
        """Stops reading, after the exchange in progress; writes not carried out
        yet are cancelled; ``reports()`` ends after the last report. Closes the
        line it opened. No thread is left."""
        with self._lock:
            self._running = False
        self._stopping.set()
        self._orders.put(None)
        if self._thread is not None:
            self._thread.join()
        if self._owns_master and self._master is not None:
            self._master.close()

    def __enter__(self) -> "Scheduler":
        self.start()
        return self

    def __exit__(self, *exc: object) -> None:
        self.stop()

    def reports(self, timeout: Optional[float] = None) -> Iterator[Report]:
        """The reports as they come, when no ``on_report`` was given; ends when
        the scheduler has stopped and every report was handed out, or when
        none came for ``timeout`` seconds."""
        reports = self._reports
        if reports is None:
            raise RuntimeError("this scheduler hands its reports to on_report")
        while True:
            try:
                report = reports.get(timeout=timeout)
            except queue.Empty:
                return
            if report is None:
                reports.put(None)  # for the next reader too
                return
            yield report

    def write(self, station: int, point: str, value: PointValue) -> "Future[None]":
        """Writes ``value`` (in the point's units: scaled back, rounded to the
        form's step) to a writable point; the point is read back right after.

        Returns a future that holds the outcome: done when the station took
        it, ``WriteFailed`` when not, cancelled when the scheduler stopped
        first. ``ValueError`` at once, with nothing sent, for a station or
        point the tag file does not have, a read-only point or a value out of
        the point's range; ``RuntimeError`` when the scheduler is not running.
        """
        work = self._stations.get(station)
        if work is None:
            raise ValueError(f"no station {station} in the tag file")
        try:
            target = work.station.point(point)
        except KeyError as error:
            raise ValueError(error.args[0]) from None
        where = f"{work.station.label}, point {point!r}"
        if not target.writable:
            raise ValueError(f"{where} is read-only")
        try:
            words = target.words_for(value)
        except ValueError as error:
            raise ValueError(f"{where}: {error}") from None
        future: "Future[None]" = Future()
        with self._lock:
            if not self._running:
                raise RuntimeError("the scheduler is not running")
            self._orders.put(_Write(station, target, words, future))
        return future

    def last_values(self) -> Dict[Tuple[int, str], Report]:
        """The last good reading of every point read so far, by (station, point),
        reported or not; a point never read is not there."""
        with self._lock:
            return {
                (work.number, name): state.known
                for work in self._stations.values()
                for name, state in work.states.items()
                if state.known is not None
            }

    def health(self) -> Dict[int, Optional[bool]]:
        """Each station: up (True), down (False) or not asked yet (None)."""
        with self._lock:
            return {number: work.health.up for number, work in self._stations.items()}

    def statistics(self) -> Dict[int, Statistics]:
        """Each station's exchanges so far, as ``poll`` counts them (a copy)."""
        with self._lock:
            return {number: work.stats.copy() for number, work in self._stations.items()}

    # -- the scheduler's thread

    def _run(self) -> None:
        try:
            for work in self._stations.values():
                work.all_due(time.monotonic())
            while not self._stopping.is_set():
                self._carry_out_writes()
                now = time.monotonic()
                if not self._next_job(now):
                    self._wait_for_orders(self._next_time(now))
        finally:
            self._cancel_writes()
            if self._reports is not None:
                self._reports.put(None)

    def _next_job(self, now: float) -> bool:
        """Does the most pressing work due at ``now``; False when none is."""
        live = [work for work in self._stations.values() if work.live]
        due = [work for work in live if work.first_due() <= now]
        if due:
            self._read(min(due, key=_Work.first_due), now)
            return True
        next_live = min((work.first_due() for work in live), default=float("inf"))
        # A try at a down station may take a whole query time-out: it goes into a gap that
        # long, or when it waited one more back-off for one.
        gap = next_live - now >= self._try_takes
        tries = [
            work
            for work in self._stations.values()
            if not work.live and now >= work.health.retry_at and (gap or now >= work.health.latest)
        ]
        if tries:
            self._try(min(tries, key=lambda work: work.health.retry_at))
            return True
        return False

    def _next_time(self, now: float) -> float:
        times = []
        for work in self._stations.values():
            if work.live:
                times.append(work.first_due())
            else:
                health = work.health
                times.append(health.retry_at if health.retry_at > now else health.latest)
        return min(times, default=now + 1.0)

    def _read(self, work: _Work, now: float) -> None:
        names = work.due_now(now)
        for read in work.plan(names):
            if self._stopping.is_set():
                return
            self._carry_out_writes()
            if not work.live:
                return  # a write found the station silent
            self._take(work, read)
            if not work.live:
                return
        work.read_again(names, time.monotonic())

    def _try(self, work: _Work) -> None:
        # A station that answers again has all its points read at once.
        first = work.plan(frozenset(work.due))[0]
        self._take(work, first)

    def _take(self, work: _Work, read: Read) -> None:
        words, kind = self._exchange(work, read.ask)
        stamp, now = time.time(), time.monotonic()
        reports: List[Optional[Report]] = []
        with self._lock:
            if words is not None:
                for point, value in read.values(words):
                    reports.append(work.states[point.name].read(value, stamp, now))
            elif kind not in SILENT:
                # The station answered, if not well: the points of this request failed.
                for point in read.points:
                    reports.append(work.states[point.name].failed(kind, stamp, now))
        self._hand_out(reports)

    def _exchange(self, work: _Work, ask: "Ask[Answer]") -> Tuple[Optional[Answer], str]:
        """One exchange with ``work``'s station, counted: its answer and "", or
        None and the failure kind. Any answer, even an error answer, shows the
        station is there; a silence takes it down, and a line away every station."""
        assert self._master is not None
        began = time.monotonic()
        answer: Optional[Answer] = None
        kind = ""
        try:
            answer = ask(self._master, work.number)
        except (OSError, ValueError) as error:  # ValueError: an answer that does not parse
            kind = failure_kind(error)
            logger.debug("%s: %s", work.station.label, reason(error))
        ended = time.monotonic()
        with self._lock:
            if kind:
                work.stats.add_failure(kind)
            else:
                work.stats.add_answer(ended - began)
            news = kind not in SILENT and work.health.answered()
        if kind in SILENT:
            self._silent(work, kind)
        elif news:
            work.all_due(ended)
            self._tell(HealthChange(time.time(), work.number, True))
        return answer, kind

    def _silent(self, work: _Work, kind: str) -> None:
        gone = [work]
        if kind == "line":
            gone += [other for other in self._stations.values() if other.live and other is not work]
        stamp, now = time.time(), time.monotonic()
        for station in gone:
            with self._lock:
                news = station.health.silent(kind, now)
                reports = [state.failed(kind, stamp, now) for state in station.states.values()]
            if news:
                self._tell(HealthChange(stamp, station.number, False, kind))
                self._hand_out(reports)

    # -- writes

    def _carry_out_writes(self) -> None:
        self._each_order(self._carry_out)

    def _wait_for_orders(self, until: float) -> None:
        try:
            order = self._orders.get(timeout=max(0.0, until - time.monotonic()))
        except queue.Empty:
            return
        if order is not None:
            self._carry_out(order)

    def _carry_out(self, order: _Write) -> None:
        if not order.future.set_running_or_notify_cancel():
            return  # the caller cancelled it
        work, point = self._stations[order.station], order.point
        words = order.words
        _, kind = self._exchange(work, lambda master, station: _put(master, station, point, words))
        if kind:
            where = f"{work.station.label}, point {point.name!r}"
            failure = WriteFailed(f"{where} not written: {kind}", work.number, point.name, kind)
            order.future.set_exception(failure)
            return
        order.future.set_result(None)
        # What the station made of it is read back at once, with the points it touches.
        for other in work.station.points:
            if other.place.overlaps(point.place):
                work.due[other.name] = time.monotonic()

    def _cancel_writes(self) -> None:
        self._each_order(lambda order: order.future.cancel())

    def _each_order(self, act: Callable[[_Write], object]) -> None:
        """``act`` on every write waiting now; None is the wake-up of a stop."""
        while True:
            try:
                order = self._orders.get_nowait()
            except queue.Empty:
                return
            if order is not None:
                act(order)

    # -- handing out

    def _hand_out(self, reports: List[Optional[Report]]) -> None:
        for report in reports:
            if report is None:
                continue
            if self._reports is not None:
                self._reports.put(report)
                continue
            assert self._on_report is not None
            try:
                self._on_report(report)
            except Exception:
                logger.exception("on_report failed for %s", report)

    def _tell(self, change: HealthChange) -> None:
        if self._on_health is not None:
            try:
                self._on_health(change)
            except Exception:
                logger.exception("on_health failed for %s", change)


def _put(master: zul_mew.MewMaster, station: int, point: Point, words: List[int]) -> None:
    kind = point.place.kind
    if kind == "contact":
        master.set_coil(station, point.address, bool(words[0]))
    elif kind == "word":
        master.set_multi_coil_uint16(station, point.address, words)
    else:
        master.set_multi_uint16(station, point.address, words)
