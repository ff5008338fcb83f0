"""Leaks: many codec calls and many exchanges leave memory and the reference
counts of the objects they touch where they were."""

import gc
import os
import sys

import pytest

from zul_mew import MewFullDuplex, MewMaster, MewStatic

CODEC_CALLS = 100_000
EXCHANGES = 10_000
FRAME = "%01#RCSX00011C\r"
STATIC = 10**8
# AddressSanitizer holds freed memory in quarantine, so resident memory grows
# under it whatever the module does; blocks and reference counts still tell.
SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")

# One call of every codec operation, good and bad arguments alike: a failure
# must release what the call took as surely as a result does.
CALLS = [
    ("calc_crc", (FRAME, 5)),
    ("calc_crc", ("\u00b5\u4e2d\U0001f600" * 8,)),
    ("calc_crc", ("%01\ud800",)),
    ("calc_crc", (None,)),
    ("crc_is_ok", (FRAME,)),
    ("crc_is_ok", ("%01#RCSX0001GG\r",)),
    ("crc_is_ok", ("%\r",)),
    ("append_tail", ("%01#RCSX0001",)),
    ("find_station_end", ("%" + "F" * 300 + "#",)),
    ("command_start_position", (FRAME,)),
    ("parse_command", (FRAME,)),
    ("parse_command", ("%01#XYZ**\r",)),
    ("frame_type", ("%01",)),
    ("is_feedback", ("%01$RC1**\r",)),
    ("is_query", (FRAME,)),
    ("is_error", ("%01!4100\r",)),
    ("header_matched", (FRAME, "%01$RC1**\r")),
    ("header_matched", ("%01#", "%01")),
    ("parse_station", ("%" + "F" * 40 + "#",)),
    ("parse_station", ("%#",)),
    ("parse_contact_address", ("001F",)),
    ("parse_contact_address", ("00",)),
    ("parse_register_address", ("00100",)),
    ("parse_uint16", ("CDAB",)),
    ("parse_uint16", ("ZZ",)),
    ("parse_int16", ("FEFF",)),
    ("parse_uint32", ("78563412",)),
    ("parse_int32", ("FEFFFFFF",)),
    ("fill_header", (300, "RCS")),
    ("fill_header", ("x", "RCS")),
    ("fill_contact_address", ("%01#RCSX", "1")),
    ("fill_uint16", ("", 0xABCD)),
    ("fill_uint16", ("", -1)),
    ("fill_int16", ("", -300)),
    ("fill_int16", ("", 40000)),
    ("fill_uint32", ("", 2**40)),
    ("fill_int32", ("", -2)),
    ("fill_read_single_point_of_contact_message", (300, "R0100")),
    ("fill_write_single_point_of_contact_message", (1, "Y1A", True)),
    ("fill_read_word_unit_of_contact_message", (1, "WX0", None, 2)),
    ("fill_read_word_unit_of_contact_message", (1, "X0", None, 2)),
    ("fill_write_word_unit_of_contact_message", (1, "WY0", [0x1234, 0xFF])),
    ("fill_read_data_area_message", (1, "DT100", 3)),
    ("fill_read_data_area_message", (1, "DTx", 3)),
    ("fill_write_data_area_message", (1, "DT0", [1, 2])),
    ("fill_write_single_data_message", (1, "DT5", 0xABCD)),
    ("parse_station", (5,)),
]


def call(name, args):
    try:
        getattr(MewStatic, name)(*args)
    except Exception:  # the failures themselves are the fuzz tests' business
        pass


def rss_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * 4096


def constants():
    return {name: getattr(MewStatic, name) for name in dir(MewStatic) if name.isupper()}


def refcounts(objects):
    return [sys.getrefcount(o) for o in objects]


def shared(o):
    """The interpreter's own singletons (small ints, strings of one character, None,
    True, False) are referenced by everything, and their counts say nothing; from
    Python 3.12 on they are immortal, with counts beyond any real one."""
    small = (type(o) is int and -5 <= o <= 256) or (type(o) is str and len(o) < 2)
    return small or o is None or type(o) is bool or sys.getrefcount(o) >= STATIC


class Footprint:
    """What a stretch of work may not grow: the interpreter's allocated blocks,
    the process's resident memory and the reference counts of sample objects."""

    def __init__(self, samples, rss_slack=2 << 20, block_slack=200):
        self.samples = [o for o in samples if not shared(o)]
        self.rss_slack = rss_slack
        self.block_slack = block_slack
        gc.collect()
        self.blocks = sys.getallocatedblocks()
        self.rss = rss_bytes()
        self.refs = refcounts(self.samples)

    def assert_unchanged(self):
        gc.collect()
        assert refcounts(self.samples) == self.refs
        assert sys.getallocatedblocks() - self.blocks < self.block_slack
        if not SANITIZED:
            assert rss_bytes() - self.rss < self.rss_slack


def assert_no_growth(work, samples, warm_up):
    """The footprint of work after a warm-up. The interpreter fills caches of its
    own (specialised code, free lists, what a raised exception needs) and keeps
    them, at times late into a run; that growth comes once, while a leak grows in
    every stretch of the work. So the work runs a second time when the first
    grew, and must leave nothing that time."""
    warm_up()
    footprint = Footprint(samples)
    work()
    try:
        footprint.assert_unchanged()
    except AssertionError:
        footprint = Footprint(samples)
        work()
        footprint.assert_unchanged()


def test_codec_calls_leak_nothing():
    samples = [FRAME, *constants().values()] + [a for _, args in CALLS for a in args]

    def codec_calls():
        for _ in range(CODEC_CALLS // len(CALLS) + 1):
            for name, args in CALLS:
                call(name, args)

    assert_no_growth(codec_calls, samples, warm_up=codec_calls)


class Registers(MewFullDuplex):
    def on_get_multi_uint16(self, name, count):
        return [int(name[1:]) + i for i in range(count)]

    def on_set_multi_uint16(self, name, values):
        self.written = values


@pytest.mark.timeout(90)
def test_exchanges_leak_nothing(node_on):
    """Reads and writes between two nodes on the cable, each side in this process."""
    node = node_on(Registers, 0, slave_station=1)
    master = node_on(MewMaster, 1)
    master.get_uint16(1, "DT7")
    request_queue = node._query_listeners[0]
    samples = [request_queue, FRAME, master, node, *constants().values()]

    def exchanges(count):
        for i in range(count // 2):
            assert master.get_uint16(1, f"DT{i}") == i
            master.set_multi_uint16(1, "DT0", [i, 1])

    assert_no_growth(
        lambda: exchanges(EXCHANGES),
        samples,
        warm_up=lambda: exchanges(EXCHANGES // 10),
    )
    assert node._query_listeners == [request_queue] and master._feedback_listeners == []
