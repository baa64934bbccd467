"""100,000 calls of each method against a fake port: the resident memory
stops growing and no reference to an argument or a result is leaked."""

import gc
import os
import subprocess
import sys
import types

import pytest

import kx5180
from conftest import FakeSerialModule

pytestmark = pytest.mark.slow

CALLS = 100_000
# A driver that kept one small object per call would grow by several MiB
# over 100,000 calls; allocator noise stays well under this.
RSS_BOUND = 2 * 1024 * 1024
SANITIZED = bool(os.environ.get("KX5180_SANITIZED"))

REPLY = bytes([0xAA, 1, 0x31, *b"5180", 0, 0x75, 0x01, *b"076787041"] + [0] * 6)
REPLY = REPLY + bytes([sum(REPLY) & 0xFF])


class QuickPort:
    """Always has exactly one reply waiting, and hands out the same object."""

    def write(self, data):
        return 26

    def inWaiting(self):
        return 26

    def read(self, n):
        return REPLY

    def close(self):
        pass


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.fixture
def rig(monkeypatch):
    monkeypatch.setattr(kx5180, "time", types.SimpleNamespace(sleep=lambda s: None))
    monkeypatch.setattr(kx5180, "print", lambda *a: None, raising=False)
    monkeypatch.setattr(kx5180, "platform", types.SimpleNamespace(system=lambda: "Linux"))
    done = subprocess.CompletedProcess([], 0, b"", b"")
    monkeypatch.setattr(kx5180, "subprocess", types.SimpleNamespace(run=lambda *a, **k: done, PIPE=-1))
    port = QuickPort()
    fake = FakeSerialModule()
    fake.Serial = lambda *a, **k: port
    monkeypatch.setattr(kx5180, "serial", fake)
    obj = kx5180.KX5180("/dev/ttyUSB0")
    obj.ser = port
    return obj


FRAME = [0xAA, 1, 0x26] + [0] * 23
VOLTS = 1.5
MODE = "remote"
CASES = {
    "__init__": lambda o: kx5180.KX5180.__init__(o, "/dev/ttyUSB0"),
    "__check_crc": lambda o: o._KX5180__check_crc(REPLY),
    "__check_crc list": lambda o: o._KX5180__check_crc(FRAME),
    "__cal_crc": lambda o: o._KX5180__cal_crc(FRAME),
    "__read": lambda o: o._KX5180__read(),
    "__write_and_read": lambda o: o._KX5180__write_and_read(FRAME),
    "show_device_version": lambda o: o.show_device_version(),
    "set_work_mode": lambda o: o.set_work_mode(MODE),
    "set_ouput_mode": lambda o: o.set_ouput_mode(mode="on"),
    "set_voltage_max": lambda o: o.set_voltage_max(VOLTS),
    "set_out_voltage": lambda o: o.set_out_voltage(2),
    "set_out_current": lambda o: o.set_out_current(VOLTS),
    "set_new_addr": lambda o: o.set_new_addr(6),
    "restore_factory": lambda o: o.restore_factory(),
    "read_dev_status": lambda o: o.read_dev_status(),
    "__read_device_version": lambda o: o._KX5180__read_device_version(),
    "check_port_available": lambda o: o.check_port_available(),
    "open": lambda o: o.open(),
    "close": lambda o: o.close(),
    "refused argument": lambda o: pytest.raises(ValueError, o.set_out_voltage, -1.0),
    "binding error": lambda o: pytest.raises(TypeError, o.set_work_mode, 1, 2),
}


@pytest.mark.parametrize("name", list(CASES))
def test_no_growth_and_no_leaked_references(rig, name):
    call = CASES[name]
    watched = [REPLY, FRAME, VOLTS, MODE, rig, kx5180.KX5180]
    for _ in range(2000):
        call(rig)
    # Garbage of earlier tests (instances hold their class) may be collected
    # at any moment: collect it on both sides so only this loop is compared.
    gc.collect()
    counts = [sys.getrefcount(x) for x in watched]
    before = rss()
    for _ in range(CALLS):
        call(rig)
    grown = rss() - before
    gc.collect()
    assert [sys.getrefcount(x) for x in watched] == counts
    if SANITIZED:
        return  # the sanitizer's quarantine keeps freed memory resident on purpose
    assert grown < RSS_BOUND, f"{name}: resident memory grew by {grown} bytes"
