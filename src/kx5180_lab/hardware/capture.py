"""A session on the wire as JSON Lines, to attach to an issue or to serve
again with `kx5180-sim --replay FILE`.

The first line is the header:

    {"format": "kx5180-capture", "version": 1, "tool": "0.1.0", "port": "/dev/ttyUSB0",
     "line": {"baud": 4800, "bytesize": 8, "parity": "N", "stopbits": 1}, "t": 12.5}

then one line per event, in the order they happened, each with "t" in
monotonic seconds (the same clock as the header's "t"):

    {"t": ..., "event": "tx", "port": ..., "hex": "aa01..."}        a frame written
    {"t": ..., "event": "rx", "port": ..., "hex": "aa01...", "after": ..., "seen": ...}
                                                                 bytes read (they arrived
                                                                 between "after" and "seen")
    {"t": ..., "event": "no_reply", "port": ..., "what": "status"}
    {"t": ..., "event": "interrupted", "port": ..., "what": "status"}
    {"t": ..., "event": "foreign", "port": ..., "hex": ..., "asked": 2}    a frame from another
                                                                 address, dropped
    {"t": ..., "event": "refused", "port": ..., "what": ..., "hex": ..., "expected": "0x26"}
    {"t": ..., "event": "settle", "port": ..., "waited_s": 1.0, "hex": "..."}
    {"t": ..., "event": "identity", "port": ..., "model": "5180", ...}

The file is flushed after each line, so a session that ends abruptly
still leaves every event before the end. `kx5180-sim --replay` reads the
"tx" and "rx" events and passes over the others.
"""

from __future__ import annotations

import json
import os
import threading
import time
from typing import IO, Any

from ..trace import Event, subscribe, unsubscribe
from ..version import version
from ..wire import LINE_SETTINGS

FORMAT = "kx5180-capture"
VERSION = 1


class Capture:
    """A capture file being written; a subscriber of the trace events.

    `Capture(path, port=...)` opens (and truncates) the file and writes the
    header; `close()` ends it. Used as a context manager, or handed to
    `Supply(capture=...)` / `Bus(capture=...)` (which then also take a path
    and close what they opened)."""

    def __init__(self, path: str | os.PathLike[str], *, port: str | None = None) -> None:
        self.path = os.fspath(path)
        self._lock = threading.Lock()
        self._file: IO[str] | None = open(self.path, "w", encoding="utf-8")  # closed by close()
        self._everywhere = False
        self._write(
            {
                "format": FORMAT,
                "version": VERSION,
                "tool": version(),
                "port": port,
                "line": LINE_SETTINGS,
                "t": time.monotonic(),
            }
        )

    def _write(self, record: dict[str, Any]) -> None:
        with self._lock:
            if self._file is None:
                return
            self._file.write(json.dumps(record, separators=(", ", ": ")) + "\n")
            self._file.flush()

    def __call__(self, event: Event) -> None:
        self._write(event)

    def everywhere(self) -> Capture:
        """Records the events of every traced port from now on (what the
        command line's --capture does)."""
        subscribe(self)
        self._everywhere = True
        return self

    def close(self) -> None:
        if self._everywhere:
            unsubscribe(self)
            self._everywhere = False
        with self._lock:
            if self._file is not None:
                self._file.close()
                self._file = None

    @property
    def closed(self) -> bool:
        return self._file is None

    def __enter__(self) -> Capture:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


def read_capture(path: str | os.PathLike[str]) -> tuple[dict[str, Any], list[dict[str, Any]]]:
    """The header and the events of a capture file."""
    with open(path, encoding="utf-8") as f:
        lines = [json.loads(line) for line in f if line.strip()]
    if not lines or lines[0].get("format") != FORMAT:
        raise ValueError(f"{os.fspath(path)}: not a kx5180 capture")
    return lines[0], lines[1:]
