"""Energy, charge and time with the output on, integrated from a unit's
readings: the trapezoid between two consecutive readings, and nothing
across a reading that did not come (the segment on either side of it is
left out rather than guessed)."""

from __future__ import annotations

from dataclasses import dataclass

from ..records import Status


@dataclass(frozen=True)
class Counters:
    """What a supply delivered since it was opened (or since
    `reset_counters()`): energy in Wh, charge in Ah, seconds with the
    output on."""

    energy_wh: float = 0.0
    charge_ah: float = 0.0
    on_s: float = 0.0

    def as_dict(self) -> dict[str, float]:
        return {"energy_wh": self.energy_wh, "charge_ah": self.charge_ah, "on_s": self.on_s}

    def __add__(self, other: Counters) -> Counters:
        return Counters(self.energy_wh + other.energy_wh, self.charge_ah + other.charge_ah, self.on_s + other.on_s)

    def __sub__(self, other: Counters) -> Counters:
        return Counters(self.energy_wh - other.energy_wh, self.charge_ah - other.charge_ah, self.on_s - other.on_s)


class Integrator:
    def __init__(self) -> None:
        self.total = Counters()
        self._last: tuple[float, float, float, bool] | None = None  # time, W, A, on

    def reading(self, st: Status, at: float) -> None:
        now = (at, st.power_w, st.current_a, st.output_on)
        last, self._last = self._last, now
        if last is None or at <= last[0]:
            return
        dt = at - last[0]
        t = self.total
        self.total = Counters(
            t.energy_wh + (last[1] + now[1]) / 2 * dt / 3600,
            t.charge_ah + (last[2] + now[2]) / 2 * dt / 3600,
            t.on_s + (last[3] + now[3]) / 2 * dt,
        )

    def missed(self) -> None:
        self._last = None

    def reset(self) -> None:
        """Zero, and counting again from the next reading."""
        self.total, self._last = Counters(), None
