"""
Basic Usage:
    kx5100 = KX5180('/dev/ttyUSB0')
    if kx5100.open():
        # turn on Power
        kx5100.set_work_mode('remote')
        kx5100.set_out_voltage(1.222) # set voltage 1.222V
        kx5100.set_out_current(0.888) # set current 0.888A
        kx5100.set_ouput_mode('on') # turn on Power

        # read the device real status
        kx5100.read_dev_status()

        # turn off Power
        kx5100.set_ouput_mode('off')
        kx5100.set_work_mode('local')
"""

# The driver is a compiled module: this stub is what mypy and pyright see of
# it. DevStatus, DeviceVersion and the mode aliases exist for type checkers
# only; import them under `if TYPE_CHECKING:`.

import binascii as binascii
import platform as platform
import subprocess as subprocess
import time as time
from typing import Literal, TypeAlias, TypedDict

import serial as serial

__version__: str

WorkMode: TypeAlias = Literal["remote", "local"]
OutputMode: TypeAlias = Literal["on", "off"]
Regulation: TypeAlias = Literal["CV", "CC", "XX"]

class DevStatus(TypedDict):
    current_real: float
    voltage_real: float
    current_set: float
    voltage_max_set: float
    voltage_set: float
    out_status: OutputMode
    beyond_temp: bool
    out_mode: Regulation
    fan_speed: int
    work_mode: WorkMode

class DeviceVersion(TypedDict):
    model: str
    SN: str
    soft_version: int

class KX5180:
    port: str
    ser: serial.Serial
    def __init__(self, serial_port: str) -> None: ...
    def show_device_version(self) -> DeviceVersion: ...
    def set_work_mode(self, mode: WorkMode = "remote") -> bool: ...
    def set_ouput_mode(self, mode: OutputMode = "off") -> bool: ...
    def set_voltage_max(self, voltage: float) -> bool: ...
    def set_out_voltage(self, voltage: float) -> bool: ...
    def set_out_current(self, current: float) -> bool: ...
    def set_new_addr(self, address: int) -> bool: ...
    def restore_factory(self) -> bool: ...
    def read_dev_status(self) -> DevStatus | None: ...
    def check_port_available(self) -> bool: ...
    def open(self) -> bool: ...
    def close(self) -> None: ...
