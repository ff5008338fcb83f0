"""The words every tool of the package speaks: what kind of failure an exchange
met, what a station's error code means, the names of station kinds, how a
firmware version and a frame's check code are shown, and how values of each
form travel as 16-bit words. The command line, the board, the channel wrappers
and the plant layer all take them from here, so that each is said one way."""

from __future__ import annotations

import struct
from typing import Dict, List, Sequence, Tuple, Union

import zul_mew
from zul_mew import MewStatic

# The exit status of a command ended by Ctrl-C, as shells report a SIGINT.
INTERRUPTED = 130

# What the stations' error answers mean, by the code they carry
# (``MewErrorAnswer.code``); a frame writes the code in two hexadecimal digits.
ERROR_CODES: Dict[int, str] = {
    0x03: "unknown command",
    0x40: "check code error",
    0x41: "format error",
    0x42: "command not supported",
    0x43: "multi-frame procedure error",
    0x45: "operation error",
    0x60: "parameter error",
    0x61: "data error",
    0x62: "registration error",
    0x65: "protected",
}

# Failures in which no station answered: the station, or the whole line, is lost.
SILENT = frozenset({"timeout", "line"})


def reason(error: BaseException) -> str:
    """An exception in the user's words: an error answer with its meaning, the
    code kept; assertions of the request builders, which carry no text, by name."""
    text = str(error) or type(error).__name__
    if isinstance(error, zul_mew.MewErrorAnswer) and error.code in ERROR_CODES:
        return f"{text} ({ERROR_CODES[error.code]})"
    return text


def failure_kind(error: BaseException) -> str:
    """What went wrong in an exchange, as a poll counts it: ``timeout``, ``error NN``
    (an error answer and its code), ``check code``, ``station``, ``format`` (an
    answer the master refused) or ``line`` (the port itself failed)."""
    if isinstance(error, zul_mew.MewTimeoutError):
        return "timeout"
    if isinstance(error, zul_mew.MewErrorAnswer):
        return "error " + (f"{error.code:02X}" if error.code is not None else "??")
    if isinstance(error, zul_mew.MewCheckCodeError):
        return "check code"
    if isinstance(error, zul_mew.MewStationError):
        return "station"
    if isinstance(error, OSError) and not isinstance(error, zul_mew.MewError):
        return "line"
    return "format"  # a malformed answer, or one whose data does not parse


def is_protocol_error(error: OSError) -> bool:
    """A frame cut short, missing or garbled: the line's business, not a lost port."""
    return isinstance(error, zul_mew.MewError)


# A parity by its letter or its name, any case, as pyserial's letter.
PARITIES = {
    key: name[0].upper()
    for name in ("none", "even", "odd", "mark", "space")
    for key in (name, name[0])
}
PARITY_WORDS = "N E O M S (none even odd mark space)"

# How a contact's state is written by people and in messages, any case.
SWITCH_WORDS = {"1": True, "on": True, "true": True, "0": False, "off": False, "false": False}

TYPE_NAMES = {
    zul_mew.INST_TYPE_UNKNOWN: "unknown",
    zul_mew.INST_TYPE_XY: "XY",
    zul_mew.INST_TYPE_Axis: "axis",
    zul_mew.INST_TYPE_AD: "analogue",
}


def type_name(kind: int) -> str:
    """A station's kind by the type code in its register S0."""
    return TYPE_NAMES.get(kind, f"unknown ({kind})")


def firmware(version: int) -> str:
    """A version as stations show it: 0x0103 is 1.03."""
    return f"{version >> 8:X}.{version & 0xFF:02X}"


def check_of(frame: str) -> str:
    """Whether a frame's check code holds: ``ok``, ``bad``, or ``unchecked`` for "**"."""
    if frame[-3:-1] == MewStatic.IGNORE_BCC * 2:
        return "unchecked"
    try:
        return "ok" if len(frame) >= 3 and MewStatic.crc_is_ok(frame) else "bad"
    except ValueError:
        return "bad"


# How each value form travels: its struct code and the 16-bit words it takes.
# A value of two words goes low word first unless the station stores it the
# other way (``high-first``).
FORMATS: Dict[str, Tuple[str, int]] = {
    "u16": ("H", 1),
    "i16": ("h", 1),
    "u32": ("I", 2),
    "i32": ("i", 2),
    "f32": ("f", 2),
}
WORD_ORDERS = ("low-first", "high-first")
Value = Union[int, float]


def words_of(form: str) -> int:
    """How many 16-bit words one value of ``form`` takes."""
    return FORMATS[form][1]


def _in_order(words: Sequence[int], width: int, word_order: str) -> List[int]:
    if width == 1 or word_order == "low-first":
        return list(words)
    swapped: List[int] = []
    for i in range(0, len(words), width):
        swapped.extend(reversed(words[i : i + width]))
    return swapped


def words_to_values(words: Sequence[int], form: str, word_order: str = "low-first") -> List[Value]:
    """The values that ``words``, as read from a station, carry."""
    code, width = FORMATS[form]
    raw = struct.pack(f"<{len(words)}H", *_in_order(words, width, word_order))
    return list(struct.unpack(f"<{len(words) // width}{code}", raw))


def shortest_f32(value: float) -> float:
    """The shortest decimal that is the same 32-bit float: 3.14 for the
    3.1400001049041748 that a station holds for it."""
    exact = struct.pack("<f", value)
    for digits in range(1, 10):
        candidate = float(f"{value:.{digits}g}")
        if struct.pack("<f", candidate) == exact:
            return candidate
    return value  # not a number: no decimal is the same


def values_to_words(values: Sequence[Value], form: str, word_order: str = "low-first") -> List[int]:
    """The words that carry ``values`` to a station; ``ValueError`` for a value
    that does not fit ``form``."""
    code, width = FORMATS[form]
    try:
        raw = struct.pack(f"<{len(values)}{code}", *values)
    except (struct.error, OverflowError):
        raise ValueError(f"value out of range for {form}: {' '.join(map(str, values))}") from None
    words = list(struct.unpack(f"<{len(raw) // 2}H", raw))
    return _in_order(words, width, word_order)
