"""How a board takes a Ctrl-C: whenever it comes, the board ends within a
second, the node closed and the terminal given back as it was.

In the board the terminal hands Ctrl-C over as a key, which quits as ``q``
does. Before the board has the keys, and after it gave them back, it comes as
a signal instead, at any point of the program.
"""

from __future__ import annotations

import asyncio
import contextlib
import signal
import threading
from typing import TYPE_CHECKING, Any, Iterator, List

if TYPE_CHECKING:
    from .app import BoardApp


@contextlib.contextmanager
def ctrl_c_held() -> Iterator[None]:
    """Holds a Ctrl-C back while the node is built or closed, and raises it once
    that is done: cut short there, it would leave the node's threads running
    and the program waiting for them for ever."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    caught: List[int] = []
    before = signal.signal(signal.SIGINT, lambda signum, frame: caught.append(signum))
    try:
        yield
    finally:
        signal.signal(signal.SIGINT, before)
    if caught:
        raise KeyboardInterrupt


@contextlib.contextmanager
def ctrl_c_quits(app: "BoardApp") -> Iterator[None]:
    """While the board runs, a Ctrl-C that comes as a signal quits it as the
    key does, rather than breaking into the drawing and leaving the terminal
    as it was drawn."""

    def quit_board(signum: int, frame: Any) -> None:
        try:
            loop = asyncio.get_running_loop()
        except RuntimeError:
            raise KeyboardInterrupt from None  # the board has not begun: nothing to take down
        loop.call_soon_threadsafe(app.quit_board)

    if threading.current_thread() is not threading.main_thread():
        yield
        return
    before = signal.signal(signal.SIGINT, quit_board)
    try:
        yield
    finally:
        signal.signal(signal.SIGINT, before)
