"""``zul-mew demo``: a master and a random slave joined in this process, every
exchange shown; it needs no hardware and runs on every platform."""

from __future__ import annotations

import argparse
from typing import Any, List

import zul_mew

from ..pair import channel_pair

STEPS: List[Any] = [
    ("read register DT100", lambda m: m.get_uint16(1, "DT100")),
    ("read registers DT100..DT102", lambda m: m.get_multi_uint16(1, "DT100", 3)),
    ("read a 32-bit value at DT10", lambda m: m.get_int32(1, "DT10")),
    ("read contact X0", lambda m: m.get_coil(1, "X0")),
    ("read word of contacts WX0", lambda m: m.get_coil_uint16(1, "WX0")),
    ("write 1234 to DT200", lambda m: m.set_uint16(1, "DT200", 1234)),
    ("set contact Y1", lambda m: m.set_coil(1, "Y1", True)),
    ("write WY0", lambda m: m.set_coil_uint16(1, "WY0", 0x00FF)),
    ("read DT100 of station 2, which is not there", lambda m: m.get_uint16(2, "DT100")),
]


def add_to(commands: "argparse._SubParsersAction[argparse.ArgumentParser]") -> None:
    parser = commands.add_parser("demo", help="a master and a random slave, no hardware")
    parser.add_argument(
        "--query-timeout",
        type=float,
        default=0.3,
        help="seconds to wait for an answer (default 0.3)",
    )
    parser.set_defaults(run=run, prints_to_stdout=True)


class _ShowingMaster(zul_mew.MewMaster):
    """A master that shows every exchange: the request it sends, the answer it gets."""

    def query(self, command: str) -> str:
        print(f"  sent {command!r}")
        answer = super().query(command)
        print(f"  got  {answer!r}")
        return answer


def run(args: argparse.Namespace) -> int:
    slave_end, master_end = channel_pair()
    slave = zul_mew.RandomMewSlaveDemo(1, slave_end)
    slave.start()
    try:
        master = _ShowingMaster(master_end, query_timeout=args.query_timeout)
        try:
            print("demo: a random slave, station 1, and a master, joined in this process")
            for title, step in STEPS:
                show_step(master, title, step)
        finally:
            master.close()
    finally:
        slave.close()
    print("demo: done, everything stopped")
    return 0


def show_step(master: zul_mew.MewMaster, title: str, step: Any) -> None:
    print(f"{title}:", flush=True)
    try:
        result = step(master)
    except IOError as error:
        print(f"  failed: {error}")
    else:
        print(f"  -> {result!r}" if result is not None else "  -> done", flush=True)
