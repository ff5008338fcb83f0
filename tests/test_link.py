"""MewBase on a real port: life cycle of the receiver, dispatch by frame type,
diagnostics, writes under the send lock, and the with statement of everything
that owns a line."""

import contextlib
import queue
import threading
import time

import pytest
import serial

import zul_mew


class Recorder:
    """A listener that logs (name, frame) into a queue shared with others."""

    def __init__(self, name, log):
        self.name = name
        self.log = log

    def put(self, frame):
        self.log.put((self.name, frame))


class RecordingSerial:
    """Stands in for ports that do not exist here (COM3, /dev/ttyUSB0)."""

    def __init__(self, **kwargs):
        self.kwargs = kwargs

    def close(self):
        pass


@pytest.fixture
def line(cable):
    """A stopped node on one end of the cable, plain pyserial on the other."""
    node = zul_mew.MewBase(zul_mew.MewSerial(port=cable.ports[0]))
    peer = serial.Serial(cable.ports[1], timeout=1)
    yield node, peer
    node.close()
    peer.close()


def send(peer, data):
    peer.write(data)
    peer.flush()


def output_after(capsys, expected, settle=0.3):
    """What the node printed, once it printed `expected` or `settle` passed,
    plus anything a little later (a message printed twice is a fault)."""
    out = ""
    deadline = time.monotonic() + settle
    while time.monotonic() < deadline and (out != expected or not expected):
        time.sleep(0.02)
        out += capsys.readouterr().out
    time.sleep(0.15)
    return out + capsys.readouterr().out


@pytest.mark.parametrize("name", ["COM3", "com12", "/dev/ttyUSB0"])
def test_port_names_open_a_serial_channel(monkeypatch, name):
    monkeypatch.setattr(zul_mew, "Serial", RecordingSerial)
    node = zul_mew.MewBase(name, port="ignored", baudrate=9600)
    assert isinstance(node._channel, zul_mew.MewSerial)
    assert node._channel._serial.kwargs == {"port": name, "baudrate": 9600, "timeout": 0.1}
    assert node._stop_flag is True and node._receiver_thread is None


@pytest.mark.parametrize("name", ["/dev/serial0", "tcp:5000", "/dev/pts/0"])
def test_other_names_are_refused(monkeypatch, name):
    monkeypatch.setattr(zul_mew, "Serial", RecordingSerial)
    with pytest.raises(ValueError, match=f"^Unknown device name: {name}$"):
        zul_mew.MewBase(name)


def test_start_twice_runs_one_receiver(line):
    node, _ = line
    before = threading.active_count()
    node.start()
    first = node._receiver_thread
    node.start()
    assert node._receiver_thread is first
    assert threading.active_count() == before + 1
    assert first.is_alive() and not first.daemon


def stopped_in_time(node):
    # A stop that would wait for a receiver in vain is seen, not waited for.
    stopping = threading.Thread(target=node.stop)
    stopping.start()
    stopping.join(timeout=2)
    return not stopping.is_alive()


def test_stop_without_start_returns_at_once(line):
    node, _ = line
    assert stopped_in_time(node)
    assert node._receiver_thread is None


def test_restart_keeps_listeners_and_serves_again(line):
    node, peer = line
    log = queue.Queue()
    node._feedback_listeners.append(Recorder("answer", log))
    node.start()
    first = node._receiver_thread
    node.stop()
    assert not first.is_alive()
    send(peer, b"%01$RC021\r")  # arrives while stopped: flushed by the next start
    time.sleep(0.05)
    node.start()
    assert node._receiver_thread is not first
    send(peer, b"%01$RC120\r")
    assert log.get(timeout=1) == ("answer", "%01$RC120\r")
    assert log.empty()


def test_stop_ends_a_waiting_receiver(line):
    node, _ = line
    node.start()
    time.sleep(0.25)
    assert stopped_in_time(node)
    assert not node._receiver_thread.is_alive()


def test_an_idle_node_does_not_spin(line):
    # A receiver that spun would take the better part of the second; the
    # benchmarks measure what waiting really costs.
    node, _ = line
    node.start()
    cpu = time.process_time()
    time.sleep(1)
    assert time.process_time() - cpu < 0.3


def test_close_stops_through_the_object_and_closes_the_port(cable):
    calls = []

    class Node(zul_mew.MewBase):
        def stop(self):
            calls.append("stop")
            super().stop()

    node = Node(zul_mew.MewSerial(port=cable.ports[0]))
    node.start()
    thread = node._receiver_thread
    node.close()
    assert calls == ["stop"]
    assert not thread.is_alive()
    assert not node._channel._serial.is_open
    # A closed port refuses to start; the node stays stopped and usable.
    with pytest.raises(serial.SerialException):
        node.start()
    assert node._stop_flag is True
    node.stop()


def test_receiver_lost_when_the_port_goes_away(cable, monkeypatch):
    reports = []
    monkeypatch.setattr(threading, "excepthook", reports.append)
    node = zul_mew.MewBase(zul_mew.MewSerial(port=cable.ports[0]))
    try:
        node.start()
        thread = node._receiver_thread
        cable.close()
        thread.join(timeout=2)
        assert not thread.is_alive()
        assert [type(r.exc_value) for r in reports] == [serial.SerialException]
        node.start()  # Receiver lost: start does nothing
        assert node._receiver_thread is thread and not thread.is_alive()
        node.stop()
        assert node._stop_flag is True
    finally:
        node.close()


ANSWER = "%01$RC120\r"
ERROR = "%01!4223\r"
REQUEST = "%01#RCSY000011\r"


@pytest.mark.parametrize(
    "frame, receivers",
    [
        (ANSWER, ["answer-1", "answer-2"]),
        (ERROR, ["answer-1", "answer-2"]),
        (REQUEST, ["request-1", "request-2"]),
    ],
    ids=["answer", "error-answer", "request"],
)
def test_frames_reach_listeners_by_type_in_order(line, frame, receivers):
    node, peer = line
    log = queue.Queue()
    node._feedback_listeners.extend([Recorder("answer-1", log), Recorder("answer-2", log)])
    node._query_listeners.extend([Recorder("request-1", log), Recorder("request-2", log)])
    node.start()
    send(peer, frame.encode())
    assert [log.get(timeout=1) for _ in receivers] == [(name, frame) for name in receivers]
    time.sleep(0.05)
    assert log.empty()


@pytest.mark.parametrize(
    "incoming, printed, pauses",
    [
        (REQUEST, "MewBase: No query listener. Drop frame.\n", []),
        (ANSWER, "", []),
        ("%01\r", "MewBase: Unknown frame type: \r\n", []),
        ("\r" + ANSWER, "MewBase: Unknown frame type: \r\n", []),
        ("%", "IOError from MewFullDuplex: Error: device no response.\n", [0.1]),
        ("\r", "IOError from MewFullDuplex: Error: device no response.\n", [0.1]),
        ("%01$R", "IOError from MewFullDuplex: Error: device response format invalid.\n", [0.1]),
    ],
    ids=[
        "request-unheard",
        "answer-unheard",
        "no-type",
        "stray-tail-swallows-frame",
        "lone-char",
        "lone-tail",
        "cut-short",
    ],
)
def test_diagnostics(line, capsys, monkeypatch, incoming, printed, pauses):
    node, peer = line
    slept = []

    def sleep(seconds):
        slept.append(seconds)
        time.sleep(seconds)

    monkeypatch.setattr(zul_mew, "sleep", sleep)
    node.start()
    send(peer, incoming.encode())
    assert output_after(capsys, printed) == printed
    assert slept == pauses
    assert node._receiver_thread.is_alive()


def test_listener_that_raises_is_reported_and_skipped(line, capsys):
    node, peer = line
    log = queue.Queue()

    class Failing:
        def __init__(self):
            self.failed = False

        def put(self, frame):
            if not self.failed:
                self.failed = True
                raise ValueError("listener broke")
            log.put(("failing", frame))

    node._feedback_listeners.extend([Failing(), Recorder("after", log)])
    node.start()
    send(peer, ANSWER.encode())
    assert output_after(capsys, "Ignore unhandled exception: listener broke\n") == (
        "Ignore unhandled exception: listener broke\n"
    )
    assert log.empty()
    send(peer, ERROR.encode())
    assert [log.get(timeout=1) for _ in range(2)] == [("failing", ERROR), ("after", ERROR)]


def test_send_on_a_closed_port_raises_and_frees_the_lock(line):
    node, _ = line
    node.close()
    with pytest.raises(serial.SerialException):
        node._send(ANSWER)
    assert not node._sender_lock.locked()


def started(node):
    node.start()
    return node


OWNERS = {
    "MewSerial": lambda port: zul_mew.MewSerial(port=port),
    "MewBase": lambda port: started(zul_mew.MewBase(zul_mew.MewSerial(port=port))),
    "MewMaster": lambda port: zul_mew.MewMaster(zul_mew.MewSerial(port=port)),
    "MewFullDuplex": lambda port: zul_mew.MewFullDuplex(zul_mew.MewSerial(port=port)),
    "InstManager": lambda port: zul_mew.InstManager(zul_mew.MewSerial(port=port)),
    "RandomMewSlaveDemo": lambda port: started(
        zul_mew.RandomMewSlaveDemo(1, zul_mew.MewSerial(port=port))
    ),
}


@pytest.mark.parametrize("raised", [None, KeyError("in the block")], ids=["left", "raised"])
@pytest.mark.parametrize("make", OWNERS.values(), ids=OWNERS)
def test_with_block_closes_and_lets_the_exception_through(cable, make, raised):
    threads = threading.active_count()
    owner = make(cable.ports[0])
    port = getattr(owner, "_channel", owner)._serial
    with pytest.raises(KeyError) if raised else contextlib.nullcontext():
        with owner as got:
            assert got is owner and port.is_open
            if raised:
                raise raised
    assert not port.is_open
    assert threading.active_count() == threads
