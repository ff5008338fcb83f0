"""Instrument objects over a node that records every bus call."""

import pytest

import zul_mew


class FakeNode:
    """Answers reads from `values`, records every call, raises `fail` on writes."""

    def __init__(self, **values):
        self.values = {"S1": 0x0102, "WX0": 0, "WY0": 0, **values}
        self.calls = []
        self.fail = None

    def get_uint16(self, station, name):
        self.calls.append((station, name))
        return self.values[name]

    get_coil_uint16 = get_uint16

    def set_coil(self, station, name, value):
        self.calls.append((station, name, value))
        if self.fail:
            raise self.fail

    set_coil_uint16 = set_coil


def make_xy(wx=0, wy=0):
    node = FakeNode(WX0=wx, WY0=wy)
    inst = zul_mew.InstXY(node, 5)
    node.calls.clear()
    return node, inst


@pytest.mark.parametrize(
    "cls, code, reads",
    [
        (zul_mew.InstUnknown, 0, ["S1"]),
        (zul_mew.InstXY, 1, ["S1", "WX0", "WY0"]),
        (zul_mew.InstAxis, 2, ["S1"]),
        (zul_mew.InstAD, 3, ["S1"]),
    ],
    ids=["unknown", "xy", "axis", "ad"],
)
def test_kind_reads_its_station_once(cls, code, reads):
    node = FakeNode(S1=513)
    inst = cls(node, 9)
    assert (inst.inst_type, inst.station, inst.firmware_version) == (code, 9, 513)
    assert node.calls == [(9, name) for name in reads]


@pytest.mark.parametrize(
    "word, index, expected",
    [(0x8001, 0, True), (0x8001, 1, False), (0x8001, 15, True), (0xFFFF, 16, False)],
    ids=["X0", "X1-clear", "XF", "beyond-16"],
)
def test_getters_read_the_cache_without_traffic(word, index, expected):
    node, inst = make_xy(wx=word, wy=word)
    assert inst.get_x16_object()[index] is inst.get_y16_object()[index] is expected
    assert (inst.get_wx(), inst.get_wy()) == (word, word)
    for refused in (inst.get_x, inst.get_y, lambda i: inst.set_y(i, False)):
        with pytest.raises(ValueError):
            refused(-1)
    assert node.calls == []


@pytest.mark.parametrize(
    "wy, write, sent, after",
    [
        (0x0008, lambda i: i.set_y(3, True), None, 0x0008),
        (0x0008, lambda i: i.set_y(3, False), ("Y3", False), 0x0000),
        (0x0000, lambda i: i.set_y(10, True), ("YA", True), 0x0400),
        (0x0000, lambda i: i.set_y(16, True), ("Y10", True), 0x10000),
        (0x0000, lambda i: i.set_wy(0x12345), ("WY0", 0x2345), 0x2345),
        (0x2345, lambda i: i.set_wy(0x12345), None, 0x2345),
    ],
    ids=["Y3-unchanged", "Y3-clear", "YA-set", "Y10-set", "WY-masked", "WY-unchanged"],
)
def test_writes_only_on_change(wy, write, sent, after):
    node, inst = make_xy(wy=wy)
    write(inst)
    assert node.calls == ([(5, *sent)] if sent else [])
    assert inst.get_wy() == after


@pytest.mark.parametrize(
    "write", [lambda i: i.set_y(2, True), lambda i: i.set_wy(0x00F0)], ids=["set_y", "set_wy"]
)
def test_cache_unchanged_when_write_fails(write):
    node, inst = make_xy(wy=0x0001)
    node.fail = OSError("MewMasterBase: device response timeout.")
    with pytest.raises(IOError):
        write(inst)
    assert inst.get_wy() == 0x0001


@pytest.mark.parametrize(
    "wx, value, result",
    [(5, 0x0005, (5, 5)), (0, 0x10003, (3, 0)), (0xFFFF, 0, (0, 0xFFFF))],
    ids=["same", "masked-new", "cleared"],
)
def test_on_update_wx_replaces_the_input_cache(wx, value, result):
    node, inst = make_xy(wx=wx)
    assert inst.on_update_wx(value) == result
    assert inst.get_wx() == result[0]
    assert node.calls == []
