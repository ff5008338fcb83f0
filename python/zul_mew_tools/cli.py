"""Talk MEWTOCOL-COM to the stations of a serial line from the shell.

  zul-mew demo                                  master and random slave, no hardware
  zul-mew sim --kind bus                        stations 1..4 on a virtual port
  zul-mew sim --listen 4001                     the same on socket://127.0.0.1:4001
  zul-mew ports                                 the serial ports of this machine
  zul-mew read PORT 1 DT100 --count 2 --as i32  registers, words of contacts, contacts
  zul-mew read PORT 1 DT0 --count 500           in requests of at most --max-words 24
  zul-mew write PORT 1 DT10 3.14 --as f32       IEEE 754 in two registers
  zul-mew write PORT 0x12C Y1 on                station 300, contact Y1
  zul-mew poll PORT 1 DT100 --interval 500      the same read again, then statistics
  zul-mew scan PORT --first 1 --last 32         which stations answer
  zul-mew log TAGFILE --to plant.sqlite         the points of a plant as they change
  zul-mew bridge PORT --broker mqtt://HOST      the bus on MQTT (the mqtt extra)
  zul-mew monitor PORT                          every frame on the line
  zul-mew board PORT                            the stations live (the board extra)

PORT is a serial device (/dev/ttyUSB0, COM3) or a URL (socket://host:port,
rfc2217://host:port). Stations are decimal (300) or hexadecimal (0x12C).
read, write and poll take --as u16|i16|u32|i32|f32 and --word-order
low-first|high-first for two-word values; read, poll, scan and ports take
--format text|json|csv; every command that talks to a line takes --trace
(every frame on standard error) and -v (the settings).

exit status:
  0    done
  1    a failure, told in one line: the port, the line, a station's answer or
       a value given (poll: any request that got no good answer)
  2    the command line itself is wrong
  130  interrupted by Ctrl-C (SIGINT), whatever the command: poll and scan
       print what they have first; sim ended by SIGTERM gives 143. The board
       reads Ctrl-C as a key, like q, and ends with 0.
"""

from __future__ import annotations

import argparse
import contextlib
import importlib
import sys
import threading
from typing import Any, Optional, Sequence

from .commands.line import Failure, Unavailable
from .vocabulary import INTERRUPTED, reason

# The modules of zul_mew_tools.commands, in the order --help lists them.
COMMANDS = (
    "demo",
    "sim",
    "ports",
    "read",
    "write",
    "poll",
    "scan",
    "log",
    "bridge",
    "monitor",
    "board",
)


def version() -> str:
    from importlib import metadata

    try:
        return metadata.version("zul_mew")
    except metadata.PackageNotFoundError:
        return "(not installed)"


def build_parser() -> argparse.ArgumentParser:
    summary, _, usage = __doc__.partition("\n\n")
    parser = argparse.ArgumentParser(
        prog="zul-mew",
        description=summary,
        epilog=usage,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("--version", action="version", version=f"zul-mew {version()}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    for name in COMMANDS:
        importlib.import_module(f"{__package__}.commands.{name}").add_to(commands)
    return parser


def main(argv: Optional[Sequence[str]] = None) -> int:
    try:
        # Building the parser imports every command: a Ctrl-C may come meanwhile.
        args = build_parser().parse_args(argv)
    except KeyboardInterrupt:
        return INTERRUPTED
    args.out = sys.stdout
    # A node's receiver ends when its port fails: one line, as every failure.
    threading.excepthook = lambda hook: say(args.command, hook.exc_value or hook.exc_type())
    # The module's own diagnostics are no results: they go beside the errors, so
    # that what a command prints can be piped into another program.
    diagnostics: Any = contextlib.redirect_stdout(sys.stderr)
    if getattr(args, "prints_to_stdout", False):
        diagnostics = contextlib.nullcontext()
    try:
        with diagnostics:
            return int(args.run(args))
    except Unavailable as failure:
        print(failure, file=sys.stderr)
    except KeyboardInterrupt:
        return INTERRUPTED
    except Exception as error:  # no traceback reaches the person at the shell
        say(args.command, error)
    return 1


def say(command: str, error: BaseException) -> None:
    text = str(error) if isinstance(error, Failure) else reason(error)
    print(f"zul-mew {command}: {text}", file=sys.stderr, flush=True)


if __name__ == "__main__":
    sys.exit(main())
