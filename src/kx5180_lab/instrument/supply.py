"""`Supply`: one kx5180 supply used safely from Python.

    from kx5180_lab import Supply

    with Supply("/dev/ttyUSB0", max_voltage=5.0, max_current=0.5, verify=True) as psu:
        psu.set(voltage=3.3, current=0.2)
        psu.output(True)
        print(psu.status().voltage_v)
    # output off, front panel back in control, port closed: also after an
    # exception or Ctrl-C

The driver class itself is used unchanged; this module only adds what a
lab needs around it: clear exceptions instead of True/False, software
limits checked before anything is sent, read-back verification, ramps that
stop at a known value, quiet operation, a frame trace and one lock per
supply.
"""

from __future__ import annotations

from collections.abc import Callable, Iterable, Mapping
from typing import TYPE_CHECKING, Any, Self

from ..errors import LimitError, NoAnswerError, VerifyError
from ..records import Identity, Status
from . import ramp as ramps
from .driver import address_of
from .limits import MAX_MA, MAX_MV, fmt, limit_milli, ramp_plan, wire_value
from .limits import milli as to_milli
from .monitor import Monitored

if TYPE_CHECKING:
    from .charge import ChargeResult
    from .counters import Counters
    from .program import Step


class Supply(Monitored):
    """One supply on one port, as a context manager.

    `port` is a serial port, or PORT@ADDRESS for one unit of several on a
    line (the same as `address=ADDRESS`): that unit is then spoken to by its
    own address, and the line opens and closes with the Supply.

    Entering opens the port (raising a ConnectError subclass or
    NoAnswerError that says why when that fails) and, with `remote=True`,
    puts the unit under computer control. Leaving switches the output off,
    hands control back to the front panel and closes the port, whatever the
    reason for leaving; the exception that ended the block is never hidden.

    While a `with` block runs on the main thread, SIGTERM and SIGHUP (a
    `kill`, a service stop, a closed terminal) stop it as Ctrl-C does, if
    they are at their default action: the block ends with `Terminated`,
    the supply is made safe, and a program that does not catch it exits
    quietly with 128 + the signal (143 for SIGTERM). The handlers are put
    back on leaving; `handle_signals=False` leaves them alone.

    `keep_on_exit=True` is for tools whose settings must outlast them: a
    normal exit then only closes the port, and an exit by exception makes
    the unit safe only if this Supply changed something (a Supply that only
    read leaves the unit as it found it).

    Every operation holds the supply's lock, so one Supply may be shared
    between threads.

    `capture` (a file path or a `kx5180_lab.capture.Capture`) records the
    session as JSON Lines. A reply from another unit's address is never
    taken. After a command on the line went unanswered, the next command
    on that line, for whichever unit, first waits `late_window` seconds
    from that failure for a straggling reply and drops it; on a line that
    several Supplys share, the largest of their windows holds.
    `strict_replies=True` refuses a reply whose command word is not the one
    this kind of command gets back (WrongReplyError).

    `trip_current` (A), `trip_power` (W) and `trip_voltage` (V) are checked
    on every status reading this Supply takes: once a reading has been
    above one for `trip_delay` seconds (0: the first reading above it), the
    output is switched off, the front panel handed back, and TripError
    raised. A reading that did not come is neither above nor below.
    `counters()` integrates energy, charge and time with the output on from
    the same readings; `run` plays a program of steps, `charge` a CC-CV
    charge.
    """

    def __init__(
        self,
        port: str,
        *,
        address: int | None = None,
        max_voltage: float | None = None,
        max_current: float | None = None,
        verify: bool = False,
        quiet: bool = True,
        remote: bool = True,
        keep_on_exit: bool = False,
        handle_signals: bool = True,
        driver_factory: Callable[[str], Any] | None = None,
        capture: Any = None,
        strict_replies: bool = False,
        late_window: float = 1.0,
        trip_current: float | None = None,
        trip_power: float | None = None,
        trip_voltage: float | None = None,
        trip_delay: float = 0.0,
    ) -> None:
        super().__init__(
            port,
            trip_current=trip_current,
            trip_power=trip_power,
            trip_voltage=trip_voltage,
            trip_delay=trip_delay,
            address=address,
            quiet=quiet,
            remote=remote,
            keep_on_exit=keep_on_exit,
            handle_signals=handle_signals,
            driver_factory=driver_factory,
            capture=capture,
            strict_replies=strict_replies,
            late_window=late_window,
        )
        self.max_voltage = max_voltage
        self.max_current = max_current
        self._max_mv = limit_milli("max_voltage", max_voltage, MAX_MV)
        self._max_ma = limit_milli("max_current", max_current, MAX_MA)
        self.verify = verify
        # The unit's ceiling (mV) as last read or set in this session: what a
        # voltage setpoint is checked against without a read of its own.
        self._ceiling_mv: int | None = None

    def open(self) -> Self:
        self._ceiling_mv = None
        return super().open()

    def _read_status(self) -> Status:
        st = super()._read_status()
        self._ceiling_mv = round(st.ceiling_v * 1000)
        return st

    # -- limits ---------------------------------------------------------

    def _milli(self, name: str, value: Any, unit: str, limit: int, limit_name: str) -> int:
        return to_milli(name, value, unit, limit, limit_name, limited=getattr(self, limit_name) is not None)

    # -- operations -----------------------------------------------------------

    def status(self) -> Status:
        with self._operation():
            return self._read_status()

    def identity(self) -> Identity:
        """What the unit reported when it was opened (no frame is sent)."""
        with self._operation():
            v = self._driver.show_device_version()
            address = address_of(self._driver)
            return Identity(v["model"], v["SN"], int(v["soft_version"]), 255 if address is None else address)

    def output(self, on: bool) -> None:
        with self._operation():
            self._command("set_ouput_mode", "on" if on else "off", what=f"output {'on' if on else 'off'}")
            if self.verify:
                got = self._read_status().output_on
                if got != bool(on):
                    raise VerifyError(
                        f"{self.port}: output reads back {'on' if got else 'off'} after switching it "
                        f"{'on' if on else 'off'}",
                        "output_on",
                        bool(on),
                        got,
                    )

    def set_local(self) -> None:
        """Hands control back to the front panel now."""
        with self._operation():
            self._ceiling_mv = None  # the front panel may change it from now on
            self._command("set_work_mode", "local", what="the hand-back to the front panel")

    def set_remote(self) -> None:
        with self._operation():
            self._command("set_work_mode", "remote", what="the request for computer control")

    _SETTINGS = {
        # name: (driver method, status field, unit, limit attribute)
        "ceiling": ("set_voltage_max", "ceiling_v", "V", "max_voltage"),
        "current": ("set_out_current", "current_set_a", "A", "max_current"),
        "voltage": ("set_out_voltage", "voltage_set_v", "V", "max_voltage"),
    }

    def _plan(self, **values: Any) -> list[tuple[str, int]]:
        plan = []
        for name in ("ceiling", "current", "voltage"):
            value = values.get(name)
            if value is None:
                continue
            unit, limit_name = self._SETTINGS[name][2], self._SETTINGS[name][3]
            limit = self._max_mv if unit == "V" else self._max_ma
            plan.append((name, self._milli(name, value, unit, limit, limit_name)))
        return plan

    def check(self, voltage: float | None = None, current: float | None = None, ceiling: float | None = None) -> None:
        """Raises LimitError for a value that `set` would refuse, and sends
        no setting. On a supply that is not open only the limits are
        checked; on an open one a voltage is also checked against the
        unit's ceiling (`ceiling` when given with it), which takes one
        status read when this session has not read or set the ceiling yet."""
        plan = self._plan(voltage=voltage, current=current, ceiling=ceiling)
        if self.is_open:
            with self._operation():
                self._check_ceiling(plan)

    def check_ramp(self, voltage: float, step: float, rate: float) -> None:
        """Raises LimitError for a ramp that `ramp` would refuse, and sends
        no setting; the target is checked against the unit's ceiling as
        `check` does."""
        target, _, _ = self._ramp_plan(voltage, step, rate)
        if self.is_open:
            with self._operation():
                self._check_ceiling([("voltage", target)])

    def highest(self, name: str) -> float | None:
        """The largest value `set` takes for `name` ("voltage", "current" or
        "ceiling") now, in V or A, or None when it is not known. The
        voltage's is the unit's ceiling, or max_voltage when lower (one
        status read when none was taken yet); the unit reports no range for
        the current or the ceiling, so theirs is max_current or max_voltage."""
        if name == "voltage":
            with self._operation():
                return min(self._max_mv, self._unit_ceiling(0)) / 1000
        limit = self.max_current if name == "current" else self.max_voltage
        if name not in ("current", "ceiling"):
            raise ValueError(f"no setting {name!r}")
        if limit is None:
            return None
        return (self._max_ma if name == "current" else self._max_mv) / 1000

    def _unit_ceiling(self, voltage: int) -> int:
        """The unit's ceiling to check `voltage` (mV) against: the one last
        read or set in this session, read afresh when there is none or when
        it would refuse `voltage` (the front panel may have raised it)."""
        if self._ceiling_mv is None or voltage > self._ceiling_mv:
            self._read_status()
        assert self._ceiling_mv is not None
        return self._ceiling_mv

    def _check_ceiling(self, plan: list[tuple[str, int]]) -> None:
        """A voltage above the unit's ceiling is refused: the unit would take
        it and quietly hold the output lower. A ceiling in the same plan is
        the one that will hold."""
        values = dict(plan)
        voltage = values.get("voltage")
        if voltage is None:
            return
        ceiling = values.get("ceiling")
        if ceiling is None:
            ceiling = self._unit_ceiling(voltage)
        if voltage > ceiling:
            raise LimitError(
                f"voltage {fmt(voltage, 'V')} is above the unit's ceiling {fmt(ceiling, 'V')}; nothing was sent"
            )

    def _ramp_plan(self, voltage: Any, step: Any, rate: Any) -> tuple[int, int, float]:
        return ramp_plan(voltage, step, rate, self._max_mv, limited=self.max_voltage is not None)

    def _send(self, name: str, milli: int, verify: bool) -> None:
        method, field, unit, _ = self._SETTINGS[name]
        limit = self._max_mv if unit == "V" else self._max_ma
        if milli > limit:  # every value was checked before; this is the last guard
            raise LimitError(f"{self.port}: {name} {fmt(milli, unit)} is above the limit; nothing was sent")
        if name == "ceiling":
            self._ceiling_mv = None  # until acknowledged: it may or may not have been applied
        self._command(method, wire_value(milli), what=f"{name} {fmt(milli, unit)}")
        if name == "ceiling":
            self._ceiling_mv = milli
        if verify:
            got = round(getattr(self._read_status(), field) * 1000)
            if got != milli:
                raise VerifyError(
                    f"{self.port}: {name} reads back {fmt(got, unit)}, {fmt(milli, unit)} was sent",
                    field,
                    milli / 1000,
                    got / 1000,
                )

    def set(
        self,
        voltage: float | None = None,
        current: float | None = None,
        ceiling: float | None = None,
        *,
        verify: bool | None = None,
    ) -> None:
        """Sets any of the output voltage (V), current limit (A) and voltage
        ceiling (V), in whole millivolts and milliamperes (rounded to the
        nearest). Every value is checked against the limits before anything
        is sent. When several change, the ones that go down are sent before
        the ones that go up, so that the output never passes through a
        combination higher than both the old and the new one. A voltage
        above the unit's ceiling (`ceiling` when given with it) is refused
        too: see `check`."""
        self._set(verify, True, voltage=voltage, current=current, ceiling=ceiling)

    def _set_past_ceiling(
        self,
        voltage: float | None = None,
        current: float | None = None,
        ceiling: float | None = None,
        *,
        verify: bool | None = None,
    ) -> None:
        """`set` with the limits but without the unit's ceiling: for the
        self-test, which asks the unit what it does with a setpoint above
        it, and puts back a setpoint found there."""
        self._set(verify, False, voltage=voltage, current=current, ceiling=ceiling)

    def _set(self, verify: bool | None, within_ceiling: bool, **values: Any) -> None:
        verify = self.verify if verify is None else verify
        plan = self._plan(**values)
        if not plan:
            return
        with self._operation():
            if len(plan) > 1:
                now = self._read_status()  # the ceiling check below needs no read of its own then
                present = {n: round(getattr(now, self._SETTINGS[n][1]) * 1000) for n, _ in plan}
                plan.sort(key=lambda item: item[1] > present[item[0]])  # stable: reductions first
            if within_ceiling:
                self._check_ceiling(plan)
            for name, milli in plan:
                self._send(name, milli, verify)

    def ramp(
        self,
        voltage: float,
        step: float,
        rate: float,
        *,
        on_step: Callable[[float], None] | None = None,
    ) -> float:
        """Moves the voltage setpoint from its read-back value to `voltage`
        in steps of `step` volts at `rate` volts a second, and returns the
        target. A step without answer (or failing verification) raises
        RampError, Ctrl-C raises RampInterrupted; both carry
        `last_acknowledged_v`, the setpoint the unit confirmed last (by
        acknowledging a step, or else by reading it back), and say which.
        A setpoint that reads back above `max_voltage` is refused
        (LimitError) before any step: the way down would pass above it.
        A target above the unit's ceiling is refused as `set` refuses it
        (the way down from above the ceiling is not: the unit holds the
        output at the ceiling meanwhile)."""
        target, step_mv, interval = self._ramp_plan(voltage, step, rate)
        start = self._read_setpoint()
        with self._operation():
            self._check_ceiling([("voltage", target)])
        if start > self._max_mv:
            raise LimitError(
                f"{self.port}: the voltage setpoint reads back {fmt(start, 'V')}, above the limit "
                f"max_voltage={fmt(self._max_mv, 'V')}: a ramp from there would pass above it; no step was sent"
            )
        ramps.run(
            self.port,
            start,
            target,
            step_mv,
            interval,
            send=self._ramp_step,
            read_setpoint=self._read_setpoint,
            on_step=on_step,
        )
        return target / 1000

    def _ramp_step(self, milli: int) -> None:
        with self._operation():
            self._send("voltage", milli, self.verify)

    def _read_setpoint(self) -> int:
        with self._operation():
            return round(self._read_status().voltage_set_v * 1000)

    # -- unattended -------------------------------------------------------------

    def run(
        self,
        steps: Iterable[Step | Mapping[str, Any]],
        *,
        repeat: int = 1,
        interval: float = 1.0,
        on_reading: Callable[[int, Status], None] | None = None,
        on_missed: Callable[[int, NoAnswerError], None] | None = None,
    ) -> Counters:
        """Plays a program: each step (a `Step`, or a mapping with
        voltage_v, current_a, duration_s and optionally stop_below_a,
        stop_above_v) sets its voltage and current, then reads the unit
        every `interval` seconds for `duration_s`, ending early once the
        current falls below `stop_below_a` or the voltage rises above
        `stop_above_v`; the whole program `repeat` times. Every step is
        checked against the limits, the trips and the unit's ceiling before
        anything is set (LimitError naming the step). The output goes on
        after the first step's setpoints and off after the last, or on any
        way out. `on_reading(step, status)` sees each reading (step counted
        from 1), `on_missed(step, error)` each that did not come. Returns
        what the program delivered."""
        from .program import run_program

        return run_program(self, steps, repeat=repeat, interval=interval, on_reading=on_reading, on_missed=on_missed)

    def charge(
        self,
        voltage: float,
        current: float,
        cutoff: float,
        *,
        max_time: float | None = None,
        max_charge: float | None = None,
        interval: float = 1.0,
        on_reading: Callable[[Status, Counters], None] | None = None,
        on_missed: Callable[[NoAnswerError], None] | None = None,
    ) -> ChargeResult:
        """A CC-CV charge, only for a battery whose chemistry allows one,
        within this Supply's limits: `current` (A) until the voltage reaches
        `voltage` (V), then `voltage` until the current has stayed below
        `cutoff` (A) for 3 readings in a row in constant voltage, or
        `max_time` seconds or `max_charge` Ah are reached, or the unit
        switches its output off. Reads every `interval` seconds. The output
        is off at the end; the result says why it ended (`reason`, `done`
        at the cut-off) and what was delivered."""
        from .charge import charge

        return charge(
            self,
            voltage,
            current,
            cutoff,
            max_time=max_time,
            max_charge=max_charge,
            interval=interval,
            on_reading=on_reading,
            on_missed=on_missed,
        )
