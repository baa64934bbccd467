"""The pytest plugin as a user meets it: installed through the pytest11
entry point, its `kx5180_sim` fixture used by a test suite of the user's
own, run by a separate pytest; no simulator process or pseudo-terminal is
left behind, whether the tests passed, failed or were interrupted."""

import importlib.metadata
import json
import os
import subprocess
import sys

import pytest

pytest_plugins = ["pytester"]

simulator = pytest.importorskip("kx5180_lab.simulator")
needs_sim = pytest.mark.skipif(simulator.find_simulator() is None, reason="needs kx5180-sim")

USERS_TESTS = """
import json, os
import pytest
from kx5180_lab import NoAnswerError, Supply

def note(sim):
    with open({record!r}, "a") as f:
        f.write(json.dumps({{"pid": sim.pid, "port": sim.port, "ctime": os.stat(sim.port).st_ctime_ns}}) + "\\n")

def test_my_script_sets_3v3(kx5180_sim):
    sim = kx5180_sim(load_ohms=33.0, baud=0)
    note(sim)
    with Supply(sim.port, max_voltage=5.0) as psu:
        psu.set(voltage=3.3, current=0.2)
        psu.output(True)
        assert psu.status().voltage_v == 3.3
    assert any(" rx AA " in line for line in sim.log())

def test_a_silent_unit(kx5180_sim):
    sim = kx5180_sim(faults=["silent"], baud=0)
    note(sim)
    with pytest.raises(NoAnswerError):
        Supply(sim.port).open()

def test_that_fails_with_two_simulators(kx5180_sim):
    two, other = kx5180_sim(units=2, baud=0), kx5180_sim(seed=3, load_ohms=5.0)
    note(two), note(other)
    with pytest.raises(NoAnswerError):  # a lone Supply speaks to 255: both answer
        Supply(two.port).open()
    two.wait_for("collided")
    assert False, "deliberately"
"""


def alive(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    comm = subprocess.run(["ps", "-o", "comm=", "-p", str(pid)], capture_output=True, text=True).stdout
    return "kx5180-sim" in comm


def left_behind(record):
    """The simulators of the record that still run, or whose pseudo-terminal
    is still there (the same one: a new terminal may take its number)."""
    found = []
    for line in record.read_text().splitlines():
        sim = json.loads(line)
        try:
            same_pty = os.stat(sim["port"]).st_ctime_ns == sim["ctime"]
        except FileNotFoundError:
            same_pty = False
        if alive(sim["pid"]) or (sys.platform == "linux" and same_pty):
            found.append(sim)
    return found


def test_the_plugin_is_registered_through_the_pytest11_entry_point(pytestconfig):
    points = [(e.name, e.value) for e in importlib.metadata.entry_points(group="pytest11")]
    assert ("kx5180", "kx5180_lab.pytest_plugin") in points
    assert pytestconfig.pluginmanager.has_plugin("kx5180")


@needs_sim
@pytest.mark.slow
def test_a_users_suite_passes_and_fails_and_leaves_nothing_behind(pytester, tmp_path):
    record = tmp_path / "started.jsonl"
    pytester.makepyfile(test_users=USERS_TESTS.format(record=str(record)))
    result = pytester.runpytest_subprocess("-p", "no:cacheprovider")
    result.assert_outcomes(passed=2, failed=1)
    # the failing test's report carries the log of each of its simulators
    result.stdout.fnmatch_lines(
        ["*kx5180-sim 1 log, /dev/*", "*collided*", "*kx5180-sim 2 log, /dev/*", "(nothing logged)"]
    )
    assert len(record.read_text().splitlines()) == 4
    assert left_behind(record) == []


@needs_sim
@pytest.mark.parametrize("how", ["KeyboardInterrupt", "error in the user's fixture teardown"])
def test_nothing_is_left_behind_when_the_run_is_cut_short(pytester, tmp_path, how):
    record = tmp_path / "started.jsonl"
    body = {
        "KeyboardInterrupt": "raise KeyboardInterrupt",
        "error in the user's fixture teardown": "pass",
    }[how]
    pytester.makepyfile(
        test_cut=f"""
import json, os, pytest

@pytest.fixture
def breaks_on_teardown():
    yield
    raise RuntimeError("teardown broke")

def test_cut(kx5180_sim, breaks_on_teardown):
    sim = kx5180_sim(units=3, baud=0)
    with open({str(record)!r}, "a") as f:
        f.write(json.dumps({{"pid": sim.pid, "port": sim.port, "ctime": os.stat(sim.port).st_ctime_ns}}) + "\\n")
    {body}
"""
    )
    result = pytester.runpytest_subprocess("-p", "no:cacheprovider")
    assert result.ret != 0
    assert len(record.read_text().splitlines()) == 1
    assert left_behind(record) == []


@pytest.mark.skipif(simulator.find_simulator() is not None, reason="kx5180-sim is installed")
def test_without_the_simulator_a_test_that_asks_for_one_is_skipped(pytester):  # pragma: no cover - Windows
    pytester.makepyfile("def test_x(kx5180_sim):\n    kx5180_sim()\n")
    pytester.runpytest_subprocess().assert_outcomes(skipped=1)
