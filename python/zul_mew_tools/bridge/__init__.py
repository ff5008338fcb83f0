"""The MQTT bridge: a plant's points published to a broker as they change,
commands on their ``set`` topics written to the stations, each station's
availability from its health, and Home Assistant's discovery for all of it.
It needs the ``mqtt`` extra (paho-mqtt)."""

from .broker import PASSWORD_VARIABLE, Broker, password_from
from .session import Bridge
from .topics import PREFIX, ROOT, Topics

__all__ = ["PASSWORD_VARIABLE", "PREFIX", "ROOT", "Bridge", "Broker", "Topics", "password_from"]
