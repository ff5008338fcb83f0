"""``zul-mew write``: one write to a contact, a word of contacts or registers."""

from __future__ import annotations

import argparse
from typing import Any

from .line import PORT_HELP, Failure, add_port_options, master_on, said
from .values import (
    add_place_arguments,
    form_of,
    name_kind,
    parse_bool,
    parse_number,
    values_to_words,
)


def add_to(commands: "argparse._SubParsersAction[argparse.ArgumentParser]") -> None:
    parser = commands.add_parser("write", help="write a contact, word of contacts or registers")
    parser.add_argument("port", metavar="PORT", help=PORT_HELP)
    add_place_arguments(parser)
    parser.add_argument("values", metavar="VALUE", nargs="+")
    add_port_options(parser)
    parser.set_defaults(run=run)


def run(args: argparse.Namespace) -> int:
    name = args.name
    form = form_of(name, args.form, "write")
    kind = name_kind(name)
    if form == "bool":
        if len(args.values) != 1:
            raise Failure("one contact per write: give one value")
        value: Any = parse_bool(args.values[0])
        shown = str(int(value))
    else:
        numbers = [parse_number(text, form) for text in args.values]
        value = values_to_words(numbers, form, args.word_order)
        shown = " ".join(map(str, numbers))
    master = master_on(args)
    try:
        if kind == "contact":
            master.set_coil(args.station, name, value)
        elif kind == "word":
            master.set_multi_coil_uint16(args.station, name, value)
        else:
            master.set_multi_uint16(args.station, name, value)
    except Exception as error:
        raise Failure(
            f"write {name} of station {args.station} on {args.port}: {said(error, args)}"
        ) from None
    finally:
        master.close()
    print(f"{name} = {shown}", file=args.out)
    return 0
