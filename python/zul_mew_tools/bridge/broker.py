"""The broker a bridge publishes to: its address as a URL, the user and the
password it is reached with, and TLS for ``mqtts://``.

A password never comes in the URL: a command line is seen by every user of the
machine. It comes from a file only its owner reads, or from the environment.
"""

from __future__ import annotations

import os
import urllib.parse
from dataclasses import dataclass, field
from typing import Mapping, Optional

PORTS = {"mqtt": 1883, "mqtts": 8883}
PASSWORD_VARIABLE = "ZUL_MEW_MQTT_PASSWORD"


@dataclass(frozen=True)
class Broker:
    """Where the broker is and how to log in: ``tls`` for ``mqtts://``, checked
    against the certificates in ``ca_file`` (the system's when None)."""

    host: str
    port: int = PORTS["mqtt"]
    tls: bool = False
    user: str = ""
    password: Optional[str] = field(default=None, repr=False)
    ca_file: Optional[str] = None

    def __post_init__(self) -> None:
        if self.password is not None and not self.user:
            raise ValueError("a password needs a user: mqtt://USER@HOST")
        if self.ca_file is not None and not self.tls:
            raise ValueError("a CA file is for TLS: the broker's URL starts mqtts://")

    @classmethod
    def from_url(
        cls, url: str, password: Optional[str] = None, ca_file: Optional[str] = None
    ) -> "Broker":
        """The broker at ``mqtt://[USER@]HOST[:PORT]`` or ``mqtts://...``;
        ``ValueError`` says what is wrong with the URL."""
        parts = urllib.parse.urlsplit(url)
        if parts.scheme not in PORTS:
            raise ValueError(f"the broker is mqtt://[USER@]HOST[:PORT] or mqtts://..., not {url!r}")
        if parts.password is not None:
            raise ValueError(
                "no password in the broker's URL, where every user of this machine sees it:"
                f" put it in a file (--password-file) or in {PASSWORD_VARIABLE}"
            )
        if parts.path not in ("", "/") or parts.query or parts.fragment:
            raise ValueError(f"the broker's URL is mqtt://[USER@]HOST[:PORT], not {url!r}")
        try:
            port = parts.port
        except ValueError:
            port = 0
        if port == 0:
            raise ValueError(f"the broker's port is a number from 1 to 65535 in {url!r}")
        if not parts.hostname:
            raise ValueError(f"no host in the broker's URL {url!r}")
        user = urllib.parse.unquote(parts.username or "")
        tls = parts.scheme == "mqtts"
        return cls(parts.hostname, port or PORTS[parts.scheme], tls, user, password, ca_file)

    @property
    def url(self) -> str:
        """The broker in messages, never with its password."""
        user = f"{urllib.parse.quote(self.user)}@" if self.user else ""
        host = f"[{self.host}]" if ":" in self.host else self.host
        return f"{'mqtts' if self.tls else 'mqtt'}://{user}{host}:{self.port}"


def password_from(
    file: Optional[str], environment: Mapping[str, str] = os.environ
) -> Optional[str]:
    """The password in ``file`` (its first line) when given, otherwise in the
    variable ``ZUL_MEW_MQTT_PASSWORD``; None when neither has one. ``OSError``
    for a file that cannot be read."""
    if file is not None:
        with open(file, encoding="utf-8") as text:
            return text.readline().rstrip("\r\n")
    return environment.get(PASSWORD_VARIABLE)
