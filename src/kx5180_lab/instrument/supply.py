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

import contextlib
import logging
import math
import numbers
import os
import threading
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from typing import Any

import kx5180

from ..errors import (
    ConnectError,
    LimitError,
    LineError,
    NoAnswerError,
    ShutdownError,
    SupplyError,
    UnsupportedModelError,
    VerifyError,
    WrongReplyError,
)
from ..records import Identity, Status
from ..stops import Terminated, deferred, stop_signals
from ..target import parse_target
from . import ramp as ramps
from .driver import SUPPORTED_MODELS, address_of, read_identity
from .hooks import HookContext, hooked
from .limits import MAX_MA, MAX_MV, fmt, limit_milli, ramp_plan, wire_value
from .limits import milli as to_milli
from .opening import open_port, os_text
from .port import TracedPort
from .replies import ReplyGuard, traced_port
from .unit import UnitDriver

log = logging.getLogger("kx5180.lab")


# -- the supply -----------------------------------------------------------------


class Supply:
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
    ) -> None:
        if isinstance(port, os.PathLike):
            port = os.fspath(port)
        if driver_factory is None:
            target = parse_target(port, address)
            if target.address is not None:
                line, unit = target.port, target.address

                def driver_factory(_name: str) -> Any:
                    return UnitDriver(None, unit, port=line)

                port = target.name
        elif address is not None:
            raise TypeError("give either address or driver_factory, not both")
        self.port = port
        self.max_voltage = max_voltage
        self.max_current = max_current
        self._max_mv = limit_milli("max_voltage", max_voltage, MAX_MV)
        self._max_ma = limit_milli("max_current", max_current, MAX_MA)
        self.verify = verify
        self.remote = remote
        self.keep_on_exit = keep_on_exit
        self.handle_signals = handle_signals
        self._signals: Any = None
        self._took_signals = False
        self._factory = driver_factory or kx5180.KX5180
        self._lock = threading.RLock()
        self._ctx = HookContext(quiet=quiet, on_port=self._wrap_port, on_line=self._driver_line)
        self._driver: Any = None
        self._ports: list[TracedPort] = []
        self._open = False
        self._touched = False
        if (
            isinstance(late_window, bool)
            or not isinstance(late_window, numbers.Real)
            or not 0 <= late_window < math.inf
        ):
            raise ValueError(f"late_window must be a number of seconds >= 0, not {late_window!r}")
        self.strict_replies: bool = bool(strict_replies)
        self._late_window: float = float(late_window)
        self._guard: ReplyGuard = ReplyGuard(strict=self.strict_replies)
        self._capture_arg: Any = capture
        self._capture: Any = None
        self._capture_owned: bool = False

    @property
    def quiet(self) -> bool:
        """False lets the driver's printed reply lines through to stdout."""
        return self._ctx.quiet

    @quiet.setter
    def quiet(self, value: bool) -> None:
        self._ctx.quiet = bool(value)

    # -- limits ---------------------------------------------------------

    def _milli(self, name: str, value: Any, unit: str, limit: int, limit_name: str) -> int:
        return to_milli(name, value, unit, limit, limit_name, limited=getattr(self, limit_name) is not None)

    # -- plumbing ---------------------------------------------------------

    def _wrap_port(self, port: Any) -> TracedPort:
        traced = TracedPort(port, self.port, subscribers=[self._capture] if self._capture is not None else None)
        self._ports.append(traced)
        return traced

    def _start_capture(self) -> None:
        if self._capture_arg is None or self._capture is not None:
            return
        from ..hardware.capture import Capture

        if isinstance(self._capture_arg, Capture):
            self._capture, self._capture_owned = self._capture_arg, False
        else:
            try:
                self._capture = Capture(self._capture_arg, port=self.port)
            except OSError as e:
                raise SupplyError(f"cannot write the capture {self._capture_arg}: {e.strerror or e}") from e
            self._capture_owned = True

    def _attach(self) -> None:
        """The capture and the late window onto the port. A unit of a bus
        talks through the bus's port, made before this Supply existed."""
        port = traced_port(self._driver)
        if port is None:
            return
        port.claim_window(self, self._late_window)
        if self._capture is not None and self._capture not in port.subscribers:
            port.subscribers.append(self._capture)

    def _detach(self) -> None:
        capture, self._capture = self._capture, None
        for port in {id(p): p for p in [*self._ports, traced_port(self._driver)] if p is not None}.values():
            port.release_window(self)
            if capture is not None and capture in port.subscribers:
                port.subscribers.remove(capture)
        if capture is not None and self._capture_owned:
            capture.close()

    def _driver_line(self, line: str) -> None:
        log.debug("%s: driver printed %r", self.port, line)

    @contextmanager
    def _operation(self) -> Iterator[None]:
        with self._lock, hooked(self._ctx):
            if not self._open:
                raise SupplyError(f"{self.port}: the supply is not open")
            try:
                yield
            except OSError as e:  # pyserial's SerialException among them
                raise LineError(f"{self.port}: the line failed: {os_text(e)}") from e

    def _call(self, method: str, *args: Any) -> Any:
        # A reply that is still on its way after a silent or interrupted
        # exchange is waited out and dropped by the driver itself, before
        # its next command on this port, up to about 0.6 s late; the port
        # stretches that to the line's late window and takes no reply from
        # another address, and the guard refuses a reply of the wrong kind
        # when strict.
        return self._guard.call(self._driver, method, *args, refused=WrongReplyError, name=self.port)

    def _command(self, method: str, *args: Any, what: str) -> None:
        self._touched = True
        if not self._call(method, *args):
            raise NoAnswerError(f"{self.port}: no answer to {what} (it may or may not have been applied)")

    def _read_status(self) -> Status:
        d = self._call("read_dev_status")
        if not d:
            raise NoAnswerError(f"{self.port}: no answer to the status request")
        return Status.from_driver(d)

    # -- open and close -----------------------------------------------------

    def open(self) -> Supply:
        with self._lock, hooked(self._ctx):
            if self._open:
                return self
            self._ports.clear()
            self._touched = False
            self._driver = self._factory(self.port)
            try:
                self._start_capture()
                if isinstance(self._driver, kx5180.KX5180):
                    self._open_driver(self._driver)
                elif not self._call("open"):
                    raise self._why_not_accepted()
                self._attach()
                self._open = True
                self._record_identity()
                if self.remote:
                    self._command("set_work_mode", "remote", what="the request for computer control")
            except BaseException as error:
                self._abandon(error)
                if isinstance(self._driver, UnitDriver) and self._driver.owns_line:
                    with contextlib.suppress(Exception):  # the reason it failed comes first
                        self._driver.close()
                if isinstance(error, OSError) and not isinstance(error, SupplyError):
                    raise LineError(f"{self.port}: the line failed while opening: {os_text(error)}") from error
                raise
        return self

    def _open_driver(self, driver: Any) -> None:
        """The driver's own open, with the port opened by the toolkit so
        that each failure is an exception of its own; the driver object is
        used unchanged."""
        driver.ser = open_port(self.port)
        self._ports.append(driver.ser)
        self._attach()  # before the first frame, so the capture has it
        read_identity(driver)
        if driver.show_device_version()["model"] not in SUPPORTED_MODELS:
            raise self._why_not_accepted()

    def _record_identity(self) -> None:
        port = traced_port(self._driver)
        if port is not None:
            v = self._driver.show_device_version()
            addr = address_of(self._driver)
            port.emit(
                "identity",
                model=v.get("model"),
                serial_number=v.get("SN"),
                software_version=v.get("soft_version"),
                address=addr,
            )

    def _why_not_accepted(self) -> SupplyError:
        port = self.port
        model = self._driver.show_device_version().get("model", "")
        if not model:
            return NoAnswerError(f"{port}: no supply answered the identity request")
        if model not in SUPPORTED_MODELS:
            shown = model.replace("\x00", "\\0")
            return UnsupportedModelError(
                f"{port}: unsupported model {shown!r} (this driver knows 5180 and 5181)", model
            )
        return ConnectError(f"{port}: the supply could not be opened")

    def _abandon(self, error: BaseException) -> None:
        """Cleans up after a failed open: control back if it was taken,
        every port this attempt opened closed."""
        if self._open and self._touched:
            self._make_safe([])
        self._open = False
        for p in self._ports:
            try:
                if getattr(p.wrapped, "is_open", True):
                    p.close()
            except Exception as e:
                log.warning("%s: closing after a failed open: %s", self.port, e)
        self._detach()

    def _make_safe(self, problems: list[str]) -> None:
        # Both are idempotent, so one retry costs nothing and covers a
        # single lost reply.
        for method, mode, what in (
            ("set_ouput_mode", "off", "output off"),
            ("set_work_mode", "local", "front-panel control"),
        ):
            for attempt in (1, 2):
                try:
                    if self._call(method, mode):
                        break
                    if attempt == 2:
                        problems.append(f"{what}: no answer")
                except Exception as e:
                    problems.append(f"{what}: {e}")
                    break

    def close(self, error: BaseException | None = None) -> None:
        """Output off and local (unless keep_on_exit allows otherwise), port
        closed. `error` is the exception that ends the caller's work, if
        any: a problem here is then added to it as a note instead of
        replacing it."""
        problems: list[str] = []
        safe = False
        with deferred() as held:
            with self._lock, hooked(self._ctx):
                if not self._open:
                    return
                try:
                    safe = not self.keep_on_exit or (error is not None and self._touched)
                    if safe:
                        self._make_safe(problems)
                finally:
                    self._open = False
                    try:
                        self._driver.close()
                    except Exception as e:
                        problems.append(f"closing the port: {e}")
                    self._detach()
        if problems:
            text = f"{self.port}: leaving the supply safe failed: " + "; ".join(problems)
            if error is None:
                raise ShutdownError(text)
            log.warning("%s", text)
            error.add_note(text)
        elif safe and error is not None:
            # Whoever reports the error can tell the user what state the unit is in.
            error.add_note(f"{self.port}: output switched off, front panel in control")
        if error is None:
            held.release()

    def __enter__(self) -> Supply:
        if self.handle_signals and self._signals is None:
            self._signals = stop_signals()
            self._took_signals = self._signals.__enter__()
        try:
            return self.open()
        except BaseException:
            self._restore_signals()
            raise

    def __exit__(self, exc_type: Any, exc: BaseException | None, tb: Any) -> None:
        took = self._took_signals
        try:
            self.close(exc)
        finally:
            self._restore_signals()
        if took and isinstance(exc, Terminated):
            # Uncaught, it ends the program without a word: this is the
            # one line that says why, and in what state the unit was left.
            notes = [n.removeprefix(f"{self.port}: ") for n in getattr(exc, "__notes__", ())]
            text = str(exc) if str(exc).startswith(self.port) else f"{self.port}: {exc}"
            log.warning("%s", "; ".join([text, *notes]))

    def _restore_signals(self) -> None:
        signals, self._signals, self._took_signals = self._signals, None, False
        if signals is not None:
            signals.__exit__(None, None, None)

    @property
    def is_open(self) -> bool:
        return self._open

    @property
    def driver(self) -> Any:
        """The KX5180 object underneath (its port is wrapped for the trace)."""
        return self._driver

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
        """Raises LimitError for a value that `set` would refuse; sends
        nothing and works on a supply that is not open."""
        self._plan(voltage=voltage, current=current, ceiling=ceiling)

    def check_ramp(self, voltage: float, step: float, rate: float) -> None:
        """Raises LimitError for a ramp that `ramp` would refuse; sends
        nothing and works on a supply that is not open."""
        self._ramp_plan(voltage, step, rate)

    def _ramp_plan(self, voltage: Any, step: Any, rate: Any) -> tuple[int, int, float]:
        return ramp_plan(voltage, step, rate, self._max_mv, limited=self.max_voltage is not None)

    def _send(self, name: str, milli: int, verify: bool) -> None:
        method, field, unit, _ = self._SETTINGS[name]
        limit = self._max_mv if unit == "V" else self._max_ma
        if milli > limit:  # every value was checked before; this is the last guard
            raise LimitError(f"{self.port}: {name} {fmt(milli, unit)} is above the limit; nothing was sent")
        self._command(method, wire_value(milli), what=f"{name} {fmt(milli, unit)}")
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
        combination higher than both the old and the new one."""
        verify = self.verify if verify is None else verify
        plan = self._plan(voltage=voltage, current=current, ceiling=ceiling)
        if not plan:
            return
        with self._operation():
            if len(plan) > 1:
                now = self._read_status()
                present = {n: round(getattr(now, self._SETTINGS[n][1]) * 1000) for n, _ in plan}
                plan.sort(key=lambda item: item[1] > present[item[0]])  # stable: reductions first
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
        (LimitError) before any step: the way down would pass above it."""
        target, step_mv, interval = self._ramp_plan(voltage, step, rate)
        start = self._read_setpoint()
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
