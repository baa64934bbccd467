"""Opening a line: the toolkit's only way onto a serial port, a device
name or a pyserial URL (`kx5180_lab.instrument.network`). `Supply` and
`Bus` both come here, so that a failure is an exception that says why
rather than a printed line."""

from __future__ import annotations

import os
import stat
import subprocess
import sys
from typing import Any

import serial

from ..errors import PortBusyError, PortCheckError, PortOpenError
from ..target import is_url
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


# Where Linux shows each process's open files (fd/N, links to what is
# open) and its name (comm).
PROC = "/proc"


def _proc_holders(port: str) -> str | None:
    """Who holds the port, read from /proc (None where there is none to
    read). A process whose files this user may not see is not seen, as
    with lsof."""
    if not os.path.isdir(os.path.join(PROC, "self", "fd")):
        return None
    try:
        wanted = os.stat(port)
        path = os.path.realpath(port)
        pids = [entry for entry in os.listdir(PROC) if entry.isdigit()]
    except OSError:
        return ""  # no such port: opening it says so
    device = wanted.st_rdev if stat.S_ISCHR(wanted.st_mode) else None
    holders = []
    for pid in pids:
        fds = f"{PROC}/{pid}/fd"
        try:
            names = os.listdir(fds)
        except OSError:
            continue  # gone meanwhile, or not ours to see
        for name in names:
            fd = f"{fds}/{name}"
            try:
                link = os.readlink(fd)
                # Sockets, pipes and files elsewhere are not the port; a
                # device under another name is (the same device number).
                if link != path and not (device is not None and link.startswith("/dev/")):
                    continue
                if link != path:
                    other = os.stat(fd)
                    if not (stat.S_ISCHR(other.st_mode) and other.st_rdev == device):
                        continue
            except OSError:
                continue
            holders.append(f"{_process_name(pid)} (pid {pid})")
            break
    return ", ".join(holders)


def _process_name(pid: str) -> str:
    try:
        with open(os.path.join(PROC, pid, "comm"), encoding="utf-8", errors="replace") as f:
            return f.read().strip() or "?"
    except OSError:
        return "?"


def port_holders(port: str, *, strict: bool = False) -> str:
    """Who holds the port ("NAME (pid N)", comma-separated; "" for nobody):
    from /proc on Linux, else from lsof. When neither can tell, "" too,
    or with `strict` a PortCheckError."""
    found = _proc_holders(port)
    if found is not None:
        return found
    return _lsof_holders(port, strict=strict)


def open_port(port: str, *, exclusive: bool = True, strict: bool = True) -> TracedPort:
    """Opens `port` with the driver's line settings (4800 baud, 8N1, the
    driver's read timeout), wrapped for the frame trace.

    With `exclusive`, a port that another program holds is refused
    (PortBusyError) and the port is locked against other exclusive
    openers. When that cannot be checked, `strict` refuses
    (PortCheckError), as the driver does; otherwise the lock alone guards
    the port. Windows opens ports exclusively by itself. A URL
    (rfc2217://HOST:PORT, socket://HOST:PORT, ...) is neither checked nor
    locked: the far end decides who may connect."""
    settings: dict[str, Any] = {
        "baudrate": BAUD,
        "bytesize": BYTESIZE,
        "parity": PARITY,
        "stopbits": STOPBITS,
        "timeout": READ_TIMEOUT_S,
    }
    if is_url(port):
        from .network import open_url  # sockets and RFC 2217 only for those who use them

        return TracedPort(open_url(port, **settings), port)
    if exclusive and sys.platform != "win32":
        holders = port_holders(port, strict=strict)
        if holders:
            raise PortBusyError(f"{port} is in use by {holders}; close it and try again")
    if exclusive and os.name == "posix":
        settings["exclusive"] = True
    try:
        ser = serial.Serial(port, **settings)
    except (serial.SerialException, OSError, ValueError) as e:
        text = e.strerror if isinstance(e, OSError) and e.strerror else str(e)
        raise PortOpenError(f"cannot open {port}: {text}") from e
    return TracedPort(ser, port)
