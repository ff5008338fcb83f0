"""``zul-mew sim``: simulated stations on a virtual port, or on a TCP port for
``socket://`` URLs, until Ctrl-C."""

from __future__ import annotations

import argparse
import signal
import threading
from typing import Any, Sequence

import zul_mew

from ..listening import ListeningChannel
from ..sim import DEFAULT_LAYOUT, STATION_KINDS, MemoryNode, SimBus
from .line import Failure, add_port_options, address, open_line, station, traced, virtual_cable


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
    parser.add_argument(
        "--listen",
        metavar="[HOST:]PORT",
        help="serve the stations on a TCP port, for socket://HOST:PORT, instead of a "
        "virtual serial port (HOST 127.0.0.1 unless given; port 0 picks a free one)",
    )
    add_port_options(parser)
    parser.set_defaults(run=run, prints_to_stdout=True)


class Stop:
    """Set by the first SIGINT (Ctrl-C) or SIGTERM; ``status`` is the exit status
    a shell gives a program ended by that signal: 130, 143."""

    def __init__(self) -> None:
        self.event = threading.Event()
        self.status = 0
        for signum in (signal.SIGINT, signal.SIGTERM):
            signal.signal(signum, self._on_signal)

    def _on_signal(self, signum: int, frame: Any) -> None:
        if not self.event.is_set():
            self.status = 128 + signum
            self.event.set()


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
    if args.listen:
        host, port = address(args.listen, "--listen")
        stop = Stop()
        try:
            listening = ListeningChannel(host, port, timeout=args.timeout)
        except OSError as error:
            raise Failure(f"cannot listen on {host}:{port}: {error.strerror or error}") from None
        serve(args, layout, traced(args, listening), stop, [f"port: {listening.url}"])
    else:
        cable_type = virtual_cable("sim", "--listen [HOST:]PORT serves on a TCP port instead")
        stop = Stop()
        with cable_type(tap=True) as cable:
            args.port, other = cable.ports
            channel = open_line(args, reconnect=True)
            serve(args, layout, channel, stop, [f"port: {other}", f"tap: {cable.tap}"])
    print("sim: stopped", flush=True)
    return stop.status


def serve(
    args: argparse.Namespace,
    layout: Sequence[str],
    channel: zul_mew.Channel,
    stop: Stop,
    where: Sequence[str],
) -> None:
    """Runs the stations on ``channel`` until ``stop``, saying first where they are."""
    node = make_sim_node(args.kind, channel, args.station, layout)
    try:
        what = args.kind if args.kind != "bus" else f"bus {','.join(layout)}"
        last = args.station + (len(layout) - 1 if args.kind == "bus" else 0)
        stations = f"{args.station}" if last == args.station else f"{args.station}..{last}"
        print(f"sim: {what} station {stations}", flush=True)
        for line in where:
            print(line, flush=True)
        while not stop.event.wait(0.2):
            pass
    finally:
        node.close()
