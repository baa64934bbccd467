"""Opening one unit and leaving it safe: the life cycle under `Supply`.

`Connection` opens the port (or a unit of a shared line), reads the unit's
identity, attaches the capture and the line's late window, and on every
way out (a return, an exception, Ctrl-C, SIGTERM, SIGHUP) switches the
output off, hands the front panel back and closes the port. Every driver
call goes through it, under the supply's lock. What a lab does with the
open unit (setpoints, limits, ramps) is `Supply`'s, in `supply.py`.
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
from typing import Any, Self

import kx5180

from ..errors import (
    ConnectError,
    LineError,
    NoAnswerError,
    ShutdownError,
    SupplyError,
    UnsupportedModelError,
    WrongReplyError,
)
from ..records import Status
from ..stops import Terminated, deferred, stop_signals
from ..target import parse_target
from .driver import SUPPORTED_MODELS, address_of, read_identity
from .hooks import HookContext, hooked
from .opening import open_port, os_text
from .port import TracedPort
from .replies import ReplyGuard, traced_port
from .unit import UnitDriver

log = logging.getLogger("kx5180.lab")


class Connection:
    """One unit, opened and left safe; the base of `Supply`, which
    documents the options."""

    def __init__(
        self,
        port: str,
        *,
        address: int | None = None,
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

                def own_line(_name: str) -> Any:
                    return UnitDriver(None, unit, port=line)

                driver_factory = own_line
                port = target.name
        elif address is not None:
            raise TypeError("give either address or driver_factory, not both")
        self.port = port
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

    def open(self) -> Self:
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

    def __enter__(self) -> Self:
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
