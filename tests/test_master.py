"""Typed master operations over the virtual null-modem cable."""

import struct
import threading

import pytest
import serial

from zul_mew import MewFormatError, MewFullDuplex, MewMaster, MewStatic


class Memory(MewFullDuplex):
    """A station that holds coils, words of contacts and registers."""

    def __init__(self, *args, **kwargs):
        self.coils = {}
        self.contact_words = {}
        self.registers = {}
        self.served = 0
        super().__init__(*args, **kwargs)

    def _read(self, area, name, count):
        self.served += 1
        first = int(name[1:])
        return [area.get((name[0], first + i), 0) for i in range(count)]

    def _write(self, area, name, values):
        self.served += 1
        first = int(name[1:])
        for i, value in enumerate(values):
            area[(name[0], first + i)] = value

    def on_get_coil(self, name):
        self.served += 1
        return self.coils.get(name, False)

    def on_set_coil(self, name, value):
        self.served += 1
        self.coils[name] = value

    def on_get_multi_coil_uint16(self, name, count):
        return self._read(self.contact_words, name, count)

    def on_set_multi_coil_uint16(self, name, values):
        self._write(self.contact_words, name, values)

    def on_get_multi_uint16(self, name, count):
        return self._read(self.registers, name, count)

    def on_set_multi_uint16(self, name, values):
        self._write(self.registers, name, values)


@pytest.fixture
def pair(node_on):
    station = node_on(Memory, 1)
    master = node_on(MewMaster, 0, query_timeout=0.5)
    return master, station


ROUND_TRIPS = [
    ("set_coil", "get_coil", "Y1A", True, True),
    ("set_coil", "get_coil", "Y0", False, False),
    ("set_coil_uint16", "get_coil_uint16", "WY3", 0xBEEF, 0xBEEF),
    ("set_multi_coil_uint16", "get_multi_coil_uint16", "WX0", [0, 1, 65535], [0, 1, 65535]),
    ("set_uint16", "get_uint16", "DT100", 65535, 65535),
    ("set_multi_uint16", "get_multi_uint16", "DT200", [0, 0x1234, 7], [0, 0x1234, 7]),
    ("set_int16", "get_int16", "DT1", -32768, -32768),
    ("set_int16", "get_int16", "DT1", 32767, 32767),
    ("set_int16", "get_uint16", "DT1", -2, 65534),
    ("set_multi_int16", "get_multi_uint16", "DT5", [-1, -32768, 1], [65535, 32768, 1]),
    ("set_uint32", "get_uint32", "DT10", 0xFFFFFFFF, 0xFFFFFFFF),
    ("set_uint32", "get_uint32", "DT10", -1, 0xFFFFFFFF),
    ("set_uint32", "get_uint32", "DT10", 2**40 + 70000, 70000),
    ("set_int32", "get_int32", "DT20", -(2**31), -(2**31)),
    ("set_int32", "get_int32", "DT20", 2**31 - 1, 2**31 - 1),
    ("set_multi_uint32", "get_multi_uint32", "DT30", [0xFFFFFFFF, 70000, 0], None),
    ("set_multi_int32", "get_multi_int32", "DT40", [-(2**31), -1, 2**31 - 1], None),
]


@pytest.mark.parametrize(
    "setter, getter, name, value, expected",
    ROUND_TRIPS,
    ids=[f"{s}-{g}-{v}" for s, g, _, v, _ in ROUND_TRIPS],
)
def test_round_trip(pair, setter, getter, name, value, expected):
    master, _ = pair
    getattr(master, setter)(1, name, value)
    count = (len(value),) if isinstance(value, list) else ()
    assert getattr(master, getter)(1, name, *count) == (value if expected is None else expected)


@pytest.mark.parametrize(
    "setter, value, words",
    [
        ("set_uint32", 70000, [4464, 1]),
        ("set_uint32", -1, [65535, 65535]),
        ("set_int16", -2, [65534]),
        ("set_multi_uint32", [0x12345678, 1], [0x5678, 0x1234, 1, 0]),
        ("set_multi_int32", [-2], [65534, 65535]),
    ],
    ids=["70000", "minus-one", "int16-minus-two", "multi-uint32", "multi-int32"],
)
def test_words_on_the_station(pair, setter, value, words):
    master, station = pair
    getattr(master, setter)(1, "DT100", value)
    assert [station.registers[("D", 100 + i)] for i in range(len(words))] == words


@pytest.mark.parametrize(
    "setter, value",
    [
        ("set_int16", 40000),
        ("set_int16", -32769),
        ("set_int32", 2**31),
        ("set_multi_int16", [1, 2**15]),
    ],
    ids=["int16-high", "int16-low", "int32-high", "multi-int16"],
)
def test_signed_write_out_of_range_sends_nothing(pair, setter, value):
    master, station = pair
    with pytest.raises(struct.error):
        getattr(master, setter)(1, "DT0", value)
    master.get_uint16(1, "DT0")
    assert station.served == 1


def test_threads_get_their_own_answers(pair):
    master, station = pair
    station.registers.update({("D", n): 1000 + n for n in range(6)})
    wrong = []

    def reader(n):
        for _ in range(10):
            value = master.get_uint16(1, f"DT{n}")
            if value != 1000 + n:
                wrong.append((n, value))

    threads = [threading.Thread(target=reader, args=(n,)) for n in range(6)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert wrong == []
    assert station.served == 60


class Offset(MewMaster):
    """Reads every register as one more than it holds."""

    def get_multi_uint16(self, station, name, count):
        return [word + 1 for word in super().get_multi_uint16(station, name, count)]


@pytest.mark.parametrize(
    "getter, args, value",
    [
        ("get_uint16", (), 11),
        ("get_int16", (), 11),
        ("get_uint32", (), 0x00150000 + 11),
        ("get_int32", (), 0x00150000 + 11),
        ("get_multi_uint32", (1,), [0x00150000 + 11]),
        ("get_multi_int32", (1,), [0x00150000 + 11]),
    ],
    ids=[
        "get_uint16",
        "get_int16",
        "get_uint32",
        "get_int32",
        "get_multi_uint32",
        "get_multi_int32",
    ],
)
def test_override_of_word_read_reaches_derived_reads(node_on, getter, args, value):
    station = node_on(Memory, 1)
    station.registers.update({("D", 0): 10, ("D", 1): 20})
    master = node_on(Offset, 0, query_timeout=0.5)
    assert getattr(master, getter)(1, "DT0", *args) == value


@pytest.fixture
def raw_station(cable, node_on):
    """A master on one end and a bare serial port on the other, which answers
    each request with the next scripted answer text and keeps the requests."""
    port = serial.Serial(cable.ports[1], timeout=1)
    master = node_on(MewMaster, 0, query_timeout=0.5)
    requests = []
    workers = []

    def answer(*texts):
        def run():
            for text in texts:
                requests.append(port.read_until(b"\r").decode())
                port.write(MewStatic.append_tail("%01$" + text).encode())

        worker = threading.Thread(target=run)
        worker.start()
        workers.append(worker)

    yield master, answer, requests
    for worker in workers:
        worker.join()
    port.close()


@pytest.mark.parametrize(
    "text, value", [("RC1", True), ("RC0", False), ("RCx", False), ("RC10", True)]
)
def test_get_coil_reads_the_first_data_character(raw_station, text, value):
    master, answer, _ = raw_station
    answer(text)
    assert master.get_coil(1, "X3") is value


def test_get_coil_refuses_a_name_that_is_not_text(raw_station):
    master, _, requests = raw_station
    with pytest.raises(
        TypeError, match=r"^Argument 'contact' has incorrect type \(expected str, got int\)$"
    ):
        master.get_coil(1, 5)
    assert requests == []


def test_word_read_of_wrong_length(raw_station):
    master, answer, _ = raw_station
    answer("RD123456789")
    with pytest.raises(MewFormatError, match="^Invalid feedback format: RD123456789$"):
        master.get_uint32(1, "DT0")


def test_multi_uint32_is_one_request(raw_station):
    master, answer, requests = raw_station
    answer("RD" + "01000000" * 3)
    assert master.get_multi_uint32(1, "DT0", 3) == [1, 1, 1]
    assert requests == [MewStatic.fill_read_data_area_message(1, "DT0", 6)]
