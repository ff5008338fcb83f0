"""Slave request processing: one request frame in, one answer frame out."""

import pytest

from zul_mew import MewSlaveBase, MewStatic


def frame(body):
    return MewStatic.append_tail(body)


class Station(MewSlaveBase):
    """A slave whose handlers record their calls and answer what the test set."""

    def __init__(self, station=1, result=None):
        super().__init__(station)
        self.result = result
        self.calls = []

    def on_get_coil(self, *args):
        return self._record("on_get_coil", *args)

    def on_get_multi_coil_uint16(self, *args):
        return self._record("on_get_multi_coil_uint16", *args)

    def on_get_multi_uint16(self, *args):
        return self._record("on_get_multi_uint16", *args)

    def on_set_coil(self, *args):
        return self._record("on_set_coil", *args)

    def on_set_multi_coil_uint16(self, *args):
        return self._record("on_set_multi_coil_uint16", *args)

    def on_set_multi_uint16(self, *args):
        return self._record("on_set_multi_uint16", *args)

    def _record(self, *call):
        self.calls.append(call)
        return self.result


WORKED = [
    ("%01#RCSY00001C\r", True, ("on_get_coil", "Y0000"), "%01$RC120\r"),
    ("%01#WCSY0001129\r", None, ("on_set_coil", "Y0001", True), "%01$WC14\r"),
    (
        "%01#RCCY000000010D\r",
        [0x1234, 0x00FF],
        ("on_get_multi_coil_uint16", "Y0000", 2),
        "%01$RC3412FF0015\r",
    ),
    (
        "%01#WCCY000000013412FF000C\r",
        None,
        ("on_set_multi_coil_uint16", "Y0000", [4660, 255]),
        "%01$WC14\r",
    ),
    ("%01#RDD001000010154\r", [1, 2], ("on_get_multi_uint16", "D00100", 2), "%01$RD0100020015\r"),
    (
        "%01#WDD00100001010500FFFF54\r",
        None,
        ("on_set_multi_uint16", "D00100", [5, 65535]),
        "%01$WD13\r",
    ),
    ("%01#RSSX00000D\r", None, None, "%01!0306\r"),
]


@pytest.mark.parametrize(
    "request_frame, result, call, answer",
    WORKED,
    ids=["RCS", "WCS", "RCC", "WCC", "RD", "WD", "unknown"],
)
def test_worked_requests(request_frame, result, call, answer):
    station = Station(result=result)
    assert station._process_request(request_frame) == answer
    assert station.calls == ([call] if call else [])


@pytest.mark.parametrize(
    "request_frame",
    [
        "%1#RCZZ\r",  # 8 characters: neither head nor BCC is looked at
        "#01#RCSY0000**\r",
        "%01#RCSY000000\r",
        "",
    ],
    ids=["eight-characters", "no-head", "wrong-bcc", "empty"],
)
def test_invalid_frame_is_reported_and_not_answered(request_frame, capsys):
    station = Station()
    assert station._process_request(request_frame) == ""
    assert capsys.readouterr().out == f"Invalid MEW frame: {request_frame}\n"
    assert station.calls == []


def test_invalid_frame_goes_to_the_override_only(capsys):
    class Counting(Station):
        def process_invalid_frame(self, frame):
            self.calls.append(("invalid", frame))

    station = Counting()
    assert station._process_request("%01#RCSY000000\r") == ""
    assert station.calls == [("invalid", "%01#RCSY000000\r")]
    assert capsys.readouterr().out == ""


@pytest.mark.parametrize(
    "request_frame, answer",
    [("%01#XY**\r", frame("%01!03")), ("%01#RCSY0000**\r", frame("%01$RC0"))],
    ids=["nine-characters", "ignored-bcc"],
)
def test_shortest_frame_and_ignored_bcc_pass(request_frame, answer):
    assert Station(result=False)._process_request(request_frame) == answer


@pytest.mark.parametrize(
    "own, field, prefix",
    [(16, "10", "%10"), (10, "0A", "%0A"), (1, "1", "%1"), (300, "12C", "%12C"), (0, "00", "%00")],
    ids=["16", "10", "one-digit", "three-digits", "zero"],
)
def test_station_field_is_hexadecimal_and_echoed(own, field, prefix):
    answer = Station(own, result=True)._process_request(frame(f"%{field}#RCSY0000"))
    assert answer == frame(f"{prefix}$RC1")


@pytest.mark.parametrize(
    "own, field", [(1, "02"), (1, "00"), (2, "001")], ids=["other", "broadcast", "wide-field"]
)
def test_other_station_is_ignored(own, field, capsys):
    station = Station(own, result=True)
    assert station._process_request(frame(f"%{field}#RCSY0000")) == ""
    assert capsys.readouterr().out == "Ignore other target frame.\n"
    assert station.calls == []


@pytest.mark.parametrize("char, value", [("1", True), ("0", False), ("5", True)])
def test_wcs_value_character(char, value):
    station = Station()
    station._process_request(frame(f"%01#WCSY0003{char}"))
    assert station.calls == [("on_set_coil", "Y0003", value)]


@pytest.mark.parametrize(
    "fields, begin, count",
    [("Y00000001", "Y0000", 2), ("X00090010", "X0009", 2), ("R00100025", "R0010", 16)],
    ids=["0-1", "9-10", "10-25"],
)
def test_rcc_word_count(fields, begin, count):
    station = Station(result=[0] * count)
    station._process_request(frame(f"%01#RCC{fields}"))
    assert station.calls == [("on_get_multi_coil_uint16", begin, count)]


def test_empty_register_range_reaches_the_handlers():
    station = Station(result=[7])
    assert station._process_request(frame("%01#RDD0010000099")) == frame("%01$RD0700")
    station._process_request(frame("%01#WDD0010000099"))
    assert station.calls[-1] == ("on_set_multi_uint16", "D00100", [])


@pytest.mark.parametrize(
    "words, data",
    [([0x00FF], "FF00"), ([1, 2, 3], "010002000300"), ([0, 65535], "0000FFFF")],
    ids=["low-byte-first", "more-than-asked", "limits"],
)
def test_answer_words(words, data):
    answer = Station(result=words)._process_request(frame("%01#RCCY00000001"))
    assert answer == frame(f"%01$RC{data}")


def test_short_write_request_calls_no_handler():
    station = Station()
    with pytest.raises(ValueError):
        station._process_request(frame("%01#WCCY000000013412"))
    assert station.calls == []


@pytest.mark.parametrize("command", ["RS", "RSSX0000", "WCX"], ids=["RS", "RSS", "WCX"])
def test_unserved_command_is_answered_03(command):
    station = Station()
    assert station._process_request(frame(f"%01#{command}")) == frame("%01!03")
    assert station.calls == []


@pytest.mark.parametrize("word", [65536, -1, 2**70], ids=["65536", "negative", "huge"])
def test_word_out_of_range_is_refused(word):
    station = Station(result=[1, word])
    with pytest.raises(ValueError, match=str(word)):
        station._process_request(frame("%01#RDD0010000101"))
