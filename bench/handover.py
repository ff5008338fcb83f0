"""The hand-over a master exchange is built on, in plain host code.

A reader thread is the only reader of the port and puts each answer into the
queue of the exchange that waits for it; the caller creates a `queue.Queue` per
exchange, registers it under a lock, writes its request with the serial
package's `write` and waits on the queue. The reader takes the bytes at the
port's descriptor, one read per byte, as fast as host code can. No code of the
module runs here: what this costs above the floor is the cost of the hand-over
itself, which every MewMaster exchange pays.
"""

from __future__ import annotations

import os
import queue
import select
import threading

import serial

REQUEST = b"%01#RDD001000010055\r"


class PlainHandover:
    def __init__(self, port: str) -> None:
        self._serial = serial.Serial(port=port, timeout=0.1)
        self._listeners: list[queue.Queue] = []
        self._listener_lock = threading.Lock()
        self._stopped = False
        self._reader = threading.Thread(target=self._read_frames)
        self._reader.start()

    def _read_frames(self) -> None:
        # The serial package sets its port up so that a read returns at once,
        # with a byte or with nothing; the wait for input is a select.
        fd = self._serial.fd
        frame = b""
        while not self._stopped:
            byte = os.read(fd, 1)
            if not byte:
                select.select([fd], [], [], 0.1)
                continue
            frame += byte
            if byte == b"\r":
                with self._listener_lock:
                    for listener in self._listeners:
                        listener.put(frame)
                frame = b""

    def exchange(self) -> bytes:
        listener: queue.Queue = queue.Queue()
        with self._listener_lock:
            self._listeners.append(listener)
        try:
            self._serial.write(REQUEST)
            return listener.get(timeout=1)
        finally:
            with self._listener_lock:
                self._listeners.remove(listener)

    def close(self) -> None:
        self._stopped = True
        self._reader.join()
        self._serial.close()
