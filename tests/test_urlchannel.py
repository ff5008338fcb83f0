"""The URL channel: a line reached through a serial device server on the network.

The device server here is a small relay on the loopback interface: one TCP
connection on one side, one end of the virtual null-modem cable on the other,
raw (socket://) or with the Telnet serial options (rfc2217://).
"""

import select
import socket
import threading
import time

import pytest
import serial
import serial.rfc2217

import zul_mew
from zul_mew_tools.listening import ListeningChannel
from zul_mew_tools.sim import MemoryNode
from zul_mew_tools.urlchannel import UrlChannel, open_channel


class PtyPort(serial.Serial):
    """A pseudo-terminal has no modem lines; a device server reports them idle."""

    cts = dsr = ri = cd = False

    def _update_rts_state(self):
        pass

    def _update_dtr_state(self):
        pass


class DeviceServer:
    """Accepts one connection on 127.0.0.1 and relays it to a serial port."""

    def __init__(self, port, telnet=False):
        self._listener = socket.create_server(("127.0.0.1", 0))
        self._listener.settimeout(2)
        self.address = self._listener.getsockname()[1]
        self._serial = PtyPort(port, timeout=0)
        self._telnet = telnet
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run)
        self._thread.start()

    def _run(self):
        try:
            connection, _ = self._listener.accept()
        except OSError:
            return
        with connection:
            # The Telnet side answers option negotiation through an object with write().
            wire = type("Wire", (), {"write": staticmethod(connection.sendall)})
            manager = serial.rfc2217.PortManager(self._serial, wire) if self._telnet else None
            while not self._stop.is_set():
                ready, _, _ = select.select([connection, self._serial], [], [], 0.05)
                if self._serial in ready:
                    data = self._serial.read(4096)
                    connection.sendall(b"".join(manager.escape(data)) if manager else data)
                if connection in ready:
                    data = connection.recv(4096)
                    if not data:
                        return
                    self._serial.write(b"".join(manager.filter(data)) if manager else data)

    def close(self):
        self._stop.set()
        self._listener.close()
        self._thread.join()
        self._serial.close()


@pytest.fixture
def tcp_peer():
    """A channel on socket:// and the raw connection behind it, as the station's side."""
    listener = socket.create_server(("127.0.0.1", 0))
    listener.settimeout(2)
    channel = UrlChannel(f"socket://127.0.0.1:{listener.getsockname()[1]}", timeout=0.1)
    peer, _ = listener.accept()
    yield channel, peer
    channel.close()
    peer.close()
    listener.close()


def test_frames_cross_the_network_whole(tcp_peer):
    channel, peer = tcp_peer
    channel.send_frame("%01#RCSX00011C\r")
    assert peer.recv(100) == b"%01#RCSX00011C\r"
    peer.sendall(b"%01$RC120\r%01$WC14\r")
    assert channel.read() == "%"
    assert channel.receive_frame() == "01$RC120\r"
    assert channel.read() + channel.receive_frame() == "%01$WC14\r"


@pytest.mark.parametrize(
    "arriving, message",
    [
        (b"", "Error: device no response."),
        (b"%01$R", "Error: device response format invalid."),
    ],
    ids=["silence", "cut-short"],
)
def test_receive_frame_fails_like_the_serial_channel(tcp_peer, arriving, message):
    channel, peer = tcp_peer
    peer.sendall(arriving)
    began = time.monotonic()
    with pytest.raises(zul_mew.MewFormatError, match=message):
        channel.receive_frame()
    assert time.monotonic() - began < 1


def babble(peer, piece, pause, done):
    # A full socket buffer holds a send up: the wait is bounded, so the end of the test is seen.
    peer.settimeout(0.1)
    while not done.is_set():
        try:
            peer.sendall(piece)
        except socket.timeout:
            continue
        except OSError:
            return
        time.sleep(pause)


def within(seconds, call):
    """What ``call`` returned or raised, run on a thread that gets ``seconds``."""
    outcome = []

    def run():
        try:
            outcome.append(call())
        except Exception as error:
            outcome.append(error)

    thread = threading.Thread(target=run)
    thread.start()
    thread.join(timeout=seconds)
    return outcome[0] if outcome else "still running"


def stop_a_node(channel):
    node = zul_mew.MewBase(channel)
    node.start()
    time.sleep(0.3)
    return within(1, node.stop)


# A server that sends without a carriage return: the frame is given up at its
# longest, and a node on it stops at once, however slowly it babbles.
@pytest.mark.parametrize(
    "piece, pause, act, expected",
    [
        (b"x" * 4096, 0, lambda channel: str(within(5, channel.receive_frame)),
         "Error: device response format invalid."),
        (b"x", 0.005, stop_a_node, None),
    ],
    ids=["gives-up", "stops"],
)  # fmt: skip
def test_a_server_that_never_ends_a_frame(tcp_peer, piece, pause, act, expected):
    channel, peer = tcp_peer
    done = threading.Event()
    sender = threading.Thread(target=babble, args=(peer, piece, pause, done))
    sender.start()
    try:
        assert act(channel) == expected
    finally:
        done.set()
        sender.join()


def test_bytes_are_read_one_character_each(tcp_peer):
    channel, peer = tcp_peer
    peer.sendall(b"\xb5A")
    assert channel.read(3) == "\xb5A"
    assert channel.read() == ""


def test_a_server_that_hangs_up_ends_reading(tcp_peer):
    channel, peer = tcp_peer
    peer.close()
    with pytest.raises(serial.SerialException):
        for _ in range(20):
            channel.read()


@pytest.mark.parametrize(
    "port, kind",
    [("loop://", UrlChannel), ("/dev/zul-mew-missing", None)],
    ids=["url", "device"],
)
def test_open_channel_picks_by_the_name(port, kind):
    if kind is None:
        with pytest.raises(serial.SerialException):
            open_channel(port)
        return
    channel = open_channel(port, timeout=0.05)
    try:
        assert isinstance(channel, kind) and isinstance(channel, zul_mew.Channel)
    finally:
        channel.close()


def test_a_node_on_loop_answers_itself():
    # Whatever a node sends on loop:// comes back to it: its slave side answers
    # its own master side, which makes a whole exchange without any port.
    node = MemoryNode(UrlChannel("loop://"), slave_station=3, query_timeout=0.5)
    try:
        node.set_multi_uint16(3, "DT10", [7, 8])
        assert node.get_multi_uint16(3, "DT10", 2) == [7, 8]
    finally:
        node.close()


@pytest.mark.parametrize("scheme", ["socket", "rfc2217"])
def test_master_reaches_a_station_behind_a_device_server(cable, scheme):
    station_port, server_port = cable.ports
    station = MemoryNode(zul_mew.MewSerial(port=station_port), slave_station=2)
    server = DeviceServer(server_port, telnet=scheme == "rfc2217")
    master = None
    try:
        channel = UrlChannel(f"{scheme}://127.0.0.1:{server.address}", baudrate=19200)
        master = zul_mew.MewMaster(channel, query_timeout=1)
        master.set_coil(2, "Y1", True)
        master.set_uint32(2, "DT0", 70000)
        assert master.get_coil(2, "Y1") is True
        assert master.get_coil_uint16(2, "WY0") == 2
        assert master.get_uint32(2, "DT0") == 70000
    finally:
        if master is not None:
            master.close()
        server.close()
        station.close()


@pytest.fixture
def served_station():
    """A station on the listening end of socket://, as ``zul-mew sim --listen`` serves it."""
    served = ListeningChannel(timeout=0.1)
    station = MemoryNode(served, slave_station=2)
    yield served.url
    began = time.monotonic()
    station.close()
    assert time.monotonic() - began < 1  # the stop cancels the read in progress


def test_a_listening_station_serves_one_client_after_another(served_station):
    host, port = served_station[len("socket://") :].split(":")
    # A client that goes away in the middle of a request leaves nothing behind.
    with socket.create_connection((host, int(port)), timeout=2) as cut_short:
        cut_short.sendall(b"%02#WDD0000000000")
    for step in range(3):
        with zul_mew.MewMaster(UrlChannel(served_station), query_timeout=1) as master:
            if step == 0:
                master.set_uint32(2, "DT0", 70000)
            assert master.get_uint32(2, "DT0") == 70000
