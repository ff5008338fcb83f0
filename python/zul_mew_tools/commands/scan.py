"""``zul-mew scan``: which stations of a range answer, with their type and firmware."""

from __future__ import annotations

import argparse
import os
import sys
from typing import Any, Dict, List, Tuple

import zul_mew

from ..plant.tagfile import Line, discovered, dumps
from ..vocabulary import INTERRUPTED, failure_kind, firmware, reason, type_name
from .line import (
    PORT_HELP,
    Failure,
    add_port_options,
    add_station_range,
    master_on,
    port_settings,
    said,
    station_range,
)
from .output import Output, add_format_option

COLUMNS = ("station", "type", "firmware", "inputs", "outputs")


def add_to(commands: "argparse._SubParsersAction[argparse.ArgumentParser]") -> None:
    parser = commands.add_parser("scan", help="find the stations of a bus")
    parser.add_argument("port", metavar="PORT", help=PORT_HELP)
    add_station_range(parser)
    parser.add_argument(
        "--emit-config", metavar="FILE", help="write a tag file of the stations found (TOML)"
    )
    add_format_option(parser)
    # A silent station costs one answer time-out: short ones keep a scan quick.
    add_port_options(parser, query_timeout=0.1)
    parser.set_defaults(run=run)


def ask(master: zul_mew.MewMaster, number: int) -> Dict[str, Any]:
    """What one station says of itself; a silent one ends in the answer time-out."""
    found: Dict[str, Any] = dict.fromkeys(COLUMNS)
    found["station"] = number
    try:
        kind = master.get_uint16(number, "S0")
        found["type"] = type_name(kind)
        found["firmware"] = firmware(master.get_uint16(number, "S1"))
        if kind == zul_mew.INST_TYPE_XY:
            found["inputs"] = master.get_coil_uint16(number, "WX0")
            found["outputs"] = master.get_coil_uint16(number, "WY0")
    except (IOError, ValueError) as error:  # ValueError: an answer that does not parse
        how = failure_kind(error)
        if how == "line" or (how == "timeout" and found["type"] is None):
            raise
        # Something answered there, if not as a station of a bus does.
        found["type"] = f"{found['type'] or '?'} ({reason(error)})"
    return found


class Progress:
    """Which station is being asked and how many answered, on one line of a terminal."""

    def __init__(self) -> None:
        self.on_terminal = sys.stderr.isatty()
        self.found = 0

    def asking(self, number: int) -> None:
        if self.on_terminal:
            sys.stderr.write(f"\rscan: asking station {number}, {self.found} found ")
            sys.stderr.flush()

    def answered(self, found: Dict[str, Any]) -> None:
        self.found += 1
        self._clear()
        print(
            f"scan: station {found['station']} answers ({found['type']})",
            file=sys.stderr,
        )

    def done(self, how: str) -> None:
        self._clear()
        if how == "done" and not self.found:
            return  # the failure says it
        print(f"scan: {how}, {self.found} found", file=sys.stderr, flush=True)

    def _clear(self) -> None:
        if self.on_terminal:
            sys.stderr.write("\r\x1b[K")


def run(args: argparse.Namespace) -> int:
    stations = station_range(args)
    if args.emit_config and os.path.exists(args.emit_config):
        raise Failure(f"{args.emit_config} exists: a tag file is never written over")
    master = master_on(args)
    progress = Progress()
    found: List[Dict[str, Any]] = []
    status = 0
    try:
        for number in stations:
            progress.asking(number)
            try:
                station_found = ask(master, number)
            except IOError as error:
                if failure_kind(error) != "timeout":
                    raise
                continue  # nobody there: the next may be
            found.append(station_found)
            progress.answered(station_found)
        progress.done("done")
    except KeyboardInterrupt:
        progress.done(f"interrupted at station {number}")
        status = INTERRUPTED
    except Exception as error:
        progress.done("failed")
        raise Failure(f"scan station {number} on {args.port}: {said(error, args)}") from None
    finally:
        master.close()
    if not found and status == 0:
        raise Failure(f"no station answered on {args.port} (stations {args.first} to {args.last})")
    show(found, Output(args.format, args.out, COLUMNS))
    if args.emit_config and found:
        args.out.flush()  # the table first, wherever both streams go
        emit_config(args, found)
    return status


def line_of(args: argparse.Namespace) -> Line:
    """The line of a tag file of the stations a scan found: the scan's port and settings."""
    settings = port_settings(args)
    return Line(
        args.port,
        args.baudrate,
        args.parity,
        args.bytesize,
        settings["stopbits"],
        args.timeout,
        # A merged read's answer is longer than a scan's, and takes longer on the wire.
        max(args.query_timeout, Line.query_timeout),
    )


def stations_of(found: List[Dict[str, Any]]) -> List[Tuple[int, str, str]]:
    """Each station found as ``discovered`` takes it: number, kind and firmware."""
    # A station whose answers were garbled is taken by the kind it gave, before the reason.
    kinds = [str(each["type"]).split(" (")[0] for each in found]
    return [(each["station"], kind, each["firmware"] or "") for each, kind in zip(found, kinds)]


def emit_config(args: argparse.Namespace, found: List[Dict[str, Any]]) -> None:
    numbers = ", ".join(str(each["station"]) for each in found)
    comment = (
        f"Tag file of the stations {numbers} as zul-mew scan found them on {args.port}.\n"
        "Name the points, give them units and scaling, drop those you do not need;\n"
        "zul-mew log, zul-mew board and zul-mew bridge read it."
    )
    try:
        with open(args.emit_config, "x", encoding="utf-8") as file:
            file.write(dumps(discovered(line_of(args), stations_of(found)), comment))
    except OSError as error:
        raise Failure(f"cannot write {args.emit_config}: {error.strerror or error}") from None
    print(f"scan: tag file of {len(found)} stations written to {args.emit_config}", file=sys.stderr)


def show(found: List[Dict[str, Any]], out: Output) -> None:
    if out.for_people:
        out.stream.write(
            f"{'station':>7}  {'type':<8}  {'firmware':>8}  {'inputs':>6}  {'outputs':>7}\n"
        )
    for station_found in found:
        words = [
            f"{w:#06x}" if w is not None else "-"
            for w in (station_found["inputs"], station_found["outputs"])
        ]
        version = station_found["firmware"] or "-"
        text = (
            f"{station_found['station']:>7}  {station_found['type']:<8}  {version:>8}  "
            f"{words[0]:>6}  {words[1]:>7}"
        )
        row = [
            station_found["station"],
            station_found["type"],
            station_found["firmware"],
            *words,
        ]
        out.write(text, station_found, row)
    if out.for_people:
        kinds = [station_found["type"] for station_found in found]
        counts = ", ".join(f"{kinds.count(kind)} {kind}" for kind in ("XY", "axis", "analogue"))
        out.stream.write(f"{len(found)} stations: {counts}\n")
