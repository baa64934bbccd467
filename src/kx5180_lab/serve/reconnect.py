"""Lines that come back: a line that failed is reopened with backoff, and
each unit on it is taken back only when the same unit (model and product
number) answers again, its output left off (instrument/returning.py).

While a line is down its units answer every request at once with
`Reconnecting` (a LineError: HTTP 502, SCPI -240 "Hardware error;
reconnecting"), so nothing queues on a dead line and nothing waits for it.
"""

from __future__ import annotations

import asyncio
import logging
import time
from typing import TYPE_CHECKING, Any

from ..errors import LineError, SupplyError
from ..instrument.bus import Bus
from ..instrument.returning import BACKOFF_TEXT, Refused, delay, quietly, take_back, who
from ..records import Status

if TYPE_CHECKING:
    from ..instrument.supply import Supply
    from .units import Line, Unit

log = logging.getLogger("kx5180.serve")


class Reconnecting(LineError):
    """Refused at once, nothing sent: the unit's line is being reopened,
    or another unit answers where it was. `reason` is the short form."""

    def __init__(self, message: str, reason: str) -> None:
        super().__init__(message)
        self.reason = reason


class Reconnector:
    """Watches the lines of a server: `watch(line)` for each, `close()` at
    the stop. Everything here runs on the event loop; the reopening itself
    runs in the line's worker."""

    def __init__(self) -> None:
        self.tasks: dict[int, asyncio.Task[None]] = {}

    def watch(self, line: Line) -> None:
        line.on_drop = self.dropped

    def close(self) -> None:
        for task in self.tasks.values():
            task.cancel()

    def dropped(self, unit: Unit, error: LineError) -> None:
        """`unit`'s line failed with `error`: every unit on it that was
        served goes down, each told once, and the reopening begins."""
        line = unit.line
        for u in line.units:
            if u.state == "ok":
                _down(u, "reconnecting", f"{u.name}: the line is down; reconnecting")
                reason = str(error).removeprefix(f"{unit.name}: ")
                u.drop_reason = reason
                u.problem = f"{u.name}: {reason}; reconnecting ({BACKOFF_TEXT})"
                log.warning("%s", u.problem)
        task = self.tasks.get(id(line))
        if task is None or task.done():
            self.tasks[id(line)] = asyncio.create_task(self._reconnect(line))

    async def _reconnect(self, line: Line) -> None:
        attempt = 0
        while True:
            await asyncio.sleep(delay(attempt))
            attempt += 1
            pending = [u for u in line.units if u.state != "ok"]
            if not pending:
                return
            started = time.monotonic()
            results = await line.call(_reopen, line, pending)
            took = time.monotonic() - started
            for unit, outcome in results:
                _settle(unit, outcome, took)
            if all(u.state == "ok" for u in line.units):
                return


def _down(unit: Unit, state: str, message: str) -> None:
    unit.state = state
    unit.down = Reconnecting(message, "reconnecting" if state == "reconnecting" else "another unit on the line")
    unit.hub.announce(unit)


def _settle(unit: Unit, outcome: Any, took: float) -> None:
    if isinstance(outcome, Status):
        unit.state, unit.down, unit.problem = "ok", None, ""
        unit.hub.announce(unit)
        log.info("%s: back (%s), output off; reopened in %.2f s", unit.name, who(unit.identity), took)  # type: ignore[arg-type]
    elif isinstance(outcome, Refused):
        assert unit.identity is not None
        text = (
            f"{unit.name}: {who(outcome.identity)} answers where {who(unit.identity)} was; "
            "not served (still trying for the one served before)"
        )
        _down(unit, "refused", f"{unit.name}: another unit answers on this line ({who(outcome.identity)}); not served")
        if text != unit.problem:
            log.warning("%s", text)
            unit.problem = text
    elif unit.state == "refused":  # gone again: back to waiting, quietly
        _down(unit, "reconnecting", f"{unit.name}: the line is down; reconnecting")


def _reopen(line: Line, pending: list[Unit]) -> list[tuple[Unit, Any]]:
    """Blocking, in the line's worker: reopens the line (all of it when no
    unit on it is served) and tries to take back each unit in `pending`."""
    if line.bus is None:
        unit = pending[0]
        return [(unit, _take_back(unit, unit.supply))]
    if len(pending) == len(line.units):
        for u in line.units:
            quietly(u.supply.close)
        quietly(line.bus.close)
        try:
            line.bus = Bus.connect(line.port)
        except SupplyError as e:
            return [(u, e) for u in pending]
    results: list[tuple[Unit, Any]] = []
    for unit in pending:
        address = int(unit.name.rsplit("@", 1)[1])
        quietly(unit.supply.close)
        results.append((unit, _take_back(unit, line.bus.supply(address, **line.options))))
    return results


def _take_back(unit: Unit, supply: Supply) -> Status | Refused | SupplyError:
    assert unit.identity is not None
    outcome = take_back(supply, unit.identity)
    if isinstance(outcome, Status):
        unit.supply = supply
        unit.remote_taken(outcome.remote)
        unit.switched_on = False  # off now, and the server switches nothing on again by itself
        unit.hub.publish(unit, outcome)  # the first good reading since the drop
    return outcome


def stop_while_down(unit: Unit, keep_on: bool) -> str | None:
    """The stop of a unit whose line is down: nothing can be sent. Told
    when the server had switched its output on (and that is to be undone)
    or had it in control; a unit that another took the place of is told
    only for the first reason."""
    quietly(unit.supply.close)
    failed = []
    if unit.switched_on and not keep_on:
        failed.append("switching the output off")
    if unit.state == "reconnecting":
        failed.append("handing back the front panel")
    if not failed:
        return None
    return f"{unit.name}: {' and '.join(failed)} failed: {unit.drop_reason or 'the line is down'}"
