"""kx5180-sim's own behaviour, end to end: raw frames through real pyserial on
its pseudo-terminal, and the installed driver where a driver is needed."""

import os
import signal
import subprocess
import time

import pytest
import serial

import kx5180
from conftest import SIM, needs_sim

STATUS, IDENTITY, DONE = 0x26, 0x31, 0x12
SET_OUT_VOLTAGE = 0x23
pytestmark = needs_sim


def frame(address, word, data=()):
    body = [0xAA, address, word, *data] + [0] * (22 - len(data))
    return bytes(body + [sum(body) & 0xFF])


def valid(reply):
    return len(reply) == 26 and reply[0] == 0xAA and sum(reply[:25]) & 0xFF == reply[25]


def whole_log(s):
    """Stops the simulator (it must exit cleanly) and returns all it logged."""
    assert s.stop() == 0
    return "\n".join(s.log())


@pytest.fixture
def port(start_sim):
    opened = []

    def open_port(*args, **kwargs):
        s = start_sim(*args, **kwargs)
        p = serial.Serial(s.port, 4800, timeout=0.3)
        opened.append(p)
        return s, p

    yield open_port
    for p in opened:
        p.close()


@pytest.mark.parametrize("cancels", [False, True])
def test_a_late_reply_is_sent_even_when_a_new_command_arrives(port, cancels):
    s, p = port("--fault", "late", "--fault-nth", "1", "--late-ms", "400", *(["--late-cancels"] if cancels else []))
    p.write(frame(1, STATUS))
    time.sleep(0.1)
    p.write(frame(1, IDENTITY))
    time.sleep(0.5)  # past the late reply's 0.4 s
    replies = p.read(52)
    words = [replies[i + 2] for i in range(0, len(replies), 26)]
    if cancels:
        assert words == [IDENTITY] and "late reply cancelled by a new command" in whole_log(s)
    else:
        assert words == [STATUS, IDENTITY] and all(valid(replies[i : i + 26]) for i in (0, 26))
        assert "cancelled" not in whole_log(s)


@pytest.mark.parametrize(
    "selector,ignored_reply,expected_volts",
    [
        (["--fault-nth", "3"], 3, 2.5),
        (["--fault-every", "3"], 3, 2.5),
        (["--fault-rate", "1"], 2, 5.0),  # every reply: the first setting is lost too, leaving the factory 5 V
    ],
)
def test_ignore_acknowledges_a_setting_but_does_not_apply_it(start_sim, selector, ignored_reply, expected_volts):
    # Reply 1 answers open's identity read, 2 and 3 the two settings, 4 the status read.
    s = start_sim("--fault", "ignore", *selector)
    supply = kx5180.KX5180(s.port)
    assert supply.open() is True
    assert supply.set_out_voltage(2.5) is True
    assert supply.set_out_voltage(7.0) is True
    assert supply.read_dev_status()["voltage_set"] == expected_volts
    supply.close()
    assert f"fault: ignore on reply {ignored_reply}, acknowledged but not applied" in whole_log(s)


@pytest.mark.parametrize(
    "schedule,states",
    [
        # the reading (A, V, mode) after each number of changes
        ("0.8:5", [(0.5, 5.0, "CV"), (1.0, 5.0, "CV")]),
        ("0.8:inf", [(0.5, 5.0, "CV"), (0.0, 5.0, "CV")]),
        ("0.8:0", [(0.5, 5.0, "CV"), (2.0, 0.0, "CC")]),
        ("0.3:2,0.8:1", [(0.5, 5.0, "CV"), (2.0, 4.0, "CC"), (2.0, 2.0, "CC")]),
    ],
)
def test_a_load_schedule_shows_in_the_status(start_sim, schedule, states):
    s = start_sim("--load-ohms", "10", "--load-schedule", schedule)
    supply = kx5180.KX5180(s.port)
    assert supply.open() is True
    assert supply.set_out_current(2.0) and supply.set_out_voltage(5.0) and supply.set_ouput_mode("on")
    asked = 0

    def changes(lines):
        return sum("-- load now" in line for line in lines)

    def reading():
        # The simulator takes a change due before a request first, and logs
        # both in that order: what a reading shows follows from the log,
        # however long anything took.
        nonlocal asked
        status = supply.read_dev_status()
        asked += 1
        lines = s.wait_for(lambda lines: sum(" rx AA 01 26" in line for line in lines) >= asked)
        request = [i for i, line in enumerate(lines) if " rx AA 01 26" in line][asked - 1]
        return changes(lines[:request]), (status["current_real"], status["voltage_real"], status["out_mode"])

    passed, got = reading()
    assert got == states[passed]
    while passed < len(states) - 1:
        s.wait_for(lambda lines, passed=passed: changes(lines) > passed, timeout=30)
        passed, got = reading()
        assert got == states[passed]
    supply.close()
    last = schedule.split(",")[-1]
    t, r = last.split(":")
    assert f"-- load now {r} ohms (scheduled at {t} s)" in whole_log(s)


@pytest.mark.parametrize(
    "args,message",
    [
        (["--load-schedule", "1:5,0.5:3"], "bad value '1:5,0.5:3' for --load-schedule"),
        (["--load-schedule", "1:-2"], "bad value '1:-2' for --load-schedule"),
        (["--load-schedule", "1"], "bad value '1' for --load-schedule"),
        (["--load-schedule", "-1:5"], "bad value '-1:5' for --load-schedule"),
        (["--fault", "ignore,gremlins"], "bad value 'ignore,gremlins' for --fault"),
        (["--seed", "9223372036854775808"], "bad value '9223372036854775808' for --seed"),
        # Nothing but the number: no unit, no blank, no other base.
        (["--load-ohms", "5x"], "bad value '5x' for --load-ohms"),
        (["--load-ohms", " 5"], "bad value ' 5' for --load-ohms"),
        (["--load-ohms", "0x10"], "bad value '0x10' for --load-ohms"),
        (["--late-ms=400ms"], "bad value '400ms' for --late-ms"),
        (["--baud", "4800 "], "bad value '4800 ' for --baud"),
        (["--load-schedule", "1:5x"], "bad value '1:5x' for --load-schedule"),
    ],
)
def test_bad_options_give_one_line_and_fail(args, message):
    result = subprocess.run([SIM, *args], capture_output=True, text=True, timeout=5)
    assert result.returncode == 2 and result.stdout == ""
    assert result.stderr.count("\n") == 1 and message in result.stderr


def exchange(p, address, word, data=(), size=26):
    p.reset_input_buffer()
    p.write(frame(address, word, data))
    return p.read(size)


@pytest.mark.parametrize(
    "args,present,absent",
    [
        (["--units", "3"], [1, 2, 3], [0, 4]),
        (["--units", "1,5,7"], [1, 5, 7], [2, 6]),
        (["--units", "3", "--address", "10"], [10, 11, 12], [1, 9, 13]),
        (["--address", "0"], [0], [1]),
    ],
)
def test_each_unit_answers_its_own_address_and_no_other(port, args, present, absent):
    s, p = port(*args)
    for address in present:
        reply = exchange(p, address, STATUS)
        assert valid(reply) and reply[1] == address and reply[2] == STATUS
    for address in absent:
        assert exchange(p, address, STATUS) == b""
    # A new address is kept for a power-up that never comes: the unit goes on answering at its own.
    assert exchange(p, present[-1], 0x25, [99])[2:5] == bytes([DONE, 0x25, 0x80])
    assert exchange(p, 99, STATUS) == b""
    assert valid(exchange(p, present[-1], STATUS))
    log = whole_log(s)
    assert log.count("addressed to another unit: no reply") == len(absent) + 1
    assert all(f"(unit {a})" in log for a in present)


def test_every_unit_has_its_own_identity_and_state(start_sim):
    s = start_sim("--units", "2,4,6", "--number", "076787041", "--load-ohms", "inf")
    shared = serial.Serial(s.port, 4800, timeout=0.5)
    units = []
    for address in (2, 4, 6):
        unit = kx5180.KX5180(s.port)
        unit.ser = shared
        unit._KX5180__addr = address
        units.append(unit)
    try:
        for k, unit in enumerate(units):
            unit._KX5180__read_device_version()
            assert unit.show_device_version() == {"model": "5180", "SN": f"076787{41 + k:03d}", "soft_version": 373}
            assert unit.set_out_voltage(1.0 + k) and unit.set_ouput_mode("on" if k != 1 else "off")
        readings = [unit.read_dev_status() for unit in units]
        assert [(r["voltage_set"], r["voltage_real"], r["out_status"]) for r in readings] == [
            (1.0, 1.0, "on"),
            (2.0, 0.0, "off"),
            (3.0, 3.0, "on"),
        ]
    finally:
        shared.close()


def windows_valid(data):
    return [i for i in range(len(data) - 25) if valid(data[i : i + 26])]


@pytest.mark.parametrize("units", ["2", "3", "1,5,7,9"])
@pytest.mark.parametrize("word,data", [(STATUS, ()), (IDENTITY, ()), (SET_OUT_VOLTAGE, (0xC6, 0x04))])
def test_a_broadcast_to_several_units_garbles_the_line(port, units, word, data):
    s, p = port("--units", units)
    count = len(units.split(",")) if "," in units else int(units)
    reply = exchange(p, 255, word, data, size=64)
    assert len(reply) == 25 + count and windows_valid(reply) == []
    if word == SET_OUT_VOLTAGE:  # every unit acted on it all the same
        for address in [1, 2, 3][:count] if "," not in units else [1, 5, 7, 9]:
            assert exchange(p, address, STATUS)[16:18] == bytes([0xC6, 0x04])
    assert f"broadcast answered by {count} units at once: the replies collide" in whole_log(s)
    assert " at once: collided)" in whole_log(s)


@pytest.mark.parametrize("args,opens", [([], True), (["--units", "1"], True), (["--units", "2"], False)])
@pytest.mark.parametrize("baud", ["0", "4800"])
def test_the_driver_sees_a_broadcast_answered_by_several_units_as_no_answer(start_sim, args, opens, baud):
    s = start_sim(*args, baud=baud)
    supply = kx5180.KX5180(s.port)  # a fresh object asks 255 who is there
    assert supply.open() is opens
    if opens:
        assert supply.read_dev_status() is not None
    supply.close()


@pytest.mark.parametrize(
    "args,message",
    [
        (["--units", "3", "--address", "253"], "--units 3 from address 253 runs past address 254"),
        (["--units", "1,5", "--address", "3"], "give --address or a list of addresses in --units, not both"),
        (["--units", "2", "--number", "5180000AB"], "several units need a --number whose last three characters"),
        (["--units", "1,1"], "bad value '1,1' for --units"),
        (["--units", "0"], "bad value '0' for --units"),
        (["--units", "256"], "bad value '256' for --units"),
        (["--units", "1,255"], "bad value '1,255' for --units"),
    ],
)
def test_bad_unit_options_give_one_line_and_fail(args, message):
    result = subprocess.run([SIM, *args], capture_output=True, text=True, timeout=5)
    assert result.returncode == 2 and result.stdout == ""
    assert result.stderr.count("\n") == 1 and message in result.stderr


@pytest.mark.parametrize(
    "nth,last,note",
    [
        ("2", True, None),  # reply 2 is the collision: counted, never faulted
        ("3", False, "fault: silent on reply 3 (unit 2)"),
    ],
)
def test_replies_are_counted_on_the_whole_line(port, nth, last, note):
    s, p = port("--units", "2", "--fault", "silent", "--fault-nth", nth)
    assert valid(exchange(p, 1, STATUS))
    assert windows_valid(exchange(p, 255, STATUS, size=64)) == []
    assert valid(exchange(p, 2, STATUS)) is last
    assert ("fault:" in whole_log(s)) is (note is not None)
    if note:
        assert note in whole_log(s)


def test_schedule_on_open_counts_from_each_opening_of_the_line(start_sim):
    s = start_sim("--load-ohms", "10", "--load-schedule", "0.2:5", "--schedule-on-open")
    for n in (1, 2):
        supply = kx5180.KX5180(s.port)
        assert supply.open() is True
        s.wait_for(lambda lines, n=n: sum("load now 5 ohms" in line for line in lines) == n)
        supply.close()
        s.wait_for(lambda lines, n=n: sum("line closed" in line for line in lines) == n)
    stamps = [(float(line[1 : line.index("]")]), line) for line in s.log() if "-- l" in line]
    opened = [t for t, line in stamps if "line opened: the load schedule starts, load 10 ohms" in line]
    changed = [t for t, line in stamps if "load now 5 ohms (scheduled at 0.2 s)" in line]
    # Each change comes 0.2 s after its own opening, not after the start.
    assert len(opened) == len(changed) == 2 and all(c >= o + 0.2 for o, c in zip(opened, changed, strict=True))


def test_schedule_on_open_needs_a_schedule():
    result = subprocess.run([SIM, "--schedule-on-open"], capture_output=True, text=True, timeout=5)
    assert result.returncode == 2 and result.stderr == "kx5180-sim: --schedule-on-open needs --load-schedule\n"


def test_a_stalled_simulator_sends_the_bytes_it_owes_at_once(port):
    # At 300 baud a byte takes 33 ms: stopped for ten of them, the simulator
    # owes them all when it resumes, as a real UART would have sent them
    # meanwhile, in one write.
    s, p = port(baud="300")
    p.timeout = 5
    p.write(frame(1, STATUS))
    first = p.read(1)
    os.kill(s.pid, signal.SIGSTOP)
    try:
        time.sleep(0.33)
    finally:
        os.kill(s.pid, signal.SIGCONT)
    first += p.read(1)
    owed = p.in_waiting
    reply = first + p.read(26 - len(first))
    assert owed >= 8 and valid(reply)
