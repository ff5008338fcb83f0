"""Names and values as the shell gives them: which kind of place a name is, and
how numbers of each form travel as 16-bit words."""

from __future__ import annotations

import argparse
import re
from typing import Any, List, Sequence

import zul_mew
from zul_mew import MewStatic

from .. import vocabulary
from .line import Failure

# The forms a number takes on the command line.
FORMATS = ("u16", "i16", "u32", "i32")

CONTACT_CODES = "XYRLTC"
TRUE_WORDS = {
    "1": True,
    "true": True,
    "on": True,
    "0": False,
    "false": False,
    "off": False,
}
NAME_HELP = "contact (Y1A), word of contacts (WY0) or register (DT100)"


def add_place_arguments(parser: argparse.ArgumentParser) -> None:
    from .line import station

    parser.add_argument("station", metavar="STATION", type=station, help="300 or 0x12C")
    parser.add_argument("name", metavar="NAME", type=str.upper, help=NAME_HELP)
    parser.add_argument(
        "--as",
        dest="form",
        choices=[*FORMATS, "bool"],
        help="value form (contacts: bool, others: u16)",
    )


def name_kind(name: str) -> str:
    """``contact`` (Y1A), ``word`` (a word of contacts, WY0) or ``register`` (DT100, S1)."""
    if len(name) < 2:
        raise Failure(f"{name!r} is no contact, word or register name")
    if name[0] == "W" and name[1].isalpha():
        return "word"
    if name[0] in CONTACT_CODES and name[1].isdigit():
        return "contact"
    return "register"


def form_of(name: str, form: Any, verb: str) -> str:
    kind = name_kind(name)
    form = form or ("bool" if kind == "contact" else "u16")
    if (kind == "contact") != (form == "bool"):
        how = "as bool" if kind == "contact" else "as a number"
        raise Failure(f"{name} is a {kind}: {verb} it {how}")
    return str(form)


def value_names(name: str, form: str, count: int) -> List[str]:
    """The name of each value read from ``name`` on: DT100 and DT102 for two u32."""
    if form == "bool":
        return [name]
    step = vocabulary.words_of(form)
    numbered = re.fullmatch(r"(.*?)(\d+)", name)
    if numbered is None:  # a name the station will refuse; the read says so
        return [name] + [f"{name}+{i * step}" for i in range(1, count)]
    prefix, number = numbered.groups()
    return [f"{prefix}{int(number) + i * step}" for i in range(count)]


def read_values(
    master: zul_mew.MewMaster, station: int, name: str, form: str, count: int
) -> List[int]:
    if form == "bool":
        if count != 1:
            raise Failure(f"one contact per read; read the word W{name[0]}n for 16 at once")
        return [int(master.get_coil(station, name))]
    words = count * vocabulary.words_of(form)
    if name_kind(name) == "word":
        return words_to_values(master.get_multi_coil_uint16(station, name, words), form)
    return words_to_values(master.get_multi_uint16(station, name, words), form)


def build_read(station: int, name: str, form: str, count: int) -> str:
    """The request ``read_values`` sends first, as the request builders make it."""
    if form == "bool":
        return MewStatic.fill_read_single_point_of_contact_message(station, name)
    words = count * vocabulary.words_of(form)
    if name_kind(name) == "word":
        return MewStatic.fill_read_word_unit_of_contact_message(station, name, None, words)
    return MewStatic.fill_read_data_area_message(station, name, words)


def words_to_values(words: Sequence[int], form: str) -> List[int]:
    return [int(value) for value in vocabulary.words_to_values(words, form)]


def values_to_words(values: Sequence[int], form: str) -> List[int]:
    try:
        return vocabulary.values_to_words(values, form)
    except ValueError as error:
        raise Failure(str(error)) from None


def parse_bool(text: str) -> bool:
    try:
        return TRUE_WORDS[text.lower()]
    except KeyError:
        raise Failure(f"a contact takes 1/0, on/off or true/false, not {text!r}") from None


def parse_int(text: str) -> int:
    try:
        return int(text, 0)
    except ValueError:
        raise Failure(f"not an integer: {text!r}") from None
