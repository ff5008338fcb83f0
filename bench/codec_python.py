"""The codec operations of bench_codec.py in plain Python, to time the module against.

Written the way the frame codec would be written without the extension: plain
loops, slices and format strings, each operation calling the others through the
class. bench_codec.py checks that every case gives the module's result before it
times anything.
"""

from __future__ import annotations

from typing import Collection, Optional


class PyStatic:
    """The frame codec: protocol constants and static operations, no state."""

    HEX_DIGITS = "0123456789ABCDEF"
    HEAD = "%"
    TAIL = "\r"
    QUERY = "#"
    ERROR = "!"
    FEEDBACK = "$"
    IGNORE_BCC = "*"

    # Frame layout and check code.

    @staticmethod
    def calc_crc(data: str, init: int = 0) -> int:
        """XOR of the frame's bytes, started at `init`."""
        crc = init
        for byte in data.encode("utf-8"):
            crc ^= byte
        return crc

    @staticmethod
    def append_tail(data: str) -> str:
        """`data` closed with its BCC as two upper-case hex digits and the tail."""
        crc = PyStatic.calc_crc(data)
        return data + PyStatic.HEX_DIGITS[crc >> 4] + PyStatic.HEX_DIGITS[crc & 15] + PyStatic.TAIL

    @staticmethod
    def find_station_end(data: str) -> int:
        """Index of the type character; -1 if the tail or the BCC comes first,
        the length of `data` if neither does."""
        for index, char in enumerate(data):
            if char == PyStatic.TAIL or char == PyStatic.IGNORE_BCC:
                return -1
            if char == PyStatic.QUERY or char == PyStatic.FEEDBACK or char == PyStatic.ERROR:
                return index
        return len(data)

    @staticmethod
    def frame_type(data: str) -> str:
        """The type character (the last character when the scan found none)."""
        return data[PyStatic.find_station_end(data)]

    @staticmethod
    def header_matched(tx: str, rx: str) -> bool:
        """Whether `rx` is the normal answer to `tx`: same head and station, a
        "$" frame, and the first two letters of the command echoed."""
        edge = PyStatic.find_station_end(rx)
        if tx[:edge] != rx[:edge]:
            return False
        if rx[edge] != PyStatic.FEEDBACK:
            return False
        return tx[edge + 1 : edge + 3] == rx[edge + 1 : edge + 3]

    @staticmethod
    def parse_station(data: str) -> int:
        """The station number: the hex digits between the head and the type character."""
        pos = PyStatic.find_station_end(data)
        return int(data[1:pos], 16)

    # Field encodings.

    @staticmethod
    def fill_header(station: int, cmd: Optional[str]) -> str:
        return f"%{station:02X}{PyStatic.QUERY}{cmd}"

    @staticmethod
    def fill_contact_address(data: str, address: str) -> str:
        """`data` + the address left-filled with "0" to 4 characters."""
        return data + "0" * (4 - len(address)) + address

    @staticmethod
    def fill_uint16(data: str, value: int) -> str:
        """`data` + the value as 4 hex digits, low byte first."""
        assert value >= 0
        return data + f"{value & 255:02X}{value >> 8:02X}"

    # Request builders.

    @staticmethod
    def fill_read_word_unit_of_contact_message(
        station: int,
        contact_start: str,
        contact_end: Optional[str] = None,
        word_count: Optional[int] = None,
    ) -> str:
        """RCC: read the words of contacts from `contact_start` to `contact_end`
        (inclusive), or `word_count` words from `contact_start`; exactly one of
        the two must be given."""
        assert contact_start[0] == "W"
        assert contact_end is None or word_count is None
        assert contact_end is not None or word_count is not None
        if word_count is not None:
            assert word_count > 0
            end = int(contact_start[2:]) + word_count - 1
            contact_end = contact_start[:2] + str(end)
        else:
            assert contact_end is not None
            assert contact_start[1] == contact_end[1]
            assert int(contact_end[2:]) >= int(contact_start[2:])
        data = PyStatic.fill_header(station, "RCC") + contact_start[1]
        data = PyStatic.fill_contact_address(data, contact_start[2:])
        data = PyStatic.fill_contact_address(data, contact_end[2:])
        return PyStatic.append_tail(data)

    @staticmethod
    def fill_read_data_area_message(station: int, reg_start: str, reg_count: int) -> str:
        """RD: read `reg_count` registers from `reg_start` (D100 or DT100)."""
        assert reg_count > 0
        data = PyStatic.fill_header(station, "RD")
        # The area code is one or two letters; only the first goes on the wire.
        addr = reg_start[1:] if reg_start[1].isdigit() else reg_start[2:]
        data += reg_start[0]
        start = int(addr)
        end = start + reg_count - 1
        data += f"{start:05d}{end:05d}"
        return PyStatic.append_tail(data)

    @staticmethod
    def fill_write_data_area_message(station: int, reg_start: str, values: Collection[int]) -> str:
        """WD: write `values` to consecutive registers from `reg_start`."""
        assert len(values) > 0
        data = PyStatic.fill_header(station, "WD")
        addr = reg_start[1:] if reg_start[1].isdigit() else reg_start[2:]
        data += reg_start[0]
        start = int(addr)
        end = start + len(values) - 1
        data += f"{start:05d}{end:05d}"
        for value in values:
            data = PyStatic.fill_uint16(data, value)
        return PyStatic.append_tail(data)
