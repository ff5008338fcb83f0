"""``zul-mew sim``: simulated stations on a virtual port, until Ctrl-C."""

from __future__ import annotations

import argparse
import signal
import threading
from typing import Any, Sequence

import zul_mew

from ..sim import DEFAULT_LAYOUT, STATION_KINDS, MemoryNode, SimBus
from .line import Failure, add_port_options, open_line, station, virtual_cable


def add_to(commands: "argparse._SubParsersAction[argparse.ArgumentParser]") -> None:
    parser = commands.add_parser("sim", help="run simulated stations on a virtual port")
    parser.add_argument(
        "--station", type=station, default=1, help="station number (first of a bus)"
    )
    parser.add_argument("--kind", choices=["random", "memory", "bus"], default="bus")
    parser.add_argument(
        "--bus",
        default=",".join(DEFAULT_LAYOUT),
        help="kinds of the bus stations in order (xy, axis, ad)",
    )
    add_port_options(parser)
    parser.set_defaults(run=run, prints_to_stdout=True)


def stop_on_signals() -> threading.Event:
    stop = threading.Event()
    for signum in (signal.SIGINT, signal.SIGTERM):
        signal.signal(signum, lambda *_: stop.set())
    return stop


def make_sim_node(kind: str, channel: zul_mew.Channel, first: int, layout: Sequence[str]) -> Any:
    """The running node of ``zul-mew sim``; the caller closes it."""
    if kind == "random":
        node: Any = zul_mew.RandomMewSlaveDemo(first, channel)
        node.start()
    elif kind == "memory":
        node = MemoryNode(channel, slave_station=first)
    else:
        node = SimBus.with_layout(channel, first, layout)
        node.start()
    return node


def run(args: argparse.Namespace) -> int:
    layout = [kind.strip() for kind in args.bus.split(",")]
    unknown = [kind for kind in layout if kind not in STATION_KINDS]
    if unknown or not layout:
        raise Failure(f"--bus takes kinds from {', '.join(STATION_KINDS)}, not {args.bus!r}")
    if args.kind == "memory" and args.station < 1:
        raise Failure("a memory station is 1 or more: station 0 is every station's")
    cable_type = virtual_cable("sim")
    stop = stop_on_signals()
    with cable_type(tap=True) as cable:
        args.port, other = cable.ports
        node = make_sim_node(args.kind, open_line(args, reconnect=True), args.station, layout)
        try:
            what = args.kind if args.kind != "bus" else f"bus {','.join(layout)}"
            last = args.station + (len(layout) - 1 if args.kind == "bus" else 0)
            stations = f"{args.station}" if last == args.station else f"{args.station}..{last}"
            print(f"sim: {what} station {stations}", flush=True)
            print(f"port: {other}", flush=True)
            print(f"tap: {cable.tap}", flush=True)
            while not stop.wait(0.2):
                pass
        finally:
            node.close()
    print("sim: stopped", flush=True)
    return 0
