"""The in-process pair of channels: a line with no port behind it, on which
nodes talk as over a null-modem cable on every platform."""

import threading
import time

import pytest

import zul_mew
from zul_mew_tools.pair import channel_pair
from zul_mew_tools.sim import MemoryNode

TIMEOUT = 0.1


@pytest.fixture
def pair():
    ends = channel_pair(timeout=TIMEOUT)
    yield ends
    for end in ends:
        end.close()


def test_frames_cross_whole_and_bytes_stay_bytes(pair):
    near, far = pair
    far.send_frame("%01$RC120\r%01$WC14\r")
    far.send_frame("\xb5")
    assert near.in_waiting == 21
    assert near.read() + near.receive_frame() == "%01$RC120\r"
    assert near.read() + near.receive_frame() == "%01$WC14\r"
    assert near.read(5) == "\xc2\xb5"  # one character per byte, sent as UTF-8
    assert near.read() == ""


@pytest.mark.parametrize(
    "arriving, message",
    [("", "Error: device no response."), ("%01$R", "Error: device response format invalid.")],
    ids=["silence", "cut-short"],
)
def test_receive_frame_fails_like_the_serial_channel(pair, arriving, message):
    near, far = pair
    far.send_frame(arriving)
    began = time.monotonic()
    with pytest.raises(zul_mew.MewFormatError, match=message):
        near.receive_frame()
    assert TIMEOUT * 0.9 <= time.monotonic() - began < 2
    assert near.in_waiting == 0  # the frame that failed is gone


def test_nodes_on_a_pair_stop_at_once_with_no_time_out():
    # With no read time-out only the cancel of a node's stop ends its receiver.
    near, far = channel_pair(timeout=None)
    station = MemoryNode(near, slave_station=1, query_timeout=0.5)
    master = zul_mew.MewMaster(far, query_timeout=0.5)
    try:
        master.set_multi_uint16(1, "DT0", [7, 8])
        assert master.get_multi_uint16(1, "DT0", 2) == [7, 8]
    finally:
        closing = threading.Thread(target=lambda: (master.close(), station.close()))
        began = time.monotonic()
        closing.start()
        closing.join(timeout=5)
    assert not closing.is_alive()
    assert time.monotonic() - began < 1
