"""A virtual null-modem cable: two pseudo-terminals whose traffic is relayed.

What one end writes, the other end reads, so a master opened on one port and a
station opened on the other talk as if joined by a serial cable. The relay runs
in a process of its own, so it takes no time from the interpreter under test
and can be cut, as a cable can be pulled.
"""

from __future__ import annotations

import os
import select
import signal
import subprocess
import sys
import tty


class NullModemCable:
    """Two connected serial ports; ``ports`` names them, ``close`` ends the relay."""

    def __init__(self) -> None:
        self._relay = subprocess.Popen(
            [sys.executable, "-m", "zul_mew_tools.cable"],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            text=True,
        )
        line = self._relay.stdout.readline().split()
        if len(line) != 2:
            self.close()
            raise OSError("virtual null-modem cable did not start")
        self.ports = (line[0], line[1])

    def close(self) -> None:
        """Pull the cable: the relay ends and both ports stop carrying data."""
        if self._relay.poll() is None:
            self._relay.terminate()
        self._relay.wait()
        for stream in (self._relay.stdin, self._relay.stdout):
            if stream:
                stream.close()

    def __enter__(self) -> "NullModemCable":
        return self

    def __exit__(self, *exc) -> None:
        self.close()


def _open_end():
    master, slave = os.openpty()
    tty.setraw(slave)
    return master, slave, os.ttyname(slave)


def _relay(ends) -> None:
    (a, _, _), (b, _, _) = ends
    peer = {a: b, b: a}
    watched = [a, b, sys.stdin.fileno()]
    while True:
        readable, _, _ = select.select(watched, [], [])
        for fd in readable:
            if fd == sys.stdin.fileno():
                if not os.read(fd, 1024):
                    return
                continue
            try:
                data = os.read(fd, 4096)
            except OSError:
                continue
            if data:
                os.write(peer[fd], data)


def main() -> None:
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    ends = [_open_end(), _open_end()]
    print(ends[0][2], ends[1][2], flush=True)
    _relay(ends)


if __name__ == "__main__":
    main()
