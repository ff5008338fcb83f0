"""What every command that talks to a line shares: the port options, opening the
port, station numbers, and failures told in one line."""

from __future__ import annotations

import argparse
import errno
import logging
import os
import sys
from typing import Any, Callable, Dict

import zul_mew

from ..reconnect import ReconnectingChannel
from ..trace import TraceChannel
from ..urlchannel import open_channel

# A parity by its letter or its name, as pyserial's letter.
PARITIES = {
    key: name[0].upper()
    for name in ("none", "even", "odd", "mark", "space")
    for key in (name, name[0])
}
PORT_HELP = "serial device (/dev/ttyUSB0, COM3) or URL (socket://host:port, rfc2217://host:port)"


class Failure(Exception):
    """A failure to report in one line and end with a non-zero status."""


def station(text: str) -> int:
    """A station number as people write it: decimal (300) or hexadecimal (0x12C)."""
    try:
        number = int(text, 16) if text.lower().startswith("0x") else int(text, 10)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a station number: {text!r}") from None
    if number < 0:
        raise argparse.ArgumentTypeError(f"a station number is 0 or more, not {text}")
    return number


def add_station_range(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--first", type=station, default=1, help="first station asked (default 1)")
    parser.add_argument("--last", type=station, default=32, help="last station asked (default 32)")


def station_range(args: argparse.Namespace) -> range:
    """The stations from ``--first`` to ``--last``."""
    if args.last < args.first:
        raise Failure(f"--last {args.last} is below --first {args.first}")
    return range(args.first, args.last + 1)


def parity(text: str) -> str:
    try:
        return PARITIES[text.lower()]
    except KeyError:
        raise argparse.ArgumentTypeError(
            f"parity is one of N E O M S (none even odd mark space), not {text!r}"
        ) from None


def add_port_options(parser: argparse.ArgumentParser, query_timeout: float = 1.0) -> None:
    group = parser.add_argument_group("the line")
    group.add_argument("--baudrate", type=int, default=9600, help="bits per second (default 9600)")
    group.add_argument(
        "--parity",
        type=parity,
        default="N",
        help="N E O M S or none, even, odd, mark, space (default N)",
    )
    group.add_argument("--bytesize", type=int, choices=[5, 6, 7, 8], default=8)
    group.add_argument("--stopbits", type=float, choices=[1, 1.5, 2], default=1)
    group.add_argument("--timeout", type=float, default=0.1, help="read time-out (default 0.1 s)")
    group.add_argument(
        "--query-timeout",
        type=float,
        default=query_timeout,
        help=f"seconds to wait for an answer (default {query_timeout:g})",
    )
    group.add_argument("-v", "--verbose", action="store_true", help="print the port settings used")
    group.add_argument("--trace", action="store_true", help="print every frame on standard error")


def port_settings(args: argparse.Namespace) -> Dict[str, Any]:
    stopbits = int(args.stopbits) if args.stopbits != 1.5 else 1.5
    settings: Dict[str, Any] = {
        "baudrate": args.baudrate,
        "parity": args.parity,
        "bytesize": args.bytesize,
        "stopbits": stopbits,
        "timeout": args.timeout,
    }
    if "://" not in args.port and os.name == "posix":
        # A second program on the same port would take a share of the answers.
        settings["exclusive"] = True
    return settings


def describe_settings(port: str, settings: Dict[str, Any], query_timeout: float) -> str:
    frame = f"{settings['bytesize']}{settings['parity']}{settings['stopbits']:g}"
    alone = ", exclusive" if settings.get("exclusive") else ""
    return (
        f"{port}: {settings['baudrate']} baud, {frame}, read time-out {settings['timeout']:g} s, "
        f"answer time-out {query_timeout:g} s{alone}"
    )


def open_line(args: argparse.Namespace, reconnect: bool = False) -> zul_mew.Channel:
    """The channel a command talks through: opened once, so that a port that cannot
    be opened fails at once; kept open across failures of the line when asked;
    traced when asked."""
    settings = port_settings(args)
    if args.verbose:
        print(describe_settings(args.port, settings, args.query_timeout), file=sys.stderr)
    channel = opened(args.port, lambda: open_channel(args.port, **settings))
    if reconnect:
        show_log("zul_mew_tools.reconnect", logging.INFO)
        channel = ReconnectingChannel(
            lambda: open_channel(args.port, **settings), args.port, channel
        )
    if args.trace:
        show_log("zul_mew_tools.trace", logging.DEBUG)
        channel = TraceChannel(channel)
    return channel


def opened(port: str, open_port: Callable[[], zul_mew.Channel]) -> zul_mew.Channel:
    try:
        return open_port()
    except (OSError, ValueError) as error:
        raise Failure(f"cannot open {port}: {why_not_open(error)}") from None


def why_not_open(error: BaseException) -> str:
    text = str(error)
    if "exclusively lock" in text:
        return "port busy (another program has it open)"
    if getattr(error, "errno", None) == errno.EACCES or "Permission denied" in text:
        return f"{text} (no permission: is your user in the group that owns the device?)"
    return text


def show_log(name: str, level: int) -> None:
    logger = logging.getLogger(name)
    if not logger.handlers:
        handler = logging.StreamHandler(sys.stderr)
        handler.setFormatter(logging.Formatter("%(message)s"))
        logger.addHandler(handler)
    logger.setLevel(level)


def master_on(args: argparse.Namespace, reconnect: bool = False) -> zul_mew.MewMaster:
    return zul_mew.MewMaster(open_line(args, reconnect), query_timeout=args.query_timeout)


class Unavailable(Failure):
    """A command this platform cannot run; its message is the whole line."""


def virtual_cable(command: str) -> Any:
    """The virtual cable's class, for the commands that run on one."""
    try:
        from ..cable import NullModemCable
    except ImportError:
        raise Unavailable(f"zul-mew {command} needs pseudo-terminals (Linux, macOS)") from None
    return NullModemCable
