"""Trips, counters, programs and a CC-CV charge: the logic in-process
against a driver that answers scripted readings, then end to end against
kx5180-sim's load schedule."""

import csv
import json
import os
import shutil
import subprocess
import sysconfig

import pytest

from kx5180_lab import LimitError, Supply, TripError
from kx5180_lab.instrument import monitor
from kx5180_lab.instrument.program import read_program
from kx5180_lab.simulator import find_simulator

BASE = {
    "voltage_set": 5.0,
    "current_set": 1.0,
    "voltage_max_set": 30.0,
    "out_status": "on",
    "beyond_temp": 0,
    "out_mode": "CV",
    "fan_speed": 0,
    "work_mode": "remote",
}


class ScriptedDriver:
    """Answers each status request with the next (volts, amperes) of
    `script` (None: no answer), and records every other call."""

    script = []

    def __init__(self, port):
        self.calls, self.readings = [], list(self.script)

    def read_dev_status(self):
        self.calls.append(("status",))
        reading = self.readings.pop(0)
        if reading is None:
            return None
        v, i = reading
        return {**BASE, "voltage_real": v, "current_real": i}

    def __getattr__(self, method):
        return lambda *args: self.calls.append((method, *args)) or True


class Clock:
    def __init__(self):
        self.now = 0.0

    def monotonic(self):
        self.now += 1.0  # one reading a second
        return self.now


@pytest.mark.parametrize(
    "script, trips, tripped_at, message",
    [
        ([(5, 0.1), (5, 0.4), (5, 0.1)], {"trip_current": 0.3}, 2, "current trip: 0.400 A at reading 2"),
        ([(5, 0.3), (5, 0.3)], {"trip_current": 0.3}, None, ""),  # equal is not above
        ([(5, 0.1), (5, 0.5)], {"trip_power": 2}, 2, "power trip: 2.500 W at reading 2"),
        ([(5.2, 0), (5, 0)], {"trip_voltage": 5.1}, 1, "voltage trip: 5.200 V at reading 1"),
        # over from reading 1 on: trips 2 s later at reading 3; a missed reading between neither
        # trips nor clears the stretch
        (
            [(5, 0.4), (5, 0.4), None, (5, 0.4)],
            {"trip_current": 0.3, "trip_delay": 2},
            3,
            "over it for 2.000 s (since reading 1)",
        ),
        ([(5, 0.4), (5, 0.1), (5, 0.4), (5, 0.1)], {"trip_current": 0.3, "trip_delay": 1}, None, ""),
        ([(5, 0.1), None, None, (5, 0.1)], {"trip_current": 0.0, "trip_voltage": 0}, 1, "trip"),
    ],
)
def test_a_trip_switches_off_first_and_then_raises(monkeypatch, script, trips, tripped_at, message):
    monkeypatch.setattr(monitor, "time", Clock())
    monkeypatch.setattr(ScriptedDriver, "script", script)
    with Supply("fake", driver_factory=ScriptedDriver, **trips) as psu:
        for n in range(len(script)):
            try:
                psu.status()
            except TripError as e:
                assert (n + 1 - script[:n].count(None), e.reading) == (tripped_at, tripped_at)
                assert message in str(e) and str(e).endswith("output switched off, front panel in control")
                # the very next exchanges after the tripping reading
                assert psu.driver.calls[-2:] == [("set_ouput_mode", "off"), ("set_work_mode", "local")]
                return
            except Exception:
                assert script[n] is None
        assert tripped_at is None


def test_counters_integrate_the_trapezoid_and_skip_a_missed_reading(monkeypatch):
    monkeypatch.setattr(monitor, "time", Clock())
    # 1 s apart: 2 V at 0.1 A, 0.3 A, missed, 0.5 A, 0.5 A
    monkeypatch.setattr(ScriptedDriver, "script", [(2, 0.1), (2, 0.3), None, (2, 0.5), (2, 0.5)])
    with Supply("fake", driver_factory=ScriptedDriver) as psu:
        for _ in range(5):
            try:
                psu.status()
            except Exception:
                pass
        c = psu.counters()
        # counted: 0.1->0.3 (1 s) and 0.5->0.5 (1 s); nothing across the missed one
        assert c.charge_ah == pytest.approx((0.2 + 0.5) / 3600)
        assert c.energy_wh == pytest.approx(2 * (0.2 + 0.5) / 3600)
        assert c.on_s == pytest.approx(2.0)
        psu.reset_counters()
        assert psu.counters().charge_ah == 0


@pytest.mark.parametrize(
    "text, message",
    [
        ("voltage_v,current_a\n1,1\n", "line 1: the header must name"),
        ("voltage_v,current_a,duration_s,color\n", "unknown: color"),
        ("# a comment\nvoltage_v,current_a,duration_s\n\n1,0.5,1\n1,0.5\n", "line 5: 2 values for 3 columns"),
        ("voltage_v,current_a,duration_s\n1,0.5,nan\n", "line 2: duration_s 'nan' is not a plain decimal"),
        ("voltage_v,current_a,duration_s\n1,0.5,0\n", "line 2: duration_s 0 must be > 0"),
        ("voltage_v,current_a,duration_s\n-1,0.5,1\n", "line 2: voltage_v -1 is negative"),
        ("voltage_v,current_a,duration_s,stop_below_a\n1,0.5,1,0.6\n", "line 2: stop_below_a 0.6 A is above"),
        ("voltage_v,current_a,duration_s\n", "a header but no steps"),
    ],
)
def test_a_malformed_program_names_its_line(tmp_path, text, message):
    path = tmp_path / "p.csv"
    path.write_text(text)
    with pytest.raises(LimitError, match=message):
        read_program(str(path))


@pytest.mark.parametrize(
    "step, options, message",
    [
        ({"voltage_v": 6, "current_a": 0.1, "duration_s": 1}, {"max_voltage": 5}, "step 2: voltage 6 V is above"),
        (
            {"voltage_v": 4, "current_a": 0.1, "duration_s": 1},
            {"trip_voltage": 3.5},
            "step 2: its voltage 4 V is above",
        ),
    ],
)
def test_a_program_is_checked_whole_before_anything_is_sent(step, options, message):
    with Supply("fake", driver_factory=ScriptedDriver, **options) as psu:
        psu.driver.calls.clear()
        with pytest.raises(LimitError, match=message):
            psu.run([{"voltage_v": 1, "current_a": 0.1, "duration_s": 1}, step])
        assert psu.driver.calls == []


@pytest.mark.parametrize(
    "script, step",
    [
        # the ceiling's reading, step 1's set and its one reading, then the reading step 2's set
        # takes before its first frame: the unit still holds step 1
        ([(5, 0.1), (5, 0.1), (5, 0.1), (5, 0.9)], 1),
        ([(5, 0.1), (5, 0.1), (5, 0.1), (5, 0.1), (5, 0.9)], 2),  # step 2's own reading
    ],
)
def test_a_trip_in_a_program_names_the_step_the_unit_held(monkeypatch, script, step):
    from kx5180_lab.instrument import program

    monkeypatch.setattr(monitor, "time", Clock())
    monkeypatch.setattr(program, "time", Clock())
    monkeypatch.setattr(ScriptedDriver, "script", script)
    # the scripted unit reads back 5 V and 1 A, step 1's setpoints
    steps = [{"voltage_v": 5, "current_a": 1, "duration_s": 0.5}, {"voltage_v": 6, "current_a": 1, "duration_s": 0.5}]
    with Supply("fake", driver_factory=ScriptedDriver, trip_current=0.5) as psu:
        with pytest.raises(TripError) as e:
            psu.run(steps)
    assert e.value.step == step


# -- end to end ------------------------------------------------------------------

SCRIPTS = sysconfig.get_path("scripts")
KX = os.path.join(SCRIPTS, "kx5180") if os.path.exists(os.path.join(SCRIPTS, "kx5180")) else shutil.which("kx5180")
needs_sim = pytest.mark.skipif(KX is None or find_simulator() is None, reason="needs kx5180 and kx5180-sim")


def kx(*args):
    return subprocess.run([KX, *map(str, args)], capture_output=True, text=True, timeout=60)


def state(port):
    return json.loads(kx("status", port, "--json").stdout)


PROGRAM = "voltage_v,current_a,duration_s\n1,0.5,0.4\n2,0.5,0.4\n3,0.5,0.4\n"


@needs_sim
@pytest.mark.parametrize(
    "case, sim_args, command, code, says",
    [
        # the load drops from 10 to 1 ohm during the program: 1 A or more wanted, 0.5 A given
        ("trip", ["--load-schedule", "0.9:1"], ["run", "{p}", "--trip-current", "0.45"], 3, "current trip: 0.500 A"),
        ("program", [], ["run", "{p}"], 0, "program done: 3 steps x 1"),
        # CC at 0.2 A into 10 ohm, then the load opens: CV at 0 A
        (
            "charge",
            ["--load-schedule", "0.6:inf"],
            ["charge", "--voltage", "4.2", "--current", "0.2", "--cutoff", "0.05"],
            0,
            "charge ended: the current stayed below the cut-off",
        ),
        # identity, remote, the ceiling, the set's reading, current, voltage, output on, then
        # the step's 2nd reading is lost (and the next waits out its late reply)
        ("missed", ["--fault", "silent", "--fault-nth", "9"], ["run", "{p}", "--trip-current", "0.2"], 1, "missed"),
    ],
)
def test_unattended_commands_against_the_load_schedule(kx5180_sim, tmp_path, case, sim_args, command, code, says):
    program, log = tmp_path / "p.csv", tmp_path / "run.csv"
    program.write_text(PROGRAM if case != "missed" else "voltage_v,current_a,duration_s\n1,0.5,0.5\n")
    sim = kx5180_sim(baud=0, load_ohms=10, extra_args=sim_args)
    args = [a.replace("{p}", str(program)) for a in command]
    r = kx(args[0], sim.port, *args[1:], "--interval", "0.1", "--csv", log)
    assert r.returncode == code and says in r.stdout + r.stderr, (r.stdout, r.stderr)
    assert "Traceback" not in r.stderr
    st = state(sim.port)
    assert (st["output_on"], st["remote"]) == (False, False)
    with open(log, newline="") as f:
        rows = list(csv.DictReader(f))
    charges = [float(row["charge_ah"]) for row in rows]
    assert charges == sorted(charges)
    if case in ("program", "trip"):
        words = [f.split() for f in sim.frames("rx")]
        setpoints = [int("".join(reversed(w[3:7])), 16) for w in words if w[2] == "23"]
        assert setpoints == [1000, 2000, 3000][: len(setpoints)]  # each step's voltage, in order
        assert charges[-1] > 0
    if case == "program":
        assert len(setpoints) == 3 and len(set(charges)) > 3  # every step, and the counters rising
    if case == "trip":
        assert rows[-1]["current_a"] == "0.5" and rows[-1]["step"] == str(len(setpoints))
    if case == "missed":
        # no trip, and nothing counted across the lost reading: the one before and the
        # one after are each alone
        assert "(1 readings missed)" in r.stdout and "output on for 0.0 s" in r.stdout
