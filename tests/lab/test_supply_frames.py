"""Supply's logic in-process, frame by frame, against a line that expects
exact frames (fakeline.py): what is sent and in what order, what a limit
keeps from being sent, which replies are taken, and the driver's own port
opened through the toolkit's hooks."""

import math
import types

import pytest

import kx5180
from fakeline import (
    CEILING,
    CURRENT,
    IDENTITY,
    OUTPUT,
    STATUS,
    VOLTAGE,
    WORK_MODE,
    FakeLine,
    ack,
    identity,
    request,
    status,
)
from kx5180_lab import LimitError, NoAnswerError, Supply, WrongReplyError
from kx5180_lab.instrument.port import TracedPort
from kx5180_lab.trace import subscribe, unsubscribe


@pytest.fixture
def events():
    seen = []
    subscribe(seen.append)
    yield seen
    unsubscribe(seen.append)


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda p: p.set(voltage=33), "voltage 33 V is above the limit max_voltage=5.000 V"),
        (lambda p: p.set(current=1.5), "current 1.5 A is above the limit max_current=1.000 A"),
        (lambda p: p.set(ceiling=5.001), "ceiling 5.001 V is above the limit max_voltage"),
        (lambda p: p.set(voltage=3, current=2), "current 2 A is above"),  # nothing at all, not the voltage either
        (lambda p: p.set(voltage=-0.1), "negative"),
        (lambda p: p.set(voltage=math.nan), "not a finite number"),
        (lambda p: p.set(current=math.inf), "not a finite number"),
        (lambda p: p.set(voltage="3.3"), "must be a number"),
        (lambda p: p.set(voltage=True), "must be a number"),
        (lambda p: p.ramp(5.5, 0.1, 1), "voltage 5.5 V is above"),
        (lambda p: p.ramp(3, 0, 1), "ramp step must be a number > 0"),
        (lambda p: p.ramp(3, 0.1, -1), "ramp rate must be a number > 0"),
    ],
)
def test_limits_are_refused_before_anything_is_sent(monkeypatch, call, message):
    with FakeLine(monkeypatch) as line:
        line.opening().closing()  # and nothing between
        with Supply(line.name, max_voltage=5, max_current=1) as psu:
            with pytest.raises(LimitError, match=message) as refused:
                call(psu)
            assert "nothing was sent" in str(refused.value)


def test_a_ramp_from_above_the_limit_is_refused_before_any_step(monkeypatch):
    with FakeLine(monkeypatch) as line:
        line.opening().expect(request(1, STATUS), status(voltage_set=12.0)).closing()
        with Supply(line.name, max_voltage=5) as psu:
            with pytest.raises(LimitError, match="reads back 12.000 V, above the limit max_voltage=5.000 V"):
                psu.ramp(2, 0.5, 100)


@pytest.mark.parametrize(
    "settings, order",
    [
        ({"voltage": 3, "current": 2}, [(VOLTAGE, 3.0), (CURRENT, 2.0)]),
        ({"voltage": 8, "current": 0.5}, [(CURRENT, 0.5), (VOLTAGE, 8.0)]),
        ({"ceiling": 31, "voltage": 4, "current": 0.9}, [(CURRENT, 0.9), (VOLTAGE, 4.0), (CEILING, 31.0)]),
    ],
)
def test_set_sends_the_reductions_before_the_increases(monkeypatch, settings, order):
    # From 5 V, 1 A and a 30 V ceiling.
    with FakeLine(monkeypatch) as line:
        line.opening().expect(request(1, STATUS), status(voltage_set=5.0, current_set=1.0, ceiling=30.0))
        for word, value in order:
            line.expect(request(1, word, value), ack(1, word))
        line.expect(request(1, OUTPUT, True), ack(1, OUTPUT)).closing()
        with Supply(line.name) as psu:
            psu.set(**settings)
            psu.output(True)


# A reading of unit 1 arriving late (its setpoint 12 V) and one of unit 2
# (7 V), against unit 1's own fresh reply (1 V).
LATE, OTHER, FRESH = status(1, voltage_set=12.0), status(2, voltage_set=7.0), status(1, voltage_set=1.0)


@pytest.mark.parametrize(
    "first, settled",
    [
        # 0.8 s late: past the driver's own 0.6 s; the line's window drops it.
        ([(0.8, LATE)], [LATE]),
        # Another unit's frame first: the settle waits on for the one owed.
        ([(0.7, OTHER), (0.9, LATE)], [OTHER, LATE]),
    ],
    ids=["straggler", "another unit's, then the straggler"],
)
def test_a_late_reply_is_dropped_before_the_next_command(monkeypatch, events, first, settled):
    with FakeLine(monkeypatch) as line:
        line.expect(request(0xFF, 0x31), identity()).expect(request(1, STATUS), *first)
        line.expect(request(1, STATUS), FRESH)
        with Supply(line.name, remote=False, keep_on_exit=True) as psu:
            with pytest.raises(NoAnswerError):
                psu.status()
            assert psu.status().voltage_set_v == 1.0
    settle = [e for e in events if e["event"] == "settle"]
    assert len(settle) == 1 and bytes.fromhex(settle[0]["hex"]) == b"".join(settled)
    # Sent once the last frame owed came, not at the end of the 1 s window
    # after the first one's 0.3 s.
    waited = line.times[2] - line.times[1]
    assert max(delay for delay, _ in first) <= waited < 0.3 + 1.0


@pytest.mark.parametrize(
    "before, foreign",
    [(OTHER, [OTHER]), (b"\x61", [])],
    ids=["another unit's reply", "a garbled reply's last byte"],
)
def test_what_comes_ahead_of_the_reply_is_no_answer(monkeypatch, events, before, foreign):
    with FakeLine(monkeypatch) as line:
        line.expect(request(0xFF, 0x31), identity()).expect(request(1, STATUS), before, (0.1, FRESH))
        with Supply(line.name, remote=False, keep_on_exit=True) as psu:
            assert psu.status().voltage_set_v == 1.0
    assert [bytes.fromhex(e["hex"]) for e in events if e["event"] == "foreign"] == foreign


@pytest.mark.parametrize("strict", [False, True])
def test_strict_replies_never_take_an_acknowledgement_for_a_status(monkeypatch, strict):
    # A setting's late acknowledgement where the status should be.
    with FakeLine(monkeypatch) as line:
        line.expect(request(0xFF, 0x31), identity()).expect(request(1, STATUS), ack(1, VOLTAGE))
        with Supply(line.name, strict_replies=strict, remote=False, keep_on_exit=True) as psu:
            if strict:
                with pytest.raises(
                    WrongReplyError, match="command word 0x12 .a setting's acknowledgement., expected 0x26"
                ):
                    psu.status()
            else:
                assert psu.status().voltage_set_v != 5.0  # what strictness is for


class OwnPortDriver:
    """A driver that opens its port itself, as a plain KX5180 does."""

    def __init__(self, name):
        self._driver = kx5180.KX5180(name)

    def __getattr__(self, name):
        return getattr(self._driver, name)


def test_a_port_the_driver_opens_itself_is_traced(monkeypatch, events):
    with FakeLine(monkeypatch) as line:
        line.opening().expect(request(1, STATUS), status()).closing()
        real = line.serial_module()
        monkeypatch.setattr(kx5180, "serial", real)
        monkeypatch.setattr(kx5180.KX5180, "check_port_available", lambda self: True)
        with Supply(line.name, driver_factory=OwnPortDriver) as psu:
            assert isinstance(psu.driver.ser, TracedPort) and psu.driver.ser.wrapped is line
            psu.status()
        assert kx5180.serial is real  # the driver's module put back as it was
    assert [bytes.fromhex(e["hex"]) for e in events if e["event"] == "tx"] == line.sent


@pytest.mark.parametrize(
    "second, busy, passed, said",
    [
        ([(0.5, status())], "", False, "1 late by 2"),  # the unit, on an idle host
        ([(0.5, status())], "load 9 on 2 cores", True, "(the host was busy: load 9 on 2 cores;"),
        ([], "load 9 on 2 cores", False, "1 never answered"),
    ],
    ids=["late", "late on a busy host", "silent"],
)
def test_the_selftest_tells_a_late_reply_from_none(monkeypatch, second, busy, passed, said):
    from kx5180_lab.hardware import selftest

    monkeypatch.setattr(selftest, "host_busy", lambda: busy)
    with FakeLine(monkeypatch) as line:
        line.expect(request(0xFF, 0x31), identity())
        line.expect(request(1, STATUS), status()).expect(request(1, STATUS), *second)
        line.expect(request(1, STATUS), status())
        with Supply(line.name, remote=False, keep_on_exit=True) as psu:
            test = selftest.SelfTest(psu, types.SimpleNamespace(reads=3), say=lambda text: None)
            test._reply_times()
    (check,) = test.checks
    assert check["passed"] is passed and said in check["detail"], check["detail"]
    assert test.report["reply_time"]["late"] == len(second)
    assert set(selftest.host()) == {"platform", "python", "pyserial", "cpus", "load_average"}


BACK = identity()
ON_REMOTE, ON_LOCAL = status(on=True, voltage=5.0), status(on=True, voltage=5.0, remote=False)
OFF_LOCAL = status(remote=False)


@pytest.mark.parametrize(
    "answers, then, back",
    [
        # Power-cycled: left exactly as it reports itself, nothing sent.
        (BACK, [(request(1, STATUS), OFF_LOCAL)], "off"),
        # The adapter pulled, the unit kept running under control: switched off.
        (BACK, [(request(1, STATUS), ON_REMOTE), (request(1, OUTPUT, False), ack(1, OUTPUT))], "off"),
        # Running from its front panel: control only for the switching off, then handed back.
        (
            BACK,
            [
                (request(1, STATUS), ON_LOCAL),
                (request(1, WORK_MODE, True), ack(1, WORK_MODE)),
                (request(1, OUTPUT, False), ack(1, OUTPUT)),
                (request(1, WORK_MODE, False), ack(1, WORK_MODE)),
            ],
            "off",
        ),
        # Another unit on the path: refused after its identity, nothing else sent.
        (identity(number="518000777"), [], "refused"),
    ],
    ids=["power-cycled", "on-under-control", "on-from-the-panel", "another-unit"],
)
def test_a_unit_taken_back_is_left_off_and_never_switched_on(monkeypatch, answers, then, back):
    from kx5180_lab.instrument.returning import Refused, take_back

    with FakeLine(monkeypatch) as line:
        line.expect(request(0xFF, IDENTITY), answers)
        for sent, reply in then:
            line.expect(sent, reply)
        if then and then[0][1] is not OFF_LOCAL:
            line.expect(request(1, STATUS), OFF_LOCAL if then[0][1] is ON_LOCAL else status())
        psu = Supply(line.name, remote=False, keep_on_exit=True)
        was = types.SimpleNamespace(model="5180", serial_number="518000001")
        outcome = take_back(psu, was)
        if back == "refused":
            assert isinstance(outcome, Refused) and "518000777" in str(outcome) and not psu.is_open
        else:
            assert not outcome.output_on and psu.is_open
            psu.close()
