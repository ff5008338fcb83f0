"""The plant's scheduler on a simulated bus of 8 XY stations, one of them
silent: how much longer the live stations' poll period gets, and how many
requests a round of the bus takes against one per point.

Each run polls the tag file ``zul-mew scan --emit-config`` writes for the
stations (34 points each), with a query time-out of 0.1 s, against ``zul-mew
sim`` in a process of its own. Every request leaving the line is timed; a live
station's period is the mean time from one read of its inputs to the next,
after a warm-up in which a silent station is found silent; the worst gap shows
what the silent station's tries cost the round they fall into.

  - every 0.1 s: 8 stations answering, then the same tag file on a bus where
    station 8 is missing. ``RESULT live-period-ratio=R`` is the live stations'
    period with the silent station over the same with all answering (the goal
    is R <= 1.10).
  - as fast as the line goes (every 0.01 s, shorter than a round): 7 stations,
    then the same 7 with the silent station 8 in the tag file, and a loop
    written by hand that asks every station every round, taking turns in
    rounds. The ratios say what the silent station costs each.

Run: PYTHONPATH=build:python python3 bench/bench_plant.py   (about 80 s)
"""

from __future__ import annotations

import dataclasses
import statistics
import subprocess
import sys
import threading
import time
from typing import Callable, Dict, List, Tuple

import zul_mew
from zul_mew import MewStatic
from zul_mew_tools.plant import Line, Scheduler, TagFile, discovered
from zul_mew_tools.trace import TraceChannel, TracedFrame

STATIONS = 8
QUERY_TIMEOUT = 0.1
WARM_UP = 2.0
MEASURE = 4.0


class Sim:
    """``zul-mew sim`` with ``count`` XY stations from station 1."""

    def __init__(self, count: int) -> None:
        layout = ",".join(["xy"] * count)
        self.process = subprocess.Popen(
            [sys.executable, "-m", "zul_mew_tools.cli", "sim", "--kind", "bus", "--bus", layout],
            stdout=subprocess.PIPE,
            text=True,
            start_new_session=True,
        )
        assert self.process.stdout is not None
        for line in self.process.stdout:
            if line.startswith("port: "):
                self.port = line.split()[1]
                return
        raise RuntimeError("zul-mew sim did not start")

    def close(self) -> None:
        self.process.terminate()
        self.process.communicate(timeout=10)


def plant(port: str, stations: int, interval: float) -> TagFile:
    tags = discovered(
        Line(port, query_timeout=QUERY_TIMEOUT),
        [(number, "XY", "1.03") for number in range(1, stations + 1)],
    )
    timed = tuple(dataclasses.replace(station, interval=interval) for station in tags.stations)
    return dataclasses.replace(tags, stations=timed)


Measured = Tuple[Dict[int, List[float]], int, int]


def run(tags: TagFile, poll: Callable[[TagFile, zul_mew.MewMaster], None]) -> Measured:
    """The times each station's inputs were asked for in the measured stretch,
    the requests sent in it, and the points of the tag file."""
    asked: Dict[int, List[float]] = {number: [] for number in range(1, STATIONS + 1)}
    sent = [0]
    began = time.monotonic()
    lock = threading.Lock()

    def on_frame(frame: TracedFrame) -> None:
        if frame.direction != "sent" or frame.time < began + WARM_UP:
            return
        with lock:
            sent[0] += 1
            if "#RCCX" in frame.frame:
                asked[MewStatic.parse_station(frame.frame)].append(frame.time)

    channel = TraceChannel(tags.line.open(), on_frame=on_frame)
    master = zul_mew.MewMaster(channel, query_timeout=QUERY_TIMEOUT)
    try:
        poll(tags, master)
    finally:
        master.close()
    return asked, sent[0], sum(len(station.points) for station in tags.stations)


def scheduled(tags: TagFile, master: zul_mew.MewMaster) -> None:
    with Scheduler(tags, master, on_report=lambda report: None):
        time.sleep(WARM_UP + MEASURE)


def every_cycle(tags: TagFile, master: zul_mew.MewMaster) -> None:
    """The loop written by hand: every station's two words each cycle, silent or not."""
    began = time.monotonic()
    cycle = 0
    while time.monotonic() < began + WARM_UP + MEASURE:
        for station in tags.stations:
            for name in ("WX0", "WY0"):
                try:
                    master.get_coil_uint16(station.number, name)
                except IOError:
                    break
        cycle += 1
        interval = tags.stations[0].interval
        time.sleep(max(0.0, began + cycle * interval - time.monotonic()))


def periods(times: List[float]) -> List[float]:
    return [later - earlier for earlier, later in zip(times, times[1:])]


# Each case: the stations on the bus and in the tag file, the interval, the poller.
Case = Tuple[int, int, float, Callable[[TagFile, zul_mew.MewMaster], None]]
AT_INTERVAL: Dict[str, Case] = {
    "all answer": (STATIONS, STATIONS, 0.1, scheduled),
    "station 8 silent": (STATIONS - 1, STATIONS, 0.1, scheduled),
}
AT_LINE_SPEED: Dict[str, Case] = {
    "7 answer": (STATIONS - 1, STATIONS - 1, 0.01, scheduled),
    "7 and 8 silent": (STATIONS - 1, STATIONS, 0.01, scheduled),
    "by hand, 8 silent": (STATIONS - 1, STATIONS, 0.01, every_cycle),
}
# The line-speed cases take turns in rounds, each round dividing by its own
# reference, so that a load that comes and goes weighs on all of them alike.
ROUNDS = 3
LIVE = range(1, STATIONS)


def measure(case: Case) -> Measured:
    on_bus, in_file, interval, poll = case
    sim = Sim(on_bus)
    try:
        return run(plant(sim.port, in_file, interval), poll)
    finally:
        sim.close()


def mean_period(measured: Measured) -> float:
    return statistics.mean(gap for station in LIVE for gap in periods(measured[0][station]))


def row(case: str, interval: float, measured: List[Measured]) -> str:
    period = statistics.median(mean_period(each) for each in measured)
    worst = max(gap for each in measured for station in LIVE for gap in periods(each[0][station]))
    sent = sum(each[1] for each in measured)
    rounds = sum(statistics.mean(len(each[0][station]) for station in LIVE) for each in measured)
    return (
        f"{case:<18} {interval:>5g}s {1000 * period:>9.1f} ms {1000 * worst:>7.1f} ms"
        f" {sent / rounds:>9.1f} {measured[0][2]:>7}"
    )


def main() -> None:
    at_interval = {case: measure(how) for case, how in AT_INTERVAL.items()}
    at_speed: Dict[str, List[Measured]] = {case: [] for case in AT_LINE_SPEED}
    for _ in range(ROUNDS):
        for case, how in AT_LINE_SPEED.items():
            at_speed[case].append(measure(how))
    print(f"XY stations, query time-out {QUERY_TIMEOUT:g} s, {MEASURE:g} s measured after")
    print(f"{WARM_UP:g} s of warm-up; the line-speed rows the median of {ROUNDS} rounds\n")
    header = f"{'case':<18} {'every':>6} {'live period':>12} {'worst gap':>10} {'requests':>9}"
    print(f"{header} {'points':>7}")
    for case, measured in at_interval.items():
        print(row(case, AT_INTERVAL[case][2], [measured]))
    for case, measurements in at_speed.items():
        print(row(case, AT_LINE_SPEED[case][2], measurements))
    print("(requests: per round of the bus; points: one request each, read one by one)\n")
    tries = len(at_interval["station 8 silent"][0][STATIONS])
    print(f"every 0.1 s, the scheduler's tries at the silent station in {MEASURE:g} s: {tries}")
    reference = [mean_period(each) for each in at_speed["7 answer"]]
    for case in ("7 and 8 silent", "by hand, 8 silent"):
        costs = [mean_period(each) / ref for each, ref in zip(at_speed[case], reference)]
        shown = ", ".join(f"{cost:.2f}" for cost in costs)
        print(f"as fast as the line goes, {case}: {statistics.median(costs):.2f} x")
        print(f"  the period of 7 answering (rounds: {shown})")
    ratio = mean_period(at_interval["station 8 silent"]) / mean_period(at_interval["all answer"])
    print(f"RESULT live-period-ratio={ratio:.3f}")


if __name__ == "__main__":
    main()
