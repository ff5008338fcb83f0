"""Full-duplex node: master and slave on one line, with its request worker."""

import threading
import time

import pytest
import serial

import zul_mew
from zul_mew import MewFullDuplex, MewMaster, MewSerial


def workers_alive():
    # Python 3.9 names a thread without its target; the target itself says it everywhere.
    def target(thread):
        return getattr(getattr(thread, "_target", None), "__name__", "")

    return [t for t in threading.enumerate() if target(t) == "_check_and_process_request"]


def settle(condition, limit=1.0):
    deadline = time.monotonic() + limit
    while not condition() and time.monotonic() < deadline:
        time.sleep(0.01)
    return condition()


class Echo(MewFullDuplex):
    """Answers register reads with its own station times 1000 plus the address;
    the address 666 fails, the address 777 answers a word too wide for the line."""

    def on_get_multi_uint16(self, name, count):
        first = int(name[1:])
        if first == 666:
            raise RuntimeError("register 666 is broken")
        if first == 777:
            return [70000]
        return [self.station * 1000 + first + i for i in range(count)]


def test_keywords_go_to_their_own_constructors(cable, monkeypatch):
    seen = {}

    def serial_on_cable(**kwargs):
        seen.update(kwargs)
        return serial.Serial(port=cable.ports[1], timeout=kwargs["timeout"])

    monkeypatch.setattr(zul_mew, "Serial", serial_on_cable)
    node = MewFullDuplex("/dev/ttyUSB7", baudrate=19200, query_timeout=0.3, slave_station=5)
    try:
        assert seen == {"port": "/dev/ttyUSB7", "baudrate": 19200, "timeout": 0.1}
        assert (node.station, node._query_timeout) == (5, 0.3)
        assert node._receiver_thread.is_alive() and node._slave_thread.is_alive()
    finally:
        node.close()


@pytest.mark.parametrize("station", [0, -3])
def test_slave_station_below_one_starts_nothing(cable, station):
    channel = MewSerial(port=cable.ports[1])
    before = threading.active_count()
    try:
        with pytest.raises(AssertionError):
            MewFullDuplex(channel, slave_station=station)
        assert threading.active_count() == before
    finally:
        channel.close()


@pytest.mark.parametrize(
    "operation, args, result",
    [
        ("get_coil", ("Y3",), False),
        ("get_multi_coil_uint16", ("WX0", 3), [0, 0, 0]),
        ("get_multi_uint16", ("DT10", 2), [0, 0]),
        ("set_coil", ("Y3", True), None),
        ("set_multi_coil_uint16", ("WY0", [1, 2]), None),
        ("set_multi_uint16", ("DT10", [1, 2]), None),
    ],
    ids=[
        "get_coil",
        "get_multi_coil_uint16",
        "get_multi_uint16",
        "set_coil",
        "set_multi_coil_uint16",
        "set_multi_uint16",
    ],
)
def test_neutral_node_answers_as_station_one(node_on, operation, args, result):
    node_on(MewFullDuplex, 1)
    master = node_on(MewMaster, 0, query_timeout=0.5)
    assert getattr(master, operation)(1, *args) == result


def test_restart_leaves_one_worker_and_one_queue(node_on):
    node = node_on(MewFullDuplex, 1)
    first = node._slave_thread
    started = time.monotonic()
    node.stop()
    assert time.monotonic() - started < 0.5
    node.stop()
    assert not first.is_alive() and node._query_listeners == []
    node.start()
    node.start()
    assert node._slave_thread is not first
    assert settle(lambda: len(node._query_listeners) == 1)
    time.sleep(0.15)
    assert len(node._query_listeners) == 1 and len(workers_alive()) == 1


def test_stopped_node_does_not_answer(node_on):
    node = node_on(Echo, 1)
    master = node_on(MewMaster, 0, query_timeout=0.3)
    node.stop()
    with pytest.raises(IOError, match="timeout"):
        master.get_uint16(1, "DT5")
    node.start()
    assert settle(lambda: node._query_listeners)
    assert master.get_uint16(1, "DT5") == 1005


def test_serves_requests_while_its_master_queries(node_on):
    a = node_on(Echo, 0, slave_station=1, query_timeout=1)
    b = node_on(Echo, 1, slave_station=2, query_timeout=1)
    results = {a: [], b: []}

    def ask(node, other):
        for n in range(15):
            results[node].append(node.get_uint16(other, f"DT{n}") - other * 1000 - n)

    threads = [threading.Thread(target=ask, args=p) for p in ((a, 2), (b, 1))]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert results == {a: [0] * 15, b: [0] * 15}


@pytest.mark.parametrize(
    "request_frame, error",
    [
        (
            zul_mew.MewStatic.fill_read_data_area_message(1, "DT666", 1),
            "RuntimeError: register 666",
        ),
        (zul_mew.MewStatic.fill_read_data_area_message(1, "DT777", 1), "ValueError: 16-bit value"),
        ("%01#RCSY0000ZZ\r", "ValueError: invalid literal"),
        (zul_mew.MewStatic.append_tail("%01#WDD0000000000"), "ValueError: invalid literal"),
    ],
    ids=["handler-raises", "word-too-wide", "bcc-not-hex", "write-without-data"],
)
def test_worker_survives_a_failed_request(node_on, capsys, request_frame, error):
    node = node_on(Echo, 1)
    master = node_on(MewMaster, 0, query_timeout=0.3)
    with pytest.raises(IOError, match="timeout"):
        master.query(request_frame)
    assert master.get_uint16(1, "DT5") == 1005
    assert node._slave_thread.is_alive() and len(node._query_listeners) == 1
    lines = capsys.readouterr().out.splitlines()
    assert len(lines) == 1 and lines[0].startswith(f"MewFullDuplex: Request not answered: {error}")


def shut_down_on_y0(base, how):
    """A station whose output Y0 is a "shut down" switch: writing it stops or
    closes the node from its own handler."""

    class ShutDown(base):
        def on_set_coil(self, name, value):
            getattr(self, how)()

    return ShutDown


@pytest.mark.parametrize("how", ["stop", "close"])
@pytest.mark.parametrize(
    "base, build",
    [
        (MewFullDuplex, lambda cls, channel: cls(channel, slave_station=1)),
        (zul_mew.RandomMewSlaveDemo, lambda cls, channel: cls(1, channel)),
    ],
    ids=["full-duplex", "demo"],
)
def test_a_handler_ends_its_own_node_after_answering(cable, base, build, how):
    station = build(shut_down_on_y0(base, how), MewSerial(port=cable.ports[1]))
    station.start()
    try:
        with MewMaster(MewSerial(port=cable.ports[0]), query_timeout=0.5) as master:
            master.set_coil(1, "Y0", True)  # answered before the node ends
            assert settle(lambda: not workers_alive() and not station._receiver_thread.is_alive())
            assert station._channel._serial.is_open == (how == "stop")
    finally:
        station.close()
