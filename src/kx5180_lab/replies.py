"""Late and foreign replies, seen from outside the driver.

The driver's exchange takes the first valid frame that arrives within its
0.3 s window and, after a window that read nothing, waits up to another
0.3 s for a straggler before its next command. A reply later than that is
taken as the next command's. Two things narrow that gap here, without
changing the driver:

- the late window: after a command went unanswered (or was interrupted,
  or its reply refused), the next call first reads and discards what
  arrives until `late_window` seconds after that failure (it stops early
  once a frame's worth came for every unanswered command);
- strict replies: the frame that answered a call must carry the command
  word that kind of command gets back (0x12 for a setting, 0x26 for the
  status, 0x31 for the identity), else the call fails as unanswered. Off
  by default: what real units put there is not yet known.
"""

from __future__ import annotations

import time
from typing import Any

from .trace import TracedPort

FRAME = 26
POLL_S = 0.01

RETURN_WORD, STATUS_WORD, IDENTITY_WORD = 0x12, 0x26, 0x31

# What each driver call should get back, by the command word of its reply.
EXPECTED_WORD = {
    "set_work_mode": RETURN_WORD,
    "set_ouput_mode": RETURN_WORD,
    "set_voltage_max": RETURN_WORD,
    "set_out_voltage": RETURN_WORD,
    "set_out_current": RETURN_WORD,
    "set_new_addr": RETURN_WORD,
    "restore_factory": RETURN_WORD,
    "read_dev_status": STATUS_WORD,
    "open": IDENTITY_WORD,
    "_KX5180__read_device_version": IDENTITY_WORD,
}

KIND = {RETURN_WORD: "a setting's acknowledgement", STATUS_WORD: "a status", IDENTITY_WORD: "an identity"}


def traced_port(driver: Any) -> TracedPort | None:
    port = getattr(driver, "ser", None) if driver is not None else None
    return port if isinstance(port, TracedPort) else None


class ReplyGuard:
    """Wraps each driver call of one Supply: settles the line after a
    failure, and (strict) refuses a reply of the wrong kind."""

    def __init__(self, *, strict: bool = False, late_window: float = 1.0) -> None:
        self.strict = strict
        self.late_window = late_window
        self._failed_at: float | None = None
        self._owed = 0

    def call(self, driver: Any, method: str, *args: Any, refused: type[Exception], name: str) -> Any:
        self.settle(driver)
        try:
            result = getattr(driver, method)(*args)
        except KeyboardInterrupt:
            self._missed(driver, "interrupted", method)
            raise
        if not result:
            self._missed(driver, "no_reply", method)
            return result
        expected = EXPECTED_WORD.get(method)
        port = traced_port(driver)
        if self.strict and expected is not None and port is not None and port.last_reply is not None:
            reply = port.last_reply
            if reply[2] != expected:
                port.emit("refused", what=method, hex=reply.hex(), expected=f"0x{expected:02X}")
                self._missed(driver, None, method)
                got = KIND.get(reply[2], "an unknown kind of reply")
                raise refused(
                    f"{name}: refused the reply to {method}: command word 0x{reply[2]:02X} ({got}), "
                    f"expected 0x{expected:02X} (strict replies; a late reply to an earlier command?)"
                )
        return result

    def _missed(self, driver: Any, event: str | None, method: str) -> None:
        self._failed_at = time.monotonic()
        self._owed += 1
        port = traced_port(driver)
        if event is not None and port is not None:
            port.emit(event, what=method)

    def settle(self, driver: Any) -> None:
        """Reads and drops what arrives until the late window after the
        last failure has passed; nothing to do on a healthy line."""
        if self._failed_at is None:
            return
        read = getattr(driver, "_KX5180__read", None)
        if read is None:
            self._failed_at, self._owed = None, 0
            return
        deadline = self._failed_at + self.late_window
        start = time.monotonic()
        dropped = bytearray()
        while True:
            # The driver's raw read holds the port for its call, so this
            # never takes bytes from another unit's exchange on a shared line.
            chunk = read()
            if chunk:
                dropped += chunk
            if len(dropped) >= FRAME * self._owed or time.monotonic() >= deadline:
                break
            time.sleep(POLL_S)
        self._failed_at, self._owed = None, 0
        port = traced_port(driver)
        if port is not None:
            port.emit("settle", waited_s=round(time.monotonic() - start, 6), hex=bytes(dropped).hex())
