"""The plant layer: tag files read, refused and written; the scheduler on the
virtual cable against the simulated bus: its requests, a station that goes
silent and comes back, a pulled cable, report by exception, writes."""

import re
import threading
import time

import pytest

import zul_mew
from zul_mew_tools.cable import NullModemCable
from zul_mew_tools.plant import Line, Point, Scheduler, TagFileError, discovered, dumps, loads
from zul_mew_tools.plant.reads import plan
from zul_mew_tools.reconnect import ReconnectingChannel
from zul_mew_tools.sim import SimBus

# Stations 1 and 2 are XY, 4 analogue (D0 to D3 hold 1000 to 4000) on the simulated bus.
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
  name = "lamp"
  address = "Y1"
  writable = true

  [[station.point]]
  name = "outputs"
  address = "WY0"
  writable = true

[[station]]
number = 2
interval = 0.05

  [[station.point]]
  name = "inputs"
  address = "WX0"

[[station]]
number = 4
name = "oven"
interval = 0.05

  [[station.point]]
  name = "oil_temperature"
  address = "DT0"
  type = "i16"
  scale = 0.1
  unit = "°C"
  deadband = 5
  writable = true

  [[station.point]]
  name = "flow"
  address = "DT1"
  max_age = 0.2

  [[station.point]]
  name = "setpoint"
  address = "DT2"
  type = "f32"
  writable = true
"""


def within(check, seconds=10.0):
    """Waits, bounded, until ``check()`` holds; a loaded machine gets ten seconds."""
    deadline = time.monotonic() + seconds
    while not check():
        assert time.monotonic() < deadline, "not in time"
        time.sleep(0.02)


class Heard:
    """What a scheduler handed out: its reports and health changes, in order."""

    def __init__(self):
        self.reports = []
        self.changes = []
        self._lock = threading.Lock()

    def report(self, report):
        with self._lock:
            self.reports.append(report)

    def health(self, change):
        with self._lock:
            self.changes.append(change)

    def of(self, station, point=None):
        with self._lock:
            return [r for r in self.reports if r.station == station and point in (None, r.point)]

    def health_of(self, station):
        with self._lock:
            return [(c.up, c.reason) for c in self.changes if c.station == station]


@pytest.fixture
def sim_bus(cable):
    bus = SimBus.with_layout(zul_mew.MewSerial(port=cable.ports[0]))
    bus.start()
    yield bus
    bus.close()


@pytest.fixture
def run(cable):
    """Starts a scheduler of ``PLANT`` (or of the text given) on the cable's far end."""
    started = []

    def start(text=PLANT, port=cable.ports[1], **kwargs):
        heard = Heard()
        scheduler = Scheduler(
            loads(text.format(port=port)), on_report=heard.report, on_health=heard.health, **kwargs
        )
        scheduler.start()
        started.append(scheduler)
        return scheduler, heard

    yield start
    for scheduler in started:
        scheduler.stop()


# -- the tag file

BY_HAND = PLANT.replace('port = "{port}"', 'port = "/dev/ttyUSB0"\nbaudrate = 19200')


@pytest.mark.parametrize(
    "tags",
    [
        loads(BY_HAND),
        discovered(Line("COM3", parity="E"), [(1, "XY", "1.03"), (3, "axis", "2.01")]),
    ],
    ids=["written-by-hand", "discovered"],
)
def test_a_tag_file_reads_back_as_it_was_written(tags):
    assert loads(dumps(tags, "a comment\nof two lines")) == tags


def test_a_discovered_xy_station_has_its_contacts_and_words():
    (station,) = discovered(Line("COM3"), [(5, "XY", "1.03")]).stations
    writable = [point.name for point in station.points if point.writable]
    assert [point.name for point in station.points][:2] == ["X0", "X1"]
    assert writable == [f"Y{bit:X}" for bit in range(16)] + ["WY0"]
    assert (station.kind, station.firmware, len(station.points)) == ("XY", "1.03", 34)


BASE = """
[line]
port = "/dev/ttyUSB0"

[[station]]
number = 1
name = "press"

  [[station.point]]
  name = "temp"
  address = "DT100"
  type = "i16"
"""
SECOND_TEMP = '\n  [[station.point]]\n  name = "temp"\n  address = "DT101"\n'
SECOND_STATION = '\n[[station]]\nnumber = 1\n  [[station.point]]\n  name = "x"\n  address = "X0"\n'
AT_TEMP = "tag file: station 1 (press), point 'temp': "


@pytest.mark.parametrize(
    "wrong, right, message",
    [
        (
            'type = "i16"',
            'type = "i16"\n  scael = 0.1',
            "unknown key 'scael' (did you mean 'scale'?)",
        ),
        (
            'port = "/dev/ttyUSB0"',
            'port = "/dev/ttyUSB0"\nbaud = 9600',
            "tag file: [line]: unknown key 'baud' (did you mean 'baudrate'?)",
        ),
        (
            '"DT100"',
            '"DT1X"',
            "address 'DT1X' is no contact (X3), word of contacts (WX0) or register (DT100)",
        ),
        ('"DT100"', '"X3"', "type i16 does not fit the contact X3: a contact is bool"),
        ('"i16"', '"bool"', "type bool does not fit the register DT100: take its bits as u16"),
        (
            '"DT100"\n  type = "i16"',
            '"DT99999"\n  type = "f32"',
            "f32 at DT99999: last register address out of range 0 to 99999: 100000",
        ),
        ('type = "i16"', 'type = "i16"\n' + SECOND_TEMP, "a second point of this name"),
        (
            '"DT100"\n  type = "i16"',
            '"WX0"\n  writable = true',
            "WX0 is an input: it cannot be writable",
        ),
        (
            '"DT100"\n  type = "i16"',
            '"Y1"\n  scale = 2',
            "scale is for numbers of registers, not the contact Y1",
        ),
        (
            'name = "press"',
            'interval = "fast"',
            "tag file: station 1: interval is a number of seconds above 0, not 'fast'",
        ),
        (
            'type = "i16"',
            'type = "i16"\n' + SECOND_STATION,
            "tag file: station 1: a second station of this number",
        ),
        (
            'port = "/dev/ttyUSB0"',
            "baudrate = 9600",
            'tag file: [line]: no port (port = "/dev/ttyUSB0")',
        ),
        ("[line]", "[line", "tag file: not TOML: "),
    ],
    ids=[
        "unknown-key",
        "unknown-line-key",
        "not-a-name",
        "type-of-contact",
        "type-of-register",
        "past-the-last-register",
        "one-name-twice",
        "writable-input",
        "scaled-contact",
        "not-seconds",
        "one-station-twice",
        "no-port",
        "not-toml",
    ],
)
def test_a_wrong_tag_file_is_refused_in_one_line(wrong, right, message):
    assert wrong in BASE
    with pytest.raises(TagFileError) as refused:
        loads(BASE.replace(wrong, right, 1))
    said = str(refused.value)
    expected = message if message.startswith("tag file:") else AT_TEMP + message
    assert said.startswith(expected) and (said == expected or message.endswith(": "))
    assert "\n" not in said


# -- requests


def points(*given):
    return [Point(f"p{i}", *keys) for i, keys in enumerate(given)]


@pytest.mark.parametrize(
    "given, max_words, requests",
    [
        ([("X3",), ("X5",), ("WX0",)], 24, [("WX0", 1)]),
        ([("X3",), ("X1F",), ("Y0",)], 24, [("WX0", 2), ("WY0", 1)]),
        ([("DT100", "i16"), ("DT101",), ("DT102", "f32")], 24, [("D100", 4)]),
        ([("DT100",), ("D100",)], 24, [("D100", 1)]),
        ([("DT100",), ("DT102",)], 24, [("D100", 1), ("D102", 1)]),
        ([(f"DT{n}",) for n in range(30)], 24, [("D0", 24), ("D24", 6)]),
        ([("DT0", "u32"), ("DT2", "u32")], 3, [("D0", 2), ("D2", 2)]),
        ([("DT0",), ("LD0",), ("R0",)], 24, [("WR0", 1), ("D0", 1), ("L0", 1)]),
    ],
    ids=[
        "contacts-of-a-word",
        "adjacent-words",
        "adjacent-registers",
        "one-register-two-names",
        "a-gap",
        "at-most-max-words",
        "a-value-whole",
        "one-request-per-area",
    ],
)
def test_points_are_read_with_the_fewest_requests(given, max_words, requests):
    reads = plan(points(*given), max_words)
    assert sorted((read.name, read.count) for read in reads) == sorted(requests)
    assert sum(len(read.points) for read in reads) == len(given)


@pytest.mark.parametrize(
    "point, words, value",
    [
        (Point("t", "DT0", "i16", scale=0.1), [0xFF29], -21.5),
        (Point("t", "DT0", "u16", offset=-40), [100], 60),
        (Point("t", "DT0", "f32"), [0xCCCD, 0x3DCC], 0.1),
        (Point("t", "DT0", "f32", word_order="high-first"), [0x3DCC, 0xCCCD], 0.1),
        (Point("t", "DT0", "i32"), [0xFFFE, 0xFFFF], -2),
        (Point("t", "XA"), [0x0400], True),
    ],
    ids=["scaled", "offset", "f32", "f32-high-first", "i32", "contact"],
)
def test_a_value_is_read_and_written_in_the_points_units(point, words, value):
    assert point.value_of(words) == value
    assert point.words_for(value) == (words if point.type != "bool" else [1])


@pytest.mark.parametrize(
    "point, value, refused",
    [
        (
            Point("t", "DT0", "i16", scale=0.1),
            3276.8,
            "3276.8 is out of range: i16 scaled by 0.1 takes -3276.8 to 3276.7",
        ),
        (Point("t", "DT0"), -1, "-1 is out of range: u16 takes 0 to 65535"),
        (Point("t", "DT0"), 1.5, "u16 takes whole numbers, not 1.5"),
        (Point("t", "Y0"), 2, "a contact takes on or off (1 or 0), not 2"),
    ],
    ids=["scaled", "negative", "fraction", "contact"],
)
def test_a_value_out_of_the_points_range_is_refused(point, value, refused):
    with pytest.raises(ValueError, match=f"^{re.escape(refused)}$"):
        point.words_for(value)


# -- the scheduler on a line


def test_every_point_is_reported_with_few_requests(sim_bus, run):
    scheduler, heard = run()
    within(lambda: len({(r.station, r.point) for r in heard.reports}) == 7)
    values = {(r.station, r.point): r.value for r in heard.reports}
    assert values[(1, "door_closed")] is True  # X0 of station 1 is set
    assert values[(4, "oil_temperature")] == 100.0  # 1000 * 0.1
    assert values[(2, "inputs")] == 0x0205
    assert all(r.good for r in heard.reports)
    # Station 1: X0 by one word read, Y1 and WY0 by another; station 4: one RD of four words.
    stats = scheduler.statistics()
    time.sleep(0.3)
    later = scheduler.statistics()
    cycles = later[2].sent - stats[2].sent
    assert cycles >= 2
    assert later[1].sent - stats[1].sent <= 2 * (cycles + 1)
    assert later[4].sent - stats[4].sent <= cycles + 1
    assert scheduler.last_values()[(4, "flow")].value == 2000


def test_reports_come_by_exception(sim_bus, run):
    scheduler, heard = run()
    within(lambda: heard.of(4, "oil_temperature"))
    registers = sim_bus.stations[4].registers
    registers[("D", 0)] = 1040  # 104.0: within the deadband of 5
    sent = scheduler.statistics()[4].sent
    within(lambda: scheduler.statistics()[4].sent >= sent + 5)
    assert [r.value for r in heard.of(4, "oil_temperature")] == [100.0]
    assert scheduler.last_values()[(4, "oil_temperature")].value == 104.0
    registers[("D", 0)] = 1060
    within(lambda: len(heard.of(4, "oil_temperature")) == 2)
    assert heard.of(4, "oil_temperature")[-1].value == 106.0
    # flow never changes, and is reported again after its max_age.
    within(lambda: len(heard.of(4, "flow")) >= 3)
    assert {r.value for r in heard.of(4, "flow")} == {2000}
    # A contact is reported on every change.
    sim_bus.stations[1].words[("X", 0)] = 0x0104
    within(lambda: [r.value for r in heard.of(1, "door_closed")] == [True, False])


def test_a_silent_station_costs_little_and_comes_back(sim_bus, run):
    scheduler, heard = run()
    within(lambda: heard.health_of(2) == [(True, "")])
    station = sim_bus.stations.pop(2)
    within(lambda: heard.health_of(2) == [(True, ""), (False, "timeout")])
    before = scheduler.statistics()
    time.sleep(1.5)
    during = scheduler.statistics()
    # Tried after 0.1, 0.2, 0.4, 0.8 s (never sooner than a try lasts), not once per
    # cycle of 0.05 s; one try may be under way when counting starts.
    tries = during[2].sent - before[2].sent
    assert tries <= 5 and during[1].sent - before[1].sent >= 4 * tries
    assert [r.quality for r in heard.of(2)] == ["good", "timeout"]
    sim_bus.stations[2] = station
    within(lambda: heard.health_of(2)[-1] == (True, ""))
    within(lambda: [r.quality for r in heard.of(2)] == ["good", "timeout", "good"])
    assert heard.health_of(1) == [(True, "")]


@pytest.fixture
def pluggable():
    """The simulated bus on a cable that can be pulled, riding it out."""
    with NullModemCable(links=True) as cable:
        port = cable.ports[0]
        bus = SimBus.with_layout(
            ReconnectingChannel(lambda: zul_mew.MewSerial(port=port), port, first_wait=0.05)
        )
        bus.start()
        yield cable
        bus.close()


def test_a_pulled_cable_is_every_station_down_and_each_failure_once(pluggable, run):
    scheduler, heard = run(port=pluggable.ports[1])
    within(lambda: len({(r.station, r.point) for r in heard.reports}) == 7)
    pluggable.unplug()
    within(lambda: all(up is False for up in scheduler.health().values()))
    time.sleep(0.3)  # several cycles of a line away
    pluggable.plug()
    within(lambda: all(scheduler.health().values()), seconds=15)
    for station in (1, 2, 4):
        assert [up for up, _ in heard.health_of(station)] == [True, False, True]
    points = list(scheduler.last_values())
    within(lambda: all(heard.of(*point)[-1].good for point in points))
    for point in points:
        qualities = [r.quality for r in heard.of(*point)]
        failures = [quality for quality in qualities if quality != "good"]
        assert len(failures) == 1 and failures[0] in ("line", "timeout")
        assert qualities[0] == qualities[-1] == "good"


@pytest.mark.parametrize(
    "point, value, station, place, stored",
    [
        ("oil_temperature", -21.5, 4, ("D", 0), 0xFF29),
        ("setpoint", 0.1, 4, ("D", 3), 0x3DCC),
        ("lamp", True, 1, ("Y", 0), 0x0002),
        ("outputs", 0x00F0, 1, ("Y", 0), 0x00F0),
    ],
    ids=["scaled", "f32", "contact", "word"],
)
def test_a_write_reaches_the_station_and_is_read_back(
    sim_bus, run, point, value, station, place, stored
):
    scheduler, heard = run()
    within(lambda: heard.of(station, point))
    assert scheduler.write(station, point, value).result(timeout=10) is None
    memory = sim_bus.stations[station]
    assert (memory.registers if place[0] == "D" else memory.words)[place] == stored
    within(lambda: heard.of(station, point)[-1].value == value)


@pytest.mark.parametrize(
    "station, point, value, refused",
    [
        (1, "door_closed", True, "station 1 (press), point 'door_closed' is read-only"),
        (
            4,
            "oil_temperature",
            4000,
            "station 4 (oven), point 'oil_temperature': 4000 is out of range",
        ),
        (1, "valve", True, "station 1 (press) has no point 'valve'"),
        (9, "valve", True, "no station 9 in the tag file"),
    ],
    ids=["read-only", "out-of-range", "no-such-point", "no-such-station"],
)
def test_a_write_that_cannot_be_is_refused_before_anything_is_sent(
    sim_bus, run, station, point, value, refused
):
    scheduler, _ = run()
    with pytest.raises(ValueError, match=re.escape(refused)):
        scheduler.write(station, point, value)


def test_a_write_to_a_silent_station_fails_with_its_kind(sim_bus, run):
    del sim_bus.stations[1]
    scheduler, heard = run()
    failure = scheduler.write(1, "lamp", True).exception(timeout=10)
    assert (failure.station, failure.point, failure.kind) == (1, "lamp", "timeout")
    assert str(failure) == "station 1 (press), point 'lamp' not written: timeout"


def test_reports_wait_for_a_reader_until_the_scheduler_stops(sim_bus, cable):
    scheduler = Scheduler(loads(PLANT.format(port=cable.ports[1])))
    with pytest.raises(RuntimeError, match="not running"):
        scheduler.write(1, "lamp", True)
    seen = set()
    with scheduler:
        for report in scheduler.reports(timeout=10):
            seen.add((report.station, report.point))
            if len(seen) == 7:
                break
    assert len(seen) == 7
    # Once stopped, what is left is handed out and the iterator ends.
    assert all(report.good for report in scheduler.reports())


# -- the board of a tag file


@pytest.mark.parametrize("allow_writes", [True, False], ids=["writes", "read-only"])
def test_the_board_shows_the_points_and_sets_them(sim_bus, cable, allow_writes):
    pytest.importorskip("textual")
    import asyncio

    from zul_mew_tools.board.plant import READ_ONLY, PlantBoard, Qualities

    qualities = Qualities()
    scheduler = Scheduler(loads(PLANT.format(port=cable.ports[1])), on_report=qualities.report)

    async def until(pilot, check):
        deadline = time.monotonic() + 10
        while not check():
            assert time.monotonic() < deadline, "the board did not show it in time"
            await pilot.pause(0.05)

    def cell(app, station, point, column):
        table = app.query_one(f"#station-{station}")
        return str(table.get_cell(point, column))

    async def drive():
        app = PlantBoard(scheduler, qualities, "the line", allow_writes)
        async with app.run_test(size=(100, 50)) as pilot:
            await until(pilot, lambda: cell(app, 4, "oil_temperature", "value") == "100.0 °C")
            assert cell(app, 1, "door_closed", "value") == "on"
            assert cell(app, 1, "outputs", "value") == "0x0000"
            await until(pilot, lambda: cell(app, 4, "flow", "trend").strip() == "▄")
            await pilot.press("down", "enter")  # the lamp, on the first station
            if not allow_writes:
                await until(pilot, lambda: app.last_write == READ_ONLY)
                return
            await until(pilot, lambda: cell(app, 1, "lamp", "value") == "on")
            app.query_one("#station-4").focus()
            await pilot.press("enter", *"85.5", "enter")
            await until(pilot, lambda: cell(app, 4, "oil_temperature", "value") == "85.5 °C")
            assert app.last_write == "station 4 (oven): oil_temperature = 85.5 °C"

    with scheduler:
        asyncio.run(drive())
    assert sim_bus.stations[1].words.get(("Y", 0), 0) == (0x0002 if allow_writes else 0)
