"""Every error the toolkit raises about a supply or a line, in one place
below everything that raises them.

`SupplyError` is the base of them all; `RampInterrupted` is a
KeyboardInterrupt instead, so that a program stops as the user asked.
"""

from __future__ import annotations

from typing import Any

import serial

from .stops import Terminated


class SupplyError(Exception):
    """Base of every error this toolkit raises about a supply."""


class ConnectError(SupplyError):
    """The supply could not be opened."""


# The two port errors are also pyserial's, so that code written against
# pyserial (or an earlier Bus) that catches SerialException still sees them.
class PortBusyError(ConnectError, serial.SerialException):
    """Another program holds the port."""


class PortCheckError(ConnectError):
    """Whether the port is free could not be checked (lsof missing, ...)."""


class PortOpenError(ConnectError, serial.SerialException):
    """The port could not be opened (missing device, permissions, ...)."""


class LineError(SupplyError):
    """The line failed in the middle of an exchange (adapter pulled, cable
    cut, supply switched off): the OSError from the port is chained."""


class UnsupportedModelError(ConnectError):
    """Something answered, but it is not a 5180 or 5181."""

    def __init__(self, message: str, model: str = "") -> None:
        super().__init__(message)
        self.model = model


class NoAnswerError(SupplyError):
    """The supply did not answer a command or readout."""


class WrongReplyError(NoAnswerError):
    """With strict_replies: the frame that came back was not the kind this
    command gets (a late reply to an earlier one, most likely), so it was
    refused as if no reply had come."""


class LimitError(SupplyError, ValueError):
    """A value was refused before anything was sent."""


class VerifyError(SupplyError):
    """A setting was acknowledged but reads back differently."""

    def __init__(self, message: str, field: str = "", sent: Any = None, read: Any = None) -> None:
        super().__init__(message)
        self.field, self.sent, self.read = field, sent, read


class RampError(SupplyError):
    """A ramp stopped early; `last_acknowledged_v` is where it stands."""

    def __init__(self, message: str, last_acknowledged_v: float, target_v: float) -> None:
        super().__init__(message)
        self.last_acknowledged_v = last_acknowledged_v
        self.target_v = target_v


class RampInterrupted(KeyboardInterrupt):
    """Ctrl-C during a ramp. Still a KeyboardInterrupt, so that the program
    stops as the user asked, but it says where the ramp stopped."""

    def __init__(self, message: str, last_acknowledged_v: float, target_v: float) -> None:
        super().__init__(message)
        self.last_acknowledged_v = last_acknowledged_v
        self.target_v = target_v


class RampTerminated(RampInterrupted, Terminated):
    """A ramp cut short by SIGTERM or SIGHUP: a RampInterrupted, and a
    Terminated that ends the program with 128 + the signal."""

    def __init__(self, message: str, last_acknowledged_v: float, target_v: float, signum: int) -> None:
        Terminated.__init__(self, signum, message)
        self.last_acknowledged_v = last_acknowledged_v
        self.target_v = target_v


class ShutdownError(SupplyError):
    """Leaving the supply safe failed (output off, local, close)."""


class BusClosedError(SupplyError, serial.PortNotOpenError):
    """The bus's port has been closed."""

    def __init__(self, port: str) -> None:
        SupplyError.__init__(self, f"{port}: the bus is closed")


class TripError(SupplyError):
    """A measured value stayed above its trip for the trip's delay: the
    output was switched off and the front panel handed back before this was
    raised. `quantity` is "current", "power" or "voltage"; `value` what was
    measured, `limit` the trip, `reading` the number of the reading (counted
    from 1 since the supply was opened), `over_s` how long the value had
    been over the limit, `status` the reading itself."""

    def __init__(
        self,
        message: str,
        quantity: str = "",
        value: float = 0.0,
        limit: float = 0.0,
        reading: int = 0,
        over_s: float = 0.0,
        status: Any = None,
    ) -> None:
        super().__init__(message)
        self.quantity, self.value, self.limit = quantity, value, limit
        self.reading, self.over_s, self.status = reading, over_s, status
        self.step: int | None = None  # the step of a program (Supply.run) it came in
