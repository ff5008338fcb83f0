"""Master exchanges over the virtual null-modem cable, against the floor of the line.

Prints a table: microseconds per one-word read (median of several batches) for
  - the floor: a native master and a native responder on plain file descriptors,
  - a MewMaster against the native responder,
  - a MewMaster against a MewFullDuplex node in a second process,
and the CPU a started node uses per second on a silent line.

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

BATCHES = 7
BATCH = 300
HERE = os.path.dirname(os.path.abspath(__file__))


def build_floor(directory: str) -> str:
    binary = os.path.join(directory, "floor")
    subprocess.run(
        ["g++", "-O2", "-o", binary, os.path.join(HERE, "floor.cpp")],
        check=True,
    )
    return binary


def floor_us(binary: str, port: str) -> float:
    runs = []
    for _ in range(BATCHES):
        out = subprocess.run(
            [binary, "master", port, str(BATCH)], check=True, capture_output=True, text=True
        )
        runs.append(float(out.stdout))
    return statistics.median(runs)


def master_us(port: str) -> float:
    master = zul_mew.MewMaster(port, query_timeout=1)
    try:
        master.get_uint16(1, "DT100")
        runs = []
        for _ in range(BATCHES):
            start = time.perf_counter()
            for _ in range(BATCH):
                master.get_uint16(1, "DT100")
            runs.append((time.perf_counter() - start) / BATCH * 1e6)
        return statistics.median(runs)
    finally:
        master.close()


FULL_DUPLEX_NODE = textwrap.dedent(
    """
    import signal, sys, zul_mew
    node = zul_mew.MewFullDuplex(sys.argv[1], slave_station=1)
    print("ready", flush=True)
    try:
        signal.sigwait([signal.SIGTERM])
    finally:
        node.close()
    """
)


def idle_cpu_percent(port: str, seconds: float = 5.0) -> float:
    master = zul_mew.MewMaster(port)
    try:
        time.sleep(0.5)
        cpu, wall = time.process_time(), time.perf_counter()
        time.sleep(seconds)
        return (time.process_time() - cpu) / (time.perf_counter() - wall) * 100
    finally:
        master.close()


def main() -> None:
    rows = []
    with tempfile.TemporaryDirectory() as scratch, NullModemCable() as cable:
        near, far = cable.ports
        binary = build_floor(scratch)
        responder = subprocess.Popen([binary, "responder", far])
        try:
            time.sleep(0.2)
            floor = floor_us(binary, near)
            native = master_us(near)
        finally:
            responder.kill()
            responder.wait()
        node = subprocess.Popen(
            [sys.executable, "-c", FULL_DUPLEX_NODE, far],
            stdout=subprocess.PIPE,
            text=True,
        )
        try:
            node.stdout.readline()
            duplex = master_us(near)
        finally:
            node.terminate()
            node.wait()
        idle = idle_cpu_percent(near)
    rows.append(("floor: native master, native responder", floor, 1.0))
    rows.append(("MewMaster, native responder", native, native / floor))
    rows.append(("MewMaster, MewFullDuplex in a second process", duplex, duplex / floor))
    print(f"{'exchange (one-word RD)':48} {'us':>9} {'x floor':>8}")
    for name, us, ratio in rows:
        print(f"{name:48} {us:9.1f} {ratio:8.2f}")
    print(f"{'idle node, CPU of one core':48} {idle:8.3f}%")


if __name__ == "__main__":
    main()
