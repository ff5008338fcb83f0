"""``zul-mew monitor``: every frame seen on a line, one line each, until Ctrl-C."""

from __future__ import annotations

import argparse
import sys

from zul_mew import MewStatic

from ..vocabulary import INTERRUPTED, check_of
from .line import PORT_HELP, add_port_options, open_line
from .output import clock

FRAME_TYPES = {
    MewStatic.QUERY: "request",
    MewStatic.FEEDBACK: "answer",
    MewStatic.ERROR: "error",
}


def add_to(commands: "argparse._SubParsersAction[argparse.ArgumentParser]") -> None:
    parser = commands.add_parser("monitor", help="print every frame seen on a line")
    parser.add_argument("port", metavar="PORT", help=PORT_HELP)
    parser.add_argument("--count", type=int, help="stop after this many frames")
    add_port_options(parser)
    parser.set_defaults(run=run)


def describe_frame(frame: str) -> str:
    """One line for one frame: type, station, command and whether its check code holds."""
    try:
        kind = FRAME_TYPES.get(MewStatic.frame_type(frame), "?")
    except IndexError:
        kind = "?"
    try:
        station = str(MewStatic.parse_station(frame))
    except ValueError:
        station = "?"
    start = MewStatic.command_start_position(frame)
    if kind == "request":
        command = MewStatic.parse_command(frame)
        if command == MewStatic.CMD_UNKNOWN:
            command = frame[start : start + 3]
    elif kind == "error":
        command = "code " + frame[start : start + 2]
    else:
        command = frame[start : start + 2]
    return f"{kind:<7}  station {station:<3}  {command:<7}  {check_code(frame):<7}  {frame!r}"


def check_code(frame: str) -> str:
    check = check_of(frame)
    return "BCC **" if check == "unchecked" else f"BCC {check}"


def run(args: argparse.Namespace) -> int:
    # A monitor outlives a pulled adapter: it waits for the line to come back.
    channel = open_line(args, reconnect=True)
    seen = 0
    try:
        channel.flush_input()
        print(f"monitor: listening on {args.port}", file=sys.stderr, flush=True)
        while args.count is None or seen < args.count:
            first = channel.read()
            if not first:
                continue
            now = clock()
            try:
                line = describe_frame(first + channel.receive_frame())
            except IOError as error:
                line = f"broken   {error} (began with {first!r})"
            print(f"{now}  {line}", file=args.out, flush=True)
            seen += 1
    except KeyboardInterrupt:
        return INTERRUPTED
    finally:
        channel.close()
    return 0
