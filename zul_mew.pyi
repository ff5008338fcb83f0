"""MEWTOCOL-COM ASCII over a serial line, with station numbers of any length.

A node owns one line and runs ordinary threads: `MewMaster` asks remote
stations and waits for their answers, `MewFullDuplex` also answers requests
for its own station, `InstManager` discovers the I/O stations of a bus,
`RandomMewSlaveDemo` answers with random values. `MewStatic` builds and
checks frames without any line.

Every node and `MewSerial` is a context manager: the block gets the object,
and leaving the block closes it, by an exception too.

Every parameter typed `str` takes text or None; any other value is refused
before anything runs, with `TypeError` "Argument 'name' has incorrect type
(expected str, got int)".
"""

from abc import ABC, abstractmethod
from queue import Queue
from threading import Lock, Thread
from types import TracebackType
from typing import ClassVar, Collection, Optional, Sequence, overload

from serial import Serial  # type: ignore[import-untyped]
from typing_extensions import Self

INST_TYPE_UNKNOWN: int
"""Instrument type 0: a station of unknown kind (also any type code above 3)."""
INST_TYPE_XY: int
"""Instrument type 1: a digital input/output station."""
INST_TYPE_Axis: int
"""Instrument type 2: an axis station."""
INST_TYPE_AD: int
"""Instrument type 3: an analogue input station."""

class MewStatic:
    """The frame codec: protocol constants, and static operations that build,
    check and take apart frames. Nothing here touches a line.

    A frame is text: the head `%`, the station in upper-case hexadecimal (at
    least two digits: station 1 is `01`, station 300 is `12C`), the type (`#`
    request, `$` answer, `!` error answer), the command and its fields, a
    two-digit check code (BCC) and a carriage return. Words travel low byte
    first: 0x1234 is written `3412`.

    Examples:
        >>> MewStatic.fill_read_data_area_message(1, "DT100", 1)
        '%01#RDD001000010055\\r'
        >>> MewStatic.crc_is_ok("%01$RD630013\\r")
        True
    """

    MAX_MULTI_COIL_COUNT: ClassVar[int]
    """8: the most contacts one multi-contact request should carry; no operation enforces it."""
    HEX_DIGITS: ClassVar[str]
    """"0123456789ABCDEF": the digits a check code is written with."""
    DEC_DIGITS: ClassVar[str]
    """"0123456789": the decimal digits."""
    PROCESS_NONE: ClassVar[int]
    """-1: a result code of request processing; no operation produces it."""
    PROCESS_ERROR: ClassVar[int]
    """-2: a result code of request processing; no operation produces it."""
    PROCESS_UNKNOWN_CMD: ClassVar[int]
    """-3: a command the slave does not serve; it is answered with error code 03."""
    HEAD: ClassVar[str]
    """"%": the first character of every frame."""
    TAIL: ClassVar[str]
    """"\\r": the carriage return that ends every frame."""
    QUERY: ClassVar[str]
    """"#": the type character of a request."""
    ERROR: ClassVar[str]
    """"!": the type character of an error answer."""
    FEEDBACK: ClassVar[str]
    """"$": the type character of a normal answer."""
    IGNORE_BCC: ClassVar[str]
    """"*": a check code of two of these is accepted without checking."""
    BROADCAST: ClassVar[int]
    """0: the broadcast station number; no operation treats it specially."""
    CMD_UNKNOWN: ClassVar[str]
    """"UNKNOWN": what `parse_command` gives for a command the slave does not serve."""

    @staticmethod
    def calc_crc(data: str, init: int = 0) -> int:
        """The check code of `data`: the XOR of its UTF-8 bytes, starting from `init`.

        A frame's check code covers everything before its two check
        characters: head, station, type character and body.

        Args:
            data: The text to cover.
            init: The starting value; with 0 the result lies in 0 to 255.

        Returns:
            `init` XOR every byte of `data`.

        Examples:
            >>> MewStatic.calc_crc("%01#RCSX0001")
            28
        """

    @staticmethod
    def crc_is_ok(frame: str) -> bool:
        """Whether a received frame's check code is acceptable.

        The check code is the two characters before the last one. `**` is
        accepted without computing anything, a single `*` is refused; any
        other pair is read as hexadecimal (either case) and compared with
        `calc_crc` of everything before it. The last character is not examined.

        Args:
            frame: A whole frame, carriage return included.

        Returns:
            True when the check code matches or is `**`.

        Raises:
            IndexError: Fewer than two characters before the last one ("string index out of range").
            ValueError: A check code that is neither hexadecimal nor contains `*`.

        Examples:
            >>> MewStatic.crc_is_ok("%01#RCSX00011C\\r"), MewStatic.crc_is_ok("%01#RCSX00011D\\r")
            (True, False)
        """

    @staticmethod
    def append_tail(data: str) -> str:
        """Closes a frame: `data`, its check code in two upper-case hexadecimal
        digits, and the carriage return.

        Examples:
            >>> MewStatic.append_tail("%01#RCSX0001")
            '%01#RCSX00011C\\r'
        """

    @staticmethod
    def find_station_end(data: str) -> int:
        """Where the station field ends: the index of the first type character (`#`, `$`, `!`).

        Returns:
            That index; -1 when a carriage return or `*` comes before any type
            character; the length of `data` when none of these occurs.

        Examples:
            >>> MewStatic.find_station_end("%12C$RC1**\\r"), MewStatic.find_station_end("%01\\r")
            (4, -1)
        """

    @staticmethod
    def command_start_position(data: str) -> int:
        """The index of the first command character: `find_station_end(data) + 1`."""

    @staticmethod
    def parse_command(data: str) -> str:
        """The command a frame carries after its type character.

        Returns:
            "RCS", "WCS", "RCC", "WCC", "RD" or "WD"; `CMD_UNKNOWN` for anything else.

        Examples:
            >>> MewStatic.parse_command("%01#RDD0010000102**\\r")
            'RD'
        """

    @staticmethod
    def frame_type(data: str) -> str:
        """The frame's type character: `#`, `$` or `!`.

        A frame whose station field runs into a carriage return or `*` gives
        its last character instead (normally the carriage return).

        Raises:
            IndexError: `data` holds none of `#`, `$`, `!`, carriage return, `*` ("string index out of range").
        """

    @staticmethod
    def is_feedback(data: str) -> bool:
        """Whether the frame is a normal answer (type `$`). Raises as `frame_type`."""

    @staticmethod
    def is_query(data: str) -> bool:
        """Whether the frame is a request (type `#`). Raises as `frame_type`."""

    @staticmethod
    def is_error(data: str) -> bool:
        """Whether the frame is an error answer (type `!`). Raises as `frame_type`."""

    @staticmethod
    def header_matched(tx: str, rx: str) -> bool:
        """Whether `rx` is the normal answer to the request `tx`.

        Head and station must match character for character, `rx` must be a
        `$` frame, and the first two letters of the request's command must
        equal the answer's echo ("RC" for RCS and RCC, "RD" for RD).

        Args:
            tx: The request frame.
            rx: The received frame.

        Examples:
            >>> MewStatic.header_matched("%01#RCSX00011C\\r", "%01$RC1**\\r")
            True
            >>> MewStatic.header_matched("%01#RCSX00011C\\r", "%01!4100\\r")
            False
        """

    @staticmethod
    def parse_station(data: str) -> int:
        """The station number of a frame: the characters between the head and
        the type character, read as hexadecimal of any length.

        Raises:
            ValueError: An empty or non-hexadecimal station field.

        Examples:
            >>> MewStatic.parse_station("%12C#RCSR010057\\r")
            300
        """

    @staticmethod
    def parse_contact_address(address: str) -> int:
        """The contact number of a four-character contact address: three
        decimal digits of word number and one hexadecimal digit of bit.
        Characters after the fourth are ignored.

        Returns:
            word × 16 + bit.

        Raises:
            IndexError: Fewer than four characters ("string index out of range").
            ValueError: A word or bit that is not a number.

        Examples:
            >>> MewStatic.parse_contact_address("001F")
            31
        """

    @staticmethod
    def parse_register_address(address: str) -> int:
        """A register address or word number: the whole text read as a decimal number.

        Raises:
            ValueError: The text is not a decimal number.
        """

    @staticmethod
    def parse_uint16(data: str) -> int:
        """A 16-bit word from four hexadecimal digits, low byte first.
        Characters after the fourth are ignored.

        Raises:
            ValueError: A digit that is not hexadecimal, or fewer than three characters.

        Examples:
            >>> hex(MewStatic.parse_uint16("3412"))
            '0x1234'
        """

    @staticmethod
    def parse_int16(data: str) -> int:
        """A signed 16-bit value (-32768 to 32767) from four hexadecimal digits, low byte first.

        Examples:
            >>> MewStatic.parse_int16("FEFF")
            -2
        """

    @staticmethod
    def parse_uint32(data: str) -> int:
        """A 32-bit value from eight hexadecimal digits: the low word, then the high word.

        Examples:
            >>> hex(MewStatic.parse_uint32("78563412"))
            '0x12345678'
        """

    @staticmethod
    def parse_int32(data: str) -> int:
        """A signed 32-bit value from eight hexadecimal digits, low word first.

        Examples:
            >>> MewStatic.parse_int32("FEFFFFFF")
            -2
        """

    @staticmethod
    def fill_header(station: int, cmd: str) -> str:
        """The head of a request: `%`, the station in hexadecimal (at least two
        digits), `#` and the command.

        Examples:
            >>> MewStatic.fill_header(300, "RCS")
            '%12C#RCS'
        """

    @staticmethod
    def fill_contact_address(data: str, address: str) -> str:
        """`data` followed by `address` left-filled with "0" to four
        characters; a longer address is written whole, unchecked."""

    @staticmethod
    def fill_uint16(data: str, value: int) -> str:
        """`data` followed by `value` as four hexadecimal digits, low byte first.

        A value above 65535 makes the field longer; keep values within 0 to 65535.

        Raises:
            AssertionError: A negative value (while assertions are enabled).

        Examples:
            >>> MewStatic.fill_uint16("", 0xABCD)
            'CDAB'
        """

    @staticmethod
    def fill_int16(data: str, value: int) -> str:
        """`data` followed by a signed 16-bit value in two's complement.

        Raises:
            struct.error: A value outside -32768 to 32767.

        Examples:
            >>> MewStatic.fill_int16("", -2)
            'FEFF'
        """

    @staticmethod
    def fill_uint32(data: str, value: int) -> str:
        """`data` followed by `value` as eight hexadecimal digits: low word, then high word.

        Raises:
            AssertionError: A negative value (while assertions are enabled).

        Examples:
            >>> MewStatic.fill_uint32("", 0x12345678)
            '78563412'
        """

    @staticmethod
    def fill_int32(data: str, value: int) -> str:
        """`data` followed by a signed 32-bit value in two's complement, low word first.

        Raises:
            struct.error: A value outside -2147483648 to 2147483647.
        """

    @staticmethod
    def fill_read_single_point_of_contact_message(station: int, contact: str) -> str:
        """The request that reads one contact (RCS).

        Args:
            station: The remote station.
            contact: A code letter and an address of up to four characters:
                three decimal digits of word and one hexadecimal digit of bit
                (`X1`, `Y1A`, `R0100`).

        Raises:
            ValueError: A station below 0 ("station below 0: -1"), or an address
                longer than four characters ("contact address longer than 4
                characters: 'Y10000'").

        Examples:
            >>> MewStatic.fill_read_single_point_of_contact_message(1, "Y1A")
            '%01#RCSY001A6C\\r'
        """

    @staticmethod
    def fill_write_single_point_of_contact_message(station: int, contact: str, value: bool) -> str:
        """The request that sets or clears one contact (WCS).

        Args:
            station: The remote station.
            contact: As for `fill_read_single_point_of_contact_message`.
            value: True sets the contact, false clears it.

        Raises:
            ValueError: A station below 0, or an address longer than four characters.

        Examples:
            >>> MewStatic.fill_write_single_point_of_contact_message(1, "Y1", True)
            '%01#WCSY0001129\\r'
        """

    @staticmethod
    def fill_read_word_unit_of_contact_message(
        station: int,
        contact_start: str,
        contact_end: Optional[str] = None,
        word_count: Optional[int] = None,
    ) -> str:
        """The request that reads words of 16 contacts (RCC).

        Give the range by its last word or by its count, not both.

        Args:
            station: The remote station.
            contact_start: `W`, a code letter and a word number (`WX0`, `WY0002`).
            contact_end: The last word, with the same code letter (`WY0005`).
            word_count: How many words, at least 1.

        Raises:
            AssertionError: No `W` in front, both or neither of `contact_end`
                and `word_count`, different code letters, an end before the
                start, or a count below 1.
            ValueError: A station below 0, a word number outside 0 to 9999
                ("last word number out of range 0 to 9999: 10000"), or (with
                assertions disabled) a count below 1.

        Examples:
            >>> MewStatic.fill_read_word_unit_of_contact_message(1, "WX0", word_count=2)
            '%01#RCCX000000010C\\r'
        """

    @staticmethod
    def fill_write_word_unit_of_contact_message(
        station: int, contact_start: str, values: Collection[int]
    ) -> str:
        """The request that writes words of 16 contacts (WCC), one value per word.

        Args:
            station: The remote station.
            contact_start: `W`, a code letter and the first word number (`WY0`).
            values: The words, each 0 to 65535, bit n for contact n of its word.

        Raises:
            AssertionError: No `W` in front, or no values.
            ValueError: A value outside 0 to 65535 ("16-bit value out of range
                0 to 65535: 70000"), a station below 0, a word number outside 0
                to 9999, or (with assertions disabled) no values.

        Examples:
            >>> MewStatic.fill_write_word_unit_of_contact_message(1, "WY0", [5])
            '%01#WCCY0000000005000C\\r'
        """

    @staticmethod
    def fill_read_data_area_message(station: int, reg_start: str, reg_count: int) -> str:
        """The request that reads data registers (RD).

        Args:
            station: The remote station.
            reg_start: An area code of one or two letters and a decimal
                address (`DT100`, `D100`, `S1`); only the first letter travels.
            reg_count: How many registers, at least 1.

        Raises:
            AssertionError: A count below 1.
            ValueError: A station below 0, a first or last address outside 0
                to 99999 ("last register address out of range 0 to 99999:
                100000"), or (with assertions disabled) a count below 1.

        Examples:
            >>> MewStatic.fill_read_data_area_message(1, "DT100", 3)
            '%01#RDD001000010257\\r'
        """

    @staticmethod
    def fill_write_data_area_message(station: int, reg_start: str, values: Collection[int]) -> str:
        """The request that writes data registers (WD), one value per register.

        Args:
            station: The remote station.
            reg_start: The first register, as for `fill_read_data_area_message`.
            values: The words, each 0 to 65535.

        Raises:
            AssertionError: No values.
            ValueError: A value outside 0 to 65535 ("16-bit value out of range
                0 to 65535: -1"), a station below 0, a first or last address
                outside 0 to 99999, or (with assertions disabled) no values.

        Examples:
            >>> MewStatic.fill_write_data_area_message(1, "DT0", [1, 2])
            '%01#WDD00000000010100020052\\r'
        """

    @staticmethod
    def fill_write_single_data_message(station: int, reg: str, value: int) -> str:
        """The request that writes one data register (WD); raises as
        `fill_write_data_area_message`.

        Examples:
            >>> MewStatic.fill_write_single_data_message(1, "DT5", 0xABCD)
            '%01#WDD0000500005CDAB54\\r'
        """

class Channel(ABC):
    """The line a node talks through: reads characters, cuts frames at the
    carriage return, writes whole frames.

    `MewSerial` is the serial port; any subclass that implements `read`,
    `receive_frame`, `send_frame` and `in_waiting` can be handed to a node in
    place of a port name (a network server, a loop-back). Only the node's
    receiver thread reads; writes come one at a time under the node's lock.
    A channel that also has a `cancel_read()` method has it called by the
    node's `stop`: it should end a frame being read at once, so that a line
    that sends without end cannot hold the receiver (a wrapper passes it on to
    the channel it wraps).
    """

    @abstractmethod
    def read(self, size: int = 1) -> str:
        """At most `size` characters, waiting at most the channel's time-out;
        the empty text when nothing arrived. The receiver waits for each
        frame's first character with it."""

    @abstractmethod
    def receive_frame(self) -> str:
        """The characters that follow, up to and including the carriage return.

        Raises:
            MewFormatError: "Error: device no response." when nothing arrived;
                "Error: device response format invalid." when the characters
                stopped before a carriage return. A channel of a host's own may
                raise any `IOError` there; the node reports it and reads on.
        """

    @abstractmethod
    def send_frame(self, data: str) -> None:
        """Writes one whole frame, unchanged."""

    @property
    @abstractmethod
    def in_waiting(self) -> int:
        """The number of received bytes not yet read."""

    def close(self) -> None:
        """Releases the line; the base version does nothing."""

    def flush_input(self) -> None:
        """Drops input not yet read; the base version does nothing. A node calls
        it each time it starts its receiver."""

    def flush_output(self) -> None:
        """Drops output not yet sent; the base version does nothing."""

class MewSerial(Channel):
    """A channel over a serial port, opened by pyserial at construction.

    Bytes become characters one for one (Latin-1); frames leave as UTF-8,
    which is the same for the ASCII the protocol uses. A context manager:
    leaving the block closes the port.

    Examples:
        ```python
        with MewSerial(port="/dev/ttyUSB0", baudrate=9600, parity="O") as line:
            line.send_frame("%01#RDD001000010055\\r")
            answer = line.read() + line.receive_frame()
        ```
    """

    _serial: Serial
    def __init__(
        self,
        *,
        port: Optional[str] = None,
        baudrate: int = 9600,
        bytesize: int = 8,
        parity: str = "N",
        stopbits: float = 1,
        timeout: Optional[float] = 0.1,
        xonxoff: bool = False,
        rtscts: bool = False,
        write_timeout: Optional[float] = None,
        dsrdtr: bool = False,
        inter_byte_timeout: Optional[float] = None,
        exclusive: Optional[bool] = None,
    ) -> None:
        """Opens the port with pyserial's settings, passed on unchanged.

        Settings left out keep pyserial's defaults, except `timeout`.

        Args:
            port: The device (`/dev/ttyUSB0`, `COM3`, any name pyserial opens).
            baudrate: Characters per second on the line, as the stations use.
            bytesize: Data bits: 5 to 8.
            parity: "N", "E", "O", "M" or "S".
            stopbits: 1, 1.5 or 2.
            timeout: The longest one read waits, in seconds: the gap allowed
                between two characters of a frame, and how often a node's
                receiver sees a stop. 0.1 unless given; None waits forever.
            xonxoff: Software flow control.
            rtscts: RTS/CTS flow control.
            write_timeout: The longest a write waits, in seconds; None waits forever.
            dsrdtr: DSR/DTR flow control.
            inter_byte_timeout: pyserial's limit on the gap between bytes of one read.
            exclusive: Exclusive access to the port (POSIX).

        Raises:
            serial.SerialException: The port cannot be opened (an `IOError`).
            ValueError: A setting pyserial refuses.
        """

    def receive_frame(self) -> str:
        """The characters that follow, up to and including the carriage return.

        The time-out bounds the gap between two characters, not the frame.

        Raises:
            MewFormatError: "Error: device no response." when nothing arrived
                within the time-out; "Error: device response format invalid."
                when the characters stopped before a carriage return (they are
                dropped).
        """

    def send_frame(self, data: str) -> None:
        """Writes `data` to the port, without waiting for it to leave."""

    @property
    def in_waiting(self) -> int:
        """The number of received bytes not yet read."""

    def read(self, size: int = 1) -> str:
        """Up to `size` characters, waiting at most the port's time-out; the
        empty text when nothing arrived."""

    def close(self) -> None:
        """Closes the port."""

    def flush_input(self) -> None:
        """Drops received bytes not yet read."""

    def flush_output(self) -> None:
        """Drops bytes not yet transmitted."""

    def __del__(self) -> None:
        """Closes the port when the channel goes."""

    def __enter__(self) -> Self:
        """The channel itself, for the block of a `with` statement."""

    def __exit__(
        self,
        exc_type: Optional[type[BaseException]],
        exc_value: Optional[BaseException],
        traceback: Optional[TracebackType],
    ) -> None:
        """Closes the port on leaving the block; an exception leaving it goes on."""

class MewBase:
    """The link engine of every node: owns the line, runs the one thread that
    reads it, and hands each frame to whoever waits for it.

    Answers (`$`, `!`) go to the masters waiting for them, requests (`#`) to
    the node's request worker. The receiver reports what it cannot deliver on
    standard output and goes on: "MewBase: No query listener. Drop frame.",
    "MewBase: Unknown frame type: " with the character, "IOError from
    MewFullDuplex: " with the error (then a pause of 0.1 s), "Ignore unhandled
    exception: " with the error.

    The receiver is an ordinary thread: a program ends only when every node
    is stopped or closed. A `with` block does that on leaving it.
    """

    _channel: Channel
    _stop_flag: bool
    _feedback_listeners: list[Queue[str]]
    _query_listeners: list[Queue[str]]
    _listener_lock: Lock
    _sender_lock: Lock
    _receiver_thread: Optional[Thread]
    @overload
    def __init__(self, channel: Channel) -> None:
        """A node on `channel`, taken as it is. Starts nothing."""

    @overload
    def __init__(
        self,
        channel: str,
        *,
        baudrate: int = 9600,
        bytesize: int = 8,
        parity: str = "N",
        stopbits: float = 1,
        timeout: Optional[float] = 0.1,
        xonxoff: bool = False,
        rtscts: bool = False,
        write_timeout: Optional[float] = None,
        dsrdtr: bool = False,
        inter_byte_timeout: Optional[float] = None,
        exclusive: Optional[bool] = None,
    ) -> None:
        """A node on the serial port named `channel`, opened at once with the
        settings given (see `MewSerial`). Starts nothing.

        Raises:
            ValueError: A name that begins with neither "COM" nor "/dev/tty"
                (in any case): "Unknown device name: /dev/serial0". Open such a
                port with `MewSerial` and hand the node the channel.
            serial.SerialException: The port cannot be opened.
        """

    def start(self) -> None:
        """Starts the receiver thread, after dropping input that arrived while
        nobody listened. Does nothing while the receiver runs."""

    def stop(self) -> None:
        """Ends the receiver thread and waits for it: a frame being read is
        cancelled (on a `MewSerial`, or through the channel's own `cancel_read`),
        so it takes at most one read time-out. Does nothing on a stopped node.
        Never call it from the receiver thread."""

    def close(self) -> None:
        """Stops the node (its own `stop`, so all its threads) and closes the channel."""

    def _receiver(self) -> None: ...
    def _send(self, data: str) -> None:
        """Writes one whole frame under the send lock, so frames of several threads never mix."""

    def __enter__(self) -> Self:
        """The node itself, for the block of a `with` statement."""

    def __exit__(
        self,
        exc_type: Optional[type[BaseException]],
        exc_value: Optional[BaseException],
        traceback: Optional[TracebackType],
    ) -> None:
        """Closes the node on leaving the block; an exception leaving it goes on."""

class MewSlaveBase(ABC):
    """The slave role: turns a request for its station into an answer by
    asking six handlers, which a subclass implements.

    A handler gets the name in the very characters of the request: a
    contact as its code letter and four characters (`Y001A`), a word of
    contacts as the code letter and four digits (`X0000`), a register as the
    area letter and five digits (`D00100` for `DT100`). Read handlers return
    words of 0 to 65535. A request for another station is ignored with
    "Ignore other target frame."; a command the slave does not serve is
    answered with error code 03.

    The role reads and writes no line: `MewFullDuplex` and
    `RandomMewSlaveDemo` combine it with a link engine, whose request worker
    calls the handlers on its own thread.
    """

    _station: int
    def __init__(self, station: int) -> None:
        """A slave that answers as `station`."""

    def process_invalid_frame(self, frame: str) -> None:
        """Called for a request that is too short, lacks the head `%` or has a
        wrong check code; it is not answered. Prints "Invalid MEW frame: " and the frame;
        override it to count or log such frames."""

    @property
    def station(self) -> int:
        """The station this slave answers as."""

    def _process_request(self, command: str) -> str:
        """The answer to one request frame, check code and carriage return
        included, or the empty text when none is due (invalid frame, other
        station). Errors of parsing and of the handlers pass through."""

    @abstractmethod
    def on_get_coil(self, name: str) -> bool:
        """Reads one contact (RCS).

        Args:
            name: The code letter and four characters (`Y001A`).

        Returns:
            The contact's state.
        """

    @abstractmethod
    def on_get_multi_coil_uint16(self, name: str, count: int) -> list[int]:
        """Reads `count` words of contacts from `name` on (RCC).

        Args:
            name: The code letter and the first word number in four digits (`X0000`).
            count: How many words.

        Returns:
            One word (0 to 65535) per word of contacts, bit n for contact n; a
            value outside 0 to 65535 leaves the request unanswered with
            `ValueError` "16-bit value out of range 0 to 65535: 70000".
        """

    @abstractmethod
    def on_get_multi_uint16(self, name: str, count: int) -> list[int]:
        """Reads `count` registers from `name` on (RD).

        Args:
            name: The area letter and the first address in five digits (`D00100`).
            count: How many registers.

        Returns:
            One word (0 to 65535) per register, refused as for
            `on_get_multi_coil_uint16` when out of range.
        """

    @abstractmethod
    def on_set_coil(self, name: str, value: bool) -> None:
        """Sets (`value` true) or clears one contact (WCS); `name` as for `on_get_coil`."""

    @abstractmethod
    def on_set_multi_coil_uint16(self, name: str, values: list[int]) -> None:
        """Writes words of contacts from `name` on (WCC), one value (0 to 65535)
        per word; `name` as for `on_get_multi_coil_uint16`."""

    @abstractmethod
    def on_set_multi_uint16(self, name: str, values: list[int]) -> None:
        """Writes registers from `name` on (WD), one value (0 to 65535) per
        register; `name` as for `on_get_multi_uint16`."""

class MewMasterBase(MewBase):
    """The master half of a node: one request out, the matching answer back,
    within `query_timeout`. Does not start itself: `MewMaster` does."""

    _query_timeout: float
    _query_lock: Lock
    @overload
    def __init__(self, channel: Channel, *, query_timeout: float = 1) -> None:
        """A master on `channel`.

        Args:
            channel: The line.
            query_timeout: How long each exchange waits for its answer, in seconds.
        """

    @overload
    def __init__(
        self,
        channel: str,
        *,
        query_timeout: float = 1,
        baudrate: int = 9600,
        bytesize: int = 8,
        parity: str = "N",
        stopbits: float = 1,
        timeout: Optional[float] = 0.1,
        xonxoff: bool = False,
        rtscts: bool = False,
        write_timeout: Optional[float] = None,
        dsrdtr: bool = False,
        inter_byte_timeout: Optional[float] = None,
        exclusive: Optional[bool] = None,
    ) -> None:
        """A master on the serial port named `channel`, opened with the settings
        given (see `MewSerial`); `query_timeout` as with a channel. The name is
        refused as `MewBase` refuses it."""

    def query(self, command: str) -> str:
        """One exchange: sends a request and returns the text of its answer.

        Exchanges of several threads run one after the other. A request
        without its carriage return gets one, but no check code.

        Args:
            command: A whole request, as the builders of `MewStatic` make it.

        Returns:
            The answer between its type character and its check code: "RD6300"
            for the answer `%01$RD630013` and its carriage return.

        Raises:
            MewTimeoutError: "MewMasterBase: device response timeout." when no
                answer came within `query_timeout`.
            MewFormatError: "Error: device response format invalid: begin
                with: " and the first character; "Error: device response
                format invalid: length too small: 8".
            MewCheckCodeError: "Error: device response check code mismatch:
                expected 1C, got 1D" (a `**` check code is accepted).
            MewStationError: "Error: station not match: expected 16, got 17"
                (decimal numbers).
            MewErrorAnswer: "MEW communication error code(hex): 42" for an
                error answer; its `code` is 0x42.
            ValueError: An answer whose station field is not hexadecimal.
        """

    def _query(self, command: str) -> str:
        """The exchange of `query` without taking the query lock."""

class MewMaster(MewMasterBase):
    """A master that reads and writes contacts and registers of remote
    stations as booleans and integers, and starts itself when made.

    Each operation is one request and one answer; every failure of the
    exchange is the `MewError` of `query`, an `IOError`. A 32-bit value
    takes two registers, low word first. Names: a contact is a code letter
    and an address (`Y1A`), a word of contacts is `W`, the code and a word
    number (`WX0`), a register is an area code and an address (`DT100`, `S1`).

    Examples:
        ```python
        with MewMaster("/dev/ttyUSB0", baudrate=9600, parity="O") as master:
            print(master.get_uint16(1, "DT100"))
            master.set_coil(1, "Y0", True)
            master.set_multi_uint16(1, "DT200", (10, 20, 30))  # any sequence of words
        ```
    """

    @overload
    def __init__(self, channel: Channel, *, query_timeout: float = 1) -> None:
        """A running master on `channel`: its receiver thread reads the line
        when the constructor returns.

        Args:
            channel: The line.
            query_timeout: How long each exchange waits for its answer, in seconds.
        """

    @overload
    def __init__(
        self,
        channel: str,
        *,
        query_timeout: float = 1,
        baudrate: int = 9600,
        bytesize: int = 8,
        parity: str = "N",
        stopbits: float = 1,
        timeout: Optional[float] = 0.1,
        xonxoff: bool = False,
        rtscts: bool = False,
        write_timeout: Optional[float] = None,
        dsrdtr: bool = False,
        inter_byte_timeout: Optional[float] = None,
        exclusive: Optional[bool] = None,
    ) -> None:
        """A running master on the serial port named `channel` ("COM3",
        "/dev/ttyUSB0"), opened with the settings given (see `MewSerial`).

        Raises:
            ValueError: Any other name: "Unknown device name: tcp:5000".
            serial.SerialException: The port cannot be opened.
        """

    def get_coil(self, station: int, name: str) -> bool:
        """Reads one contact (`X0`, `Y1A`, `R100`) of `station`.

        Raises:
            MewError: As `query` raises it.
            ValueError: An address longer than four characters; nothing is sent.
        """

    def get_coil_uint16(self, station: int, name: str) -> int:
        """Reads one word of 16 contacts (`WX0`, `WY1`): bit n is contact n."""

    def get_multi_coil_uint16(self, station: int, name: str, count: int) -> list[int]:
        """Reads `count` words of contacts from `name` (`WX0`) on, in one request.

        Raises:
            MewError: As `query` raises it, or `MewFormatError` "Invalid feedback
                format: " and the answer when the answer does not hold `count` words.
            AssertionError: A name without `W`, or a count below 1; nothing is sent.
            ValueError: A word number outside 0 to 9999; nothing is sent.
        """

    def get_uint16(self, station: int, name: str) -> int:
        """Reads one register (`DT100`, `S1`): 0 to 65535."""

    def get_multi_uint16(self, station: int, name: str, count: int) -> list[int]:
        """Reads `count` registers from `name` on, in one request.

        Raises:
            MewError: As `query` raises it, or `MewFormatError` "Invalid feedback
                format: " and the answer when the answer does not hold `count` words.
            AssertionError: A count below 1; nothing is sent.
            ValueError: An address outside 0 to 99999; nothing is sent.
        """

    def get_int16(self, station: int, name: str) -> int:
        """Reads one register as a signed value: -32768 to 32767."""

    def get_uint32(self, station: int, name: str) -> int:
        """Reads two registers as one 32-bit value, low word at `name`."""

    def get_int32(self, station: int, name: str) -> int:
        """Reads two registers as one signed 32-bit value, low word at `name`."""

    def get_multi_uint32(self, station: int, name: str, count: int) -> list[int]:
        """Reads `count` 32-bit values (2 × `count` registers) in one request."""

    def get_multi_int32(self, station: int, name: str, count: int) -> list[int]:
        """Reads `count` signed 32-bit values (2 × `count` registers) in one request."""

    def set_coil(self, station: int, name: str, value: bool) -> None:
        """Sets (`value` true) or clears one contact (`Y1A`).

        Raises:
            MewError: As `query` raises it.
            ValueError: An address longer than four characters; nothing is sent.
        """

    def set_coil_uint16(self, station: int, name: str, value: int) -> None:
        """Writes one word of 16 contacts (`WY0`): bit n to contact n.

        Raises:
            MewError: As `query` raises it.
            ValueError: A value outside 0 to 65535 ("16-bit value out of range
                0 to 65535: 70000"); nothing is sent.
        """

    def set_multi_coil_uint16(self, station: int, name: str, values: Sequence[int]) -> None:
        """Writes words of contacts from `name` (`WY0`) on, in one request; each value 0 to 65535."""

    def set_uint16(self, station: int, name: str, value: int) -> None:
        """Writes one register; `value` 0 to 65535.

        Raises:
            MewError: As `query` raises it.
            ValueError: A value outside 0 to 65535 ("16-bit value out of range
                0 to 65535: 70000"), or an address outside 0 to 99999;
                nothing is sent.
        """

    def set_multi_uint16(self, station: int, name: str, values: Sequence[int]) -> None:
        """Writes registers from `name` on, in one request; each value 0 to 65535."""

    def set_uint32(self, station: int, name: str, value: int) -> None:
        """Writes a 32-bit value to two registers, low word at `name`. Bits above
        32 are dropped; a negative value is written in two's complement."""

    def set_int16(self, station: int, name: str, value: int) -> None:
        """Writes one register as a signed value.

        Raises:
            struct.error: A value outside -32768 to 32767; nothing is sent.
        """

    def set_int32(self, station: int, name: str, value: int) -> None:
        """Writes a signed 32-bit value to two registers, low word at `name`.

        Raises:
            struct.error: A value outside -2147483648 to 2147483647; nothing is sent.
        """

    def set_multi_int16(self, station: int, name: str, values: Sequence[int]) -> None:
        """Writes signed 16-bit values from `name` on, in one request; raises as `set_int16`."""

    def set_multi_uint32(self, station: int, name: str, values: Sequence[int]) -> None:
        """Writes 32-bit values, two registers each, low word first, in one request."""

    def set_multi_int32(self, station: int, name: str, values: Sequence[int]) -> None:
        """Writes signed 32-bit values, two registers each, in one request; raises as `set_int32`."""

class MewFullDuplex(MewMaster, MewSlaveBase):
    """Master and slave at once on one line: it answers the requests for its
    `slave_station` while its master operations ask other stations.

    Its own handlers answer zeros and ignore writes; subclass it and
    override them to serve real data. A request that cannot be answered (a
    malformed request, a failing handler) prints "MewFullDuplex: Request not
    answered: " with the error, and the node goes on.
    """

    _slave_thread: Optional[Thread]
    _slave_stop_flag: bool
    @overload
    def __init__(
        self, channel: Channel, *, query_timeout: float = 1, slave_station: int = 1
    ) -> None:
        """A running node on `channel`: receiver and request worker run when
        the constructor returns.

        Args:
            channel: The line.
            query_timeout: How long each exchange waits for its answer, in seconds.
            slave_station: The station it answers as, at least 1.

        Raises:
            AssertionError: `slave_station` below 1; nothing is started.
        """

    @overload
    def __init__(
        self,
        channel: str,
        *,
        query_timeout: float = 1,
        slave_station: int = 1,
        baudrate: int = 9600,
        bytesize: int = 8,
        parity: str = "N",
        stopbits: float = 1,
        timeout: Optional[float] = 0.1,
        xonxoff: bool = False,
        rtscts: bool = False,
        write_timeout: Optional[float] = None,
        dsrdtr: bool = False,
        inter_byte_timeout: Optional[float] = None,
        exclusive: Optional[bool] = None,
    ) -> None:
        """A running node on the serial port named `channel`, opened with the
        settings given (see `MewSerial`); the name is refused as `MewBase`
        refuses it."""

    def _check_and_process_request(self) -> None: ...
    def start(self) -> None:
        """Starts the receiver and the request worker, whichever is not running."""

    def stop(self) -> None:
        """Ends the receiver, then the request worker (within about 0.1 s plus
        the request in hand), and waits for both. Called by a handler, on the
        worker's own thread, it does not wait for the worker: the worker ends
        once the request in hand is answered, and a `close` there closes the
        channel after that answer has left."""

    def on_get_coil(self, name: str) -> bool:
        """Always false."""

    def on_get_multi_coil_uint16(self, name: str, count: int) -> list[int]:
        """`count` zeros."""

    def on_get_multi_uint16(self, name: str, count: int) -> list[int]:
        """`count` zeros."""

    def on_set_coil(self, name: str, value: bool) -> None:
        """Ignores the write."""

    def on_set_multi_coil_uint16(self, name: str, values: list[int]) -> None:
        """Ignores the write."""

    def on_set_multi_uint16(self, name: str, values: list[int]) -> None:
        """Ignores the write."""

class Inst(ABC):
    """One remote station of a bus, reached through a full-duplex node.

    Made by `InstManager` while it discovers the bus, or directly through a
    concrete class; construction reads the firmware version (register `S1`).
    """

    _mew: MewFullDuplex
    _station: int
    _firmware_version: int
    def __init__(self, mew: MewFullDuplex, station: int) -> None:
        """Reads the firmware version of `station` through `mew`.

        Raises:
            MewError: The station did not answer as `MewMasterBase.query` expects.
        """

    @staticmethod
    def query_inst_type(mew: MewFullDuplex, station: int) -> int:
        """Reads the station's type code (register `S0`): one of the `INST_TYPE_` constants."""

    @staticmethod
    def query_firmware_version(mew: MewFullDuplex, station: int) -> int:
        """Reads the station's firmware version (register `S1`)."""

    @property
    @abstractmethod
    def inst_type(self) -> int:
        """The instrument's type code."""

    @property
    def station(self) -> int:
        """The station number."""

    @property
    def firmware_version(self) -> int:
        """The firmware version read at construction, 0 to 65535."""

class InstUnknown(Inst):
    """A station whose type code is 0 or unknown."""

    def __init__(self, mew: MewFullDuplex, station: int) -> None:
        """Reads the firmware version of `station`, as `Inst` does."""

    @property
    def inst_type(self) -> int:
        """`INST_TYPE_UNKNOWN`, whatever code the station reported."""

class X16:
    """The 16 inputs of one digital station, read by index from its cache."""

    _inst_xy: InstXY
    def __init__(self, inst_xy: InstXY) -> None:
        """A view of the inputs of `inst_xy`."""

    def __getitem__(self, item: int) -> bool:
        """Input X`item` (0 to 15), from the cache; no request."""

class Y16:
    """The 16 outputs of one digital station: read from its cache, written on change."""

    _inst_xy: InstXY
    def __init__(self, inst_xy: InstXY) -> None:
        """A view of the outputs of `inst_xy`."""

    def __setitem__(self, key: int, value: bool) -> None:
        """Sets or clears output Y`key`, with one request only when it changes; see `InstXY.set_y`."""

    def __getitem__(self, item: int) -> bool:
        """Output Y`item` (0 to 15), from the cache; no request."""

class InstXY(Inst):
    """A digital input/output station: 16 inputs X0 to XF and 16 outputs Y0
    to YF, kept in a cache.

    Construction reads the firmware version and both words (`WX0`, `WY0`).
    Reads come from the cache and cost no request; a write goes to the
    station only when it changes the cached state, and the cache follows
    only after the write succeeded. Inputs are not read again: feed fresh
    ones with `on_update_wx`.
    """

    _x: int
    _y: int
    def __init__(self, mew: MewFullDuplex, station: int) -> None:
        """Reads the firmware version, the input word and the output word of `station`.

        Raises:
            MewError: One of the three reads failed; no instrument results.
        """

    @property
    def inst_type(self) -> int:
        """`INST_TYPE_XY`."""

    def get_x16_object(self) -> X16:
        """A new view of the 16 inputs."""

    def get_y16_object(self) -> Y16:
        """A new view of the 16 outputs."""

    def get_x(self, index: int) -> bool:
        """Input `index` from the cache.

        Raises:
            ValueError: A negative index.
        """

    def get_wx(self) -> int:
        """The input word from the cache: bit n is input n."""

    def get_y(self, index: int) -> bool:
        """Output `index` from the cache.

        Raises:
            ValueError: A negative index.
        """

    def get_wy(self) -> int:
        """The output word from the cache: bit n is output n."""

    def set_y(self, index: int, value: bool) -> None:
        """Sets or clears output `index` (0 to 15; Y0 to YF) when that changes it: one request.

        Raises:
            MewError: The write failed; the cache is unchanged.
            ValueError: A negative index; nothing is sent.
        """

    def set_wy(self, value: int) -> None:
        """Writes the output word (its low 16 bits) when that changes it: one request.

        Raises:
            MewError: The write failed; the cache is unchanged.
        """

    def on_update_wx(self, value: int) -> tuple[int, int]:
        """Puts a freshly learnt input word (its low 16 bits) into the cache; no request.

        Returns:
            The new word and the word it replaced.
        """

class InstAxis(Inst):
    """An axis station."""

    def __init__(self, mew: MewFullDuplex, station: int) -> None:
        """Reads the firmware version of `station`, as `Inst` does."""

    @property
    def inst_type(self) -> int:
        """`INST_TYPE_Axis`."""

class InstAD(Inst):
    """An analogue input station."""

    def __init__(self, mew: MewFullDuplex, station: int) -> None:
        """Reads the firmware version of `station`, as `Inst` does."""

    @property
    def inst_type(self) -> int:
        """`INST_TYPE_AD`."""

class _InstXList:
    """All inputs of all digital stations as one sequence of bits, 16 per
    station; what `InstManager.x` gives. Index 16 is X0 of the second
    station, -1 is XF of the last. No request.

    Raises:
        IndexError: An index beyond the stations.
    """

    _inst_x_list: list[InstXY]
    def __init__(self, inst_x_list: list[InstXY]) -> None:
        """A view over the live list `inst_x_list`."""

    def __getitem__(self, item: int) -> bool:
        """Input `item % 16` of station `item // 16`."""

class _InstWXList:
    """The input words of all digital stations, one per station; what
    `InstManager.wx` gives. No request.

    Raises:
        IndexError: An index beyond the stations.
    """

    _inst_wx_list: list[InstXY]
    def __init__(self, inst_wx_list: list[InstXY]) -> None:
        """A view over the live list `inst_wx_list`."""

    def __getitem__(self, item: int) -> int:
        """The input word of station `item`."""

class _InstYList:
    """All outputs of all digital stations as one sequence of bits, 16 per
    station; what `InstManager.y` gives. Reads cost no request, a write one
    request when it changes the output.

    Raises:
        IndexError: An index beyond the stations.
    """

    _inst_y_list: list[InstXY]
    def __init__(self, inst_y_list: list[InstXY]) -> None:
        """A view over the live list `inst_y_list`."""

    def __getitem__(self, item: int) -> bool:
        """Output `item % 16` of station `item // 16`."""

    def __setitem__(self, key: int, value: bool) -> None:
        """Sets or clears output `key % 16` of station `key // 16`; see `InstXY.set_y`."""

class _InstWYList:
    """The output words of all digital stations, one per station; what
    `InstManager.wy` gives. A write costs one request when it changes the word.

    Raises:
        IndexError: An index beyond the stations.
    """

    _inst_wy_list: list[InstXY]
    def __init__(self, inst_wy_list: list[InstXY]) -> None:
        """A view over the live list `inst_wy_list`."""

    def __getitem__(self, item: int) -> int:
        """The output word of station `item`."""

    def __setitem__(self, key: int, value: int) -> None:
        """Writes the output word of station `key`; see `InstXY.set_wy`."""

class InstManager(MewFullDuplex):
    """A full-duplex node that discovers the stations of a bus and shows the
    inputs and outputs of its digital stations as flat sequences.

    Examples:
        ```python
        with InstManager("/dev/ttyUSB0", baudrate=115200, query_timeout=0.3) as manager:
            manager.initialize_inst_list()
            print(manager.x[0], hex(manager.wx[0]))
            manager.y[17] = True
        ```
    """

    _all_list: list[Inst]
    _unknown_list: list[InstUnknown]
    _xy_list: list[InstXY]
    _axis_list: list[InstAxis]
    _ad_list: list[InstAD]
    _inst_list_dict: dict[int, list[Inst]]
    @overload
    def __init__(
        self, channel: Channel, *, query_timeout: float = 1, slave_station: int = 1
    ) -> None:
        """A running node on `channel` with no instruments yet; keywords as for `MewFullDuplex`."""

    @overload
    def __init__(
        self,
        channel: str,
        *,
        query_timeout: float = 1,
        slave_station: int = 1,
        baudrate: int = 9600,
        bytesize: int = 8,
        parity: str = "N",
        stopbits: float = 1,
        timeout: Optional[float] = 0.1,
        xonxoff: bool = False,
        rtscts: bool = False,
        write_timeout: Optional[float] = None,
        dsrdtr: bool = False,
        inter_byte_timeout: Optional[float] = None,
        exclusive: Optional[bool] = None,
    ) -> None:
        """A running node on the serial port named `channel` (see `MewSerial`
        for the settings) with no instruments yet."""

    def initialize_inst_list(self) -> None:
        """Walks the bus from station 1 upward, reading each station's type
        (`S0`) and making its instrument, until the first station that fails
        to answer; that failure ends the walk quietly.

        The stations must be numbered without gaps. The walk takes one
        `query_timeout` at its end. A second call appends every station again.
        """

    @property
    def inst_count(self) -> int:
        """How many stations were found."""

    @property
    def xy_count(self) -> int:
        """How many digital stations were found."""

    @property
    def axis_count(self) -> int:
        """How many axis stations were found."""

    @property
    def ad_count(self) -> int:
        """How many analogue stations were found."""

    @property
    def axis(self) -> list[InstAxis]:
        """The axis stations, in station order (the live list)."""

    @property
    def x(self) -> _InstXList:
        """All inputs of the digital stations as bits: `x[16]` is X0 of the second."""

    @property
    def y(self) -> _InstYList:
        """All outputs of the digital stations as bits; `y[n] = True` writes on change."""

    @property
    def wx(self) -> _InstWXList:
        """The input words of the digital stations, one per station."""

    @property
    def wy(self) -> _InstWYList:
        """The output words of the digital stations; `wy[n] = word` writes on change."""

class RandomMewSlaveDemo(MewBase, MewSlaveBase):
    """A slave for trying a master without hardware: reads are answered with
    random values, writes are printed ("Slave: Registers D00200 wrote to
    [1, 2, 3]"). Unlike the other nodes it starts only with `start`.

    A request that cannot be answered prints "RandomMewSlaveDemo: Request not
    answered: " with the error, and the slave goes on.
    """

    _slave_thread: Optional[Thread]
    _slave_stop_flag: bool
    @overload
    def __init__(self, station: int, channel: Channel) -> None:
        """A stopped demo slave answering as `station` on `channel`."""

    @overload
    def __init__(
        self,
        station: int,
        channel: str,
        *,
        baudrate: int = 9600,
        bytesize: int = 8,
        parity: str = "N",
        stopbits: float = 1,
        timeout: Optional[float] = 0.1,
        xonxoff: bool = False,
        rtscts: bool = False,
        write_timeout: Optional[float] = None,
        dsrdtr: bool = False,
        inter_byte_timeout: Optional[float] = None,
        exclusive: Optional[bool] = None,
    ) -> None:
        """A stopped demo slave answering as `station` on the serial port named
        `channel` (see `MewSerial` for the settings)."""

    def _check_and_process_request(self) -> None: ...
    def start(self) -> None:
        """Starts the receiver and the request worker, whichever is not running."""

    def stop(self) -> None:
        """Ends the request worker, then the receiver, and waits for both."""

    def on_get_coil(self, name: str) -> bool:
        """True or false at random."""

    def on_get_multi_coil_uint16(self, name: str, count: int) -> list[int]:
        """`count` random words, 0 to 65535."""

    def on_get_multi_uint16(self, name: str, count: int) -> list[int]:
        """`count` random words, 0 to 65535."""

    def on_set_coil(self, name: str, value: bool) -> None:
        """Prints the write: "Slave: Contact Y0001 is set to True"."""

    def on_set_multi_coil_uint16(self, name: str, values: list[int]) -> None:
        """Prints the write: "Slave: Contact Crow Y0000 wrote to [255]"."""

    def on_set_multi_uint16(self, name: str, values: list[int]) -> None:
        """Prints the write: "Slave: Registers D00200 wrote to [1, 2, 3]"."""

class MewError(IOError):
    """A failure of the line or of the protocol in one exchange: the base of
    the kinds below. Each is an `IOError`, so `except IOError` catches them
    all and the messages are the ones quoted under each operation.

    Examples:
        ```python
        with MewMaster("/dev/ttyUSB0", query_timeout=0.5) as master:
            try:
                print(master.get_uint16(1, "DT100"))
            except MewTimeoutError:
                print("no answer: check the station number, baud rate and wiring")
            except MewErrorAnswer as error:
                print("the station refused the request, code", error.code)
        ```

    A failure of the port itself (a pulled adapter, a closed port) is
    pyserial's own `SerialException` or `OSError`, never a `MewError`.
    """

class MewTimeoutError(MewError):
    """No answer came within the query time-out: "MewMasterBase: device
    response timeout.". The station number, the baud rate and parity or the
    wiring is wrong, or the station needs a longer `query_timeout`."""

class MewErrorAnswer(MewError):
    """The station answered with an error frame (`!`) and an error code:
    "MEW communication error code(hex): 42". `code` is that code as a number.

    | code | meaning |
    |---|---|
    | 03 | unknown command: the station does not serve the command |
    | 40 | check code error: the request reached the station with a wrong check code |
    | 41 | format error: the request is not laid out as the command needs |
    | 42 | command not supported |
    | 43 | multi-frame procedure error |
    | 45 | operation error |
    | 60 | parameter error |
    | 61 | data error |
    | 62 | registration error |
    | 65 | protected |

    Examples:
        >>> error = MewErrorAnswer("MEW communication error code(hex): 42", code=0x42)
        >>> error.code, isinstance(error, IOError)
        (66, True)
    """

    code: Optional[int]
    """The error code, 0x42 for the "42" of the frame; None when the station
    sent something other than two hexadecimal digits there, or when the
    error was made without one."""

    def __init__(self, *args: object, code: Optional[int] = None) -> None:
        """An error answer with `args` as any `IOError` takes them, and `code`."""

class MewCheckCodeError(MewError):
    """An answer whose check code does not fit its characters: "Error: device
    response check code mismatch: expected 1F, got 11". Something on the line
    changed them (noise, a loose wire, a wrong parity); the value is not
    handed on."""

class MewStationError(MewError):
    """An answer from another station than the one asked: "Error: station not
    match: expected 16, got 17" (decimal numbers)."""

class MewFormatError(MewError):
    """An answer that is not a frame as the protocol writes it: a wrong head
    ("Error: device response format invalid: begin with: X"), too short
    ("... length too small: 8"), cut short before its carriage return
    ("Error: device response format invalid."), missing after its first
    character ("Error: device no response."), or a word read whose answer
    does not hold the words asked for ("Invalid feedback format: RD12")."""
