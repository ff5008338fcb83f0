"""A channel to a line reached through a URL: a serial device server on the network.

pyserial opens ``socket://host:port`` (a raw TCP port of a serial device
server), ``rfc2217://host:port`` (a Telnet port that also carries the serial
settings) and ``loop://`` (whatever is written comes back), as well as plain
device names. The channel behaves like the module's serial channel: one
character per byte, frames cut at the carriage return, the same two errors.
"""

from __future__ import annotations

import os
from typing import Any, Dict

import serial  # type: ignore[import-untyped]

import zul_mew

_TAIL = b"\r"

# A frame is given up once this many characters came without its carriage
# return, as the serial channel gives it up: a line that babbles costs no more.
LONGEST_FRAME = 65536


class UrlChannel(zul_mew.Channel):
    """A ``Channel`` over ``serial.serial_for_url``; settings go to pyserial unchanged,
    the read time-out defaults to 0.1 s like the serial channel's."""

    def __init__(self, url: str, **kwargs: Any) -> None:
        kwargs.setdefault("timeout", 0.1)
        self.url = url
        self._serial = serial.serial_for_url(url, **kwargs)
        self._cancelled = False

    def read(self, size: int = 1) -> str:
        return str(self._serial.read(size).decode("latin"))

    def receive_frame(self) -> str:
        # The time-out bounds the gap between two characters, not the frame, and no
        # byte past the carriage return is taken: it belongs to the next frame.
        frame = bytearray()
        while len(frame) < LONGEST_FRAME and not self._cancelled:
            byte = self._serial.read(1)
            if not byte:
                break
            frame += byte
            if byte == _TAIL:
                return frame.decode("latin")
        self._cancelled = False
        if not frame:
            raise zul_mew.MewFormatError("Error: device no response.")
        raise zul_mew.MewFormatError("Error: device response format invalid.")

    def send_frame(self, data: str) -> None:
        self._serial.write(data.encode())

    @property
    def in_waiting(self) -> int:
        # A network port only knows whether something is waiting: 1 or 0.
        return int(self._serial.in_waiting)

    def close(self) -> None:
        self._serial.close()

    def flush_input(self) -> None:
        # A cancel of an earlier run belongs to no frame of the next one.
        self._cancelled = False
        self._serial.reset_input_buffer()

    def cancel_read(self) -> None:
        """Ends a frame being read within one read time-out: a node's stop calls it."""
        self._cancelled = True
        cancel = getattr(self._serial, "cancel_read", None)
        if cancel is not None:
            cancel()

    def flush_output(self) -> None:
        self._serial.reset_output_buffer()

    def __repr__(self) -> str:
        return f"UrlChannel({self.url!r})"


def held_alone(port: str, settings: Dict[str, Any]) -> Dict[str, Any]:
    """``settings`` for ``port``, with a serial device opened for this program alone
    where the system can lock it: a second program on the same port would take a
    share of the answers, and gets "port busy" instead."""
    if "://" not in port and os.name == "posix":
        return {**settings, "exclusive": True}
    return settings


def open_channel(port: str, **settings: Any) -> zul_mew.Channel:
    """The channel for a port as a person names it: a URL (anything with "://")
    through pyserial's URL handlers, otherwise a serial device."""
    if "://" in port:
        return UrlChannel(port, **settings)
    return zul_mew.MewSerial(port=port, **settings)
