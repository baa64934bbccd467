"""A serial line in virtual time for in-process tests of the toolkit.

`FakeLine` is what `serial.Serial` hands the toolkit: it expects the exact
frames the toolkit should send, in order, and answers each with the reply
frames it was given, each after its own delay; a frame it did not expect
fails at once, saying which and what was expected instead. The driver's and
the port's sleeps move its clock, so a reply 0.8 s late costs no time.
Leaving its `with` block checks that every expected frame came.
"""

import types

import serial

import kx5180
from kx5180_lab.instrument import opening
from kx5180_lab.instrument import port as traced
from kx5180_lab.wire import FRAME, IDENTITY_WORD, RETURN_WORD, STATUS_WORD, SYNC

WORK_MODE, OUTPUT, CEILING, VOLTAGE, CURRENT = 0x20, 0x21, 0x22, 0x23, 0x24
STATUS, IDENTITY = STATUS_WORD, IDENTITY_WORD
# Inside the driver's 0.3 s reply window, as a unit at 4800 baud answers.
PROMPT_S = 0.06


def frame(address, word, data=b""):
    head = bytes([SYNC, address, word, *data]).ljust(FRAME - 1, b"\0")
    return head + bytes([sum(head) & 0xFF])


def request(address, word, value=None):
    """A command frame: a setting's value in volts or amperes (sent in
    milli, 4 bytes little-endian), a mode as its flag byte."""
    if value is None:
        return frame(address, word)
    if isinstance(value, bool):
        return frame(address, word, [int(value)])
    return frame(address, word, round(value * 1000).to_bytes(4, "little"))


def ack(address, word):
    return frame(address, RETURN_WORD, [word, 0x80])


def identity(address=1, model="5180", number="518000001", version=373):
    data = model.encode().ljust(5, b"\0") + version.to_bytes(2, "little") + number.encode()
    return frame(address, IDENTITY_WORD, data)


def status(
    address=1, *, voltage_set=5.0, current_set=1.0, ceiling=30.0, voltage=0.0, current=0.0, on=False, remote=True
):
    def milli(x, n):
        return round(x * 1000).to_bytes(n, "little")

    bits = (0x01 if on else 0) | (0x04 if on else 0) | (0x80 if remote else 0)  # on and CV when on
    data = milli(current, 2) + milli(voltage, 4) + bytes([bits]) + milli(current_set, 2) + milli(ceiling, 4)
    return frame(address, STATUS_WORD, data + milli(voltage_set, 4))


class UnexpectedFrame(AssertionError):
    pass


class FakeLine:
    """A pyserial port in virtual time whose every write must be the next
    expected frame. `sent` holds what was written, `now` is the clock."""

    def __init__(self, monkeypatch, name="/dev/ttyFAKE"):
        self.name = self.port = name
        self.now = 0.0
        self.baudrate = 4800
        self.is_open = True
        self.sent = []
        self.times = []  # when each frame was sent
        self.expected = []
        self.failures = []
        self.due = []
        self.buffer = bytearray()
        self.settings = None
        clock = types.SimpleNamespace(monotonic=lambda: self.now, time=lambda: self.now, sleep=self.sleep)
        monkeypatch.setattr(kx5180, "time", clock)
        monkeypatch.setattr(traced, "time", clock)
        monkeypatch.setattr(opening, "port_holders", lambda port, strict=False: "")
        monkeypatch.setattr(opening, "serial", self.serial_module())
        monkeypatch.setattr(kx5180, "print", lambda *a, **k: None, raising=False)

    # -- the script ---------------------------------------------------------------

    def expect(self, sent, *replies):
        """`sent` is the next frame the toolkit must write; each reply is a
        frame (arriving PROMPT_S later) or (delay_s, frame)."""
        self.expected.append((bytes(sent), [r if isinstance(r, tuple) else (PROMPT_S, r) for r in replies]))
        return self

    def opening(self, address=1):
        """What a Supply sends on opening: the identity request, then computer control."""
        self.expect(request(0xFF, IDENTITY), identity(address))
        return self.expect(request(address, WORK_MODE, True), ack(address, WORK_MODE))

    def closing(self, address=1):
        """What a Supply sends on leaving: output off, then the front panel's control."""
        self.expect(request(address, OUTPUT, False), ack(address, OUTPUT))
        return self.expect(request(address, WORK_MODE, False), ack(address, WORK_MODE))

    def __enter__(self):
        return self

    def __exit__(self, kind, value, tb):
        if kind is None:
            assert not self.failures, self.failures[0]
            assert not self.expected, "never sent: " + ", ".join(f.hex(" ") for f, _ in self.expected)

    def _fail(self, text):
        self.failures.append(UnexpectedFrame(text))
        raise self.failures[-1]

    # -- the port -------------------------------------------------------------------

    def serial_module(self):
        """A `serial` module whose Serial() opens this line."""
        return types.SimpleNamespace(
            Serial=self._open, SerialException=serial.SerialException, PortNotOpenError=serial.PortNotOpenError
        )

    def _open(self, *args, **kwargs):
        self.settings = (args, kwargs)
        return self

    def sleep(self, seconds):
        self.now += seconds

    def write(self, data):
        data = bytes(data)
        self.sent.append(data)
        self.times.append(self.now)
        if not self.expected:
            self._fail(f"frame {len(self.sent)} {data.hex(' ')} sent, where nothing more was expected")
        wanted, replies = self.expected.pop(0)
        if data != wanted:
            self._fail(f"frame {len(self.sent)} {data.hex(' ')} sent, where {wanted.hex(' ')} was expected")
        self.due += [(self.now + delay, reply) for delay, reply in replies]
        return len(data)

    @property
    def in_waiting(self):
        self.due.sort(key=lambda item: item[0])
        while self.due and self.due[0][0] <= self.now + 1e-9:
            self.buffer += self.due.pop(0)[1]
        return len(self.buffer)

    inWaiting = in_waiting.fget

    def read(self, n=1):
        out = bytes(self.buffer[:n])
        del self.buffer[:n]
        return out

    def reset_input_buffer(self):
        self.buffer.clear()

    def close(self):
        self.is_open = False
