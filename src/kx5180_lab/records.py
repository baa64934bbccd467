"""What a unit reports, as records with the unit of each value in its name."""

from __future__ import annotations

from dataclasses import asdict, dataclass
from typing import Any, NamedTuple


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
    mode: str  # "CV", "CC", or "XX" when neither (output off)
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
            mode=d["out_mode"],
            fan_speed=int(d["fan_speed"]),
            remote=d["work_mode"] == "remote",
        )

    def as_dict(self) -> dict[str, Any]:
        return asdict(self)


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
    SN: str
    soft_version: int
