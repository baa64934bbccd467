"""Naming one supply: PORT, or PORT@ADDRESS for one unit of several on a
line, where PORT is a device name or a pyserial URL (socket://HOST:7000@2).
`Supply` and the command line both read names here, so that the two never
disagree about what "/dev/ttyUSB0@3" means."""

from __future__ import annotations

import os
import re
from typing import Any, NamedTuple

from .wire import BROADCAST

_URL = re.compile(r"[A-Za-z][A-Za-z0-9+.-]*://")


def is_url(port: str) -> bool:
    """A pyserial URL (scheme://...) rather than a device name."""
    return bool(_URL.match(port))


BROADCAST_REFUSED = (
    "address 255 is the broadcast address: every unit on the line answers it at once and "
    "the replies collide, so with two or more units no valid reply can come back, and a "
    "setting reported as failed may have reached every unit"
)


class TargetError(ValueError):
    """A port name or address that names no supply."""


class Target(NamedTuple):
    """One supply as named: its line, and its address on that line (None
    for a unit alone on its line, spoken to at the broadcast address)."""

    port: str
    address: int | None = None

    @property
    def name(self) -> str:
        """As the user wrote it: PORT, or PORT@ADDRESS."""
        return self.port if self.address is None else f"{self.port}@{self.address}"


def parse_target(text: str, address: int | None = None, *, scan_hint: str = "a scan") -> Target:
    """PORT or PORT@ADDRESS as a Target; `address`, when given, is the
    address for a bare PORT (giving it twice is refused). `scan_hint` is
    what finds a line's addresses, in the caller's own words."""
    if not isinstance(text, str):
        raise TypeError(f"a port name is a str, not {text!r}")
    text = text.strip()
    if not text:
        raise TargetError("the port name is empty")
    # The address is read from the end, so that a URL keeps its own @.
    port, at, tail = text.rpartition("@")
    if not at or (not re.fullmatch(r"[0-9]+", tail) and (is_url(text) or os.path.exists(text))):
        # No @, or a URL or device whose own name holds one.
        port, written = text, None
    elif not re.fullmatch(r"[0-9]+", tail):
        raise TargetError(f"{text}: the address after @ must be a number 0..254")
    elif not port:
        raise TargetError(f"{text}: the port name before @ is empty")
    else:
        written = int(tail)
    if written is not None and address is not None:
        raise TargetError(f"{text}: give the address once, either as PORT@ADDRESS or as address={address}")
    if address is None:
        address = written
    if address is None:
        return Target(port)
    if isinstance(address, bool) or not isinstance(address, int):
        raise TypeError(f"a bus address is an int 0..254, not {address!r}")
    shown = f"{port}@{address}"
    if address == BROADCAST:
        raise TargetError(
            f"{shown}: {BROADCAST_REFUSED}; give the unit's own address 0..254 ({scan_hint} finds them), "
            "or the port alone for a unit that is alone on its line"
        )
    if not 0 <= address < BROADCAST:
        raise TargetError(f"{shown}: a bus address is 0..254, not {address}")
    return Target(port, address)


def check_address(address: Any, *, allow_broadcast: bool = False) -> int:
    """`address` as a bus address, or a TypeError / ValueError that says
    what is wrong with it."""
    if isinstance(address, bool) or not isinstance(address, int):
        raise TypeError(f"a bus address is an int 0..254, not {address!r}")
    if address == BROADCAST and not allow_broadcast:
        raise ValueError(
            BROADCAST_REFUSED + "; give the unit's own address 0..254 (Bus.scan finds them), "
            "or allow_broadcast=True to send to 255 anyway"
        )
    if not 0 <= address <= BROADCAST:
        raise ValueError(f"a bus address is 0..254, not {address}")
    return address
