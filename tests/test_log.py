"""``zul-mew log`` and ``zul-mew scan --emit-config`` run as a person runs them,
against the simulated bus on the virtual cable, and the sinks they write."""

import csv
import io
import re
import shlex
import shutil
import signal
import sqlite3
import subprocess
import sys
import time
from pathlib import Path

import pytest

import zul_mew
from zul_mew_tools.plant import Line, Report, discovered, load
from zul_mew_tools.plant.sinks import CsvSink, LineProtocolSink
from zul_mew_tools.sim import SimBus

COMMAND = [sys.executable, "-m", "zul_mew_tools.cli"]
README = Path(__file__).resolve().parent.parent / "README.md"

PLANT = """
[line]
port = "{port}"
query_timeout = 0.3

[[station]]
number = 1
name = "press"
interval = 0.05

  [[station.point]]
  name = "door_closed"
  address = "X0"

  [[station.point]]
  name = "outputs"
  address = "WY0"

[[station]]
number = 4
interval = 0.05

  [[station.point]]
  name = "oil_temperature"
  address = "DT0"
  type = "i16"
  scale = 0.1
"""
# What the simulated bus holds at those points.
VALUES = {(1, "door_closed"): 1.0, (1, "outputs"): 0.0, (4, "oil_temperature"): 100.0}


def zul_mew_cli(*args, cwd=None, timeout=30):
    return subprocess.run(
        COMMAND + [str(arg) for arg in args],
        capture_output=True,
        text=True,
        cwd=cwd,
        timeout=timeout,
    )


def within(check, seconds=10.0):
    deadline = time.monotonic() + seconds
    while not check():
        assert time.monotonic() < deadline, "not in time"
        time.sleep(0.05)


@pytest.fixture
def sim_bus(cable):
    bus = SimBus.with_layout(zul_mew.MewSerial(port=cable.ports[0]))
    bus.start()
    yield bus
    bus.close()


@pytest.fixture
def plant(cable, tmp_path):
    path = tmp_path / "plant.toml"
    path.write_text(PLANT.format(port=cable.ports[1]), encoding="utf-8")
    return path


def from_csv(path, stdout):
    rows = list(csv.reader(path.open(encoding="utf-8")))
    assert rows[0] == ["time", "station", "point", "value", "quality"]
    return [(int(s), p, float(v), q) for _, s, p, v, q in rows[1:]]


def from_sqlite(path, stdout):
    with sqlite3.connect(path) as db:
        rows = db.execute("SELECT station, point, value, quality FROM reports").fetchall()
    return [(s, p, float(v), q) for s, p, v, q in rows]


def rows_so_far(path):
    # The file is there a moment before its table; a look before the file would make it.
    if not path.exists():
        return []
    try:
        return from_sqlite(path, "")
    except sqlite3.OperationalError:
        return []


LINE = re.compile(r'zul_mew,station=(\d+),point=(\w+) value=([\d.]+),quality="(\w+)" \d{19}')


def from_line_protocol(path, stdout):
    found = [LINE.fullmatch(line) for line in stdout.splitlines()]
    assert all(found), stdout
    return [(int(s), p, float(v), q) for s, p, v, q in (match.groups() for match in found)]


@pytest.mark.parametrize(
    "destination, read",
    [("plant.csv", from_csv), ("plant.sqlite", from_sqlite), ("-", from_line_protocol)],
    ids=["csv", "sqlite", "line-protocol"],
)
def test_log_keeps_every_point_in_each_sink(sim_bus, plant, destination, read):
    done = zul_mew_cli("log", plant, "--to", destination, "--duration", "0.5", cwd=plant.parent)
    assert done.returncode == 0, done.stderr
    rows = read(plant.parent / destination, done.stdout)
    assert {(s, p): v for s, p, v, _ in rows} == VALUES
    assert {q for *_, q in rows} == {"good"}
    assert f"log: {len(rows)} reports written to " in done.stderr
    assert "--- station 1 (press) on " in done.stderr and "--- station 4 on " in done.stderr


@pytest.mark.parametrize("signum", [signal.SIGINT, signal.SIGTERM], ids=["ctrl-c", "sigterm"])
def test_a_stopped_log_keeps_every_report(sim_bus, plant, signum):
    database = plant.parent / "plant.sqlite"
    log = subprocess.Popen(
        COMMAND + ["log", str(plant), "--to", str(database)],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )
    try:
        # Another program reads while the log writes, what was committed a second ago at most.
        within(lambda: len(rows_so_far(database)) == 3)
        sim_bus.stations[4].registers[("D", 0)] = 1234
        within(lambda: (4, "oil_temperature", 123.4, "good") in rows_so_far(database))
        sim_bus.stations[1].words[("X", 0)] = 0
        log.send_signal(signum)
        _, err = log.communicate(timeout=20)
    finally:
        if log.poll() is None:
            log.kill()
            log.communicate()
    assert log.returncode == 0, err
    rows = from_sqlite(database, "")
    assert f"log: {len(rows)} reports written to {database}\n" in err
    assert "--- station 4 on " in err


def test_a_silent_station_is_told_and_logged_once(sim_bus, plant):
    del sim_bus.stations[4]
    done = zul_mew_cli("log", plant, "--to", "-", "--duration", "0.5")
    assert done.returncode == 0, done.stderr
    assert done.stderr.startswith("log: station 4 is down (timeout)\n")
    failures = [line for line in done.stdout.splitlines() if "station=4" in line]
    assert len(failures) == 1 and 'quality="timeout"' in failures[0]


@pytest.mark.parametrize(
    "edit, args, said",
    [
        (
            lambda text: text.replace("scale", "scael"),
            ["log", "plant.toml", "--to", "x.db"],
            "station 4, point 'oil_temperature': unknown key 'scael' (did you mean 'scale'?)",
        ),
        (
            lambda text: re.sub('port = ".*"', 'port = "/dev/ttyNOTHERE"', text),
            ["log", "plant.toml", "--to", "x.db"],
            "cannot open /dev/ttyNOTHERE: ",
        ),
        (
            lambda text: text,
            ["log", "plant.toml", "--to", "x.txt"],
            "x.txt: the destination is a .csv, .sqlite or .db file, or - for line protocol",
        ),
        (
            lambda text: text.replace('"WY0"', '"WX0"\n  writable = true'),
            ["board", "plant.toml"],
            "station 1 (press), point 'outputs': WX0 is an input: it cannot be writable",
        ),
    ],
    ids=["wrong-tag-file", "no-port", "no-sink", "board-wrong-tag-file"],
)
def test_a_command_that_cannot_start_says_why_in_one_line(plant, edit, args, said):
    plant.write_text(edit(plant.read_text(encoding="utf-8")), encoding="utf-8")
    done = zul_mew_cli(*args, cwd=plant.parent)
    assert done.returncode == 1
    assert done.stderr.startswith(f"zul-mew {args[0]}: ") and said in done.stderr
    assert done.stderr.count("\n") == 1
    assert not (plant.parent / "x.db").exists()  # refused before anything was opened


def test_scan_emits_the_tag_file_of_the_bus(sim_bus, cable, tmp_path):
    done = zul_mew_cli(
        "scan", cable.ports[1], "--last", 6, "--emit-config", "bus.toml", cwd=tmp_path
    )
    assert done.returncode == 0, done.stderr
    found = [(1, "XY", "1.03"), (2, "XY", "1.03"), (3, "axis", "2.01"), (4, "analogue", "3.00")]
    assert load(tmp_path / "bus.toml") == discovered(Line(cable.ports[1]), found)
    again = zul_mew_cli(
        "scan", cable.ports[1], "--last", 6, "--emit-config", "bus.toml", cwd=tmp_path
    )
    assert again.returncode == 1 and "bus.toml exists" in again.stderr


def test_a_csv_file_is_added_to_and_line_protocol_escapes_names(tmp_path):
    path = tmp_path / "plant.csv"
    for value in (1.5, 2.5):
        with CsvSink(str(path)) as sink:
            sink.write(Report(0.0, 1, "flow", value))
    assert [row[3] for row in csv.reader(path.open())] == ["value", "1.5", "2.5"]
    stream = io.StringIO()
    with LineProtocolSink(stream) as sink:
        sink.write(Report(1.5, 2, "oil temp,left=1", None, "timeout"))
    assert stream.getvalue() == (
        'zul_mew,station=2,point=oil\\ temp\\,left\\=1 quality="timeout" 1500000000\n'
    )


# -- the README's "From bus to data" runs as shown


def _section():
    text = README.read_text(encoding="utf-8")
    return text.split("## From bus to data\n")[1].split("\n## ")[0]


def _masked(text, port=None):
    # Times, counts and round trips differ from run to run.
    if port:
        text = text.replace(port, "/dev/pts/7")
    return [line.split() for line in re.sub(r"[\d:.-]*\d", "#", text).splitlines()]


def test_readme_from_bus_to_data_runs_as_shown(sim_bus, cable, tmp_path):
    section = _section()
    edit = re.search(r"^```toml\n(.*?)^```", section, re.M | re.S).group(1)
    sessions = re.findall(r"^```console\n(.*?)^```", section, re.M | re.S)
    steps = []
    for block in sessions:  # against the simulator of the test
        for step in re.split(r"^\$ ", block, flags=re.M)[1:]:
            command, _, shown = step.partition("\n")
            steps.append((shlex.split(command.replace("/dev/pts/7", cable.ports[1])), shown))
    assert [args[:2] for args, _ in steps] == [
        ["zul-mew", "scan"],
        ["zul-mew", "log"],
        ["sqlite3", "plant.sqlite"],
    ]
    for args, shown in steps:
        if args[0] == "sqlite3" and not shutil.which("sqlite3"):
            continue
        command = COMMAND + args[1:] if args[0] == "zul-mew" else args
        done = subprocess.run(
            command,
            stdout=subprocess.PIPE,
            stderr=subprocess.STDOUT,
            text=True,
            cwd=tmp_path,
            timeout=30,
        )
        assert done.returncode == 0, done.stdout
        assert _masked(done.stdout, cable.ports[1]) == _masked(shown), args
        if args[1] == "scan":
            # The edit: station 4 as the README shows it, in place of what the scan wrote.
            emitted = (tmp_path / "plant.toml").read_text(encoding="utf-8")
            at = emitted.index("[[station]]\nnumber = 4\n")
            (tmp_path / "plant.toml").write_text(emitted[:at] + edit, encoding="utf-8")
