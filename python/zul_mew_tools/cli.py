"""The ``zul-mew`` command: try the protocol, run simulated stations, read, write,
scan and watch a line from the shell."""

from __future__ import annotations

import argparse
import errno
import signal
import struct
import sys
import threading
import time
from typing import Any, Callable, Dict, List, Optional, Sequence

import zul_mew
from zul_mew import MewStatic

from .board import command as board
from .cable import NullModemCable
from .sim import DEFAULT_LAYOUT, STATION_KINDS, MemoryNode, SimBus
from .urlchannel import open_channel

# How each value form travels: its struct code and the 16-bit words it takes.
FORMATS = {"u16": ("H", 1), "i16": ("h", 1), "u32": ("I", 2), "i32": ("i", 2)}
CONTACT_CODES = "XYRLTC"
TRUE_WORDS = {"1": True, "true": True, "on": True, "0": False, "false": False, "off": False}


class Failure(Exception):
    """A failure to report in one line and end with a non-zero status."""


def reason(error: BaseException) -> str:
    # Assertions of the request builders carry no message: name the exception then.
    return str(error) or type(error).__name__


# ---------------------------------------------------------------------------
# Names and values


def name_kind(name: str) -> str:
    """``contact`` (Y1A), ``word`` (a word of contacts, WY0) or ``register`` (DT100, S1)."""
    if len(name) < 2:
        raise Failure(f"{name!r} is no contact, word or register name")
    if name[0] == "W" and name[1].isalpha():
        return "word"
    if name[0] in CONTACT_CODES and name[1].isdigit():
        return "contact"
    return "register"


def words_to_values(words: Sequence[int], form: str) -> List[int]:
    code, width = FORMATS[form]
    raw = struct.pack(f"<{len(words)}H", *words)
    return list(struct.unpack(f"<{len(words) // width}{code}", raw))


def values_to_words(values: Sequence[int], form: str) -> List[int]:
    code, _ = FORMATS[form]
    try:
        raw = struct.pack(f"<{len(values)}{code}", *values)
    except struct.error:
        raise Failure(f"value out of range for {form}: {' '.join(map(str, values))}") from None
    return list(struct.unpack(f"<{len(raw) // 2}H", raw))


def parse_bool(text: str) -> bool:
    try:
        return TRUE_WORDS[text.lower()]
    except KeyError:
        raise Failure(f"a contact takes 1/0, on/off or true/false, not {text!r}") from None


def parse_int(text: str) -> int:
    try:
        return int(text, 0)
    except ValueError:
        raise Failure(f"not an integer: {text!r}") from None


# ---------------------------------------------------------------------------
# Ports


def port_settings(args: argparse.Namespace) -> Dict[str, Any]:
    settings: Dict[str, Any] = {"baudrate": args.baudrate, "timeout": args.timeout}
    if args.parity:
        settings["parity"] = args.parity
    return settings


def open_port(args: argparse.Namespace) -> zul_mew.Channel:
    try:
        return open_channel(args.port, **port_settings(args))
    except (OSError, ValueError) as error:
        hint = ""
        if getattr(error, "errno", None) == errno.EACCES or "Permission denied" in str(error):
            hint = " (no permission: is your user in the group that owns the device?)"
        raise Failure(f"cannot open {args.port}: {error}{hint}") from None


def master_on(args: argparse.Namespace) -> zul_mew.MewMaster:
    return zul_mew.MewMaster(open_port(args), query_timeout=args.query_timeout)


# ---------------------------------------------------------------------------
# read and write


def cmd_read(args: argparse.Namespace) -> int:
    name = args.name.upper()
    kind = name_kind(name)
    form = args.form or ("bool" if kind == "contact" else "u16")
    if (kind == "contact") != (form == "bool"):
        raise Failure(
            f"{name} is a {kind}: read it " + ("as bool" if kind == "contact" else "as a number")
        )
    if kind == "contact" and args.count != 1:
        raise Failure(f"one contact per read; read the word W{name[0]}n for 16 at once")
    if args.count < 1:
        raise Failure("--count must be at least 1")
    master = master_on(args)
    try:
        if kind == "contact":
            values: List[Any] = [int(master.get_coil(args.station, name))]
        else:
            count = args.count * FORMATS[form][1]
            read = master.get_multi_coil_uint16 if kind == "word" else master.get_multi_uint16
            values = words_to_values(read(args.station, name, count), form)
    except Exception as error:
        raise Failure(
            f"read {name} of station {args.station} on {args.port}: {reason(error)}"
        ) from None
    finally:
        master.close()
    print(" ".join(str(value) for value in values))
    return 0


def cmd_write(args: argparse.Namespace) -> int:
    name = args.name.upper()
    kind = name_kind(name)
    form = args.form or ("bool" if kind == "contact" else "u16")
    if (kind == "contact") != (form == "bool"):
        raise Failure(
            f"{name} is a {kind}: write it " + ("as bool" if kind == "contact" else "as a number")
        )
    if kind == "contact":
        if len(args.values) != 1:
            raise Failure("one contact per write: give one value")
        value: Any = parse_bool(args.values[0])
        shown = str(int(value))
    else:
        numbers = [parse_int(text) for text in args.values]
        value = values_to_words(numbers, form)
        shown = " ".join(map(str, numbers))
    master = master_on(args)
    try:
        if kind == "contact":
            master.set_coil(args.station, name, value)
        elif kind == "word":
            master.set_multi_coil_uint16(args.station, name, value)
        else:
            master.set_multi_uint16(args.station, name, value)
    except Exception as error:
        raise Failure(
            f"write {name} of station {args.station} on {args.port}: {reason(error)}"
        ) from None
    finally:
        master.close()
    print(f"{name} = {shown}")
    return 0


# ---------------------------------------------------------------------------
# scan

TYPE_NAMES = {
    zul_mew.INST_TYPE_UNKNOWN: "unknown",
    zul_mew.INST_TYPE_XY: "XY",
    zul_mew.INST_TYPE_Axis: "axis",
    zul_mew.INST_TYPE_AD: "analogue",
}


def cmd_scan(args: argparse.Namespace) -> int:
    manager = zul_mew.InstManager(open_port(args), query_timeout=args.query_timeout)
    walk = threading.Thread(target=manager.initialize_inst_list, name="zul-mew scan")
    try:
        walk.start()
        _show_progress(walk, manager)
    finally:
        # Closing ends the walk at its next exchange, should an interrupt have come first.
        manager.close()
        walk.join()
    found = list(manager._all_list)
    if not found:
        raise Failure(f"no station answered on {args.port} (discovery starts at station 1)")
    print(f"{'station':>7}  {'type':<8}  {'firmware':>8}  {'inputs':>6}  {'outputs':>7}")
    for inst in found:
        words = ("-", "-")
        if isinstance(inst, zul_mew.InstXY):
            words = (f"{inst.get_wx():#06x}", f"{inst.get_wy():#06x}")
        kind = TYPE_NAMES.get(inst.inst_type, str(inst.inst_type))
        version = inst.firmware_version
        print(f"{inst.station:>7}  {kind:<8}  {version:>8}  {words[0]:>6}  {words[1]:>7}")
    counts = f"{manager.xy_count} XY, {manager.axis_count} axis, {manager.ad_count} analogue"
    print(f"{len(found)} stations: {counts}")
    return 0


def _show_progress(walk: threading.Thread, manager: zul_mew.InstManager) -> None:
    # Discovery walks until the first silent station, one time-out per silence:
    # tell the person what has been found while it runs.
    shown = 0
    while True:
        alive = walk.is_alive()
        found = manager._all_list
        while shown < len(found):
            inst = found[shown]
            kind = TYPE_NAMES.get(inst.inst_type, str(inst.inst_type))
            print(f"scan: station {inst.station} answers ({kind})", file=sys.stderr, flush=True)
            shown += 1
        if not alive:
            break
        walk.join(0.1)
    print(f"scan: done, {shown} found", file=sys.stderr, flush=True)


# ---------------------------------------------------------------------------
# monitor

FRAME_TYPES = {MewStatic.QUERY: "request", MewStatic.FEEDBACK: "answer", MewStatic.ERROR: "error"}


def describe_frame(frame: str) -> str:
    """One line for one frame: type, station, command and whether its check code holds."""
    try:
        kind = FRAME_TYPES.get(MewStatic.frame_type(frame), "?")
    except IndexError:
        kind = "?"
    try:
        station = str(MewStatic.parse_station(frame))
    except ValueError:
        station = "?"
    start = MewStatic.command_start_position(frame)
    if kind == "request":
        command = MewStatic.parse_command(frame)
        if command == MewStatic.CMD_UNKNOWN:
            command = frame[start : start + 3]
    elif kind == "error":
        command = "code " + frame[start : start + 2]
    else:
        command = frame[start : start + 2]
    bcc = frame[-3:-1]
    if bcc == MewStatic.IGNORE_BCC * 2:
        check = "BCC **"
    else:
        try:
            check = "BCC ok" if len(frame) >= 3 and MewStatic.crc_is_ok(frame) else "BCC bad"
        except ValueError:
            check = "BCC bad"
    return f"{kind:<7}  station {station:<3}  {command:<7}  {check:<7}  {frame!r}"


def cmd_monitor(args: argparse.Namespace) -> int:
    channel = open_port(args)
    stop = _stop_on_signals()
    seen = 0
    try:
        channel.flush_input()
        print(f"monitor: listening on {args.port}", file=sys.stderr, flush=True)
        while not stop.is_set() and (args.count is None or seen < args.count):
            try:
                first = channel.read()
            except OSError as error:  # the device went away
                raise Failure(f"{args.port}: {error}") from None
            if not first:
                continue
            now = time.time()
            stamp = (
                time.strftime("%H:%M:%S", time.localtime(now)) + f".{int(now * 1000) % 1000:03d}"
            )
            try:
                line = describe_frame(first + channel.receive_frame())
            except IOError as error:
                line = f"broken   {error} (began with {first!r})"
            print(f"{stamp}  {line}", flush=True)
            seen += 1
    finally:
        channel.close()
    return 0


# ---------------------------------------------------------------------------
# sim and demo


def _stop_on_signals() -> threading.Event:
    stop = threading.Event()
    for signum in (signal.SIGINT, signal.SIGTERM):
        signal.signal(signum, lambda *_: stop.set())
    return stop


def make_sim_node(kind: str, channel: zul_mew.Channel, station: int, layout: Sequence[str]) -> Any:
    """The running node of ``zul-mew sim``; the caller closes it."""
    if kind == "random":
        node: Any = zul_mew.RandomMewSlaveDemo(station, channel)
        node.start()
    elif kind == "memory":
        node = MemoryNode(channel, slave_station=station)
    else:
        node = SimBus.with_layout(channel, station, layout)
        node.start()
    return node


def cmd_sim(args: argparse.Namespace) -> int:
    layout = [kind.strip() for kind in args.bus.split(",")]
    unknown = [kind for kind in layout if kind not in STATION_KINDS]
    if unknown or not layout:
        raise Failure(f"--bus takes kinds from {', '.join(STATION_KINDS)}, not {args.bus!r}")
    stop = _stop_on_signals()
    with NullModemCable(tap=True) as cable:
        own, other = cable.ports
        node = make_sim_node(
            args.kind, zul_mew.MewSerial(port=own, timeout=args.timeout), args.station, layout
        )
        try:
            what = args.kind if args.kind != "bus" else f"bus {','.join(layout)}"
            last = args.station + (len(layout) - 1 if args.kind == "bus" else 0)
            stations = f"{args.station}" if last == args.station else f"{args.station}..{last}"
            print(f"sim: {what} station {stations}", flush=True)
            print(f"port: {other}", flush=True)
            print(f"tap: {cable.tap}", flush=True)
            while not stop.wait(0.2):
                pass
        finally:
            node.close()
    print("sim: stopped", flush=True)
    return 0


class _ShowingMaster(zul_mew.MewMaster):
    """A master that shows every exchange: the request it sends, the answer it gets."""

    def query(self, command: str) -> str:
        print(f"  sent {command!r}")
        answer = super().query(command)
        print(f"  got  {answer!r}")
        return answer


def cmd_demo(args: argparse.Namespace) -> int:
    steps: List[Any] = [
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
    with NullModemCable() as cable:
        slave_port, master_port = cable.ports
        slave = zul_mew.RandomMewSlaveDemo(1, zul_mew.MewSerial(port=slave_port))
        slave.start()
        try:
            master = _ShowingMaster(
                zul_mew.MewSerial(port=master_port), query_timeout=args.query_timeout
            )
            try:
                print(f"demo: random slave, station 1, on {slave_port}; master on {master_port}")
                for title, step in steps:
                    print(f"{title}:", flush=True)
                    try:
                        result = step(master)
                    except IOError as error:
                        print(f"  failed: {error}")
                    else:
                        print(f"  -> {result!r}" if result is not None else "  -> done", flush=True)
            finally:
                master.close()
        finally:
            slave.close()
    print("demo: done, everything stopped")
    return 0


# ---------------------------------------------------------------------------
# Command line


def build_parser() -> argparse.ArgumentParser:
    line = argparse.ArgumentParser(add_help=False)
    group = line.add_argument_group("port settings")
    group.add_argument("--baudrate", type=int, default=9600, help="bits per second (default 9600)")
    group.add_argument(
        "--parity", choices=["N", "E", "O", "M", "S"], help="parity (default: pyserial's, N)"
    )
    group.add_argument(
        "--timeout", type=float, default=0.1, help="read time-out in seconds (default 0.1)"
    )
    group.add_argument(
        "--query-timeout", type=float, default=1.0, help="seconds to wait for an answer (default 1)"
    )

    parser = argparse.ArgumentParser(
        prog="zul-mew", description="Talk MEWTOCOL-COM to stations on a serial line from the shell."
    )
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    port_help = (
        "serial device (/dev/ttyUSB0, COM3) or URL (socket://host:port, rfc2217://host:port)"
    )

    demo = commands.add_parser("demo", help="a master and a random slave, no hardware")
    demo.add_argument(
        "--query-timeout",
        type=float,
        default=0.3,
        help="seconds to wait for an answer (default 0.3)",
    )
    demo.set_defaults(run=cmd_demo)

    sim = commands.add_parser(
        "sim", parents=[line], help="run a simulated station on a virtual port"
    )
    sim.add_argument("--station", type=int, default=1, help="station number (first of a bus)")
    sim.add_argument("--kind", choices=["random", "memory", "bus"], default="bus")
    sim.add_argument(
        "--bus",
        default=",".join(DEFAULT_LAYOUT),
        help="kinds of the bus stations in order (xy, axis, ad)",
    )
    sim.set_defaults(run=cmd_sim)

    for verb, runner, about in (("read", cmd_read, "read"), ("write", cmd_write, "write")):
        sub = commands.add_parser(
            verb, parents=[line], help=f"{about} a contact, word of contacts or registers"
        )
        sub.add_argument("port", metavar="PORT", help=port_help)
        sub.add_argument("station", metavar="STATION", type=int)
        sub.add_argument(
            "name", metavar="NAME", help="contact (Y1A), word of contacts (WY0) or register (DT100)"
        )
        sub.add_argument(
            "--as",
            dest="form",
            choices=[*FORMATS, "bool"],
            help="value form (contacts: bool, others: u16)",
        )
        if verb == "read":
            sub.add_argument("--count", type=int, default=1, help="number of values (default 1)")
        else:
            sub.add_argument("values", metavar="VALUE", nargs="+")
        sub.set_defaults(run=runner)

    scan = commands.add_parser("scan", parents=[line], help="discover the stations of a bus")
    scan.add_argument("port", metavar="PORT", help=port_help)
    scan.set_defaults(run=cmd_scan)

    monitor = commands.add_parser(
        "monitor", parents=[line], help="print every frame seen on a line"
    )
    monitor.add_argument("port", metavar="PORT", help=port_help)
    monitor.add_argument("--count", type=int, help="stop after this many frames")
    monitor.set_defaults(run=cmd_monitor)

    board_parser = commands.add_parser("board", parents=[line], help="live board of a bus")
    board.add_arguments(board_parser)
    board_parser.set_defaults(run=board.run)
    return parser


def main(argv: Optional[Sequence[str]] = None) -> int:
    args = build_parser().parse_args(argv)
    run: Callable[[argparse.Namespace], int] = args.run
    try:
        return run(args)
    except Failure as failure:
        print(f"zul-mew {args.command}: {failure}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        return 130


if __name__ == "__main__":
    sys.exit(main())
