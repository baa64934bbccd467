"""Threads sharing one driver object, interrupts in the middle of an
exchange and calls on a closed port, against kx5180-sim at 4800 baud on a
real pseudo-terminal."""

import json
import random
import signal
import subprocess
import sys
import textwrap
import threading
import time
import types

import pytest
import serial

import kx5180
from conftest import DEFAULT_SIGNALS, needs_sim, opened

pytestmark = needs_sim

VOLTS = [1.0, 1.5, 2.0, 2.5, 3.0]
AMPS = [0.1, 0.2, 0.3]


def quiet(monkeypatch):
    monkeypatch.setattr(kx5180, "print", lambda *a: None, raising=False)


@pytest.mark.slow
@pytest.mark.parametrize("threads,calls", [(2, 25), (8, 6)])
def test_threads_sharing_one_object_all_succeed_and_read_true_values(start_sim, monkeypatch, threads, calls):
    quiet(monkeypatch)
    supply = opened(start_sim("--load-ohms", "inf", baud="4800"))
    sent_v, sent_a = {5.0}, {1.0}  # the power-up setpoints
    failures, statuses, errors = [], [], []

    def work(seed):
        rng = random.Random(seed)
        try:
            for _ in range(calls):
                pick = rng.randrange(4)
                if pick == 0:
                    v = rng.choice(VOLTS)
                    sent_v.add(v)
                    ok = supply.set_out_voltage(v)
                elif pick == 1:
                    a = rng.choice(AMPS)
                    sent_a.add(a)
                    ok = supply.set_out_current(a)
                elif pick == 2:
                    ok = supply.set_work_mode(rng.choice(["remote", "local"]))
                else:
                    status = supply.read_dev_status()
                    ok = status is not None
                    statuses.append(status)
                if not ok:
                    failures.append(pick)
        except Exception as e:  # pragma: no cover - reported below
            errors.append(e)

    workers = [threading.Thread(target=work, args=(i,)) for i in range(threads)]
    for w in workers:
        w.start()
    for w in workers:
        w.join()
    supply.close()
    assert errors == [] and failures == []
    for status in filter(None, statuses):
        assert status["voltage_set"] in sent_v and status["current_set"] in sent_a
        assert status["voltage_max_set"] == 30.0


def test_a_late_reply_is_not_taken_as_the_next_status(start_sim):
    s = start_sim("--fault-nth", "3", "--fault", "late", "--late-ms", "2000", "--load-ohms", "inf", baud="4800")
    supply = opened(s)
    assert supply.set_ouput_mode("on") is True  # reply 2
    assert supply.set_voltage_max(12.0) is False  # reply 3 comes well after the wait
    s.wait_for(lambda lines: sum("] tx " in line for line in lines) == 3)
    status = supply.read_dev_status()
    assert status is not None
    assert (status["out_status"], status["voltage_max_set"], status["voltage_set"]) == ("on", 12.0, 5.0)
    supply.close()


CHILD = textwrap.dedent("""
    import json, sys, kx5180
    supply = kx5180.KX5180(sys.argv[1])
    assert supply.open()
    supply.set_ouput_mode("on")
    supply.set_out_voltage(1.0)
    print("go", flush=True)
    try:
        supply.set_out_voltage(2.5)
        print(json.dumps({"interrupted": False}), flush=True)
    except KeyboardInterrupt:
        print(json.dumps({"interrupted": True, "status": supply.read_dev_status()}), flush=True)
    supply.close()
""")


@pytest.mark.parametrize("delay", [0.03, 0.06, 0.09])
def test_sigint_in_the_middle_of_a_command_then_status_reads_the_truth(start_sim, delay):
    s = start_sim("--load-ohms", "inf", baud="4800")
    child = subprocess.Popen(
        [sys.executable, "-c", CHILD, s.port], stdout=subprocess.PIPE, text=True, preexec_fn=DEFAULT_SIGNALS
    )
    lines = []
    while not lines or lines[-1].strip() != "go":
        line = child.stdout.readline()
        assert line, "child ended early"
        lines.append(line)
    time.sleep(delay)
    child.send_signal(signal.SIGINT)
    out, _ = child.communicate(timeout=20)
    assert child.returncode == 0
    result = json.loads(out.strip().splitlines()[-1])
    assert result["interrupted"]  # a call takes over 110 ms at 4800 baud
    status = result["status"]
    assert status is not None
    assert status["out_status"] == "on"
    assert status["voltage_set"] in (1.0, 2.5)
    assert status["voltage_max_set"] == 30.0


def lsof(path):
    return subprocess.run(["lsof", path], capture_output=True).stdout


def test_ctrl_c_during_opens_identity_read_leaves_the_port_closed(start_sim, monkeypatch):
    s = start_sim("--fault-nth", "1", "--fault", "silent")
    polls = []

    def sleep(seconds):
        # Ctrl-C lands at the fifth poll of the identity read: the port is
        # open by then, and a timer could not place it there reliably.
        polls.append(seconds)
        if len(polls) == 5:
            raise KeyboardInterrupt
        time.sleep(seconds)

    monkeypatch.setattr(kx5180, "time", types.SimpleNamespace(sleep=sleep))
    supply = kx5180.KX5180(s.port)
    with pytest.raises(KeyboardInterrupt):
        supply.open()
    assert supply.ser.is_open is False
    assert lsof(s.port) == b""
    assert supply.open() is True
    supply.close()


def test_calls_after_close_raise_port_not_open(start_sim):
    supply = opened(start_sim())
    supply.close()
    with pytest.raises(serial.PortNotOpenError):
        supply.read_dev_status()
    with pytest.raises(serial.PortNotOpenError):
        supply._KX5180__read()


@pytest.mark.slow
def test_threads_take_turns_at_the_port(start_sim):
    # A thread that polls in a loop must not starve the others: the port
    # goes to the longest waiter.
    supply = opened(start_sim())
    counts = [0] * 4
    stop = threading.Event()

    def poll(i):
        while not stop.is_set():
            assert supply.read_dev_status() is not None
            counts[i] += 1

    workers = [threading.Thread(target=poll, args=(i,)) for i in range(4)]
    for w in workers:
        w.start()
    time.sleep(2.0)
    stop.set()
    for w in workers:
        w.join()
    supply.close()
    assert min(counts) >= 0.5 * max(counts), counts


EXIT_CHILD = textwrap.dedent("""
    import sys, threading, time
    import kx5180
    supply = kx5180.KX5180(sys.argv[1])
    assert supply.open()

    def poll():
        while True:
            supply.read_dev_status()

    for _ in range(3):  # one in an exchange, the others waiting for the port
        threading.Thread(target=poll, daemon=True).start()
    time.sleep(0.3)
""")


@pytest.mark.parametrize("run", range(5))
def test_exit_with_daemon_threads_inside_driver_calls_is_clean(kx5180_sim, run):
    port = kx5180_sim().port
    result = subprocess.run([sys.executable, "-c", EXIT_CHILD, port], capture_output=True, text=True, timeout=30)
    assert (result.returncode, result.stderr) == (0, "")
