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

from ..errors import LineError, NoAnswerError, SupplyError, TripError
from ..instrument.bus import Bus
from ..instrument.counters import Counters
from ..instrument.supply import Supply
from ..instrument.trips import check_setpoint
from ..records import Identity, Status
from .trips import Tripped, TripRecord

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
        self.options: dict[str, Any] = {}  # what each Supply on it was made with, for a reopening
        # Told of a failed line (serve/reconnect.py); without it a dead unit stays dead.
        self.on_drop: Callable[[Unit, LineError], None] | None = None
        self.executor = ThreadPoolExecutor(max_workers=1, thread_name_prefix=f"kx5180 {port}")

    async def call(self, fn: Callable[..., T], *args: Any) -> T:
        return await asyncio.get_running_loop().run_in_executor(self.executor, fn, *args)


class Unit:
    """One supply as the server sees it: 1-based `index`, its `Supply`, the
    latest reading, and what the server changed on it. `trip` is the trip
    that holds its output off until cleared (None: none), `counters` what
    its readings integrated up to the latest one."""

    def __init__(self, index: int, supply: Supply, line: Line, hub: Hub) -> None:
        self.index = index
        self.supply = supply
        self.line = line
        self.hub = hub
        self.identity: Identity | None = None
        self.id = ""  # "HOST/SERIAL", the same on every view of a lab (see naming)
        self.last: Status | None = None
        self.last_time = 0.0
        self.history: collections.deque[dict[str, Any]] = collections.deque(maxlen=HISTORY)
        self.switched_on = False  # the server switched the output on at some point
        self.problem = ""  # the last failure told on the console
        self.trip: TripRecord | None = None
        self.counters = Counters()  # the supply's, as of the latest reading
        self._after_trip: Status | None = None  # the reading taken just after the last trip
        self._remote = False
        # "ok", "reconnecting" (its line is down) or "refused" (another
        # unit answers there); while not "ok", `down` is raised at once.
        self.state = "ok"
        self.down: LineError | None = None
        self.drop_reason = ""
        self._shared: asyncio.Future[Status] | None = None  # the reading anonymous readers wait for

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
        return {"unit": self.index, "name": self.name, "id": self.id, **ident, "state": self.state}

    def remote_taken(self, remote: bool) -> None:
        """What the unit reported after a reopening: whether it is under
        computer control."""
        self._remote = remote

    def shown(self, st: Status) -> dict[str, Any]:
        """A reading as the API and the event stream show it: with the
        counters and the trip."""
        return {**st.as_dict(), **self.counters.as_dict(), "trip": self.trip.as_dict() if self.trip else None}

    @property
    def guarded(self) -> bool:
        """Read by the poller even with nobody watching: its trips are
        only checked on readings, and its counters only hold with steady
        ones."""
        return self.supply.trips.any or self.switched_on

    # -- blocking parts, run in the line's worker ---------------------------------

    def _status(self) -> Status:
        st = self.supply.status()
        self.counters = self.supply.counters()
        self.hub.publish(self, st)
        return st

    def _watched(self, fn: Callable[..., T], *args: Any) -> T:
        try:
            return fn(*args)
        except TripError as e:
            self._tripped(e)
            raise

    def _tripped(self, error: TripError) -> None:
        """Recorded here, in the worker, before anything else queued on the
        line runs: an output-on right behind the reading is refused."""
        self.trip = TripRecord.of(error, self.name)
        self._remote = False  # the trip handed the unit to its front panel
        self.counters = self.supply.counters()
        log.warning("unit %d: %s", self.index, self.trip.message)
        if error.status is not None:
            self.hub.publish(self, error.status)
        self.hub.tripped(self, self.trip)
        self._after_trip = None
        try:
            # Viewers see the output off now, not at the next poll, and a
            # client whose reading tripped is answered with the state now.
            self._after_trip = self._status()
        except Exception:  # the trip is told; a reading that does not come changes nothing
            pass

    def _take_control(self) -> None:
        if not self._remote:
            self.supply.set_remote()
            self._remote = True

    def _check(self, voltage: float | None, current: float | None, ceiling: float | None) -> None:
        # A voltage above the voltage trip would trip as soon as the output
        # is on, with no load at all.
        check_setpoint(self.supply.trips, voltage, None, f"unit {self.index}", cc=False)
        self.supply.check(voltage=voltage, current=current, ceiling=ceiling)

    def _set(self, voltage: float | None, current: float | None, ceiling: float | None) -> None:
        # Checked before the unit is asked for control, so that a refused
        # value changes nothing at all.
        self._check(voltage, current, ceiling)
        self._take_control()
        self.supply.set(voltage=voltage, current=current, ceiling=ceiling)

    def _highest(self, name: str) -> float | None:
        return self.supply.highest(name)

    def refusal(self) -> str | None:
        """Why the output may not go on now, or None."""
        if self.trip is None:
            return None
        return (
            f"unit {self.index} tripped ({self.trip.short()}): clear the trip first "
            '(SCPI OUTP:PROT:CLE, or POST {"clear_trip": true})'
        )

    def _output(self, on: bool) -> None:
        if on:
            refusal = self.refusal()
            if refusal is not None:
                raise Tripped(refusal)
            # A fresh reading first, so that the counters do not spread the
            # first reading with the output on over the time it was off.
            try:
                self._status()
            except NoAnswerError:
                pass  # left out of the counters, as every reading that did not come
        self._take_control()
        if on:
            self.switched_on = True
        self.supply.output(on)

    def _clear_trip(self) -> None:
        self.trip = None

    def _reset_counters(self) -> None:
        self.supply.reset_counters()
        self.counters = self.supply.counters()

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
        if changes.get("clear_trip"):
            self._clear_trip()
        if changes.get("reset_counters"):
            self._reset_counters()
        if any(changes.get(k) is not None for k in ("voltage", "current", "ceiling")):
            self._set(changes.get("voltage"), changes.get("current"), changes.get("ceiling"))
        if changes.get("output") is not None:
            self._output(bool(changes["output"]))
        return self._status()

    # -- the event loop's side ----------------------------------------------

    async def _run(self, fn: Callable[..., T], *args: Any) -> T:
        if self.down is not None:
            raise self.down
        try:
            return await self.line.call(self._watched, fn, *args)
        except LineError as e:
            # The client is told too, but the console is where someone
            # looks for a pulled cable when nobody watches the dashboard.
            if self.line.on_drop is None:
                self.report(e)
            elif self.state == "ok":
                self.line.on_drop(self, e)
            raise
        except TripError as e:
            # A reading in it tripped: what was asked was cut short there.
            raise Tripped(f"unit {self.index}: {self.trip.message if self.trip else e}") from e

    async def status(self) -> Status:
        """A reading. When it tripped, the one taken right after the trip
        (the output off): the trip itself is told on its own, and the
        reading that tripped is in the trip."""
        try:
            return await self._run(self._status)
        except Tripped:
            if self._after_trip is not None:
                return self._after_trip
            raise

    async def shared_status(self) -> Status:
        """A reading for a client that proved nothing: one asked while
        another such is on its way shares it. However many of them come,
        the line's queue holds one of their readings at a time, and a
        command of a client that may act waits behind that one at most."""
        if self._shared is None or self._shared.done():
            self._shared = asyncio.ensure_future(self.status())
            # Retrieved even when every reader gave up, so that a failed
            # reading nobody waits for is not told as a fault of its own.
            self._shared.add_done_callback(lambda f: f.cancelled() or f.exception())
        return await asyncio.shield(self._shared)

    async def set(
        self, voltage: float | None = None, current: float | None = None, ceiling: float | None = None
    ) -> None:
        await self._run(self._set, voltage, current, ceiling)

    async def check(self, **values: float | None) -> None:
        """Raises LimitError for a value `set` would refuse (the unit's
        ceiling among the reasons); changes nothing."""
        await self._run(self._check, values.get("voltage"), values.get("current"), values.get("ceiling"))

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

    async def clear_trip(self) -> None:
        await self._run(self._clear_trip)

    async def reset_counters(self) -> None:
        await self._run(self._reset_counters)

    async def apply(self, changes: dict[str, Any]) -> Status:
        return await self._run(self._apply, changes)

    def stop(self, keep_on: bool) -> str | None:
        """Blocking: output off (if the server switched it on, unless
        `keep_on`), the front panel back in control, the unit closed.
        Returns what went wrong as one line, or None."""
        if self.state != "ok":
            from .reconnect import stop_while_down

            return stop_while_down(self, keep_on)
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
        # Called on the event loop with each trip (the SCPI connections'
        # error queues and status registers).
        self.trip_listeners: list[Callable[[Unit, TripRecord], None]] = []

    def publish(self, unit: Unit, st: Status) -> None:
        # Called from a line's worker thread.
        now = time.monotonic()
        event = {"unit": unit.index, "t": time.time(), **unit.shown(st)}
        unit.last, unit.last_time = st, now
        self.loop.call_soon_threadsafe(self._deliver, unit, event)

    def _deliver(self, unit: Unit, event: dict[str, Any]) -> None:
        unit.history.append(event)
        for queue in list(self.subscribers):
            if queue.full():  # a slow viewer loses its oldest reading, never the server's memory
                queue.get_nowait()
            queue.put_nowait(event)

    def tripped(self, unit: Unit, record: TripRecord) -> None:
        # Called from a line's worker thread, before the call that tripped
        # returns to the event loop.
        self.loop.call_soon_threadsafe(self._tell_trip, unit, record)

    def _tell_trip(self, unit: Unit, record: TripRecord) -> None:
        for listener in list(self.trip_listeners):
            listener(unit, record)

    def announce(self, unit: Unit) -> None:
        """A unit's state changed (its line went down or came back): told to
        every stream as an event of its own, never kept as a reading."""
        event = {"event": "state", "unit": unit.index, "state": unit.state}
        for queue in list(self.subscribers):
            if queue.full():
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
    """Reads the line's units in turn while anybody watches (and those
    with trips or an output the server switched on, always), skipping a
    unit whose last reading is fresh anyway. However many viewers, the
    line carries one reading per `interval` at most. A trip is recorded
    and told by the unit; the poller goes on."""
    turn = 0
    due = time.monotonic()
    while True:
        due += interval
        now = time.monotonic()
        if due < now - interval:  # fell behind (a busy line): no burst of catch-up readings
            due = now
        await asyncio.sleep(max(0.0, due - now))
        polled = line.units if hub.subscribers else [u for u in line.units if u.guarded]
        if not polled:
            continue
        unit = polled[turn % len(polled)]
        turn += 1
        if time.monotonic() - unit.last_time < interval * len(polled) / 2:
            continue
        try:
            await unit.status()
            unit.problem = ""
        except (LineError, Tripped):
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
