"""Many lines in one process: N MewMasters, each on a line of its own, each
polled flat out by a thread of its own, against one native responder that
holds the far end of every line and answers each request after a wire time.

For 1, 4, 8, 16 and 32 lines it prints the exchanges per second of one line
(the mean over the lines, and the slowest), what the whole process does, and
the CPU the process spends per exchange (all its threads, over the batch) and
its threads' context switches per exchange (on Linux: each a thread that
waited and was woken, or was put aside for another). Two
sweeps: without a wire time (each line flat out), and with ``--wire-us`` (2900
by default, the wire time of a one-word read at 115200 baud). It ends with

    RESULT share-at-32=S aggregate-drop=D

S: the per-line rate at 32 lines over the rate of one line alone, with the
wire time; D: how far the aggregate rate without it falls at 32 lines from its
peak over the sweep.

Run: python3 bench/bench_lines.py [--seconds 3] [--wire-us 2900]   (needs g++)
"""

from __future__ import annotations

import argparse
import glob
import os
import subprocess
import sys
import tempfile
import threading
import time
from typing import Dict, List

import zul_mew

HERE = os.path.dirname(os.path.abspath(__file__))
LINES = (1, 4, 8, 16, 32)


def build_responder(directory: str) -> str:
    binary = os.path.join(directory, "lines")
    source = os.path.join(HERE, "lines.cpp")
    subprocess.run(["g++", "-O2", "-o", binary, source, "-lutil"], check=True)
    return binary


def thread_switches() -> float:
    """Context switches of every thread of this process so far (Linux): each
    is a thread that waited and was woken, or was put aside for another."""
    total = 0
    for status in glob.glob("/proc/self/task/*/status"):
        try:
            with open(status) as lines:
                for line in lines:
                    if line.startswith(("voluntary_ctxt_switches", "nonvoluntary_ctxt_switches")):
                        total += int(line.split()[1])
        except FileNotFoundError:  # a thread that ended meanwhile
            pass
    return total if total else float("nan")


def sweep_point(binary: str, count: int, wire_us: int, seconds: float) -> Dict[str, float]:
    responder = subprocess.Popen(
        [binary, str(count), str(wire_us)], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True
    )
    assert responder.stdout is not None and responder.stdin is not None
    ports = [responder.stdout.readline().strip() for _ in range(count)]
    masters = [zul_mew.MewMaster(zul_mew.MewSerial(port=port), query_timeout=1) for port in ports]
    done: List[int] = [0] * count
    begin = threading.Barrier(count + 1)
    end = threading.Event()

    def poll(index: int) -> None:
        master = masters[index]
        for _ in range(20):  # warm up
            master.get_uint16(1, "DT100")
        begin.wait()
        while not end.is_set():
            master.get_uint16(1, "DT100")
            done[index] += 1

    threads = [threading.Thread(target=poll, args=(i,)) for i in range(count)]
    try:
        for thread in threads:
            thread.start()
        begin.wait()
        cpu, wall, switches = time.process_time(), time.perf_counter(), thread_switches()
        time.sleep(seconds)
        counted = list(done)
        cpu, wall = time.process_time() - cpu, time.perf_counter() - wall
        switches = thread_switches() - switches
        end.set()
        for thread in threads:
            thread.join()
    finally:
        for master in masters:
            master.close()
        responder.stdin.close()
        responder.wait()
    total = sum(counted)
    return {
        "lines": count,
        "per_line": total / count / wall,
        "slowest": min(counted) / wall,
        "aggregate": total / wall,
        "cpu_us": cpu / total * 1e6 if total else float("nan"),
        "cores": cpu / wall,
        "switches": switches / total if total else float("nan"),
    }


def show(title: str, points: List[Dict[str, float]]) -> None:
    alone = points[0]["per_line"]
    print(title)
    print(
        f"{'lines':>5} {'per line/s':>11} {'slowest/s':>10} {'share':>6} "
        f"{'aggregate/s':>12} {'CPU us/exch':>12} {'cores':>6} {'switches/exch':>14}"
    )
    for p in points:
        print(
            f"{p['lines']:>5} {p['per_line']:11.0f} {p['slowest']:10.0f} "
            f"{p['per_line'] / alone:6.0%} {p['aggregate']:12.0f} {p['cpu_us']:12.1f} "
            f"{p['cores']:6.2f} {p['switches']:14.2f}"
        )
    print()


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.partition("\n\n")[0])
    parser.add_argument("--seconds", type=float, default=3.0, help="each batch (default 3)")
    parser.add_argument("--wire-us", type=int, default=2900, help="wire time per answer")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as scratch:
        binary = build_responder(scratch)
        flat = [sweep_point(binary, n, 0, args.seconds) for n in LINES]
        wired = [sweep_point(binary, n, args.wire_us, args.seconds) for n in LINES]
    show("without wire time: each line flat out", flat)
    show(f"with {args.wire_us} us of wire time per answer", wired)
    share = wired[-1]["per_line"] / wired[0]["per_line"]
    peak = max(p["aggregate"] for p in flat)
    drop = 1 - flat[-1]["aggregate"] / peak
    print(f"RESULT share-at-32={share:.2f} aggregate-drop={drop:.2f}")
    sys.stdout.flush()


if __name__ == "__main__":
    main()
