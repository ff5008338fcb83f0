"""The asyncio façade: the master's operations awaited, time-outs from sending,
cancellation, the bound on waiting requests, closing that leaves nothing behind."""

import ast
import asyncio
import os
import struct
import threading
import time
from pathlib import Path

import pytest

import zul_mew
from zul_mew import MewStatic
from zul_mew_tools.aio import AsyncMaster, ClosedError, RequestQueueFull
from zul_mew_tools.sim import MemoryNode

ROOT = Path(__file__).resolve().parent.parent
TIMEOUT = "MewMasterBase: device response timeout."
SILENT = 9  # no station answers to it


class HeldNode(MemoryNode):
    """Station 2; a write of DT900 is answered only once the test releases it."""

    def __init__(self, *args, **kwargs):
        self.entered, self.release = threading.Event(), threading.Event()
        super().__init__(*args, **kwargs)

    def on_set_multi_uint16(self, name, values):
        if name == "D00900":
            self.entered.set()
            self.release.wait(timeout=5)
        super().on_set_multi_uint16(name, values)


@pytest.fixture(autouse=True)
def no_descriptor_left():
    before = set(os.listdir("/proc/self/fd"))
    yield
    assert set(os.listdir("/proc/self/fd")) - before == set()


@pytest.fixture
def station(cable):
    """The held station on one end of the cable, and the other end's port."""
    node = HeldNode(zul_mew.MewSerial(port=cable.ports[0]), slave_station=2)
    yield node, cable.ports[1]
    node.release.set()
    node.close()


def run(main):
    return asyncio.run(asyncio.wait_for(main, 20))


async def until(condition):
    for _ in range(500):
        if condition():
            return
        await asyncio.sleep(0.01)
    raise AssertionError("condition not met")


async def held_write(m, node):
    """A write on the line that the station holds: the worker is busy with it."""
    write = asyncio.ensure_future(m.set_uint16(2, "DT900", 1))
    await until(node.entered.is_set)
    return write


# Written with one operation, read back by keyword with another (query reads DT60 raw).
OPERATIONS = [
    ("set_coil", "Y1", True, "get_coil", True),
    ("set_coil_uint16", "WY1", 0xF0, "get_coil_uint16", 0xF0),
    ("set_multi_coil_uint16", "WY2", [1, 2], "get_multi_coil_uint16", [1, 2]),
    ("set_uint16", "DT0", 7, "get_uint16", 7),
    ("set_multi_uint16", "DT10", [1, 2, 3], "get_multi_uint16", [1, 2, 3]),
    ("set_int16", "DT1", -2, "get_int16", -2),
    ("set_multi_int16", "DT20", [-1, 5], "get_multi_uint16", [65535, 5]),
    ("set_uint32", "DT30", 70000, "get_uint32", 70000),
    ("set_int32", "DT32", -5, "get_int32", -5),
    ("set_multi_uint32", "DT40", [1, 2**32 - 1], "get_multi_uint32", [1, 2**32 - 1]),
    ("set_multi_int32", "DT50", [-1, 3], "get_multi_int32", [-1, 3]),
    ("set_uint16", "DT60", 0x1234, "query", "RD3412"),
]

OPERATION_IDS = [f"{write}-{read}" for write, _, _, read, _ in OPERATIONS]


def test_every_operation_of_the_master_is_awaitable_and_documented():
    stub = ast.parse((ROOT / "zul_mew.pyi").read_text(encoding="utf-8"))
    (master,) = [n for n in stub.body if isinstance(n, ast.ClassDef) and n.name == "MewMaster"]
    typed = {n.name for n in master.body if isinstance(n, ast.FunctionDef)} - {"__init__"}
    tested = {row[0] for row in OPERATIONS} | {row[3] for row in OPERATIONS}
    assert typed | {"query"} == tested
    assert all(asyncio.iscoroutinefunction(getattr(AsyncMaster, name)) for name in tested)
    page = (ROOT / "docs" / "aio.md").read_text(encoding="utf-8")
    assert [name for name in sorted(tested) if f"[`{name}`]" not in page] == []


@pytest.mark.parametrize("write, name, value, read, expected", OPERATIONS, ids=OPERATION_IDS)
def test_operation_awaited_does_what_the_master_does(station, write, name, value, read, expected):
    async def main():
        async with AsyncMaster(station[1], query_timeout=0.5) as m:
            await getattr(m, write)(2, name, value)
            if read == "query":
                return await m.query(command=MewStatic.fill_read_data_area_message(2, name, 1))
            count = {"count": len(value)} if isinstance(value, list) else {}
            return await getattr(m, read)(station=2, name=name, **count)

    assert run(main()) == expected


FAILURES = {
    "timeout": ("get_uint16", (SILENT, "DT0"), OSError, TIMEOUT),
    "out-of-range": ("set_int16", (2, "DT0", 40000), struct.error, ""),
    "count": ("get_multi_uint16", (2, "DT0", 0), AssertionError, ""),
    "name-type": ("get_uint16", (2, 5), TypeError, "Argument 'name' has incorrect type"),
}


@pytest.mark.parametrize("operation, args, kind, message", FAILURES.values(), ids=FAILURES)
def test_failures_reach_the_await_unchanged(station, operation, args, kind, message):
    async def main():
        async with AsyncMaster(station[1], query_timeout=0.2) as m:
            with pytest.raises(kind) as failure:
                await getattr(m, operation)(*args)
            return str(failure.value)

    assert run(main()).startswith(message)


def test_200_concurrent_reads_all_succeed(station):
    station[0].registers[("D", 5)] = 4242

    async def main():
        async with AsyncMaster(station[1], query_timeout=0.5) as m:
            values = await asyncio.gather(*(m.get_uint16(2, "DT5") for _ in range(200)))
            return values, m.node._feedback_listeners

    assert run(main()) == ([4242] * 200, [])


def test_silent_station_times_out_from_sending(station):
    async def sending_times(m, sent):
        async for frame in m.frames():
            if frame.direction == "sent":
                sent.append(frame.time)

    async def failing_at(m):
        with pytest.raises(OSError, match=TIMEOUT):
            await m.get_uint16(SILENT, "DT0")
        return time.monotonic()

    async def main():
        sent = []
        async with AsyncMaster(station[1], query_timeout=0.2) as m:
            heard = asyncio.ensure_future(sending_times(m, sent))
            await asyncio.sleep(0)  # the iteration has begun: it hears from now on
            failed = await asyncio.gather(*(failing_at(m) for _ in range(3)))
        await asyncio.wait_for(heard, 5)  # closing ends the iteration
        return sent, failed

    sent, failed = run(main())
    # Each got its whole time-out from its own sending, the last too, which
    # had waited two time-outs for the line first.
    assert len(sent) == 3 and all(end - began >= 0.19 for began, end in zip(sent, failed))
    assert all(later >= earlier + 0.19 for earlier, later in zip(sent, sent[1:]))


def test_cancelled_before_sending_is_never_sent_and_gives_up_its_place(station):
    node, port = station

    async def main():
        async with AsyncMaster(port, query_timeout=2, max_waiting=2) as m:
            held = await held_write(m, node)
            unsent = asyncio.ensure_future(m.set_uint16(2, "DT5", 7))
            queued = asyncio.ensure_future(m.get_uint16(2, "DT0"))
            await asyncio.sleep(0)
            with pytest.raises(RequestQueueFull, match=r"2 requests already wait.*max_waiting=4"):
                await m.get_uint16(2, "DT0")
            unsent.cancel()
            late = asyncio.ensure_future(m.get_uint16(2, "DT5"))
            await asyncio.sleep(0)
            node.release.set()
            return await asyncio.gather(held, queued, late), m.node._feedback_listeners

    assert run(main()) == ([None, 0, 0], [])


def test_cancelled_after_sending_finishes_and_its_answer_is_dropped(station):
    node, port = station

    async def main():
        async with AsyncMaster(port, query_timeout=2) as m:
            write = await held_write(m, node)
            write.cancel()
            with pytest.raises(asyncio.CancelledError):
                await write
            node.release.set()
            # The next exchange gets its own answer, not the write's.
            return await m.get_uint16(2, "DT900"), m.node._feedback_listeners

    assert run(main()) == (1, [])


@pytest.mark.parametrize("ending", [ValueError, asyncio.CancelledError])
def test_closing_leaves_nothing_running(station, ending):
    node, port = station
    seen = {}

    async def block():
        async with AsyncMaster(port, query_timeout=2) as seen["m"]:
            seen["held"] = await held_write(seen["m"], node)
            asyncio.get_running_loop().call_later(0.1, node.release.set)
            seen["unsent"] = asyncio.ensure_future(seen["m"].set_uint16(2, "DT5", 7))
            await asyncio.sleep(0)
            if ending is ValueError:
                raise ValueError("the block failed")
            await asyncio.sleep(10)

    async def main():
        task = asyncio.ensure_future(block())
        await until(lambda: "unsent" in seen)
        if ending is asyncio.CancelledError:
            task.cancel()
        with pytest.raises(ending):
            await task
        assert await seen["held"] is None  # the request on the line finished
        with pytest.raises(ClosedError, match="closed before the request was sent"):
            await seen["unsent"]
        with pytest.raises(ClosedError, match="is closed"):
            await seen["m"].get_uint16(2, "DT0")

    run(main())
    assert ("D", 5) not in node.registers


def test_an_answer_for_a_closed_loop_is_dropped(station, monkeypatch):
    node, port = station
    failures = []
    monkeypatch.setattr(threading, "excepthook", failures.append)
    m = AsyncMaster(port, query_timeout=2)

    async def leave_a_request_on_the_line():
        await m.open()
        await held_write(m, node)  # asyncio.run cancels it as it ends

    run(leave_a_request_on_the_line())
    node.release.set()
    run(m.aclose())
    assert failures == [] and node.registers[("D", 900)] == 1


def test_a_node_given_is_left_running(station):
    with zul_mew.MewMaster(zul_mew.MewSerial(port=station[1]), query_timeout=0.5) as master:

        async def main():
            async with AsyncMaster(node=master) as m:
                await m.set_uint16(2, "DT3", 33)
                with pytest.raises(RuntimeError, match="node="):
                    await m.frames().__anext__()

        run(main())
        assert master.get_uint16(2, "DT3") == 33


MISUSE = {
    "node-and-port": (lambda line: AsyncMaster("/dev/ttyS0", node=object()), TypeError, "no port"),
    "channel-settings": (lambda line: AsyncMaster(line, baudrate=9600), TypeError, "port name"),
    "not-a-line": (lambda line: AsyncMaster(5), TypeError, "not int"),
    "no-room": (lambda line: AsyncMaster(line, max_waiting=0), ValueError, "at least 1"),
    "not-open": (lambda line: run(AsyncMaster(line).get_uint16(2, "DT0")), ClosedError, "not open"),
    "no-port": (lambda line: run(AsyncMaster("/dev/zul-mew-none").open()), OSError, "zul-mew-none"),
}


@pytest.mark.parametrize("make, kind, message", MISUSE.values(), ids=MISUSE)
def test_misuse_fails_with_nothing_left_running(fake_channel, make, kind, message):
    with pytest.raises(kind, match=message):
        make(fake_channel)
