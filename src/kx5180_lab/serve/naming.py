"""One name per unit across a lab: the host that serves it and its serial
number, "HOST/SERIAL". Unit numbers 1..N start again on every host; the
serial number does not, so this is what the metrics, MQTT and the API
carry for a lab's views to tell units apart."""

from __future__ import annotations

import re
import socket

from ..records import Identity

# What an MQTT topic level, a Home Assistant id and a Prometheus label
# value all take without escaping: anything else becomes "_".
_UNSAFE = re.compile(r"[^A-Za-z0-9._-]")
MAX_HOST = 64


def host_name(given: str | None) -> str:
    """`--host-name`, checked, or this machine's short name. Raises
    ValueError for a name that could not stand in a topic or a path."""
    if given is not None:
        if not given or len(given) > MAX_HOST or _UNSAFE.search(given):
            raise ValueError(
                f"--host-name: {given[:MAX_HOST]!r} must be 1..{MAX_HOST} letters, digits, '.', '_' or '-'"
            )
        return given
    name = socket.gethostname().split(".")[0]
    return _UNSAFE.sub("_", name)[:MAX_HOST] or "localhost"


def serial(identity: Identity | None) -> str:
    """The serial number as a name part: padding NULs and blanks gone,
    whatever a topic could not take replaced."""
    text = identity.serial_number.replace("\0", "").strip() if identity else ""
    return _UNSAFE.sub("_", text)


def unit_ids(host: str, identities: list[Identity | None]) -> list[str]:
    """ "HOST/SERIAL" for each unit, in order. A unit without a serial
    number, or sharing one with another unit here (two simulators), is
    told apart by its bus address, then by its place."""
    serials = [serial(i) for i in identities]
    ids: list[str] = []
    for n, (ident, sn) in enumerate(zip(identities, serials), start=1):
        part = sn or "unit"
        if not sn or serials.count(sn) > 1:
            part += f"@{ident.address}" if ident is not None else f"#{n}"
        while f"{host}/{part}" in ids:
            part += f"#{n}"
        ids.append(f"{host}/{part}")
    return ids
