"""One conversation per port, late replies kept out, clean failure paths:
exact call patterns against a fake port and clock, where a fault must be
placed at one poll."""

import gc
import os
import threading
import types
import weakref
from unittest import mock

import pytest
import serial

import kx5180
from conftest import FakePort, FakeSerialModule, FakeTime, driver, frame
from kx5180_lab.instrument.port import TracedPort
from lab import fakeline as fl

REPLY = frame([0xAA, 1, 0x26], b3=0xC8)
HEALTHY = ["inWaiting", "write", "sleep", "inWaiting", "read"]
SETTLE_ALL = ["sleep", "inWaiting"] * 30


class Timeline:
    """A fake port and clock writing into one log, so sleeps and port calls
    interleave as they happened. Replies are scripted per write: a list of
    chunks, one delivered per poll."""

    def __init__(self, monkeypatch, *replies, interrupt_at=None):
        self.port = FakePort(reply=self._reply)
        self.replies = list(replies)
        self.clock = FakeTime(log=self.port.calls)
        self.sleeps = 0
        self.interrupt_at = interrupt_at
        clock = self.clock

        def sleep(seconds):
            clock.sleeps.append(seconds)
            self.port.calls.append(("sleep", seconds))
            self.sleeps += 1
            if self.sleeps == self.interrupt_at:
                raise KeyboardInterrupt

        monkeypatch.setattr(kx5180, "time", types.SimpleNamespace(sleep=sleep))

    def _reply(self, written):
        return self.replies.pop(0) if self.replies else []

    def pattern(self):
        names = self.port.names()
        self.port.calls.clear()
        return names


def status(obj):
    return obj.read_dev_status()


def test_a_healthy_line_costs_nothing_extra(monkeypatch):
    t = Timeline(monkeypatch, [REPLY], [REPLY])
    obj = driver(t.port)
    assert status(obj) is not None
    assert status(obj) is not None
    assert t.pattern() == HEALTHY * 2


@pytest.mark.parametrize(
    "first,settle,stale_read",
    [
        # silent: nothing ever comes, the whole settling budget is spent
        ([], SETTLE_ALL, []),
        # the late reply lands during settling: settling stops there and the
        # discard takes it
        ([b""] * 33 + [REPLY], ["sleep", "inWaiting"] * 4, ["read"]),
        # 27 bytes waiting never match a poll; settling sees them at once
        ([REPLY + b"\x00"], ["sleep", "inWaiting"], ["read"]),
    ],
)
def test_the_call_after_a_reply_that_never_came_settles_first(monkeypatch, first, settle, stale_read):
    t = Timeline(monkeypatch, first, [REPLY])
    obj = driver(t.port)
    assert status(obj) is None
    t.pattern()
    assert status(obj)["current_real"] == 0.2
    assert t.pattern() == settle + ["inWaiting"] + stale_read + HEALTHY[1:]
    assert status(obj) is None  # nothing scripted: silent again, but settled before it
    assert t.pattern()[:2] == ["inWaiting", "write"]


def test_a_refused_reply_leaves_the_line_settled(monkeypatch):
    bad = bytearray(REPLY)
    bad[-1] ^= 1
    t = Timeline(monkeypatch, [bytes(bad)], [REPLY])
    obj = driver(t.port)
    assert status(obj) is None
    t.pattern()
    assert status(obj) is not None
    assert t.pattern() == HEALTHY


@pytest.mark.parametrize("interrupt_at", [1, 2, 15, 30])
def test_an_interrupted_exchange_leaves_the_line_to_be_settled(monkeypatch, interrupt_at):
    t = Timeline(monkeypatch, [], [REPLY], interrupt_at=interrupt_at)
    obj = driver(t.port)
    with pytest.raises(KeyboardInterrupt):
        status(obj)
    assert t.pattern() == ["inWaiting", "write"] + ["sleep", "inWaiting"] * (interrupt_at - 1) + ["sleep"]
    assert status(obj) is not None
    assert t.pattern()[: 2 * 30] == SETTLE_ALL


def test_driver_objects_sharing_a_port_share_its_state(monkeypatch):
    t = Timeline(monkeypatch, [], [REPLY])
    first, second = driver(t.port), driver(t.port)
    assert status(first) is None
    t.pattern()
    assert status(second) is not None
    assert t.pattern()[:60] == SETTLE_ALL
    other = Timeline(monkeypatch, [REPLY])
    assert status(driver(other.port)) is not None
    assert other.pattern() == HEALTHY  # a new port object starts settled


def test_the_state_shows_in_no_namespace_and_dies_with_its_port(clock):
    port = FakePort()
    obj = driver(port)
    before = (set(vars(obj)), set(vars(type(obj))), set(vars(kx5180)), set(vars(port)))
    result = status(obj)  # silent: the port is left unsettled, so its state is kept
    after = (set(vars(obj)), set(vars(type(obj))), set(vars(kx5180)), set(vars(port)))
    gone = weakref.ref(port)
    del obj, port
    gc.collect()
    assert result is None
    assert after == before
    assert gone() is None


def test_a_port_method_calling_back_into_the_driver_does_not_deadlock(monkeypatch, clock):
    port = FakePort(reply=lambda written: [REPLY])
    obj = driver(port)
    inner = []
    original = port.write

    def write(data):
        inner.append(obj._KX5180__read())  # same thread, same port
        return original(data)

    port.write = write
    assert status(obj) is not None
    assert inner == [None]


def test_another_thread_waits_for_the_exchange_in_progress(clock):
    port = FakePort(reply=lambda written: [REPLY])
    obj = driver(port)
    order, results = [], []
    other = threading.Thread(target=lambda: results.append(status(driver(port))))
    original = port.write

    def write(data):
        if not other.is_alive() and not results:  # the first exchange only
            other.start()
            other.join(0.3)  # would be long done, had it been let in
            order.append("first still on the line" if other.is_alive() else "other got in")
        return original(data)

    port.write = write
    assert status(obj) is not None
    other.join(5)
    assert order == ["first still on the line"] and results[0] is not None


class ClosedPort(FakePort):
    is_open = False


@pytest.mark.parametrize("call", [status, lambda obj: obj._KX5180__read(), lambda obj: obj.set_out_voltage(1.0)])
def test_a_closed_port_raises_pyserials_port_not_open_error_untouched(clock, call):
    port = ClosedPort()
    with pytest.raises(serial.PortNotOpenError):
        call(driver(port))
    assert port.calls == []


def test_the_port_not_open_error_is_looked_up_through_the_module(monkeypatch, clock):
    class Mine(Exception):
        pass

    monkeypatch.setattr(kx5180, "serial", types.SimpleNamespace(PortNotOpenError=Mine))
    with pytest.raises(Mine):
        status(driver(ClosedPort()))


# ---- open never leaves a port it created open -----------------------------


class InterruptingPort(FakePort):
    def inWaiting(self):
        raise KeyboardInterrupt


@pytest.fixture
def free_port(monkeypatch):
    monkeypatch.setattr(kx5180.KX5180, "check_port_available", lambda self: True)


def test_ctrl_c_during_the_identity_read_closes_the_port_and_propagates(monkeypatch, clock, free_port, capsys):
    port = InterruptingPort()
    monkeypatch.setattr(kx5180, "serial", FakeSerialModule(port))
    with pytest.raises(KeyboardInterrupt):
        kx5180.KX5180("/dev/ttyUSB0").open()
    assert port.closed
    assert capsys.readouterr().out == ""


class FailingPort(FakePort):
    def inWaiting(self):
        raise serial.SerialException("device reports readiness to read but returned no data")


def test_a_failing_print_in_the_handler_still_leaves_the_port_closed(monkeypatch, clock, free_port):
    port = FailingPort()
    monkeypatch.setattr(kx5180, "serial", FakeSerialModule(port))

    def broken_print(*args):
        raise OSError("stdout is gone")

    monkeypatch.setattr(kx5180, "print", broken_print, raising=False)
    with pytest.raises(OSError, match="stdout is gone"):
        kx5180.KX5180("/dev/ttyUSB0").open()
    assert port.closed


# ---- findings of a differential check against a plain-Python rendition ---


@pytest.mark.parametrize("method,flag", [("set_ouput_mode", 0), ("set_work_mode", 1)])
def test_an_object_equal_to_everything_gets_the_first_documented_word(clock, method, flag):
    port = FakePort(reply=lambda written: [REPLY])
    assert getattr(driver(port), method)(mock.ANY) is True
    assert port.written[0][3] == flag


@pytest.mark.parametrize("value", [1e306, -1e306, 1.7976931348623157e308])
def test_a_finite_setpoint_whose_product_overflows_raises_overflow_error(clock, value):
    port = FakePort()
    with pytest.raises(OverflowError, match="cannot convert float infinity to integer"):
        driver(port).set_out_voltage(value)
    assert port.calls == []


NAME = os.fsdecode(b"/dev/ttyNOPE\xff")


def test_open_on_a_port_name_with_surrogate_escapes_prints_and_returns_false(printed):
    # The text goes to print as it is; whether a terminal can show a lone
    # surrogate is the terminal's business.
    assert kx5180.KX5180(NAME).open() is False
    assert len(printed) == 1
    assert printed[0].startswith("Cannot open serial port") and NAME in printed[0]


def test_platform_text_with_surrogates_takes_the_lsof_route(monkeypatch):
    monkeypatch.setattr(kx5180, "platform", types.SimpleNamespace(system=lambda: os.fsdecode(b"Lin\xffux")))
    assert kx5180.KX5180("/dev/null-not-there").check_port_available() is True


# ---- a line shared by units, through the toolkit's port -------------------


LATE, OTHER = fl.status(1, voltage_set=12.0), fl.status(2, voltage_set=1.0)


@pytest.mark.parametrize(
    "late, windows, reply_after, event",
    [
        # the window waits for unit 1's straggler before unit 2 is asked
        (0.7, (), 0.01, "settle"),
        # two owners of the line: the larger window holds
        (1.6, (0.2, 2.0), 0.01, "settle"),
        # past the window, unit 1's reply lands in unit 2's exchange: no answer
        (1.4, (), 0.2, "foreign"),
    ],
)
def test_a_late_reply_never_answers_another_unit(monkeypatch, late, windows, reply_after, event):
    line = fl.FakeLine(monkeypatch)
    line.expect(fl.request(1, fl.STATUS), (late, LATE)).expect(fl.request(2, fl.STATUS), (reply_after, OTHER))
    port, events = TracedPort(line, "line"), []
    port.subscribers.append(lambda e: events.append((e["event"], bytes.fromhex(e.get("hex", "")))))
    owners = [mock.Mock() for _ in windows]  # a Supply each, as far as the line is concerned
    for owner, seconds in zip(owners, windows):
        port.claim_window(owner, seconds)
    first, second = driver(port, 1), driver(port, 2)
    assert status(first) is None
    assert status(second)["voltage_set"] == 1.0
    assert [data for kind, data in events if kind == event] == [LATE]
    assert line.times[1] >= min(late, 0.3 + max(windows, default=1.0))
