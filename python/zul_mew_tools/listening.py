"""The stations' end of a line on the network: a channel that listens on a TCP
port, as the port of a serial device server does, and talks with the program
connected to it. Any node or command reaches it as ``socket://HOST:PORT``
(pyserial's raw TCP URL), on every platform: ``zul-mew sim --listen`` serves
its simulated stations this way.

One program is served at a time; the next one to connect is taken when the
first lets go, as a device server's port is held by one client. What the
stations send while nobody is connected is lost, as on a line nobody listens
to; a frame cut short by a client that goes away is dropped.
"""

from __future__ import annotations

import select
import socket
import threading
import time
from typing import Optional

import zul_mew

_TAIL = b"\r"
# The longest a frame to a client that stopped reading may hold up its sender.
_SEND_TIMEOUT = 1.0


class ListeningChannel(zul_mew.Channel):
    """A ``Channel`` that listens on ``host``:``port`` (port 0 picks a free one;
    ``url`` says which). ``timeout`` is the longest a read waits, in seconds,
    as a serial port's time-out."""

    def __init__(self, host: str = "127.0.0.1", port: int = 0, timeout: float = 0.1) -> None:
        self.timeout = timeout
        self._server = socket.create_server((host, port))
        self._client: Optional[socket.socket] = None
        self._client_lock = threading.Lock()  # the reader changes clients, any thread sends
        self._data = bytearray()
        self._wake, self._waker = socket.socketpair()

    @property
    def url(self) -> str:
        """Where a client connects: ``socket://127.0.0.1:4001``."""
        host, port = self._server.getsockname()[:2]
        return f"socket://{f'[{host}]' if ':' in host else host}:{port}"

    def read(self, size: int = 1) -> str:
        if not self._data:
            self._receive()
        taken = bytes(self._data[:size])
        del self._data[:size]
        return taken.decode("latin-1")

    def receive_frame(self) -> str:
        # The time-out bounds the gap between two bytes, not the frame; a
        # frame ends with the client that sent it.
        client = self._client
        cut_short = False
        while True:
            end = self._data.find(_TAIL)
            if end >= 0:
                frame = bytes(self._data[: end + 1])
                del self._data[: end + 1]
                return frame.decode("latin-1")
            cut_short = cut_short or bool(self._data)
            held = len(self._data)
            if not self._receive() or self._client is not client or len(self._data) == held:
                break
        self._data.clear()
        if cut_short:
            raise zul_mew.MewFormatError("Error: device response format invalid.")
        raise zul_mew.MewFormatError("Error: device no response.")

    def send_frame(self, data: str) -> None:
        with self._client_lock:
            client = self._client
            if client is None:
                return
            try:
                client.sendall(data.encode())
            except OSError:
                self._drop(client)

    @property
    def in_waiting(self) -> int:
        return len(self._data)

    def close(self) -> None:
        with self._client_lock:
            if self._client is not None:
                self._drop(self._client)
        for end in (self._server, self._wake, self._waker):
            end.close()

    def flush_input(self) -> None:
        self._data.clear()

    def cancel_read(self) -> None:
        """Ends the read in progress at once, or the next one when none is."""
        try:
            self._waker.send(b"\0")
        except OSError:
            pass  # closed: no read is waiting

    def _receive(self) -> bool:
        # Waits at most the time-out for the client's bytes, taking a client
        # first when none is connected; False when the wait was cancelled or
        # the client let go.
        deadline = time.monotonic() + self.timeout
        while True:
            client = self._client
            watched = [client or self._server, self._wake]
            left = max(0.0, deadline - time.monotonic())
            ready, _, _ = select.select(watched, [], [], left)
            if self._wake in ready:
                self._wake.recv(64)
                return False
            if not ready:
                return True
            if client is None:
                self._accept()
                continue
            try:
                got = client.recv(4096)
            except OSError:
                got = b""
            if not got:  # what the client left is no frame
                with self._client_lock:
                    self._drop(client)
                self._data.clear()
                return False
            self._data += got
            return True

    def _accept(self) -> None:
        client, _ = self._server.accept()
        client.settimeout(_SEND_TIMEOUT)
        client.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        with self._client_lock:
            self._client = client

    def _drop(self, client: socket.socket) -> None:
        # Called holding the client lock.
        if self._client is client:
            self._client = None
        client.close()

    def __repr__(self) -> str:
        return f"ListeningChannel({self.url!r})"
