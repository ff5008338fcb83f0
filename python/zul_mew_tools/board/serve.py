"""The board served to web browsers: each browser session runs a board of its
own, started only by the board's own page.

A board on the loopback address is still within reach of every page the
person opens in the same browser, and a page of another site can reach it
under a name of its own that it points at 127.0.0.1. So a request must name
the board as it is served (its ``Host``), a session starts only for a
websocket the board's own page opened (its ``Origin``), and the page loads
nothing from anywhere but the board.
"""

from __future__ import annotations

import asyncio
import html
import ipaddress
import re
import signal
import socket
import string
from pathlib import Path
from typing import Awaitable, Callable, FrozenSet, Optional, Tuple, Union

from aiohttp import hdrs, web
from textual_serve.server import Server, to_int

PAGE = string.Template(Path(__file__).with_name("page.html").read_text(encoding="utf-8"))
TITLE = "zul-mew board"
# Names a loopback address goes by in a browser.
LOOPBACK_NAMES = frozenset({"localhost", "127.0.0.1", "::1"})
EVERY_ADDRESS = frozenset({"0.0.0.0", "::"})
# A host as a browser writes it in Host and Origin: a name or an address, an
# IPv6 address in brackets, and a port unless it is the default one.
AUTHORITY = re.compile(r"(\[[0-9a-f:.]+\]|[a-z0-9._-]+)(?::([0-9]{1,5}))?")
# The page loads from the board alone, and no other page may frame it, where
# a click meant for that page would land on an output.
POLICY = (
    "default-src 'self'; style-src 'self' 'unsafe-inline'; connect-src 'self' {websocket}; "
    "frame-ancestors 'none'; base-uri 'none'; form-action 'none'"
)

Handler = Callable[[web.Request], Awaitable[web.StreamResponse]]
Address = Union[ipaddress.IPv4Address, ipaddress.IPv6Address]


def authority(text: str) -> Optional[Tuple[str, int]]:
    """A Host as (name, port), the name in lower case without brackets; None
    for anything a browser would not send."""
    match = AUTHORITY.fullmatch(text.lower())
    if match is None:
        return None
    return match[1].strip("[]"), int(match[2] or 80)


def is_page(origin: Optional[str], host: str) -> bool:
    """Whether ``origin`` is the board's own page, as reached under ``host``."""
    scheme = "http://"
    return (
        origin is not None
        and origin.startswith(scheme)
        and authority(origin[len(scheme) :]) == authority(host)
    )


def is_address(name: str, address: Address) -> bool:
    try:
        return plain(ipaddress.ip_address(name)) == address
    except ValueError:
        return False


def plain(address: Address) -> Address:
    """An IPv4 address that came in over an IPv6 socket, as itself."""
    if isinstance(address, ipaddress.IPv6Address) and address.ipv4_mapped is not None:
        return address.ipv4_mapped
    return address


def served_names(host: str) -> FrozenSet[str]:
    """The names a board is asked for by, besides the address a request came in
    on: the one it is served on, and this machine's own name for a board served
    on every address of it."""
    name = host.lower().strip("[]")
    if name in EVERY_ADDRESS:
        return frozenset({name, socket.gethostname().lower()})
    return frozenset({name})


class BoardServer(Server):
    """Serves a board session, ``command``, to each browser that opens the
    board's page on ``host``:``port``, and refuses with 403 every request that
    does not name the board, and every websocket not opened by its page."""

    def __init__(self, command: str, host: str, port: int) -> None:
        super().__init__(command, host=host, port=port, title=TITLE)
        self.names = served_names(host)

    def serve(self, debug: bool = False) -> None:
        self.debug = debug
        self.initialize_logging()
        loop = asyncio.new_event_loop()
        for signum in (signal.SIGINT, signal.SIGTERM):
            try:
                loop.add_signal_handler(signum, self.request_exit)
            except NotImplementedError:
                pass  # Windows: Ctrl-C reaches the loop as KeyboardInterrupt
        web.run_app(
            self.make_app(),
            host=self.host,
            port=self.port,
            handle_signals=False,
            loop=loop,
            print=lambda *args: None,
        )

    def make_app(self) -> web.Application:
        app = web.Application(middlewares=[self.only_the_board])
        app.add_routes(
            [
                web.get("/", self.page),
                web.get("/ws", self.handle_websocket),
                web.static("/static", self.statics_path),
            ]
        )
        return app

    @web.middleware
    async def only_the_board(self, request: web.Request, handler: Handler) -> web.StreamResponse:
        host = request.headers.get(hdrs.HOST, "")
        if not self.answers_to(host, request):
            raise web.HTTPForbidden(
                text=f"{TITLE}: not served as {host!r}; open it at the address it is served on\n"
            )
        origin = request.headers.get(hdrs.ORIGIN)
        if (origin is not None or request.path == "/ws") and not is_page(origin, host):
            raise web.HTTPForbidden(
                text=f"{TITLE}: a session starts from the board's own page only\n"
            )
        return await handler(request)

    def answers_to(self, host: str, request: web.Request) -> bool:
        """Whether ``host`` names this board as the request reached it: the port
        it came in on, and the name it is served on, the address it came in on,
        or a loopback name when it came in on a loopback address."""
        named = authority(host)
        reached = request.transport.get_extra_info("sockname") if request.transport else None
        if named is None or reached is None:
            return False
        name, port = named
        address = plain(ipaddress.ip_address(reached[0]))
        return port == reached[1] and (
            name in self.names
            or is_address(name, address)
            or (address.is_loopback and name in LOOPBACK_NAMES)
        )

    async def page(self, request: web.Request) -> web.Response:
        websocket = f"ws://{request.headers[hdrs.HOST].lower()}/ws"
        text = PAGE.substitute(
            title=html.escape(self.title),
            websocket=html.escape(websocket),
            font_size=to_int(request.query.get("fontsize", "16"), 16),
        )
        headers = {
            "Content-Security-Policy": POLICY.format(websocket=websocket),
            "Referrer-Policy": "no-referrer",
            "X-Frame-Options": "DENY",
        }
        return web.Response(text=text, content_type="text/html", headers=headers)
