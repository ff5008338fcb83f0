"""The zul-mew command, run as a person runs it: a separate process, against
``zul-mew sim`` on a virtual port."""

import os
import select
import signal
import socket
import subprocess
import sys
import threading
import time

import pytest
import serial
from zul_mew_tools.commands.monitor import describe_frame

COMMAND = [sys.executable, "-m", "zul_mew_tools.cli"]


def zul_mew(*args, timeout=20):
    return subprocess.run(
        COMMAND + [str(arg) for arg in args], capture_output=True, text=True, timeout=timeout
    )


def _line_from(stream, deadline):
    # A bounded wait for one line of a child's output, read past Python's buffering
    # so that a wait never misses a line already taken in.
    line = b""
    while not line.endswith(b"\n"):
        if not select.select([stream], [], [], max(0.0, deadline - time.monotonic()))[0]:
            raise TimeoutError(f"no whole line in time: {line!r}")
        byte = os.read(stream.fileno(), 1)
        if not byte:
            break
        line += byte
    return line.decode()


class Sim:
    """``zul-mew sim`` in the background: the port it offers and its tap."""

    def __init__(self, *args):
        self.proc = subprocess.Popen(
            COMMAND + ["sim", *map(str, args)],
            stdout=subprocess.PIPE,
            stderr=subprocess.STDOUT,
            text=True,
            start_new_session=True,  # a process group of its own, as a shell job has
        )
        self.lines = []
        deadline = time.monotonic() + 10
        try:
            while not self.lines or not self.lines[-1].startswith("tap:"):
                line = _line_from(self.proc.stdout, deadline)
                if not line:
                    raise RuntimeError("sim ended early: " + "".join(self.lines))
                self.lines.append(line)
        except Exception:
            self.proc.kill()
            self.proc.wait()
            raise
        found = dict(line.split(": ", 1) for line in self.lines if ": " in line)
        self.port = found["port"].strip()
        self.tap = found["tap"].strip()

    def stop(self, signum=signal.SIGINT, group=False):
        """Interrupt it as a person would (Ctrl-C reaches the whole process group);
        what it printed to the end."""
        if self.proc.poll() is None:
            if group:
                os.killpg(self.proc.pid, signum)
            else:
                self.proc.send_signal(signum)
        try:
            rest, _ = self.proc.communicate(timeout=10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.communicate()
            raise
        return "".join(self.lines) + rest


@pytest.fixture(scope="module")
def bus():
    sim = Sim("--kind", "bus")
    yield sim
    sim.stop()


@pytest.fixture(scope="module")
def memory():
    sim = Sim("--kind", "memory", "--station", 3)
    yield sim
    sim.stop()


def test_demo_runs_to_the_end_without_hardware():
    began = time.monotonic()
    done = zul_mew("demo")
    assert done.returncode == 0, done.stderr
    out = done.stdout
    assert "sent '%01#RDD001000010055\\r'" in out
    assert "Slave: Registers D00200 wrote to [1234]" in out
    assert "failed: MewMasterBase: device response timeout." in out
    assert out.rstrip().endswith("demo: done, everything stopped")
    assert time.monotonic() - began < 10


@pytest.mark.parametrize(
    "kind, station, read, check",
    [
        ("random", 5, ["DT0", "--count", "3"], lambda v: len(v) == 3 and max(v) <= 65535),
        ("memory", 2, ["DT0"], lambda v: v == [0]),
        ("bus", 7, ["S0"], lambda v: v == [1]),
    ],
    ids=["random", "memory", "bus"],
)
@pytest.mark.parametrize(
    "signum, group",
    [(signal.SIGINT, True), (signal.SIGTERM, False), (signal.SIGTERM, True)],
    ids=["ctrl-c", "SIGTERM", "SIGTERM-to-job"],
)
def test_sim_answers_then_stops_cleanly(kind, station, read, check, signum, group):
    sim = Sim("--kind", kind, "--station", station)
    try:
        done = zul_mew("read", sim.port, station, *read)
        assert done.returncode == 0, done.stderr
        assert check([int(word) for word in done.stdout.split("=")[1].split()])
    finally:
        out = sim.stop(signum, group)
    assert sim.proc.returncode == 0, out
    assert out.rstrip().endswith("sim: stopped")
    assert "Traceback" not in out  # the line outlived the nodes on it


@pytest.mark.parametrize(
    "name, form, values, count, shown",
    [
        ("DT100", "u16", ["1", "2", "65535"], 3, "1 2 65535"),
        ("DT10", "i16", ["-1", "-32768"], 2, "-1 -32768"),
        ("DT20", "u32", ["70000", "0xFFFFFFFF"], 2, "70000 4294967295"),
        ("DT30", "i32", ["-5", "2147483647"], 2, "-5 2147483647"),
        ("WR2", "u16", ["0x1234"], 1, "4660"),
        ("Y1F", "bool", ["on"], 1, "1"),
    ],
    ids=["u16", "i16", "u32", "i32", "word-of-contacts", "contact"],
)
def test_write_then_read_back(memory, name, form, values, count, shown):
    wrote = zul_mew("write", memory.port, 3, name, *values, "--as", form)
    assert wrote.returncode == 0, wrote.stderr
    read = zul_mew("read", memory.port, "0x3", name, "--count", count, "--as", form)
    assert read.returncode == 0, read.stderr
    assert read.stdout == wrote.stdout == f"{name} = {shown}\n"


def test_a_contact_is_a_bit_of_its_word(memory):
    assert zul_mew("write", memory.port, 3, "Y21", "1").returncode == 0
    assert zul_mew("write", memory.port, 3, "Y2F", "true").returncode == 0
    assert zul_mew("read", memory.port, 3, "WY2").stdout == f"WY2 = {0x8002}\n"


@pytest.mark.parametrize(
    "args, status, message",
    [
        (["read", "{port}", 4, "DT0", "--query-timeout", 0.2], 1,
         "read DT0 of station 4 on {port}: MewMasterBase: device response timeout."),
        (["write", "{port}", 4, "Y1", "1", "--query-timeout", 0.2], 1,
         "write Y1 of station 4 on {port}: MewMasterBase"),
        (["read", "/dev/zul-mew-missing", 1, "DT0"], 1, "cannot open /dev/zul-mew-missing"),
        (["write", "{port}", 3, "DT0", "70000"], 1, "value out of range for u16: 70000"),
        (["write", "{port}", 3, "Y1", "maybe"], 1, "not 'maybe'"),
        (["write", "{port}", 3, "DTX", "1"], 1, "write DTX of station 3 on {port}: invalid literal"),
        (["read", "{port}", 3, "Y1", "--count", 2], 1, "one contact per read"),
        (["read", "{port}", 3, "DT0", "--as", "bool"], 1, "DT0 is a register"),
        (["scan", "{port}", "--first", 4, "--last", 5], 1,
         "no station answered on {port} (stations 4 to 5)"),
        (["sim", "--kind", "memory", "--station", 0], 1, "a memory station is 1 or more"),
        (["read", "{port}", "three", "DT0"], 2, "not a station number: 'three'"),
        (["read", "{port}", 3, "DT0", "--parity", "X"], 2, "parity is one of N E O M S"),
    ],
    ids=["silent-station", "silent-write", "missing-port", "out-of-range", "not-a-bool",
         "refused-by-builder", "contact-count", "register-as-bool", "nobody-in-range",
         "memory-station-0", "usage", "parity"],
)  # fmt: skip
def test_failures_say_what_failed(memory, args, status, message):
    done = zul_mew(*[str(a).format(port=memory.port) for a in args])
    assert done.returncode == status
    assert message.format(port=memory.port) in done.stderr
    assert done.stdout == ""
    assert status == 2 or len(done.stderr.splitlines()) == 1, done.stderr


def test_scan_lists_the_bus(bus):
    done = zul_mew("scan", bus.port, "--query-timeout", 0.3)
    assert done.returncode == 0, done.stderr
    table = [line.split() for line in done.stdout.splitlines()]
    assert table[1:5] == [
        ["1", "XY", "259", "0x0105", "0x0000"],
        ["2", "XY", "259", "0x0205", "0x0000"],
        ["3", "axis", "513", "-", "-"],
        ["4", "analogue", "768", "-", "-"],
    ]
    assert table[5] == "4 stations: 2 XY, 1 axis, 1 analogue".split()
    assert "scan: station 4 answers (analogue)" in done.stderr


def test_scan_without_station_one_fails():
    sim = Sim("--kind", "random", "--station", 2)
    try:
        done = zul_mew("scan", sim.port, "--query-timeout", 0.2)
    finally:
        sim.stop()
    assert done.returncode == 1
    assert f"no station answered on {sim.port}" in done.stderr


def test_monitor_shows_both_directions_of_the_line(bus):
    monitor = subprocess.Popen(
        COMMAND + ["monitor", bus.tap, "--count", "4"],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )
    try:
        assert "listening" in _line_from(monitor.stderr, time.monotonic() + 10)
        assert zul_mew("read", bus.port, 2, "WX0").stdout == f"WX0 = {0x0205}\n"
        with serial.Serial(bus.port) as line:  # a request with a wrong check code
            line.write(b"%01#RDD001000010000\r%01#RCSX0000**\r")
        out, _ = monitor.communicate(timeout=10)
    finally:
        if monitor.poll() is None:
            monitor.kill()
            monitor.communicate()
    lines = [line.split()[1:6] for line in out.splitlines()]
    assert lines[:3] == [
        ["request", "station", "2", "RCC", "BCC"],
        ["answer", "station", "2", "RC", "BCC"],
        ["request", "station", "1", "RD", "BCC"],
    ]
    assert [line.split()[6] for line in out.splitlines()] == ["ok", "ok", "bad", "**"]
    assert monitor.returncode == 0


@pytest.mark.parametrize(
    "frame, shown",
    [
        ("%01#RCSX00011C\r", "request  station 1    RCS      BCC ok"),
        ("%12C$RD630013\r", "answer   station 300  RD       BCC bad"),
        ("%01!4200\r", "error    station 1    code 42  BCC bad"),
        ("%01#XYZ**\r", "request  station 1    XYZ      BCC **"),
        ("%0G#RCS**\r", "request  station ?    RCS      BCC **"),
        ("garbage\r", "?        station ?"),
    ],
    ids=["request", "long-station", "error-answer", "unknown-command", "bad-station", "garbage"],
)
def test_monitor_line_for_a_frame(frame, shown):
    assert describe_frame(frame).startswith(shown)


def test_url_as_port(tmp_path):
    # The test is the station behind a network serial server: it answers one read.
    listener = socket.create_server(("127.0.0.1", 0))
    listener.settimeout(5)
    heard = []

    def station():
        connection, _ = listener.accept()
        with connection:
            connection.settimeout(5)
            heard.append(connection.recv(100))
            connection.sendall(b"%01$RD630013\r")

    thread = threading.Thread(target=station)
    thread.start()
    try:
        url = f"socket://127.0.0.1:{listener.getsockname()[1]}"
        done = zul_mew("read", url, 1, "DT100")
    finally:
        thread.join()
        listener.close()
    assert heard == [b"%01#RDD001000010055\r"]
    assert (done.returncode, done.stdout) == (0, "DT100 = 99\n")
    refused = zul_mew("read", url, 1, "DT100")
    assert refused.returncode == 1 and f"cannot open {url}" in refused.stderr


def test_installed_command_is_the_cli():
    from importlib import metadata

    try:
        scripts = metadata.entry_points(group="console_scripts")
    except TypeError:  # Python 3.9
        scripts = metadata.entry_points().get("console_scripts", [])
    found = [entry.value for entry in scripts if entry.name == "zul-mew"]
    if not found:
        pytest.skip("the distribution is not installed here")
    assert found == ["zul_mew_tools.cli:main"]
