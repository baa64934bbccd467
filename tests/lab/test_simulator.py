"""kx5180_lab.Simulator: starts kx5180-sim, exposes its port and frame log,
and leaves no process behind."""

import os

import pytest

import kx5180
from kx5180_lab.simulator import Simulator, SimulatorError, find_simulator

pytestmark = pytest.mark.skipif(find_simulator() is None, reason="needs kx5180-sim")


def gone(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return True
    # A zombie still answers kill(0); the simulator is reaped by stop().
    return False


def test_port_log_and_stop():
    with Simulator(baud=0) as sim:
        assert os.path.exists(sim.port)
        pid = sim.pid
        drv = kx5180.KX5180(sim.port)
        assert drv.open() is True
        drv.close()
        lines = sim.wait_for(lambda lines: len(sim.frames("tx")) >= 1)
        assert sim.frames("rx")[0] == "AA FF 31" + " 00" * 22 + " DA"
        assert any(" tx AA 01 31 " in line for line in lines)
    assert sim.returncode == 0 and not sim.running and gone(pid)
    assert sim.stop() == 0  # idempotent


def test_stopped_when_the_block_raises():
    with pytest.raises(ZeroDivisionError):
        with Simulator(baud=0) as sim:
            pid = sim.pid
            raise ZeroDivisionError
    assert gone(pid) and sim.log() == []


@pytest.mark.parametrize(
    "kwargs, args",
    [
        ({}, ["--log", "--baud", "4800", "--load-ohms", "10.0"]),
        ({"baud": 0, "load_ohms": float("inf")}, ["--log", "--baud", "0", "--load-ohms", "inf"]),
        ({"faults": ("silent", "split"), "fault_nth": 3}, ["--fault", "silent,split", "--fault-nth", "3"]),
        ({"faults": "late", "fault_rate": 0.5, "seed": 9}, ["--fault", "late", "--fault-rate", "0.5", "--seed", "9"]),
        ({"units": 3}, ["--units", "3"]),
        ({"units": [1, 5]}, ["--units", "1,5"]),
        ({"extra_args": ["--model", "5181"]}, ["--model", "5181"]),
    ],
)
def test_arguments(kwargs, args):
    built = Simulator(**kwargs).args
    assert all(a in built for a in args)
    assert " ".join(args) in " ".join(built)


def test_a_simulator_that_cannot_start_says_why():
    with pytest.raises(SimulatorError, match="did not start: .*no-such-option"):
        Simulator(extra_args=["--no-such-option"]).start()
    with pytest.raises(SimulatorError, match="cannot start /nonexistent/kx5180-sim"):
        Simulator(executable="/nonexistent/kx5180-sim").start()
