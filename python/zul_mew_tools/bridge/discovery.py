"""Home Assistant's discovery: one retained config per point, so that every
point of the bus shows up as an entity of its station's device with no
configuration written by hand.

Inputs are binary sensors, outputs switches, words and registers sensors, and
writable words and registers numbers with the point's range; each entity is
available only while both the bridge and its station are.
"""

from __future__ import annotations

import json
from importlib import metadata
from typing import Any, Dict, Iterator, Tuple, Union

from ..plant import Point, Station, TagFile
from .payloads import OFF, ON
from .topics import OFFLINE, ONLINE, Topics, object_id

# The finest step Home Assistant's number takes.
FINEST_STEP = 0.001


def component_of(point: Point) -> str:
    if point.type == "bool":
        return "switch" if point.writable else "binary_sensor"
    return "number" if point.writable else "sensor"


def configs(topics: Topics, tags: TagFile) -> Iterator[Tuple[str, str]]:
    """Each point's discovery topic and config (JSON text), station by station."""
    origin = _origin()
    for station in tags.stations:
        device = device_of(topics, station)
        for point in station.points:
            topic = topics.config(component_of(point), station.number, point.name)
            config = config_of(topics, station, point, device)
            config["origin"] = origin
            yield topic, json.dumps(config, ensure_ascii=False)


def device_of(topics: Topics, station: Station) -> Dict[str, Any]:
    """The device block of a station: one per station and bridge root."""
    device: Dict[str, Any] = {
        "identifiers": [topics.node(station.number)],
        "name": station.name or f"{topics.root} station {station.number}",
    }
    if station.kind:
        device["model"] = f"{station.kind} station"
    if station.firmware:
        device["sw_version"] = station.firmware
    return device


def config_of(
    topics: Topics, station: Station, point: Point, device: Dict[str, Any]
) -> Dict[str, Any]:
    number = station.number
    config: Dict[str, Any] = {
        "name": point.name,
        "unique_id": f"{topics.node(number)}_{object_id(point.name)}",
        "state_topic": topics.state(number, point.name),
        "availability": [
            {"topic": topic, "payload_available": ONLINE, "payload_not_available": OFFLINE}
            for topic in (topics.status, topics.availability(number))
        ],
        "availability_mode": "all",
        "device": device,
        "qos": 1,
    }
    if point.writable:
        config["command_topic"] = topics.command(number, point.name)
    if point.type == "bool":
        config.update(payload_on=ON, payload_off=OFF)
        return config
    if point.unit:
        # A value with a unit is a measurement: Home Assistant keeps its history.
        config.update(unit_of_measurement=point.unit, state_class="measurement")
    if point.writable:
        low, high = point.range()
        config.update(min=_plain(low), max=_plain(high), step=_plain(_step(point)), mode="box")
    return config


def _step(point: Point) -> float:
    if point.type == "f32":
        return FINEST_STEP
    return max(float(f"{abs(point.scale):.15g}"), FINEST_STEP)


def _plain(number: float) -> Union[int, float]:
    """A whole number without its ``.0``, as people write a range."""
    return int(number) if number.is_integer() and abs(number) < 2**53 else number


def _origin() -> Dict[str, str]:
    origin = {"name": "zul-mew bridge"}
    try:
        origin["sw_version"] = metadata.version("zul_mew")
    except metadata.PackageNotFoundError:
        pass
    return origin
