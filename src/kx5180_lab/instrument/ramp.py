"""A ramp: the voltage setpoint moved step by step at a rate, and where it
stands when it stops early."""

from __future__ import annotations

import time
from collections.abc import Callable

from ..errors import RampError, RampInterrupted, RampTerminated, SupplyError
from ..stops import Terminated, signal_name
from .limits import fmt


def stands(start: int, acked: int | None, read_back: int | None = None) -> tuple[int, str]:
    """Where a ramp that stopped stands (millivolts), and how that is known:
    a step the unit acknowledged, or a read-back."""
    if read_back is not None:
        known = "no step was acknowledged" if acked is None else f"the last acknowledged setpoint was {fmt(acked, 'V')}"
        return read_back, f"{fmt(read_back, 'V')} (read back after the interruption; {known})"
    if acked is None:
        return start, f"{fmt(start, 'V')} (read back before the ramp; no step was acknowledged)"
    return acked, f"{fmt(acked, 'V')} (the last acknowledged setpoint)"


def steps(start: int, target: int, step_mv: int) -> list[int]:
    """The setpoints from `start` (left out) to `target` (included)."""
    sign = 1 if target >= start else -1
    return list(range(start + sign * step_mv, target, sign * step_mv)) + ([target] if target != start else [])


def run(
    name: str,
    start: int,
    target: int,
    step_mv: int,
    interval: float,
    *,
    send: Callable[[int], None],
    read_setpoint: Callable[[], int],
    on_step: Callable[[float], None] | None = None,
) -> None:
    """Sends each step with `send` (which raises a SupplyError for a step
    that failed), `interval` seconds apart. A failed step raises RampError,
    Ctrl-C RampInterrupted and SIGTERM or SIGHUP one that is a Terminated
    too; each says where the ramp stands. `name` is the supply's, for the
    messages."""
    acked: int | None = None  # the last step the unit acknowledged
    in_flight: int | None = None
    due = time.monotonic()
    try:
        for milli in steps(start, target, step_mv):
            pause = due - time.monotonic()
            if pause > 0:
                time.sleep(pause)
            in_flight = milli
            try:
                send(milli)
            except SupplyError as e:
                at, where = stands(start, acked)
                raise RampError(
                    f"{name}: ramp stopped at {where} on the way to {fmt(target, 'V')}: {e}", at / 1000, target / 1000
                ) from e
            acked, in_flight = milli, None
            if on_step is not None:
                on_step(milli / 1000)
            due += interval
    except KeyboardInterrupt as e:
        if isinstance(e, RampInterrupted):
            raise
        at, where = stands(start, acked)
        if in_flight is not None:
            at, where = stands(start, acked, _read_back_in_flight(read_setpoint, at, in_flight))
        message = f"{name}: ramp interrupted at {where} on the way to {fmt(target, 'V')}"
        if isinstance(e, Terminated):
            raise RampTerminated(f"{message} by {signal_name(e.signum)}", at / 1000, target / 1000, e.signum) from e
        raise RampInterrupted(message, at / 1000, target / 1000) from e


def _read_back_in_flight(read_setpoint: Callable[[], int], at: int, in_flight: int) -> int | None:
    """Ctrl-C struck while a step was on the wire: the unit may or may not
    have taken it. Its read-back setpoint decides, when it answers."""
    try:
        got = read_setpoint()
    except Exception:
        return None
    return got if got in (at, in_flight) else None
