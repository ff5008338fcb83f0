"""Simulated stations: what a master can talk to when there is no hardware.

``MemoryNode`` is a full-duplex node that keeps what is written to it. ``SimBus``
is a line with several remote I/O stations on it (digital I/O, axis, analogue
input), each answering for its own station number, as the instrument layer
expects to find them when it walks a bus from station 1 upward.
"""

from __future__ import annotations

import queue
import threading
from typing import Any, Dict, List, Optional, Sequence, Tuple

import zul_mew
from zul_mew import MewStatic


class StationMemory:
    """The six slave handlers over a memory: contacts in 16-bit words per code
    letter (Y0001 is bit 1 of the word WY0), registers per area letter (DT100 and
    D100 name the same register). Unwritten places read 0."""

    def _init_memory(self) -> None:
        self._memory_lock = threading.Lock()
        self.words: Dict[Tuple[str, int], int] = {}
        self.registers: Dict[Tuple[str, int], int] = {}

    def on_get_coil(self, name: str) -> bool:
        word, bit = _contact(name)
        with self._memory_lock:
            return bool(self.words.get(word, 0) >> bit & 1)

    def on_set_coil(self, name: str, value: bool) -> None:
        word, bit = _contact(name)
        with self._memory_lock:
            old = self.words.get(word, 0)
            self.words[word] = old | 1 << bit if value else old & ~(1 << bit)

    def on_get_multi_coil_uint16(self, name: str, count: int) -> List[int]:
        with self._memory_lock:
            return _read(self.words, name[0], int(name[1:]), count)

    def on_set_multi_coil_uint16(self, name: str, values: List[int]) -> None:
        with self._memory_lock:
            _write(self.words, name[0], int(name[1:]), values)

    def on_get_multi_uint16(self, name: str, count: int) -> List[int]:
        with self._memory_lock:
            return _read(self.registers, name[0], int(name[1:]), count)

    def on_set_multi_uint16(self, name: str, values: List[int]) -> None:
        with self._memory_lock:
            _write(self.registers, name[0], int(name[1:]), values)


def _contact(name: str) -> Tuple[Tuple[str, int], int]:
    number = MewStatic.parse_contact_address(name[1:])
    return (name[0], number // 16), number % 16


def _read(memory: Dict[Tuple[str, int], int], code: str, first: int, count: int) -> List[int]:
    return [memory.get((code, first + i), 0) for i in range(count)]


def _write(memory: Dict[Tuple[str, int], int], code: str, first: int, values: List[int]) -> None:
    for i, value in enumerate(values):
        memory[(code, first + i)] = value


class MemoryNode(StationMemory, zul_mew.MewFullDuplex):
    """A full-duplex node whose slave side remembers every write."""

    def __init__(self, *args: Any, **kwargs: Any) -> None:
        # The node answers as soon as its constructor has started it: memory first.
        self._init_memory()
        super().__init__(*args, **kwargs)


class BusStation(StationMemory, zul_mew.MewSlaveBase):
    """One remote station of a simulated bus: its type in S0, firmware in S1."""

    def __init__(self, station: int, inst_type: int, firmware: int) -> None:
        zul_mew.MewSlaveBase.__init__(self, station)
        self._init_memory()
        self.registers[("S", 0)] = inst_type
        self.registers[("S", 1)] = firmware


# Kinds of station a bus can hold: type code, firmware version, preset words.
STATION_KINDS = {
    "xy": (zul_mew.INST_TYPE_XY, 0x0103),
    "axis": (zul_mew.INST_TYPE_Axis, 0x0201),
    "ad": (zul_mew.INST_TYPE_AD, 0x0300),
}
DEFAULT_LAYOUT = ("xy", "xy", "axis", "ad")


def make_station(kind: str, station: int) -> BusStation:
    inst_type, firmware = STATION_KINDS[kind]
    node = BusStation(station, inst_type, firmware)
    if kind == "xy":
        # A recognisable input pattern per station: its number in the high byte.
        node.words[("X", 0)] = (station << 8 | 0x05) & 0xFFFF
    elif kind == "ad":
        for channel in range(4):
            node.registers[("D", channel)] = 1000 * (channel + 1)
    return node


class SimBus(zul_mew.MewBase):
    """A line with several stations on it: each request goes to the station it
    names; a request for a number nobody has goes unanswered, as on a real bus."""

    def __init__(self, channel: Any, stations: Sequence[zul_mew.MewSlaveBase]) -> None:
        super().__init__(channel)
        self.stations = {node.station: node for node in stations}
        self._worker: Optional[threading.Thread] = None
        self._worker_stop = threading.Event()
        self._requests: "queue.Queue[str]" = queue.Queue()

    @classmethod
    def with_layout(
        cls, channel: Any, first: int = 1, layout: Sequence[str] = DEFAULT_LAYOUT
    ) -> "SimBus":
        return cls(channel, [make_station(kind, first + i) for i, kind in enumerate(layout)])

    def start(self) -> None:
        if self._worker is None:
            # Listen for requests before the receiver reads the first one.
            with self._listener_lock:
                self._query_listeners.append(self._requests)
            self._worker_stop.clear()
            self._worker = threading.Thread(target=self._serve, name="zul-mew bus")
            self._worker.start()
        super().start()

    def stop(self) -> None:
        super().stop()
        if self._worker is not None:
            self._worker_stop.set()
            self._worker.join()
            self._worker = None
            with self._listener_lock:
                self._query_listeners.remove(self._requests)

    def _serve(self) -> None:
        while not self._worker_stop.is_set():
            try:
                frame = self._requests.get(timeout=0.05)
            except queue.Empty:
                continue
            self._answer(frame)

    def _answer(self, frame: str) -> None:
        try:
            node = self.stations.get(MewStatic.parse_station(frame))
            answer = node._process_request(frame) if node is not None else ""
            if answer:
                self._send(answer)
        except Exception as error:  # one bad request must not silence the bus
            print(f"SimBus: request {frame!r} failed: {error}", flush=True)
