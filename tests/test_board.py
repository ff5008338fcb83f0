"""The board against a simulated bus on the virtual cable: what a person sees,
what a person forces, and the board served to a real browser."""

import asyncio
import os
import pty
import re
import select
import shutil
import socket
import subprocess
import sys
import time

import pytest
import zul_mew
from zul_mew_tools.cli import build_parser
from zul_mew_tools.sim import SimBus

pytest.importorskip("textual")
from zul_mew_tools.board.app import BoardApp  # noqa: E402
from zul_mew_tools.board.command import board_command, open_board  # noqa: E402
from zul_mew_tools.board.watch import READ_ONLY  # noqa: E402

INTERVAL = 0.2


@pytest.fixture
def sim_bus(cable):
    """Stations 1 to 4 (XY, XY, axis, analogue) answering on the cable's first end."""
    bus = SimBus.with_layout(zul_mew.MewSerial(port=cable.ports[0]))
    bus.start()
    yield bus
    bus.close()


def board_args(cable, *extra):
    line = ["--query-timeout", "0.2", "--interval", str(INTERVAL)]
    return build_parser().parse_args(["board", cable.ports[1], *line, *extra])


def on_board(args, act):
    """Runs ``act(app, pilot)`` against a board made as ``zul-mew board`` makes it."""
    bus = open_board(args)
    bus.start()

    async def drive():
        app = BoardApp(bus, args.port)
        async with app.run_test(size=(100, 30)) as pilot:
            await act(app, pilot)

    try:
        asyncio.run(drive())
    finally:
        bus.close()


async def until(pilot, check, within=3.0):
    deadline = time.monotonic() + within
    while not check():
        assert time.monotonic() < deadline, "the board did not show it in time"
        await pilot.pause(0.05)


async def discovered(app, pilot):
    await until(pilot, lambda: len(app.query(".station")) == 4)
    await pilot.pause()  # laid out, so that a click lands where a person sees the lamp


def panel(app, station):
    return app.query_one(f"#station-{station}")


def test_discovery_shows_every_station(cable, sim_bus):
    async def act(app, pilot):
        await discovered(app, pilot)
        shown = [(p.state.station, p.state.kind, p.state.firmware) for p in app.query(".station")]
        assert shown == [
            (1, "XY", 0x0103),
            (2, "XY", 0x0103),
            (3, "axis", 0x0201),
            (4, "analogue", 0x0300),
        ]
        assert "WX0 0x0105" in str(panel(app, 1).render())

    on_board(board_args(cable), act)


def test_an_input_shows_within_two_refreshes(cable, sim_bus):
    async def act(app, pilot):
        await discovered(app, pilot)
        first = app.bus.rounds
        sim_bus.stations[2].words[("X", 0)] = 0xA5A5
        await until(pilot, lambda: panel(app, 2).state.wx == 0xA5A5)
        assert app.bus.rounds - first <= 2

    on_board(board_args(cable), act)


async def space_on_y0(app, pilot):
    panel(app, 1).focus()
    await pilot.press("space")


async def space_on_y3(app, pilot):
    panel(app, 1).focus()
    await pilot.press("right", "right", "right", "space")


async def word(app, pilot):
    panel(app, 2).focus()
    await pilot.press("w", *"0x00f0", "enter")


async def click_on_y6(app, pilot):
    # Past the border and padding (2), the label column (5) and six lamps of three.
    assert await pilot.click("#station-2", offset=(2 + 5 + 3 * 6 + 1, 3))


def served_session(cable, *flags):
    """The board a browser session of ``zul-mew board PORT --serve 8000`` runs."""
    served = board_args(cable, "--serve", "8000", *flags)
    return build_parser().parse_args(board_command(served)[3:])


@pytest.mark.parametrize(
    "started, force, station, outputs",
    [
        (board_args, space_on_y3, 1, 0x0008),
        (board_args, word, 2, 0x00F0),
        (board_args, click_on_y6, 2, 0x0040),
        (served_session, space_on_y0, 1, 0),
        (lambda cable: served_session(cable, "--allow-writes"), space_on_y0, 1, 0x0001),
    ],
    ids=["keyboard", "word", "mouse", "served", "served-allow-writes"],
)
def test_forcing_outputs(cable, sim_bus, started, force, station, outputs):
    async def act(app, pilot):
        await discovered(app, pilot)
        await force(app, pilot)
        if outputs:
            await until(pilot, lambda: panel(app, station).state.wy == outputs)
        else:
            await until(pilot, lambda: app.bus.last_write == READ_ONLY)
        assert sim_bus.stations[station].words.get(("Y", 0), 0) == outputs

    on_board(started(cable), act)


def test_a_lost_station_is_marked_and_picked_up_again(cable, sim_bus):
    async def act(app, pilot):
        await discovered(app, pilot)
        station = sim_bus.stations.pop(2)
        await until(pilot, lambda: panel(app, 2).has_class("lost"))
        sim_bus.stations[1].words[("X", 0)] = 0x0F0F  # the others are still refreshed
        await until(pilot, lambda: panel(app, 1).state.wx == 0x0F0F)
        sim_bus.stations[2] = station
        await until(pilot, lambda: not panel(app, 2).has_class("lost"))

    on_board(board_args(cable), act)


# A pulled cable ends the receivers of both nodes with the port's own error.
@pytest.mark.filterwarnings("ignore::pytest.PytestUnhandledThreadExceptionWarning")
def test_a_pulled_cable_marks_every_station_lost(cable, sim_bus):
    async def act(app, pilot):
        await discovered(app, pilot)
        cable.close()
        await until(pilot, lambda: len(app.query(".station.lost")) == 4)

    on_board(board_args(cable), act)


ESCAPES = re.compile(r"\x1b(\[[0-9;?<>]*[ -/]*[@-~]|\][^\x07]*\x07|[()][0-9A-Za-z]|.)")
BOARD = [sys.executable, "-m", "zul_mew_tools.cli", "board"]


def screen_until(fd, text, within=10.0):
    """What a terminal showed, escapes left out, up to the first time it shows ``text``."""
    seen = ""
    deadline = time.monotonic() + within
    while text not in ESCAPES.sub("", seen):
        assert select.select([fd], [], [], max(0.0, deadline - time.monotonic()))[0], seen[-400:]
        seen += os.read(fd, 65536).decode(errors="replace")
    return seen


@pytest.mark.parametrize("key", ["q", "\x03"], ids=["q", "ctrl-c"])
def test_a_key_ends_the_board_in_a_terminal(cable, sim_bus, key):
    screen, terminal = pty.openpty()
    board = subprocess.Popen(
        BOARD + [cable.ports[1], "--query-timeout", "0.2"],
        stdin=terminal,
        stdout=terminal,
        stderr=terminal,
        env={**os.environ, "TERM": "xterm-256color"},
        start_new_session=True,
    )
    os.close(terminal)
    try:
        screen_until(screen, "station 4")
        os.write(screen, key.encode())
        # A thread left running would keep the process alive past the time-out.
        assert board.wait(timeout=10) == 0
    finally:
        if board.poll() is None:
            board.kill()
            board.wait()
        os.close(screen)


CHROMIUM = shutil.which("chromium") or shutil.which("chromium-browser")

# Keeps what the page hands its terminal: the board as the browser draws it.
HEAR_TERMINAL = """
window.__screen = "";
const decoder = new TextDecoder();
const Socket = window.WebSocket;
window.WebSocket = class extends Socket {
  constructor(...args) {
    super(...args);
    this.addEventListener("message", (event) => {
      if (typeof event.data !== "string") {
        window.__screen += decoder.decode(event.data, { stream: true });
      }
    });
  }
};
"""


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def serving(port):
    with socket.socket() as probe:
        return probe.connect_ex(("127.0.0.1", port)) == 0


async def page_text(url, profile, wanted, within=20.0):
    import aiohttp

    browser = await asyncio.create_subprocess_exec(
        CHROMIUM,
        "--headless",
        "--no-sandbox",
        "--disable-gpu",
        "--remote-debugging-port=0",
        f"--user-data-dir={profile}",
        "about:blank",
        stdout=asyncio.subprocess.DEVNULL,
        stderr=asyncio.subprocess.PIPE,
        # The browser is not ours to check: a sanitizer runtime preloaded for the module stays out.
        env={name: value for name, value in os.environ.items() if name != "LD_PRELOAD"},
    )
    try:
        line = b""
        while b"DevTools listening on" not in line:
            line = await asyncio.wait_for(browser.stderr.readline(), within)
            assert line, "chromium ended before it listened"
        debugger = line.decode().split()[-1].split("/devtools/")[0].replace("ws://", "http://")
        async with aiohttp.ClientSession() as http:
            async with http.get(f"{debugger}/json/list") as listing:
                page = next(t for t in await listing.json() if t["type"] == "page")
            async with http.ws_connect(page["webSocketDebuggerUrl"], max_msg_size=0) as tab:
                calls = iter(range(1, 1000))

                async def call(method, **params):
                    number = next(calls)
                    await tab.send_json({"id": number, "method": method, "params": params})
                    while True:
                        answer = await tab.receive_json()
                        if answer.get("id") == number:
                            return answer.get("result", {})

                await call("Page.enable")
                await call("Page.addScriptToEvaluateOnNewDocument", source=HEAR_TERMINAL)
                await call("Page.navigate", url=url)
                deadline = time.monotonic() + within
                text = ""
                while not all(w in text for w in wanted) and time.monotonic() < deadline:
                    await asyncio.sleep(0.2)
                    shown = await call("Runtime.evaluate", expression="window.__screen")
                    text = ESCAPES.sub("", shown.get("result", {}).get("value", ""))
                return text
    finally:
        browser.kill()
        await browser.wait()


@pytest.mark.skipif(not CHROMIUM, reason="needs chromium")
def test_a_served_board_shows_the_stations_in_a_browser(cable, sim_bus, tmp_path):
    pytest.importorskip("aiohttp")
    port = free_port()
    server = subprocess.Popen(
        BOARD + [cable.ports[1], "--query-timeout", "0.2", "--serve", str(port)],
        stdout=subprocess.PIPE,
        stderr=subprocess.STDOUT,
        text=True,
        start_new_session=True,
    )
    try:
        said = server.stdout.readline()
        assert (
            said
            == f"board: serving {cable.ports[1]} on http://127.0.0.1:{port} (this machine only)\n"
        )
        deadline = time.monotonic() + 10
        while not serving(port):
            assert time.monotonic() < deadline, "the board is not served"
            time.sleep(0.1)
        wanted = [f"station {n}" for n in range(1, 5)]
        text = asyncio.run(page_text(f"http://127.0.0.1:{port}", tmp_path, wanted))
        assert all(w in text for w in wanted), text[-400:]
    finally:
        server.send_signal(2)
        try:
            server.wait(timeout=10)
        except subprocess.TimeoutExpired:
            os.killpg(server.pid, 9)
            server.wait()
        server.stdout.close()
