"""Stress: many threads on one master, many start/stop cycles, close during a wait."""

import threading
import time

import pytest

import zul_mew
from zul_mew import MewFullDuplex, MewMaster

THREADS = 8
EXCHANGES_PER_THREAD = 500
CYCLES = 200


class Registers(MewFullDuplex):
    """Register n holds what was last written to it, n itself before that;
    every request that fails the frame test is kept."""

    def __init__(self, *args, **kwargs):
        self.memory = {}
        self.invalid = []
        super().__init__(*args, **kwargs)

    def on_get_multi_uint16(self, name, count):
        first = int(name[1:])
        return [self.memory.get(first + i, first + i) for i in range(count)]

    def on_set_multi_uint16(self, name, values):
        first = int(name[1:])
        for i, value in enumerate(values):
            self.memory[first + i] = value

    def process_invalid_frame(self, frame):
        self.invalid.append(frame)


@pytest.mark.timeout(120)
def test_threads_sharing_one_master_get_their_own_answers(node_on, capsys):
    """Each thread owns a block of registers, writes them and reads them back:
    a frame cut into by another thread's frame would be refused by the node or
    answered with another thread's data."""
    node = node_on(Registers, 0, slave_station=1)
    master = node_on(MewMaster, 1)
    wrong = []

    def client(n):
        base = 1000 * (n + 1)
        for i in range(EXCHANGES_PER_THREAD // 2):
            value = (n << 12) | i
            master.set_multi_uint16(1, f"DT{base + i % 7}", [value, n])
            answer = master.get_multi_uint16(1, f"DT{base + i % 7}", 2)
            if answer != [value, n]:
                wrong.append((n, i, answer))

    clients = [threading.Thread(target=client, args=(n,)) for n in range(THREADS)]
    for t in clients:
        t.start()
    for t in clients:
        t.join()
    assert wrong == [] and node.invalid == []
    assert capsys.readouterr().out == ""
    assert master._feedback_listeners == []


def threads_of(node):
    return [
        t
        for t in threading.enumerate()
        if getattr(t, "_target", None) is not None and getattr(t._target, "__self__", None) is node
    ]


@pytest.mark.timeout(120)
def test_start_stop_cycles_leave_no_thread_and_no_listener(cable, node_on):
    channel = zul_mew.MewSerial(port=cable.ports[0], timeout=0.01)
    node = node_on(lambda *a, **k: Registers(channel, slave_station=1), 0)
    master = node_on(MewMaster, 1, query_timeout=1)
    for cycle in range(CYCLES):
        node.stop()
        assert threads_of(node) == [] and node._query_listeners == []
        node.start()
        if cycle % 50 == 0:
            assert master.get_uint16(1, f"DT{cycle}") == cycle
    node.stop()
    assert threads_of(node) == []
    assert node._query_listeners == [] and node._feedback_listeners == []


@pytest.mark.parametrize("waiting", ["in its exchange", "for the query lock"])
def test_close_while_a_query_waits(cable, node_on, waiting):
    """Nobody answers; the master is closed while a query waits for its answer
    (or for its turn). The waiting query ends with the time-out or with the
    closed port's error; close returns at once; nothing hangs."""
    master = node_on(MewMaster, 0, query_timeout=0.5)
    failures = []

    def ask():
        try:
            master.get_uint16(1, "DT0")
        except OSError as error:
            failures.append(str(error))

    askers = [threading.Thread(target=ask) for _ in range(1 if waiting == "in its exchange" else 2)]
    for t in askers:
        t.start()
    time.sleep(0.1)
    began = time.monotonic()
    master.close()
    assert time.monotonic() - began < 0.4
    for t in askers:
        t.join(timeout=2)
        assert not t.is_alive()
    assert failures[0] == "MewMasterBase: device response timeout."
    assert len(failures) == len(askers)
    assert master._feedback_listeners == []
