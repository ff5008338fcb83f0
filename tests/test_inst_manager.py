"""Discovery of a simulated bus over the null-modem cable, and the flat views
over the inputs and outputs of its digital I/O stations."""

import threading
import time

import pytest
import serial

import zul_mew

XY, AXIS, AD = zul_mew.INST_TYPE_XY, zul_mew.INST_TYPE_Axis, zul_mew.INST_TYPE_AD
TIMEOUT = 0.3


class Station(zul_mew.MewSlaveBase):
    """One remote station: its type in S0, firmware in S1, words WX0 and WY0.
    Names in `mute` are not answered, as by a station that fails midway."""

    def __init__(self, station, inst_type, wx=0, wy=0, mute=()):
        super().__init__(station)
        self.registers = {"S00000": inst_type, "S00001": 0x0100 + station}
        self.words = {"X": wx, "Y": wy}
        self.mute = set(mute)

    def on_get_multi_coil_uint16(self, name, count):
        if name in self.mute:
            raise LookupError(name)
        return [self.words[name[0]]]

    def on_get_multi_uint16(self, name, count):
        return [self.registers[name]]

    def on_set_coil(self, name, value):
        bit = 1 << zul_mew.MewStatic.parse_contact_address(name[1:])
        self.words["Y"] = self.words["Y"] | bit if value else self.words["Y"] & ~bit

    def on_set_multi_coil_uint16(self, name, values):
        self.words["Y"] = values[0]

    on_get_coil = on_set_multi_uint16 = on_get_multi_uint16


class Bus:
    """The far end of the cable: answers for every station in `stations`,
    records every request it reads, and keeps silent for any other station."""

    def __init__(self, port):
        self.stations = {}
        self.requests = []
        self._port = serial.Serial(port, timeout=0.05)
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._serve)
        self._thread.start()

    def add(self, *stations):
        for station in stations:
            self.stations[station.station] = station

    def _serve(self):
        pending = ""
        while not self._stop.is_set():
            pending += self._port.read_until(b"\r").decode("latin-1")
            if not pending.endswith("\r"):
                continue
            frame, pending = pending, ""
            self.requests.append(frame)
            station = self.stations.get(zul_mew.MewStatic.parse_station(frame))
            try:
                answer = station._process_request(frame) if station else ""
            except LookupError:
                answer = ""
            self._port.write(answer.encode())

    def close(self):
        self._stop.set()
        self._thread.join()
        self._port.close()


@pytest.fixture
def bus(cable):
    far_end = Bus(cable.ports[1])
    yield far_end
    far_end.close()


@pytest.fixture
def manager(node_on, bus):
    return node_on(zul_mew.InstManager, 0, query_timeout=TIMEOUT)


@pytest.fixture
def mixed(bus, manager):
    """Stations 1 XY, 2 axis, 3 of type 7, 4 XY, then silence; discovered."""
    bus.add(
        Station(1, XY, wx=0x8001, wy=0x0010),
        Station(2, AXIS),
        Station(3, 7),
        Station(4, XY, wx=0x0003, wy=0x0002),
    )
    manager.initialize_inst_list()
    return manager


def stations(insts):
    return [inst.station for inst in insts]


def test_silent_bus_ends_after_one_time_out(bus, manager):
    began = time.monotonic()
    manager.initialize_inst_list()
    took = time.monotonic() - began
    assert TIMEOUT <= took < TIMEOUT + 0.5
    counts = (manager.inst_count, manager.xy_count, manager.axis_count, manager.ad_count)
    assert counts == (0, 0, 0, 0)
    with pytest.raises(IndexError):
        manager.x[0]
    with pytest.raises(IndexError):
        manager.wy[0]
    assert len(bus.requests) == 1


def test_mixed_bus_is_filed_by_type(bus, mixed):
    counts = (mixed.inst_count, mixed.xy_count, mixed.axis_count, mixed.ad_count)
    assert counts == (4, 2, 1, 0)
    assert stations(mixed._all_list) == [1, 2, 3, 4]
    assert stations(mixed._xy_list) == [1, 4]
    assert stations(mixed.axis) == [2]
    assert mixed.axis is mixed._axis_list
    unknown = mixed._unknown_list
    assert stations(unknown) == [3]
    assert (unknown[0].inst_type, unknown[0].firmware_version) == (0, 0x0103)
    lists = mixed._inst_list_dict
    assert lists[XY] is mixed._xy_list and lists[AD] is mixed._ad_list
    assert lists[zul_mew.INST_TYPE_UNKNOWN] is unknown and lists[AXIS] is mixed.axis
    # Two requests per station, two more per XY station, one that fails.
    assert len(bus.requests) == 4 + 2 + 2 + 4 + 1


# Index, then what the view gives there (or the error it raises), on the
# discovered mixed bus: station 1 WX 8001 WY 0010, station 4 WX 0003 WY 0002.
READS = {
    "x": [
        (0, True),
        (1, False),
        (15, True),
        (16, True),
        (17, True),
        (-1, False),
        (-16, True),
        (-17, True),
        (32, IndexError),
        (-33, IndexError),
    ],
    "y": [(4, True), (17, True), (-15, True), (0, False), (32, IndexError)],
    "wx": [(0, 0x8001), (-1, 0x0003), (2, IndexError)],
    "wy": [(1, 0x0002), (-2, 0x0010), (-3, IndexError)],
}


@pytest.mark.parametrize("view", READS)
def test_views_read_the_cache(bus, mixed, view):
    sent = len(bus.requests)
    for index, expected in READS[view]:
        if expected is IndexError:
            with pytest.raises(IndexError):
                getattr(mixed, view)[index]
        else:
            value = getattr(mixed, view)[index]
            assert (value, type(value)) == (expected, type(expected)), index
    assert len(bus.requests) == sent


@pytest.mark.parametrize(
    "view, index, value, sent, station_wy",
    [
        ("y", 17, True, [], {4: 0x0002}),
        ("y", 17, False, [(4, "WCS", "Y0001")], {4: 0x0000}),
        ("y", -1, True, [(4, "WCS", "Y000F")], {4: 0x8002}),
        ("wy", 0, 0x12345, [(1, "WCC", "Y0000")], {1: 0x2345}),
        ("wy", 0, 0x10010, [], {1: 0x0010}),
    ],
    ids=["y-unchanged", "y-clear", "y-last-bit", "wy-masked", "wy-unchanged"],
)
def test_writes_send_only_on_change(bus, mixed, view, index, value, sent, station_wy):
    before = len(bus.requests)
    getattr(mixed, view)[index] = value
    written = bus.requests[before:]
    assert [(zul_mew.MewStatic.parse_station(r), r[4:7], r[7:12]) for r in written] == sent
    for station, word in station_wy.items():
        assert bus.stations[station].words["Y"] == word
        assert mixed._xy_list[[1, 4].index(station)].get_wy() == word


def test_failed_write_leaves_the_cache(bus, mixed):
    del bus.stations[4]
    with pytest.raises(IOError):
        mixed.y[16] = True
    with pytest.raises(IOError):
        mixed.wy[1] = 0xFFFF
    assert (mixed.y[16], mixed.wy[1]) == (False, 0x0002)


def test_station_failing_midway_ends_discovery(bus, manager):
    bus.add(Station(1, AXIS), Station(2, XY, mute={"X0000"}), Station(3, XY))
    manager.initialize_inst_list()
    assert stations(manager._all_list) == [1]
    assert (manager.xy_count, manager.axis_count) == (0, 1)


def test_views_are_live_and_rediscovery_appends(bus, manager):
    inputs = manager.x
    bus.add(Station(1, XY, wx=0x0004), Station(2, AD))
    manager.initialize_inst_list()
    manager.initialize_inst_list()
    assert (inputs[2], inputs[18]) == (True, True)
    assert stations(manager._all_list) == [1, 2, 1, 2]
    assert (manager.inst_count, manager.xy_count, manager.ad_count) == (4, 2, 2)


@pytest.mark.parametrize(
    "error, escapes", [(ValueError, False), (KeyboardInterrupt, True)], ids=["Exception", "other"]
)
def test_only_errors_of_the_exception_class_end_discovery_silently(node_on, bus, error, escapes):
    class Interrupted(zul_mew.InstManager):
        def get_uint16(self, station, name):
            if station == 2:
                raise error("stop")
            return super().get_uint16(station, name)

    bus.add(Station(1, AD), Station(2, AD))
    node = node_on(Interrupted, 0, query_timeout=TIMEOUT)
    if escapes:
        with pytest.raises(error):
            node.initialize_inst_list()
    else:
        node.initialize_inst_list()
    assert stations(node._all_list) == [1]
