"""Programs: steps of a voltage setpoint, a current limit and a duration,
each of which may end early on what the unit measures, played in order
with the output on for the program and off after it.

A program in a file is CSV with the header `voltage_v,current_a,duration_s`
and the optional columns `stop_below_a` (the step ends once the current
falls below) and `stop_above_v` (once the voltage rises above); blank
lines and lines starting with # are skipped.
"""

from __future__ import annotations

import csv
import math
import re
import time
from collections.abc import Callable, Iterable, Mapping
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

from ..errors import LimitError, NoAnswerError, TripError
from ..records import Status
from .counters import Counters
from .schedule import next_slot
from .trips import check_setpoint, finite

if TYPE_CHECKING:
    from .supply import Supply

COLUMNS = ("voltage_v", "current_a", "duration_s")
OPTIONAL = ("stop_below_a", "stop_above_v")

# The longest step and the most repetitions anyone means: beyond, a typo.
MAX_DURATION_S = 7 * 86400.0
MAX_REPEAT = 1_000_000

_DECIMAL = re.compile(r"[+-]?(?:[0-9]+(?:\.[0-9]*)?|\.[0-9]+)(?:[eE][+-]?[0-9]+)?")


@dataclass(frozen=True)
class Step:
    voltage_v: float
    current_a: float
    duration_s: float
    stop_below_a: float | None = None
    stop_above_v: float | None = None

    def problem(self) -> str | None:
        """What makes this step unplayable, in words (None: nothing)."""
        for name in (*COLUMNS, *OPTIONAL):
            value = getattr(self, name)
            if value is None and name in OPTIONAL:
                continue
            if isinstance(value, bool) or not isinstance(value, (int, float)) or not math.isfinite(value):
                return f"{name} must be a finite number, not {value!r}"
            if value < 0:
                return f"{name} {value:g} is negative"
        if not 0 < self.duration_s <= MAX_DURATION_S:
            return f"duration_s {self.duration_s:g} must be > 0 and at most a week"
        if self.stop_below_a is not None and self.stop_below_a > self.current_a:
            return (
                f"stop_below_a {self.stop_below_a:g} A is above the step's current limit {self.current_a:g} A, "
                "so the step would end at once"
            )
        return None


def as_step(step: Step | Mapping[str, Any]) -> Step:
    if isinstance(step, Step):
        return step
    if isinstance(step, Mapping):
        unknown = set(step) - set(COLUMNS) - set(OPTIONAL)
        missing = [c for c in COLUMNS if c not in step]
        if unknown or missing:
            raise LimitError(
                f"a step takes {', '.join(COLUMNS + OPTIONAL)}"
                + (f"; unknown: {', '.join(sorted(unknown))}" if unknown else "")
                + (f"; missing: {', '.join(missing)}" if missing else "")
                + "; nothing was sent"
            )
        return Step(**step)
    raise LimitError(f"a step is a Step or a mapping of {', '.join(COLUMNS)}, not {step!r}; nothing was sent")


def read_program(path: str) -> list[Step]:
    """The steps of a program file, or LimitError naming the line that is
    wrong (OSError when it cannot be read)."""
    with open(path, newline="", encoding="utf-8") as f:
        try:
            lines = [(n, row) for n, row in enumerate(csv.reader(f), start=1)]
        except (csv.Error, UnicodeDecodeError) as e:
            raise LimitError(f"{path}: not a CSV text file ({e}); nothing was sent") from e
    rows = [(n, [c.strip() for c in row]) for n, row in lines if row and "".join(row).strip()]
    rows = [(n, row) for n, row in rows if not row[0].startswith("#")]
    if not rows:
        raise LimitError(f"{path}: no header and no steps; nothing was sent")
    head_line, header = rows[0]
    unknown = [c for c in header if c not in COLUMNS + OPTIONAL]
    missing = [c for c in COLUMNS if c not in header]
    if unknown or missing or len(set(header)) != len(header):
        raise LimitError(
            f"{path}, line {head_line}: the header must name {', '.join(COLUMNS)} "
            f"(and may name {', '.join(OPTIONAL)}), each once"
            + (f"; unknown: {', '.join(unknown)}" if unknown else "")
            + "; nothing was sent"
        )
    steps = []
    for n, row in rows[1:]:
        if len(row) != len(header):
            raise LimitError(f"{path}, line {n}: {len(row)} values for {len(header)} columns; nothing was sent")
        values: dict[str, float | None] = {}
        for name, text in zip(header, row):
            if text == "" and name in OPTIONAL:
                values[name] = None
            elif _DECIMAL.fullmatch(text) and math.isfinite(float(text)):
                values[name] = float(text)
            else:
                raise LimitError(f"{path}, line {n}: {name} {text!r} is not a plain decimal number; nothing was sent")
        step = Step(**values)  # type: ignore[arg-type]
        problem = step.problem()
        if problem:
            raise LimitError(f"{path}, line {n}: {problem}; nothing was sent")
        steps.append(step)
    if not steps:
        raise LimitError(f"{path}: a header but no steps; nothing was sent")
    return steps


def check_program(psu: Supply, steps: Iterable[Step | Mapping[str, Any]], repeat: int = 1) -> list[Step]:
    """The steps, each checked against the supply's limits and trips
    (LimitError naming the step, nothing sent); works on a supply that is
    not open."""
    if isinstance(repeat, bool) or not isinstance(repeat, int) or not 1 <= repeat <= MAX_REPEAT:
        raise LimitError(f"repeat must be a whole number from 1 to {MAX_REPEAT}, not {repeat!r}; nothing was sent")
    checked = [as_step(s) for s in steps]
    if not checked:
        raise LimitError("a program needs at least one step; nothing was sent")
    for n, step in enumerate(checked, start=1):
        problem = step.problem()
        if problem:
            raise LimitError(f"step {n}: {problem}; nothing was sent")
        try:
            # The limits alone: the unit's ceiling is read once for the
            # whole program afterwards (check_ceiling), not for each step.
            psu._plan(voltage=step.voltage_v, current=step.current_a)
        except LimitError as e:
            raise LimitError(f"step {n}: {e}") from e
        check_setpoint(psu.trips, step.voltage_v, step.current_a, f"step {n}", cc=False)
    return checked


def check_ceiling(psu: Supply, voltages: Iterable[tuple[str, float]]) -> None:
    """Refuses a voltage above the unit's ceiling, as `Supply.check` does
    (the unit would take it without a word and hold the output lower),
    naming the step it belongs to."""
    for what, v in voltages:
        try:
            psu.check(voltage=v)
        except LimitError as e:
            raise LimitError(f"{what}: {e}") from None


def output_off_quietly(psu: Supply) -> None:
    """Switches the output off on the way out of a failure, which stays
    the error told."""
    try:
        psu.output(False)
    except Exception:
        pass  # the Supply's own exit switches it off again, and says so


def wait_until(deadline: float) -> None:
    # In steps, so that a long wait stays a wait and Ctrl-C is taken at once.
    while (pause := deadline - time.monotonic()) > 0:
        time.sleep(min(pause, 1.0))


def run_program(
    psu: Supply,
    steps: Iterable[Step | Mapping[str, Any]],
    *,
    repeat: int = 1,
    interval: float = 1.0,
    on_reading: Callable[[int, Status], None] | None = None,
    on_missed: Callable[[int, NoAnswerError], None] | None = None,
) -> Counters:
    """Plays the steps (see `Supply.run`) and returns what they delivered."""
    checked = check_program(psu, steps, repeat)
    interval = finite("interval", interval)  # type: ignore[assignment]
    check_ceiling(psu, [(f"step {n}", s.voltage_v) for n, s in enumerate(checked, start=1)])
    before = psu.counters()
    switched = False
    n = in_force = 0
    try:
        for _ in range(repeat):
            for n, step in enumerate(checked, start=1):
                psu.set(voltage=step.voltage_v, current=step.current_a)
                in_force = n
                if not switched:
                    switched = True
                    psu.output(True)
                _play(psu, n, step, interval, on_reading, on_missed)
    except BaseException as e:
        if isinstance(e, TripError):
            # A trip while a step is being set may come from the reading taken
            # before its first frame: the unit still held the step before.
            held = checked[in_force - 1] if in_force not in (0, n) else None
            e.step = in_force if held is not None and _holds(e.status, held) else n
        elif switched:  # (a trip has switched it off already)
            output_off_quietly(psu)
        raise
    psu.output(False)
    return psu.counters() - before


def _holds(st: Status | None, step: Step) -> bool:
    """Whether the reading shows the step's setpoints."""
    return st is not None and (round(st.voltage_set_v * 1000), round(st.current_set_a * 1000)) == (
        round(step.voltage_v * 1000),
        round(step.current_a * 1000),
    )


def _play(
    psu: Supply,
    n: int,
    step: Step,
    interval: float,
    on_reading: Callable[[int, Status], None] | None,
    on_missed: Callable[[int, NoAnswerError], None] | None,
) -> None:
    start = time.monotonic()
    end = start + step.duration_s
    slot = 0
    while (due := start + slot * interval) < end:
        wait_until(due)
        try:
            st = psu.status()
        except NoAnswerError as e:
            if on_missed is not None:
                on_missed(n, e)
        else:
            if on_reading is not None:
                on_reading(n, st)
            if step.stop_below_a is not None and round(st.current_a * 1000) < round(step.stop_below_a * 1000):
                return
            if step.stop_above_v is not None and round(st.voltage_v * 1000) > round(step.stop_above_v * 1000):
                return
        slot = next_slot(start, slot, interval)
    wait_until(end)
