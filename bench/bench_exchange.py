"""Master exchanges over the virtual null-modem cable, against the floor of the line.

Prints a table: microseconds per one-word read (median of several batches) for
  - the floor: a native master and a native responder on plain file descriptors,
  - a MewMaster against the native responder,
  - a MewMaster against a MewFullDuplex node in a second process,
with, for the MewMaster rows, the CPU time of the master's process per exchange,
and the CPU a started node uses per second on a silent line.

The batches of the three exchanges take turns on the same cable, so a load
that comes and goes on the machine weighs on all three alike and the ratios
to the floor stay fair.

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
from zul_mew_tools.cable import NullModemCable

ROUNDS = 15
BATCH = 150
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


def master_batch(master: zul_mew.MewMaster) -> tuple[float, float]:
    """Wall and CPU microseconds per exchange; the CPU is that of this process,
    caller and receiver together, which a busy machine hardly disturbs."""
    master.start()
    try:
        for _ in range(10):
            master.get_uint16(1, "DT100")
        cpu, start = time.process_time(), time.perf_counter()
        for _ in range(BATCH):
            master.get_uint16(1, "DT100")
        wall = time.perf_counter() - start
        return wall / BATCH * 1e6, (time.process_time() - cpu) / BATCH * 1e6
    finally:
        master.stop()


def exchanges(binary: str, near: str, far: str) -> tuple[list, list, list]:
    floor, native, duplex = [], [], []
    master = zul_mew.MewMaster(zul_mew.MewSerial(port=near), query_timeout=1)
    master.stop()
    station = FullDuplexStation(far)
    try:
        for _ in range(ROUNDS):
            responder = subprocess.Popen([binary, "responder", far])
            try:
                time.sleep(0.05)
                floor.append(floor_batch(binary, near))
                native.append(master_batch(master))
            finally:
                responder.kill()
                responder.wait()
            station.command("start")
            try:
                duplex.append(master_batch(master))
            finally:
                station.command("stop")
    finally:
        station.close()
        master.close()
    return floor, native, duplex


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
        floor, native, duplex = exchanges(binary, near, far)
        idle = idle_cpu_percent(near)
    floor_us = statistics.median(floor)
    print(f"{'exchange (one-word RD)':48} {'us':>9} {'x floor':>8} {'CPU us':>8}")
    print(f"{'floor: native master, native responder':48} {floor_us:9.1f} {1:8.2f}")
    for name, batches in (
        ("MewMaster, native responder", native),
        ("MewMaster, MewFullDuplex in a second process", duplex),
    ):
        us = statistics.median(wall for wall, _ in batches)
        cpu = statistics.median(cpu for _, cpu in batches)
        print(f"{name:48} {us:9.1f} {us / floor_us:8.2f} {cpu:8.1f}")
    print(f"{'idle node, CPU of one core':48} {idle:8.3f}%")


if __name__ == "__main__":
    main()
