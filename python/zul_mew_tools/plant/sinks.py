"""Where reports are kept: a CSV file, an SQLite database, or InfluxDB line
protocol on standard output (for Telegraf's ``execd`` input or ``influx
write``).

A sink takes reports from any thread (``write`` is the scheduler's
``on_report``) and keeps them on a thread of its own, so that a slow disk
never holds up the line. What it took is committed at least once a second;
``close`` keeps what is left, commits and closes, so nothing reported before it
is lost.

```python
from zul_mew_tools.plant import Scheduler, load
from zul_mew_tools.plant.sinks import open_sink

with open_sink("plant.sqlite") as sink, Scheduler(load("plant.toml"), on_report=sink.write):
    input("logging; Enter ends it")
```
"""

from __future__ import annotations

import csv
import datetime
import math
import os
import queue
import sqlite3
import sys
import threading
import time
from typing import IO, Callable, Dict, List, Optional, TextIO, Union

from .points import PointValue
from .reports import Report

# The longest a report waits to be committed, in seconds.
COMMIT_EVERY = 1.0
# The most reports kept in one go.
BATCH = 1000


class SinkError(OSError):
    """A sink that could not keep its reports; the message names it."""


class Sink:
    """The base of the sinks: ``write`` hands a report over, a thread of the
    sink keeps it; ``written`` counts what was kept. A sink that fails stops
    keeping and holds the failure in ``error``; ``close`` raises it."""

    def __init__(self, name: str) -> None:
        self.name = name
        self.written = 0
        self.error: Optional[SinkError] = None
        self._queue: "queue.Queue[Optional[Report]]" = queue.Queue()
        self._thread = threading.Thread(target=self._keep, name=f"zul-mew sink {name}")
        self._thread.start()

    def write(self, report: Report) -> None:
        if self.error is None:
            self._queue.put(report)

    def close(self) -> None:
        """Keeps every report written before, commits and closes; no thread is left."""
        if self._thread.is_alive():
            self._queue.put(None)
            self._thread.join()
        if self.error is not None:
            raise self.error

    def __enter__(self) -> "Sink":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    # -- what each sink does, on the sink's thread

    def _store(self, reports: List[Report]) -> None:
        raise NotImplementedError

    def _commit(self) -> None:
        raise NotImplementedError

    def _release(self) -> None:
        raise NotImplementedError

    # -- the sink's thread

    def _keep(self) -> None:
        committed = time.monotonic()
        pending = False
        ending = False
        try:
            while not ending:
                wait = max(0.0, committed + COMMIT_EVERY - time.monotonic()) if pending else None
                batch: List[Report] = []
                try:
                    item = self._queue.get(timeout=wait)
                    while True:
                        if item is None:
                            ending = True
                            break
                        batch.append(item)
                        if len(batch) == BATCH:
                            break
                        item = self._queue.get_nowait()
                except queue.Empty:
                    pass
                if batch:
                    self._store(batch)
                    self.written += len(batch)
                    pending = True
                if pending and (ending or time.monotonic() - committed >= COMMIT_EVERY):
                    self._commit()
                    committed, pending = time.monotonic(), False
        except (OSError, ValueError, sqlite3.Error) as error:
            self.error = SinkError(f"{self.name}: {error}")
        finally:
            try:
                self._release()
            except (OSError, ValueError, sqlite3.Error) as error:
                self.error = self.error or SinkError(f"{self.name}: {error}")


def iso_time(seconds: float) -> str:
    """A report's time as local time with its offset, to the millisecond."""
    moment = datetime.datetime.fromtimestamp(seconds).astimezone()
    return moment.isoformat(timespec="milliseconds")


def plain(value: Optional[PointValue]) -> Union[int, float, str]:
    """A value as a number: a contact is 1 or 0; no value is empty."""
    if value is None:
        return ""
    return int(value) if isinstance(value, bool) else value


class CsvSink(Sink):
    """Reports as rows of a CSV file: time, station, point, value, quality. A
    file that holds rows already is added to; a new one gets the header."""

    HEADER = ("time", "station", "point", "value", "quality")

    def __init__(self, path: str) -> None:
        self._file: IO[str] = open(path, "a", newline="", encoding="utf-8")
        self._csv = csv.writer(self._file, lineterminator="\n")
        if self._file.tell() == 0:
            self._csv.writerow(self.HEADER)
        super().__init__(path)

    def _store(self, reports: List[Report]) -> None:
        for report in reports:
            row = [iso_time(report.time), report.station, report.point, plain(report.value)]
            self._csv.writerow([*row, report.quality])

    def _commit(self) -> None:
        self._file.flush()

    def _release(self) -> None:
        self._file.close()


class SqliteSink(Sink):
    """Reports as rows of the table ``reports`` of an SQLite database, in WAL
    mode, so that another program reads while the log writes: ``time`` in
    seconds since 1970 (UTC), ``station``, ``point``, ``value`` (NULL for a
    failure), ``quality``; an index on point and time."""

    SCHEMA = """
    CREATE TABLE IF NOT EXISTS reports (
        time REAL NOT NULL,
        station INTEGER NOT NULL,
        point TEXT NOT NULL,
        value,
        quality TEXT NOT NULL
    );
    CREATE INDEX IF NOT EXISTS reports_by_point ON reports (point, time);
    """

    def __init__(self, path: str) -> None:
        # Made here, so that a database that cannot be opened fails before the line is;
        # used by the sink's thread alone from then on.
        self._db = sqlite3.connect(path, check_same_thread=False)
        try:
            self._db.execute("PRAGMA journal_mode=WAL")
            self._db.executescript(self.SCHEMA)
        except sqlite3.Error:
            self._db.close()
            raise
        super().__init__(path)

    def _store(self, reports: List[Report]) -> None:
        self._db.executemany(
            "INSERT INTO reports (time, station, point, value, quality) VALUES (?, ?, ?, ?, ?)",
            [(r.time, r.station, r.point, r.value, r.quality) for r in reports],
        )

    def _commit(self) -> None:
        self._db.commit()

    def _release(self) -> None:
        self._db.close()


class LineProtocolSink(Sink):
    """Reports as InfluxDB line protocol on ``stream`` (standard output):
    measurement ``zul_mew``, tags ``station`` and ``point``, fields ``value``
    (a float; a contact 1 or 0; none for a failure) and ``quality``, the time
    in nanoseconds."""

    def __init__(self, stream: Optional[TextIO] = None, measurement: str = "zul_mew") -> None:
        self._stream = stream or sys.stdout
        self._measurement = _escape(measurement, ", ")
        super().__init__("standard output")

    def _store(self, reports: List[Report]) -> None:
        self._stream.write("".join(self.line(report) + "\n" for report in reports))

    def line(self, report: Report) -> str:
        tags = f"station={report.station},point={_escape(report.point, ',= ')}"
        fields = [f'quality="{_quoted(report.quality)}"']
        value = plain(report.value)
        # Every value is a float: one field of one measurement keeps one type.
        if isinstance(value, (int, float)) and math.isfinite(value):
            fields.insert(0, f"value={float(value)!r}")
        stamp = round(report.time * 1_000_000_000)
        return f"{self._measurement},{tags} {','.join(fields)} {stamp}"

    def _commit(self) -> None:
        self._stream.flush()

    def _release(self) -> None:
        self._stream.flush()


def _escape(text: str, special: str) -> str:
    text = text.replace("\\", "\\\\")
    for ch in special:
        text = text.replace(ch, "\\" + ch)
    return text


def _quoted(text: str) -> str:
    return text.replace("\\", "\\\\").replace('"', '\\"')


SUFFIXES: Dict[str, Callable[[str], Sink]] = {
    ".csv": CsvSink,
    ".sqlite": SqliteSink,
    ".db": SqliteSink,
}
DESTINATIONS = "a .csv, .sqlite or .db file, or - for line protocol on standard output"


def open_sink(destination: str) -> Sink:
    """The sink for ``destination``: ``-`` for line protocol on standard
    output, else by the file's suffix (``.csv``; ``.sqlite`` or ``.db``).
    ``ValueError`` for another name, ``OSError`` or ``sqlite3.Error`` for a
    file that cannot be opened."""
    if destination == "-":
        return LineProtocolSink()
    return sink_class(destination)(destination)


def sink_class(destination: str) -> Callable[[str], Sink]:
    """The kind of sink a file's name asks for; ``ValueError`` for a name no sink takes."""
    kind = SUFFIXES.get(os.path.splitext(destination)[1].lower())
    if kind is None:
        raise ValueError(f"{destination}: the destination is {DESTINATIONS}")
    return kind
