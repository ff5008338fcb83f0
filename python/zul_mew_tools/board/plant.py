"""The board of a tag file: the points of each station by name, with their
values, units and, for numbers, a trend of the last minutes; writable points
set from the keyboard. The scheduler reads the bus; the board only shows what
it publishes and hands it the writes."""

from __future__ import annotations

import threading
import time
from typing import Deque, Dict, Optional, Tuple

from rich.text import Text
from textual import on
from textual.app import App, ComposeResult
from textual.binding import Binding
from textual.containers import Vertical, VerticalScroll
from textual.screen import ModalScreen
from textual.widgets import DataTable, Footer, Input, Label, Log, Static

from ..plant import Point, Report, Scheduler, Station
from ..plant.points import PointValue
from ..vocabulary import reason
from .app import BOARD_CSS, QUIT_KEYS
from .line import TRACE_LINES
from .trend import WIDTH, Trend

READ_ONLY = "read-only board: points are set only on a board started with --allow-writes"
# How often the screen takes what the scheduler published, in seconds.
LOOK = 0.25
COLUMNS = ("point", "value", "trend", "")


def shown(point: Point, value: PointValue) -> str:
    """A value as the board shows it: on/off, a word in hexadecimal, a number with its unit."""
    if isinstance(value, bool):
        return "on" if value else "off"
    if point.place.kind == "word":
        return f"0x{value:04X}"
    return f"{value} {point.unit}".rstrip()


class Qualities:
    """The quality of every point's last report, kept from the scheduler's thread."""

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._quality: Dict[Tuple[int, str], str] = {}

    def report(self, report: Report) -> None:
        with self._lock:
            self._quality[(report.station, report.point)] = report.quality

    def of(self, station: int, point: str) -> str:
        with self._lock:
            return self._quality.get((station, point), "")


class StationTable(DataTable[Text]):
    """The points of one station, a row each; enter sets the point under the cursor."""

    BINDINGS = [Binding("enter", "select_cursor", "set point")]

    def __init__(self, station: Station) -> None:
        super().__init__(id=f"station-{station.number}", classes="station", cursor_type="row")
        self.station = station
        kind = " · ".join(
            filter(None, (station.kind, station.firmware and f"firmware {station.firmware}"))
        )
        self.border_title = f"{station.label}" + (f" · {kind}" if kind else "")

    def on_mount(self) -> None:
        for column in COLUMNS:
            self.add_column(
                column, key=column or "state", width=WIDTH if column == "trend" else None
            )
        for point in self.station.points:
            self.add_row(Text(point.name), Text("-"), Text(""), Text(""), key=point.name)


class ValuePrompt(ModalScreen[Optional[PointValue]]):
    """Asks for a point's new value; the point's own words and range decide."""

    BINDINGS = [Binding("escape", "dismiss(None)", "cancel")]

    def __init__(self, station: Station, point: Point) -> None:
        super().__init__()
        self.station = station
        self.point = point

    def compose(self) -> ComposeResult:
        low, high = self.point.range()
        with Vertical(id="prompt"):
            yield Label(f"{self.point.name} of {self.station.label} ({low:g} to {high:g}):")
            yield Input()
            yield Label("", id="prompt-error")

    def on_input_submitted(self, event: Input.Submitted) -> None:
        try:
            value = self.point.parse(event.value)
            self.point.raw_of(value)
        except ValueError as error:
            self.query_one("#prompt-error", Label).update(str(error))
            return
        self.dismiss(value)


class PlantBoard(App[None]):
    """The live board of a tag file, read through ``scheduler``."""

    TITLE = "zul-mew board"
    CSS = (
        BOARD_CSS
        + """
    .station { border: round $primary; height: auto; max-height: 20; }
    .station.down { border: round $error; color: $text-muted; }
    ValuePrompt { align: center middle; }
    #prompt { width: 60; height: auto; border: round $accent; padding: 0 1; }
    """
    )
    BINDINGS = [*QUIT_KEYS]

    def __init__(
        self,
        scheduler: Scheduler,
        qualities: Qualities,
        port_line: str,
        allow_writes: bool = True,
        trace: Optional[Deque[str]] = None,
    ) -> None:
        super().__init__()
        self.scheduler = scheduler
        self.qualities = qualities
        self.port_line = port_line
        self.allow_writes = allow_writes
        self.trace = trace
        self.last_write = ""
        self.trends: Dict[Tuple[int, str], Trend] = {}
        # Held, not looked up: a look may come while a prompt is the screen on top.
        self.tables = [StationTable(station) for station in scheduler.tags.stations]
        self._result = Static(id="result")
        self._status = Static(id="status")
        self._trace = Log(id="trace", max_lines=TRACE_LINES)

    def compose(self) -> ComposeResult:
        with VerticalScroll(id="stations"):
            yield from self.tables
        if self.trace is not None:
            yield self._trace
        yield self._result
        yield self._status
        yield Footer()

    def on_mount(self) -> None:
        self.set_interval(LOOK, self.look)
        self.tables[0].focus()

    def look(self) -> None:
        values = self.scheduler.last_values()
        health = self.scheduler.health()
        now = time.time()
        for table in self.tables:
            station = table.station
            up = health.get(station.number)
            table.set_class(up is False, "down")
            table.border_subtitle = "DOWN" if up is False else ""
            for point in station.points:
                self._show(table, point, values.get((station.number, point.name)), now)
        self._result.update(self.last_write)
        self._status.update(self._status_line(health))
        while self.trace:
            self._trace.write_line(self.trace.popleft())

    def _show(self, table: StationTable, point: Point, known: Optional[Report], now: float) -> None:
        number = table.station.number
        quality = self.qualities.of(number, point.name)
        if known is not None and known.value is not None:
            value = Text(shown(point, known.value), "dim" if quality not in ("", "good") else "")
            table.update_cell(point.name, "value", value, update_width=True)
            if point.is_number:
                self.trends.setdefault((number, point.name), Trend()).add(known.time, known.value)
        if point.is_number and (number, point.name) in self.trends:
            table.update_cell(
                point.name, "trend", Text(self.trends[(number, point.name)].line(now))
            )
        if quality not in ("", "good"):
            state = Text(quality, "red")
        else:
            state = Text("set" if point.writable else "", "dim")
        table.update_cell(point.name, "state", state, update_width=True)

    def _status_line(self, health: Dict[int, Optional[bool]]) -> str:
        statistics = self.scheduler.statistics().values()
        errors: Dict[str, int] = {}
        for stats in statistics:
            for kind, count in stats.errors.items():
                errors[kind] = errors.get(kind, 0) + count
        shown_errors = ", ".join(f"{kind} {count}" for kind, count in sorted(errors.items()))
        up = sum(1 for state in health.values() if state)
        return (
            f"{self.port_line} · {up} of {len(health)} stations answer"
            f" · {sum(stats.sent for stats in statistics)} exchanges"
            f" · errors: {shown_errors or 'none'}"
        )

    # -- setting points

    @on(DataTable.RowSelected)
    def _selected(self, event: DataTable.RowSelected) -> None:
        table = event.data_table
        if isinstance(table, StationTable) and event.row_key.value is not None:
            self.set_point(table.station, table.station.point(event.row_key.value))

    def set_point(self, station: Station, point: Point) -> None:
        if not point.writable:
            self.last_write = f"{station.label}: {point.name} is read-only"
        elif not self.allow_writes:
            self.last_write = READ_ONLY
        elif point.type == "bool":
            known = self.scheduler.last_values().get((station.number, point.name))
            self._write(station, point, not (known is not None and known.value))
        else:
            self.push_screen(
                ValuePrompt(station, point),
                lambda value: self._write(station, point, value) if value is not None else None,
            )
        self._result.update(self.last_write)

    def _write(self, station: Station, point: Point, value: PointValue) -> None:
        what = f"{station.label}: {point.name} = {shown(point, value)}"
        try:
            future = self.scheduler.write(station.number, point.name, value)
        except (ValueError, RuntimeError) as error:
            self.last_write = f"{what} not written: {error}"
            return
        self.last_write = f"{what}: writing"

        def done(_: object) -> None:
            failure = future.exception() if not future.cancelled() else None
            self.last_write = what if failure is None else f"{what} not written: {reason(failure)}"

        future.add_done_callback(done)
