"""``zul-mew poll``: the same read again and again, one line per answer, and on
exit how the line did: requests, answers, errors by kind, loss, round trips."""

from __future__ import annotations

import argparse
import datetime
import sys
import time
from typing import Any, Dict, List, Optional

import zul_mew

from ..statistics import Statistics
from ..vocabulary import INTERRUPTED, Value, failure_kind, reason
from .line import PORT_HELP, Failure, add_port_options, master_on, said
from .output import Output, add_format_option, clock
from .values import (
    add_max_words_option,
    add_place_arguments,
    build_read,
    form_of,
    read_values,
    value_names,
)


def add_to(commands: "argparse._SubParsersAction[argparse.ArgumentParser]") -> None:
    parser = commands.add_parser("poll", help="read the same place at an interval, with statistics")
    parser.add_argument("port", metavar="PORT", help=PORT_HELP)
    add_place_arguments(parser)
    parser.add_argument("--count", type=int, default=1, help="number of values (default 1)")
    add_max_words_option(parser)
    parser.add_argument(
        "--interval",
        type=int,
        default=1000,
        help="ms from one request to the next (default 1000)",
    )
    parser.add_argument("--polls", type=int, help="stop after this many requests (default: Ctrl-C)")
    parser.add_argument("--once", action="store_true", help="one request, as --polls 1")
    add_format_option(parser)
    add_port_options(parser)
    parser.set_defaults(run=run)


def run(args: argparse.Namespace) -> int:
    form = form_of(args.name, args.form, "read")
    if args.count < 1 or args.interval < 0 or (args.polls is not None and args.polls < 1):
        raise Failure("--count and --polls take 1 or more, --interval 0 or more")
    polls = 1 if args.once else args.polls
    try:
        # A request no station can take ends the poll before the first one is sent,
        # and before anything is sized by its count.
        build_read(args.station, args.name, form, args.count, args.max_words)
    except (ValueError, AssertionError) as error:
        raise Failure(f"poll {args.name} of station {args.station}: {reason(error)}") from None
    names = value_names(args.name, form, args.count)
    out = Output(args.format, args.out, ["time", "round_trip_ms", "error", *names])
    stats = Statistics()
    master = master_on(args, reconnect=True)
    interrupted = False
    try:
        poll(master, args, form, polls, out, stats)
    except KeyboardInterrupt:
        interrupted = True  # the statistics still come, then the status says so
    finally:
        master.close()
    what = f"{args.name} of station {args.station} on {args.port} poll"
    print(stats.summary(what), file=args.out if out.for_people else sys.stderr, flush=True)
    if interrupted:
        return INTERRUPTED
    return 0 if stats.sent and not stats.errors else 1


def poll(
    master: zul_mew.MewMaster,
    args: argparse.Namespace,
    form: str,
    polls: Optional[int],
    out: Output,
    stats: Statistics,
) -> None:
    began = time.monotonic()
    while polls is None or stats.sent < polls:
        if stats.sent:
            time.sleep(max(0.0, began + stats.sent * args.interval / 1000 - time.monotonic()))
        now = time.time()
        sent = time.monotonic()
        try:
            values = read_values(
                master, args.station, args.name, form, args.count, args.word_order, args.max_words
            )
        except (IOError, ValueError) as error:  # ValueError: an answer that does not parse
            kind = failure_kind(error)
            stats.add_failure(kind)
            show_error(out, now, args, kind, said(error, args, hint=False))
        else:
            trip = time.monotonic() - sent
            stats.add_answer(trip)
            show_values(out, now, args, values, trip)


def show_values(
    out: Output, now: float, args: argparse.Namespace, values: List[Value], trip: float
) -> None:
    shown = " ".join(map(str, values))
    record: Dict[str, Any] = {
        "time": stamp(now),
        "station": args.station,
        "name": args.name,
        "values": values,
        "round_trip_ms": round(1000 * trip, 3),
    }
    text = f"{clock(now)}  {args.name} = {shown}  ({1000 * trip:.1f} ms)"
    out.write(text, record, [record["time"], record["round_trip_ms"], "", *values])


def show_error(out: Output, now: float, args: argparse.Namespace, kind: str, message: str) -> None:
    record = {
        "time": stamp(now),
        "station": args.station,
        "name": args.name,
        "error": message,
        "kind": kind,
    }
    out.write(f"{clock(now)}  {args.name}: {message}", record, [record["time"], "", message])


def stamp(now: float) -> str:
    return datetime.datetime.fromtimestamp(now).isoformat(timespec="milliseconds")
