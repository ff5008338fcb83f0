"""The board against a simulated bus on the virtual cable: what a person sees,
what a person forces, and the board served to a real browser."""

import asyncio
import base64
import http.client
import os
import pty
import re
import select
import shutil
import signal
import socket
import subprocess
import sys
import termios
import threading
import time
from pathlib import Path
from urllib.parse import urljoin, urlsplit

import pytest
import serial

import zul_mew
from conftest import paced
from zul_mew_tools.cable import NullModemCable
from zul_mew_tools.cli import build_parser
from zul_mew_tools.reconnect import ReconnectingChannel
from zul_mew_tools.sim import SimBus, make_station
from zul_mew_tools.vocabulary import INTERRUPTED

pytest.importorskip("textual")
from zul_mew_tools.board.app import BoardApp  # noqa: E402
from zul_mew_tools.board.watch import READ_ONLY  # noqa: E402
from zul_mew_tools.commands.board import board_command, open_board  # noqa: E402
from zul_mew_tools.commands.line import port_settings  # noqa: E402

INTERVAL = 0.2


@pytest.fixture
def sim_bus(cable):
    """Stations 1 to 4 (XY, XY, axis, analogue) answering on the cable's first end."""
    bus = SimBus.with_layout(zul_mew.MewSerial(port=cable.ports[0]))
    bus.start()
    yield bus
    bus.close()


def board_args(cable, *extra):
    # An answer time-out a loaded machine keeps: a station that misses its one
    # question of discovery is not shown, and the test would wait for it.
    line = ["--query-timeout", "0.5", "--interval", str(INTERVAL)]
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


async def until(pilot, check, within=10.0):
    deadline = time.monotonic() + paced(within)
    while not check():
        assert time.monotonic() < deadline, "the board did not show it in time"
        await pilot.pause(0.05)


async def discovered(app, pilot):
    await until(pilot, lambda: len(app.query(".station")) == 4)
    await pilot.pause()  # laid out, so that a click lands where a person sees the lamp


def panel(app, station):
    return app.query_one(f"#station-{station}")


def test_the_board_shows_the_bus_live(cable, sim_bus):
    async def act(app, pilot):
        await discovered(app, pilot)
        shown = [(p.state.station, p.state.kind) for p in app.query(".station")]
        assert shown == [(1, "XY"), (2, "XY"), (3, "axis"), (4, "analogue")]
        assert panel(app, 3).border_title == "station 3 · axis · firmware 2.01"
        assert "WX0 0x0105" in str(panel(app, 1).render())
        first = app.bus.rounds
        sim_bus.stations[2].words[("X", 0)] = 0xA5A5
        await until(pilot, lambda: panel(app, 2).state.wx == 0xA5A5)
        assert app.bus.rounds - first <= 2

    on_board(board_args(cable), act)


async def space_on_y0(app, pilot):  # the first station has the keys from the start
    await pilot.press("space")


async def space_on_y3(app, pilot):
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


def test_a_served_session_keeps_every_port_setting(cable):
    settings = ["--baudrate", "19200", "--parity", "odd", "--bytesize", "7", "--stopbits", "2"]
    settings += ["--timeout", "0.3", "--first", "2", "--last", "9"]
    served = board_args(cable, "--serve", "8000", *settings)
    session = served_session(cable, *settings)
    assert port_settings(session) == port_settings(served)
    assert (session.query_timeout, session.interval) == (served.query_timeout, INTERVAL)
    assert (session.first, session.last) == (2, 9)


@pytest.mark.parametrize("value", ["nan", "0", "-0.5", "inf", "1e300"])
def test_an_interval_the_board_cannot_wait_is_refused(capsys, value):
    with pytest.raises(SystemExit) as refused:
        build_parser().parse_args(["board", "/dev/ttyS0", f"--interval={value}"])
    assert refused.value.code == 2
    error = capsys.readouterr().err.splitlines()[-1]
    assert error.startswith("zul-mew board: error: argument --interval: ")
    assert error.endswith(f" not {value!r}")


@pytest.mark.parametrize(
    "stations, flags, shown",
    [
        ({2: "xy", 3: "axis", 4: "ad"}, [], [2, 3, 4]),
        ({1: "xy", 2: "xy", 4: "ad", 6: "axis"}, ["--last", "6"], [1, 2, 4, 6]),
        ({1: "xy", 2: "xy", 3: "axis", 4: "ad"}, ["--first", "2", "--last", "3"], [2, 3]),
    ],
    ids=["no-station-1", "past-silent-ones", "first-last"],
)
def test_the_board_discovers_the_stations_of_its_range(cable, stations, flags, shown):
    nodes = [make_station(kind, number) for number, kind in stations.items()]
    bus = SimBus(zul_mew.MewSerial(port=cable.ports[0]), nodes)
    bus.start()

    async def act(app, pilot):
        # Until the walk is past the last station to show, or at its end.
        await until(pilot, lambda: not app.bus.discovering or (app.bus.asking or 0) > shown[-1])
        found = [state.station for state in app.bus.stations]
        await until(pilot, lambda: [p.state.station for p in app.query(".station")] == found)
        assert found == shown

    try:
        on_board(board_args(cable, *flags), act)
    finally:
        bus.close()


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


@pytest.fixture
def pluggable_bus():
    """The simulated bus on a cable that can be pulled, riding it out as the board does."""
    with NullModemCable(links=True) as cable:
        port = cable.ports[0]
        bus = SimBus.with_layout(
            ReconnectingChannel(lambda: zul_mew.MewSerial(port=port), port, first_wait=0.05)
        )
        bus.start()
        yield cable, bus
        bus.close()


def pull_cable(cable, sim_bus):
    cable.unplug()
    return cable.plug


def remove_station_2(cable, sim_bus):
    station = sim_bus.stations.pop(2)
    return lambda: sim_bus.stations.update({2: station})


@pytest.mark.parametrize(
    "leave, lost", [(remove_station_2, [2]), (pull_cable, [1, 2, 3, 4])], ids=["silent", "pulled"]
)
def test_stations_that_stop_answering_are_lost_until_they_answer(pluggable_bus, leave, lost):
    cable, sim_bus = pluggable_bus

    async def act(app, pilot):
        await discovered(app, pilot)
        come_back = leave(cable, sim_bus)
        await until(pilot, lambda: [p.state.station for p in app.query(".lost")] == lost)
        come_back()
        await until(pilot, lambda: not app.query(".lost"), within=15.0)

    on_board(board_args(cable), act)


ESCAPES = re.compile(r"\x1b(\[[0-9;?<>]*[ -/]*[@-~]|\][^\x07]*\x07|[()][0-9A-Za-z]|.)")
BOARD = [sys.executable, "-m", "zul_mew_tools.cli", "board"]
# The board's own bound: it ends within a second of q or Ctrl-C, whatever it is doing.
ENDS_WITHIN = 1.0
# The board run as a shell runs it, the terminal its controlling one: a Ctrl-C
# typed before the board takes the keys is then a signal to it, as there.
IN_A_TERMINAL = [
    sys.executable,
    "-c",
    "import fcntl, os, sys, termios; fcntl.ioctl(0, "
    "termios.TIOCSCTTY, 0); os.execv(sys.executable, sys.argv[1:])",
]
ALTERNATE_SCREEN = "\x1b[?1049h"
# A sanitizer build's leak scan as a process ends takes half a second of its own:
# it is not the board's. The suite's own process is scanned at its end.
TERMINAL_ENVIRONMENT = {
    **os.environ,
    "TERM": "xterm-256color",
    "ASAN_OPTIONS": os.environ.get("ASAN_OPTIONS", "") + ":detect_leaks=0",
}


@pytest.fixture
def babble_into():
    """Sends characters without a carriage return into a port until the test ends."""
    done = threading.Event()
    senders = []

    def babble(port):
        with serial.Serial(port) as line:
            while not done.wait(0.005):
                line.write(b"x")

    def start(port):
        senders.append(threading.Thread(target=babble, args=(port,)))
        senders[-1].start()

    yield start
    done.set()
    for sender in senders:
        sender.join()


def read_on(fd, seen):
    """``seen`` and what the terminal shows next, if anything: read all along, as
    a terminal does, so that the board never waits to draw."""
    if select.select([fd], [], [], 0.01)[0]:
        seen += os.read(fd, 65536).decode(errors="replace")
    return seen


def screen_until(fd, text, within=10.0):
    """What a terminal showed, up to the first time it shows ``text`` (escapes
    left out of the comparison unless ``text`` is one)."""
    seen = ""
    deadline = time.monotonic() + paced(within)
    while text not in seen and text not in ESCAPES.sub("", seen):
        assert time.monotonic() < deadline, seen[-400:]
        seen = read_on(fd, seen)
    return seen


@pytest.mark.parametrize(
    "key, flags, moment, ends, babbling",
    [
        pytest.param("q", [], "station 4", {0}, False, id="q"),
        pytest.param(
            "\x03", [], None, {0, INTERRUPTED, -signal.SIGINT}, False, id="ctrl-c-starting"
        ),
        pytest.param("\x03", [], ALTERNATE_SCREEN, {0}, False, id="ctrl-c-taking-the-screen"),
        pytest.param(
            "\x03",
            ["--query-timeout", "5"],
            "asking station 5",
            {0},
            False,
            id="ctrl-c-discovering",
        ),
        pytest.param("\x03", ["--trace"], "BCC ok", {0}, False, id="ctrl-c-traced"),
        pytest.param(
            "\x03",
            ["--interval", "60", "--last", "4"],
            "station 4",
            {0},
            False,
            id="ctrl-c-between-rounds",
        ),
        # Something on the line sends without a carriage return: the receiver is
        # held in one frame that would take minutes to reach its longest.
        pytest.param("\x03", [], "asking station", {0}, True, id="ctrl-c-babbling-line"),
    ],
)
def test_a_key_ends_the_board_in_a_terminal_within_a_second(
    cable, sim_bus, babble_into, key, flags, moment, ends, babbling
):
    if babbling:
        babble_into(cable.ports[0])
    screen, terminal = pty.openpty()
    as_found = termios.tcgetattr(terminal)
    board = subprocess.Popen(
        IN_A_TERMINAL + BOARD + [cable.ports[1], "--query-timeout", "0.2", *flags],
        stdin=terminal,
        stdout=terminal,
        stderr=terminal,
        env=TERMINAL_ENVIRONMENT,
        start_new_session=True,
    )
    try:
        seen = ""
        deadline = time.monotonic() + paced(10)
        if moment is None:  # as soon as the board has the terminal, before it is drawn
            while os.tcgetpgrp(screen) != board.pid and time.monotonic() < deadline:
                time.sleep(0.001)
        else:
            seen = screen_until(screen, moment)
        os.write(screen, key.encode())
        pressed = time.monotonic()
        while board.poll() is None and time.monotonic() < pressed + paced(10):
            seen = read_on(screen, seen)
        assert time.monotonic() - pressed < ENDS_WITHIN and board.returncode in ends, seen[-400:]
        # The terminal is given back as the board found it, with nothing to report.
        assert seen.count(ALTERNATE_SCREEN) == seen.count("\x1b[?1049l")
        assert termios.tcgetattr(terminal) == as_found
        assert board.returncode != 0 or "Error" not in ESCAPES.sub("", seen), seen[-400:]
    finally:
        if board.poll() is None:
            board.kill()
            board.wait()
        os.close(screen)
        os.close(terminal)


CHROMIUM = shutil.which("chromium") or shutil.which("chromium-browser")


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def served_on(port, within=10.0):
    deadline = time.monotonic() + paced(within)
    while True:
        try:
            return socket.create_connection(("127.0.0.1", port), timeout=1).close()
        except ConnectionRefusedError:
            assert time.monotonic() < deadline, "the board is not served"
            time.sleep(0.1)


def serve_board(port, *flags):
    """``zul-mew board PORT --serve ...``, once it listens."""
    server = subprocess.Popen(
        BOARD + [port, "--query-timeout", "0.2", "--serve", *flags],
        stdout=subprocess.PIPE,
        stderr=subprocess.STDOUT,
        text=True,
        start_new_session=True,
    )
    said = server.stdout.readline()
    return server, said


def end_served(server):
    server.send_signal(signal.SIGINT)
    try:
        server.wait(timeout=paced(10))
    except subprocess.TimeoutExpired:
        os.killpg(server.pid, signal.SIGKILL)
        server.wait()
    server.stdout.close()


def sessions_of(server):
    """The board sessions a server has started and that still run."""
    tasks = Path(f"/proc/{server.pid}/task")
    return {child for task in tasks.iterdir() for child in (task / "children").read_text().split()}


@pytest.fixture(scope="module")
def served_boards():
    """Boards served on the address given, for a port that cannot be opened:
    a session one of them starts ends at once."""
    pytest.importorskip("textual_serve")
    servers = {}

    def on(address):
        if address not in servers:
            port = free_port()
            servers[address] = serve_board("/dev/zul-mew-absent", f"{address}:{port}")[0], port
            served_on(port)
        return servers[address]

    yield on
    for server, _ in servers.values():
        end_served(server)


def answer_to(port, path, host, origin=None):
    """Status, headers and body of a board's answer to a request for ``path``
    naming it ``host``, from the page ``origin``."""
    headers = {"Host": host, **({"Origin": origin} if origin else {})}
    if path == "/ws":
        headers.update({"Connection": "Upgrade", "Upgrade": "websocket"})
        headers.update(
            {"Sec-WebSocket-Version": "13", "Sec-WebSocket-Key": "dGhlIHNhbXBsZSBub25jZQ=="}
        )
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=paced(5))
    try:
        connection.request("GET", path, headers=headers)
        answer = connection.getresponse()
        return answer.status, answer.headers, answer.read().decode()
    finally:
        connection.close()


# The address a board is served on; a request for a path, naming the board by
# Host, from the page Origin ("-": none); the status it gets.
REQUESTS = {
    "page": "127.0.0.1 / 127.0.0.1:{port} - 200",
    "page-as-localhost": "127.0.0.1 / localhost:{port} - 200",
    "page-rebound": "127.0.0.1 / rebound.test:{port} - 403",
    "script-rebound": "127.0.0.1 /static/js/textual.js rebound.test:{port} - 403",
    "page-on-another-port": "127.0.0.1 / 127.0.0.1:1 - 403",
    "session": "127.0.0.1 /ws 127.0.0.1:{port} http://127.0.0.1:{port} 101",
    "session-as-[::1]": "127.0.0.1 /ws [::1]:{port} http://[::1]:{port} 101",
    "session-from-another-site": "127.0.0.1 /ws 127.0.0.1:{port} http://other.test 403",
    "session-rebound": "127.0.0.1 /ws rebound.test:{port} http://rebound.test:{port} 403",
    "session-from-another-name": "127.0.0.1 /ws localhost:{port} http://127.0.0.1:{port} 403",
    "session-without-origin": "127.0.0.1 /ws 127.0.0.1:{port} - 403",
    "every-address-page": "0.0.0.0 / 127.0.0.1:{port} - 200",
    "every-address-page-by-name": "0.0.0.0 / {machine}:{port} - 200",
    "every-address-page-not-reached": "0.0.0.0 / 192.0.2.7:{port} - 403",
    "every-address-page-rebound": "0.0.0.0 / rebound.test:{port} - 403",
    "every-address-session": "0.0.0.0 /ws localhost:{port} http://localhost:{port} 101",
}


@pytest.mark.parametrize("request_", REQUESTS.values(), ids=REQUESTS)
def test_only_the_boards_own_page_starts_a_session(served_boards, request_):
    address, path, host, origin, status = request_.split()
    server, port = served_boards(address)
    names = {"port": port, "machine": socket.gethostname()}
    before = sessions_of(server)
    given = answer_to(port, path, host.format(**names), origin.format(**names).strip("-") or None)
    assert given[0] == int(status), given[2]
    deadline = time.monotonic() + paced(5)
    while status == "101" and sessions_of(server) <= before:
        assert time.monotonic() < deadline, "no session started"
        time.sleep(0.01)
    assert (sessions_of(server) > before) == (status == "101")


REFERENCES = re.compile(r"""(?:\b(?:src|href)\s*=\s*|url\(\s*|@import\s+)["']?([^"')\s>]+)""")


def test_the_served_page_loads_nothing_from_elsewhere(served_boards):
    _, port = served_boards("127.0.0.1")
    own = f"127.0.0.1:{port}"
    _, headers, page = answer_to(port, "/", own)
    references = REFERENCES.findall(page)
    for sheet in [ref for ref in references if ref.endswith(".css")]:
        references += REFERENCES.findall(answer_to(port, urljoin("/", sheet), own)[2])
    assert any(ref.endswith(".js") for ref in references), page
    hosts = {urlsplit(urljoin(f"http://{own}/", ref)).netloc for ref in references}
    assert hosts == {own}, references
    # Nor may another page frame it, where a click meant for that page would land on an output.
    assert "frame-ancestors 'none'" in headers["Content-Security-Policy"]


def text_of(terminal):
    return ESCAPES.sub("", terminal.decode(errors="replace"))


async def browser_shows(url, profile, wanted, within=20.0):
    """What a headless Chromium on ``url`` got for its terminal, up to ``wanted``,
    and every address the page asked for."""
    import aiohttp

    browser = await asyncio.create_subprocess_exec(
        *[CHROMIUM, "--headless", "--no-sandbox", "--disable-gpu", "--remote-debugging-port=0"],
        *[f"--user-data-dir={profile}", "about:blank"],
        stderr=asyncio.subprocess.PIPE,
        # The browser is not ours to check: a sanitizer runtime preloaded for the module stays out.
        env={name: value for name, value in os.environ.items() if name != "LD_PRELOAD"},
        start_new_session=True,  # its helper processes end with it, not after the test
    )
    shown = bytearray()
    asked = []

    async def watch_page(http):
        line = b""
        while b"DevTools listening on" not in line:
            line = await browser.stderr.readline()
            assert line, "chromium ended before it listened"
        debugger = line.split()[-1].decode().split("/devtools/")[0].replace("ws:", "http:")
        async with http.get(f"{debugger}/json/list") as targets:
            page = next(t for t in await targets.json() if t["type"] == "page")
        async with http.ws_connect(page["webSocketDebuggerUrl"], max_msg_size=0) as tab:
            await tab.send_json({"id": 1, "method": "Network.enable"})
            await tab.send_json({"id": 2, "method": "Page.navigate", "params": {"url": url}})
            while not all(w in text_of(shown) for w in wanted):
                event = await tab.receive_json()
                if event.get("method") == "Network.requestWillBeSent":
                    asked.append(event["params"]["request"]["url"])
                elif event.get("method") == "Network.webSocketCreated":
                    asked.append(event["params"]["url"])
                elif event.get("method") == "Network.webSocketFrameReceived":
                    frame = event["params"]["response"]
                    if frame["opcode"] == 2:  # the terminal's bytes travel as binary frames
                        shown.extend(base64.b64decode(frame["payloadData"]))

    try:
        async with aiohttp.ClientSession() as http:
            await asyncio.wait_for(watch_page(http), paced(within))
    except asyncio.TimeoutError:
        pass
    finally:
        os.killpg(browser.pid, signal.SIGKILL)
        await browser.wait()
    return text_of(shown), asked


@pytest.mark.skipif(not CHROMIUM, reason="needs chromium")
def test_a_served_board_shows_the_stations_in_a_browser(cable, sim_bus, tmp_path):
    pytest.importorskip("textual_serve")
    port = free_port()
    server, said = serve_board(cable.ports[1], str(port))
    try:
        assert said.endswith(f" on http://127.0.0.1:{port} (this machine only)\n")
        served_on(port)
        wanted = [f"station {n}" for n in range(1, 5)]
        url = f"http://127.0.0.1:{port}"
        shown, asked = asyncio.run(browser_shows(url, tmp_path, wanted))
        assert all(w in shown for w in wanted), shown[-400:]
        assert {urlsplit(address).netloc for address in asked} == {f"127.0.0.1:{port}"}
    finally:
        end_served(server)
