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


def nanoseconds_per_call(function, args, number=20_000, repeat=30):
    timer = timeit.Timer("f(*a)", globals={"f": function, "a": args})
    return min(timer.repeat(repeat=repeat, number=number)) / number * 1e9


def main():
    width = max(len(name) for name, _, _ in CASES)
    print(f"{'operation':<{width}}  ns/call")
    slow = []
    for name, function, args in CASES:
        ns = nanoseconds_per_call(function, args)
        mark = "" if ns < TARGET_NS else "  (above target)"
        print(f"{name:<{width}}  {ns:7.1f}{mark}")
        if ns >= TARGET_NS:
            slow.append(name)
    print(f"target {TARGET_NS} ns: {'all met' if not slow else ', '.join(slow) + ' above'}")


if __name__ == "__main__":
    main()
