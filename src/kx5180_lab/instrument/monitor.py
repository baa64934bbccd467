"""Every status reading a supply takes, watched: the trips checked on it
and the counters fed with it. `Supply` is built on `Monitored`."""

from __future__ import annotations

import time
from typing import Any, Self

from ..errors import NoAnswerError, TripError
from ..records import Status
from .connection import Connection
from .counters import Counters, Integrator
from .trips import Trips, TripWatch


class Monitored(Connection):
    def __init__(
        self,
        port: str,
        *,
        trip_current: float | None = None,
        trip_power: float | None = None,
        trip_voltage: float | None = None,
        trip_delay: float = 0.0,
        **options: Any,
    ) -> None:
        # Refused before the port is touched, like any other limit.
        self.trips = Trips(trip_current, trip_power, trip_voltage, trip_delay)
        super().__init__(port, **options)
        self._trip_watch = TripWatch(self.trips)
        self._integrator = Integrator()
        self._readings = 0

    def _read_status(self) -> Status:
        try:
            st = super()._read_status()
        except NoAnswerError:
            self._integrator.missed()
            raise
        at = time.monotonic()
        self._readings += 1
        self._integrator.reading(st, at)
        trip = self._trip_watch.reading(st, at, self._readings)
        if trip is not None:
            # Off first, in the very next exchange; the words come after.
            problems: list[str] = []
            self._touched = True
            self._make_safe(problems)
            state = (
                "switching the output off failed: " + "; ".join(problems)
                if problems
                else "output switched off, front panel in control"
            )
            raise TripError(
                f"{self.port}: {trip.text()}; {state}",
                trip.quantity,
                trip.value,
                trip.limit,
                trip.reading,
                trip.over_s,
                st,
            )
        return st

    def counters(self) -> Counters:
        """Energy (Wh), charge (Ah) and seconds with the output on, from
        every reading this supply took since it was opened or the counters
        were reset: the trapezoid between consecutive readings, nothing
        across a reading that did not come."""
        with self._lock:
            return self._integrator.total

    def reset_counters(self) -> None:
        with self._lock:
            self._integrator.reset()

    @property
    def readings(self) -> int:
        """How many status readings this supply has taken since it was opened."""
        return self._readings

    def open(self) -> Self:
        with self._lock:
            if not self._open:
                self._readings = 0
                self._integrator.reset()
                self._trip_watch.reset()
        return super().open()
