"""The random demo slave on a real port: answers to a master, reports of
writes, its request worker's life cycle."""

import threading
import time

import pytest
import serial

import zul_mew


class ScriptedRandom:
    """Stands in for the shared random generator so answers can be predicted."""

    def __init__(self, words=(), coils=()):
        self.words = list(words)
        self.coils = list(coils)
        self.calls = []

    def randint(self, low, high):
        self.calls.append(("randint", low, high))
        return self.words.pop(0)

    def choice(self, seq):
        self.calls.append(("choice", seq))
        return self.coils.pop(0)


def registered(slave, count=1, within=1.0):
    """Waits until `count` request queues are registered with the slave."""
    deadline = time.monotonic() + within
    while len(slave._query_listeners) != count and time.monotonic() < deadline:
        time.sleep(0.01)
    return len(slave._query_listeners) == count


@pytest.fixture
def demo(cable):
    """A running demo slave (station 1) on one end of the cable."""
    slave = zul_mew.RandomMewSlaveDemo(1, zul_mew.MewSerial(port=cable.ports[0]))
    slave.start()
    assert registered(slave)
    yield slave
    slave.close()


@pytest.fixture
def master(cable, demo):
    node = zul_mew.MewMaster(zul_mew.MewSerial(port=cable.ports[1]), query_timeout=0.5)
    yield node
    node.close()


@pytest.fixture
def peer(cable, demo):
    """Plain pyserial opposite the demo, for requests a master would not send."""
    port = serial.Serial(cable.ports[1], timeout=0.5)
    yield port
    port.close()


def test_reads_come_from_the_shared_generator(master, monkeypatch):
    scripted = ScriptedRandom(words=[0, 65535, 4660, 7, 8], coils=[True, False])
    monkeypatch.setattr(zul_mew, "_random", scripted)
    assert master.get_multi_uint16(1, "DT100", 3) == [0, 65535, 4660]
    assert master.get_multi_coil_uint16(1, "WY0", 2) == [7, 8]
    assert (master.get_coil(1, "Y0"), master.get_coil(1, "Y1")) == (True, False)
    assert scripted.calls == [("randint", 0, 65535)] * 5 + [("choice", (True, False))] * 2


@pytest.mark.parametrize(
    "write, line",
    [
        (lambda m: m.set_coil(1, "Y1", True), "Slave: Contact Y0001 is set to True"),
        (lambda m: m.set_coil(1, "YA", False), "Slave: Contact Y000A is set to False"),
        (
            lambda m: m.set_multi_coil_uint16(1, "WY0", [4660, 255]),
            "Slave: Contact Crow Y0000 wrote to [4660, 255]",
        ),
        (
            lambda m: m.set_multi_uint16(1, "DT100", [1, 2, 3]),
            "Slave: Registers D00100 wrote to [1, 2, 3]",
        ),
    ],
    ids=["coil-true", "coil-false", "coil-words", "registers"],
)
def test_writes_are_printed(master, capsys, write, line):
    write(master)
    assert capsys.readouterr().out == line + "\n"


def test_bad_request_is_reported_and_the_next_one_answered(peer, capsys):
    peer.write(b"%01#RDD001x000102**\r")
    assert peer.read_until(b"\r") == b""
    peer.write(b"%01#WCSY00011**\r")
    assert peer.read_until(b"\r") == b"%01$WC14\r"
    out = capsys.readouterr().out.splitlines()
    assert out[0].startswith("RandomMewSlaveDemo: Request not answered: ValueError: ")
    assert out[1:] == ["Slave: Contact Y0001 is set to True"]


def test_stop_without_start_returns_at_once(fake_channel):
    slave = zul_mew.RandomMewSlaveDemo(3, fake_channel)
    assert (slave.station, slave._slave_thread, slave._slave_stop_flag) == (3, None, True)
    began = time.monotonic()
    slave.stop()
    assert time.monotonic() - began < 0.05
    assert slave._slave_thread is None


def test_start_twice_runs_one_worker_and_stop_ends_it(cable):
    before = set(threading.enumerate())
    slave = zul_mew.RandomMewSlaveDemo(1, zul_mew.MewSerial(port=cable.ports[0]))
    try:
        slave.start()
        worker = slave._slave_thread
        slave.start()
        assert slave._slave_thread is worker
        assert len(set(threading.enumerate()) - before) == 2
        assert registered(slave)
        first = slave._query_listeners[0]
        slave.stop()
        assert not worker.is_alive() and slave._query_listeners == []
        slave.start()
        assert registered(slave) and slave._query_listeners[0] is not first
    finally:
        slave.close()
