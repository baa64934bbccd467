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
# it. The names with a leading underscore exist for type checkers only, so
# that none of them looks importable; kx5180_lab.DevStatus and
# kx5180_lab.DeviceVersion are the same shapes, importable at run time.

import binascii as binascii
import platform as platform
import subprocess as subprocess
import time as time
from typing import Literal, TypeAlias, TypedDict

import serial as serial

__version__: str

_WorkMode: TypeAlias = Literal["remote", "local"]
_OutputMode: TypeAlias = Literal["on", "off"]
_Regulation: TypeAlias = Literal["CV", "CC", "XX"]

class _DevStatus(TypedDict):
    current_real: float
    voltage_real: float
    current_set: float
    voltage_max_set: float
    voltage_set: float
    out_status: _OutputMode
    beyond_temp: bool
    out_mode: _Regulation
    fan_speed: int
    work_mode: _WorkMode

class _DeviceVersion(TypedDict):
    model: str
    SN: str
    soft_version: int

class KX5180:
    port: str
    ser: serial.Serial
    def __init__(self, serial_port: str) -> None: ...
    def show_device_version(self) -> _DeviceVersion: ...
    def set_work_mode(self, mode: _WorkMode = "remote") -> bool: ...
    def set_ouput_mode(self, mode: _OutputMode = "off") -> bool: ...
    def set_voltage_max(self, voltage: float) -> bool: ...
    def set_out_voltage(self, voltage: float) -> bool: ...
    def set_out_current(self, current: float) -> bool: ...
    def set_new_addr(self, address: int) -> bool: ...
    def restore_factory(self) -> bool: ...
    def read_dev_status(self) -> _DevStatus | None: ...
    def check_port_available(self) -> bool: ...
    def open(self) -> bool: ...
    def close(self) -> None: ...
