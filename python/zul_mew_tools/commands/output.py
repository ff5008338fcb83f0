"""How results leave a command: text for people, JSON (one object per line) or
CSV (a header, then one row per result) for other programs."""

from __future__ import annotations

import argparse
import csv
import json
import time
from typing import Any, Dict, Optional, Sequence, TextIO

FORMAT_CHOICES = ("text", "json", "csv")


def add_format_option(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "--format",
        choices=FORMAT_CHOICES,
        default="text",
        help="text for people; json (one object per line) or csv for other programs",
    )


class Output:
    """One stream of results in the chosen format; CSV gets its header before the
    first row."""

    def __init__(self, form: str, stream: TextIO, header: Optional[Sequence[str]] = None) -> None:
        self.form = form
        self.stream = stream
        self._csv = csv.writer(stream, lineterminator="\n") if form == "csv" else None
        self._header = list(header) if header is not None else None

    def write(self, text: str, record: Dict[str, Any], row: Optional[Sequence[Any]] = None) -> None:
        if self._csv is not None:
            if self._header is not None:
                self._csv.writerow(self._header)
                self._header = None
            self._csv.writerow(row if row is not None else list(record.values()))
        elif self.form == "json":
            self.stream.write(json.dumps(record) + "\n")
        else:
            self.stream.write(text + "\n")
        self.stream.flush()

    @property
    def for_people(self) -> bool:
        return self.form == "text"


def clock(now: Optional[float] = None) -> str:
    """Wall-clock time to the millisecond, as a line of a log shows it."""
    now = time.time() if now is None else now
    return time.strftime("%H:%M:%S", time.localtime(now)) + f".{int(now * 1000) % 1000:03d}"
