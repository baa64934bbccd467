"""One serial line the toolkit opened, and the driver objects of the units
on it. `Bus` is a line with a scan and Supplys on top; a Supply named
PORT@ADDRESS opens a line of its own for its one unit."""

from __future__ import annotations

import contextlib
from collections.abc import Iterator

import kx5180

from ..errors import BusClosedError, LineError, SupplyError
from ..target import check_address
from .driver import unit_on
from .opening import open_port, os_text


@contextlib.contextmanager
def failing(port: str, what: str) -> Iterator[None]:
    """An OSError from the port in the block as the LineError that says
    what was being done."""
    try:
        yield
    except SupplyError:
        raise  # says what went wrong already (a network line that refused us)
    except OSError as e:  # pyserial's SerialException among them
        raise LineError(f"{port}: the line failed {what}: {os_text(e)}") from e


class Line:
    """The port opened once, wrapped for the frame trace; every unit's
    driver object shares this one port object, and with it the driver's
    per-port lock, which keeps their exchanges apart however many threads
    use them. With `exclusive`, a port another program holds is refused."""

    def __init__(self, port: str, *, exclusive: bool = True) -> None:
        self.port = port
        self.exclusive = exclusive
        self.ser = open_port(port, exclusive=exclusive, strict=False)

    @property
    def is_open(self) -> bool:
        return bool(getattr(self.ser, "is_open", False))

    def close(self) -> None:
        """Closes the port (once; again is harmless)."""
        if self.is_open:
            with failing(self.port, "while closing"):
                self.ser.close()

    def unit(self, address: int, *, allow_broadcast: bool = False) -> kx5180.KX5180:
        """A driver object for the unit at `address` (0..254) on this line.

        It is an ordinary `KX5180` whose port is the line's: do not `open()`
        or `close()` it (the line does both; its `close()` would close the
        line for every unit). Its identity is empty until it is read."""
        address = check_address(address, allow_broadcast=allow_broadcast)
        if not self.is_open:
            raise BusClosedError(self.port)
        return unit_on(self.ser, self.port, address)
