"""Fuzzing: arbitrary text to the codec's parse and scan operations and to the
slave's request processing, arbitrary bytes to running nodes on a real line.

The codec is checked against the protocol's own definitions written in plain
Python: the same result, or the same kind of failure, for any text at all
(wide characters, lone surrogates, very long texts included)."""

import struct
import time
from functools import reduce

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from zul_mew import MewFullDuplex, MewMaster, MewSlaveBase, MewStatic

CODEC_EXAMPLES = 150
REQUEST_EXAMPLES = 300
NOISE_EXAMPLES = 15

# Characters of every plane, surrogates included, and the protocol's own.
any_char = st.characters(exclude_categories=())
PIECES = ["%", "#", "$", "!", "*", "**", "\r", "0", "1", "9", "A", "f", "F", "-", " ", "_"]
PIECES += ["01", "12C", "RCS", "WCS", "RCC", "WCC", "RD", "WD", "X", "Y", "D", "WX", "0000"]
PIECES += ["\u00b5", "\u0663", "\uff11", "\U0001f600", "\ud800"]
piece = st.one_of(st.sampled_from(PIECES), any_char)
# A run of one piece, long enough to cross any buffer or fast path.
long_run = st.tuples(piece, st.integers(1, 20_000)).map(lambda t: t[0] * t[1])
texts = st.one_of(
    st.text(any_char, max_size=40),
    st.lists(st.one_of(piece, long_run), max_size=12).map("".join),
)

HEX = "0123456789ABCDEF"


def bcc(data):
    return reduce(lambda acc, byte: acc ^ byte, data.encode(), 0)


def with_tail(data):
    crc = bcc(data)
    return data + HEX[crc >> 4] + HEX[crc & 15] + "\r"


def with_any_tail(data):
    """A tail even for text with no UTF-8 form (a lone surrogate), which the
    slave must then refuse rather than answer."""
    crc = reduce(lambda acc, byte: acc ^ byte, data.encode("utf-8", "surrogatepass"), 0)
    return data + HEX[crc >> 4] + HEX[crc & 15] + "\r"


# The protocol's definitions of the scan and parse operations.
def station_end(data):
    for i, ch in enumerate(data):
        if ch in "\r*":
            return -1
        if ch in "#$!":
            return i
    return len(data)


def crc_is_ok(frame):
    received = frame[-3:-1]
    if received[0] == "*" or received[1] == "*":
        return received[0] == received[1]
    return int(received, 16) == bcc(frame[:-3])


def parse_command(data):
    pos = station_end(data) + 1
    cmd = data[pos : pos + 3]
    if cmd in ("RCS", "WCS", "RCC", "WCC"):
        return cmd
    if cmd[:2] in ("RD", "WD"):
        return cmd[:2]
    return "UNKNOWN"


def header_matched(tx, rx):
    edge = station_end(rx)
    if tx[:edge] != rx[:edge]:
        return False
    if rx[edge] != "$":
        return False
    return tx[edge + 1 : edge + 3] == rx[edge + 1 : edge + 3]


def parse_contact_address(address):
    dec_part, hex_part = address[0:3], address[3]
    return int(dec_part) * 16 + int(hex_part, 16)


def parse_uint16(data):
    high = int(data[2:4], 16)
    return high << 8 | int(data[0:2], 16)


def parse_uint32(data):
    low = parse_uint16(data[0:4])
    return parse_uint16(data[4:8]) << 16 | low


def signed(value, unsigned_format, signed_format):
    return struct.unpack(signed_format, struct.pack(unsigned_format, value))[0]


ONE_TEXT = [
    ("calc_crc", lambda d: reduce(lambda acc, b: acc ^ b, d.encode(), 0)),
    ("crc_is_ok", crc_is_ok),
    ("find_station_end", station_end),
    ("command_start_position", lambda d: station_end(d) + 1),
    ("parse_command", parse_command),
    ("frame_type", lambda d: d[station_end(d)]),
    ("is_feedback", lambda d: d[station_end(d)] == "$"),
    ("is_query", lambda d: d[station_end(d)] == "#"),
    ("is_error", lambda d: d[station_end(d)] == "!"),
    ("parse_station", lambda d: int(d[1 : station_end(d)], 16)),
    ("parse_contact_address", parse_contact_address),
    ("parse_register_address", lambda a: int(a)),
    ("parse_uint16", parse_uint16),
    ("parse_int16", lambda d: signed(parse_uint16(d), "H", "h")),
    ("parse_uint32", parse_uint32),
    ("parse_int32", lambda d: signed(parse_uint32(d), "I", "i")),
    ("append_tail", with_tail),
]


def outcome(operation, *args):
    """The result, or the kind of failure (a kind the module may raise for bad text)."""
    try:
        return "returns", operation(*args)
    except (
        TypeError,
        ValueError,
        IndexError,
        AttributeError,
        AssertionError,
        struct.error,
    ) as error:
        return "raises", type(error)


@pytest.mark.parametrize("name, definition", ONE_TEXT, ids=[name for name, _ in ONE_TEXT])
@settings(max_examples=CODEC_EXAMPLES, deadline=None)
@given(data=texts)
def test_codec_operation_agrees_with_its_definition(name, definition, data):
    assert outcome(getattr(MewStatic, name), data) == outcome(definition, data)


@settings(max_examples=CODEC_EXAMPLES, deadline=None)
@given(tx=texts, rx=texts)
def test_header_matched_agrees_with_its_definition(tx, rx):
    assert outcome(MewStatic.header_matched, tx, rx) == outcome(header_matched, tx, rx)


BUILDERS = [
    ("fill_read_single_point_of_contact_message", lambda s, n: (s, n)),
    ("fill_write_single_point_of_contact_message", lambda s, n: (s, n, True)),
    ("fill_read_word_unit_of_contact_message", lambda s, n: (s, n, None, 2)),
    ("fill_read_word_unit_of_contact_message", lambda s, n: (s, n, n)),
    ("fill_write_word_unit_of_contact_message", lambda s, n: (s, n, [1, 0xFFFF])),
    ("fill_read_data_area_message", lambda s, n: (s, n, 3)),
    ("fill_write_data_area_message", lambda s, n: (s, n, [7])),
    ("fill_write_single_data_message", lambda s, n: (s, n, 0xABCD)),
    ("fill_header", lambda s, n: (s, n)),
    ("fill_contact_address", lambda s, n: (n, n)),
]


@pytest.mark.parametrize(
    "name, arguments", BUILDERS, ids=[f"{name}-{len(a(0, ''))}" for name, a in BUILDERS]
)
@settings(max_examples=CODEC_EXAMPLES // 3, deadline=None)
@given(station=st.integers(0, 2**70), name_text=texts)
def test_builders_take_any_name(name, arguments, station, name_text):
    """A builder given any name either builds a frame whose check code is right
    or fails with a failure the codec documents for bad names."""
    kind, result = outcome(getattr(MewStatic, name), *arguments(station, name_text))
    if kind == "raises":
        return
    assert isinstance(result, str)
    if name.endswith("_message"):
        assert result == with_tail(result[:-3])


class Recorder(MewSlaveBase):
    """A slave whose six handlers answer plainly and check what they are given."""

    def on_get_coil(self, name):
        assert isinstance(name, str)
        return True

    def on_get_multi_coil_uint16(self, name, count):
        return [0x1234] * count

    def on_get_multi_uint16(self, name, count):
        return [0xFF00] * count

    def on_set_coil(self, name, value):
        assert isinstance(value, bool)

    def on_set_multi_coil_uint16(self, name, values):
        assert all(0 <= v <= 0xFFFF for v in values)

    def on_set_multi_uint16(self, name, values):
        assert all(0 <= v <= 0xFFFF for v in values)

    def process_invalid_frame(self, frame):
        pass


station_field = st.one_of(
    st.sampled_from(["01", "1", "001", "0001"]), st.lists(piece, max_size=3).map("".join)
)
request_body = st.tuples(
    station_field,
    st.sampled_from(["#", "$", "!", "*"]),
    st.sampled_from(["RCS", "WCS", "RCC", "WCC", "RD", "WD", "RS", ""]),
    st.text(st.sampled_from("0123456789ABCDEFXYDR-+ _*\r%\u0663"), max_size=40),
).map(lambda t: "%" + "".join(t))
requests = st.one_of(texts, request_body.map(with_any_tail), request_body.map(lambda b: b + "**\r"))


@settings(max_examples=REQUEST_EXAMPLES, deadline=None)
@given(command=requests)
def test_process_request_takes_any_text(command):
    """Any request gives no answer, a well-formed answer to the request's own
    station, or a failure of the parse of a malformed field."""
    try:
        answer = Recorder(1)._process_request(command)
    except (ValueError, IndexError):
        return
    if answer == "":
        return
    edge = station_end(command)
    assert answer[:edge] == command[:edge]
    assert answer[edge] in "$!"
    assert answer == with_tail(answer[:-3])


class Registers(MewFullDuplex):
    """Answers every register read with the register's address."""

    def on_get_multi_uint16(self, name, count):
        return [int(name[1:]) + i for i in range(count)]


@pytest.fixture
def pair(cable, node_on):
    """A full-duplex node on one end of the cable, a master on the other."""
    node = node_on(Registers, 0, slave_station=1, query_timeout=0.5)
    master = node_on(MewMaster, 1, query_timeout=0.5)
    return master, node


noise = st.one_of(
    st.binary(max_size=300),
    st.lists(
        st.sampled_from([p.encode("utf-8", "surrogatepass") for p in PIECES]), max_size=40
    ).map(b"".join),
)


@pytest.mark.parametrize("deaf", ["node", "master"])
@settings(
    max_examples=NOISE_EXAMPLES,
    deadline=None,
    suppress_health_check=[HealthCheck.function_scoped_fixture],
)
@given(noise=noise, address=st.integers(0, 9999))
def test_node_fed_noise_answers_the_next_exchange(pair, deaf, noise, address, capsys):
    """Noise reaching either end of a live exchange pair is read, reported or
    dropped; once the line is quiet the next exchange is answered as always."""
    master, node = pair
    writer = master if deaf == "node" else node
    writer._channel._serial.write(noise)
    # A frame cut short ends after one read time-out, followed by the receiver's pause.
    time.sleep(0.3)
    assert master.get_uint16(1, f"DT{address}") == address
    for thread in (node._receiver_thread, node._slave_thread, master._receiver_thread):
        assert thread.is_alive()
    capsys.readouterr()
