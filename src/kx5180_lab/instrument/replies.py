"""Late, foreign and wrong replies, seen from outside the driver.

The driver's exchange takes the first valid frame that arrives within its
0.3 s window and, after a window that read nothing, waits up to another
0.3 s for a straggler before its next command. A reply later than that is
taken as the next command's, and on a shared line the next command is
often another unit's. The port the toolkit hands the driver
(`kx5180_lab.instrument.port.TracedPort`) closes that gap for every unit of the line:

- a reply from another address than the one asked is no answer;
- the late window belongs to the line: after an exchange got no reply of
  its own, the next command on the line, for whichever unit, first waits
  until `late_window` seconds after that exchange, dropping what arrives
  (it stops early once a frame came for every unanswered exchange);
- strict replies (asked for by a Supply, for its own calls): the frame
  that answers a call must carry the command word that kind of command
  gets back (0x12 for a setting, 0x26 for the status, 0x31 for the
  identity); another is dropped, and a call left without an answer fails
  with WrongReplyError. Off by default: what real units put there is not
  yet known.
"""

from __future__ import annotations

from typing import Any

from ..wire import IDENTITY_WORD, RETURN_WORD, STATUS_WORD
from .port import TracedPort

KIND = {RETURN_WORD: "a setting's acknowledgement", STATUS_WORD: "a status", IDENTITY_WORD: "an identity"}


def traced_port(driver: Any) -> TracedPort | None:
    port = getattr(driver, "ser", None) if driver is not None else None
    return port if isinstance(port, TracedPort) else None


class ReplyGuard:
    """Wraps each driver call of one Supply: marks its exchanges as its own
    (strict or not), and tells the trace how each call ended."""

    def __init__(self, *, strict: bool = False) -> None:
        self.strict = strict

    def call(self, driver: Any, method: str, *args: Any, refused: type[Exception], name: str) -> Any:
        port = traced_port(driver)
        if port is None:
            return getattr(driver, method)(*args)
        with port.calling(method, strict=self.strict) as call:
            try:
                result = getattr(driver, method)(*args)
            except KeyboardInterrupt:
                port.emit("interrupted", what=method)
                raise
        if result:
            return result
        frame, expected = call.refused, call.expected
        if frame is not None and expected is not None:
            got = KIND.get(frame[2], "an unknown kind of reply")
            raise refused(
                f"{name}: refused the reply to {method}: command word 0x{frame[2]:02X} ({got}), "
                f"expected 0x{expected:02X} (strict replies; a late reply to an earlier command?)"
            )
        port.emit("no_reply", what=method)
        return result
