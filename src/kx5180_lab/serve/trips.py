"""A served unit's trip: what the server keeps of it until a client clears
it, and how each protocol tells it.

The unit's `Supply` does the tripping itself (the output off and the front
panel back, in the next exchanges, before TripError is raised); the server
records the trip on the unit, in the line's worker, so that a request
queued behind the reading that tripped already finds it, and refuses to
switch that output on again until the trip is cleared.
"""

from __future__ import annotations

import re
import time
from dataclasses import dataclass
from typing import Any

from ..errors import SupplyError, TripError
from ..instrument.trips import UNITS
from ..records import Status

# The SCPI error queued on every connection when a unit trips: a
# device-specific error, the class a measured value beyond a protection
# limit belongs to.
TRIP_ERROR = -300
# A change refused, or cut short, because the unit is tripped: the command
# is well formed, but conflicts with the unit's state.
TRIPPED_ERROR = -221


@dataclass(frozen=True)
class TripRecord:
    """A trip as the server keeps it: the quantity, the value measured and
    the limit (A, W or V), the number of the reading and how long the value
    had been over, when it tripped (seconds since the epoch), the line told
    on the console, and the reading itself."""

    quantity: str
    value: float
    limit: float
    reading: int
    over_s: float
    t: float
    message: str
    status: Status | None

    @classmethod
    def of(cls, error: TripError, port: str) -> TripRecord:
        # The port is named by the unit already; the line is the trip's own.
        message = re.sub(rf"^{re.escape(port)}: ", "", str(error))
        return cls(
            error.quantity, error.value, error.limit, error.reading, error.over_s, time.time(), message, error.status
        )

    @property
    def unit(self) -> str:
        return UNITS.get(self.quantity, "")

    def short(self) -> str:
        """ "current 0.500 A above the trip 0.450 A", for error messages."""
        return f"{self.quantity} {self.value:.3f} {self.unit} above the trip {self.limit:.3f} {self.unit}"

    def as_dict(self) -> dict[str, Any]:
        return {
            "quantity": self.quantity,
            "value": self.value,
            "limit": self.limit,
            "unit": self.unit,
            "reading": self.reading,
            "over_s": self.over_s,
            "t": self.t,
            "message": self.message,
            "status": self.status.as_dict() if self.status is not None else None,
        }


class Tripped(SupplyError):
    """A change refused (switching the output on) or cut short (a reading
    in it tripped) because the unit is tripped: SCPI -221, HTTP 409."""
