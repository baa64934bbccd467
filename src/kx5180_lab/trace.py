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
waiting, between which they came. The port (`kx5180_lab.instrument.port`) adds
"foreign", "refused" and "settle", Supply "no_reply", "interrupted" and
"identity".
"""

from __future__ import annotations

import logging
import sys
import threading
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


def publish(record: Event, subscribers: list[Subscriber], name: str) -> None:
    """Hands one event to the subscribers of every port and then to the
    port's own; a failing subscriber never breaks the exchange (nor hides
    its error)."""
    with _everywhere_lock:
        targets = list(_everywhere)
    for subscriber in targets + subscribers:
        try:
            subscriber(record)
        except Exception as e:  # a trace must not change the outcome
            logging.getLogger("kx5180.lab").warning("%s: trace subscriber failed: %s", name, e)


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
