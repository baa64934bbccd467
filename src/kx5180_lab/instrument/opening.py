"""Opening a line: the toolkit's only way onto a serial port. `Supply` and
`Bus` both come here, so that a failure is an exception that says why
rather than a printed line."""

from __future__ import annotations

import os
import subprocess
import sys
from typing import Any

import serial

from ..errors import PortBusyError, PortCheckError, PortOpenError
from ..wire import BAUD, BYTESIZE, PARITY, READ_TIMEOUT_S, STOPBITS
from .port import TracedPort


def os_text(e: OSError) -> str:
    """An OSError as one line: pyserial's text, else the system's."""
    text = e.strerror if e.strerror and str(e).startswith("[Errno") else str(e)
    return text or type(e).__name__


def _lsof_holders(port: str, *, strict: bool = False) -> str:
    """Who holds the port, as lsof names them ("" for nobody). When lsof
    cannot tell, "" too, or with `strict` a PortCheckError."""
    try:
        out = subprocess.run(["lsof", "-F", "pc", port], capture_output=True, text=True, timeout=5).stdout
    except (OSError, subprocess.SubprocessError) as e:
        if strict:
            raise PortCheckError(f"{port}: cannot check whether the port is free: {e}") from e
        return ""
    holders, pid = [], ""
    for line in out.splitlines():
        if line.startswith("p"):
            pid = line[1:]
        elif line.startswith("c") and pid:
            holders.append(f"{line[1:]} (pid {pid})")
    return ", ".join(dict.fromkeys(holders))


def port_holders(port: str, *, strict: bool = False) -> str:
    """Who holds the port ("NAME (pid N)", comma-separated; "" for nobody)."""
    return _lsof_holders(port, strict=strict)


def open_port(port: str, *, exclusive: bool = True, strict: bool = True) -> TracedPort:
    """Opens `port` with the driver's line settings (4800 baud, 8N1, the
    driver's read timeout), wrapped for the frame trace.

    With `exclusive`, a port that another program holds is refused
    (PortBusyError) and the port is locked against other exclusive
    openers. When that cannot be checked, `strict` refuses
    (PortCheckError), as the driver does; otherwise the lock alone guards
    the port. Windows opens ports exclusively by itself."""
    if exclusive and sys.platform != "win32":
        holders = port_holders(port, strict=strict)
        if holders:
            raise PortBusyError(f"{port} is in use by {holders}; close it and try again")
    extra: dict[str, Any] = {"exclusive": True} if exclusive and os.name == "posix" else {}
    try:
        ser = serial.Serial(port, BAUD, BYTESIZE, PARITY, timeout=READ_TIMEOUT_S, stopbits=STOPBITS, **extra)
    except (serial.SerialException, OSError, ValueError) as e:
        text = e.strerror if isinstance(e, OSError) and e.strerror else str(e)
        raise PortOpenError(f"cannot open {port}: {text}") from e
    return TracedPort(ser, port)
