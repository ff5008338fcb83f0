"""Master exchanges over the virtual null-modem cable, against the floor of the line.

Prints a table: microseconds per one-word read (median of several batches) for
  - the floor: a native master and a native responder on plain file descriptors,
  - a MewMaster against the native responder,
  - the same hand-over in plain host code against the native responder (a
    reader thread and a queue per exchange, no code of the module; see
    handover.py): the cost of the design itself,
  - a MewMaster against a MewFullDuplex node in a second process,
with, for the rows after the floor, the ratio to the floor and the CPU time of
the measuring process per exchange, and the CPU a started node uses per second
on a silent line.

The batches take turns on the same cable in rounds. Each round measures the
floor before and after its two batches against the native responder (which
take turns going first), and divides by the mean of the two floors, so that a
load that comes and goes on the machine weighs on the floor and on the master
alike. A ratio shown is the median of the rounds' ratios, with the spread of
the middle half of them.

Run: python3 bench/bench_exchange.py   (needs g++, the installed zul_mew)
"""

from __future__ import annotations

import os
import statistics
import subprocess
import sys
import tempfile
import textwrap
import time

import zul_mew
from handover import PlainHandover
from zul_mew_tools.cable import NullModemCable

ROUNDS = 21
BATCH = 150
# Beyond this spread of the middle half of the floors, relative to their
# median, the machine's own cost of waking a thread changed during the run.
BUSY_SPREAD = 0.25
HERE = os.path.dirname(os.path.abspath(__file__))

# A full-duplex station that stops and starts its node on command, so that the
# native responder can have the line between its batches.
FULL_DUPLEX_NODE = textwrap.dedent(
    """
    import sys, zul_mew
    node = zul_mew.MewFullDuplex(zul_mew.MewSerial(port=sys.argv[1]), slave_station=1)
    node.stop()
    print("ready", flush=True)
    try:
        for command in sys.stdin:
            getattr(node, command.strip())()
            print("done", flush=True)
    finally:
        node.close()
    """
)


def build_floor(directory: str) -> str:
    binary = os.path.join(directory, "floor")
    subprocess.run(
        ["g++", "-O2", "-o", binary, os.path.join(HERE, "floor.cpp")],
        check=True,
    )
    return binary


class FullDuplexStation:
    """A MewFullDuplex node in a second process, started only while it is measured."""

    def __init__(self, port: str) -> None:
        self._process = subprocess.Popen(
            [sys.executable, "-c", FULL_DUPLEX_NODE, port],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            text=True,
        )
        self._process.stdout.readline()

    def command(self, name: str) -> None:
        self._process.stdin.write(name + "\n")
        self._process.stdin.flush()
        self._process.stdout.readline()

    def close(self) -> None:
        self._process.stdin.close()
        self._process.wait()


def floor_batch(binary: str, port: str) -> float:
    out = subprocess.run(
        [binary, "master", port, str(BATCH)], check=True, capture_output=True, text=True
    )
    return float(out.stdout)


def timed_batch(exchange) -> tuple[float, float]:
    """Wall and CPU microseconds per exchange; the CPU is that of this process,
    caller and reader thread together, which a busy machine hardly disturbs."""
    for _ in range(10):
        exchange()
    cpu, start = time.process_time(), time.perf_counter()
    for _ in range(BATCH):
        exchange()
    wall = time.perf_counter() - start
    return wall / BATCH * 1e6, (time.process_time() - cpu) / BATCH * 1e6


def master_batch(master: zul_mew.MewMaster) -> tuple[float, float]:
    master.start()
    try:
        return timed_batch(lambda: master.get_uint16(1, "DT100"))
    finally:
        master.stop()


def handover_batch(port: str) -> tuple[float, float]:
    handover = PlainHandover(port)
    try:
        return timed_batch(handover.exchange)
    finally:
        handover.close()


def exchanges(binary: str, near: str, far: str) -> list[dict]:
    rounds = []
    master = zul_mew.MewMaster(zul_mew.MewSerial(port=near), query_timeout=1)
    master.stop()
    station = FullDuplexStation(far)
    try:
        for number in range(ROUNDS):
            responder = subprocess.Popen([binary, "responder", far])
            try:
                time.sleep(0.05)
                before = floor_batch(binary, near)
                if number % 2:
                    plain = handover_batch(near)
                    native = master_batch(master)
                else:
                    native = master_batch(master)
                    plain = handover_batch(near)
                after = floor_batch(binary, near)
            finally:
                responder.kill()
                responder.wait()
            station.command("start")
            try:
                duplex = master_batch(master)
            finally:
                station.command("stop")
            rounds.append(
                {"floor": (before + after) / 2, "native": native, "plain": plain, "duplex": duplex}
            )
    finally:
        station.close()
        master.close()
    return rounds


def idle_cpu_percent(port: str, seconds: float = 5.0) -> float:
    master = zul_mew.MewMaster(zul_mew.MewSerial(port=port))
    try:
        time.sleep(0.5)
        cpu, wall = time.process_time(), time.perf_counter()
        time.sleep(seconds)
        return (time.process_time() - cpu) / (time.perf_counter() - wall) * 100
    finally:
        master.close()


def main() -> None:
    with tempfile.TemporaryDirectory() as scratch, NullModemCable() as cable:
        near, far = cable.ports
        binary = build_floor(scratch)
        rounds = exchanges(binary, near, far)
        idle = idle_cpu_percent(near)
    floor_low, floor_us, floor_high = statistics.quantiles([r["floor"] for r in rounds], n=4)
    header = f"{'exchange (one-word RD)':46} {'us':>7} {'x floor':>8} {'middle half':>12}"
    print(f"{header} {'CPU us':>7}")
    floor_spread = f"{floor_low:.0f}-{floor_high:.0f} us"
    print(
        f"{'floor: native master, native responder':46} {floor_us:7.1f} {1:8.2f} {floor_spread:>12}"
    )
    for name, key in (
        ("MewMaster, native responder", "native"),
        ("plain-host hand-over, native responder", "plain"),
        ("MewMaster, MewFullDuplex in a second process", "duplex"),
    ):
        us = statistics.median(r[key][0] for r in rounds)
        cpu = statistics.median(r[key][1] for r in rounds)
        low, ratio, high = statistics.quantiles([r[key][0] / r["floor"] for r in rounds], n=4)
        spread = f"{low:.2f}-{high:.2f}"
        print(f"{name:46} {us:7.1f} {ratio:8.2f} {spread:>12} {cpu:7.1f}")
    print(f"{'idle node, CPU of one core':46} {'':7} {idle:7.3f}%")
    if floor_high - floor_low > BUSY_SPREAD * floor_us:
        print(
            f"The floor moved from {floor_low:.0f} to {floor_high:.0f} us between rounds: "
            "the machine was busy. Take the figures again when it is quiet."
        )


if __name__ == "__main__":
    main()
