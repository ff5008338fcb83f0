"""``zul-mew bridge``: the points of a bus on an MQTT broker, with Home
Assistant's discovery, until Ctrl-C or SIGTERM; then ``offline`` said for the
bridge and its stations, the session closed and the node closed.

Given a PORT it scans the bus (``--first``/``--last`` as ``scan``) and bridges
the points ``scan --emit-config`` would write for the stations found; given a
tag file, its points, on the line its ``[line]`` table names."""

from __future__ import annotations

import argparse
import dataclasses
import logging
import os
import sys
from typing import TYPE_CHECKING, Any, Dict, List

import zul_mew

from ..plant import TagFile, discovered
from ..vocabulary import failure_kind, reason
from .line import PORT_HELP, Failure, add_port_options, add_station_range, master_on, station_range
from .log import master_for, read_tags, stopped_by_signals
from .scan import Progress, ask, line_of, stations_of

if TYPE_CHECKING:
    from ..bridge import Bridge, Broker

EXTRA = 'the bridge needs its extra: pip install "zul_mew[mqtt]"'
# The options that say how to scan a port: a tag file names its line itself.
PORT_ONLY = (
    "first",
    "last",
    "baudrate",
    "parity",
    "bytesize",
    "stopbits",
    "timeout",
    "query_timeout",
)


def add_to(commands: "argparse._SubParsersAction[argparse.ArgumentParser]") -> None:
    parser = commands.add_parser("bridge", help="a bus on an MQTT broker (the mqtt extra)")
    parser.add_argument(
        "source",
        metavar="PORT|TAGFILE",
        help=f"a tag file (TOML), or a port whose stations are scanned: {PORT_HELP}",
    )
    group = parser.add_argument_group("the broker")
    group.add_argument(
        "--broker",
        required=True,
        metavar="URL",
        help="mqtt://[USER@]HOST[:PORT] (port 1883) or mqtts://... (TLS, port 8883)",
    )
    group.add_argument(
        "--password-file",
        metavar="FILE",
        help="the user's password, the file's first line (default: $ZUL_MEW_MQTT_PASSWORD)",
    )
    group.add_argument(
        "--ca-file",
        metavar="FILE",
        help="the certificates that vouch for the broker (mqtts://; default: the system's)",
    )
    group.add_argument("--root", help="the first level of every topic (default zul_mew)")
    group.add_argument(
        "--discovery-prefix",
        metavar="PREFIX",
        help="Home Assistant's discovery prefix (default homeassistant)",
    )
    group.add_argument(
        "--client-id", metavar="ID", help="the session's client id (default zul-mew-HOSTNAME-ROOT)"
    )
    scan = parser.add_argument_group("a PORT's scan")
    add_station_range(scan)
    # A silent station costs one answer time-out: short ones keep a scan quick.
    add_port_options(parser, query_timeout=0.1)
    parser.set_defaults(run=run, port_only={dest: parser.get_default(dest) for dest in PORT_ONLY})


def run(args: argparse.Namespace) -> int:
    try:
        import paho.mqtt  # noqa: F401
    except ImportError:
        raise Failure(EXTRA) from None
    broker = broker_for(args)
    tags = tags_for(args)
    master = master_for(tags, args)
    show_log()
    try:
        bridge = bridge_for(tags, broker, master, args)
        with stopped_by_signals() as stop:
            try:
                bridge.start()
            except OSError as error:
                raise Failure(str(error)) from None
            try:
                points = sum(len(each.points) for each in tags.stations)
                print(
                    f"bridge: {points} points of {len(tags.stations)} stations on {tags.line.port}"
                    f" to {broker.url} under {bridge.topics.root}",
                    file=sys.stderr,
                    flush=True,
                )
                stop.wait()
            finally:
                bridge.stop()
    finally:
        master.close()
    for number, stats in bridge.scheduler.statistics().items():
        label = tags.station(number).label
        print(stats.summary(f"{label} on {tags.line.port} bridge"), file=sys.stderr)
    print(f"bridge: offline, disconnected from {broker.url}", file=sys.stderr, flush=True)
    return 0


def broker_for(args: argparse.Namespace) -> "Broker":
    from ..bridge import Broker, password_from

    try:
        broker = Broker.from_url(args.broker, ca_file=args.ca_file)
        if broker.user or args.password_file:
            broker = dataclasses.replace(broker, password=password_from(args.password_file))
    except ValueError as error:
        raise Failure(str(error)) from None
    except OSError as error:
        raise Failure(f"cannot read {args.password_file}: {error.strerror or error}") from None
    return broker


def bridge_for(
    tags: TagFile, broker: "Broker", master: zul_mew.MewMaster, args: argparse.Namespace
) -> "Bridge":
    from ..bridge import PREFIX, ROOT, Bridge

    try:
        return Bridge(
            tags,
            broker,
            master,
            root=args.root or ROOT,
            prefix=args.discovery_prefix or PREFIX,
            client_id=args.client_id,
        )
    except ValueError as error:
        raise Failure(str(error)) from None
    except OSError as error:  # TLS that cannot be set up
        raise Failure(f"cannot use the CA file {args.ca_file}: {reason(error)}") from None


def tags_for(args: argparse.Namespace) -> TagFile:
    """The tag file named, or the one a scan of the port suggests."""
    if os.path.isfile(args.source):
        given = [dest for dest, default in args.port_only.items() if getattr(args, dest) != default]
        if given:
            option = "--" + given[0].replace("_", "-")
            raise Failure(f"{args.source} is a tag file: its [line] table sets what {option} does")
        return read_tags(args.source)
    args.port = args.source
    stations = station_range(args)
    master = master_on(args)
    try:
        found = scanned(master, args.port, stations)
    finally:
        master.close()
    if not found:
        raise Failure(f"no station answered on {args.port} (stations {args.first} to {args.last})")
    return discovered(line_of(args), stations_of(found))


def scanned(master: zul_mew.MewMaster, port: str, stations: range) -> List[Dict[str, Any]]:
    progress = Progress()
    found: List[Dict[str, Any]] = []
    for number in stations:
        progress.asking(number)
        try:
            found.append(ask(master, number))
        except IOError as error:
            if failure_kind(error) == "timeout":
                continue  # nobody there: the next may be
            progress.done("failed")
            raise Failure(f"scan station {number} on {port}: {reason(error)}") from None
        progress.answered(found[-1])
    progress.done("done")
    return found


def show_log() -> None:
    logger = logging.getLogger("zul_mew_tools.bridge")
    if not logger.handlers:
        handler = logging.StreamHandler(sys.stderr)
        handler.setFormatter(logging.Formatter("bridge: %(message)s"))
        logger.addHandler(handler)
    logger.setLevel(logging.INFO)
