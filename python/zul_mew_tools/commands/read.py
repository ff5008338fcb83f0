"""``zul-mew read``: one read of a contact, a word of contacts or registers."""

from __future__ import annotations

import argparse

from .line import PORT_HELP, Failure, add_port_options, master_on, said
from .output import Output, add_format_option
from .values import add_max_words_option, add_place_arguments, form_of, read_values, value_names


def add_to(commands: "argparse._SubParsersAction[argparse.ArgumentParser]") -> None:
    parser = commands.add_parser("read", help="read a contact, word of contacts or registers")
    parser.add_argument("port", metavar="PORT", help=PORT_HELP)
    add_place_arguments(parser)
    parser.add_argument("--count", type=int, default=1, help="number of values (default 1)")
    add_max_words_option(parser)
    add_format_option(parser)
    add_port_options(parser)
    parser.set_defaults(run=run)


def run(args: argparse.Namespace) -> int:
    form = form_of(args.name, args.form, "read")
    if args.count < 1:
        raise Failure("--count must be at least 1")
    master = master_on(args)
    try:
        values = read_values(
            master, args.station, args.name, form, args.count, args.word_order, args.max_words
        )
    except Failure:
        raise
    except Exception as error:
        raise Failure(
            f"read {args.name} of station {args.station} on {args.port}: {said(error, args)}"
        ) from None
    finally:
        master.close()
    names = value_names(args.name, form, len(values))
    record = {"station": args.station, "name": args.name, "as": form, "values": values}
    text = f"{args.name} = {' '.join(map(str, values))}"
    Output(args.format, args.out, names).write(text, record, values)
    return 0
