"""What a unit reports, as records with the unit of each value in its name."""

from __future__ import annotations

import warnings
from dataclasses import asdict, dataclass
from typing import Any, Literal, NamedTuple, TypeAlias

# How the output is regulated. The unit's own code for neither (the output
# off, or tripped) is "XX"; the toolkit says the word the table says.
Regulation: TypeAlias = Literal["CV", "CC", "unregulated"]
UNREGULATED: Regulation = "unregulated"


@dataclass(frozen=True)
class Status:
    """One status readout, with the unit of each value in its name."""

    voltage_v: float
    current_a: float
    voltage_set_v: float
    current_set_a: float
    ceiling_v: float
    output_on: bool
    over_temperature: bool
    mode: Regulation  # "CV", "CC", or "unregulated" when neither (output off)
    fan_speed: int
    remote: bool

    @property
    def cv(self) -> bool:
        return self.mode == "CV"

    @property
    def cc(self) -> bool:
        return self.mode == "CC"

    @property
    def power_w(self) -> float:
        return self.voltage_v * self.current_a

    @classmethod
    def from_driver(cls, d: dict[str, Any]) -> Status:
        return cls(
            voltage_v=d["voltage_real"],
            current_a=d["current_real"],
            voltage_set_v=d["voltage_set"],
            current_set_a=d["current_set"],
            ceiling_v=d["voltage_max_set"],
            output_on=d["out_status"] == "on",
            over_temperature=bool(d["beyond_temp"]),
            mode=_regulation(d["out_mode"]),
            fan_speed=int(d["fan_speed"]),
            remote=d["work_mode"] == "remote",
        )

    def as_dict(self) -> dict[str, Any]:
        return asdict(self)


def _regulation(code: str) -> Regulation:
    if code == "CV":
        return "CV"
    if code == "CC":
        return "CC"
    return UNREGULATED


STATUS_FIELDS = tuple(Status.__dataclass_fields__)


@dataclass(frozen=True)
class Identity:
    model: str
    serial_number: str
    software_version: int
    address: int

    def as_dict(self) -> dict[str, Any]:
        return asdict(self)


class FoundUnit(NamedTuple):
    """A unit that answered the identity request during a scan."""

    address: int
    model: str
    serial_number: str
    software_version: int

    # The names of the driver's dictionary, which this record had first.
    @property
    def SN(self) -> str:
        """Deprecated: `serial_number`."""
        warnings.warn("FoundUnit.SN is deprecated: use serial_number", DeprecationWarning, stacklevel=2)
        return self.serial_number

    @property
    def soft_version(self) -> int:
        """Deprecated: `software_version`."""
        warnings.warn("FoundUnit.soft_version is deprecated: use software_version", DeprecationWarning, stacklevel=2)
        return self.software_version
