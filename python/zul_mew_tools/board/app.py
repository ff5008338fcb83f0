"""The board on a screen: one panel per station, lamps for the contacts, a
status line for the line itself."""

from __future__ import annotations

import time
from typing import Deque, List, Optional, cast

from rich.text import Text
from textual import events
from textual.app import App, ComposeResult
from textual.binding import Binding, BindingType
from textual.containers import Vertical, VerticalScroll
from textual.screen import ModalScreen
from textual.widgets import Footer, Input, Label, Log, Static

from ..vocabulary import firmware
from .line import TRACE_LINES
from .watch import BusWatch, StationState

# A panel's content: a label column, then one lamp of LAMP columns per contact.
LABEL = 5
LAMP = 3
# How often the screen looks for what the watching thread has published.
LOOK = 0.1


def lamp_row(code: str, word: int, on: str, off: str, style: str, cursor: Optional[int]) -> Text:
    row = Text(f"{code:<{LABEL}}")
    for bit in range(16):
        lit = word >> bit & 1
        lamp_style = style if lit else "dim"
        if bit == cursor:
            lamp_style += " reverse"
        row.append(f" {on if lit else off} ", lamp_style)
    row.append(f"  W{code}0 0x{word:04X}", style)
    return row


class StationPanel(Static, can_focus=True):
    """One station. On an XY station the Y lamps take a cursor: arrows move it,
    space toggles the output under it, ``w`` types the whole output word."""

    BINDINGS = [
        Binding("left", "move(-1)", "previous Y", show=False),
        Binding("right", "move(1)", "next Y", show=False),
        Binding("space,enter", "toggle_y", "toggle Y"),
        Binding("w", "word", "write WY"),
    ]

    def __init__(self, state: StationState) -> None:
        super().__init__(id=f"station-{state.station}", classes="station")
        self.state = state
        self.cursor = 0

    def show_state(self, state: StationState) -> None:
        self.state = state
        self.set_class(state.lost, "lost")
        kind = f"station {state.station} · {state.kind} · firmware {firmware(state.firmware)}"
        self.border_title = kind
        self.border_subtitle = "LOST" if state.lost else ""
        self.update(self._content())

    def _content(self) -> Text:
        state = self.state
        if state.wx is None or state.wy is None:
            lines = [Text(f"{state.kind} station: no contacts to show", "italic")]
        else:
            cursor = self.cursor if self.has_focus else None
            numbers = Text(" " * LABEL + "".join(f" {bit:X} " for bit in range(16)), "dim")
            lines = [
                numbers,
                lamp_row("X", state.wx, "●", "○", "bold green", None),
                lamp_row("Y", state.wy, "■", "□", "bold yellow", cursor),
            ]
        if state.problem:
            lines.append(Text(("no answer: " if state.lost else "") + state.problem, "red"))
        return Text("\n").join(lines)

    def on_focus(self) -> None:
        self.update(self._content())

    def on_blur(self) -> None:
        self.update(self._content())

    def action_move(self, step: int) -> None:
        self.cursor = (self.cursor + step) % 16
        self.update(self._content())

    def action_toggle_y(self) -> None:
        if self.state.wy is not None:
            self.board.bus.toggle_y(self.state.station, self.cursor)

    def action_word(self) -> None:
        if self.state.wy is not None:
            self.app.push_screen(WordPrompt(self.state), self._write_word)

    @property
    def board(self) -> "BoardApp":
        return cast("BoardApp", self.app)

    def _write_word(self, value: Optional[int]) -> None:
        if value is not None:
            self.board.bus.write_wy(self.state.station, value)

    def on_click(self, event: events.Click) -> None:
        at = event.get_content_offset(self)
        if at is None or self.state.wy is None or at.y != 2:
            return
        bit = (at.x - LABEL) // LAMP
        if at.x >= LABEL and bit < 16:
            self.cursor = bit
            self.action_toggle_y()


class WordPrompt(ModalScreen[Optional[int]]):
    """Asks for the whole output word of one station."""

    BINDINGS = [Binding("escape", "dismiss(None)", "cancel")]

    def __init__(self, state: StationState) -> None:
        super().__init__()
        self.state = state

    def compose(self) -> ComposeResult:
        with Vertical(id="prompt"):
            yield Label(f"WY0 of station {self.state.station} (0x00FF or 255):")
            yield Input(placeholder=f"0x{self.state.wy or 0:04X}")
            yield Label("", id="prompt-error")

    def on_input_submitted(self, event: Input.Submitted) -> None:
        try:
            value = int(event.value.strip(), 0)
        except ValueError:
            value = -1
        if 0 <= value <= 0xFFFF:
            self.dismiss(value)
        else:
            self.query_one("#prompt-error", Label).update(f"not a 16-bit word: {event.value!r}")


# What every board has: a focused station's frame, the result and status lines,
# the trace pane, and the keys that end it.
BOARD_CSS = """
.station:focus { border: round $accent; }
#status, #result { height: auto; padding: 0 1; }
#status { background: $panel; }
#trace { height: 8; border-top: solid $primary; }
"""
QUIT_KEYS: List[BindingType] = [
    Binding("q", "quit", "quit"),
    Binding("ctrl+c", "quit", "quit", show=False, priority=True),
]


class BoardApp(App[None]):
    """The live board of one bus; ``bus`` talks to the line, the app only shows."""

    TITLE = "zul-mew board"
    CSS = (
        BOARD_CSS
        + """
    .station { border: round $primary; padding: 0 1; height: auto; }
    .station.lost { border: round $error; color: $text-muted; }
    WordPrompt { align: center middle; }
    #prompt { width: 50; height: auto; border: round $accent; padding: 0 1; }
    """
    )
    BINDINGS = [*QUIT_KEYS]

    def __init__(self, bus: BusWatch, port_line: str, trace: Optional[Deque[str]] = None) -> None:
        super().__init__()
        self.bus = bus
        self.port_line = port_line
        self.trace = trace
        self._shown: object = None
        # Held, not looked up: a look may come while a prompt is the screen on top.
        self._column = VerticalScroll(id="stations")
        self._result = Static(id="result")
        self._status = Static(id="status")
        self._trace = Log(id="trace", max_lines=TRACE_LINES)

    def compose(self) -> ComposeResult:
        yield self._column
        if self.trace is not None:
            yield self._trace
        yield self._result
        yield self._status
        yield Footer()

    def quit_board(self) -> None:
        # The line is let go while the screen comes down, not after it.
        self.bus.stop()
        self.exit()

    async def action_quit(self) -> None:
        self.quit_board()

    def on_mount(self) -> None:
        self.set_interval(LOOK, self.look)
        self.look()

    def look(self) -> None:
        bus = self.bus
        # A board told to quit before it was drawn has no column to fill.
        if bus.stations is not self._shown and self._column.is_attached:
            self._shown = bus.stations
            self._show_stations()
        self._result.update(self._result_line())
        self._status.update(self._status_line())
        while self.trace:
            self._trace.write_line(self.trace.popleft())

    def _show_stations(self) -> None:
        column = self._column
        first_shown = not column.children
        for state in self.bus.stations:
            panels = column.query(f"#station-{state.station}")
            if panels:
                panel = panels.first(StationPanel)
                if panel.state == state:
                    continue
            else:
                panel = StationPanel(state)
                column.mount(panel)
            panel.show_state(state)
        if first_shown and column.children:
            # The first station takes the keys, so that its bindings are there at once.
            column.children[0].focus()

    def _result_line(self) -> str:
        bus = self.bus
        asked = bus.station_range
        among = f"stations {asked.start} to {asked.stop - 1}"
        if bus.discovering:
            asking = f": asking station {bus.asking}" if bus.asking is not None else ""
            return " · ".join(filter(None, [f"discovering {among}{asking}", bus.last_write]))
        if not bus.stations:
            return f"no station answered ({among})"
        return bus.last_write

    def _status_line(self) -> str:
        stats = self.bus.manager.stats
        errors = ", ".join(f"{kind} {count}" for kind, count in stats.errors().items())
        return (
            f"{self.port_line} · every {self.bus.interval:g} s"
            f" · {stats.rate(time.monotonic()):.1f} exchanges/s"
            f" · errors: {errors or 'none'}"
            f" · last round trip {stats.last_round_trip * 1000:.1f} ms"
        )
