"""Watching a bus: one thread discovers the stations of a range, refreshes
those found at an interval and carries out the writes asked for between two
refreshes.

Everything that talks to the line runs on that thread, so a slow or silent
station never holds up whoever shows the bus; what it learnt is published as
a tuple of ``StationState`` that a reader takes whole.
"""

from __future__ import annotations

import dataclasses
import queue
import threading
import time
from dataclasses import dataclass
from typing import Callable, Dict, Iterator, Optional, Set, Tuple

import zul_mew

from ..vocabulary import SILENT, failure_kind, type_name
from .line import CountingManager

INSTRUMENT_CLASSES: Dict[int, Callable[[zul_mew.MewFullDuplex, int], zul_mew.Inst]] = {
    zul_mew.INST_TYPE_XY: zul_mew.InstXY,
    zul_mew.INST_TYPE_Axis: zul_mew.InstAxis,
    zul_mew.INST_TYPE_AD: zul_mew.InstAD,
}

READ_ONLY = "read-only board: outputs are forced only on a board started with --allow-writes"
# How often a closing watch ends the exchange in progress again, in seconds,
# until its thread has ended.
CUT_AGAIN = 0.05


@dataclass(frozen=True)
class StationState:
    """One station as last seen: ``wx``/``wy`` only for XY stations."""

    station: int
    kind: str
    firmware: int
    wx: Optional[int] = None
    wy: Optional[int] = None
    lost: bool = False
    problem: str = ""


def state_of(inst: zul_mew.Inst, lost: bool = False, problem: str = "") -> StationState:
    kind = type_name(inst.inst_type)
    state = StationState(inst.station, kind, inst.firmware_version, lost=lost, problem=problem)
    if isinstance(inst, zul_mew.InstXY):
        state = dataclasses.replace(state, wx=inst.get_wx(), wy=inst.get_wy())
    return state


class BusWatch:
    """Discovers the ``stations`` of a bus through ``manager`` and keeps those
    that answer in view until ``close``, which also closes the node."""

    def __init__(
        self,
        manager: CountingManager,
        interval: float,
        stations: range,
        allow_writes: bool = True,
    ) -> None:
        self.manager = manager
        self.interval = interval
        self.allow_writes = allow_writes
        self.station_range = stations
        self.discovering = True
        self.asking: Optional[int] = None
        self.stations: Tuple[StationState, ...] = ()
        self.rounds = 0
        self.last_write = ""
        self._unasked: Iterator[int] = iter(stations)
        self._instruments: Dict[int, zul_mew.Inst] = {}
        self._problems: Dict[int, str] = {}
        self._lost: Set[int] = set()
        self._orders: "queue.Queue[Callable[[], None]]" = queue.Queue()
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._watch, name="zul-mew board")

    def start(self) -> None:
        self._thread.start()

    def stop(self) -> None:
        """Tells the watch to end, without waiting: the exchange in progress and
        the wait between two rounds end at once, and the watching thread closes
        the node on its way out. A board calls it the moment it is told to quit,
        so that the line is let go while the screen comes down."""
        self._stop.set()
        self._orders.put(lambda: None)
        self.manager.cut_short()

    def close(self) -> None:
        """Stops the watch and closes the node; no thread of either is left."""
        self.stop()
        if self._thread.ident is None:
            self.manager.close()
            return
        # An exchange begun as the watch was told to end would wait out its
        # time-out: it is cut short too, until the thread is gone.
        while self._thread.is_alive():
            self._thread.join(CUT_AGAIN)
            self.manager.cut_short()

    # -- asked for by whoever shows the bus

    def toggle_y(self, station: int, bit: int) -> None:
        self._order(station, f"Y{bit:X}", lambda inst: _toggle(inst, bit))

    def write_wy(self, station: int, value: int) -> None:
        self._order(station, "WY0", lambda inst: _write_wy(inst, value))

    def _order(self, station: int, what: str, write: Callable[[zul_mew.InstXY], str]) -> None:
        if not self.allow_writes:
            self.last_write = READ_ONLY
            return
        self._orders.put(lambda: self._carry_out(station, what, write))

    # -- the watching thread

    def _watch(self) -> None:
        try:
            while not self._stop.is_set():
                due = time.monotonic() + self.interval
                for station in list(self._instruments):
                    if self._stop.is_set():
                        return
                    self._refresh(station)
                self._publish()
                self.rounds += 1
                if self.discovering:
                    self._discover_until(due)
                self._carry_out_orders_until(due)
        finally:
            # Closed where it is used, as soon as the watch ends.
            self.manager.close()

    def _discover_until(self, due: float) -> None:
        """Asks the next stations of the range, at least one, until ``due``:
        the stations found keep being refreshed while a long range is walked,
        one silent station's time-out at a time."""
        for station in self._unasked:
            if self._stop.is_set():
                return
            self.asking = station
            try:
                self._instruments[station] = self._pick_up(station)
            except Exception:
                pass  # silent, or no station of a bus: the walk goes on past it
            else:
                self._publish()
            if time.monotonic() >= due:
                return
        self.asking = None
        self.discovering = False

    def _carry_out_orders_until(self, due: float) -> None:
        while not self._stop.is_set():
            try:
                order = self._orders.get(timeout=max(0.0, due - time.monotonic()))
            except queue.Empty:
                return
            order()
            self._publish()

    def _refresh(self, station: int) -> None:
        inst = self._instruments[station]
        try:
            if station in self._lost:
                inst = self._pick_up(station)
            elif isinstance(inst, zul_mew.InstXY):
                inst = self._refresh_xy(inst)
            else:
                zul_mew.Inst.query_firmware_version(self.manager, station)
        except Exception as error:
            if failure_kind(error) in SILENT:
                self._lost.add(station)
            self._problems[station] = str(error)
            return
        self._lost.discard(station)
        self._problems.pop(station, None)
        self._instruments[station] = inst

    def _refresh_xy(self, inst: zul_mew.InstXY) -> zul_mew.Inst:
        inst.on_update_wx(self.manager.get_coil_uint16(inst.station, "WX0"))
        if self.manager.get_coil_uint16(inst.station, "WY0") != inst.get_wy():
            # The outputs changed without this board (another master, a restart):
            # the instrument is made again, so that its output image is the station's.
            return zul_mew.InstXY(self.manager, inst.station)
        return inst

    def _pick_up(self, station: int) -> zul_mew.Inst:
        # A station that answers again may have been restarted or replaced:
        # it is taken as discovery takes it, its type first.
        inst_type = zul_mew.Inst.query_inst_type(self.manager, station)
        return INSTRUMENT_CLASSES.get(inst_type, zul_mew.InstUnknown)(self.manager, station)

    def _carry_out(self, station: int, what: str, write: Callable[[zul_mew.InstXY], str]) -> None:
        inst = self._instruments.get(station)
        if not isinstance(inst, zul_mew.InstXY):
            self.last_write = f"station {station} has no outputs"
            return
        try:
            self.last_write = f"station {station}: {write(inst)}"
        except Exception as error:
            self.last_write = f"station {station}: {what} not written: {error}"

    def _publish(self) -> None:
        self.stations = tuple(
            state_of(inst, station in self._lost, self._problems.get(station, ""))
            for station, inst in sorted(self._instruments.items())
        )


def _toggle(inst: zul_mew.InstXY, bit: int) -> str:
    value = not inst.get_y(bit)
    inst.get_y16_object()[bit] = value
    return f"Y{bit:X} {'on' if value else 'off'}"


def _write_wy(inst: zul_mew.InstXY, value: int) -> str:
    inst.set_wy(value)
    return f"WY0 = 0x{value:04X}"
