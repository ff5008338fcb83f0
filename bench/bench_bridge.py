"""The MQTT bridge on the simulated bus, with a Mosquitto of its own on a free
loopback port.

Prints
  - the time from an input changed on a simulated station to its new state at
    a subscriber, with the stations read every 0.1 s: median, 99th percentile
    and greatest, over changes made at random moments of the poll cycle (half
    a cycle on average is the wait for the next read, the rest is the bridge);
  - the messages per second one bridge carries for 8 XY stations whose 16
    inputs all change at every read (17 states a read: the contacts and their
    word), read every 0.1 s and then as fast as the line goes; a rate counts
    as sustained when the last message arrives soon after the inputs stop
    changing, with no backlog to drain.
It ends with one line: RESULT latency-median-ms=... latency-p99-ms=...
messages-per-second=...

Run: python3 bench/bench_bridge.py   (needs mosquitto, paho-mqtt, the installed zul_mew)
"""

from __future__ import annotations

import dataclasses
import random
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from typing import List

import paho.mqtt.client as mqtt
from paho.mqtt.enums import CallbackAPIVersion

import zul_mew
from zul_mew_tools.bridge import Bridge, Broker
from zul_mew_tools.cable import NullModemCable
from zul_mew_tools.plant import Line, TagFile, discovered
from zul_mew_tools.sim import BusStation, SimBus

CHANGES = 200
POLL = 0.1
STATIONS = 8
WINDOW = 5.0  # seconds of each throughput run
DRAIN = 2.0  # seconds the subscriber is given after it
OWN_TOPICS = ("/availability", "/status")


class Flipping(BusStation):
    """An XY station whose inputs all change at every read of them, while ``flipping``."""

    flipping = True

    def on_get_multi_coil_uint16(self, name: str, count: int) -> List[int]:
        if name.startswith("X") and self.flipping:
            with self._memory_lock:
                self.words[("X", 0)] = self.words.get(("X", 0), 0) ^ 0xFFFF
        return super().on_get_multi_coil_uint16(name, count)


def broker(directory: str) -> "tuple[subprocess.Popen[bytes], int]":
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    config = f"{directory}/mosquitto.conf"
    with open(config, "w") as file:
        file.write(f"listener {port} 127.0.0.1\nallow_anonymous true\npersistence false\n")
    mosquitto = shutil.which("mosquitto") or shutil.which("mosquitto", path="/usr/sbin")
    if mosquitto is None:
        sys.exit("bench_bridge: mosquitto is missing (tools/bridge-deps.sh installs it)")
    process = subprocess.Popen([mosquitto, "-c", config], stderr=subprocess.DEVNULL)
    deadline = time.monotonic() + 10
    while True:
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return process, port
        except OSError:
            if time.monotonic() > deadline:
                sys.exit("bench_bridge: mosquitto did not start")
            time.sleep(0.02)


class Subscriber:
    """Counts what arrives on ``topic``, and tells a waiter of each message."""

    def __init__(self, port: int, topic: str) -> None:
        self.count = 0
        self.last: "dict[str, tuple[str, float]]" = {}
        self.arrived = threading.Condition()
        subscribed = threading.Event()
        self.client = mqtt.Client(CallbackAPIVersion.VERSION2)
        self.client.on_connect = lambda client, *_: client.subscribe(topic, qos=1)
        self.client.on_subscribe = lambda *_: subscribed.set()
        self.client.on_message = self._heard
        self.client.connect("127.0.0.1", port)
        self.client.loop_start()
        if not subscribed.wait(10):
            sys.exit("bench_bridge: no subscription")

    def _heard(self, client: mqtt.Client, userdata: object, message: mqtt.MQTTMessage) -> None:
        with self.arrived:
            self.count += 1
            self.last[message.topic] = (message.payload.decode(), time.perf_counter())
            self.arrived.notify_all()

    def wait_for(self, topic: str, payload: str, timeout: float = 5.0) -> float:
        with self.arrived:
            if not self.arrived.wait_for(
                lambda: self.last.get(topic, ("", 0.0))[0] == payload, timeout
            ):
                sys.exit(f"bench_bridge: {topic} never said {payload}")
            return self.last[topic][1]

    def close(self) -> None:
        self.client.disconnect()
        self.client.loop_stop()


def tags_for(port: str, interval: float, stations: int) -> TagFile:
    found = [(number, "XY", "1.03") for number in range(1, stations + 1)]
    tags = discovered(Line(port), found)
    return TagFile(
        tags.line, tuple(dataclasses.replace(each, interval=interval) for each in tags.stations)
    )


def latency(port: int) -> List[float]:
    """Milliseconds from each input change to its state at the subscriber."""
    with NullModemCable() as cable:
        bus = SimBus.with_layout(zul_mew.MewSerial(port=cable.ports[0]), 1, ["xy"] * STATIONS)
        bus.start()
        subscriber = Subscriber(port, "bench/1/X3")
        try:
            tags = tags_for(cable.ports[1], POLL, STATIONS)
            with Bridge(tags, Broker("127.0.0.1", port), root="bench"):
                subscriber.wait_for("bench/1/X3", "OFF")
                times = []
                memory = bus.stations[1]
                for change in range(CHANGES):
                    time.sleep(random.uniform(0, POLL))
                    on = change % 2 == 0
                    with memory._memory_lock:
                        word = memory.words.get(("X", 0), 0)
                        memory.words[("X", 0)] = word | 0x0008 if on else word & ~0x0008
                        began = time.perf_counter()
                    arrived = subscriber.wait_for("bench/1/X3", "ON" if on else "OFF")
                    times.append(1000 * (arrived - began))
                return times
        finally:
            subscriber.close()
            bus.close()


def throughput(port: int, interval: float, directory: str) -> "tuple[float, float, float]":
    """Messages per second at a subscriber of its own process (mosquitto_sub,
    which stamps each message) while the inputs change, reads per second, and
    the milliseconds from the inputs' last change until the last of its
    messages arrived: a bridge that keeps up has no backlog to drain."""
    heard = f"{directory}/heard-{interval:g}"
    client = shutil.which("mosquitto_sub")
    if client is None:
        sys.exit("bench_bridge: mosquitto_sub is missing (tools/bridge-deps.sh installs it)")
    subscriber = subprocess.Popen(
        [client, "-h", "127.0.0.1", "-p", str(port), "-t", "flip/+/+", "-F", "%U %t"],
        stdout=open(heard, "w"),
    )
    with NullModemCable() as cable:
        stations = [
            Flipping(number, zul_mew.INST_TYPE_XY, 0x0103) for number in range(1, STATIONS + 1)
        ]
        bus = SimBus(zul_mew.MewSerial(port=cable.ports[0]), stations)
        bus.start()
        try:
            time.sleep(0.5)  # the subscription is made
            tags = tags_for(cable.ports[1], interval, STATIONS)
            with Bridge(tags, Broker("127.0.0.1", port), root="flip") as bridge:
                time.sleep(1.0)  # the announcement and the first reads are no steady rate
                began, sent = time.time(), reads_of(bridge)
                time.sleep(WINDOW)
                for station in stations:
                    station.flipping = False
                still = time.time()
                reads = reads_of(bridge) - sent
                time.sleep(DRAIN)
        finally:
            subscriber.terminate()
            subscriber.wait(timeout=10)
            bus.close()
    with open(heard) as stamps:
        # The states only: the availabilities and the status said at the stop are no load.
        lines = [line.split() for line in stamps]
        times = [float(stamp) for stamp, topic in lines if not topic.endswith(OWN_TOPICS)]
    last = max(times)
    carried = sum(began <= each for each in times)
    return carried / (last - began), reads / WINDOW, 1000 * max(last - still, 0.0)


def reads_of(bridge: Bridge) -> int:
    return sum(each.sent for each in bridge.scheduler.statistics().values())


def main() -> None:
    with tempfile.TemporaryDirectory() as directory:
        process, port = broker(directory)
        try:
            times = sorted(latency(port))
            median = statistics.median(times)
            p99 = times[int(0.99 * (len(times) - 1))]
            print(f"input change to subscriber, poll every {POLL:g} s, {CHANGES} changes:")
            print(f"  median {median:.1f} ms, 99th percentile {p99:.1f} ms, max {times[-1]:.1f} ms")
            print(f"messages per second, one bridge, {STATIONS} XY stations, all inputs changing:")
            best = 0.0
            for interval in (POLL, 0.001):
                rate, reads, drained = throughput(port, interval, directory)
                best = max(best, rate)
                print(
                    f"  read every {interval:g} s: {rate:.0f} messages/s, {reads:.0f} reads/s,"
                    f" last message {drained:.0f} ms after the last change"
                )
            print(
                f"RESULT latency-median-ms={median:.1f} latency-p99-ms={p99:.1f}"
                f" messages-per-second={best:.0f}"
            )
        finally:
            process.terminate()
            process.wait(timeout=10)


if __name__ == "__main__":
    main()
