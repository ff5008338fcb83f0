"""Takes the README's picture of the board: the simulated bus of ``zul-mew sim``
on a virtual cable, a few contacts on, saved as SVG in docs/board.svg.

    PYTHONPATH=python python3 tools/board-screenshot.py    # needs the board extra
"""

import asyncio
import time
from pathlib import Path

import zul_mew
from zul_mew_tools.board.app import BoardApp
from zul_mew_tools.cable import NullModemCable
from zul_mew_tools.cli import build_parser
from zul_mew_tools.commands.board import line_settings, open_board
from zul_mew_tools.sim import SimBus

PICTURE = Path(__file__).resolve().parent.parent / "docs" / "board.svg"


async def take(bus, args) -> None:
    app = BoardApp(bus, line_settings(args))
    async with app.run_test(size=(100, 21)) as pilot:
        deadline = time.monotonic() + 10
        while bus.rounds < 3 and time.monotonic() < deadline:
            await pilot.pause(0.1)
        app.query_one("#station-1").focus()
        await pilot.press("right", "right", "right", "right")
        await pilot.pause(0.3)
        app.save_screenshot(filename=PICTURE.name, path=str(PICTURE.parent))


def main() -> None:
    with NullModemCable() as cable:
        sim = SimBus.with_layout(zul_mew.MewSerial(port=cable.ports[0]))
        sim.stations[1].words[("Y", 0)] = 0x0013
        sim.stations[2].words[("X", 0)] = 0x8241
        sim.start()
        line = ["--query-timeout", "0.3", "--last", "4"]
        args = build_parser().parse_args(["board", cable.ports[1], *line])
        bus = open_board(args)
        bus.start()
        try:
            asyncio.run(take(bus, args))
        finally:
            bus.close()
            sim.close()
    print(f"{PICTURE}: {PICTURE.stat().st_size} bytes")


if __name__ == "__main__":
    main()
