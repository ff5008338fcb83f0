"""Instrument objects over a node that records every bus call."""

import pytest
import zul_mew


class FakeNode:
    """Stands in for the node: answers reads from ``registers`` and ``words``,
    records every call in ``calls``, and raises ``fail`` on writes if set."""

    def __init__(self, registers=None, words=None):
        self.registers = {"S0": 1, "S1": 0x0102, **(registers or {})}
        self.words = {"WX0": 0, "WY0": 0, **(words or {})}
        self.calls = []
        self.fail = None

    def get_uint16(self, station, name):
        self.calls.append(("get_uint16", station, name))
        return self.registers[name]

    def get_coil_uint16(self, station, name):
        self.calls.append(("get_coil_uint16", station, name))
        return self.words[name]

    def set_coil(self, station, name, value):
        self.calls.append(("set_coil", station, name, value))
        if self.fail:
            raise self.fail

    def set_coil_uint16(self, station, name, value):
        self.calls.append(("set_coil_uint16", station, name, value))
        if self.fail:
            raise self.fail


def make_xy(wx=0, wy=0):
    node = FakeNode(words={"WX0": wx, "WY0": wy})
    inst = zul_mew.InstXY(node, 5)
    node.calls.clear()
    return node, inst


@pytest.mark.parametrize(
    "cls, code",
    [
        (zul_mew.InstUnknown, zul_mew.INST_TYPE_UNKNOWN),
        (zul_mew.InstXY, zul_mew.INST_TYPE_XY),
        (zul_mew.InstAxis, zul_mew.INST_TYPE_Axis),
        (zul_mew.InstAD, zul_mew.INST_TYPE_AD),
    ],
    ids=["unknown", "xy", "axis", "ad"],
)
def test_kind_reports_its_type_station_and_firmware(cls, code):
    node = FakeNode(registers={"S0": 7, "S1": 513})
    inst = cls(node, 9)
    assert (inst.inst_type, inst.station, inst.firmware_version) == (code, 9, 513)
    expected = [("get_uint16", 9, "S1")]
    if cls is zul_mew.InstXY:
        expected += [("get_coil_uint16", 9, "WX0"), ("get_coil_uint16", 9, "WY0")]
    assert node.calls == expected


def test_static_queries_read_s0_and_s1():
    node = FakeNode(registers={"S0": 3, "S1": 42})
    assert zul_mew.Inst.query_inst_type(node, 4) == 3
    assert zul_mew.Inst.query_firmware_version(node, 4) == 42
    assert node.calls == [("get_uint16", 4, "S0"), ("get_uint16", 4, "S1")]


def test_inst_is_abstract_and_its_properties_read_only():
    with pytest.raises(TypeError):
        zul_mew.Inst(FakeNode(), 1)
    inst = zul_mew.InstAxis(FakeNode(), 1)
    with pytest.raises(AttributeError):
        inst.station = 2


def test_failed_query_yields_no_instrument():
    node = FakeNode()
    del node.words["WX0"]
    with pytest.raises(KeyError):
        zul_mew.InstXY(node, 1)


@pytest.mark.parametrize(
    "word, index, expected",
    [(0x8001, 0, True), (0x8001, 1, False), (0x8001, 15, True), (0xFFFF, 16, False)],
    ids=["bit0", "bit1-clear", "bitF", "beyond-16"],
)
def test_getters_read_the_cache_without_traffic(word, index, expected):
    node, inst = make_xy(wx=word, wy=word)
    assert inst.get_x(index) is expected
    assert inst.get_y(index) is expected
    assert inst.get_x16_object()[index] is expected
    assert inst.get_y16_object()[index] is expected
    assert (inst.get_wx(), inst.get_wy()) == (word, word)
    assert node.calls == []


@pytest.mark.parametrize("getter", ["get_x", "get_y"])
def test_negative_index_is_refused(getter):
    node, inst = make_xy(wx=0xFFFF, wy=0xFFFF)
    with pytest.raises(ValueError):
        getattr(inst, getter)(-1)
    with pytest.raises(ValueError):
        inst.set_y(-1, False)
    assert node.calls == []


@pytest.mark.parametrize(
    "wy, index, value, sent, after",
    [
        (0x0008, 3, True, None, 0x0008),
        (0x0008, 3, False, ("Y3", False), 0x0000),
        (0x0000, 10, True, ("YA", True), 0x0400),
        (0x0000, 15, True, ("YF", True), 0x8000),
        (0x0000, 16, True, ("Y10", True), 0x10000),
        (0x0000, 0, False, None, 0x0000),
    ],
    ids=["unchanged", "clear-Y3", "set-YA", "set-YF", "set-Y10", "clear-unchanged"],
)
def test_set_y_writes_only_on_change(wy, index, value, sent, after):
    node, inst = make_xy(wy=wy)
    inst.set_y(index, value)
    assert node.calls == ([("set_coil", 5, *sent)] if sent else [])
    assert inst.get_wy() == after
    assert inst.get_y(index) is value


@pytest.mark.parametrize(
    "wy, value, sent, after",
    [
        (0x0000, 0x12345, 0x2345, 0x2345),
        (0x2345, 0x12345, None, 0x2345),
        (0x00FF, 0x0000, 0x0000, 0x0000),
    ],
    ids=["masked-write", "masked-unchanged", "clear"],
)
def test_set_wy_writes_only_on_change(wy, value, sent, after):
    node, inst = make_xy(wy=wy)
    inst.set_wy(value)
    assert node.calls == ([("set_coil_uint16", 5, "WY0", sent)] if sent is not None else [])
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


def test_y16_assignment_goes_through_set_y():
    node, inst = make_xy()
    outputs = inst.get_y16_object()
    outputs[4] = True
    outputs[4] = True
    assert node.calls == [("set_coil", 5, "Y4", True)]
    assert outputs[4] is True
    with pytest.raises(TypeError):
        inst.get_x16_object()[4] = True


def test_views_are_fresh_and_live():
    _, inst = make_xy()
    first, second = inst.get_x16_object(), inst.get_x16_object()
    assert first is not second
    inst.on_update_wx(0x0004)
    assert first[2] and second[2]


@pytest.mark.parametrize(
    "wx, value, result, after",
    [(5, 0x0005, (5, 5), 5), (0, 0x10003, (3, 0), 3), (0xFFFF, 0, (0, 0xFFFF), 0)],
    ids=["same", "masked-new", "cleared"],
)
def test_on_update_wx_replaces_the_input_cache(wx, value, result, after):
    node, inst = make_xy(wx=wx)
    assert inst.on_update_wx(value) == result
    assert inst.get_wx() == after
    assert node.calls == []


def test_subclass_getter_decides_what_a_write_changes():
    class Pinned(zul_mew.InstXY):
        def get_y(self, index):
            return True

    node = FakeNode()
    inst = Pinned(node, 2)
    node.calls.clear()
    inst.set_y(0, True)
    assert node.calls == []
