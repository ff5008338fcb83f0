"""The trace channel: every frame passes through unchanged and is recorded."""

import logging
import threading

import pytest
import serial

import zul_mew
from zul_mew_tools.trace import TraceChannel

REQUEST = "%01#RDD001000010055\r"


@pytest.mark.parametrize(
    "answer, check",
    [("%01$RD630013\r", "ok"), ("%01$RD630000\r", "bad"), ("%01$RD6300**\r", "unchecked")],
    ids=["good", "bad-check-code", "unchecked"],
)
def test_every_frame_is_recorded(cable, caplog, answer, check):
    seen = []
    with serial.Serial(cable.ports[0], timeout=2) as station:

        def answers():
            station.read_until(b"\r")
            station.write(answer.encode())

        thread = threading.Thread(target=answers)
        thread.start()
        channel = TraceChannel(zul_mew.MewSerial(port=cable.ports[1]), on_frame=seen.append)
        master = zul_mew.MewMaster(channel, query_timeout=1)
        try:
            with caplog.at_level(logging.DEBUG, logger="zul_mew_tools.trace"):
                try:
                    master.query(REQUEST)
                except IOError:
                    pass  # a master that checks the code refuses the bad one
        finally:
            thread.join()
            master.close()
    sent, read = seen
    assert (sent.direction, sent.frame, sent.check, sent.round_trip) == (
        "sent",
        REQUEST,
        "ok",
        None,
    )
    assert (read.direction, read.frame, read.check) == ("read", answer, check)
    assert 0 < read.round_trip == read.time - sent.time < 1
    assert [record.getMessage().split()[1:] for record in caplog.records] == [
        ["sent", repr(REQUEST), "BCC", "ok"],
        ["read", repr(answer), "BCC", check, f"{1000 * read.round_trip:.1f}", "ms"],
    ]
