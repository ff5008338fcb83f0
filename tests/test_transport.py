"""MewSerial on a real port: frames cut out of the byte stream, text on the line."""

import gc
import time

import pytest
import serial

import zul_mew

TIMEOUT = 0.2


@pytest.fixture
def line(cable):
    """A MewSerial on one end of the cable and plain pyserial on the other."""
    channel = zul_mew.MewSerial(port=cable.ports[0], timeout=TIMEOUT)
    peer = serial.Serial(cable.ports[1], timeout=1)
    yield channel, peer
    peer.close()
    channel.close()


class RecordingSerial:
    """Stands in for a port that does not exist here (COM3)."""

    def __init__(self, **kwargs):
        self.kwargs = kwargs
        self.calls = []
        self.in_waiting = 7

    def __getattr__(self, name):
        return lambda *args: self.calls.append(name)


def timed(call):
    start = time.monotonic()
    try:
        return call(), time.monotonic() - start
    except IOError as error:
        return error, time.monotonic() - start


@pytest.mark.parametrize(
    "given, expected",
    [({}, 0.1), ({"timeout": 1}, 1), ({"timeout": None}, None)],
    ids=["default", "explicit", "blocking"],
)
def test_timeout_is_added_only_when_absent(cable, given, expected):
    channel = zul_mew.MewSerial(port=cable.ports[0], **given)
    try:
        assert channel._serial.timeout == expected
    finally:
        channel.close()


def test_settings_reach_the_serial_class_of_the_module(monkeypatch):
    monkeypatch.setattr(zul_mew, "Serial", RecordingSerial)
    channel = zul_mew.MewSerial(port="COM3", baudrate=19200, parity="E")
    assert channel._serial.kwargs == {
        "port": "COM3",
        "baudrate": 19200,
        "parity": "E",
        "timeout": 0.1,
    }
    assert channel.in_waiting == 7
    channel.flush_input()
    channel.flush_output()
    channel.close()
    assert channel._serial.calls == ["flushInput", "flushOutput", "close"]


# The half-made object opened no port, and its destructor reports nothing.
@pytest.mark.filterwarnings("error::pytest.PytestUnraisableExceptionWarning")
@pytest.mark.parametrize(
    "args, kwargs, error",
    [(("COM3",), {}, TypeError), ((), {"port": "/dev/ttyNoSuchPort"}, serial.SerialException)],
    ids=["positional", "no-such-port"],
)
def test_failed_construction_leaves_nothing_behind(args, kwargs, error):
    with pytest.raises(error):
        zul_mew.MewSerial(*args, **kwargs)
    gc.collect()


@pytest.mark.parametrize(
    "incoming, expected",
    [
        (b"%01$RC120\r", "%01$RC120\r"),
        (b"\r", "\r"),
        (b"%01$R", "Error: device response format invalid."),
        (b"", "Error: device no response."),
    ],
    ids=["whole-frame", "lone-tail", "cut-short", "silence"],
)
def test_receive_frame(line, incoming, expected):
    channel, peer = line
    peer.write(incoming)
    peer.flush()
    result, elapsed = timed(channel.receive_frame)
    if isinstance(result, IOError):
        assert (type(result), str(result)) == (zul_mew.MewFormatError, expected)
        assert elapsed >= TIMEOUT * 0.9
    else:
        assert result == expected
        assert elapsed < TIMEOUT * 0.9
    # A frame that failed is gone, and nothing of a whole one was over-read.
    assert channel.read() == ""


def test_receive_frame_stops_at_the_tail(line):
    channel, peer = line
    peer.write(b"%01$RC120\r%01$RC021\r")
    peer.flush()
    assert channel.receive_frame() == "%01$RC120\r"
    assert channel.receive_frame() == "%01$RC021\r"


@pytest.mark.parametrize(
    "incoming, size, expected",
    [(b"", 1, ""), (b"%", 1, "%"), (b"%0", 3, "%0"), (b"%01$", 3, "%01")],
    ids=["silence", "one", "two-of-three", "three-of-four"],
)
def test_read_returns_at_most_size(line, incoming, size, expected):
    channel, peer = line
    peer.write(incoming)
    peer.flush()
    assert channel.read(size) == expected


def test_bytes_read_as_latin_and_written_as_utf8(line):
    channel, peer = line
    peer.write(b"\xb5\r")
    peer.flush()
    assert channel.receive_frame() == "\u00b5\r"
    channel.send_frame("\u00b5\r")
    assert peer.read(3) == b"\xc2\xb5\r"


def test_in_waiting_and_flush_input(line):
    channel, peer = line
    peer.write(b"%01$")
    peer.flush()
    deadline = time.monotonic() + 1
    while channel.in_waiting < 4 and time.monotonic() < deadline:
        time.sleep(0.01)
    assert channel.in_waiting == 4
    channel.flush_input()
    assert channel.in_waiting == 0
    assert channel.read() == ""


@pytest.mark.parametrize(
    "data, error",
    [(None, AttributeError), (b"%01\r", TypeError), (1, TypeError)],
    ids=["none", "bytes", "int"],
)
def test_send_frame_wants_text(line, data, error):
    channel, _ = line
    with pytest.raises(error):
        channel.send_frame(data)


def test_destructor_closes_the_port(cable):
    channel = zul_mew.MewSerial(port=cable.ports[0])
    port = channel._serial
    del channel
    gc.collect()
    assert not port.is_open
