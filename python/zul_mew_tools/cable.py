"""A virtual null-modem cable: two pseudo-terminals whose traffic is relayed.

What one end writes, the other end reads, so a master opened on one port and a
station opened on the other talk as if joined by a serial cable. The relay runs
in a process of its own, so it takes no time from the interpreter under test
and can be cut, as a cable can be pulled. A cable made with a tap has a third
port that hears both directions, as a line monitor clipped onto the wires does.
A cable made with ``links=True`` names its ports by links in a directory of its
own, which stay the same when the cable is unplugged and plugged in again, as a
USB adapter keeps its name.
"""

from __future__ import annotations

import os
import select
import shutil
import subprocess
import sys
import tempfile
import tty
from typing import List, Optional, Tuple


class NullModemCable:
    """Two connected serial ports; ``ports`` names them, ``close`` ends the relay.
    With ``tap=True``, ``tap`` names a third port that receives a copy of all traffic.
    With ``links=True``, ``unplug`` and ``plug`` pull the cable and put it back."""

    def __init__(self, tap: bool = False, links: bool = False) -> None:
        self._links = tempfile.mkdtemp(prefix="zul-mew-cable-") if links else None
        self._start(tap)

    def _start(self, tap: bool) -> None:
        self._relay = subprocess.Popen(
            [sys.executable, "-m", "zul_mew_tools.cable"] + (["--tap"] if tap else []),
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            text=True,
            # Only the owner pulls the cable: a signal to the owner's process group
            # (Ctrl-C, a job killed from the shell) must not cut the line under its nodes.
            start_new_session=True,
        )
        assert self._relay.stdout is not None
        line = self._relay.stdout.readline().split()
        if len(line) != (3 if tap else 2):
            self.close()
            raise OSError("virtual null-modem cable did not start")
        self.ports = (line[0], line[1])
        self.tap = line[2] if tap else None
        if self._links is not None:
            self.ports = (self._link("port0", line[0]), self._link("port1", line[1]))

    def _link(self, link: str, target: str) -> str:
        assert self._links is not None
        path = os.path.join(self._links, link)
        os.symlink(target, path + ".new")
        os.replace(path + ".new", path)
        return path

    def unplug(self) -> None:
        """Pull the cable: programs on its ports see their device go away, and the
        port names lead nowhere until ``plug``."""
        self._stop()
        for port in self.ports:
            os.remove(port)

    def plug(self) -> None:
        """Plug the cable in again under the same port names."""
        self._start(self.tap is not None)

    def close(self) -> None:
        """Pull the cable: the relay ends and both ports stop carrying data."""
        self._stop()
        if self._links is not None:
            shutil.rmtree(self._links, ignore_errors=True)

    def _stop(self) -> None:
        if self._relay.poll() is None:
            self._relay.terminate()
        self._relay.wait()
        for stream in (self._relay.stdin, self._relay.stdout):
            if stream:
                stream.close()

    def __enter__(self) -> "NullModemCable":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


def _open_end() -> Tuple[int, int, str]:
    master, slave = os.openpty()
    tty.setraw(slave)
    return master, slave, os.ttyname(slave)


def _copy_to_tap(tap: int, data: bytes) -> None:
    # Nobody may be listening on the tap: a full tap drops data, it never holds up the line.
    try:
        os.write(tap, data)
    except OSError:
        pass


def _relay(ends: List[Tuple[int, int, str]], tap: Optional[int] = None) -> None:
    (a, _, _), (b, _, _) = ends
    peer = {a: b, b: a}
    watched = [a, b, sys.stdin.fileno()] + ([tap] if tap is not None else [])
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
            if data and fd != tap:
                os.write(peer[fd], data)
                if tap is not None:
                    _copy_to_tap(tap, data)


def main() -> None:
    # The relay ends on SIGTERM by the system's default action: a handler of the
    # interpreter would run only after the next select returns, and a signal that
    # came just before select was entered would leave the relay waiting for good.
    ends = [_open_end(), _open_end()]
    names = [ends[0][2], ends[1][2]]
    tap = None
    if "--tap" in sys.argv[1:]:
        tap_end = _open_end()
        tap = tap_end[0]
        os.set_blocking(tap, False)
        names.append(tap_end[2])
    print(*names, flush=True)
    _relay(ends, tap)


if __name__ == "__main__":
    main()
