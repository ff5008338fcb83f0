"""MewSerial reads the serial package's own POSIX port at its descriptor and any
other serial object through its read: both give the same results on a real port."""

import itertools
import os
import signal
import threading
import time

import pytest
import serial
import serial.serialposix

import zul_mew
from zul_mew_tools.reconnect import ReconnectingChannel
from zul_mew_tools.trace import TraceChannel
from zul_mew_tools.wrapper import cancel_read

TIMEOUT = 0.2


class SerialSubclass(serial.Serial):
    """A port of another class than the package's own: read through its read."""


@pytest.fixture(params=["descriptor", "read"])
def path(request, monkeypatch):
    if request.param == "read":
        monkeypatch.setattr(zul_mew, "Serial", SerialSubclass)
    return request.param


@pytest.fixture
def line(cable, path):
    """A MewSerial on one end of the cable, plain pyserial on the other."""
    channel = zul_mew.MewSerial(port=cable.ports[0], timeout=TIMEOUT)
    peer = serial.Serial(cable.ports[1], timeout=1)
    yield channel, peer
    peer.close()
    channel.close()


def send(peer, data):
    peer.write(data)
    peer.flush()


def timed(call):
    start = time.monotonic()
    try:
        result = call()
    except IOError as error:
        result = error
    return result, time.monotonic() - start


def test_only_the_other_classes_go_through_read(line, path, monkeypatch):
    channel, peer = line
    calls = []
    own_read = serial.serialposix.Serial.read

    def counting_read(self, size=1):
        calls.append(size)
        return own_read(self, size)

    monkeypatch.setattr(serial.serialposix.Serial, "read", counting_read)
    send(peer, b"%01$RC120\r")
    assert channel.read() + channel.receive_frame() == "%01$RC120\r"
    assert len(calls) == (10 if path == "read" else 0)


@pytest.mark.parametrize(
    "incoming, call, expected, waits",
    [
        (b"%01$RC120\r%01$RC021\r", "receive_frame", "%01$RC120\r", False),
        (b"\r", "receive_frame", "\r", False),
        (b"\xb5\r", "receive_frame", "\u00b5\r", False),
        (b"%01$R", "receive_frame", "Error: device response format invalid.", True),
        (b"", "receive_frame", "Error: device no response.", True),
        (b"", "read", "", True),
        (b"\xb5", "read", "\u00b5", False),
    ],
    ids=[
        "frame",
        "lone-tail",
        "latin-b5",
        "cut-short",
        "silence",
        "read-silence",
        "read-b5",
    ],
)
def test_same_results_on_both_paths(line, incoming, call, expected, waits):
    channel, peer = line
    send(peer, incoming)
    # All of it waiting before the read starts: read at once, with no wait.
    while channel.in_waiting < len(incoming):
        time.sleep(0.001)
    result, elapsed = timed(getattr(channel, call))
    assert str(result) == expected
    if waits:
        assert TIMEOUT * 0.9 <= elapsed < TIMEOUT + 0.15
    else:
        assert elapsed < TIMEOUT * 0.9
    # Nothing of the following frame was taken; a failed frame is gone.
    rest = incoming[len(expected.encode("latin-1")) :] if not waits else b""
    assert channel.read(len(rest) + 1) == rest.decode("latin-1")


def test_a_pause_within_the_timeout_does_not_cut_the_frame(line):
    channel, peer = line
    send(peer, b"%01$RC")
    timer = threading.Timer(TIMEOUT / 2, send, (peer, b"120\r%01"))
    timer.start()
    try:
        assert channel.receive_frame() == "%01$RC120\r"
    finally:
        timer.join()
    assert channel.read(4) == "%01"


@pytest.mark.parametrize(
    "timeout, arrives_after",
    [(None, 0.15), (0, None)],
    ids=["blocking", "non-blocking"],
)
def test_the_port_timeout_is_kept(cable, path, timeout, arrives_after):
    channel = zul_mew.MewSerial(port=cable.ports[0], timeout=timeout)
    peer = serial.Serial(cable.ports[1])
    sender = threading.Timer(arrives_after or 0, send, (peer, b"%"))
    try:
        if arrives_after is not None:
            sender.start()
        result, elapsed = timed(channel.read)
        if arrives_after is None:
            assert (result, elapsed < 0.05) == ("", True)
        else:
            assert (result, elapsed >= arrives_after * 0.9) == ("%", True)
    finally:
        # The byte is read as it arrives, while the sender may still be in
        # its flush: the peer closes only once the sender is done with it.
        if sender.is_alive():
            sender.join()
        peer.close()
        channel.close()


def test_other_threads_run_while_a_read_waits(line):
    channel, _ = line
    ticks = []
    done = threading.Event()

    def tick():
        while not done.is_set():
            ticks.append(None)
            time.sleep(0.001)

    ticker = threading.Thread(target=tick)
    ticker.start()
    try:
        assert channel.read() == ""
    finally:
        done.set()
        ticker.join()
    assert len(ticks) > 20


# Closing a port cancels the read in progress; the receiver's next read then
# meets the half-closed port (TypeError) or the closed one (PortNotOpenError),
# whichever the closing thread has reached, as with the package's own read.
def test_port_closed_under_a_running_node(cable, path, monkeypatch):
    reports = []
    monkeypatch.setattr(threading, "excepthook", reports.append)
    channel = zul_mew.MewSerial(port=cable.ports[0])
    node = zul_mew.MewBase(channel)
    try:
        node.start()
        thread = node._receiver_thread
        time.sleep(0.05)
        channel.close()
        thread.join(timeout=2)
        assert not thread.is_alive()
        assert [type(r.exc_value) in (TypeError, serial.PortNotOpenError) for r in reports] == [
            True
        ]
        with pytest.raises(serial.PortNotOpenError):
            channel.read()
    finally:
        node.close()


def pull_cable(cable, port):
    cable.close()
    return lambda: None


def close_descriptor(cable, port):
    """Closes the port's descriptor behind its back; gives back a way to restore
    it for the port's own close."""
    fd, saved = port.fd, os.dup(port.fd)
    os.close(fd)

    def restore():
        os.dup2(saved, fd)
        os.close(saved)

    return restore


@pytest.mark.parametrize(
    "vanish, message",
    [
        (
            pull_cable,
            "device reports readiness to read but returned no data"
            " (device disconnected or multiple access on port?)",
        ),
        (close_descriptor, "read failed: [Errno 9] Bad file descriptor"),
    ],
    ids=["cable-pulled", "descriptor-closed"],
)
def test_vanished_device(cable, line, vanish, message):
    channel, _ = line
    restore = vanish(cable, channel._serial)
    try:
        with pytest.raises(serial.SerialException) as raised:
            channel.read()
    finally:
        restore()
    assert type(raised.value) is serial.SerialException
    assert str(raised.value) == message


@pytest.mark.parametrize(
    "write_timeout, blocking, at_descriptor",
    [(None, False, True), (1, False, False), (None, True, False)],
    ids=["no-write-timeout", "write-timeout", "blocking-descriptor"],
)
def test_only_the_other_ports_go_through_write(
    cable, path, write_timeout, blocking, at_descriptor, monkeypatch
):
    calls = []
    own_write = serial.serialposix.Serial.write

    def counting_write(self, data):
        calls.append(data)
        return own_write(self, data)

    monkeypatch.setattr(serial.serialposix.Serial, "write", counting_write)
    channel = zul_mew.MewSerial(port=cable.ports[0], write_timeout=write_timeout)
    peer = serial.Serial(cable.ports[1], timeout=1)
    if blocking:
        os.set_blocking(channel._serial.fd, True)
    try:
        channel.send_frame("%01#RCSX0000\u00b5\r")
        assert peer.read(15) == b"%01#RCSX0000\xc2\xb5\r"
    finally:
        peer.close()
        channel.close()
    assert len(calls) == (0 if path == "descriptor" and at_descriptor else 1)


def close_port(cable, port):
    port.close()
    return lambda: None


@pytest.mark.parametrize(
    "vanish, error, message",
    [
        (close_descriptor, serial.SerialException, "write failed: [Errno 9] Bad file descriptor"),
        (close_port, serial.PortNotOpenError, "Attempting to use a port that is not open"),
    ],
    ids=["descriptor-closed", "port-closed"],
)
def test_a_failed_write_as_the_port_words_it(cable, line, vanish, error, message):
    channel, _ = line
    restore = vanish(cable, channel._serial)
    try:
        with pytest.raises(serial.SerialException) as raised:
            channel.send_frame("%01#RCSX00001D\r")
    finally:
        restore()
    assert type(raised.value) is error
    assert str(raised.value) == message


@pytest.fixture
def babbling(line):
    """The far end sends its pieces in the background, with a pause after each,
    until they run out or the test ends."""
    channel, peer = line
    peer.write_timeout = 1
    done = threading.Event()

    def babble(pieces, pause):
        for piece in pieces:
            if done.is_set():
                return
            try:
                peer.write(piece)
            except serial.SerialTimeoutException:
                pass
            time.sleep(pause)

    sender = []

    def start(pieces, pause):
        sender.append(threading.Thread(target=babble, args=(pieces, pause)))
        sender[0].start()

    yield channel, start
    done.set()
    for thread in sender:
        thread.join()


def receive(channel):
    return str(timed(channel.receive_frame)[0])


def stop_a_node(channel):
    """Seconds a running node takes to stop, or 2 when it did not stop in time."""
    node = zul_mew.MewBase(channel)
    node.start()
    time.sleep(0.3)
    began = time.monotonic()
    stopping = threading.Thread(target=node.stop)
    stopping.start()
    stopping.join(timeout=2)
    return time.monotonic() - began


def interrupt(channel):
    sent = []

    def ctrl_c():
        sent.append(time.monotonic())
        signal.pthread_kill(threading.main_thread().ident, signal.SIGINT)

    threading.Timer(0.3, ctrl_c).start()
    with pytest.raises(KeyboardInterrupt):
        while True:
            timed(channel.receive_frame)
    return time.monotonic() - sent[0]


LONGEST = [b"x" * 512] * 127 + [b"x" * 511 + b"\r"]
FAST = itertools.repeat(b"x" * 256)
SLOW = itertools.repeat(b"x")


# A frame is given up at 65,536 characters; a node stops and Ctrl-C reaches the
# main thread while the line babbles, at any speed.
@pytest.mark.parametrize(
    "pieces, pause, act, expected",
    [
        (LONGEST, 0, receive, b"".join(LONGEST).decode()),
        (FAST, 0, receive, "Error: device response format invalid."),
        (FAST, 0, stop_a_node, 1.0),
        (SLOW, 0.005, stop_a_node, 1.0),
        (FAST, 0, interrupt, 0.5),
        (SLOW, 0.005, interrupt, 0.5),
    ],
    ids=[
        "longest-frame",
        "gives-up",
        "stop-fast",
        "stop-slow",
        "ctrl-c-fast",
        "ctrl-c-slow",
    ],
)
def test_a_line_that_never_ends_a_frame(babbling, pieces, pause, act, expected):
    channel, start = babbling
    start(pieces, pause)
    outcome = act(channel)
    if isinstance(expected, str):
        assert outcome == expected
    else:
        assert outcome < expected


class HostWrapper(zul_mew.Channel):
    """A host's own wrapper that delegates to its channel as the package's do."""

    def __init__(self, inner):
        self.inner = inner

    def read(self, size=1):
        return self.inner.read(size)

    def receive_frame(self):
        return self.inner.receive_frame()

    def send_frame(self, data):
        self.inner.send_frame(data)

    @property
    def in_waiting(self):
        return self.inner.in_waiting

    def flush_input(self):
        self.inner.flush_input()

    def cancel_read(self):
        cancel_read(self.inner)


def reconnecting(channel):
    return ReconnectingChannel(lambda: channel, "babbling", channel)


@pytest.mark.parametrize(
    "wrap",
    [
        TraceChannel,
        reconnecting,
        lambda channel: TraceChannel(reconnecting(channel)),
        HostWrapper,
    ],
    ids=["trace", "reconnect", "trace-over-reconnect", "host-wrapper"],
)
def test_a_wrapped_line_that_never_ends_a_frame_stops_at_once(babbling, wrap):
    channel, start = babbling
    start(SLOW, 0.005)
    assert stop_a_node(wrap(channel)) < 1.0


def outcome(read):
    start = time.monotonic()
    try:
        result = read()
    except Exception as error:
        result = type(error)
    return result, time.monotonic() - start < 0.05


@pytest.mark.parametrize("timeout", [float("nan"), float("inf"), 1e10], ids=["nan", "inf", "1e10"])
def test_odd_timeouts_read_as_the_port_reads_them(cable, path, timeout):
    channel = zul_mew.MewSerial(port=cable.ports[0], timeout=timeout)
    try:
        own = outcome(lambda: serial.serialposix.Serial.read(channel._serial).decode())
        assert outcome(channel.read) == own
    finally:
        channel.close()


def read_quietly(channel):
    # The serial package's own read may fail in any way on a port closed under it.
    try:
        channel.receive_frame()
    except Exception:
        pass


def test_a_port_closed_under_a_frame_read(cable, path):
    peer = serial.Serial(cable.ports[1])
    try:
        for _ in range(10):
            channel = zul_mew.MewSerial(port=cable.ports[0], timeout=0.5)
            send(peer, b"%01$RC")
            reader = threading.Thread(target=read_quietly, args=(channel,))
            reader.start()
            time.sleep(0.05)
            channel.close()
            # Files opened now take the numbers the port gave up.
            pipes = [os.pipe() for _ in range(3)]
            for _, w in pipes:
                os.write(w, b"1\r")
            reader.join(timeout=1)
            kept = [os.read(r, 8) for r, _ in pipes]
            for fds in pipes:
                for fd in fds:
                    os.close(fd)
            assert (reader.is_alive(), kept) == (False, [b"1\r"] * 3)
    finally:
        peer.close()
