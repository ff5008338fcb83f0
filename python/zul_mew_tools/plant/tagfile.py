"""The tag file: a plant's points in TOML, the line they are on and the
stations that hold them. ``load`` reads and checks a file and refuses a wrong
one, before any port is opened, with one line that names the station, the
point and what is wrong; ``dumps`` writes one that ``load`` reads back as it
was; ``discovered`` makes the one a scan of the bus suggests.

```toml
[line]
port = "/dev/ttyUSB0"          # or COM3, socket://host:port, rfc2217://host:port
baudrate = 9600
query_timeout = 0.3

[[station]]
number = 1
name = "press"
interval = 1.0                 # seconds; a point may set its own

  [[station.point]]
  name = "oil_temperature"
  address = "DT100"
  type = "i16"                 # bool, u16, i16, u32, i32, f32
  scale = 0.1                  # value = raw * scale + offset
  unit = "°C"
  deadband = 0.5               # report a move of more than this
  max_age = 60                 # and at least this often
```
"""

from __future__ import annotations

import difflib
import json
import math
import os
import sys
from dataclasses import dataclass, fields
from typing import Any, Callable, Dict, List, Mapping, Optional, Sequence, Tuple, Union

import zul_mew

from ..reconnect import ReconnectingChannel
from ..urlchannel import held_alone, open_channel
from ..vocabulary import PARITIES, PARITY_WORDS, TYPE_NAMES, WORD_ORDERS
from .points import FORMS, Point, default_form, place_of

if sys.version_info >= (3, 11):
    import tomllib
else:
    import tomli as tomllib

# Words per request: every frame stays short enough for the stations of a real bus.
MAX_WORDS = 24


class TagFileError(ValueError):
    """A tag file that cannot be used; the message is one line: the file, the
    station and point, what is wrong."""


@dataclass(frozen=True)
class Line:
    """The serial line: its port and settings, as the command line takes them,
    and ``max_words``, the most 16-bit words one request reads."""

    port: str
    baudrate: int = 9600
    parity: str = "N"
    bytesize: int = 8
    stopbits: Union[int, float] = 1
    timeout: float = 0.1
    query_timeout: float = 1.0
    max_words: int = MAX_WORDS

    def settings(self) -> Dict[str, Any]:
        """The port settings as the channel takes them."""
        settings: Dict[str, Any] = {
            "baudrate": self.baudrate,
            "parity": self.parity,
            "bytesize": self.bytesize,
            "stopbits": self.stopbits,
            "timeout": self.timeout,
        }
        return held_alone(self.port, settings)

    def open(self) -> ReconnectingChannel:
        """The line's channel, open now (``OSError`` when the port cannot be
        opened) and opened again whenever the device goes away and comes back."""
        settings = self.settings()
        return ReconnectingChannel(lambda: open_channel(self.port, **settings), self.port)


@dataclass(frozen=True)
class Station:
    """A station of the line and its points; ``kind`` and ``firmware`` as a scan
    found them (``XY``, ``1.03``), empty when not known."""

    number: int
    points: Tuple[Point, ...]
    name: str = ""
    interval: float = 1.0
    kind: str = ""
    firmware: str = ""

    @property
    def label(self) -> str:
        """The station in messages: ``station 1`` or ``station 1 (press)``."""
        return f"station {self.number}" + (f" ({self.name})" if self.name else "")

    def point(self, name: str) -> Point:
        for point in self.points:
            if point.name == name:
                return point
        raise KeyError(f"{self.label} has no point {name!r}")

    def interval_of(self, point: Point) -> float:
        return point.interval if point.interval is not None else self.interval


@dataclass(frozen=True)
class TagFile:
    line: Line
    stations: Tuple[Station, ...]

    def station(self, number: int) -> Station:
        for station in self.stations:
            if station.number == number:
                return station
        raise KeyError(f"no station {number} in the tag file")


# -- reading


def load(path: Union[str, "os.PathLike[str]"]) -> TagFile:
    """The tag file at ``path``, checked; ``TagFileError`` for a wrong one,
    ``OSError`` for a file that cannot be read."""
    with open(path, "rb") as file:
        data = file.read()
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError as error:
        raise TagFileError(f"{os.fspath(path)}: not UTF-8 text ({error})") from None
    return loads(text, os.fspath(path))


def loads(text: str, source: str = "tag file") -> TagFile:
    """The tag file in ``text``; ``source`` names it in messages."""
    try:
        document = tomllib.loads(text)
    except tomllib.TOMLDecodeError as error:
        raise TagFileError(f"{source}: not TOML: {error}") from None
    return _Checker(source).tag_file(document)


# Each key of a table and what its value must be.
Check = Callable[[str, Any], Any]


def _number(value: Any) -> bool:
    return isinstance(value, (int, float)) and not isinstance(value, bool) and math.isfinite(value)


def _text(key: str, value: Any) -> str:
    if not isinstance(value, str):
        raise ValueError(f"{key} is text, not {value!r}")
    return value


def _name(key: str, value: Any) -> str:
    text = _text(key, value)
    # A name is a topic level of a broker and a tag of a time series: no separators in it.
    if not text or any(ch in "/+#" or ord(ch) < 32 for ch in text):
        raise ValueError(f"{key} must be non-empty and without / + # or control characters")
    return text


def _seconds(key: str, value: Any) -> float:
    if not _number(value) or value <= 0:
        raise ValueError(f"{key} is a number of seconds above 0, not {value!r}")
    return float(value)


def _real(key: str, value: Any) -> Union[int, float]:
    if not _number(value):
        raise ValueError(f"{key} is a number, not {value!r}")
    return value  # type: ignore[no-any-return]


def _factor(key: str, value: Any) -> Union[int, float]:
    if not _number(value) or value == 0:
        raise ValueError(f"{key} is a number other than 0, not {value!r}")
    return value  # type: ignore[no-any-return]


def _at_least(least: Union[int, float]) -> Check:
    def check(key: str, value: Any) -> Union[int, float]:
        if not _number(value) or value < least:
            raise ValueError(f"{key} is a number of {least} or more, not {value!r}")
        return value  # type: ignore[no-any-return]

    return check


def _whole(least: int) -> Check:
    def check(key: str, value: Any) -> int:
        if isinstance(value, bool) or not isinstance(value, int) or value < least:
            raise ValueError(f"{key} is a whole number of {least} or more, not {value!r}")
        return int(value)

    return check


def _choice(*choices: Any) -> Check:
    def check(key: str, value: Any) -> Any:
        if isinstance(value, bool) or value not in choices:
            shown = ", ".join(map(str, choices))
            raise ValueError(f"{key} is one of {shown}, not {value!r}")
        return value

    return check


def _flag(key: str, value: Any) -> bool:
    if not isinstance(value, bool):
        raise ValueError(f"{key} is true or false, not {value!r}")
    return value


def _parity(key: str, value: Any) -> str:
    if not isinstance(value, str) or value.lower() not in PARITIES:
        raise ValueError(f"{key} is one of {PARITY_WORDS}, not {value!r}")
    return PARITIES[value.lower()]


def _address(key: str, value: Any) -> str:
    address = _text(key, value).upper()
    if place_of(address) is None:
        raise ValueError(
            f"address {value!r} is no contact (X3), word of contacts (WX0) or register (DT100)"
        )
    return address


LINE_KEYS: Dict[str, Check] = {
    "port": _text,
    "baudrate": _whole(1),
    "parity": _parity,
    "bytesize": _choice(5, 6, 7, 8),
    "stopbits": _choice(1, 1.5, 2),
    "timeout": _seconds,
    "query_timeout": _seconds,
    "max_words": _whole(2),
}
STATION_KEYS: Dict[str, Check] = {
    "number": _whole(1),
    "name": _name,
    "interval": _seconds,
    "kind": _choice(*TYPE_NAMES.values()),
    "firmware": _text,
    "point": lambda key, value: value,
}
POINT_KEYS: Dict[str, Check] = {
    "name": _name,
    "address": _address,
    "type": _choice(*FORMS),
    "scale": _factor,
    "offset": _real,
    "unit": _text,
    "deadband": _at_least(0),
    "max_age": _seconds,
    "writable": _flag,
    "interval": _seconds,
    "word_order": _choice(*WORD_ORDERS),
}


class _Checker:
    """Reads the tables of a tag file into its objects, or says what is wrong."""

    def __init__(self, source: str) -> None:
        self.source = source

    def fail(self, where: str, what: str) -> TagFileError:
        at = f"{where}: " if where else ""
        return TagFileError(f"{self.source}: {at}{what}")

    def table(self, where: str, value: Any, keys: Mapping[str, Check]) -> Dict[str, Any]:
        if not isinstance(value, dict):
            raise self.fail(where, f"a table of keys, not {value!r}")
        taken: Dict[str, Any] = {}
        for key, item in value.items():
            if key not in keys:
                close = difflib.get_close_matches(key, keys, n=1)
                hint = f" (did you mean {close[0]!r}?)" if close else ""
                raise self.fail(where, f"unknown key {key!r}{hint}")
            try:
                taken[key] = keys[key](key, item)
            except ValueError as error:
                raise self.fail(where, str(error)) from None
        return taken

    def tag_file(self, document: Dict[str, Any]) -> TagFile:
        self.table("", document, {"line": lambda k, v: v, "station": lambda k, v: v})
        if "line" not in document:
            raise self.fail("", "no [line] table: the port is named there")
        line = self.table("[line]", document["line"], LINE_KEYS)
        if "port" not in line:
            raise self.fail("[line]", 'no port (port = "/dev/ttyUSB0")')
        tables = document.get("station", [])
        if not isinstance(tables, list) or not tables:
            raise self.fail("", "no stations: each is a [[station]] table")
        stations: List[Station] = []
        for index, table in enumerate(tables, 1):
            station = self.station(index, table)
            if any(other.number == station.number for other in stations):
                raise self.fail(station.label, "a second station of this number")
            stations.append(station)
        return TagFile(Line(**line), tuple(stations))

    def station(self, index: int, value: Any) -> Station:
        label = f"station #{index}"
        if isinstance(value, dict) and isinstance(value.get("number"), int):
            name = value.get("name")
            label = Station(value["number"], (), name if isinstance(name, str) else "").label
        taken = self.table(label, value, STATION_KEYS)
        if "number" not in taken:
            raise self.fail(label, "no number (number = 1)")
        tables = taken.pop("point", None)
        if not isinstance(tables, list) or not tables:
            raise self.fail(label, "no points: each is a [[station.point]] table")
        points: List[Point] = []
        for index, table in enumerate(tables, 1):
            point = self.point(label, index, table)
            if any(other.name == point.name for other in points):
                raise self.fail(f"{label}, point {point.name!r}", "a second point of this name")
            points.append(point)
        return Station(points=tuple(points), **taken)

    def point(self, label: str, index: int, value: Any) -> Point:
        where = f"{label}, point #{index}"
        if isinstance(value, dict) and isinstance(value.get("name"), str):
            where = f"{label}, point {value['name']!r}"
        taken = self.table(where, value, POINT_KEYS)
        for key in ("name", "address"):
            if key not in taken:
                raise self.fail(where, f"no {key}")
        try:
            return Point(**taken)
        except ValueError as error:
            raise self.fail(where, str(error)) from None


# -- writing


def dumps(tags: TagFile, comment: str = "") -> str:
    """The tag file as TOML that ``loads`` reads back as ``tags``: every setting
    of the line, and of stations and points the keys that differ from their
    defaults. ``comment`` goes at the top, each of its lines after ``#``."""
    out = [f"# {text}".rstrip() for text in comment.splitlines()]
    out += [""] if out else []
    out += ["[line]", *_keys(tags.line, always=[f.name for f in fields(Line)])]
    for station in tags.stations:
        out += ["", "[[station]]", *_keys(station, always=("number", "interval"))]
        for point in station.points:
            keys = _keys(point, ("name", "address"), {"type": default_form(point.address)})
            out += ["", "  [[station.point]]", *("  " + key for key in keys)]
    return "\n".join(out) + "\n"


def _keys(
    item: Any, always: Sequence[str] = (), defaults: Optional[Mapping[str, Any]] = None
) -> List[str]:
    """``key = value`` for the fields of ``item`` that differ from their
    defaults (``defaults`` overrides some), and for those in ``always`` whatever
    they hold."""
    defaults = defaults or {}
    lines = []
    for each in fields(item):
        value = getattr(item, each.name)
        if not each.init or isinstance(value, tuple):
            continue
        if each.name in always or value != defaults.get(each.name, each.default):
            lines.append(f"{each.name} = {_toml(value)}")
    return lines


def _toml(value: Any) -> str:
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, (int, float)):
        return repr(value)
    # A JSON string is a TOML basic string: the same escapes, \uXXXX for control characters.
    return json.dumps(str(value), ensure_ascii=False)


# -- from a scan


def discovered(line: Line, found: Sequence[Tuple[int, str, str]]) -> TagFile:
    """The tag file for the stations a scan found, each ``(number, kind,
    firmware)`` as the vocabulary names them (``XY``, ``1.03``): for an XY
    station its contacts X0 to XF and Y0 to YF and the words WX0 and WY0, the
    outputs writable; for other kinds their type (S0) and firmware (S1). Each
    point is named by its address."""
    stations = []
    for number, kind, firmware in found:
        if kind == TYPE_NAMES[zul_mew.INST_TYPE_XY]:
            points = [Point(f"X{bit:X}", f"X{bit:X}") for bit in range(16)]
            points += [Point(f"Y{bit:X}", f"Y{bit:X}", writable=True) for bit in range(16)]
            points += [Point("WX0", "WX0", "u16"), Point("WY0", "WY0", "u16", writable=True)]
        else:
            points = [Point("S0", "S0", "u16"), Point("S1", "S1", "u16")]
        known = kind if kind in TYPE_NAMES.values() else TYPE_NAMES[zul_mew.INST_TYPE_UNKNOWN]
        stations.append(Station(number, tuple(points), kind=known, firmware=firmware))
    return TagFile(line, tuple(stations))
