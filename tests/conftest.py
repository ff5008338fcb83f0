"""Shared fixtures: a virtual null-modem cable, a fake channel, thread hygiene."""

import os
import queue
import signal
import threading

import pytest
from hypothesis import settings

import zul_mew

# In CI every run fuzzes the same examples, so a result can be reproduced;
# elsewhere each run explores new ones.
settings.register_profile("ci", derandomize=True)
if os.environ.get("CI"):
    settings.load_profile("ci")

# How many times longer a wait for the machine's own pace may take on this
# build: tools/sanitize.sh sets it for its build, two to three times slower.
# A bound that is a behaviour's own (the board ends within a second) stays.
SLOWDOWN = float(os.environ.get("ZUL_MEW_SLOWDOWN", "1"))


def paced(seconds):
    """A wait of ``seconds`` on a plain build, as long as it takes on this one."""
    return seconds * SLOWDOWN


# The suite sends Ctrl-C to itself and to the programs it starts: a run started
# in the background of a shell, where SIGINT comes ignored, would wait for it in
# vain.
signal.signal(signal.SIGINT, signal.default_int_handler)


class FakeChannel(zul_mew.Channel):
    """A channel fed by the test: ``feed`` queues text that ``read`` hands out
    one character at a time; ``sent`` collects every frame written."""

    def __init__(self, timeout=0.05):
        self.timeout = timeout
        self.incoming = queue.Queue()
        self.sent = queue.Queue()
        self.closed = False

    def feed(self, text):
        for ch in text:
            self.incoming.put(ch)

    def read(self, size=1):
        try:
            return self.incoming.get(timeout=self.timeout)
        except queue.Empty:
            return ""

    def receive_frame(self):
        frame = ""
        while True:
            ch = self.read()
            if not ch:
                if not frame:
                    raise IOError("Error: device no response.")
                raise IOError("Error: device response format invalid.")
            frame += ch
            if ch == "\r":
                return frame

    def send_frame(self, data):
        self.sent.put(data)

    @property
    def in_waiting(self):
        return self.incoming.qsize()

    def close(self):
        self.closed = True


@pytest.fixture
def fake_channel():
    return FakeChannel()


@pytest.fixture
def cable():
    """Two serial ports joined by a virtual null-modem cable."""
    # Pseudo-terminals exist on POSIX only; elsewhere the tests that need none still run.
    from zul_mew_tools.cable import NullModemCable

    with NullModemCable() as c:
        yield c


@pytest.fixture(autouse=True)
def no_thread_left():
    """Every test stops what it starts: no thread outlives it."""
    before = set(threading.enumerate())
    yield
    for thread in set(threading.enumerate()) - before:
        thread.join(timeout=2)
    left = [t for t in set(threading.enumerate()) - before if t.is_alive()]
    assert not left, f"threads left running: {left}"


@pytest.fixture
def node_on(cable):
    """Builds a node on one end (0 or 1) of the cable, over a MewSerial channel,
    and closes every node it built when the test ends."""
    nodes = []

    def build(cls, end, *args, **kwargs):
        node = cls(zul_mew.MewSerial(port=cable.ports[end]), *args, **kwargs)
        nodes.append(node)
        return node

    yield build
    for node in reversed(nodes):
        node.close()
