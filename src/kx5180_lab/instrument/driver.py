"""The one place that reaches past the driver class's public surface: the
identity read, the unit address and a driver object put on a port the
toolkit opened. The class itself is used unchanged; should its private
names ever move, only this module follows them."""

from __future__ import annotations

from typing import Any

import kx5180

# The models this driver speaks to.
SUPPORTED_MODELS = ("5180", "5181")


def read_identity(driver: Any) -> None:
    """Asks the unit who it is; `show_device_version()` tells the answer
    (a model of "" when none came). A driver object that asked the
    broadcast address learns the unit's own address from it."""
    driver._KX5180__read_device_version()


def address_of(driver: Any) -> int | None:
    """The address the driver object speaks to (255 until it learns one;
    None for a stand-in that has none)."""
    address = getattr(driver, "_KX5180__addr", None)
    return None if address is None else int(address)


def unit_on(port: Any, name: str, address: int) -> kx5180.KX5180:
    """A driver object for the unit at `address` that speaks through the
    already open `port` (named `name`) instead of opening one itself."""
    driver = kx5180.KX5180(name)
    driver.ser = port
    driver._KX5180__addr = address  # type: ignore[attr-defined]
    return driver
