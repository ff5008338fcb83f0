"""The reconnecting channel: a node outlives its port going away and coming back,
on a virtual cable unplugged and plugged in again and on a network serial server
stopped and started again."""

import logging
import socket
import subprocess
import sys
import threading
import time

import pytest

import zul_mew
from zul_mew_tools.cable import NullModemCable
from zul_mew_tools.reconnect import ReconnectingChannel
from zul_mew_tools.sim import MemoryNode, make_station
from zul_mew_tools.urlchannel import open_channel


def reconnecting(port):
    return ReconnectingChannel(lambda: zul_mew.MewSerial(port=port), port)


class NetworkServer:
    """A network serial server with station 1 behind it, on one TCP port."""

    def __init__(self):
        self.station = make_station("xy", 1)
        self.address = ("127.0.0.1", 0)
        self.start()

    def start(self):
        self._listener = socket.create_server(self.address)
        self.address = self._listener.getsockname()
        self._listener.settimeout(0.05)
        self._running = True
        self._thread = threading.Thread(target=self._serve)
        self._thread.start()

    def stop(self):
        self._running = False
        self._thread.join()
        self._listener.close()

    def _serve(self):
        while self._running:
            try:
                connection, _ = self._listener.accept()
            except socket.timeout:
                continue
            with connection:
                connection.settimeout(0.05)
                self._answer(connection)

    def _answer(self, connection):
        frame = b""
        while self._running:
            try:
                data = connection.recv(100)
            except socket.timeout:
                continue
            if not data:
                return
            frame += data
            while b"\r" in frame:
                request, frame = frame.split(b"\r", 1)
                answer = self.station._process_request(request.decode() + "\r")
                connection.sendall(answer.encode())


@pytest.fixture
def cable_line():
    with NullModemCable(links=True) as cable:
        station = MemoryNode(reconnecting(cable.ports[0]), slave_station=1)
        try:
            yield cable.ports[1], cable.unplug, cable.plug
        finally:
            station.close()


@pytest.fixture
def network_line():
    server = NetworkServer()
    try:
        yield "socket://{}:{}".format(*server.address), server.stop, server.start
    finally:
        server.stop()


def _until(what, seconds):
    deadline = time.monotonic() + seconds
    while not what():
        assert time.monotonic() < deadline, "not in time"
        time.sleep(0.05)


def _answers(master):
    try:
        master.get_uint16(1, "S0")
        return True
    except IOError:
        return False


@pytest.mark.parametrize("line", ["cable_line", "network_line"])
def test_a_node_outlives_its_port(request, caplog, line):
    port, cut, restore = request.getfixturevalue(line)
    channel = ReconnectingChannel(lambda: open_channel(port), port)
    master = zul_mew.MewMaster(channel, query_timeout=0.5)
    try:
        with caplog.at_level(logging.INFO, logger="zul_mew_tools.reconnect"):
            assert _answers(master)
            cut()
            _until(lambda: not channel.connected, 3)
            began = time.monotonic()
            with pytest.raises(IOError, match="the port is away"):
                master.get_uint16(1, "S0")
            assert time.monotonic() - began < 0.1  # at once, not after the time-out
            restore()
            _until(lambda: _answers(master), 5)
    finally:
        master.close()
    said = [record.getMessage() for record in caplog.records if port in record.getMessage()]
    assert said[0].startswith(f"{port}: lost (")
    attempts = [text for text in said[1:-1] if ": attempt " in text]
    assert said[1:-1] == attempts
    assert said[-1] == f"{port}: back at attempt {len(attempts) + 1}"


def test_poll_goes_on_across_an_unplugged_cable(cable_line):
    port, unplug, plug = cable_line
    poll = subprocess.Popen(
        [sys.executable, "-m", "zul_mew_tools.cli", "poll", port, "1", "S0", "--interval", "100"]
        + ["--polls", "40", "--query-timeout", "0.3"],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )
    try:
        assert "S0 = 0" in poll.stdout.readline()
        unplug()
        time.sleep(0.5)
        plug()
        out, err = poll.communicate(timeout=20)
    finally:
        if poll.poll() is None:
            poll.kill()
            poll.communicate()
    lines = out.splitlines()
    failed = [i for i, line in enumerate(lines) if "the port is away" in line]
    assert failed and "S0 = 0" in lines[failed[-1] + 1]
    assert f"{port}: lost (" in err and f"{port}: back at attempt" in err
