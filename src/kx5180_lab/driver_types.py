"""The driver's own dictionaries as types, importable at run time: what
`KX5180.read_dev_status()` and `show_device_version()` return. The driver's
stub describes the same shapes under private names, for type checkers only;
a TypedDict is matched by its keys, so these annotate the driver's values.

    from kx5180_lab import DevStatus

    def watts(status: DevStatus) -> float:
        return status["voltage_real"] * status["current_real"]
"""

from typing import Literal, TypedDict


class DevStatus(TypedDict):
    """A status readout as the driver returns it."""

    current_real: float
    voltage_real: float
    current_set: float
    voltage_max_set: float
    voltage_set: float
    out_status: Literal["on", "off"]
    beyond_temp: bool
    out_mode: Literal["CV", "CC", "XX"]
    fan_speed: int
    work_mode: Literal["remote", "local"]


class DeviceVersion(TypedDict):
    """An identity as the driver returns it."""

    model: str
    SN: str
    soft_version: int
