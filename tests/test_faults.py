"""Faults on the line: a far end that dies, a cable pulled, stations that answer
late, for another station or with an error. Each is reported as its error and
the node goes on where it can."""

import subprocess
import sys
import textwrap
import threading
import time

import pytest
import serial

from zul_mew import MewFullDuplex, MewMaster

# A station in a process of its own: register n answers n; register 666 is
# never answered, as the process is killed while it works on it; register 777
# gets half an answer before the process dies.
FAR_END = textwrap.dedent(
    """
    import os, signal, sys, time, zul_mew

    class Station(zul_mew.MewFullDuplex):
        def on_get_multi_uint16(self, name, count):
            first = int(name[1:])
            if first == 666:
                time.sleep(30)
            if first == 777:
                self._channel._serial.write(b"%01$RD")
                self._channel._serial.flush()
                os.kill(os.getpid(), signal.SIGKILL)
            return [first + i for i in range(count)]

    node = Station(zul_mew.MewSerial(port=sys.argv[1]), slave_station=1)
    print("ready", flush=True)
    try:
        signal.sigwait([signal.SIGTERM])
    finally:
        node.close()
    """
)


def far_end(port):
    process = subprocess.Popen(
        [sys.executable, "-c", FAR_END, port], stdout=subprocess.PIPE, text=True
    )
    assert process.stdout.readline() == "ready\n"
    return process


def end(process):
    process.kill()
    process.wait()
    process.stdout.close()


@pytest.mark.parametrize(
    "register, killer",
    [
        (666, lambda p: threading.Timer(0.2, p.kill)),
        (777, lambda p: threading.Timer(0, p.poll)),
    ],
    ids=["while answering", "half way through its answer"],
)
def test_far_end_killed_mid_exchange(cable, node_on, register, killer, capsys):
    master = node_on(MewMaster, 0, query_timeout=0.6)
    station = far_end(cable.ports[1])
    timer = killer(station)
    try:
        assert master.get_uint16(1, "DT5") == 5
        timer.start()
        with pytest.raises(OSError, match="MewMasterBase: device response timeout."):
            master.get_uint16(1, f"DT{register}")
    finally:
        timer.join()
        end(station)
    station = far_end(cable.ports[1])
    try:
        assert master.get_uint16(1, "DT9") == 9
    finally:
        end(station)
    if register == 777:
        assert "Error: device response format invalid." in capsys.readouterr().out


def test_cable_pulled_while_a_node_runs(cable, node_on, monkeypatch):
    """The receiver loses its port: it ends (or keeps failing) without taking
    the interpreter down; sending fails with the port's error; stop and close
    still return."""
    lost = []
    monkeypatch.setattr(threading, "excepthook", lambda args: lost.append(args.exc_type))
    node = node_on(MewFullDuplex, 0, slave_station=1, query_timeout=0.3)
    cable.close()
    time.sleep(0.3)
    with pytest.raises(OSError):
        node.get_uint16(1, "DT0")
    began = time.monotonic()
    node.stop()
    node.close()
    assert time.monotonic() - began < 1
    assert all(issubclass(kind, OSError) for kind in lost)
    assert node._feedback_listeners == [] and node._query_listeners == []


class ScriptedStation:
    """Plain pyserial on the far end: answers each request with what `script`
    makes of it, after `delay` seconds."""

    def __init__(self, port, script, delay=0.0):
        self.serial = serial.Serial(port, timeout=0.05)
        self.script = script
        self.delay = delay
        self.running = True
        self.thread = threading.Thread(target=self.serve)
        self.thread.start()

    def serve(self):
        request = b""
        while self.running:
            request += self.serial.read(64)
            while b"\r" in request:
                frame, request = request.split(b"\r", 1)
                time.sleep(self.delay)
                self.serial.write(self.script(frame.decode()).encode())

    def close(self):
        self.running = False
        self.thread.join()
        self.serial.close()


def with_tail(body):
    crc = 0
    for byte in body.encode():
        crc ^= byte
    return f"{body}{crc:02X}\r"


@pytest.mark.parametrize(
    "script, delay, error",
    [
        (lambda req: with_tail("%01$RD0500"), 0.5, "MewMasterBase: device response timeout."),
        (lambda req: with_tail("%02$RD0500"), 0, "Error: station not match: expected 1, got 2"),
        (lambda req: with_tail("%01!42"), 0, r"MEW communication error code\(hex\): 42"),
        (lambda req: with_tail("%01$RD"), 0, "Invalid feedback format: RD"),
        (lambda req: "%01$R**\r", 0, "Error: device response format invalid: length too small: 8"),
        (lambda req: "%0G$RD0500**\r", 0, "invalid literal for int"),
    ],
    ids=[
        "late",
        "other station",
        "error answer",
        "no data",
        "too short",
        "bad station field",
    ],
)
def test_wrong_answers_are_reported_and_the_node_goes_on(
    cable, node_on, script, delay, error, capsys
):
    node = node_on(MewFullDuplex, 0, slave_station=5, query_timeout=0.3)
    station = ScriptedStation(cable.ports[1], script, delay)
    try:
        with pytest.raises((OSError, ValueError), match=error):
            node.get_uint16(1, "DT5")
        time.sleep(delay + 0.1)  # a late answer arrives and is dropped
        station.script, station.delay = (lambda req: with_tail("%01$RD0700")), 0
        assert node.get_uint16(1, "DT7") == 7
    finally:
        station.close()
    assert node._feedback_listeners == [] and node._slave_thread.is_alive()


# Daemon threads of the host that keep calling into the module when the
# program ends: the interpreter ends them at exit, and the process exits 0.
EXIT_WITH_THREADS_INSIDE = textwrap.dedent(
    """
    import sys, threading, time, serial, zul_mew

    port, case = sys.argv[1:]
    if case.endswith("through read"):
        zul_mew.Serial = type("Other", (serial.Serial,), {})
    if case == "master waiting":
        node = zul_mew.MewMaster(zul_mew.MewSerial(port=port), query_timeout=0.002)
        call = lambda: node.get_uint16(1, "DT0")
    else:
        channel = zul_mew.MewSerial(port=port, timeout=0)
        call = channel.read if case.startswith("read") else channel.receive_frame

    def keep_calling():
        while True:
            try:
                call()
            except IOError:
                pass

    for _ in range(4):
        threading.Thread(target=keep_calling, daemon=True).start()
    time.sleep(0.2)
    if case == "master waiting":
        node.stop()
    """
)


@pytest.mark.parametrize("run", range(3))
@pytest.mark.parametrize(
    "case",
    [
        "read",
        "receive_frame",
        "read through read",
        "receive_frame through read",
        "master waiting",
    ],
)
def test_exit_with_daemon_threads_inside_the_module(cable, case, run):
    done = subprocess.run([sys.executable, "-c", EXIT_WITH_THREADS_INSIDE, cable.ports[0], case])
    assert done.returncode == 0
