"""Names and values as the shell gives them: which kind of place a name is,
whether it is written as the station takes it, how numbers of each form travel
as 16-bit words, and reads longer than one request should carry."""

from __future__ import annotations

import argparse
import re
from typing import Any, List, Sequence, Tuple

import zul_mew
from zul_mew import MewStatic

from .. import vocabulary
from .line import Failure

# The forms a number takes on the command line.
FORMATS = tuple(vocabulary.FORMATS)
# The most words one request carries unless --max-words says otherwise: what
# stations take in one frame.
MAX_WORDS = 24

CONTACT_CODES = "XYRLTC"
NAME_HELP = "contact (Y1A), word of contacts (WY0) or register (DT100)"

# Each kind of name as the station takes it, and how to say it to a person.
NAME_FORMS = {
    "contact": (
        re.compile(rf"[{CONTACT_CODES}]\d{{0,3}}[0-9A-F]"),
        f"a contact name (a code letter of {' '.join(CONTACT_CODES)} and an address: Y1A, X0)",
    ),
    "word": (
        re.compile(rf"W[{CONTACT_CODES}]\d+"),
        "a word of contacts name (W, a code letter and a word number: WX0, WY2)",
    ),
    "register": (
        re.compile(r"[A-Z]{1,2}\d+"),
        "a register name (an area code and a decimal address: DT100, S1)",
    ),
}


def add_place_arguments(parser: argparse.ArgumentParser) -> None:
    from .line import station

    parser.add_argument("station", metavar="STATION", type=station, help="300 or 0x12C")
    parser.add_argument("name", metavar="NAME", type=str.upper, help=NAME_HELP)
    parser.add_argument(
        "--as",
        dest="form",
        choices=[*FORMATS, "bool"],
        help="value form: u16 i16 u32 i32, f32 (IEEE 754 in two registers), bool "
        "(contacts: bool, others: u16)",
    )
    parser.add_argument(
        "--word-order",
        choices=vocabulary.WORD_ORDERS,
        default="low-first",
        help="where a two-word value keeps its low word (default low-first)",
    )


def add_max_words_option(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "--max-words",
        type=int,
        default=MAX_WORDS,
        help=f"most words one request reads; more are read in several (default {MAX_WORDS})",
    )


def name_kind(name: str) -> str:
    """``contact`` (Y1A), ``word`` (a word of contacts, WY0) or ``register`` (DT100, S1);
    a name not written as that kind's names are fails here, before any request."""
    if len(name) >= 2 and name[0] == "W" and name[1].isalpha():
        kind = "word"
    elif len(name) >= 2 and name[0] in CONTACT_CODES and name[1].isdigit():
        kind = "contact"
    else:
        kind = "register"
    form, said = NAME_FORMS[kind]
    if not form.fullmatch(name):
        raise Failure(f"{name} is not {said}")
    return kind


def form_of(name: str, form: Any, verb: str) -> str:
    kind = name_kind(name)
    form = form or ("bool" if kind == "contact" else "u16")
    if (kind == "contact") != (form == "bool"):
        how = "as bool" if kind == "contact" else "as a number"
        raise Failure(f"{name} is a {kind}: {verb} it {how}")
    return str(form)


def name_after(name: str, offset: int) -> str:
    """The name ``offset`` words on from ``name``: DT124 for DT100 and 24."""
    numbered = re.fullmatch(r"(.*?)(\d+)", name)
    assert numbered is not None, name  # name_kind let only numbered names through
    prefix, number = numbered.groups()
    return f"{prefix}{int(number) + offset}"


def value_names(name: str, form: str, count: int) -> List[str]:
    """The name of each value read from ``name`` on: DT100 and DT102 for two u32."""
    if form == "bool":
        return [name]
    step = vocabulary.words_of(form)
    return [name_after(name, i * step) for i in range(count)]


def check_whole_read(station: int, name: str, form: str, count: int) -> None:
    """Refuses, as the request builders do, a range that no station has: checked
    whole before it is split, so that nothing is sized by a count no station takes."""
    words = count * vocabulary.words_of(form)
    if name_kind(name) == "word":
        MewStatic.fill_read_word_unit_of_contact_message(station, name, None, words)
    else:
        MewStatic.fill_read_data_area_message(station, name, words)


def requests_for(form: str, name: str, count: int, max_words: int) -> List[Tuple[str, int]]:
    """The reads that take ``count`` values of ``form`` from ``name`` on: (first
    name, words) each, no value split between two of them."""
    width = vocabulary.words_of(form)
    if max_words < width:
        raise Failure(f"--max-words takes {width} or more for {form}, not {max_words}")
    per_request = max_words // width * width
    total = count * width
    return [
        (name_after(name, at) if at else name, min(per_request, total - at))
        for at in range(0, total, per_request)
    ]


def read_values(
    master: zul_mew.MewMaster,
    station: int,
    name: str,
    form: str,
    count: int,
    word_order: str = "low-first",
    max_words: int = MAX_WORDS,
) -> List[vocabulary.Value]:
    if form == "bool":
        if count != 1:
            raise Failure(f"one contact per read; read the word W{name[0]}n for 16 at once")
        return [int(master.get_coil(station, name))]
    check_whole_read(station, name, form, count)
    read = master.get_multi_coil_uint16 if name_kind(name) == "word" else master.get_multi_uint16
    words: List[int] = []
    for first, size in requests_for(form, name, count, max_words):
        words += read(station, first, size)
    return words_to_values(words, form, word_order)


def build_read(station: int, name: str, form: str, count: int, max_words: int = MAX_WORDS) -> str:
    """The request ``read_values`` sends first, as the request builders make it."""
    if form == "bool":
        return MewStatic.fill_read_single_point_of_contact_message(station, name)
    check_whole_read(station, name, form, count)
    first, size = requests_for(form, name, count, max_words)[0]
    if name_kind(name) == "word":
        return MewStatic.fill_read_word_unit_of_contact_message(station, first, None, size)
    return MewStatic.fill_read_data_area_message(station, first, size)


def words_to_values(words: Sequence[int], form: str, word_order: str) -> List[vocabulary.Value]:
    values = vocabulary.words_to_values(words, form, word_order)
    if form == "f32":
        return [vocabulary.shortest_f32(value) for value in values]
    return [int(value) for value in values]


def values_to_words(values: Sequence[vocabulary.Value], form: str, word_order: str) -> List[int]:
    try:
        return vocabulary.values_to_words(values, form, word_order)
    except ValueError as error:
        raise Failure(str(error)) from None


def parse_bool(text: str) -> bool:
    try:
        return vocabulary.SWITCH_WORDS[text.lower()]
    except KeyError:
        raise Failure(f"a contact takes 1/0, on/off or true/false, not {text!r}") from None


def parse_number(text: str, form: str) -> vocabulary.Value:
    """A value as a person writes it: 10, 0x1F, -5; for f32 also 1.5, -2e-3."""
    try:
        return float(text) if form == "f32" else int(text, 0)
    except ValueError:
        kind = "a number" if form == "f32" else "an integer"
        raise Failure(f"not {kind}: {text!r}") from None
