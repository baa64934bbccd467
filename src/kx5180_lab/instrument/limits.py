"""Volts and amperes as the whole millivolts and milliamperes that go on
the wire, and the limits every value is checked against before anything
is sent."""

from __future__ import annotations

import math
import numbers
from typing import Any

from ..errors import LimitError

# Volts and amperes travel as 32-bit millivolts and milliamperes, but the
# status frame reports currents in 16 bits: a larger limit could never be
# read back.
MAX_MV = 0xFFFFFFFF
MAX_MA = 0xFFFF

# A ramp step that lasts longer is a typo in the rate (and beyond what
# time.sleep takes at all for the smallest rates).
MAX_STEP_S = 86400.0


def wire_value(milli: int) -> float:
    """The float to hand the driver so that it sends exactly `milli`. The
    driver truncates value x 1000 toward zero, so 1.001 would go out as
    1000 mV; a quarter unit above lands on `milli` whether the product is
    truncated or rounded."""
    return (milli + 0.25) / 1000.0


def fmt(milli: int, unit: str) -> str:
    return f"{milli / 1000:.3f} {unit}"


def limit_milli(name: str, value: float | None, hard: int) -> int:
    """A limit given in volts or amperes, as whole milli-units (`hard`, the
    largest the unit takes, when none is given)."""
    if value is None:
        return hard
    if isinstance(value, bool) or not isinstance(value, numbers.Real) or not math.isfinite(value) or value < 0:
        raise LimitError(f"{name} must be a finite number >= 0, not {value!r}")
    import decimal

    # Floored, through the decimal the user wrote: a limit of 4.9995 V
    # is 4999 mV, never 5000, and 1.001 V stays 1001 mV although
    # 1.001 * 1000 is 1000.999... in binary.
    return min(hard, math.floor(decimal.Decimal(repr(float(value))) * 1000))


def milli(name: str, value: Any, unit: str, limit: int, limit_name: str, *, limited: bool) -> int:
    """A setting in whole milli-units, rounded to the nearest, refused
    (LimitError) when it is no number, negative or above `limit`.
    `limited`: the limit is the user's (`limit_name`), not the unit's."""
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise LimitError(f"{name} must be a number of {unit}, not {value!r}; nothing was sent")
    value = float(value)
    if not math.isfinite(value):
        raise LimitError(f"{name} {value} is not a finite number; nothing was sent")
    if value < 0:
        raise LimitError(f"{name} {value:g} {unit} is negative; nothing was sent")
    result: int = round(value * 1000)
    if result > limit:
        what = (
            f"the limit {limit_name}={fmt(limit, unit)}"
            if limited
            else f"the largest value the supply takes ({fmt(limit, unit)})"
        )
        raise LimitError(f"{name} {value:g} {unit} is above {what}; nothing was sent")
    return result


def ramp_plan(voltage: Any, step: Any, rate: Any, max_mv: int, *, limited: bool) -> tuple[int, int, float]:
    """A ramp's target (mV), step (mV) and seconds between steps, or the
    LimitError that refuses it."""
    target = milli("voltage", voltage, "V", max_mv, "max_voltage", limited=limited)
    for name, value in (("step", step), ("rate", rate)):
        if isinstance(value, bool) or not isinstance(value, numbers.Real) or not math.isfinite(value) or value <= 0:
            raise LimitError(f"ramp {name} must be a number > 0, not {value!r}; nothing was sent")
    step_mv = max(1, round(step * 1000))
    interval = step_mv / 1000 / rate
    if interval > MAX_STEP_S:
        raise LimitError(
            f"ramp rate {rate:g} V/s makes each {fmt(step_mv, 'V')} step last longer than a day; nothing was sent"
        )
    return target, step_mv, interval
