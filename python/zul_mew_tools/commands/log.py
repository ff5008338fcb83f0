"""``zul-mew log``: the points of a tag file, read by the plant's scheduler and
kept as they change: in a CSV file, an SQLite database, or as line protocol on
standard output. Ctrl-C, SIGTERM or the end of ``--duration`` stops it cleanly:
every report kept, the file closed, the statistics of each station shown."""

from __future__ import annotations

import argparse
import contextlib
import logging
import signal
import sqlite3
import sys
import threading
import time
from typing import Iterator, Optional, Set

import zul_mew

from ..plant import HealthChange, Scheduler, TagFile, TagFileError, load
from ..plant.sinks import (
    DESTINATIONS,
    LineProtocolSink,
    Sink,
    SinkError,
    open_sink,
    sink_class,
)
from ..trace import TraceChannel
from .line import Failure, describe_settings, opened, show_log


def add_to(commands: "argparse._SubParsersAction[argparse.ArgumentParser]") -> None:
    parser = commands.add_parser("log", help="keep the points of a tag file as they change")
    parser.add_argument("tagfile", metavar="TAGFILE", help="the plant's tag file (TOML)")
    parser.add_argument("--to", required=True, metavar="DEST", help=DESTINATIONS)
    parser.add_argument(
        "--duration", type=float, metavar="SECONDS", help="stop after this long (default: Ctrl-C)"
    )
    parser.add_argument("-v", "--verbose", action="store_true", help="print the port settings used")
    parser.add_argument("--trace", action="store_true", help="print every frame on standard error")
    parser.set_defaults(run=run)


def run(args: argparse.Namespace) -> int:
    if args.duration is not None and args.duration <= 0:
        raise Failure("--duration must be above 0 seconds")
    tags = read_tags(args.tagfile)
    if args.to != "-":
        try:
            sink_class(args.to)
        except ValueError as error:
            raise Failure(str(error)) from None
    # The port before the sink: a port that cannot be opened leaves no empty file behind.
    master = master_for(tags, args)
    try:
        sink = sink_for(args)
        try:
            health = Health(tags)
            log(
                Scheduler(tags, master, on_report=sink.write, on_health=health.say),
                sink,
                args.duration,
            )
        finally:
            try:
                sink.close()
            except SinkError as error:
                raise Failure(str(error)) from None
    finally:
        master.close()
    # Counted once the sink is closed: what it still held when told to stop is in.
    print(f"log: {sink.written} reports written to {sink.name}", file=sys.stderr, flush=True)
    return 0


def read_tags(path: str) -> TagFile:
    try:
        return load(path)
    except TagFileError as error:
        raise Failure(str(error)) from None
    except OSError as error:
        raise Failure(f"cannot read {path}: {error.strerror or error}") from None


def sink_for(args: argparse.Namespace) -> Sink:
    try:
        return LineProtocolSink(args.out) if args.to == "-" else open_sink(args.to)
    except (OSError, sqlite3.Error) as error:
        raise Failure(f"cannot open {args.to}: {error}") from None


def master_for(tags: TagFile, args: argparse.Namespace) -> zul_mew.MewMaster:
    line = tags.line
    if args.verbose:
        print(describe_settings(line.port, line.settings(), line.query_timeout), file=sys.stderr)
    show_log("zul_mew_tools.reconnect", logging.INFO)
    channel: zul_mew.Channel = opened(line.port, line.open)
    if args.trace:
        show_log("zul_mew_tools.trace", logging.DEBUG)
        channel = TraceChannel(channel)
    return zul_mew.MewMaster(channel, query_timeout=line.query_timeout)


def log(scheduler: Scheduler, sink: Sink, duration: Optional[float]) -> None:
    began = time.monotonic()
    with stopped_by_signals() as stop, scheduler:
        while not stop.wait(0.1):
            if sink.error is not None:
                break
            if duration is not None and time.monotonic() - began >= duration:
                break
    for number, stats in scheduler.statistics().items():
        station = scheduler.tags.station(number)
        print(stats.summary(f"{station.label} on {scheduler.tags.line.port} log"), file=sys.stderr)


class Health:
    """Tells a station's health on standard error when it is news: a station
    silent from the start, and every change after its first answer."""

    def __init__(self, tags: TagFile) -> None:
        self.tags = tags
        self.seen: Set[int] = set()

    def say(self, change: HealthChange) -> None:
        first = change.station not in self.seen
        self.seen.add(change.station)
        if first and change.up:
            return
        how = "answers again" if change.up else f"is down ({change.reason})"
        label = self.tags.station(change.station).label
        print(f"log: {label} {how}", file=sys.stderr, flush=True)


@contextlib.contextmanager
def stopped_by_signals() -> Iterator[threading.Event]:
    """An event Ctrl-C and SIGTERM set instead of ending the program, so that a
    log run as a service stops as cleanly as one at a terminal."""
    stop = threading.Event()
    before = {signum: signal.getsignal(signum) for signum in (signal.SIGINT, signal.SIGTERM)}
    for signum in before:
        signal.signal(signum, lambda *_: stop.set())
    try:
        yield stop
    finally:
        for signum, handler in before.items():
            signal.signal(signum, handler)
