"""Lines that come back: a line that failed is reopened with backoff, and
each unit on it is taken back only when the same unit (model and product
number) answers again.

While a line is down its units answer every request at once with
`Reconnecting` (a LineError: HTTP 502, SCPI -240 "Hardware error;
reconnecting"), so nothing queues on a dead line. A unit that comes back
is left with its output off: if it reports the output on (the adapter was
pulled, not the unit switched off), the server switches it off, since
nobody can vouch for what the output feeds after a gap in which the
server could neither see nor stop it. Nothing is ever switched on again,
and the setpoints and control mode are left as the unit reports them.
"""

from __future__ import annotations

import asyncio
import contextlib
import logging
import time
from collections.abc import Callable
from typing import TYPE_CHECKING, Any

from ..errors import LineError, SupplyError
from ..instrument.bus import Bus
from ..records import Identity, Status

if TYPE_CHECKING:
    from ..instrument.supply import Supply
    from .units import Line, Unit

log = logging.getLogger("kx5180.serve")

# Seconds before each attempt to reopen a line; the last one repeats. The
# first is short, for an adapter replugged at once or a unit switched off
# and on; after that the attempts thin out to one a minute, which costs
# the port (and the holder check of a missing device) next to nothing.
BACKOFF = (2.0, 4.0, 8.0, 15.0, 30.0, 60.0)


class Reconnecting(LineError):
    """Refused at once, nothing sent: the unit's line is being reopened,
    or another unit answers where it was. `reason` is the short form."""

    def __init__(self, message: str, reason: str) -> None:
        super().__init__(message)
        self.reason = reason


class Refused(Exception):
    """Another unit answered where a served unit was."""

    def __init__(self, identity: Identity) -> None:
        super().__init__(_who(identity))
        self.identity = identity


def _who(ident: Identity) -> str:
    return f"model {ident.model} SN {ident.serial_number.replace(chr(0), '')}"


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
                u.problem = f"{u.name}: {reason}; reconnecting ({_backoff_text()})"
                log.warning("%s", u.problem)
        task = self.tasks.get(id(line))
        if task is None or task.done():
            self.tasks[id(line)] = asyncio.create_task(self._reconnect(line))

    async def _reconnect(self, line: Line) -> None:
        attempt = 0
        while True:
            await asyncio.sleep(BACKOFF[min(attempt, len(BACKOFF) - 1)])
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


def _backoff_text() -> str:
    return f"tries at {BACKOFF[0]:g} s, growing to every {BACKOFF[-1]:g} s"


def _down(unit: Unit, state: str, message: str) -> None:
    unit.state = state
    unit.down = Reconnecting(message, "reconnecting" if state == "reconnecting" else "another unit on the line")
    unit.hub.announce(unit)


def _settle(unit: Unit, outcome: Any, took: float) -> None:
    if isinstance(outcome, Status):
        unit.state, unit.down, unit.problem = "ok", None, ""
        unit.hub.announce(unit)
        log.info("%s: back (%s), output off; reopened in %.2f s", unit.name, _who(unit.identity), took)  # type: ignore[arg-type]
    elif isinstance(outcome, Refused):
        assert unit.identity is not None
        text = (
            f"{unit.name}: {_who(outcome.identity)} answers where {_who(unit.identity)} was; "
            "not served (still trying for the one served before)"
        )
        _down(unit, "refused", f"{unit.name}: another unit answers on this line ({_who(outcome.identity)}); not served")
        if text != unit.problem:
            log.warning("%s", text)
            unit.problem = text
    elif unit.state == "refused":  # gone again: back to waiting, quietly
        _down(unit, "reconnecting", f"{unit.name}: the line is down; reconnecting")


def _quietly(fn: Callable[[], object]) -> None:
    with contextlib.suppress(Exception):  # the line is dead: its port fails to close
        fn()


def _reopen(line: Line, pending: list[Unit]) -> list[tuple[Unit, Any]]:
    """Blocking, in the line's worker: reopens the line (all of it when no
    unit on it is served) and tries to take back each unit in `pending`."""
    if line.bus is None:
        unit = pending[0]
        return [(unit, _take_back(unit, unit.supply))]
    if len(pending) == len(line.units):
        for u in line.units:
            _quietly(u.supply.close)
        _quietly(line.bus.close)
        try:
            line.bus = Bus.connect(line.port)
        except SupplyError as e:
            return [(u, e) for u in pending]
    results: list[tuple[Unit, Any]] = []
    for unit in pending:
        address = int(unit.name.rsplit("@", 1)[1])
        _quietly(unit.supply.close)
        results.append((unit, _take_back(unit, line.bus.supply(address, **line.options))))
    return results


def _take_back(unit: Unit, supply: Supply) -> Status | Refused | SupplyError:
    _quietly(supply.close)
    try:
        supply.open()  # reads the identity only: the unit is not asked for control
        ident = supply.identity()
        assert unit.identity is not None
        if (ident.model, ident.serial_number) != (unit.identity.model, unit.identity.serial_number):
            _quietly(supply.close)  # opened without control and kept on: the port closes, nothing is sent
            return Refused(ident)
        st = supply.status()
        if st.output_on:
            took = not st.remote
            if took:
                supply.set_remote()
            supply.output(False)
            if took:
                supply.set_local()
            st = supply.status()
            if st.output_on:
                raise SupplyError(f"{unit.name}: came back with its output on, and it stays on")
    except SupplyError as e:
        _quietly(supply.close)
        return e
    unit.supply = supply
    unit.remote_taken(st.remote)
    unit.switched_on = False  # off now, and the server switches nothing on again by itself
    unit.hub.publish(unit, st)  # the first good reading since the drop
    return st


def stop_while_down(unit: Unit, keep_on: bool) -> str | None:
    """The stop of a unit whose line is down: nothing can be sent. Told
    when the server had switched its output on (and that is to be undone)
    or had it in control; a unit that another took the place of is told
    only for the first reason."""
    _quietly(unit.supply.close)
    failed = []
    if unit.switched_on and not keep_on:
        failed.append("switching the output off")
    if unit.state == "reconnecting":
        failed.append("handing back the front panel")
    if not failed:
        return None
    return f"{unit.name}: {' and '.join(failed)} failed: {unit.drop_reason or 'the line is down'}"
