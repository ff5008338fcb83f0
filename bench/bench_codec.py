"""Nanoseconds per call of the codec operations on the per-frame paths, in the
module and in plain Python (codec_python.py), with the ratio of the two.

Run: PYTHONPATH=build:python python3 bench/bench_codec.py
"""

import timeit

from codec_python import PyStatic
from zul_mew import MewStatic

REQUEST = "%01#RDD0010000102" + "57\r"
ANSWER = "%01$RD630013\r"

CASES = [
    ("calc_crc", (REQUEST[:-3],)),
    ("append_tail", (REQUEST[:-3],)),
    ("find_station_end", (REQUEST,)),
    ("frame_type", (ANSWER,)),
    ("header_matched", (REQUEST, ANSWER)),
    ("parse_station", (ANSWER,)),
    ("fill_read_data_area_message", (1, "DT100", 3)),
    ("fill_write_data_area_message", (1, "DT0", [1, 2])),
    ("fill_read_word_unit_of_contact_message", (1, "WX0", None, 2)),
]

TARGET_NS = 250


def check_same_results(cases):
    """Each case gives the same result, of the same type, in both codecs: a
    ratio is only worth printing against a plain version that does the work."""
    for name, args in cases:
        module = getattr(MewStatic, name)(*args)
        plain = getattr(PyStatic, name)(*args)
        assert type(plain) is type(module) and plain == module, (
            f"{name}{args!r}: module gives {module!r}, plain Python gives {plain!r}"
        )


def nanoseconds_per_call(calls, number=5_000, repeat=200):
    """The fastest of `repeat` timings of each call, the calls taking turns so
    that a slow second of the machine falls on one timing of each, not on all
    timings of one."""
    timers = [timeit.Timer("f(*a)", globals={"f": f, "a": a}) for f, a in calls]
    best = [float("inf")] * len(calls)
    for _ in range(repeat):
        for index, timer in enumerate(timers):
            best[index] = min(best[index], timer.timeit(number))
    return [seconds / number * 1e9 for seconds in best]


def main():
    check_same_results(CASES)
    calls = []
    for name, args in CASES:
        calls.append((getattr(MewStatic, name), args))
        calls.append((getattr(PyStatic, name), args))
    # The least any call costs from the host's own loop: a builtin that does
    # next to nothing, called the same way.
    calls.append((len, (REQUEST,)))
    times = nanoseconds_per_call(calls)
    width = max(len(name) for name, _ in CASES)
    print(f"{'operation (ns/call)':<{width}}   module  pure Python   ratio")
    slow = []
    ratios = []
    for index, (name, _) in enumerate(CASES):
        module_ns, plain_ns = times[2 * index], times[2 * index + 1]
        ratio = plain_ns / module_ns
        ratios.append(ratio)
        mark = "" if module_ns < TARGET_NS else "  (above target)"
        print(f"{name:<{width}}  {module_ns:7.1f}  {plain_ns:11.1f}  {ratio:5.1f}x{mark}")
        if module_ns >= TARGET_NS:
            slow.append(name)
    print(f"pure Python over module: {min(ratios):.1f}x to {max(ratios):.1f}x")
    print(f"the host's len() called the same way: {times[-1]:.1f} ns")
    print(f"target {TARGET_NS} ns: {'all met' if not slow else ', '.join(slow) + ' above'}")


if __name__ == "__main__":
    main()
