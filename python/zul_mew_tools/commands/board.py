"""``zul-mew board``: the stations of a bus, live, in the terminal or served to
web browsers. The drawing comes from the ``board`` extra, imported only here
when a board is started, so the core install never needs it."""

from __future__ import annotations

import argparse
import ipaddress
import shlex
import sys
from typing import List, Tuple

from .line import CountingManager
from .watch import BusWatch

EXTRA = 'the board needs its extra: pip install "zul_mew[board]"'


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("port", metavar="PORT", help="serial device or URL of the bus")
    parser.add_argument(
        "--interval",
        type=float,
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


def run(args: argparse.Namespace) -> int:
    # The command line's own helpers are taken when a board starts: the command
    # line imports this module while it is being built.
    from ..cli import Failure

    if args.interval <= 0:
        raise Failure("--interval must be above 0 seconds")
    if args.serve:
        return serve(args, *address(args.serve))
    try:
        from .app import BoardApp
    except ImportError:
        raise Failure(EXTRA) from None
    bus = open_board(args)
    bus.start()
    try:
        BoardApp(bus, line_settings(args)).run()
    finally:
        bus.close()
    return 0


def open_board(args: argparse.Namespace) -> BusWatch:
    from ..cli import open_port

    manager = CountingManager(open_port(args), query_timeout=args.query_timeout)
    return BusWatch(manager, args.interval, allow_writes=not args.read_only)


def line_settings(args: argparse.Namespace) -> str:
    return f"{args.port} {args.baudrate} baud parity {args.parity or 'N'}"


def address(text: str) -> Tuple[str, int]:
    from ..cli import Failure

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
    command += ["--baudrate", str(args.baudrate), "--timeout", str(args.timeout)]
    command += [
        "--query-timeout",
        str(args.query_timeout),
        "--interval",
        str(args.interval),
    ]
    if args.parity:
        command += ["--parity", args.parity]
    if args.read_only or not args.allow_writes:
        command.append("--read-only")
    return command


def serve(args: argparse.Namespace, host: str, port: int) -> int:
    from ..cli import Failure

    try:
        from textual_serve.server import Server
    except ImportError:
        raise Failure(EXTRA) from None
    where = "this machine only" if is_loopback(host) else "reachable from other machines"
    print(f"board: serving {args.port} on http://{host}:{port} ({where})", flush=True)
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
    Server(shlex.join(board_command(args)), host=host, port=port, title="zul-mew board").serve()
    return 0
