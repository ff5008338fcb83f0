"""``zul-mew board``: the stations of a bus, live, in the terminal or served to
web browsers. The drawing comes from the ``board`` extra, imported only when a
board is started, so the core install never needs it."""

from __future__ import annotations

import argparse
import contextlib
import ipaddress
import logging
import os
import shlex
import sys
from typing import Dict, Iterator, List, Optional, TextIO, Tuple, cast

import zul_mew

from ..board.ctrl_c import ctrl_c_held, ctrl_c_quits
from ..board.line import CountingManager, TracedLines
from ..board.watch import BusWatch
from .line import (
    PORT_HELP,
    Failure,
    add_port_options,
    add_station_range,
    describe_settings,
    open_line,
    port_settings,
    seconds,
    station_range,
)

EXTRA = 'the board needs its extra: pip install "zul_mew[board]"'
RECONNECT_LOG = "zul_mew_tools.reconnect"
TRACE_LOG = "zul_mew_tools.trace"


def add_to(commands: "argparse._SubParsersAction[argparse.ArgumentParser]") -> None:
    parser = commands.add_parser("board", help="the stations of a bus live (the board extra)")
    parser.add_argument("port", metavar="PORT", help=f"{PORT_HELP}, or a tag file")
    add_station_range(parser)
    parser.add_argument(
        "--interval",
        type=seconds,
        default=0.5,
        help="seconds between refreshes (default 0.5)",
    )
    parser.add_argument(
        "--serve",
        metavar="[HOST:]PORT",
        help="serve the board to web browsers instead (HOST 127.0.0.1 unless given)",
    )
    parser.add_argument(
        "--allow-writes", action="store_true", help="let the served board force outputs"
    )
    parser.add_argument(
        "--read-only", action="store_true", help="show the bus without forcing outputs"
    )
    add_port_options(parser)
    parser.set_defaults(run=run, prints_to_stdout=True)


def run(args: argparse.Namespace) -> int:
    station_range(args)  # a range upside down fails before anything is opened or served
    if args.serve:
        return serve(args, *address(args.serve))
    if os.path.isfile(args.port):
        from .tagboard import run as run_tag_board

        return run_tag_board(args)
    try:
        from ..board.app import BoardApp
    except ImportError:
        raise Failure(EXTRA) from None
    # The board draws on the terminal: a log line or a note of the node printed
    # there would tear the screen. It shows a lost line itself, as lost
    # stations, and the trace and the node's notes in a pane.
    traced = TracedLines()
    loggers = handled_by({RECONNECT_LOG: logging.NullHandler(), TRACE_LOG: traced})
    with loggers, contextlib.redirect_stdout(cast(TextIO, traced)):
        channel = board_line(args)
        bus: Optional[BusWatch] = None
        try:
            with ctrl_c_held():
                bus = open_board(args, channel)
                bus.start()
            app = BoardApp(bus, line_settings(args), traced.lines if args.trace else None)
            with ctrl_c_quits(app):
                app.run()
        finally:
            with ctrl_c_held():
                if bus is not None:
                    bus.close()
                else:
                    channel.close()
    return 0


def board_line(args: argparse.Namespace) -> zul_mew.Channel:
    # A pulled line is ridden out: its stations are lost until the port is back.
    return open_line(args, reconnect=True)


def open_board(args: argparse.Namespace, channel: Optional[zul_mew.Channel] = None) -> BusWatch:
    line = channel if channel is not None else board_line(args)
    manager = CountingManager(line, query_timeout=args.query_timeout)
    return BusWatch(manager, args.interval, station_range(args), allow_writes=not args.read_only)


@contextlib.contextmanager
def handled_by(handlers: Dict[str, logging.Handler]) -> Iterator[None]:
    loggers = {logging.getLogger(name): handler for name, handler in handlers.items()}
    before = {logger: logger.handlers for logger in loggers}
    for logger, handler in loggers.items():
        logger.handlers = [handler]
    try:
        yield
    finally:
        for logger, handlers_before in before.items():
            logger.handlers = handlers_before


def line_settings(args: argparse.Namespace) -> str:
    settings = port_settings(args)
    frame = f"{settings['bytesize']}{settings['parity']}{settings['stopbits']:g}"
    return f"{args.port} {settings['baudrate']} baud {frame}"


def address(text: str) -> Tuple[str, int]:
    host, _, port = text.rpartition(":")
    try:
        return host.strip("[]") or "127.0.0.1", int(port)
    except ValueError:
        raise Failure(f"--serve takes [HOST:]PORT, not {text!r}") from None


def is_loopback(host: str) -> bool:
    try:
        return host == "localhost" or ipaddress.ip_address(host).is_loopback
    except ValueError:
        return False


def board_command(args: argparse.Namespace) -> List[str]:
    """The board each browser session runs: the same line, read-only unless allowed."""
    command = [sys.executable, "-m", "zul_mew_tools.cli", "board", args.port]
    command += ["--first", str(args.first), "--last", str(args.last)]
    command += ["--baudrate", str(args.baudrate), "--parity", args.parity]
    command += ["--bytesize", str(args.bytesize), "--stopbits", f"{args.stopbits:g}"]
    command += [
        "--timeout",
        str(args.timeout),
        "--query-timeout",
        str(args.query_timeout),
    ]
    command += ["--interval", str(args.interval)]
    if args.read_only or not args.allow_writes:
        command.append("--read-only")
    return command


def serve(args: argparse.Namespace, host: str, port: int) -> int:
    try:
        from ..board.serve import BoardServer
    except ImportError:
        raise Failure(EXTRA) from None
    if args.verbose:
        settings = describe_settings(args.port, port_settings(args), args.query_timeout)
        print(settings, file=sys.stderr)
    where = "this machine only" if is_loopback(host) else "reachable from other machines"
    url_host = f"[{host}]" if ":" in host else host
    print(f"board: serving {args.port} on http://{url_host}:{port} ({where})", flush=True)
    if not args.allow_writes:
        print(
            "board: read-only in the browser; --allow-writes lets it force outputs",
            flush=True,
        )
    elif not is_loopback(host):
        print(
            f"board: writes allowed: anyone who can reach {host}:{port} can switch the outputs"
            " of this bus",
            flush=True,
        )
    BoardServer(shlex.join(board_command(args)), host, port).serve()
    return 0
