"""What travels in the bridge's messages: a point's state as text, a command's
payload as a value for the point, and a refused command as one JSON object."""

from __future__ import annotations

import json

from ..plant import Point
from ..plant.points import PointValue
from .topics import station_number

ON, OFF = "ON", "OFF"
# Enough of a refused payload to recognise it; the rest is not worth a message.
SHOWN = 64


def state_of(value: PointValue) -> str:
    """``ON``/``OFF`` for a contact, decimal text for a number (scaled)."""
    if isinstance(value, bool):
        return ON if value else OFF
    return repr(value) if isinstance(value, float) else str(value)


def value_of(point: Point, payload: bytes) -> PointValue:
    """The value a command's payload asks ``point`` to take: ``ON``/``OFF`` or
    ``1``/``0`` for a contact, a number for a word or register; ``ValueError``
    says why not. The range is the point's to check."""
    try:
        text = payload.decode("utf-8")
    except UnicodeDecodeError:
        raise ValueError("the payload is not UTF-8 text") from None
    return point.parse(text)


def refusal(station: str, point: str, payload: bytes, reason: str) -> str:
    """A command that wrote nothing, for ``ROOT/bridge/error``: the station and
    point as the topic named them, the payload as it came and why."""
    shown = payload[:SHOWN].decode("utf-8", errors="replace")
    try:
        number: object = station_number(station)
    except ValueError:
        number = station
    return json.dumps(
        {"station": number, "point": point, "payload": shown, "error": reason},
        ensure_ascii=False,
    )
