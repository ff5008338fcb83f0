"""A point of a plant: one named value of one station, at an address of the
station's memory, in a form (a contact's bit, a word of contacts, a number of
one or two registers), scaled into the plant's units.

Where a point sits in the station's memory is its ``Place``: which area of
16-bit words it reads (the contacts of one code letter, or the registers of one
area letter), the first word and how many. Points whose places are in one area
and close together are read with one request.
"""

from __future__ import annotations

import math
import re
import struct
from dataclasses import dataclass, field, fields
from typing import List, NamedTuple, Optional, Sequence, Tuple, Union

from zul_mew import MewStatic

from ..vocabulary import (
    FORMATS,
    SWITCH_WORDS,
    WORD_ORDERS,
    Value,
    values_to_words,
    words_of,
    words_to_values,
)

CONTACT_CODES = "XYRLTC"
# Contacts that are inputs: the station sets them, a master only reads them.
INPUT_CODES = "X"
# A contact: its code letter, up to three decimal digits of word, one hexadecimal digit of bit.
CONTACT = re.compile(rf"([{CONTACT_CODES}])(\d{{0,3}})([0-9A-F])")
# A word of sixteen contacts: W, the code letter and a word number.
WORD = re.compile(rf"W([{CONTACT_CODES}])(\d{{1,4}})")
# A register: an area code of one or two letters (only the first travels) and an address.
REGISTER = re.compile(r"([A-Z]{1,2})(\d{1,5})")

FORMS = ("bool", *FORMATS)

PointValue = Union[bool, Value]
# The greatest finite single-precision value.
F32_MAX = struct.unpack("<f", b"\xff\xff\x7f\x7f")[0]


class Place(NamedTuple):
    """Where a point's value lives: ``kind`` is ``contact``, ``word`` or
    ``register``; ``area`` the words it is among (``X`` for the contacts and
    words of X, ``DT`` spelt ``D``); ``word`` the first word, ``words`` how many;
    ``bit`` the contact's bit of its word."""

    kind: str
    area: str
    word: int
    words: int = 1
    bit: int = 0

    @property
    def family(self) -> Tuple[str, str]:
        """Places of one family are words of one sequence: they can share a request."""
        return ("register" if self.kind == "register" else "contact", self.area)

    def overlaps(self, other: "Place") -> bool:
        return (
            self.family == other.family
            and self.word < other.word + other.words
            and other.word < self.word + self.words
        )


def place_of(address: str, form: str = "u16") -> Optional[Place]:
    """The place of an address (``X3``, ``WY0``, ``DT100``), or None for text that
    names no contact, word of contacts or register."""
    found = CONTACT.fullmatch(address)
    if found:
        code, word, bit = found.groups()
        return Place("contact", code, int(word or "0"), 1, int(bit, 16))
    found = WORD.fullmatch(address)
    if found:
        return Place("word", found.group(1), int(found.group(2)))
    found = REGISTER.fullmatch(address)
    if found and not address.startswith("W"):
        return Place("register", found.group(1)[0], int(found.group(2)), words_of(form))
    return None


def default_form(address: str) -> str:
    """The form a point at ``address`` takes when its type is not given."""
    place = place_of(address)
    return "bool" if place is not None and place.kind == "contact" else "u16"


@dataclass(frozen=True)
class Point:
    """One named value of a station. ``type`` empty takes the address's own
    (bool for a contact, u16 otherwise). ``value = raw * scale + offset``; a
    report is made when the value moved more than ``deadband`` since the last
    report, or ``max_age`` seconds passed (None: only on a change); ``interval``
    None takes the station's. ``ValueError`` for keys that do not fit the
    address: a type other than bool for a contact, scaling for anything but a
    register, an input made writable."""

    name: str
    address: str
    type: str = ""
    scale: Union[int, float] = 1
    offset: Union[int, float] = 0
    unit: str = ""
    deadband: Union[int, float] = 0
    max_age: Optional[float] = None
    writable: bool = False
    interval: Optional[float] = None
    word_order: str = WORD_ORDERS[0]
    place: Place = field(init=False, repr=False, compare=False)

    def __post_init__(self) -> None:
        form = self.type or default_form(self.address)
        if form not in FORMS:
            raise ValueError(f"type is one of {', '.join(FORMS)}, not {form!r}")
        place = place_of(self.address, form if form != "bool" else "u16")
        if place is None:
            raise ValueError(
                f"address {self.address!r} is no contact (X3), word of contacts (WX0)"
                " or register (DT100)"
            )
        object.__setattr__(self, "type", form)
        object.__setattr__(self, "place", place)
        self._check_fit()

    def _check_fit(self) -> None:
        kind, form, address = self.place.kind, self.type, self.address
        if kind == "contact" and form != "bool":
            raise ValueError(f"type {form} does not fit the contact {address}: a contact is bool")
        if kind == "word" and form != "u16":
            raise ValueError(f"type {form} does not fit {address}: a word of contacts is u16")
        if kind == "register" and form == "bool":
            raise ValueError(f"type bool does not fit the register {address}: take its bits as u16")
        if kind == "register":
            try:
                MewStatic.fill_read_data_area_message(1, address, self.place.words)
            except ValueError as error:
                raise ValueError(f"{form} at {address}: {error}") from None
        defaults = {f.name: f.default for f in fields(self)}
        for key in ("scale", "offset", "deadband", "word_order"):
            if kind != "register" and getattr(self, key) != defaults[key]:
                raise ValueError(f"{key} is for numbers of registers, not the {kind} {address}")
        if self.word_order != defaults["word_order"] and words_of(form) != 2:
            raise ValueError(f"word_order is for values of two registers, not {form}")
        if self.writable and kind != "register" and self.place.area in INPUT_CODES:
            raise ValueError(f"{address} is an input: it cannot be writable")

    @property
    def is_number(self) -> bool:
        """A value of registers, which scales and has a deadband; contacts and
        words of contacts are reported on every change."""
        return self.place.kind == "register"

    # -- from the station's words

    def value_of(self, words: Sequence[int]) -> PointValue:
        """The point's value from the words of its place, as read."""
        place = self.place
        if place.kind == "contact":
            return bool(words[0] >> place.bit & 1)
        if place.kind == "word":
            return words[0]
        raw = words_to_values(words, self.type, self.word_order)[0]
        if self.type == "f32":
            raw = shortest_f32(float(raw))
        if self.scale == 1 and self.offset == 0:
            return raw
        scaled = raw * self.scale + self.offset
        # The scale's own binary error (215 * 0.1 is 21.500000000000004) is no digit of the value.
        return float(f"{scaled:.15g}") if isinstance(scaled, float) else scaled

    # -- to the station

    def raw_of(self, value: PointValue) -> Union[bool, int, float]:
        """What the station stores for ``value``: scaled back, rounded to the
        form's nearest step, checked against the form's range; ``ValueError``
        says why not."""
        if self.type == "bool":
            if isinstance(value, bool) or value in (0, 1):
                return bool(value)
            raise ValueError(f"a contact takes on or off (1 or 0), not {value!r}")
        if isinstance(value, bool) or not isinstance(value, (int, float)):
            raise ValueError(f"a number is written here, not {value!r}")
        unscaled = (self.scale, self.offset) == (1, 0)
        raw = value if unscaled else (value - self.offset) / self.scale
        if not math.isfinite(raw):
            raise ValueError(f"not a number to write: {value!r}")
        if self.type != "f32":
            if unscaled and raw != int(raw):
                raise ValueError(f"{self.type} takes whole numbers, not {value!r}")
            raw = int(round(raw))
        low, high = self.raw_range()
        if not low <= raw <= high:
            raise ValueError(f"{value!r} is out of range: {self._range_text()}")
        return raw

    def words_for(self, value: PointValue) -> List[int]:
        """The words that carry ``value`` to the station (a contact: [0] or [1])."""
        raw = self.raw_of(value)
        if self.type == "bool":
            return [int(raw)]
        return values_to_words([raw], self.type, self.word_order)

    def raw_range(self) -> Tuple[Union[int, float], Union[int, float]]:
        """The least and greatest value the station stores in the point's form."""
        if self.type == "bool":
            return (0, 1)
        if self.type == "f32":
            return (-F32_MAX, F32_MAX)
        bits = 16 * words_of(self.type)
        if self.type.startswith("i"):
            return (-(1 << (bits - 1)), (1 << (bits - 1)) - 1)
        return (0, (1 << bits) - 1)

    def range(self) -> Tuple[float, float]:
        """The least and greatest value the point can take, in its units."""
        low, high = self.raw_range()
        ends = sorted((low * self.scale + self.offset, high * self.scale + self.offset))
        return (float(f"{ends[0]:.15g}"), float(f"{ends[1]:.15g}"))

    def _range_text(self) -> str:
        low, high = self.range()
        scaled = f" scaled by {self.scale:g}" if self.scale != 1 else ""
        offset = f" offset {self.offset:g}" if self.offset != 0 else ""
        return f"{self.type}{scaled}{offset} takes {low:.15g} to {high:.15g}"

    def parse(self, text: str) -> PointValue:
        """A value as a person or a message writes it: on/off, 1/0, true/false for
        a contact; a number (0x00FF too for a word) otherwise. ``ValueError``
        says what was wrong; the range is checked by ``raw_of``."""
        text = text.strip()
        if self.type == "bool":
            try:
                return SWITCH_WORDS[text.lower()]
            except KeyError:
                raise ValueError(
                    f"a contact takes on/off, 1/0 or true/false, not {text!r}"
                ) from None
        try:
            return int(text, 0)
        except ValueError:
            pass
        try:
            number = float(text)
        except ValueError:
            raise ValueError(f"not a number: {text!r}") from None
        if not math.isfinite(number):
            raise ValueError(f"not a number: {text!r}")
        return number


def shortest_f32(value: float) -> float:
    """A single-precision value as its shortest decimal: 0.1 stored as a 32-bit
    float reads 0.10000000149011612 in double precision, and is shown as 0.1."""
    if not math.isfinite(value):
        return value
    stored = struct.pack("<f", value)
    for digits in range(6, 10):
        shorter = float(f"{value:.{digits}g}")
        if struct.pack("<f", shorter) == stored:
            return shorter
    return value


def changed(before: PointValue, now: PointValue, deadband: Union[int, float]) -> bool:
    """Whether ``now`` is news after ``before``: any change of a contact or word,
    a move of more than ``deadband`` of a number. NaN after NaN is no news."""
    if _is_nan(before) or _is_nan(now):
        return _is_nan(before) != _is_nan(now)
    if isinstance(before, bool) or isinstance(now, bool) or not deadband:
        return before != now
    return abs(now - before) > deadband


def _is_nan(value: PointValue) -> bool:
    return isinstance(value, float) and math.isnan(value)
