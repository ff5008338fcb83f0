"""The zul-mew command, run as a person runs it: a separate process, against
``zul-mew sim`` on a virtual port."""

import os
import re
import select
import signal
import socket
import subprocess
import sys
import threading
import time
from pathlib import Path

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


# The command as it starts where there are no pseudo-terminals (Windows), where
# the terminal modules do not exist.
WITHOUT_PTYS = [
    sys.executable,
    "-c",
    "import sys; sys.modules['tty'] = None; from zul_mew_tools.cli import main; sys.exit(main())",
]


class Sim:
    """``zul-mew sim`` in the background: the port it offers and its tap (none
    when it listens on a TCP port)."""

    def __init__(self, *args, command=COMMAND):
        listens = "--listen" in args
        self.proc = subprocess.Popen(
            command + ["sim", *map(str, args)],
            stdout=subprocess.PIPE,
            stderr=subprocess.STDOUT,
            text=True,
            start_new_session=True,  # a process group of its own, as a shell job has
        )
        self.lines = []
        deadline = time.monotonic() + 10
        try:
            last = "port:" if listens else "tap:"
            while not self.lines or not self.lines[-1].startswith(last):
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
        self.tap = found["tap"].strip() if not listens else None

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
    assert sim.proc.returncode == 128 + signum, out  # as a shell reports the signal
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
        ("DT40", "f32", ["3.14", "-1.5", "1e+30"], 3, "3.14 -1.5 1e+30"),
    ],
    ids=["u16", "i16", "u32", "i32", "word-of-contacts", "contact", "f32"],
)
def test_write_then_read_back(memory, name, form, values, count, shown):
    wrote = zul_mew("write", memory.port, 3, name, *values, "--as", form)
    assert wrote.returncode == 0, wrote.stderr
    read = zul_mew("read", memory.port, "0x3", name, "--count", count, "--as", form)
    assert read.returncode == 0, read.stderr
    assert read.stdout == wrote.stdout == f"{name} = {shown}\n"


def test_two_word_values_in_either_word_order(memory):
    wrote = zul_mew(
        "write", memory.port, 3, "DT50", "3.14", "--as", "f32", "--word-order", "high-first"
    )
    assert wrote.returncode == 0, wrote.stderr
    assert zul_mew("read", memory.port, 3, "DT50", "--count", 2).stdout == "DT50 = 16456 62915\n"
    read = zul_mew("read", memory.port, 3, "DT50", "--as", "f32", "--word-order", "high-first")
    assert read.stdout == "DT50 = 3.14\n"


def test_a_long_read_goes_in_several_requests(memory):
    values = [str(n) for n in range(1, 31)]
    assert zul_mew("write", memory.port, 3, "DT60", *values).returncode == 0
    read = zul_mew("read", memory.port, 3, "DT60", "--count", 15, "--as", "u32", "--max-words", 9,
                   "--trace")  # fmt: skip
    assert read.returncode == 0, read.stderr
    sent = [line.split()[2] for line in read.stderr.splitlines() if " sent " in line]
    # Eight words each (whole two-word values), from DT60 on: 60-67, 68-75, 76-83, 84-89.
    assert [frame[8:18] for frame in sent] == ["0006000067", "0006800075", "0007600083",
                                               "0008400089"]  # fmt: skip
    pairs = zip(range(1, 31, 2), range(2, 31, 2))
    assert read.stdout == "DT60 = " + " ".join(str(lo + (hi << 16)) for lo, hi in pairs) + "\n"


def test_a_contact_is_a_bit_of_its_word(memory):
    assert zul_mew("write", memory.port, 3, "Y21", "1").returncode == 0
    assert zul_mew("write", memory.port, 3, "Y2F", "true").returncode == 0
    read = zul_mew("read", memory.port, 3, "WY2", "--parity", "Even", "--stopbits", 2, "-v")
    assert read.stdout == f"WY2 = {0x8002}\n"
    settings = "9600 baud, 8E2, read time-out 0.1 s, answer time-out 1 s, exclusive"
    assert read.stderr == f"{memory.port}: {settings}\n"


@pytest.mark.parametrize(
    "args, status, message",
    [
        (["read", "{port}", 4, "DT0", "--query-timeout", 0.2], 1,
         "read DT0 of station 4 on {port}: no answer within 0.2 s (check the station number,"
         " the baud rate and parity, the wiring; a slow station or network needs a longer"
         " --query-timeout)"),
        (["write", "{port}", 4, "Y1", "1", "--query-timeout", 0.2], 1,
         "write Y1 of station 4 on {port}: no answer within 0.2 s (check"),
        (["read", "/dev/zul-mew-missing", 1, "DT0"], 1,
         "cannot open /dev/zul-mew-missing: no such port (zul-mew ports lists the serial ports"),
        (["write", "{port}", 3, "DT0", "70000"], 1, "value out of range for u16: 70000"),
        (["write", "{port}", 3, "Y1", "maybe"], 1, "not 'maybe'"),
        (["read", "{port}", 3, "DT10O"], 1,
         "DT10O is not a register name (an area code and a decimal address: DT100, S1)"),
        (["write", "{port}", 3, "WZ0", "1"], 1, "WZ0 is not a word of contacts name"),
        (["poll", "{port}", 3, "Y1G"], 1, "Y1G is not a contact name"),
        (["write", "{port}", 3, "DT100000", "1"], 1, "write DT100000 of station 3 on {port}: "),
        (["write", "{port}", 3, "DT0", "1.5", "--as", "f32", "--word-order", "big"], 2,
         "invalid choice: 'big'"),
        (["read", "{port}", 3, "DT0", "--as", "f32", "--max-words", 1], 1,
         "--max-words takes 2 or more for f32, not 1"),
        (["read", "{port}", 3, "Y1", "--count", 2], 1, "one contact per read"),
        (["read", "{port}", 3, "DT0", "--as", "bool"], 1, "DT0 is a register"),
        (["scan", "{port}", "--first", 4, "--last", 5], 1,
         "no station answered on {port} (stations 4 to 5)"),
        (["sim", "--kind", "memory", "--station", 0], 1, "a memory station is 1 or more"),
        (["read", "{port}", "three", "DT0"], 2, "not a station number: 'three'"),
        (["read", "{port}", 3, "DT0", "--parity", "X"], 2, "parity is one of N E O M S"),
        (["write", "{port}", 3, "DT7", "42", "--query-timeout", "-1"], 2,
         "a number of seconds above 0, not '-1'"),
        (["write", "{port}", 3, "DT7", "42", "--query-timeout", "inf"], 2, "not 'inf'"),
        (["read", "{port}", 3, "DT7", "--query-timeout", "nan"], 2, "not 'nan'"),
        (["read", "{port}", 3, "DT7", "--timeout", "0"], 2, "not '0'"),
        (["poll", "{port}", 3, "DT0", "--count", 10**12], 1,
         "poll DT0 of station 3: last register address out of range 0 to 99999"),
        (["read", "{port}", 3, "DT0", "--count", 10**12], 1,
         "last register address out of range 0 to 99999"),
    ],
    ids=["silent-station", "silent-write", "missing-port", "out-of-range", "not-a-bool",
         "not-a-register-name", "not-a-word-name", "poll-not-a-contact-name",
         "refused-by-builder", "word-order", "max-words-below-a-value", "contact-count",
         "register-as-bool", "nobody-in-range", "memory-station-0", "usage", "parity",
         "negative-query-timeout", "endless-query-timeout", "nan-query-timeout",
         "zero-read-timeout", "poll-count-refused", "read-count-refused"],
)  # fmt: skip
def test_failures_say_what_failed(memory, args, status, message):
    done = zul_mew(*[str(a).format(port=memory.port) for a in args])
    assert done.returncode == status
    assert message.format(port=memory.port) in done.stderr
    assert done.stdout == ""
    assert status == 2 or len(done.stderr.splitlines()) == 1, done.stderr


def test_scan_goes_past_silent_stations(memory):
    done = zul_mew("scan", memory.port, "--first", 1, "--last", 5, "--format", "csv")
    assert done.returncode == 0, done.stderr
    assert done.stdout == "station,type,firmware,inputs,outputs\n3,unknown,0.00,-,-\n"


def test_scan_shows_progress_and_keeps_what_it_found_on_ctrl_c(bus):
    # Progress goes to a terminal only: the scan's standard error is one here.
    terminal, its_end = os.openpty()
    scan = subprocess.Popen(
        COMMAND + ["scan", bus.port, "--last", "200", "--query-timeout", "0.2"],
        stdout=subprocess.PIPE,
        stderr=its_end,
        text=True,
    )
    os.close(its_end)
    shown = b""
    try:
        deadline = time.monotonic() + 10
        while b"asking station 6, 4 found" not in shown and time.monotonic() < deadline:
            if select.select([terminal], [], [], 0.5)[0]:
                shown += os.read(terminal, 1000)
        scan.send_signal(signal.SIGINT)
        out, _ = scan.communicate(timeout=10)
    finally:
        if scan.poll() is None:
            scan.kill()
            scan.communicate()
        os.close(terminal)
    assert b"\rscan: asking station 5, 4 found" in shown
    assert scan.returncode == 130
    assert [line.split()[:3] for line in out.splitlines()[1:5]] == [
        ["1", "XY", "1.03"],
        ["2", "XY", "1.03"],
        ["3", "axis", "2.01"],
        ["4", "analogue", "3.00"],
    ]


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


@pytest.mark.parametrize(
    "answer, status, shown",
    [
        (b"%01$RD630013\r", 0, "DT100 = 99\n"),
        (b"%01!42**\r", 1, "MEW communication error code(hex): 42 (command not supported)\n"),
    ],
    ids=["value", "error-answer-explained"],
)
def test_url_as_port(answer, status, shown):
    # The test is the station behind a network serial server: it answers one read.
    listener = socket.create_server(("127.0.0.1", 0))
    listener.settimeout(5)
    heard = []

    def station():
        connection, _ = listener.accept()
        with connection:
            connection.settimeout(5)
            heard.append(connection.recv(100))
            connection.sendall(answer)
            connection.recv(100)  # a server keeps the line until the client lets go

    thread = threading.Thread(target=station)
    thread.start()
    try:
        url = f"socket://127.0.0.1:{listener.getsockname()[1]}"
        done = zul_mew("read", url, 1, "DT100")
    finally:
        thread.join()
        listener.close()
    assert heard == [b"%01#RDD001000010055\r"]
    assert done.returncode == status
    assert (done.stdout if status == 0 else done.stderr).endswith(shown)
    refused = zul_mew("read", url, 1, "DT100")
    assert refused.returncode == 1 and f"cannot open {url}" in refused.stderr


@pytest.mark.parametrize(
    "station, polls, status, summary",
    [
        (4, 3, 0, r"3 requests sent, 3 answered, 0 errors, 0\.0% loss"),
        (9, 3, 1, r"3 requests sent, 0 answered, 3 errors \(3 timeout\), 100\.0% loss"),
        (4, None, 130, r"(\d+) requests sent, \1 answered, 0 errors, 0\.0% loss"),
    ],
    ids=["answered", "silent", "ctrl-c"],
)
def test_poll_ends_with_statistics(bus, station, polls, status, summary):
    args = ["poll", bus.port, str(station), "DT0", "--interval", "300", "--query-timeout", "0.2"]
    poll = subprocess.Popen(
        COMMAND + args + (["--polls", str(polls)] if polls else []),
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )
    began = time.monotonic()
    try:
        if polls is None:
            for _ in range(2):
                assert "DT0 = 1000" in _line_from(poll.stdout, began + 10)
            poll.send_signal(signal.SIGINT)
        out, _ = poll.communicate(timeout=20)
    finally:
        if poll.poll() is None:
            poll.kill()
            poll.communicate()
    lines = out.splitlines()
    at = lines.index(f"--- DT0 of station {station} on {bus.port} poll statistics ---")
    assert poll.returncode == status
    assert re.fullmatch(summary, lines[at + 1]), lines[at + 1]
    assert (lines[at + 2 :] != []) == (station == 4)  # round trips, when there were answers
    assert polls is None or time.monotonic() - began > 0.6  # three requests, 300 ms apart


def test_a_port_in_use_is_busy(memory):
    with serial.Serial(memory.port, exclusive=True):
        done = zul_mew("read", memory.port, 3, "DT0")
    assert (done.returncode, done.stderr) == (
        1,
        f"zul-mew read: cannot open {memory.port}: port busy (another program has it open)\n",
    )


def test_runs_where_there_are_no_pseudo_terminals():
    demo = subprocess.run(WITHOUT_PTYS + ["demo"], capture_output=True, text=True, timeout=20)
    assert demo.returncode == 0 and "demo: done, everything stopped" in demo.stdout, demo.stderr
    sim = subprocess.run(WITHOUT_PTYS + ["sim"], capture_output=True, text=True, timeout=20)
    assert (sim.returncode, sim.stderr) == (
        1,
        "zul-mew sim needs pseudo-terminals (Linux, macOS) for a virtual port; "
        "--listen [HOST:]PORT serves on a TCP port instead\n",
    )
    served = Sim("--kind", "memory", "--station", 3, "--listen", 0, command=WITHOUT_PTYS)
    try:
        assert re.fullmatch(r"socket://127\.0\.0\.1:\d+", served.port), served.port
        assert zul_mew("write", served.port, 3, "DT7", "-2", "--as", "i16").returncode == 0
        read = zul_mew("read", served.port, 3, "DT7", "--as", "i16")
        assert (read.returncode, read.stdout) == (0, "DT7 = -2\n"), read.stderr
    finally:
        out = served.stop()
    assert served.proc.returncode == 130 and out.rstrip().endswith("sim: stopped"), out


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
    assert zul_mew("--version").stdout == f"zul-mew {metadata.version('zul_mew')}\n"


def _readme_session():
    # The console blocks of the README's command-line section: each "$ " line a
    # command, the lines after it what the terminal shows.
    text = (Path(__file__).resolve().parent.parent / "README.md").read_text(encoding="utf-8")
    section = text.split("## The command line\n")[1].split("\n## ")[0]
    steps = []
    for block in re.findall(r"^```console\n(.*?)^```", section, re.M | re.S):
        for step in re.split(r"^\$ ", block, flags=re.M)[1:]:
            command, _, shown = step.partition("\n")
            steps.append((command.split()[1:], shown))
    return steps


def _as_shown(text, ports):
    # Clock times, round trips and other measured figures differ from run to run.
    if ports:
        names = "|".join(map(re.escape, ports)) + r"(?!\d)"
        text = re.sub(names, lambda name: ports[name.group()], text)
    measured = r"\d\d:\d\d:\d\d\.\d{3}|\d{4}-\d\d-\d\dT[\d:.]+|\d+\.\d+"
    return [line.split() for line in re.sub(measured, "#", text).splitlines()]


def test_readme_session_runs_as_shown():
    (sim_args, sim_shown), *steps = _readme_session()
    assert sim_args[0] == "sim" and len(steps) >= 5
    sim = Sim(*sim_args[1:])
    ports = {sim.port: "/dev/pts/7", sim.tap: "/dev/pts/8"}
    try:
        assert _as_shown("".join(sim.lines), ports) == _as_shown(sim_shown, {})
        for args, shown in steps:
            done = subprocess.run(
                COMMAND + [arg.replace("/dev/pts/7", sim.port) for arg in args],
                stdout=subprocess.PIPE,
                stderr=subprocess.STDOUT,
                text=True,
                timeout=20,
            )
            assert done.returncode == 0, done.stdout
            assert _as_shown(done.stdout, ports) == _as_shown(shown, {}), args
    finally:
        sim.stop()


@pytest.fixture
def babbling_line(cable):
    """One end of a cable whose far end sends without a carriage return, slowly
    enough that a frame would take minutes to reach its longest."""
    done = threading.Event()

    def babble():
        with serial.Serial(cable.ports[1]) as far:
            while not done.wait(0.005):
                far.write(b"x")

    sender = threading.Thread(target=babble)
    sender.start()
    yield cable.ports[0]
    done.set()
    sender.join()


@pytest.mark.parametrize(
    "args",
    [
        ["poll", "{port}", 1, "DT0", "--trace"],
        ["monitor", "{port}", "--trace"],
    ],
    ids=["poll", "monitor"],
)
def test_ctrl_c_ends_a_command_on_a_babbling_line_at_once(babbling_line, args):
    command = subprocess.Popen(
        COMMAND + [str(a).format(port=babbling_line) for a in args] + ["-v"],
        stdout=subprocess.DEVNULL,
        stderr=subprocess.PIPE,
        text=True,
    )
    try:
        _line_from(command.stderr, time.monotonic() + 10)  # the settings: the port is open
        time.sleep(0.5)
        interrupted = time.monotonic()
        command.send_signal(signal.SIGINT)
        command.wait(timeout=5)
        assert time.monotonic() - interrupted < 1.0
    finally:
        if command.poll() is None:
            command.kill()
        command.communicate()


def _port(device, description, hwid):
    from serial.tools.list_ports_common import ListPortInfo

    info = ListPortInfo(device, skip_link_detection=True)
    info.description, info.hwid = description, hwid
    return info


@pytest.mark.parametrize(
    "found, form, out, err",
    [
        ([_port("/dev/ttyUSB0", "USB-RS485 adapter", "USB VID:PID=0403:6001"),
          _port("/dev/ttyS0", "ttyS0", "n/a")], "text",
         "/dev/ttyS0    ttyS0\n/dev/ttyUSB0  USB-RS485 adapter  (USB VID:PID=0403:6001)\n", ""),
        ([], "text", "", "ports: no serial ports found\n"),
    ],
    ids=["text", "none"],
)  # fmt: skip
def test_ports_lists_what_the_system_reports(monkeypatch, capsys, found, form, out, err):
    # No adapter can be plugged in on demand: the system's list is the test's.
    from serial.tools import list_ports

    from zul_mew_tools.cli import main

    monkeypatch.setattr(list_ports, "comports", lambda: list(found))
    monkeypatch.setattr(threading, "excepthook", threading.excepthook)  # main sets its own
    assert main(["ports", "--format", form]) == 0
    assert capsys.readouterr() == (out, err)
