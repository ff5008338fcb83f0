"""``zul-mew board TAGFILE``: the points of a tag file, live, read through the
plant's scheduler; the board extra draws them."""

from __future__ import annotations

import argparse
import logging

import zul_mew

from ..board.line import TracedLines
from ..plant import Line, Scheduler
from .board import EXTRA, RECONNECT_LOG, TRACE_LOG, handled_by
from .line import Failure
from .log import master_for, read_tags


def run(args: argparse.Namespace) -> int:
    # A wrong tag file is told first: it is wrong whatever is installed.
    tags = read_tags(args.port)
    try:
        from ..board.plant import PlantBoard, Qualities
    except ImportError:
        raise Failure(EXTRA) from None
    line = tags.line
    traced = TracedLines()
    # The board draws on standard error: it shows a lost line as stations down, the trace in a pane.
    with handled_by({RECONNECT_LOG: logging.NullHandler(), TRACE_LOG: traced}):
        master: zul_mew.MewMaster = master_for(tags, args)
        qualities = Qualities()
        scheduler = Scheduler(tags, master, on_report=qualities.report)
        try:
            with scheduler:
                settings = f"{line.port} {line.baudrate} baud {frame(line)}"
                trace = traced.lines if args.trace else None
                PlantBoard(scheduler, qualities, settings, not args.read_only, trace).run()
        finally:
            master.close()
    return 0


def frame(line: Line) -> str:
    return f"{line.bytesize}{line.parity}{line.stopbits:g}"
