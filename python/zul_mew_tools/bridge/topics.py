"""The bridge's topics: where a point's state, its commands and a station's
availability live under the bridge's root, where Home Assistant looks for the
discovery configs, and the ids those configs carry.

A station is its number in decimal (``zul_mew/1/X0``), so that every topic of
the interface stays the same when a station is given a name; the bridge's own
topics sit beside the stations under ``bridge``, which no station number can be.
"""

from __future__ import annotations

import re
import zlib
from typing import Optional, Tuple

ROOT = "zul_mew"
PREFIX = "homeassistant"
ONLINE, OFFLINE = "online", "offline"
# A point of this name would publish its state where its station's availability is.
AVAILABILITY = "availability"
# What Home Assistant takes in the node and object ids of a discovery topic.
ID_CHARACTER = re.compile(r"[A-Za-z0-9_-]")


def topic_root(what: str, text: str) -> str:
    """``text`` as the first levels of topics: ``ValueError`` for wildcards, an
    empty level, a leading ``$`` (the broker's own topics) or control characters."""
    if not text or text.startswith("$") or any(ch in "+#" or ord(ch) < 32 for ch in text):
        raise ValueError(
            f"{what} {text!r} must be non-empty, without + # or control characters,"
            " and not start with $"
        )
    if "" in text.split("/"):
        raise ValueError(f"{what} {text!r} has an empty level: no / at its ends or twice")
    return text


def station_number(text: str) -> int:
    """The station a topic level names: its number in decimal; ``ValueError``
    for anything else."""
    if not re.fullmatch(r"[0-9]+", text):
        raise ValueError(f"no station {text!r}: a station is its number in decimal")
    return int(text)


def object_id(text: str) -> str:
    """``text`` as an id of a discovery topic: itself when it is one, otherwise
    with every other character as ``_`` and a checksum of the text, so that two
    names that differ only there stay two ids."""
    plain = "".join(ch if ID_CHARACTER.fullmatch(ch) else "_" for ch in text)
    if plain == text:
        return text
    return f"{plain}_{zlib.crc32(text.encode('utf-8')):08x}"


class Topics:
    """The topics of one bridge: ``root`` for its stations and itself, ``prefix``
    for Home Assistant's discovery (``ValueError`` for one that cannot be)."""

    def __init__(self, root: str = ROOT, prefix: str = PREFIX) -> None:
        self.root = topic_root("the root", root)
        self.prefix = topic_root("the discovery prefix", prefix)
        self.status = f"{root}/bridge/status"
        self.error = f"{root}/bridge/error"
        self.commands = f"{root}/+/+/set"
        # Home Assistant's birth and last will.
        self.home_assistant = f"{prefix}/status"

    def state(self, station: int, point: str) -> str:
        return f"{self.root}/{station}/{point}"

    def command(self, station: int, point: str) -> str:
        return f"{self.root}/{station}/{point}/set"

    def availability(self, station: int) -> str:
        return f"{self.root}/{station}/{AVAILABILITY}"

    def command_of(self, topic: str) -> Optional[Tuple[str, str]]:
        """The station (as the topic spells it) and point a command topic names,
        or None for a topic that is no command."""
        head = f"{self.root}/"
        if not topic.startswith(head) or not topic.endswith("/set"):
            return None
        levels = topic[len(head) : -len("/set")].split("/")
        return (levels[0], levels[1]) if len(levels) == 2 else None

    def node(self, station: int) -> str:
        """The station's node id in discovery topics, and its device's identifier."""
        return object_id(f"{self.root}_{station}")

    def config(self, component: str, station: int, point: str) -> str:
        return f"{self.prefix}/{component}/{self.node(station)}/{object_id(point)}/config"
