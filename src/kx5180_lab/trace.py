"""The frame trace: every byte the driver writes to or reads from its port,
on the standard logger "kx5180.traffic" at DEBUG.

Each record's message is "<port> tx|rx <hex bytes>"; the record also
carries `direction` ("tx" written to the supply, "rx" read from it),
`port` and `data` (the bytes) as attributes, and its own creation time.
"""

from __future__ import annotations

import logging
import sys
from typing import Any

TRAFFIC_LOGGER = "kx5180.traffic"
traffic_log = logging.getLogger(TRAFFIC_LOGGER)


def hex_bytes(data: bytes) -> str:
    return " ".join(f"{b:02X}" for b in data)


class TracedPort:
    """Wraps a pyserial port object: passes every call through and logs
    what goes over the wire. Only the operations the driver uses are
    intercepted; everything else reaches the real port unchanged."""

    def __init__(self, port: Any, name: str | None = None) -> None:
        self._port = port
        self._name = name if name is not None else str(getattr(port, "port", "?"))

    @property
    def wrapped(self) -> Any:
        return self._port

    def _emit(self, direction: str, data: bytes) -> None:
        if data and traffic_log.isEnabledFor(logging.DEBUG):
            traffic_log.debug(
                "%s %s %s",
                self._name,
                direction,
                hex_bytes(data),
                extra={"direction": direction, "port": self._name, "data": bytes(data)},
            )

    def write(self, data: Any) -> Any:
        result = self._port.write(data)
        self._emit("tx", bytes(data))
        return result

    def read(self, size: int = 1) -> bytes:
        data: bytes = self._port.read(size)
        self._emit("rx", data)
        return data

    def inWaiting(self) -> int:  # noqa: N802 - pyserial's name
        waiting: int = self._port.inWaiting()
        return waiting

    @property
    def in_waiting(self) -> int:
        waiting: int = self._port.in_waiting
        return waiting

    def close(self) -> None:
        self._port.close()

    def __getattr__(self, name: str) -> Any:
        return getattr(self._port, name)


class TraceFormatter(logging.Formatter):
    """One line a frame: wall-clock time to the microsecond, direction, port
    and the hex bytes."""

    def format(self, record: logging.LogRecord) -> str:
        stamp = self.formatTime(record, "%H:%M:%S")
        usec = int((record.created % 1) * 1_000_000)
        direction = getattr(record, "direction", None)
        if direction is None:
            return f"{stamp}.{usec:06d} {record.getMessage()}"
        port = getattr(record, "port", "")
        return f"{stamp}.{usec:06d} {direction} {port} {hex_bytes(getattr(record, 'data', b''))}"


def enable_trace(stream: Any = None) -> logging.Handler:
    """Sends the frame trace to `stream` (standard error by default) and
    returns the handler, for removeHandler later."""
    handler = logging.StreamHandler(stream if stream is not None else sys.stderr)
    handler.setFormatter(TraceFormatter())
    handler.setLevel(logging.DEBUG)
    traffic_log.addHandler(handler)
    traffic_log.setLevel(logging.DEBUG)
    return handler
