"""Several kx5180 units on one serial line.

The supplies are made for a multi-drop line (RS-485): every frame carries
the address of the unit it is for, and a unit answers only its own address.
`Bus` opens the line once and hands out one driver object per address, all
on the same port object, so the driver's per-port lock keeps their
exchanges apart however many threads use them. That port object (the
toolkit's, `kx5180_lab.instrument.port`) takes a reply only from the address asked,
and after a command went unanswered it waits out a late reply before the
next command on the line, whichever unit it is for:

    from kx5180_lab.bus import Bus

    with Bus("/dev/ttyUSB0") as bus:
        print(bus.scan(range(1, 11)))      # who answers at addresses 1..10
        left, right = bus.unit(1), bus.unit(2)
        left.set_out_voltage(3.3)
        print(right.read_dev_status())
        with bus.supply(3, max_voltage=12) as psu:   # the safe Supply, on unit 3
            psu.set(voltage=5.0, current=0.1)
    # the port is closed here

Address 255 is the broadcast address: every unit on the line answers it at
the same moment, the replies collide, and no valid reply comes back. A
fresh `KX5180` speaks to 255 until its identity read teaches it the unit's
own address, which is why one object per port works only with one unit on
the line. `unit()` refuses 255 unless `allow_broadcast=True`.
"""

from __future__ import annotations

import os
from collections.abc import Iterable
from typing import Any

from ..errors import BusClosedError, PortBusyError, SupplyError
from ..records import FoundUnit
from ..target import check_address
from ..wire import BROADCAST
from .driver import read_identity
from .line import Line, failing
from .supply import Supply
from .unit import UnitDriver

__all__ = ["BROADCAST", "Bus", "BusClosedError", "BusyPortError", "FoundUnit", "check_address", "supply_at"]

# The name Bus has always raised; one class with Supply's, and still a
# pyserial SerialException.
BusyPortError = PortBusyError


class Bus(Line):
    """One serial line shared by the units on it; a context manager that
    closes the port on leaving.

    The port opens at construction with the driver's own line settings
    (4800 baud, 8N1). With `exclusive=True` (the default) a port that
    another program holds is refused with `BusyPortError`, and the port is
    locked against other programs that ask for it exclusively;
    `exclusive=False` skips both, for lines that are shared on purpose.
    Where that cannot be checked, the lock alone guards the port. A port
    that cannot be opened raises `PortOpenError`. Both are `SupplyError`s,
    and pyserial's SerialException too; a line that fails during `scan`
    raises `LineError`.
    """

    def __init__(self, port: str | os.PathLike[str], *, exclusive: bool = True, capture: Any = None) -> None:
        port = os.fspath(port)
        if not isinstance(port, str):
            raise TypeError(f"a port name is a str, not {port!r}")
        # `capture`: a file path (written as JSON Lines, closed with the
        # bus) or a kx5180_lab.capture.Capture.
        self._capture: Any = None
        self._owns_capture = False
        if capture is not None:
            from ..hardware.capture import Capture

            try:
                self._capture = capture if isinstance(capture, Capture) else Capture(capture, port=port)
            except OSError as e:
                raise SupplyError(f"cannot write the capture {capture}: {e.strerror or e}") from e
            self._owns_capture = self._capture is not capture
        # Wrapped for the frame trace (logger "kx5180.traffic"); every unit
        # shares this one object, and with it the driver's lock.
        try:
            super().__init__(port, exclusive=exclusive)
        except BaseException:
            if self._owns_capture:
                self._capture.close()
            raise
        if self._capture is not None:
            self.ser.subscribers.append(self._capture)

    @classmethod
    def connect(cls, port: str, *, exclusive: bool = True, capture: Any = None) -> Bus:
        """The same as `Bus(port)`; kept for callers that use it."""
        return cls(port, exclusive=exclusive, capture=capture)

    # -- life cycle -------------------------------------------------------------

    def close(self) -> None:
        """Closes the port; `unit()` then raises BusClosedError, and calls on
        units handed out earlier raise pyserial's port-not-open error. Safe
        to call more than once. Close it after the threads that use its
        units are done: a call that is on the line at that moment fails
        with an error from the port."""
        super().close()
        if self._capture is not None and self._owns_capture:
            self._capture.close()

    def __enter__(self) -> Bus:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __repr__(self) -> str:
        return f"<Bus {self.port!r} {'open' if self.is_open else 'closed'}>"

    # -- units ------------------------------------------------------------------

    def scan(self, addresses: Iterable[int] = range(0, BROADCAST)) -> list[FoundUnit]:
        """Sends the identity request to each address in turn and returns
        the units that answered, in the order asked. Each address that
        stays silent costs about 1.3 s (the reply window, then the line's
        late window before the next request), so a scan of every address
        takes several minutes: narrow it when you can."""
        todo = list(dict.fromkeys(check_address(a) for a in addresses))
        found = []
        for address in todo:
            driver = self.unit(address)
            with failing(self.port, f"while asking address {address}"):
                read_identity(driver)
            ident = driver.show_device_version()
            # A reply always fills the model code with four characters; an
            # identity read that got none leaves the fresh object's "".
            if ident["model"]:
                found.append(FoundUnit(address, ident["model"], ident["SN"], ident["soft_version"]))
        return found

    def supply(self, address: int, **options: Any) -> Supply:
        """A `Supply` (not yet opened) for the unit at `address`, with the
        same options as `Supply` itself. Opening it reads the unit's
        identity; closing it makes the unit safe and leaves the line open
        for the others."""
        check_address(address)
        return Supply(f"{self.port}@{address}", driver_factory=lambda _name: UnitDriver(self, address), **options)


def supply_at(port: str, address: int, *, exclusive: bool = True, **options: Any) -> Supply:
    """A `Supply` (not yet opened) for the unit at `address` on `port` that
    opens the line when it opens and closes the line when it closes: one
    unit of a bus, used by itself (what `Supply("PORT@ADDRESS")` does, with
    the choice of an exclusive open)."""
    check_address(address)
    if exclusive:
        return Supply(port, address=address, **options)
    return Supply(
        f"{port}@{address}",
        driver_factory=lambda _name: UnitDriver(None, address, port=port, exclusive=exclusive),
        **options,
    )
