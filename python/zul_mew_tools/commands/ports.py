"""``zul-mew ports``: the serial ports of this machine, with what they are."""

from __future__ import annotations

import argparse
import sys

from serial.tools import list_ports  # type: ignore[import-untyped]

from .output import Output, add_format_option

COLUMNS = ("port", "description", "hardware")


def add_to(commands: "argparse._SubParsersAction[argparse.ArgumentParser]") -> None:
    parser = commands.add_parser("ports", help="list the serial ports of this machine")
    add_format_option(parser)
    parser.set_defaults(run=run)


def run(args: argparse.Namespace) -> int:
    found = sorted(list_ports.comports(), key=lambda port: port.device)
    if not found:
        print("ports: no serial ports found", file=sys.stderr)
        return 0
    out = Output(args.format, args.out, COLUMNS)
    width = max(len(port.device) for port in found)
    for port in found:
        record = {"port": port.device, "description": port.description, "hardware": port.hwid}
        text = f"{port.device:<{width}}  {port.description}"
        if port.hwid and port.hwid != "n/a":
            text += f"  ({port.hwid})"
        out.write(text, record)
    return 0
