"""MewMasterBase against a scripted station on the far end of a real cable."""

import re
import threading
import time

import pytest
import serial

import zul_mew
from zul_mew import MewStatic

QUERY_TIMEOUT = 0.25


def frame(text):
    return MewStatic.append_tail(text)


def read_request(station):
    return MewStatic.fill_read_data_area_message(station, "DT100", 1)


class Station(threading.Thread):
    """Reads each request and plays what ``script(request, count)`` returns:
    frames to write and pauses (seconds) between them."""

    def __init__(self, port, script):
        super().__init__()
        self.serial = serial.Serial(port, timeout=0.02)
        self.script = script
        self.requests = []
        self.pending_at_answer = []
        self.halt = threading.Event()

    def run(self):
        buffer = b""
        while not self.halt.is_set():
            buffer += self.serial.read_until(b"\r")
            if not buffer.endswith(b"\r"):
                continue
            request, buffer = buffer.decode(), b""
            self.requests.append(request)
            for step in self.script(request, len(self.requests)):
                if isinstance(step, str):
                    self.pending_at_answer.append(self.serial.in_waiting)
                    self.serial.write(step.encode())
                else:
                    time.sleep(step)


class RecordingSerial:
    def __init__(self, **kwargs):
        self.kwargs = kwargs

    def close(self):
        pass


@pytest.fixture
def bus(cable):
    """A running master on one end; ``station(script)`` puts a station on the other."""
    node = zul_mew.MewMasterBase(
        zul_mew.MewSerial(port=cable.ports[0]), query_timeout=QUERY_TIMEOUT
    )
    node.start()
    stations = []

    def station(script):
        s = Station(cable.ports[1], script)
        s.start()
        stations.append(s)
        return s

    yield node, station
    node.close()
    for s in stations:
        s.halt.set()
        s.join()
        s.serial.close()


def answering(*frames):
    return lambda request, count: frames


def io(message):
    return (IOError, f"^{re.escape(message)}$")


def bad_number(text):
    return (ValueError, re.escape(f"invalid literal for int() with base 16: '{text}'"))


@pytest.mark.parametrize(
    "request_frame, answer, expected",
    [
        (read_request(1), "%01$RD6300", "RD6300"),
        (read_request(1), "%01$RC", "RC"),
        ("%01#RCSY0000", "%01$RC", "RC"),
        (
            read_request(1),
            "%01$R",
            io("Error: device response format invalid: length too small: 8"),
        ),
        (read_request(1), "X01$RD6300", io("Error: device response format invalid: begin with: X")),
        (read_request(1), "%0G$RD6300", bad_number("0G")),
        (read_request(16), "%11$RD6300", io("Error: station not match: expected 16, got 17")),
        (read_request(1), "%01!42", io("MEW communication error code(hex): 42")),
        # Where an answer breaks two rules, the earlier check speaks.
        (read_request(1), "X0G$RD6300", bad_number("0G")),
        (read_request(1), "X01$R", io("Error: device response format invalid: begin with: X")),
        (
            read_request(1),
            "%02$R",
            io("Error: device response format invalid: length too small: 8"),
        ),
        ("%0G#RCSY0000", "%01$R", io("Error: device response format invalid: length too small: 8")),
        ("%0G#RCSY0000", "%01$RC", bad_number("0G")),
        (read_request(1), "%02!42", io("Error: station not match: expected 1, got 2")),
        # A digit flipped on the line: 9 read where the station sent 7.
        (
            read_request(1),
            "%01$RD0900" + "11\r",
            io("Error: device response check code mismatch: expected 1F, got 11"),
        ),
        (read_request(1), "%01$RD6300**\r", "RD6300"),
        (
            read_request(1),
            "%01!42" + "0a\r",
            io("Error: device response check code mismatch: expected 03, got 0a"),
        ),
        (
            read_request(1),
            "%02$RD6300" + "1*\r",
            io("Error: device response check code mismatch: expected 10, got 1*"),
        ),
        (
            read_request(1),
            "%01$RZZ\r",
            io("Error: device response format invalid: length too small: 8"),
        ),
    ],
    ids=[
        "answer-text",
        "nine-characters",
        "no-check-code",
        "eight-characters",
        "wrong-head",
        "answer-station-not-hex",
        "other-station",
        "error-answer",
        "station-before-head",
        "head-before-length",
        "length-before-station",
        "length-before-request-station",
        "request-station-not-hex",
        "station-before-error",
        "check-code-mismatch",
        "check-code-unchecked",
        "error-answer-checked",
        "check-code-before-station",
        "length-before-check-code",
    ],
)
def test_answers(bus, request_frame, answer, expected):
    node, station = bus
    station(answering(answer if answer.endswith("\r") else frame(answer)))
    if isinstance(expected, str):
        assert node.query(request_frame) == expected
    else:
        with pytest.raises(expected[0], match=expected[1]):
            node.query(request_frame)
    assert node._feedback_listeners == []


@pytest.mark.parametrize(
    "answer, kind, code",
    [
        (None, zul_mew.MewTimeoutError, None),
        ("%01$R", zul_mew.MewFormatError, None),
        ("%01$RD0900" + "11\r", zul_mew.MewCheckCodeError, None),
        ("%02$RD6300", zul_mew.MewStationError, None),
        ("%01!42", zul_mew.MewErrorAnswer, 0x42),
        ("%01!4G", zul_mew.MewErrorAnswer, None),  # no code to read
    ],
    ids=["timeout", "format", "check-code", "station", "error-answer", "error-answer-no-code"],
)
def test_each_failure_has_its_class(bus, answer, kind, code):
    node, station = bus
    if answer is not None:
        station(answering(answer if answer.endswith("\r") else frame(answer)))
    with pytest.raises(kind) as caught:
        node.query(read_request(1))
    assert type(caught.value) is kind and isinstance(caught.value, IOError)
    assert getattr(caught.value, "code", None) == code


@pytest.mark.parametrize(
    "given, sent",
    [("%01#RCSY0000", "%01#RCSY0000\r"), ("%01#RCSY0000**\r", "%01#RCSY0000**\r")],
    ids=["tail-added", "sent-unchanged"],
)
def test_request_on_the_line(bus, given, sent):
    node, station = bus
    far = station(answering(frame("%01$RC1")))
    assert node.query(given) == "RC1"
    assert far.requests == [sent]


@pytest.mark.parametrize("live_timeout", [None, 0.1], ids=["constructor", "changed-on-live-node"])
def test_silence_times_out(bus, live_timeout):
    node, _ = bus
    if live_timeout is not None:
        node._query_timeout = live_timeout
    timeout = live_timeout or QUERY_TIMEOUT
    start = time.monotonic()
    with pytest.raises(IOError, match=r"^MewMasterBase: device response timeout\.$"):
        node.query(read_request(1))
    assert timeout * 0.9 <= time.monotonic() - start < timeout + 1
    assert node._feedback_listeners == []


def test_late_answer_is_taken_by_the_next_request(bus):
    node, station = bus
    station(lambda request, count: [0.4, frame("%01$RD6300")] if count == 1 else [])
    with pytest.raises(IOError, match="timeout"):
        node.query(read_request(1))
    assert node.query("%01#RCSY0000**\r") == "RD6300"


def test_first_of_two_answers_wins_and_the_second_is_dropped(bus):
    node, station = bus
    station(lambda request, count: [frame("%01$RD6300"), frame("%01$RD0100")] if count == 1 else [])
    assert node.query(read_request(1)) == "RD6300"
    time.sleep(0.2)  # the second answer has come and gone by now
    with pytest.raises(IOError, match="timeout"):
        node.query(read_request(1))


def test_concurrent_queries_never_interleave(bus):
    node, station = bus

    def script(request, count):
        number = MewStatic.parse_station(request)
        return [0.01, frame(f"%{number:02X}$RD{number:02X}00")]

    far = station(script)
    results = {}

    def master(number):
        results[number] = [node.query(read_request(number)) for _ in range(3)]

    threads = [threading.Thread(target=master, args=(n,)) for n in range(1, 5)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert results == {n: [f"RD{n:02X}00"] * 3 for n in range(1, 5)}
    # No request reached the station while it was still answering another.
    assert far.pending_at_answer == [0] * 12


@pytest.mark.parametrize(
    "timeout",
    [float("nan"), -1, float("inf"), None, 10**400, 2 * threading.TIMEOUT_MAX],
    ids=["nan", "negative", "infinite", "none", "beyond-float", "beyond-the-hosts-wait"],
)
def test_a_timeout_that_cannot_be_waited_for_is_refused_before_the_request_leaves(bus, timeout):
    node, station = bus
    far = station(answering(frame("%01$WD")))
    node._query_timeout = timeout
    with pytest.raises(ValueError, match=r"^MewMasterBase: query_timeout .+ cannot be waited for"):
        node.query(MewStatic.fill_write_single_data_message(1, "DT7", 42))
    node._query_timeout = QUERY_TIMEOUT
    node.query(read_request(1))
    assert far.requests == [read_request(1)]
    assert node._feedback_listeners == []


def close_node(node):
    node.close()


def garble_timeout(node):
    node._query_timeout = "soon"


@pytest.mark.parametrize(
    "prepare, answer, error",
    [
        (None, "%01$RC", None),
        (None, None, IOError),
        (None, "%01!42", IOError),
        (close_node, None, serial.SerialException),
        (garble_timeout, None, TypeError),
    ],
    ids=["answered", "timed-out", "rejected", "send-fails", "wait-fails"],
)
def test_every_exit_leaves_no_listener_and_no_lock(bus, prepare, answer, error):
    node, station = bus
    if answer:
        station(answering(frame(answer)))
    if prepare:
        prepare(node)
    if error:
        with pytest.raises(error):
            node.query(read_request(1))
    else:
        node.query(read_request(1))
    assert node._feedback_listeners == []
    assert not node._query_lock.locked()
    assert not node._listener_lock.locked()
    assert not node._sender_lock.locked()


class BrokenListeners(list):
    def remove(self, item):
        raise RuntimeError("listener list broken")


def test_a_failing_withdrawal_leaves_the_exchange_error_as_it_was(bus, monkeypatch):
    node, _ = bus
    ignored = []
    monkeypatch.setattr("sys.unraisablehook", lambda report: ignored.append(report.exc_type))
    node._feedback_listeners = BrokenListeners()
    node.close()
    with pytest.raises(serial.SerialException):
        node.query(read_request(1))
    assert ignored == [RuntimeError]


@pytest.mark.parametrize(
    "args, kwargs, query_timeout",
    [
        (("COM3",), {"query_timeout": 0.3, "baudrate": 9600}, 0.3),
        ((), {"channel": "COM3", "baudrate": 9600}, 1),
    ],
    ids=["query-timeout-taken-out", "default"],
)
def test_constructor_passes_the_rest_to_the_link_engine(monkeypatch, args, kwargs, query_timeout):
    monkeypatch.setattr(zul_mew, "Serial", RecordingSerial)
    node = zul_mew.MewMasterBase(*args, **kwargs)
    assert node._channel._serial.kwargs == {"port": "COM3", "baudrate": 9600, "timeout": 0.1}
    assert node._query_timeout == query_timeout
    assert type(node._query_timeout) is type(query_timeout)
    assert node._receiver_thread is None


def test_query_runs_the_exchange_of_the_object_under_the_lock():
    class Master(zul_mew.MewMasterBase):
        def _query(self, command):
            return (command, self._query_lock.locked())

    assert Master(object()).query("%01#RCSY0000") == ("%01#RCSY0000", True)
