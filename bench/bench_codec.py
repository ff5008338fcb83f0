"""Nanoseconds per call of the codec operations on the per-frame paths.

Run: PYTHONPATH=build:python python3 bench/bench_codec.py
"""

import timeit

from zul_mew import MewStatic

REQUEST = "%01#RDD0010000102" + "57\r"
ANSWER = "%01$RD630013\r"

CASES = [
    ("calc_crc", MewStatic.calc_crc, (REQUEST[:-3],)),
    ("append_tail", MewStatic.append_tail, (REQUEST[:-3],)),
    ("find_station_end", MewStatic.find_station_end, (REQUEST,)),
    ("frame_type", MewStatic.frame_type, (ANSWER,)),
    ("header_matched", MewStatic.header_matched, (REQUEST, ANSWER)),
    ("parse_station", MewStatic.parse_station, (ANSWER,)),
    ("fill_read_data_area_message", MewStatic.fill_read_data_area_message, (1, "DT100", 3)),
    (
        "fill_write_data_area_message",
        MewStatic.fill_write_data_area_message,
        (1, "DT0", [1, 2]),
    ),
    (
        "fill_read_word_unit_of_contact_message",
        MewStatic.fill_read_word_unit_of_contact_message,
        (1, "WX0", None, 2),
    ),
]

TARGET_NS = 250


def nanoseconds_per_call(cases, number=5_000, repeat=200):
    """The fastest of `repeat` timings of each case, the cases taking turns so
    that a slow second of the machine falls on one timing of each, not on all
    timings of one."""
    timers = [timeit.Timer("f(*a)", globals={"f": f, "a": a}) for _, f, a in cases]
    best = [float("inf")] * len(cases)
    for _ in range(repeat):
        for index, timer in enumerate(timers):
            best[index] = min(best[index], timer.timeit(number))
    return [seconds / number * 1e9 for seconds in best]


def main():
    width = max(len(name) for name, _, _ in CASES)
    print(f"{'operation':<{width}}  ns/call")
    slow = []
    for (name, _, _), ns in zip(CASES, nanoseconds_per_call(CASES)):
        mark = "" if ns < TARGET_NS else "  (above target)"
        print(f"{name:<{width}}  {ns:7.1f}{mark}")
        if ns >= TARGET_NS:
            slow.append(name)
    print(f"target {TARGET_NS} ns: {'all met' if not slow else ', '.join(slow) + ' above'}")


if __name__ == "__main__":
    main()
