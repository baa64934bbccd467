"""Trips on measured values: the current, power or voltage a unit reports,
each with a limit that switches the output off once a reading has stayed
above it for the trip's delay.

Readings are whole mV and mA, so the limits are compared in whole units
too (power in uW, the product of the two): a reading equal to its limit
is not above it. A reading that did not come is no reading: it neither
counts as over the limit nor clears a stretch over it.
"""

from __future__ import annotations

import math
import numbers
from dataclasses import dataclass
from typing import Any

from ..errors import LimitError
from ..records import Status
from .limits import limit_milli

# The longest delay anyone means: a larger one is a typo.
MAX_DELAY_S = 86400.0

UNITS = {"current": "A", "power": "W", "voltage": "V"}


@dataclass(frozen=True)
class Trips:
    """The trips of one supply (None: no trip on that value) and the
    seconds a value may stay above its trip before it trips (0: the first
    reading above it trips)."""

    current_a: float | None = None
    power_w: float | None = None
    voltage_v: float | None = None
    delay_s: float = 0.0

    def __post_init__(self) -> None:
        for name in ("current_a", "power_w", "voltage_v"):
            limit_milli(f"trip_{name.partition('_')[0]}", getattr(self, name), 1 << 62)
        d = self.delay_s
        if isinstance(d, bool) or not isinstance(d, numbers.Real) or not (0 <= d <= MAX_DELAY_S):
            raise LimitError(f"trip_delay must be a number of seconds >= 0 and at most a day, not {d!r}")

    @property
    def any(self) -> bool:
        return any(v is not None for v in (self.current_a, self.power_w, self.voltage_v))

    def limits(self) -> list[tuple[str, float]]:
        return [
            (q, v)
            for q, v in (("current", self.current_a), ("power", self.power_w), ("voltage", self.voltage_v))
            if v is not None
        ]

    def describe(self) -> str:
        """ "current 0.300 A, power 2.000 W after 0.5 s", for messages."""
        parts = [f"{q} {v:.3f} {UNITS[q]}" for q, v in self.limits()]
        return ", ".join(parts) + (f" after {self.delay_s:g} s" if self.delay_s else "")


def _micro(quantity: str, limit: float) -> int:
    """A limit in the units its reading is compared in: mA, mV, or uW."""
    milli = limit_milli(f"trip_{quantity}", limit, 1 << 62)
    return milli * 1000 if quantity == "power" else milli


def _measured(quantity: str, st: Status) -> int:
    mv, ma = round(st.voltage_v * 1000), round(st.current_a * 1000)
    return {"current": ma, "voltage": mv, "power": mv * ma}[quantity]


@dataclass(frozen=True)
class Trip:
    """What tripped: the quantity, the reading's value and the limit (in
    A, W or V), the reading's number and how long it had been over."""

    quantity: str
    value: float
    limit: float
    reading: int
    over_s: float
    since_reading: int

    def text(self) -> str:
        unit = UNITS[self.quantity]
        since = "" if self.since_reading == self.reading else f" (since reading {self.since_reading})"
        return (
            f"{self.quantity} trip: {self.value:.3f} {unit} at reading {self.reading} is above the trip "
            f"{self.limit:.3f} {unit}, over it for {self.over_s:.3f} s{since}"
        )


class TripWatch:
    """Follows the readings of one supply against its trips."""

    def __init__(self, trips: Trips) -> None:
        self.trips = trips
        self._limits = [(q, v, _micro(q, v)) for q, v in trips.limits()]
        # quantity: (time, reading number) of the first reading of the
        # present stretch above the limit
        self._over: dict[str, tuple[float, int]] = {}

    def reading(self, st: Status, at: float, number: int) -> Trip | None:
        """The trip this reading (taken at monotonic time `at`) sets off, if any."""
        for quantity, limit, threshold in self._limits:
            if _measured(quantity, st) <= threshold:
                self._over.pop(quantity, None)
                continue
            since, first = self._over.setdefault(quantity, (at, number))
            over = at - since
            if over >= self.trips.delay_s:
                self._over.clear()
                value = {"current": st.current_a, "power": st.power_w, "voltage": st.voltage_v}[quantity]
                return Trip(quantity, value, limit, number, over, first)
        return None

    def reset(self) -> None:
        self._over.clear()


def check_setpoint(trips: Trips, voltage: float | None, current: float | None, what: str, *, cc: bool) -> None:
    """Refuses (LimitError, nothing sent) a setpoint that would trip for
    certain: a voltage above the voltage trip, which the output reaches with
    no load at all, and with `cc` (a constant-current phase is intended) a
    current above the current trip."""
    problems: list[str] = []
    v_trip, i_trip = trips.voltage_v, trips.current_a
    if voltage is not None and v_trip is not None and round(voltage * 1000) > _micro("voltage", v_trip):
        problems.append(f"its voltage {voltage:g} V is above the voltage trip {trips.voltage_v:.3f} V")
    if cc and current is not None and i_trip is not None and round(current * 1000) > _micro("current", i_trip):
        problems.append(f"its current {current:g} A is above the current trip {trips.current_a:.3f} A")
    if problems:
        raise LimitError(f"{what}: {' and '.join(problems)}, so it would trip; nothing was sent")


def finite(name: str, value: Any, *, positive: bool = True, allow_none: bool = False) -> float | None:
    """A number of the user's, refused (LimitError) unless finite and > 0
    (>= 0 without `positive`)."""
    if value is None and allow_none:
        return None
    if isinstance(value, bool) or not isinstance(value, numbers.Real) or not math.isfinite(value):
        raise LimitError(f"{name} must be a finite number, not {value!r}; nothing was sent")
    if value < 0 or (positive and value == 0):
        raise LimitError(f"{name} must be {'> 0' if positive else '>= 0'}, not {value:g}; nothing was sent")
    return float(value)
