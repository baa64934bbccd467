"""Fakes shared by the unit tests: a port that records every call, a clock
that records every sleep, and frame builders; and the simulated supplies of
the end-to-end tests, all started through the plugin's `kx5180_sim`."""

import os
import shutil
import signal
import time
import types

import pytest
import serial

import kx5180
from kx5180_lab.simulator import find_simulator

FRAME = 26
SIM = find_simulator()
needs_sim = pytest.mark.skipif(SIM is None or shutil.which("lsof") is None, reason="needs kx5180-sim and lsof")


def _default_signals():
    for name in ("SIGINT", "SIGTERM", "SIGHUP"):
        signal.signal(getattr(signal, name), signal.SIG_DFL)


# For a child that a test stops by a signal: under nohup SIGHUP arrives
# ignored, and in a background job Ctrl-C too; the child starts with each
# at its default, as from a terminal. (Popen(preexec_fn=DEFAULT_SIGNALS))
DEFAULT_SIGNALS = _default_signals if os.name == "posix" else None


def late_ms():
    """A late reply's delay for this machine as it is now: half again the
    driver's wait for a reply (its polls, as long as they take here), so
    that the reply comes after that wait and before the next call's settle
    ends, however busy the machine."""
    start = time.monotonic()
    for _ in range(30):  # the driver's polls, 10 ms apart
        time.sleep(0.01)
    return round(1500 * (time.monotonic() - start))


@pytest.fixture
def sim(kx5180_sim):
    """A simulated supply that answers at once, with a 10 ohm load."""
    return kx5180_sim(baud=0, load_ohms=10)


@pytest.fixture
def start_sim(kx5180_sim):
    """Starts simulated supplies with kx5180-sim's own options, answering at
    once unless a baud rate is given: start_sim("--units", "3", baud=4800).
    Each must then exit cleanly on SIGTERM."""
    started = []

    def start(*args, baud=0):
        s = kx5180_sim(baud=int(baud), extra_args=args)
        started.append(s)
        return s

    yield start
    assert [s.stop() for s in started] == [0] * len(started)


def opened(s):
    supply = kx5180.KX5180(s.port)
    assert supply.open() is True
    return supply


def frame(values=(), **at):
    """A valid 26-byte reply: `values` from byte 0 on, then `at` as
    b<index>=value, zeros elsewhere, sync byte 0xAA unless given, and the
    checksum byte computed last."""
    data = [0] * FRAME
    data[0] = 0xAA
    for i, v in enumerate(values):
        data[i] = v
    for key, v in at.items():
        data[int(key[1:])] = v
    data[-1] = sum(data[:-1]) & 0xFF
    return bytes(data)


def sent(head, **at):
    """The 26 bytes a command frame should carry."""
    data = list(head) + [0] * (FRAME - len(head))
    for key, v in at.items():
        data[int(key[1:])] = v
    data[-1] = sum(data[:-1]) & 0xFF
    return bytes(data)


class FakePort:
    """Stands in for a pyserial port. `reply` is a function from the written
    bytes to a list of chunks; each poll after a write (an inWaiting call)
    delivers the next chunk into the receive buffer."""

    def __init__(self, reply=None, stale=b""):
        self.calls = []
        self.buffer = bytearray(stale)
        self.pending = []
        self.reply = reply or (lambda written: [])
        self.written = []
        self.closed = False

    def write(self, data):
        self.calls.append(("write", bytes(data)))
        self.written.append(bytes(data))
        self.pending = list(self.reply(bytes(data)))
        return len(data)

    def inWaiting(self):
        if self.written and self.pending:
            self.buffer += self.pending.pop(0)
        self.calls.append(("inWaiting", len(self.buffer)))
        return len(self.buffer)

    def read(self, n):
        self.calls.append(("read", n))
        out = bytes(self.buffer[:n])
        del self.buffer[:n]
        return out

    def close(self):
        self.calls.append(("close",))
        self.closed = True

    def names(self):
        return [c[0] for c in self.calls]


class FakeTime:
    def __init__(self, log=None):
        self.sleeps = []
        self.log = log

    def sleep(self, seconds):
        self.sleeps.append(seconds)
        if self.log is not None:
            self.log.append(("sleep", seconds))


@pytest.fixture
def clock(monkeypatch):
    fake = FakeTime()
    monkeypatch.setattr(kx5180, "time", fake)
    return fake


def answering(reply_bytes):
    """A reply function that answers every command with the same frame."""
    return lambda written: [reply_bytes]


@pytest.fixture
def printed(monkeypatch):
    lines = []
    monkeypatch.setattr(kx5180, "print", lambda *a: lines.append(" ".join(map(str, a))), raising=False)
    return lines


def driver(port, addr=None):
    obj = kx5180.KX5180("/dev/ttyUSB0")
    obj.ser = port
    if addr is not None:
        obj._KX5180__addr = addr
    return obj


class FakeSerialModule(types.SimpleNamespace):
    """A `serial` module whose Serial() hands out the given ports in turn and
    records its arguments."""

    SerialException = serial.SerialException

    def __init__(self, *ports):
        super().__init__()
        self.ports = list(ports)
        self.constructed = []

    def Serial(self, *args, **kwargs):
        self.constructed.append((args, kwargs))
        port = self.ports.pop(0)
        if isinstance(port, BaseException):
            raise port
        return port
