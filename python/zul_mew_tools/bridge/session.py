"""The bridge: the scheduler of one line on one side, a session with an MQTT
broker on the other. What the scheduler reports is published as it comes; what
arrives on a command topic is written through the scheduler.

```python
from zul_mew_tools.bridge import Bridge, Broker
from zul_mew_tools.plant import load

with Bridge(load("plant.toml"), Broker.from_url("mqtt://localhost")) as bridge:
    ...  # the host's own work; the bridge runs on threads of its own
```

The session is paho-mqtt's, on its network thread (``loop_start``). The last
will says ``offline`` for the bridge before the first connection; every
connection subscribes again and announces everything again: the bridge's
status, the discovery configs, each station's availability and each point's
last known state, so that a broker that restarted empty, or a Home Assistant
that restarted, has all of it at once. While the broker is away nothing is kept
to send later: the next announcement says what is true then.
"""

from __future__ import annotations

import functools
import logging
import socket
import threading
from concurrent.futures import Future
from typing import Any, Callable, Optional, Set, Tuple

import paho.mqtt.client as mqtt
from paho.mqtt.enums import CallbackAPIVersion
from paho.mqtt.properties import Properties
from paho.mqtt.reasoncodes import ReasonCode

import zul_mew

from ..plant import HealthChange, Report, Scheduler, TagFile
from ..plant.health import LONGEST_WAIT
from ..vocabulary import SILENT
from .broker import Broker
from .discovery import configs
from .payloads import refusal, state_of, value_of
from .topics import AVAILABILITY, OFFLINE, ONLINE, PREFIX, ROOT, Topics, object_id, station_number

logger = logging.getLogger("zul_mew_tools.bridge")

# Seconds between the broker's pings: a bridge gone without a word is offline
# after one and a half of them.
KEEPALIVE = 30
# Seconds before a new try at a broker that went away, doubling from the first
# to the second: a broker back is found again within a few seconds.
RECONNECT_DELAY = (1, 3)
# How long the first connection may take to be accepted or refused.
CONNECT_TIMEOUT = 10.0
# How long a clean stop waits for the broker to take its last messages.
GOODBYE_TIMEOUT = 2.0


def check_names(tags: TagFile) -> None:
    """``ValueError`` for a point whose name cannot be a topic level of its own."""
    for station in tags.stations:
        for point in station.points:
            where = f"{station.label}, point {point.name!r}"
            if not point.name or any(ch in "/+#" for ch in point.name):
                raise ValueError(f"{where}: a topic level has no / + # and is not empty")
            if point.name == AVAILABILITY:
                raise ValueError(f"{where}: the station's availability has this topic; rename it")


def default_client_id(root: str) -> str:
    """One bridge per machine and root: a second client of the same id would
    take the first one's session away, again and again."""
    return f"zul-mew-{socket.gethostname()}-{object_id(root)}"


class Bridge:
    """Publishes the points of ``tags`` to ``broker`` under ``root`` and writes
    what comes on their command topics, until ``stop``; a ``with`` block starts
    and stops it.

    ``master`` is the line's node when the host opens it; otherwise the
    scheduler opens the port of ``tags.line`` (see ``Scheduler``, which is
    ``scheduler`` here). ``prefix`` is Home Assistant's discovery prefix.
    ``ValueError`` for a root, prefix or point name that cannot be a topic.
    """

    def __init__(
        self,
        tags: TagFile,
        broker: Broker,
        master: Optional[zul_mew.MewMaster] = None,
        *,
        root: str = ROOT,
        prefix: str = PREFIX,
        client_id: Optional[str] = None,
        reconnect_delay: Tuple[int, int] = RECONNECT_DELAY,
        longest_wait: float = LONGEST_WAIT,
    ) -> None:
        check_names(tags)
        self.tags = tags
        self.broker = broker
        self.topics = Topics(root, prefix)
        self.client_id = client_id or default_client_id(root)
        self._configs = list(configs(self.topics, tags))
        self.scheduler = Scheduler(
            tags, master, on_report=self._report, on_health=self._health, longest_wait=longest_wait
        )
        # Held while publishing, so that of two messages on one topic the newer goes last.
        self._lock = threading.Lock()
        self._connected = False
        self._answered = threading.Event()
        self._refused = ""
        self._started = False
        self._down: Set[int] = set()  # on the scheduler's thread
        self._client = self._session(reconnect_delay)

    def _session(self, reconnect_delay: Tuple[int, int]) -> mqtt.Client:
        client = mqtt.Client(
            CallbackAPIVersion.VERSION2, client_id=self.client_id, clean_session=True
        )
        broker = self.broker
        if broker.user:
            client.username_pw_set(broker.user, broker.password)
        if broker.tls:
            client.tls_set(ca_certs=broker.ca_file)
        client.will_set(self.topics.status, OFFLINE, qos=1, retain=True)
        client.reconnect_delay_set(*reconnect_delay)
        client.on_connect = _guarded(self._on_connect)
        client.on_disconnect = _guarded(self._on_disconnect)
        client.on_message = _guarded(self._on_message)
        return client

    # -- the host's side

    @property
    def connected(self) -> bool:
        """Whether the broker has the bridge now."""
        return self._connected

    def start(self) -> None:
        """Connects to the broker, then starts reading the line. ``OSError``
        when the broker cannot be reached, ``ConnectionError`` when it refuses
        the bridge, either before anything is read; ``OSError`` when the port
        cannot be opened. A bridge runs once."""
        if self._started:
            raise RuntimeError("the bridge was started already")
        self._started = True
        url = self.broker.url
        try:
            self._client.connect(self.broker.host, self.broker.port, KEEPALIVE)
        except OSError as error:
            raise OSError(f"cannot reach the broker {url}: {error}") from None
        self._client.loop_start()
        if not self._answered.wait(CONNECT_TIMEOUT) or self._refused:
            self._leave()
            why = self._refused or f"no answer in {CONNECT_TIMEOUT:g} s"
            raise ConnectionError(f"the broker {url} refused the bridge: {why}")
        try:
            self.scheduler.start()
        except BaseException:
            self._leave()
            raise

    def stop(self) -> None:
        """Stops reading the line, says ``offline`` for every station and the
        bridge, and disconnects cleanly; closes the line it opened. No thread
        is left."""
        if not self._started:
            return
        self.scheduler.stop()
        self._leave()

    def __enter__(self) -> "Bridge":
        self.start()
        return self

    def __exit__(self, *exc: object) -> None:
        self.stop()

    def _leave(self) -> None:
        goodbye: Optional[mqtt.MQTTMessageInfo] = None
        with self._lock:
            if self._connected:
                for station in self.tags.stations:
                    self._publish(self.topics.availability(station.number), OFFLINE)
                goodbye = self._publish(self.topics.status, OFFLINE)
            elif self._answered.is_set() and not self._refused:
                logger.warning("the broker %s is away: nobody was told offline", self.broker.url)
            self._connected = False
        if goodbye is not None:
            try:
                goodbye.wait_for_publish(GOODBYE_TIMEOUT)
                told = goodbye.is_published()
            except (RuntimeError, ValueError):
                told = False
            if not told:
                logger.warning("the broker %s did not take the offline status", self.broker.url)
        self._client.disconnect()
        self._client.loop_stop()

    # -- the broker's side, on paho's network thread

    def _on_connect(
        self,
        client: mqtt.Client,
        userdata: Any,
        flags: mqtt.ConnectFlags,
        reason: ReasonCode,
        properties: Optional[Properties],
    ) -> None:
        if reason.is_failure:
            logger.warning("the broker %s refused the bridge: %s", self.broker.url, reason)
            if not self._answered.is_set():
                self._refused = str(reason)
                self._answered.set()
            return
        # What the last connection left unsent is old news: the announcement says what is now.
        client.drop_out_messages()
        client.subscribe([(self.topics.commands, 1), (self.topics.home_assistant, 1)])
        with self._lock:
            self._connected = True
            self._announce()
        if self._answered.is_set():
            logger.info("connected to the broker %s again", self.broker.url)
        self._answered.set()

    def _on_disconnect(
        self,
        client: mqtt.Client,
        userdata: Any,
        flags: mqtt.DisconnectFlags,
        reason: ReasonCode,
        properties: Optional[Properties],
    ) -> None:
        with self._lock:
            lost, self._connected = self._connected, False
        if lost:
            logger.warning("lost the broker %s (%s): trying again", self.broker.url, reason)

    def _on_message(self, client: mqtt.Client, userdata: Any, message: mqtt.MQTTMessage) -> None:
        if message.topic == self.topics.home_assistant:
            # A retained status is an old one; Home Assistant's birth is news.
            if message.payload == ONLINE.encode() and not message.retain:
                logger.info("Home Assistant is online: announcing every point again")
                with self._lock:
                    if self._connected:
                        self._announce()
            return
        named = self.topics.command_of(message.topic)
        if named is not None:
            self._command(*named, bytes(message.payload))

    def _announce(self) -> None:
        """Everything retained, as it is now; the lock is held."""
        self._publish(self.topics.status, ONLINE)
        for topic, config in self._configs:
            self._publish(topic, config)
        for number, up in self.scheduler.health().items():
            self._publish(self.topics.availability(number), _availability(up))
        for (number, point), report in self.scheduler.last_values().items():
            assert report.value is not None
            self._publish(self.topics.state(number, point), state_of(report.value))

    def _publish(self, topic: str, payload: str, retain: bool = True) -> mqtt.MQTTMessageInfo:
        return self._client.publish(topic, payload, qos=1, retain=retain)

    # -- commands

    def _command(self, station: str, point: str, payload: bytes) -> None:
        try:
            number = station_number(station)
            where = self.tags.station(number)
            target = where.point(point)
        except (ValueError, KeyError) as error:
            self._refuse(station, point, payload, str(error.args[0]))
            return
        label = f"{where.label}, point {point!r}"
        try:
            if not target.writable:
                raise ValueError(f"{label} is read-only")
            try:
                value = value_of(target, payload)
            except ValueError as error:
                raise ValueError(f"{label}: {error}") from None
            future = self.scheduler.write(number, point, value)
        except ValueError as error:
            self._refuse(station, point, payload, str(error))
            return
        except RuntimeError:
            return  # the bridge is stopping
        future.add_done_callback(functools.partial(self._written, station, point, payload, label))

    def _written(
        self, station: str, point: str, payload: bytes, label: str, future: "Future[None]"
    ) -> None:
        if future.cancelled():
            self._refuse(station, point, payload, f"{label} not written: the bridge stopped")
        elif future.exception() is not None:
            self._refuse(station, point, payload, str(future.exception()))

    def _refuse(self, station: str, point: str, payload: bytes, reason: str) -> None:
        """A command that wrote nothing: once on the log, once on the error topic."""
        logger.warning("%s", reason)
        with self._lock:
            if self._connected:
                self._publish(self.topics.error, refusal(station, point, payload, reason), False)

    # -- the scheduler's side, on its thread

    def _report(self, report: Report) -> None:
        if not report.good:
            # A silent station is told by its availability; an error answer is the point's own.
            if report.quality not in SILENT:
                label = self.tags.station(report.station).label
                logger.warning("%s, point %r: %s", label, report.point, report.quality)
            return
        assert report.value is not None
        topic, state = self.topics.state(report.station, report.point), state_of(report.value)
        with self._lock:
            if self._connected:
                self._publish(topic, state)

    def _health(self, change: HealthChange) -> None:
        label = self.tags.station(change.station).label
        if not change.up:
            self._down.add(change.station)
            logger.warning("%s is down (%s)", label, change.reason)
        elif change.station in self._down:
            self._down.discard(change.station)
            logger.info("%s answers again", label)
        with self._lock:
            if self._connected:
                self._publish(self.topics.availability(change.station), _availability(change.up))


def _guarded(callback: Callable[..., None]) -> Callable[..., None]:
    """A callback of the session whose fault is logged: an exception would end
    paho's network thread, and with it the bridge's session."""

    @functools.wraps(callback)
    def guarded(*args: Any) -> None:
        try:
            callback(*args)
        except Exception:
            logger.exception("%s failed", callback.__name__)

    return guarded


def _availability(up: Optional[bool]) -> str:
    return ONLINE if up else OFFLINE
