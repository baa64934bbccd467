"""One unit of a line as `Supply` drives it."""

from __future__ import annotations

from typing import Any

import kx5180

from .driver import SUPPORTED_MODELS, read_identity
from .line import Line


class UnitDriver:
    """What `Supply` asks of a driver, for one unit on a line: `open()`
    reads the unit's identity instead of opening the port, and `close()`
    leaves a shared line open. Given no line, it opens one of its own on
    `port` at `open()` and closes it at `close()` (`owns_line`).
    Everything else is the unit's own driver object."""

    def __init__(self, line: Line | None, address: int, *, port: str = "", exclusive: bool = True) -> None:
        self._line = line
        self.owns_line = line is None
        self._address = address
        self._port = port
        self._exclusive = exclusive
        self._unit: kx5180.KX5180 | None = None

    def open(self) -> bool:
        if self._line is None or (self.owns_line and not self._line.is_open):
            self._line = Line(self._port, exclusive=self._exclusive)
        self._unit = self._line.unit(self._address)
        read_identity(self._unit)
        return self._unit.show_device_version()["model"] in SUPPORTED_MODELS

    def close(self) -> None:
        if self.owns_line and self._line is not None:
            self._line.close()

    def __getattr__(self, name: str) -> Any:
        unit = self.__dict__.get("_unit")
        if unit is None:
            raise AttributeError(name)
        return getattr(unit, name)
