"""MewStatic: frame layout, BCC, field encodings and request builders."""

import operator
import struct
import threading

import pytest

from zul_mew import MewStatic as M

CR = "\r"


def host_error(convert, *args):
    """The exception the host itself raises for the same conversion."""
    try:
        convert(*args)
    except Exception as error:  # noqa: BLE001 - the host decides what it raises
        return type(error), str(error)
    raise AssertionError(f"{convert.__name__}{args} did not fail")


def raises_exactly(kind, message, call, *args, **kwargs):
    with pytest.raises(kind) as caught:
        call(*args, **kwargs)
    assert type(caught.value) is kind
    assert str(caught.value) == message


# --- frame layout and check code ---------------------------------------------------------


@pytest.mark.parametrize(
    "data, init, bcc",
    [
        pytest.param("abc", 0, 0x60, id="abc"),
        pytest.param("", 0, 0, id="empty"),
        pytest.param("", 5, 5, id="empty-init-5"),
        pytest.param("%01#RCSX0001", 0, 0x1C, id="request"),
        pytest.param("abc", 0x100, 0x160, id="init-unmasked"),
        pytest.param("abc", -1, -1 ^ 0x60, id="init-negative"),
        pytest.param("", 1.5, 1.5, id="empty-keeps-init-as-is"),
        pytest.param("é", 0, 0xC3 ^ 0xA9, id="latin1"),
        pytest.param("€", 0, 0xE2 ^ 0x82 ^ 0xAC, id="bmp"),
        pytest.param("😀", 0, 0xF0 ^ 0x9F ^ 0x98 ^ 0x80, id="astral"),
    ],
)
def test_calc_crc(data, init, bcc):
    assert M.calc_crc(data, init) == bcc
    assert M.calc_crc(init=init, data=data) == bcc


@pytest.mark.parametrize(
    "data, frame",
    [
        pytest.param("%01#RCSX0001", "%01#RCSX00011C\r", id="request"),
        pytest.param("", "00\r", id="empty"),
        pytest.param("%01#é", "%01#é" + format(M.calc_crc("%01#é"), "02X") + CR, id="latin1"),
        pytest.param("😀", "😀77\r", id="astral"),
    ],
)
def test_append_tail(data, frame):
    assert M.append_tail(data) == frame
    assert M.crc_is_ok(frame)


@pytest.mark.parametrize(
    "frame, ok",
    [
        pytest.param("%01#RCSX00011C\r", True, id="upper"),
        pytest.param("%01#RCSX00011c\r", True, id="lower"),
        pytest.param("%01#RCSX0001**\r", True, id="ignored"),
        pytest.param("%01#RCSX00011D\r", False, id="wrong"),
        pytest.param("%01#RCSX0001*C\r", False, id="star-first"),
        pytest.param("%01#RCSX00011*\r", False, id="star-second"),
        pytest.param("%01#RCSX00011C", False, id="no-tail-shifts-field"),
        pytest.param("1C\r", False, id="bcc-only-of-nothing-wrong"),
        pytest.param("00\r", True, id="bcc-only-of-nothing"),
        pytest.param("**\r", True, id="stars-only"),
    ],
)
def test_crc_is_ok(frame, ok):
    assert M.crc_is_ok(frame) is ok


@pytest.mark.parametrize(
    "text, station_end, command_start",
    [
        pytest.param("%01#RCSX00011C\r", 3, 4, id="request"),
        pytest.param("%12C$RC1**\r", 4, 5, id="answer-long-station"),
        pytest.param("%01\r", -1, 0, id="tail-first"),
        pytest.param("%01**\r", -1, 0, id="bcc-first"),
        pytest.param("%01", 3, 4, id="bare-header"),
        pytest.param("", 0, 1, id="empty"),
        pytest.param("%01!#", 3, 4, id="first-type-wins"),
        pytest.param("%é€😀#RD", 4, 5, id="wide-characters"),
    ],
)
def test_station_end_and_command_start(text, station_end, command_start):
    assert M.find_station_end(text) == station_end
    assert M.command_start_position(text) == command_start


@pytest.mark.parametrize(
    "frame, kind, feedback, query, error",
    [
        pytest.param("%01#RCSX00011C\r", "#", False, True, False, id="request"),
        pytest.param("%01$RC1**\r", "$", True, False, False, id="answer"),
        pytest.param("%01!4100\r", "!", False, False, True, id="error-answer"),
        pytest.param("%01\r", "\r", False, False, False, id="tail-only"),
        pytest.param("%01**\r", "\r", False, False, False, id="stars-before-type"),
    ],
)
def test_frame_type(frame, kind, feedback, query, error):
    assert M.frame_type(frame) == kind
    assert (M.is_feedback(frame), M.is_query(frame), M.is_error(frame)) == (feedback, query, error)


@pytest.mark.parametrize(
    "frame, command",
    [
        pytest.param("%01#RCSX00011C\r", "RCS", id="RCS"),
        pytest.param("%01#WCSY0001129\r", "WCS", id="WCS"),
        pytest.param("%01#RCCX000000010C\r", "RCC", id="RCC"),
        pytest.param("%01#WCCY0000000005000C\r", "WCC", id="WCC"),
        pytest.param("%01#RDD001000010257\r", "RD", id="RD"),
        pytest.param("%01#WDD00000000010100020052\r", "WD", id="WD"),
        pytest.param("%01#XYZ**\r", "UNKNOWN", id="unknown"),
        pytest.param("%01$RC1**\r", "UNKNOWN", id="answer-echo-RC"),
        pytest.param("%01$RD630013\r", "RD", id="answer-echo-RD"),
        pytest.param("%01#rcs\r", "UNKNOWN", id="lower-case"),
        pytest.param("%01#RC", "UNKNOWN", id="cut-short"),
        pytest.param("%01#RD", "RD", id="two-letters-at-end"),
        pytest.param("RCSX\r", "RCS", id="no-type-scans-from-start"),
        pytest.param("%01", "UNKNOWN", id="beyond-end"),
    ],
)
def test_parse_command(frame, command):
    assert M.parse_command(frame) == command


@pytest.mark.parametrize(
    "rx, matched",
    [
        pytest.param("%01$RC1**\r", True, id="answer"),
        pytest.param("%01!4100\r", False, id="error-answer"),
        pytest.param("%02$RC1**\r", False, id="other-station"),
        pytest.param("%01$WC**\r", False, id="other-command"),
        pytest.param("%01#RC1**\r", False, id="request-type"),
        pytest.param("%001$RC1**\r", False, id="station-spelled-longer"),
        pytest.param("%01$RCS\r", True, id="three-letter-echo"),
    ],
)
def test_header_matched(rx, matched):
    assert M.header_matched("%01#RCSX00011C\r", rx) is matched


def test_header_matched_compares_characters_across_widths():
    assert M.header_matched("%é€#RDD", "%é€$RD00\r")
    assert not M.header_matched("%é€#RDD", "%é\U0001f600$RD00\r")


@pytest.mark.parametrize(
    "frame, station",
    [
        pytest.param("%01#RCSX00011C\r", 1, id="request"),
        pytest.param("%12C#RCS", 300, id="long"),
        pytest.param("%01", 1, id="bare-header"),
        pytest.param("%fff$", 4095, id="lower-case"),
        pytest.param("%" + "F" * 40 + "#", 16**40 - 1, id="beyond-64-bits"),
        pytest.param("%٠١#", int("٠١", 16), id="unicode-digits"),
    ],
)
def test_parse_station(frame, station):
    assert M.parse_station(frame) == station


# --- field encodings ---------------------------------------------------------------------


@pytest.mark.parametrize(
    "address, number",
    [("0010", 16), ("001F", 31), ("0000", 0), ("9999", 15993), ("12345", 1972), ("001f", 31)],
)
def test_parse_contact_address(address, number):
    assert M.parse_contact_address(address) == number


@pytest.mark.parametrize(
    "address, number",
    [("00100", 100), ("7", 7), ("١٠٠", 100), ("123456789012345678901", 123456789012345678901)],
)
def test_parse_register_address(address, number):
    assert M.parse_register_address(address) == number


@pytest.mark.parametrize(
    "parse, data, value",
    [
        (M.parse_uint16, "CDAB", 0xABCD),
        (M.parse_uint16, "cdab", 0xABCD),
        (M.parse_uint16, "3412FF", 0x1234),
        (M.parse_int16, "0080", -32768),
        (M.parse_int16, "FF7F", 32767),
        (M.parse_int16, "FEFF", -2),
        (M.parse_uint32, "78563412", 0x12345678),
        (M.parse_uint32, "0200010099", 65538),
        (M.parse_int32, "00000080", -2147483648),
        (M.parse_int32, "FFFFFF7F", 2147483647),
        (M.parse_int32, "FEFFFFFF", -2),
    ],
    ids=lambda v: getattr(v, "__name__", None) or repr(v),
)
def test_parse_values(parse, data, value):
    assert parse(data) == value


@pytest.mark.parametrize(
    "station, cmd, header",
    [
        pytest.param(1, "RCS", "%01#RCS", id="1"),
        pytest.param(300, "RD", "%12C#RD", id="300"),
        pytest.param(4095, "RD", "%FFF#RD", id="4095"),
        pytest.param(0, "RD", "%00#RD", id="0"),
        pytest.param(1, None, "%01#None", id="none-command"),
        pytest.param(True, "RD", "%01#RD", id="bool"),
        pytest.param(-1, "RD", "%-1#RD", id="negative"),
        pytest.param(1 << 64, "", "%10000000000000000#", id="beyond-64-bits"),
        pytest.param(1, "€", "%01#€", id="euro"),
    ],
)
def test_fill_header(station, cmd, header):
    assert M.fill_header(station, cmd) == header


@pytest.mark.parametrize(
    "data, address, result",
    [
        pytest.param("X", "1", "X0001", id="short"),
        pytest.param("X", "0001", "X0001", id="whole"),
        pytest.param("X", "", "X0000", id="empty"),
        pytest.param("X", "12345", "X12345", id="long"),
        pytest.param(None, "1", "None0001", id="none-data"),
        pytest.param("é", "€", "é000€", id="counts-characters"),
    ],
)
def test_fill_contact_address(data, address, result):
    assert M.fill_contact_address(data, address) == result


@pytest.mark.parametrize(
    "fill, value, field",
    [
        (M.fill_uint16, 1, "0100"),
        (M.fill_uint16, 0xABCD, "CDAB"),
        (M.fill_uint16, 256, "0001"),
        (M.fill_uint16, 65536, "00100"),
        (M.fill_uint16, True, "0100"),
        (M.fill_int16, -1, "FFFF"),
        (M.fill_int16, -2, "FEFF"),
        (M.fill_int16, 32767, "FF7F"),
        (M.fill_int16, -32768, "0080"),
        (M.fill_int16, -300, "D4FE"),
        (M.fill_uint32, 0x12345678, "78563412"),
        (M.fill_uint32, 1, "01000000"),
        (M.fill_uint32, 65536, "00000100"),
        (M.fill_uint32, 4294967296, "000000100"),
        (M.fill_uint32, 1 << 70, "0000" + "00" + format(1 << 46, "X")),
        (M.fill_int32, -1, "FFFFFFFF"),
        (M.fill_int32, -2147483648, "00000080"),
    ],
    ids=lambda v: getattr(v, "__name__", None) or repr(v),
)
def test_fill_values(fill, value, field):
    assert fill("X", value) == "X" + field
    assert fill(None, value) == "None" + field


@pytest.mark.parametrize("value", [0, 1, 0x7FFF, 0x8000, 0xFFFF])
def test_words_round_trip(value):
    assert M.parse_uint16(M.fill_uint16("", value)) == value
    signed = value - 65536 if value > 32767 else value
    assert M.parse_int16(M.fill_int16("", signed)) == signed


# --- request builders --------------------------------------------------------------------

RCS = M.fill_read_single_point_of_contact_message
WCS = M.fill_write_single_point_of_contact_message
RCC = M.fill_read_word_unit_of_contact_message
WCC = M.fill_write_word_unit_of_contact_message
RD = M.fill_read_data_area_message
WD = M.fill_write_data_area_message
WD1 = M.fill_write_single_data_message


@pytest.mark.parametrize(
    "build, args, frame",
    [
        pytest.param(RCS, (1, "X0001"), "%01#RCSX00011C\r", id="RCS"),
        pytest.param(RCS, (1, "X1"), "%01#RCSX00011C\r", id="RCS-short"),
        pytest.param(RCS, (1, "Y1A"), "%01#RCSY001A6C\r", id="RCS-hex-bit"),
        pytest.param(RCS, (300, "R0100"), "%12C#RCSR010057\r", id="RCS-station-300"),
        pytest.param(WCS, (1, "Y0001", True), "%01#WCSY0001129\r", id="WCS-true"),
        pytest.param(WCS, (1, "Y0001", False), "%01#WCSY0001028\r", id="WCS-false"),
        pytest.param(WCS, (1, "Y1A", 1), "%01#WCSY001A158\r", id="WCS-one"),
        pytest.param(WCS, (1, "Y1A", []), M.append_tail("%01#WCSY001A0"), id="WCS-falsy"),
        pytest.param(RCC, (1, "WX0000", None, 2), "%01#RCCX000000010C\r", id="RCC-count-2"),
        pytest.param(RCC, (1, "WX0", None, 1), "%01#RCCX000000000D\r", id="RCC-count-1"),
        pytest.param(RCC, (1, "WY0002", "WY0005"), "%01#RCCY000200050B\r", id="RCC-range"),
        pytest.param(RCC, (1, "WR0010", None, 3), "%01#RCCR0010001205\r", id="RCC-count-3"),
        pytest.param(RCC, (1, "WY2", "XY5"), "%01#RCCY000200050B\r", id="RCC-end-head-unexamined"),
        pytest.param(
            WCC, (1, "WY0000", [0x1234, 0x00FF]), "%01#WCCY000000013412FF000C\r", id="WCC-two"
        ),
        pytest.param(WCC, (1, "WY0", [5]), "%01#WCCY0000000005000C\r", id="WCC-one"),
        pytest.param(WCC, (1, "WY0", (5,)), "%01#WCCY0000000005000C\r", id="WCC-tuple"),
        pytest.param(RD, (1, "DT100", 3), "%01#RDD001000010257\r", id="RD-DT"),
        pytest.param(RD, (1, "D100", 3), "%01#RDD001000010257\r", id="RD-D"),
        pytest.param(RD, (1, "DT1", 1), "%01#RDD000010000155\r", id="RD-DT1"),
        pytest.param(RD, (1, "S1", 1), "%01#RDS000010000142\r", id="RD-S1"),
        pytest.param(RD, (2, "S0", 2), "%02#RDS000000000140\r", id="RD-station-2"),
        pytest.param(RD, (1, "DT99999", 1), M.append_tail("%01#RDD9999999999"), id="RD-last"),
        pytest.param(RCC, (1, "WX9999", None, 1), M.append_tail("%01#RCCX99999999"), id="RCC-last"),
        pytest.param(WD, (1, "DT0", [1, 2]), "%01#WDD00000000010100020052\r", id="WD"),
        pytest.param(WD1, (1, "DT5", 0xABCD), "%01#WDD0000500005CDAB54\r", id="WD-single"),
    ],
)
def test_builders(build, args, frame):
    assert build(*args) == frame
    assert M.crc_is_ok(frame) and M.is_query(frame)


def test_builders_take_keywords():
    assert RCC(station=1, contact_start="WX0", word_count=2) == RCC(1, "WX0000", None, 2)
    assert RD(reg_count=3, reg_start="DT100", station=1) == "%01#RDD001000010257\r"
    assert WD1(1, reg="DT5", value=0xABCD) == "%01#WDD0000500005CDAB54\r"


def test_builders_with_wide_names_close_over_utf8():
    frame = RCS(1, "Y\U0001f600")
    assert frame[:-3] == "%01#RCSY000\U0001f600"
    assert M.crc_is_ok(frame)


@pytest.mark.parametrize(
    "build, args",
    [
        pytest.param(RCC, (1, "WX0", "WX1", 1), id="RCC-both"),
        pytest.param(RCC, (1, "WX0", None, None), id="RCC-neither"),
        pytest.param(RCC, (1, "WX0", "WY1"), id="RCC-other-code"),
        pytest.param(RCC, (1, "WX5", "WX4"), id="RCC-end-before-start"),
        pytest.param(RCC, (1, "X0", None, 1), id="RCC-no-W"),
        pytest.param(RCC, (1, "WX0", None, 0), id="RCC-count-0"),
        pytest.param(WCC, (1, "WY0", []), id="WCC-empty"),
        pytest.param(WCC, (1, "Y0", [1]), id="WCC-no-W"),
        pytest.param(WCC, (1, "WY0", [-1]), id="WCC-negative"),
        pytest.param(WD, (1, "DT0", []), id="WD-empty"),
        pytest.param(WD, (1, "DT0", [1, -1]), id="WD-negative"),
        pytest.param(WD1, (1, "DT0", -1), id="WD-single-negative"),
        pytest.param(RD, (1, "DT0", 0), id="RD-count-0"),
    ],
)
def test_builder_assertions(build, args):
    raises_exactly(AssertionError, "", build, *args)


@pytest.mark.parametrize(
    "build, args",
    [
        pytest.param(WCC, (1, "WY0", [65536]), id="WCC"),
        pytest.param(WCC, (1, "WY0", [1, 2, 1 << 80]), id="WCC-huge-last"),
        pytest.param(WD, (1, "DT0", [0, 70000]), id="WD"),
        pytest.param(WD1, (1, "DT0", 65536), id="WD-single"),
    ],
)
def test_builders_refuse_values_above_16_bits(build, args):
    value = args[2] if build is WD1 else args[2][-1]
    with pytest.raises(ValueError) as caught:
        build(*args)
    assert repr(value) in str(caught.value)


WIDE = "longer than 4 characters"


@pytest.mark.parametrize(
    "build, args, message",
    [
        (RCS, (-1, "Y0"), "station below 0: -1"),
        (RD, (-(1 << 70), "DT0", 1), f"station below 0: {-(1 << 70)}"),
        (RCS, (1, "Y10000"), f"contact address {WIDE}: 'Y10000'"),
        (WCS, (1, "Y10000", 1), f"contact address {WIDE}: 'Y10000'"),
        (RCC, (1, "WX10000", None, 1), "first word number out of range 0 to 9999: 10000"),
        (RCC, (1, "WX00001", "WX2"), f"first word number {WIDE}: 'WX00001'"),
        (RCC, (1, "WX9999", None, 2), "last word number out of range 0 to 9999: 10000"),
        (RCC, (1, "WX1233", None, 2.0), f"last word number {WIDE}: 1234.0"),
        (RCC, (1, "WX0", "WX10000"), "last word number out of range 0 to 9999: 10000"),
        (WCC, (1, "WY-1", [1]), "first word number out of range 0 to 9999: -1"),
        (WCC, (1, "WY9999", [1, 2]), "last word number out of range 0 to 9999: 10000"),
        (RD, (1, "DT100000", 1), "first register address out of range 0 to 99999: 100000"),
        (RD, (1, "DT99999", 2), "last register address out of range 0 to 99999: 100000"),
        (WD, (1, "DT99999", [1, 2]), "last register address out of range 0 to 99999: 100000"),
        (WD1, (1, "DT100000", 5), "first register address out of range 0 to 99999: 100000"),
    ],
)
def test_builders_refuse_fields_wider_than_their_place(build, args, message):
    raises_exactly(ValueError, message, build, *args)


def test_values_changed_while_building_are_still_checked():
    values = [1, 2]

    class Station(int):
        def __format__(self, spec):
            values.append(70000)
            return format(int(self), spec)

    with pytest.raises(ValueError, match="70000"):
        WD(Station(1), "DT0", values)


def test_builders_accept_the_16_bit_bounds():
    assert WD(1, "DT0", [0, 65535]) == M.append_tail("%01#WDD00000000010000FFFF")
    assert WCC(1, "WY0", [True]) == M.append_tail("%01#WCCY000000000100")


def test_builders_iterate_values_once():
    class Once(list):
        reads = 0

        def __iter__(self):
            Once.reads += 1
            return super().__iter__()

    values = Once([0x1234])
    assert WD(1, "DT0", values) == M.append_tail("%01#WDD00000000003412")
    assert Once.reads == 1


# --- failures ----------------------------------------------------------------------------

TEXT_PARAMETERS = [
    (M.calc_crc, "data", {}),
    (M.crc_is_ok, "frame", {}),
    (M.append_tail, "data", {}),
    (M.find_station_end, "data", {}),
    (M.command_start_position, "data", {}),
    (M.parse_command, "data", {}),
    (M.frame_type, "data", {}),
    (M.is_feedback, "data", {}),
    (M.is_query, "data", {}),
    (M.is_error, "data", {}),
    (M.header_matched, "tx", {"rx": "%01$"}),
    (M.header_matched, "rx", {"tx": "%01#"}),
    (M.parse_station, "data", {}),
    (M.parse_contact_address, "address", {}),
    (M.parse_register_address, "address", {}),
    (M.parse_uint16, "data", {}),
    (M.parse_int16, "data", {}),
    (M.parse_uint32, "data", {}),
    (M.parse_int32, "data", {}),
    (M.fill_header, "cmd", {"station": 1}),
    (M.fill_contact_address, "data", {"address": "1"}),
    (M.fill_contact_address, "address", {"data": "X"}),
    (M.fill_uint16, "data", {"value": 1}),
    (RCS, "contact", {"station": 1}),
    (WCS, "contact", {"station": 1, "value": True}),
    (RCC, "contact_start", {"station": 1, "word_count": 1}),
    (RCC, "contact_end", {"station": 1, "contact_start": "WX0"}),
    (WCC, "contact_start", {"station": 1, "values": [1]}),
    (RD, "reg_start", {"station": 1, "reg_count": 1}),
    (WD, "reg_start", {"station": 1, "values": [1]}),
    (WD1, "reg", {"station": 1, "value": 1}),
]


@pytest.mark.parametrize(
    "function, name, others",
    TEXT_PARAMETERS,
    ids=[f"{f.__name__}-{n}" for f, n, _ in TEXT_PARAMETERS],
)
@pytest.mark.parametrize(
    "wrong",
    [
        pytest.param(1, id="int"),
        pytest.param(b"%01#", id="bytes"),
        pytest.param(["%"], id="list"),
        pytest.param(1.5, id="float"),
    ],
)
def test_text_parameters_refuse_other_types(function, name, others, wrong):
    message = f"Argument '{name}' has incorrect type (expected str, got {type(wrong).__name__})"
    raises_exactly(TypeError, message, function, **others, **{name: wrong})


NOT_SUBSCRIPTABLE = "'NoneType' object is not subscriptable"
NOT_ITERABLE = "'NoneType' is not iterable"


@pytest.mark.parametrize(
    "call, args, kind, message",
    [
        (M.calc_crc, (None,), AttributeError, "'NoneType' object has no attribute 'encode'"),
        (M.append_tail, (None,), AttributeError, "'NoneType' object has no attribute 'encode'"),
        (M.crc_is_ok, (None,), TypeError, NOT_SUBSCRIPTABLE),
        (M.header_matched, (None, "%01$RC\r"), TypeError, NOT_SUBSCRIPTABLE),
        (M.header_matched, ("%01#RC", None), TypeError, NOT_ITERABLE),
        (M.find_station_end, (None,), TypeError, NOT_ITERABLE),
        (M.command_start_position, (None,), TypeError, NOT_ITERABLE),
        (M.parse_command, (None,), TypeError, NOT_ITERABLE),
        (M.frame_type, (None,), TypeError, NOT_ITERABLE),
        (M.is_feedback, (None,), TypeError, NOT_ITERABLE),
        (M.is_query, (None,), TypeError, NOT_ITERABLE),
        (M.is_error, (None,), TypeError, NOT_ITERABLE),
        (M.parse_station, (None,), TypeError, NOT_ITERABLE),
        (M.parse_contact_address, (None,), TypeError, NOT_SUBSCRIPTABLE),
        (M.parse_uint16, (None,), TypeError, NOT_SUBSCRIPTABLE),
        (M.parse_int16, (None,), TypeError, NOT_SUBSCRIPTABLE),
        (M.parse_uint32, (None,), TypeError, NOT_SUBSCRIPTABLE),
        (M.parse_int32, (None,), TypeError, NOT_SUBSCRIPTABLE),
        (M.parse_register_address, (None,), *host_error(int, None)),
        (M.fill_contact_address, ("X", None), TypeError, "object of type 'NoneType' has no len()"),
        (RCS, (1, None), TypeError, NOT_SUBSCRIPTABLE),
        (RCC, (1, None, None, 1), TypeError, NOT_SUBSCRIPTABLE),
        (RD, (1, None, 1), TypeError, NOT_SUBSCRIPTABLE),
        (WD1, (1, None, 1), TypeError, NOT_SUBSCRIPTABLE),
    ],
    ids=lambda v: getattr(v, "__name__", None) if callable(v) else None,
)
def test_none_where_text_is_read(call, args, kind, message):
    raises_exactly(kind, message, call, *args)


OUT_OF_RANGE = "string index out of range"


@pytest.mark.parametrize(
    "call, args",
    [
        pytest.param(M.crc_is_ok, ("1\r",), id="crc-one-before-tail"),
        pytest.param(M.crc_is_ok, ("\r",), id="crc-tail-only"),
        pytest.param(M.crc_is_ok, ("*\r",), id="crc-star-alone"),
        pytest.param(M.frame_type, ("%01",), id="type-bare-header"),
        pytest.param(M.frame_type, ("",), id="type-empty"),
        pytest.param(M.is_feedback, ("%01",), id="feedback"),
        pytest.param(M.is_query, ("",), id="query"),
        pytest.param(M.is_error, ("%01",), id="error"),
        pytest.param(M.header_matched, ("%01#RCS", "%01"), id="header-rx-prefix-of-tx"),
        pytest.param(M.parse_contact_address, ("001",), id="contact-short"),
        pytest.param(RCS, (1, ""), id="RCS-empty"),
        pytest.param(RCC, (1, "W", "W"), id="RCC-W-only"),
        pytest.param(RCC, (1, "", None, 1), id="RCC-empty"),
        pytest.param(RCC, (1, "WX0", "W"), id="RCC-end-short"),
        pytest.param(RD, (1, "D", 1), id="RD-area-only"),
        pytest.param(RD, (1, "", 1), id="RD-empty"),
        pytest.param(WCC, (1, "W", [1]), id="WCC-W-only"),
        pytest.param(WD, (1, "", [1]), id="WD-empty"),
    ],
)
def test_index_out_of_range(call, args):
    raises_exactly(IndexError, OUT_OF_RANGE, call, *args)


@pytest.mark.parametrize(
    "call, args",
    [
        pytest.param(RCS, ("x", ""), id="RCS"),
        pytest.param(WCC, ("x", "W", [1]), id="WCC"),
        pytest.param(RD, ("x", "D", 1), id="RD"),
        pytest.param(WD, ("x", "D", [1]), id="WD"),
    ],
)
def test_the_header_fails_before_a_name_too_short_is_read(call, args):
    raises_exactly(*host_error(format, "x", "02X"), call, *args)


@pytest.mark.parametrize(
    "call, args, host",
    [
        pytest.param(M.crc_is_ok, ("%01#RCSZZ\r",), (int, "ZZ", 16), id="crc-not-hex"),
        pytest.param(M.crc_is_ok, ("%01#RCS1G\r",), (int, "1G", 16), id="crc-half-hex"),
        pytest.param(M.parse_station, ("%#RCS",), (int, "", 16), id="station-empty"),
        pytest.param(M.parse_station, ("%0G#RCS",), (int, "0G", 16), id="station-not-hex"),
        pytest.param(M.parse_station, ("\r",), (int, "", 16), id="station-tail-only"),
        pytest.param(M.parse_contact_address, ("00A1",), (int, "00A"), id="contact-word"),
        pytest.param(M.parse_contact_address, ("001G",), (int, "G", 16), id="contact-bit"),
        pytest.param(M.parse_register_address, ("1x",), (int, "1x"), id="register"),
        pytest.param(M.parse_register_address, ("",), (int, ""), id="register-empty"),
        pytest.param(M.parse_uint16, ("12",), (int, "", 16), id="uint16-cut-short"),
        pytest.param(M.parse_uint16, ("GG0Z",), (int, "0Z", 16), id="uint16-high-first"),
        pytest.param(M.parse_uint32, ("000012",), (int, "", 16), id="uint32-cut-short"),
        pytest.param(RCC, (1, "WXa", None, 1), (int, "a"), id="RCC-start"),
        pytest.param(RCC, (1, "WX0", "WXa"), (int, "a"), id="RCC-end"),
        pytest.param(RCC, (1, "WXb", "WXa"), (int, "a"), id="RCC-end-first"),
        pytest.param(WCC, (1, "WX", [1]), (int, ""), id="WCC-start"),
        pytest.param(RD, (1, "DTx", 1), (int, "x"), id="RD-address"),
        pytest.param(WD, (1, "D", [1]), None, id="WD-area-only"),
    ],
)
def test_integer_conversion_failures_are_the_hosts(call, args, host):
    if host is None:
        raises_exactly(IndexError, OUT_OF_RANGE, call, *args)
        return
    kind, message = host_error(*host)
    assert kind is ValueError
    raises_exactly(kind, message, call, *args)


@pytest.mark.parametrize(
    "fill, value",
    [
        (M.fill_uint16, -1),
        (M.fill_uint32, -1),
        (M.fill_uint16, -(1 << 80)),
        (M.fill_uint32, -65536),
    ],
)
def test_negative_unsigned_fails_the_assertion(fill, value):
    raises_exactly(AssertionError, "", fill, "", value)


@pytest.mark.parametrize(
    "fill, value, fmt",
    [
        (M.fill_int16, 32768, "h"),
        (M.fill_int16, -32769, "h"),
        (M.fill_int16, 1.5, "h"),
        (M.fill_int16, "1", "h"),
        (M.fill_int32, 1 << 31, "i"),
        (M.fill_int32, -(1 << 31) - 1, "i"),
        (M.fill_int32, None, "i"),
    ],
)
def test_signed_out_of_range_is_the_struct_error(fill, value, fmt):
    kind, message = host_error(struct.pack, fmt, value)
    assert kind is struct.error
    raises_exactly(kind, message, fill, "", value)


@pytest.mark.parametrize(
    "fill, value, host",
    [
        pytest.param(M.fill_uint16, 1.5, (operator.and_, 1.5, 255), id="u16-float"),
        pytest.param(M.fill_uint16, "1", (operator.ge, "1", 0), id="u16-text"),
        pytest.param(M.fill_uint16, None, (operator.ge, None, 0), id="u16-none"),
        pytest.param(M.fill_uint32, 1.5, (operator.and_, 1.5, 65535), id="u32-float"),
        pytest.param(M.fill_uint32, [], (operator.ge, [], 0), id="u32-list"),
    ],
)
def test_non_integer_unsigned_is_the_hosts_type_error(fill, value, host):
    raises_exactly(*host_error(*host), fill, "", value)


@pytest.mark.parametrize(
    "station",
    [
        pytest.param(1.5, id="float"),
        pytest.param("1", id="text"),
        pytest.param(None, id="none"),
        pytest.param([1], id="list"),
    ],
)
def test_fill_header_station_formats_as_the_host(station):
    kind, message = host_error(format, station, "02X")
    raises_exactly(kind, message, M.fill_header, station, "RD")
    raises_exactly(kind, message, RD, station, "DT0", 1)


def test_values_without_length_are_the_hosts_type_error():
    kind, message = host_error(len, (v for v in [1]))
    raises_exactly(kind, message, WD, 1, "DT0", (v for v in [1]))
    raises_exactly(kind, message, WCC, 1, "WY0", (v for v in [1]))


def test_lone_surrogate_fails_utf8_encoding():
    with pytest.raises(UnicodeEncodeError):
        M.calc_crc("a\udc80")
    with pytest.raises(UnicodeEncodeError):
        M.append_tail("%01#\udc80")


# --- concurrency -------------------------------------------------------------------------


def test_threads_build_and_read_frames_at_once():
    expected = {n: RD(n, "DT100", 3) for n in range(8)}
    failures = []

    def worker(station):
        for _ in range(2000):
            frame = RD(station, "DT100", 3)
            if frame != expected[station] or M.parse_station(frame) != station:
                failures.append(frame)

    threads = [threading.Thread(target=worker, args=(n,)) for n in range(8)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert not failures
