"""The bus as data: a plant's points in a tag file, a scheduler that reads them
on one line and reports their values by exception, and sinks that keep the
reports (CSV, SQLite, line protocol)."""

from .health import HealthChange
from .points import Point
from .reports import Report
from .scheduler import Scheduler, WriteFailed
from .tagfile import Line, Station, TagFile, TagFileError, discovered, dumps, load, loads

__all__ = [
    "HealthChange",
    "Line",
    "Point",
    "Report",
    "Scheduler",
    "Station",
    "TagFile",
    "TagFileError",
    "WriteFailed",
    "discovered",
    "dumps",
    "load",
    "loads",
]
