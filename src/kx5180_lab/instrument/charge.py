"""A CC-CV charge, for batteries whose chemistry allows one (lithium-ion
and lead-acid cells do; NiMH and NiCd do not: their end of charge is not
found this way): a constant current up to the end-of-charge voltage, which
the unit does by itself with both set, then that voltage held until the
current has stayed below the cut-off for `CUTOFF_READINGS` readings in a
row, or until a maximum time or charge is reached. The output is off at the
end, whatever ended it."""

from __future__ import annotations

import time
from collections.abc import Callable
from dataclasses import dataclass
from typing import TYPE_CHECKING

from ..errors import LimitError, NoAnswerError, TripError
from ..records import Status
from .counters import Counters
from .program import check_ceiling, output_off_quietly, wait_until
from .schedule import next_slot
from .trips import check_setpoint, finite

if TYPE_CHECKING:
    from .supply import Supply

# Readings in a row below the cut-off, in constant voltage, that end a
# charge: one low reading can be noise or the moment of a load change.
CUTOFF_READINGS = 3

REASONS = {
    "cutoff": "the current stayed below the cut-off",
    "max_time": "the maximum time was reached",
    "max_charge": "the maximum charge was delivered",
    "output_off": "the unit switched its output off",
}


@dataclass(frozen=True)
class ChargeResult:
    """How a charge ended (`reason`, a key of REASONS; `done` at the
    cut-off) and what it delivered."""

    reason: str
    charge_ah: float
    energy_wh: float
    duration_s: float

    @property
    def done(self) -> bool:
        return self.reason == "cutoff"

    def text(self) -> str:
        return (
            f"charge ended: {REASONS[self.reason]}; {self.charge_ah:.4f} Ah and {self.energy_wh:.4f} Wh "
            f"delivered in {self.duration_s:.1f} s"
        )


def check_charge(
    psu: Supply,
    voltage: float,
    current: float,
    cutoff: float,
    max_time: float | None,
    max_charge: float | None,
) -> None:
    """Refuses (LimitError, nothing sent) a charge that `charge` would
    refuse; works on a supply that is not open."""
    psu.check(voltage=voltage, current=current)
    finite("the cut-off", cutoff)
    if round(cutoff * 1000) >= round(current * 1000):
        raise LimitError(f"the cut-off {cutoff:g} A must be below the charge current {current:g} A; nothing was sent")
    finite("the maximum time", max_time, allow_none=True)
    finite("the maximum charge", max_charge, allow_none=True)
    check_setpoint(psu.trips, voltage, current, "the charge", cc=True)


def charge(
    psu: Supply,
    voltage: float,
    current: float,
    cutoff: float,
    *,
    max_time: float | None = None,
    max_charge: float | None = None,
    interval: float = 1.0,
    on_reading: Callable[[Status, Counters], None] | None = None,
    on_missed: Callable[[NoAnswerError], None] | None = None,
) -> ChargeResult:
    check_charge(psu, voltage, current, cutoff, max_time, max_charge)
    interval = finite("interval", interval)  # type: ignore[assignment]
    check_ceiling(psu, [("the charge", voltage)])
    cutoff_ma = round(cutoff * 1000)
    psu.set(voltage=voltage, current=current)
    before = psu.counters()
    start = time.monotonic()
    deadline = None if max_time is None else start + max_time
    below = 0
    slot = 0
    reason = ""
    try:
        psu.output(True)
        while not reason:
            due = start + slot * interval
            wait_until(due if deadline is None else min(due, deadline))
            try:
                st = psu.status()
            except NoAnswerError as e:
                # Neither below nor above the cut-off: the count stands.
                if on_missed is not None:
                    on_missed(e)
            else:
                delivered = psu.counters() - before
                if on_reading is not None:
                    on_reading(st, delivered)
                if not st.output_on:
                    reason = "output_off"
                elif st.mode == "CV" and round(st.current_a * 1000) < cutoff_ma:
                    below += 1
                    if below >= CUTOFF_READINGS:
                        reason = "cutoff"
                else:
                    below = 0
                if not reason and max_charge is not None and delivered.charge_ah >= max_charge:
                    reason = "max_charge"
            if not reason and deadline is not None and time.monotonic() >= deadline:
                reason = "max_time"
            slot = next_slot(start, slot, interval)
    except BaseException as e:
        if not isinstance(e, TripError):  # a trip has switched it off already
            output_off_quietly(psu)
        raise
    psu.output(False)
    delivered = psu.counters() - before
    return ChargeResult(reason, delivered.charge_ah, delivered.energy_wh, time.monotonic() - start)
