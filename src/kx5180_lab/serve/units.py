"""The units a server owns: one worker thread per line, the readings hub
that fans one poller's readings out to every viewer, and the safe stop.

Every driver call runs in its line's worker, one at a time in the order
they were asked for, so clients on one line are served in turn and a slow
line never holds up the event loop or another line. The driver's per-port
lock would keep them apart anyway; the worker also keeps them fair.
"""

from __future__ import annotations

import asyncio
import collections
import logging
import time
from collections.abc import Callable
from concurrent.futures import ThreadPoolExecutor
from typing import Any, TypeVar

from ..errors import LineError, SupplyError
from ..instrument.bus import Bus
from ..instrument.supply import Supply
from ..records import Identity, Status

log = logging.getLogger("kx5180.serve")

T = TypeVar("T")

# Readings kept per unit for a page that opens late: ten minutes at the
# poller's pace.
HISTORY = 1200


class Line:
    """One serial line: its worker, and the bus when several units share it."""

    def __init__(self, port: str, bus: Bus | None = None) -> None:
        self.port = port
        self.bus = bus
        self.units: list[Unit] = []
        self.executor = ThreadPoolExecutor(max_workers=1, thread_name_prefix=f"kx5180 {port}")

    async def call(self, fn: Callable[..., T], *args: Any) -> T:
        return await asyncio.get_running_loop().run_in_executor(self.executor, fn, *args)


class Unit:
    """One supply as the server sees it: 1-based `index`, its `Supply`, the
    latest reading, and what the server changed on it."""

    def __init__(self, index: int, supply: Supply, line: Line, hub: Hub) -> None:
        self.index = index
        self.supply = supply
        self.line = line
        self.hub = hub
        self.identity: Identity | None = None
        self.id = ""  # "HOST/SERIAL", the same on every view of a lab (see naming)
        self.last: Status | None = None
        self.last_time = 0.0
        self.counters: dict[str, float] | None = None  # the supply's, as of the latest reading
        self.history: collections.deque[dict[str, Any]] = collections.deque(maxlen=HISTORY)
        self.switched_on = False  # the server switched the output on at some point
        self.problem = ""  # the last failure told on the console
        self._remote = False

    @property
    def name(self) -> str:
        return self.supply.port

    def report(self, error: BaseException) -> None:
        """Tells a failure on the console once, not at every poll or request
        that meets it again."""
        text = str(error) if isinstance(error, SupplyError) else f"{self.name}: {type(error).__name__}: {error}"
        if text != self.problem:
            log.warning("%s", text)
            self.problem = text

    def describe(self) -> dict[str, Any]:
        ident = self.identity.as_dict() if self.identity else {}
        return {"unit": self.index, "name": self.name, "id": self.id, **ident}

    # -- blocking parts, run in the line's worker ---------------------------------

    def _status(self) -> Status:
        st = self.supply.status()
        self.hub.publish(self, st)
        return st

    def _take_control(self) -> None:
        if not self._remote:
            self.supply.set_remote()
            self._remote = True

    def _set(self, voltage: float | None, current: float | None, ceiling: float | None) -> None:
        # Checked before the unit is asked for control, so that a refused
        # value changes nothing at all.
        self.supply.check(voltage=voltage, current=current, ceiling=ceiling)
        self._take_control()
        self.supply.set(voltage=voltage, current=current, ceiling=ceiling)

    def _highest(self, name: str) -> float | None:
        return self.supply.highest(name)

    def _output(self, on: bool) -> None:
        self._take_control()
        if on:
            self.switched_on = True
        self.supply.output(on)

    def _local(self) -> None:
        self.supply.set_local()
        self._remote = False

    def _remote_now(self) -> None:
        self._remote = False
        self._take_control()

    def _reset(self) -> None:
        """The documented safe state: output off, then setpoints to zero."""
        self._take_control()
        self.supply.output(False)
        self.supply.set(voltage=0.0, current=0.0)

    def _apply(self, changes: dict[str, Any]) -> Status:
        if any(changes.get(k) is not None for k in ("voltage", "current", "ceiling")):
            self._set(changes.get("voltage"), changes.get("current"), changes.get("ceiling"))
        if changes.get("output") is not None:
            self._output(bool(changes["output"]))
        return self._status()

    # -- the event loop's side ----------------------------------------------

    async def _run(self, fn: Callable[..., T], *args: Any) -> T:
        try:
            return await self.line.call(fn, *args)
        except LineError as e:
            # The client is told too, but the console is where someone
            # looks for a pulled cable when nobody watches the dashboard.
            self.report(e)
            raise

    async def status(self) -> Status:
        return await self._run(self._status)

    async def set(
        self, voltage: float | None = None, current: float | None = None, ceiling: float | None = None
    ) -> None:
        await self._run(self._set, voltage, current, ceiling)

    async def check(self, **values: float | None) -> None:
        """Raises LimitError for a value `set` would refuse (the unit's
        ceiling among the reasons); changes nothing."""
        await self._run(lambda: self.supply.check(**values))

    async def highest(self, name: str) -> float | None:
        """The largest `name` ("voltage", "current", "ceiling") a setting
        may have now, or None when nothing tells it (see Supply.highest)."""
        return await self._run(self._highest, name)

    async def output(self, on: bool) -> None:
        await self._run(self._output, on)

    async def local(self) -> None:
        await self._run(self._local)

    async def remote(self) -> None:
        await self._run(self._remote_now)

    async def reset(self) -> None:
        await self._run(self._reset)

    async def apply(self, changes: dict[str, Any]) -> Status:
        return await self._run(self._apply, changes)

    def stop(self, keep_on: bool) -> str | None:
        """Blocking: output off (if the server switched it on, unless
        `keep_on`), the front panel back in control, the unit closed.
        Returns what went wrong as one line, or None."""
        failed: list[str] = []
        reasons: list[str] = []
        steps: list[tuple[str, Callable[[], None]]] = []
        if self.switched_on and not keep_on:
            steps.append(("switching the output off", lambda: self.supply.output(False)))
        steps.append(("handing back the front panel", self.supply.set_local))
        line_dead = False
        for what, step in steps:
            if line_dead:  # no use asking again, and no reason to wait for it
                failed.append(what)
                continue
            for attempt in (1, 2):  # both are idempotent: one retry covers one lost reply
                try:
                    step()
                    break
                except LineError as e:
                    failed.append(what)
                    reasons.append(self._reason(e))
                    line_dead = True
                    break
                except Exception as e:  # the other step is still tried
                    if attempt == 2:
                        failed.append(what)
                        reasons.append(self._reason(e))
        try:
            self.supply.close()
        except Exception as e:
            if not line_dead:
                failed.append("closing")
                reasons.append(self._reason(e))
        if not failed:
            return None
        return f"{self.name}: {' and '.join(failed)} failed: {'; '.join(dict.fromkeys(reasons))}"

    def _reason(self, error: BaseException) -> str:
        text = str(error) if isinstance(error, SupplyError) else f"{type(error).__name__}: {error}"
        return text.removeprefix(f"{self.name}: ")


class Hub:
    """The latest readings, fanned out to every subscriber (the event
    streams). Readings come from the poller and from every client's own
    status reads alike, so watching costs the line nothing while clients
    are reading anyway."""

    def __init__(self, loop: asyncio.AbstractEventLoop) -> None:
        self.loop = loop
        self.subscribers: set[asyncio.Queue[dict[str, Any]]] = set()
        self.last_activity = time.monotonic()

    def publish(self, unit: Unit, st: Status) -> None:
        # Called from a line's worker thread.
        now = time.monotonic()
        event = {"unit": unit.index, "t": time.time(), **st.as_dict()}
        unit.last, unit.last_time = st, now
        # Taken here, in the worker, where the supply's lock is free: a
        # scrape would otherwise wait for the exchange in progress.
        counters = getattr(unit.supply, "counters", None)
        unit.counters = counters().as_dict() if counters is not None else None
        self.loop.call_soon_threadsafe(self._deliver, unit, event)

    def _deliver(self, unit: Unit, event: dict[str, Any]) -> None:
        unit.history.append(event)
        for queue in list(self.subscribers):
            if queue.full():  # a slow viewer loses its oldest reading, never the server's memory
                queue.get_nowait()
            queue.put_nowait(event)

    def subscribe(self) -> asyncio.Queue[dict[str, Any]]:
        queue: asyncio.Queue[dict[str, Any]] = asyncio.Queue(maxsize=256)
        self.subscribers.add(queue)
        return queue

    def unsubscribe(self, queue: asyncio.Queue[dict[str, Any]]) -> None:
        self.subscribers.discard(queue)

    def touch(self) -> None:
        """A client that may act spoke (for the watchdog): one with the
        token, or a SCPI client that may change settings."""
        self.last_activity = time.monotonic()


async def poll_line(line: Line, hub: Hub, interval: float) -> None:
    """Reads the line's units in turn while anybody watches, skipping a
    unit whose last reading is fresh anyway. However many viewers, the
    line carries one reading per `interval` at most."""
    turn = 0
    due = time.monotonic()
    while True:
        due += interval
        now = time.monotonic()
        if due < now - interval:  # fell behind (a busy line): no burst of catch-up readings
            due = now
        await asyncio.sleep(max(0.0, due - now))
        if not hub.subscribers or not line.units:
            continue
        unit = line.units[turn % len(line.units)]
        turn += 1
        if time.monotonic() - unit.last_time < interval * len(line.units) / 2:
            continue
        try:
            await unit.status()
            unit.problem = ""
        except LineError:
            pass  # told already
        except Exception as e:  # a missed reading, or worse
            unit.report(e)


async def watchdog(units: list[Unit], hub: Hub, timeout: float) -> None:
    """Switches off the outputs the server switched on once no client that
    may act (`Hub.touch`) has spoken for `timeout` seconds."""
    tripped = False
    while True:
        await asyncio.sleep(min(1.0, timeout / 4))
        quiet = time.monotonic() - hub.last_activity
        if quiet < timeout:
            tripped = False
            continue
        if tripped:
            continue
        tripped = True
        for unit in units:
            if unit.switched_on:
                try:
                    await unit.output(False)
                    log.warning("%s: watchdog: no client for %.0f s, output switched off", unit.name, quiet)
                except Exception as e:
                    log.warning("%s: watchdog could not switch the output off: %s", unit.name, e)
