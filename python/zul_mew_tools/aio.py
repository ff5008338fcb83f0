"""The master's operations as coroutines, for programs that live on an event loop.

``AsyncMaster`` is a façade over a thread-based node, not a second protocol
engine: one worker thread per node runs the exchanges one at a time, in the
order they were awaited, and hands each result to the loop that awaits it. The
loop never blocks on the line, and no thread is made per call.

A request waits in the façade's queue, not on the node's query lock, so its
``query_timeout`` counts from the moment it leaves, however many wait before it.
A cancelled await whose request has not left is taken out of the queue and never
sent; one whose request has left lets its exchange end on the worker, and the
answer is dropped.
"""

from __future__ import annotations

import asyncio
import collections
import inspect
import threading
from types import TracebackType
from typing import (
    TYPE_CHECKING,
    Any,
    AsyncIterator,
    Callable,
    Coroutine,
    Deque,
    List,
    Optional,
    Tuple,
    Type,
    TypeVar,
    Union,
    cast,
)

import zul_mew

from .trace import TraceChannel, TracedFrame
from .urlchannel import open_channel

if TYPE_CHECKING:
    from typing_extensions import Concatenate, ParamSpec

    P = ParamSpec("P")

R = TypeVar("R")

# Requests that may wait for the line at once: a few hundred exchanges of a
# few milliseconds each are a second or two of queue, never minutes.
DEFAULT_MAX_WAITING = 256


class ClosedError(RuntimeError):
    """An await on an ``AsyncMaster`` that is not open, or that closed before
    the request left: the request was not sent."""


class RequestQueueFull(RuntimeError):
    """An await refused at once because ``max_waiting`` requests already wait
    for the line: the request was not sent."""


class _Request:
    """One awaited exchange: the call to make on the node and where its outcome goes."""

    __slots__ = ("call", "loop", "future")

    def __init__(
        self,
        call: Callable[[zul_mew.MewMaster], object],
        loop: asyncio.AbstractEventLoop,
        future: asyncio.Future[Any],
    ) -> None:
        self.call = call
        self.loop = loop
        self.future = future


def _deliver(
    loop: asyncio.AbstractEventLoop,
    future: asyncio.Future[Any],
    result: object = None,
    error: Optional[BaseException] = None,
) -> None:
    # A loop closed in the meantime has nobody left to tell.
    try:
        loop.call_soon_threadsafe(_settle, future, result, error)
    except RuntimeError:
        pass


def _settle(future: asyncio.Future[Any], result: object, error: Optional[BaseException]) -> None:
    # A future cancelled while its exchange ran wants no answer.
    if future.done():
        return
    if error is not None:
        future.set_exception(error)
    else:
        future.set_result(result)


def _line_name(channel: object) -> str:
    port = getattr(getattr(channel, "_serial", None), "port", None)
    return str(port) if port is not None else repr(channel)


async def _uncancelled(future: asyncio.Future[None]) -> None:
    """Waits until ``future`` is done; a cancellation meanwhile is raised after that."""
    cancelled = False
    while not future.done():
        try:
            await asyncio.shield(future)
        except asyncio.CancelledError:
            cancelled = True
    if cancelled:
        raise asyncio.CancelledError


def _operation(
    method: Callable[Concatenate[zul_mew.MewMaster, P], R],
) -> Callable[Concatenate[AsyncMaster, P], Coroutine[Any, Any, R]]:
    """``method`` as a coroutine of the façade. The node's own method is looked
    up at each call, so that a node's override of it is the one that runs."""
    name = method.__name__

    async def operation(self: AsyncMaster, /, *args: P.args, **kwargs: P.kwargs) -> R:
        return await self._exchange(lambda node: cast(R, getattr(node, name)(*args, **kwargs)))

    operation.__name__ = name
    operation.__qualname__ = f"AsyncMaster.{name}"
    operation.__doc__ = f"``MewMaster.{name}``, awaited: same parameters, result and exceptions."
    operation.__signature__ = inspect.signature(method)  # type: ignore[attr-defined]
    return operation


class AsyncMaster:
    """The operations of ``MewMaster`` as coroutines, on one line.

    Every typed operation of ``MewMaster`` (``get_coil`` to ``set_multi_int32``)
    and ``query`` is a coroutine of the same name here, with the same
    parameters, result and exceptions.

    ``async with`` opens and closes the façade, also when the block ends by an
    exception or a cancellation; ``await open()`` and ``await aclose()`` do the
    same by hand.

    Args:
        channel_or_port: A serial device by any name pyserial opens
            (``/dev/ttyUSB0``, ``COM3``) or a URL (``socket://host:port``),
            opened with ``settings`` as ``MewSerial`` and ``UrlChannel`` take
            them; or a ``Channel``, taken as it is. The façade makes its
            ``MewMaster`` on the line when it opens and closes both when it closes.
        query_timeout: How long each exchange waits for its answer once its
            request has left, in seconds; the node's default (1) unless given.
        max_waiting: How many requests may wait for the line at once; one more
            fails at once with ``RequestQueueFull``.
        node: In place of a line, a node the host made (``MewFullDuplex``,
            ``InstManager``): the exchanges run on it, and closing the façade
            leaves it running.
        **settings: Port settings (``baudrate``, ``parity``, ``timeout``, ...).

    Raises:
        TypeError: Neither a line nor a node, both, or settings for a ``Channel``.
        ValueError: ``max_waiting`` below 1.
    """

    def __init__(
        self,
        channel_or_port: Union[str, zul_mew.Channel, None] = None,
        *,
        query_timeout: Optional[float] = None,
        max_waiting: int = DEFAULT_MAX_WAITING,
        node: Optional[zul_mew.MewMaster] = None,
        **settings: Any,
    ) -> None:
        if max_waiting < 1:
            raise ValueError(f"max_waiting must be at least 1, not {max_waiting}")
        self._max_waiting = max_waiting
        self._node = node
        self._make: Optional[Callable[[], zul_mew.MewMaster]] = None
        # The façade hears only a line it puts a TraceChannel on: not a host's node.
        self._traced = node is None
        if node is not None:
            if channel_or_port is not None or query_timeout is not None or settings:
                raise TypeError(
                    "AsyncMaster(node=...) takes no port, channel, query_timeout or "
                    "settings: the node has its own"
                )
            self._line = f"{type(node).__name__} on {_line_name(node._channel)}"
        elif isinstance(channel_or_port, str):
            port = channel_or_port
            self._line = port
            self._make = lambda: self._master_on(open_channel(port, **settings), query_timeout)
        elif isinstance(channel_or_port, zul_mew.Channel):
            if settings:
                raise TypeError(
                    f"port settings ({', '.join(settings)}) apply to a port name; "
                    "a Channel comes with its own"
                )
            channel = channel_or_port
            self._line = _line_name(channel)
            self._make = lambda: self._master_on(channel, query_timeout)
        else:
            raise TypeError(
                "AsyncMaster takes a port name, a Channel or node=..., "
                f"not {type(channel_or_port).__name__}"
            )
        self._lock = threading.Lock()
        self._wakeup = threading.Condition(self._lock)
        self._state = "new"  # then opening, open, closing, closed
        self._waiting: Deque[_Request] = collections.deque()
        self._worker: Optional[threading.Thread] = None
        self._ended: List[Tuple[asyncio.AbstractEventLoop, asyncio.Future[Any]]] = []
        self._close_error: Optional[BaseException] = None
        # Replaced whole, never changed in place: the node's threads read it without a lock.
        self._hearers: Tuple[Tuple[asyncio.AbstractEventLoop, asyncio.Queue[Any]], ...] = ()

    @property
    def node(self) -> Optional[zul_mew.MewMaster]:
        """The node the exchanges run on: the one given with ``node=``, or the
        ``MewMaster`` the façade made (None until it is open). Its operations
        block; call them from the loop only through the façade."""
        return self._node

    def __repr__(self) -> str:
        return f"AsyncMaster({self._line!r}, {self._state})"

    # Opening and closing.

    async def open(self) -> AsyncMaster:
        """Makes the node on the worker (opening the port may take a while: the
        loop goes on meanwhile) and returns the façade, ready for exchanges.
        Does nothing on a façade already open.

        Raises:
            ClosedError: The façade was opened before and closed since.
            OSError, ValueError: As ``MewSerial`` or ``UrlChannel`` raise them when
                the port cannot be opened; no thread is left running.
        """
        loop = asyncio.get_running_loop()
        with self._lock:
            if self._state == "open":
                return self
            if self._state == "opening":
                raise RuntimeError(f"{self._line}: AsyncMaster is being opened by another task")
            if self._state != "new":
                raise ClosedError(f"{self._line}: AsyncMaster is closed; make a new one to open it")
            self._state = "opening"
        opened: asyncio.Future[None] = loop.create_future()
        self._worker = threading.Thread(
            target=self._serve, args=(loop, opened), name=f"zul-mew aio {self._line}"
        )
        self._worker.start()
        try:
            await opened
        except BaseException:
            # Failed or cancelled: whatever the worker opened is closed again.
            await self.aclose()
            raise
        return self

    async def aclose(self) -> None:
        """Closes the façade: requests still waiting fail with ``ClosedError``
        unsent, the one on the line finishes, then the node made by the façade
        is closed (a node given with ``node=`` is left running) and the worker
        ends. Returns when no thread of the façade runs; a cancellation
        meanwhile is held back until then. Does nothing on a closed façade.

        Raises:
            OSError: Closing the channel failed; the threads have ended all the same.
        """
        loop = asyncio.get_running_loop()
        ended: asyncio.Future[None] = loop.create_future()
        unsent: List[_Request] = []
        with self._lock:
            if self._state == "new":
                self._state = "closed"
            if self._state == "closed":
                ended.set_result(None)
            else:
                self._state = "closing"
                self._ended.append((loop, ended))
                unsent = list(self._waiting)
                self._waiting.clear()
                self._wakeup.notify()
        for request in unsent:
            _deliver(request.loop, request.future, error=ClosedError(self._unsent()))
        await _uncancelled(ended)
        if self._worker is not None:
            self._worker.join()
        error, self._close_error = self._close_error, None
        if error is not None:
            raise error

    async def __aenter__(self) -> AsyncMaster:
        return await self.open()

    async def __aexit__(
        self,
        exc_type: Optional[Type[BaseException]],
        exc_value: Optional[BaseException],
        traceback: Optional[TracebackType],
    ) -> None:
        await self.aclose()

    # What the line carries.

    async def frames(self) -> AsyncIterator[TracedFrame]:
        """Every frame on the line from the first iteration on, sent or read
        (requests of other masters too), as ``TraceChannel`` records it; the
        iteration ends when the façade closes. Frames wait for a slow reader,
        all of them, in memory.

        Raises:
            ClosedError: The façade is not open.
            RuntimeError: The façade runs on a node given with ``node=``, whose
                channel it cannot hear: trace that channel where the node is made.
        """
        if not self._traced:
            raise RuntimeError(
                f"{self._line}: frames() hears a line the façade opens itself; for a node "
                "given with node=, make the node on TraceChannel(channel, on_frame=...)"
            )
        loop = asyncio.get_running_loop()
        heard: asyncio.Queue[Optional[TracedFrame]] = asyncio.Queue()
        hearer = (loop, heard)
        with self._lock:
            if self._state != "open":
                raise ClosedError(self._not_open())
            self._hearers = self._hearers + (hearer,)
        try:
            while True:
                frame = await heard.get()
                if frame is None:
                    return
                yield frame
        finally:
            with self._lock:
                self._hearers = tuple(h for h in self._hearers if h is not hearer)

    def _heard(self, frame: TracedFrame) -> None:
        # Called on the node's threads, on the path of every frame: it must not raise.
        for loop, heard in self._hearers:
            try:
                loop.call_soon_threadsafe(heard.put_nowait, frame)
            except RuntimeError:
                pass

    # The exchanges.

    async def _exchange(self, call: Callable[[zul_mew.MewMaster], R]) -> R:
        loop = asyncio.get_running_loop()
        future: asyncio.Future[R] = loop.create_future()
        request = _Request(call, loop, future)
        with self._lock:
            if self._state != "open":
                raise ClosedError(self._not_open())
            if len(self._waiting) >= self._max_waiting:
                raise RequestQueueFull(
                    f"{self._line}: {self._max_waiting} requests already wait for the line; "
                    "await fewer at once, or raise the bound: "
                    f"AsyncMaster(..., max_waiting={2 * self._max_waiting})"
                )
            self._waiting.append(request)
            self._wakeup.notify()
        try:
            return await future
        except asyncio.CancelledError:
            # Still waiting: it never leaves. Already taken by the worker: its
            # exchange ends there and _settle drops the answer.
            with self._lock:
                if request in self._waiting:
                    self._waiting.remove(request)
            raise

    def _not_open(self) -> str:
        if self._state in ("new", "opening"):
            return f"{self._line}: AsyncMaster is not open; use it in 'async with' or await open()"
        return f"{self._line}: AsyncMaster is closed; the request was not sent"

    def _unsent(self) -> str:
        return f"{self._line}: AsyncMaster closed before the request was sent"

    # The worker: makes the node, runs the exchanges, closes what it made.

    def _serve(self, loop: asyncio.AbstractEventLoop, opened: asyncio.Future[None]) -> None:
        try:
            if self._make is not None:
                self._node = self._make()
        except BaseException as error:
            self._end()
            _deliver(loop, opened, error=error)
            return
        with self._lock:
            if self._state == "opening":
                self._state = "open"
        _deliver(loop, opened)
        try:
            while True:
                request = self._next_request()
                if request is None:
                    break
                self._run(request)
        finally:
            if self._make is not None and self._node is not None:
                try:
                    self._node.close()
                except BaseException as error:
                    self._close_error = error
            self._end()

    def _next_request(self) -> Optional[_Request]:
        with self._wakeup:
            while not self._waiting and self._state == "open":
                self._wakeup.wait()
            return self._waiting.popleft() if self._waiting else None

    def _run(self, request: _Request) -> None:
        assert self._node is not None
        try:
            result = request.call(self._node)
        except BaseException as error:
            _deliver(request.loop, request.future, error=error)
        else:
            _deliver(request.loop, request.future, result)

    def _end(self) -> None:
        with self._lock:
            self._state = "closed"
            ended, self._ended = self._ended, []
            hearers, self._hearers = self._hearers, ()
        for loop, heard in hearers:
            try:
                loop.call_soon_threadsafe(heard.put_nowait, None)
            except RuntimeError:
                pass
        for loop, future in ended:
            _deliver(loop, future)

    def _master_on(
        self, channel: zul_mew.Channel, query_timeout: Optional[float]
    ) -> zul_mew.MewMaster:
        traced = TraceChannel(channel, on_frame=self._heard)
        try:
            if query_timeout is None:
                return zul_mew.MewMaster(traced)
            return zul_mew.MewMaster(traced, query_timeout=query_timeout)
        except BaseException:
            traced.close()
            raise

    # Every typed operation of MewMaster, and query: the same parameters,
    # result and exceptions, awaited.

    get_coil = _operation(zul_mew.MewMaster.get_coil)
    get_coil_uint16 = _operation(zul_mew.MewMaster.get_coil_uint16)
    get_multi_coil_uint16 = _operation(zul_mew.MewMaster.get_multi_coil_uint16)
    get_uint16 = _operation(zul_mew.MewMaster.get_uint16)
    get_multi_uint16 = _operation(zul_mew.MewMaster.get_multi_uint16)
    get_int16 = _operation(zul_mew.MewMaster.get_int16)
    get_uint32 = _operation(zul_mew.MewMaster.get_uint32)
    get_int32 = _operation(zul_mew.MewMaster.get_int32)
    get_multi_uint32 = _operation(zul_mew.MewMaster.get_multi_uint32)
    get_multi_int32 = _operation(zul_mew.MewMaster.get_multi_int32)
    set_coil = _operation(zul_mew.MewMaster.set_coil)
    set_coil_uint16 = _operation(zul_mew.MewMaster.set_coil_uint16)
    set_multi_coil_uint16 = _operation(zul_mew.MewMaster.set_multi_coil_uint16)
    set_uint16 = _operation(zul_mew.MewMaster.set_uint16)
    set_multi_uint16 = _operation(zul_mew.MewMaster.set_multi_uint16)
    set_uint32 = _operation(zul_mew.MewMaster.set_uint32)
    set_int16 = _operation(zul_mew.MewMaster.set_int16)
    set_int32 = _operation(zul_mew.MewMaster.set_int32)
    set_multi_int16 = _operation(zul_mew.MewMaster.set_multi_int16)
    set_multi_uint32 = _operation(zul_mew.MewMaster.set_multi_uint32)
    set_multi_int32 = _operation(zul_mew.MewMaster.set_multi_int32)
    query = _operation(zul_mew.MewMaster.query)
