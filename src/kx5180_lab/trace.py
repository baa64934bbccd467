"""The frame trace: every byte the driver writes to or reads from its port,
on the standard logger "kx5180.traffic" at DEBUG.

Each record's message is "<port> tx|rx <hex bytes>"; the record also
carries `direction` ("tx" written to the supply, "rx" read from it),
`port` and `data` (the bytes) as attributes, and its own creation time.

The logger is one subscriber of the port's events; a capture file
(`kx5180_lab.capture`) is another. Every event is a dict with at least
"t" (monotonic seconds), "event" and "port": "tx" and "rx" carry "hex";
an "rx" also carries "after" and "seen", the last moment the host knew
none of those bytes had arrived and the first poll that saw bytes
waiting, between which they came. Supply adds "no_reply",
"interrupted", "refused", "settle" and "identity".
"""

from __future__ import annotations

import logging
import sys
import threading
import time
from collections.abc import Callable
from typing import Any

TRAFFIC_LOGGER = "kx5180.traffic"
traffic_log = logging.getLogger(TRAFFIC_LOGGER)


def hex_bytes(data: bytes) -> str:
    return " ".join(f"{b:02X}" for b in data)


Event = dict[str, Any]
Subscriber = Callable[[Event], None]

# Subscribers that see the events of every port (the logger, a capture
# started by the command line); a port's own come on top.
_everywhere: list[Subscriber] = []
_everywhere_lock = threading.Lock()


def subscribe(subscriber: Subscriber) -> None:
    """Sends the events of every traced port to `subscriber`."""
    with _everywhere_lock:
        if subscriber not in _everywhere:
            _everywhere.append(subscriber)


def unsubscribe(subscriber: Subscriber) -> None:
    with _everywhere_lock:
        if subscriber in _everywhere:
            _everywhere.remove(subscriber)


def _to_logger(event: Event) -> None:
    direction = event.get("event")
    if direction not in ("tx", "rx") or not traffic_log.isEnabledFor(logging.DEBUG):
        return
    data = bytes.fromhex(event["hex"])
    traffic_log.debug(
        "%s %s %s",
        event["port"],
        direction,
        hex_bytes(data),
        extra={"direction": direction, "port": event["port"], "data": data},
    )


subscribe(_to_logger)


class TracedPort:
    """Wraps a pyserial port object: passes every call through and logs
    what goes over the wire. Only the operations the driver uses are
    intercepted; everything else reaches the real port unchanged."""

    def __init__(self, port: Any, name: str | None = None, subscribers: list[Subscriber] | None = None) -> None:
        self._port = port
        self._name = name if name is not None else str(getattr(port, "port", "?"))
        self.subscribers: list[Subscriber] = list(subscribers or ())
        # When bytes came is known only between two looks at the port: the
        # last one that found nothing new and the first one that found it.
        self._blind_t = time.monotonic()
        self._seen_t: float | None = None
        self.writes = 0
        # The frame read after the latest write, for whoever checks what
        # kind of reply it was.
        self.last_reply: bytes | None = None

    @property
    def wrapped(self) -> Any:
        return self._port

    @property
    def name(self) -> str:
        return self._name

    def emit(self, event: str, **fields: Any) -> None:
        """Hands one event to every subscriber; a failing subscriber never
        breaks the exchange (nor hides its error)."""
        record: Event = {"t": fields.pop("t", None) or time.monotonic(), "event": event, "port": self._name, **fields}
        with _everywhere_lock:
            targets = list(_everywhere)
        for subscriber in targets + self.subscribers:
            try:
                subscriber(record)
            except Exception as e:  # noqa: BLE001 - a trace must not change the outcome
                logging.getLogger("kx5180.lab").warning("%s: trace subscriber failed: %s", self._name, e)

    def write(self, data: Any) -> Any:
        result = self._port.write(data)
        now = time.monotonic()
        self.writes += 1
        self.last_reply = None
        self._blind_t, self._seen_t = now, None
        self.emit("tx", t=now, hex=bytes(data).hex())
        return result

    def read(self, size: int = 1) -> bytes:
        data: bytes = self._port.read(size)
        now = time.monotonic()
        if data:
            if len(data) == 26:
                self.last_reply = bytes(data)
            self.emit("rx", t=now, hex=bytes(data).hex(), after=self._blind_t, seen=self._seen_t or now)
        self._blind_t, self._seen_t = now, None
        return data

    def _looked(self, waiting: int) -> int:
        now = time.monotonic()
        if waiting:
            if self._seen_t is None:
                self._seen_t = now
        else:
            self._blind_t, self._seen_t = now, None
        return waiting

    def inWaiting(self) -> int:  # noqa: N802 - pyserial's name
        return self._looked(self._port.inWaiting())

    @property
    def in_waiting(self) -> int:
        return self._looked(self._port.in_waiting)

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
