"""`GET /metrics`: every unit's latest reading in the Prometheus text
exposition format (0.0.4), written here rather than with a client
library, as the format is a few lines of text.

A scrape answers from the poller's latest reading and never asks a unit
itself, so however many scrapers there are, the line carries what the
poller reads and nothing more. A scrape keeps the poller reading for a
while (`Scrapes`), as a page left open does."""

from __future__ import annotations

import asyncio
import math
import time
from collections.abc import Iterable
from dataclasses import dataclass, field
from typing import Any

from .units import Hub, Unit

CONTENT_TYPE = "text/plain; version=0.0.4; charset=utf-8"
# The poller goes on reading this long after the last scrape, longer than
# any scrape interval anyone sets.
KEEP_POLLING_S = 600.0
LABELS = ("host", "line", "address", "serial_number", "model")


def escape_label(value: str) -> str:
    return value.replace("\\", "\\\\").replace('"', '\\"').replace("\n", "\\n")


def escape_help(text: str) -> str:
    return text.replace("\\", "\\\\").replace("\n", "\\n")


def number(value: float) -> str:
    if isinstance(value, bool):
        return "1" if value else "0"
    if math.isnan(value):
        return "NaN"
    if math.isinf(value):
        return "+Inf" if value > 0 else "-Inf"
    return repr(float(value)) if isinstance(value, float) else str(value)


@dataclass
class Family:
    """One metric: its HELP and TYPE once, then a sample per unit."""

    name: str
    kind: str  # "gauge" or "counter"
    help: str
    samples: list[tuple[dict[str, str], float]] = field(default_factory=list)

    def lines(self) -> Iterable[str]:
        yield f"# HELP {self.name} {escape_help(self.help)}"
        yield f"# TYPE {self.name} {self.kind}"
        for labels, value in self.samples:
            text = ",".join(f'{k}="{escape_label(v)}"' for k, v in labels.items())
            yield f"{self.name}{{{text}}} {number(value)}"


def render(families: Iterable[Family]) -> str:
    """The exposition: the families that have samples, each whole in one
    place, as the format asks."""
    return "".join(line + "\n" for f in families if f.samples for line in f.lines())


# name, type, help, and what of a reading (a Status's as_dict, with the
# counters when the unit keeps them) it shows.
READING = (
    ("kx5180_output_voltage_volts", "gauge", "Measured output voltage.", "voltage_v"),
    ("kx5180_output_current_amperes", "gauge", "Measured output current.", "current_a"),
    ("kx5180_output_power_watts", "gauge", "Measured output power (voltage times current).", "power_w"),
    ("kx5180_voltage_setpoint_volts", "gauge", "Voltage setpoint.", "voltage_set_v"),
    ("kx5180_current_setpoint_amperes", "gauge", "Current setpoint (the current limit).", "current_set_a"),
    ("kx5180_voltage_ceiling_volts", "gauge", "Voltage ceiling: no setpoint above it is taken.", "ceiling_v"),
    ("kx5180_output_on", "gauge", "1 when the output is on.", "output_on"),
    ("kx5180_constant_voltage", "gauge", "1 when the unit regulates its voltage (CV).", "cv"),
    ("kx5180_constant_current", "gauge", "1 when the unit regulates its current (CC).", "cc"),
    ("kx5180_over_temperature", "gauge", "1 when the unit reports over-temperature.", "over_temperature"),
    ("kx5180_fan_speed", "gauge", "Fan speed level as the unit reports it.", "fan_speed"),
    ("kx5180_remote", "gauge", "1 when the unit is under remote control (front panel locked).", "remote"),
    ("kx5180_energy_joules_total", "counter", "Energy delivered since the server opened the unit.", "energy_j"),
    ("kx5180_charge_coulombs_total", "counter", "Charge delivered since the server opened the unit.", "charge_c"),
    ("kx5180_output_on_seconds_total", "counter", "Seconds output on since the server opened the unit.", "on_s"),
    ("kx5180_tripped", "gauge", "1 when a trip on a measured value switched the output off.", "tripped"),
)


def stale_after(poll: float, units_on_line: int) -> float:
    """How old a reading may be and the unit still count as up: a few of
    the poller's rounds over its line, and never under ten seconds."""
    return max(10.0, 4 * poll * max(1, units_on_line))


def values(unit: Unit, event: dict[str, Any] | None, counters: dict[str, float] | None) -> dict[str, Any]:
    """What the families show of one unit's latest reading."""
    st = unit.last
    if st is None:
        return {}
    out: dict[str, Any] = dict(st.as_dict())
    out.update(power_w=st.power_w, cv=st.cv, cc=st.cc)
    # Counters and trips as the readings carry them, when the unit keeps
    # them; else what the supply counts itself.
    source = event if event is not None and "energy_wh" in event else counters
    if source is not None:
        out.update(
            energy_j=float(source["energy_wh"]) * 3600.0,
            charge_c=float(source["charge_ah"]) * 3600.0,
            on_s=float(source["on_s"]),
        )
    if event is not None and "trip" in event:
        out["tripped"] = bool(event["trip"])
    return out


def exposition(
    units: list[Unit], host: str, poll: float, counters: dict[int, dict[str, float]], now: float | None = None
) -> str:
    now = time.monotonic() if now is None else now
    up = Family("kx5180_up", "gauge", "1 when the unit's latest reading came and is recent.")
    age = Family("kx5180_reading_age_seconds", "gauge", "Seconds since the unit's latest reading.")
    info = Family("kx5180_unit_info", "gauge", "The unit's name across hosts (HOST/SERIAL) and software version.")
    families = {name: Family(name, kind, text) for name, kind, text, _ in READING}
    for unit in units:
        ident = unit.identity
        labels = {
            "host": host,
            "line": unit.line.port,
            "address": str(ident.address) if ident else "",
            "serial_number": ident.serial_number.replace("\0", "").strip() if ident else "",
            "model": ident.model.replace("\0", "").strip() if ident else "",
        }
        fresh = unit.last is not None and now - unit.last_time <= stale_after(poll, len(unit.line.units))
        is_up = fresh and not unit.problem
        up.samples.append((labels, is_up))
        info.samples.append(
            ({**labels, "name": unit.id, "software_version": str(ident.software_version if ident else "")}, 1)
        )
        if unit.last is None:
            continue
        age.samples.append((labels, max(0.0, now - unit.last_time)))
        if not is_up:  # an old reading is no measurement: only its age is shown
            continue
        shown = values(unit, unit.history[-1] if unit.history else None, counters.get(unit.index))
        for name, _, _, key in READING:
            if key in shown:
                families[name].samples.append((labels, shown[key]))
    return render([up, age, info, *families.values()])


class Scrapes:
    """Keeps the poller reading while scrapers come: from the first scrape
    until KEEP_POLLING_S after the last one, the metrics count as a viewer
    of the hub (whose readings they drop; they want only the latest)."""

    def __init__(self, hub: Hub) -> None:
        self.hub = hub
        self.queue: asyncio.Queue[dict[str, Any]] | None = None
        self.last = 0.0
        self.timer: asyncio.TimerHandle | None = None

    def seen(self) -> None:
        self.last = time.monotonic()
        if self.queue is None:
            self.queue = self.hub.subscribe()
            self._arm()

    def _arm(self) -> None:
        self.timer = asyncio.get_running_loop().call_later(KEEP_POLLING_S, self._check)

    def _check(self) -> None:
        if time.monotonic() - self.last < KEEP_POLLING_S:
            self._arm()
        elif self.queue is not None:
            self.hub.unsubscribe(self.queue)
            self.queue = None

    def close(self) -> None:
        if self.timer is not None:
            self.timer.cancel()


class Exposition:
    """The text of the latest readings, rendered once for every scrape
    that comes before the next reading (and within REUSE_S, so that the
    ages it tells are never further off than that): a burst of scrapers
    costs the event loop one rendering, not one each."""

    REUSE_S = 0.5

    def __init__(self, units: list[Unit], host: str, poll: float) -> None:
        self.units, self.host, self.poll = units, host, poll
        self.key: tuple[Any, ...] | None = None
        self.text = b""
        self.rendered = 0.0

    def current(self) -> bytes:
        now = time.monotonic()
        key = tuple((u.last_time, u.problem) for u in self.units)
        if key != self.key or now - self.rendered >= self.REUSE_S:
            counters = {u.index: u.counters.as_dict() for u in self.units}
            self.text = exposition(self.units, self.host, self.poll, counters, now).encode()
            self.key, self.rendered = key, now
        return self.text
