"""What every command that talks to a line shares: the port options, opening the
port, station numbers, and failures told in one line."""

from __future__ import annotations

import argparse
import errno
import logging
import math
import sys
import threading
from typing import Any, Callable, Dict, Tuple, Union

import zul_mew

from ..reconnect import ReconnectingChannel
from ..trace import TraceChannel
from ..urlchannel import held_alone, open_channel
from ..vocabulary import PARITIES, reason

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


def seconds(text: str) -> float:
    """A time-out or an interval as people write it: above 0 and no longer than a
    thread can wait. Zero would make a read return at once and the receiver spin
    (or a board refresh in a busy loop); NaN, negative or endless values cannot be
    waited for."""
    try:
        value = float(text)
    except ValueError:
        value = math.nan
    if not 0 < value <= threading.TIMEOUT_MAX:
        raise argparse.ArgumentTypeError(f"a number of seconds above 0, not {text!r}")
    return value


def add_station_range(parser: Union[argparse.ArgumentParser, "argparse._ArgumentGroup"]) -> None:
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
    group.add_argument("--timeout", type=seconds, default=0.1, help="read time-out (default 0.1 s)")
    group.add_argument(
        "--query-timeout",
        type=seconds,
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
    return held_alone(args.port, settings)


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
    return traced(args, channel)


def traced(args: argparse.Namespace, channel: zul_mew.Channel) -> zul_mew.Channel:
    """``channel``, with every frame on standard error when --trace asks."""
    if not args.trace:
        return channel
    show_log("zul_mew_tools.trace", logging.DEBUG)
    return TraceChannel(channel)


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
    # pyserial words it as the system does: an errno on POSIX, the error's text on Windows.
    missing = ("No such file", "FileNotFoundError", "cannot find the file")
    if getattr(error, "errno", None) == errno.ENOENT or any(word in text for word in missing):
        return "no such port (zul-mew ports lists the serial ports of this machine)"
    if "Connection refused" in text:
        return "connection refused (nothing listens at that host and TCP port)"
    return text


def said(error: BaseException, args: argparse.Namespace, hint: bool = True) -> str:
    """A failure of an exchange in the user's words; a time-out says how long
    it waited and, with ``hint``, what to check."""
    if not isinstance(error, zul_mew.MewTimeoutError):
        return reason(error)
    text = f"no answer within {args.query_timeout:g} s"
    if hint:
        text += (
            " (check the station number, the baud rate and parity, the wiring;"
            " a slow station or network needs a longer --query-timeout)"
        )
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


def virtual_cable(command: str, instead: str) -> Any:
    """The virtual cable's class, for the commands that run on one; ``instead``
    says what works where there are no pseudo-terminals."""
    try:
        from ..cable import NullModemCable
    except ImportError:
        raise Unavailable(
            f"zul-mew {command} needs pseudo-terminals (Linux, macOS) for a virtual port; {instead}"
        ) from None
    return NullModemCable


def address(text: str, option: str) -> Tuple[str, int]:
    """[HOST:]PORT as an option takes it: HOST 127.0.0.1 unless given."""
    host, _, port = text.rpartition(":")
    try:
        number = int(port)
    except ValueError:
        raise Failure(f"{option} takes [HOST:]PORT, not {text!r}") from None
    if not 0 <= number <= 65535:
        raise Failure(f"{option}: a TCP port is 0 to 65535, not {number}")
    return host.strip("[]") or "127.0.0.1", number
