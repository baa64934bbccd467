"""kx5180_lab.Supply against kx5180-sim on a real pseudo-terminal, through
the real driver, pyserial and lsof."""

import contextlib
import logging
import os
import shutil
import signal
import subprocess
import sys
import textwrap
import threading

import pytest
import serial

import kx5180
from conftest import DEFAULT_SIGNALS
from kx5180_lab import (
    LimitError,
    LineError,
    NoAnswerError,
    PortBusyError,
    PortCheckError,
    PortOpenError,
    RampError,
    Supply,
    SupplyError,
    UnsupportedModelError,
    VerifyError,
)
from kx5180_lab.instrument import opening
from kx5180_lab.simulator import find_simulator

SIM = find_simulator()
pytestmark = pytest.mark.skipif(SIM is None or shutil.which("lsof") is None, reason="needs kx5180-sim and lsof")


def frame(*head):
    data = list(head) + [0] * (25 - len(head))
    return " ".join(f"{b:02X}" for b in data + [sum(data) & 0xFF])


def held(port):
    return subprocess.run(["lsof", port], capture_output=True).stdout != b""


def unit_state(port):
    """What the unit says now, read by a plain driver object."""
    drv = kx5180.KX5180(port)
    assert drv.open() is True
    try:
        return drv.read_dev_status()
    finally:
        drv.close()


def rx_count(sim):
    return len(sim.frames("rx"))


def test_set_status_identity_and_read_back(sim):
    with Supply(sim.port, max_voltage=6, max_current=1, verify=True) as psu:
        assert psu.identity().as_dict() == {
            "model": "5180",
            "serial_number": "518000001",
            "software_version": 373,
            "address": 1,
        }
        psu.set(voltage=1.001, current=0.5, ceiling=5.5)  # 1.001 V is 1001 mV, not the driver's truncated 1000
        psu.output(True)
        st = psu.status()
        assert (st.voltage_set_v, st.current_set_a, st.ceiling_v) == (1.001, 0.5, 5.5)
        assert st.output_on and st.remote and st.cv and not st.cc and st.mode == "CV"
        assert (st.voltage_v, st.current_a) == (1.001, 0.1)  # 10 ohm load
        psu.set(voltage=5.5, current=0.2)  # 0.55 A wanted: current-limited
        assert psu.status().cc
        with pytest.raises(AttributeError):
            st.voltage_v = 0  # a record, not a view
    assert not held(sim.port)


def test_the_protocol_range_is_a_limit_of_its_own(sim):
    # The status frame carries currents in 16 bits: 70 A could never be read back.
    with Supply(sim.port) as psu:
        with pytest.raises(LimitError, match="largest value the supply takes"):
            psu.set(current=70)
    with pytest.raises(LimitError, match="max_voltage must be a finite number"):
        Supply(sim.port, max_voltage=-1)


@pytest.mark.parametrize(
    "limit, allowed, refused",
    [
        (4.9995, 4.999, 5.0),  # rounded, this limit let 5.000 through
        (1.001, 1.001, 1.002),  # 1.001 x 1000 is 1000.999... in binary, yet the limit is 1001
        (0.0004, 0.0, 0.001),
    ],
)
def test_limits_are_floored_to_whole_millis(limit, allowed, refused):
    psu = Supply("/dev/kx5180-never-opened", max_voltage=limit, max_current=limit)
    psu.check(voltage=allowed, current=allowed, ceiling=allowed)
    for name in ("voltage", "current", "ceiling"):
        with pytest.raises(LimitError, match="above the limit"):
            psu.check(**{name: refused})


class RecordingDriver:
    """A unit at 5 V, 1 A, ceiling 30 V that acknowledges everything and
    records each call."""

    STATUS = {
        "voltage_real": 0.0,
        "current_real": 0.0,
        "voltage_set": 5.0,
        "current_set": 1.0,
        "voltage_max_set": 30.0,
        "out_status": "off",
        "beyond_temp": 0,
        "out_mode": "CV",
        "fan_speed": 0,
        "work_mode": "remote",
    }

    def __init__(self, port):
        self.calls = []
        self.status = dict(self.STATUS)

    def read_dev_status(self):
        return dict(self.status)

    def set_voltage_max(self, volts):
        self.calls.append(("set_voltage_max", volts))
        self.status["voltage_max_set"] = round(volts, 3)
        return True

    def __getattr__(self, method):
        return lambda *args: self.calls.append((method, *args)) or True


@pytest.mark.parametrize(
    "call",
    [
        lambda p: p.set(voltage=12),
        lambda p: p.set(voltage=12, current=0.5),
        lambda p: p.set(voltage=12, ceiling=11.999),
        lambda p: p.check(voltage=10.001),
        lambda p: p.ramp(12, 1, 1000),
    ],
    ids=["voltage", "with a current", "with a lower ceiling", "check", "ramp"],
)
def test_a_voltage_above_the_units_ceiling_is_refused_unsent(call):
    with Supply("fake", driver_factory=RecordingDriver) as psu:
        psu.set(ceiling=10)
        psu.driver.calls.clear()
        with pytest.raises(LimitError, match=r"voltage 1[02]\.\d+ V is above the unit's ceiling 1\d\.\d+ V; nothing"):
            call(psu)
        assert psu.driver.calls == [] and psu.highest("voltage") == 10.0 and psu.highest("current") is None
        psu.driver.status["voltage_max_set"] = 20.0  # raised on the front panel: read again before refusing
        psu.set(voltage=12)
        assert psu.driver.calls == [("set_out_voltage", 12.00025)]


def test_verify_catches_a_setting_the_unit_did_not_apply(kx5180_sim):
    with kx5180_sim(baud=0, faults=("ignore",)) as sim:
        with Supply(sim.port, verify=True) as psu:
            with pytest.raises(VerifyError, match=r"voltage reads back 5\.000 V, 3\.000 V was sent") as e:
                psu.set(voltage=3)
            assert (e.value.sent, e.value.read) == (3.0, 5.0)
            psu.set(voltage=3, verify=False)  # acknowledged, so without read-back nothing is noticed


@pytest.mark.parametrize("raised", [None, ZeroDivisionError, KeyboardInterrupt])
def test_leaving_switches_off_hands_back_and_closes(sim, raised):
    psu = Supply(sim.port)
    with pytest.raises(raised) if raised else contextlib.nullcontext():
        with psu:
            psu.set(voltage=2, current=0.5)
            psu.output(True)
            assert held(sim.port)
            if raised:
                raise raised()
    assert not held(sim.port) and not psu.driver.ser.is_open
    st = unit_state(sim.port)
    assert (st["out_status"], st["work_mode"], st["voltage_set"]) == ("off", "local", 2.0)


def test_sigint_inside_the_block_leaves_the_unit_safe(sim):
    script = textwrap.dedent(
        f"""
        import time
        from kx5180_lab import Supply
        with Supply({sim.port!r}) as psu:
            psu.set(voltage=3, current=0.5)
            psu.output(True)
            print("on", flush=True)
            while True:
                psu.status()
        """
    )
    proc = subprocess.Popen(
        [sys.executable, "-c", script],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        preexec_fn=DEFAULT_SIGNALS,
    )
    try:
        assert proc.stdout.readline() == "on\n", proc.stderr.read()
        proc.send_signal(signal.SIGINT)
        _, err = proc.communicate(timeout=10)
    finally:
        if proc.poll() is None:
            proc.kill()
    assert "KeyboardInterrupt" in err and proc.returncode != 0
    assert not held(sim.port)
    st = unit_state(sim.port)
    assert (st["out_status"], st["work_mode"]) == ("off", "local")


def test_a_supply_that_only_read_leaves_the_unit_as_it_was(sim):
    with Supply(sim.port, keep_on_exit=True) as psu:
        psu.set(voltage=2)
        psu.output(True)
    with pytest.raises(ZeroDivisionError):
        with Supply(sim.port, remote=False, keep_on_exit=True) as watcher:
            watcher.status()
            raise ZeroDivisionError
    assert unit_state(sim.port)["out_status"] == "on"


@pytest.mark.parametrize(
    "sim_args, error, message",
    [
        (["--model", "5100"], UnsupportedModelError, "unsupported model '5100'"),
        (["--fault", "silent"], NoAnswerError, "no supply answered the identity request"),
    ],
)
def test_a_failed_open_says_why_and_leaves_no_port_open(kx5180_sim, sim_args, error, message):
    with kx5180_sim(baud=0, extra_args=sim_args) as s:
        with pytest.raises(error, match=message):
            Supply(s.port).open()
        assert not held(s.port)


@pytest.mark.parametrize("route", ["proc", "proc, held under another name", "lsof"])
def test_a_busy_port_names_its_holder(sim, monkeypatch, tmp_path, route):
    name = sim.port
    if route == "lsof":  # as where there is no /proc
        monkeypatch.setattr(opening, "PROC", str(tmp_path))
    elif not os.path.isdir("/proc/self/fd"):
        pytest.skip("no /proc here")
    elif route.endswith("another name"):
        name = str(tmp_path / "port")
        os.symlink(sim.port, name)
    with serial.Serial(sim.port):
        with pytest.raises(PortBusyError, match=rf"{name} is in use by python\S* \(pid {os.getpid()}\)"):
            Supply(name).open()


def test_a_missing_port_and_a_missing_lsof(sim, monkeypatch, tmp_path):
    with pytest.raises(PortOpenError, match="cannot open /dev/kx5180-nowhere: .*No such file") as caught:
        Supply("/dev/kx5180-nowhere").open()
    # One family, the cause kept, and still what pyserial callers catch.
    assert isinstance(caught.value, SupplyError) and isinstance(caught.value, serial.SerialException)
    assert isinstance(caught.value.__cause__, serial.SerialException)
    # Neither /proc nor lsof to ask.
    monkeypatch.setattr(opening, "PROC", str(tmp_path))
    monkeypatch.setenv("PATH", str(tmp_path))
    with pytest.raises(PortCheckError, match="cannot check whether the port is free"):
        Supply(sim.port).open()


@pytest.mark.parametrize("kind", ["rfc2217", "socket"])
def test_a_far_end_that_refuses_is_told_as_a_refusal(kind):
    # As ser2net turns away a second client: it reads what the client sends
    # (its RFC 2217 negotiation), says so and hangs up.
    import socket

    listener = socket.create_server(("127.0.0.1", 0))
    url = f"{kind}://127.0.0.1:{listener.getsockname()[1]}"

    def refuse():
        conn, _ = listener.accept()
        with conn:
            conn.settimeout(0.2)
            with contextlib.suppress(OSError):
                while conn.recv(256):
                    pass
            conn.sendall(b"Port already in use\r\n")
            conn.shutdown(socket.SHUT_WR)
            conn.settimeout(10)
            with contextlib.suppress(OSError):
                conn.recv(256)  # until the client has gone: no reset to hide the text

    far_end = threading.Thread(target=refuse, daemon=True)
    far_end.start()
    with listener, pytest.raises(PortOpenError) as refused:
        Supply(url).open()
    assert str(refused.value) == (
        f"cannot open {url}: the far end closed the connection and said 'Port already in use'; "
        "another client may be connected to that line"
    )
    far_end.join(10)


def test_a_dying_line_is_a_supply_error_with_its_cause(kx5180_sim):
    sim = kx5180_sim(baud=0)
    with pytest.raises(LineError, match="the line failed") as caught:
        with Supply(sim.port) as psu:
            psu.set(voltage=1)
            os.kill(sim.pid, signal.SIGKILL)  # as an adapter pulled out
            psu.status()
    assert isinstance(caught.value.__cause__, OSError)
    assert "leaving the supply safe failed" in caught.value.__notes__[0]


def test_ramp_reaches_the_target_step_by_step(sim):
    seen = []
    with Supply(sim.port, verify=True) as psu:
        psu.set(voltage=1)
        assert psu.ramp(1.5, 0.2, 50, on_step=seen.append) == 1.5
        assert psu.status().voltage_set_v == 1.5
        assert psu.ramp(1.1, 0.25, 50, on_step=seen.append) == 1.1
    assert seen == [1.2, 1.4, 1.5, 1.25, 1.1]


@pytest.mark.parametrize(
    "lost, stands, how",
    [
        (6, 5.2, "the last acknowledged setpoint"),
        (4, 5.0, "read back before the ramp; no step was acknowledged"),
    ],
)
def test_a_failed_step_stops_the_ramp_at_the_last_acknowledged_value(kx5180_sim, lost, stands, how):
    # Replies: identity, remote, the ramp's status read, then the steps;
    # the `lost`th reply is lost.
    with kx5180_sim(baud=0, faults=("silent",), fault_nth=lost) as sim:
        with pytest.raises(RampError, match=rf"ramp stopped at {stands:.3f} V \({how}\)") as e:
            with Supply(sim.port) as psu:
                psu.ramp(6, 0.1, 100)
        assert (e.value.last_acknowledged_v, e.value.target_v) == (stands, 6.0)
        st = unit_state(sim.port)
        assert st["out_status"] == "off"


def test_quiet_by_default_and_loud_on_request(sim, capfd):
    with Supply(sim.port) as psu:
        psu.set(voltage=1.222)
    assert capfd.readouterr().out == ""
    assert "print" not in vars(kx5180)  # the driver module is left as it was
    with Supply(sim.port, quiet=False) as psu:
        psu.set(voltage=1.222)
    assert capfd.readouterr().out.startswith("set voltage, read:[170, 1, 18, 35, 128")


def test_one_supply_shared_by_threads(sim):
    errors = []
    with Supply(sim.port) as psu:

        def work(n):
            try:
                for k in range(5):
                    psu.set(current=0.1 * n + 0.01 * k)
                    assert psu.status() is not None
            except Exception as e:  # reported below
                errors.append(e)

        threads = [threading.Thread(target=work, args=(n,)) for n in range(1, 5)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    assert errors == []
    lines = sim.wait_for(lambda lines: len(sim.frames("tx")) == len(sim.frames("rx")))
    assert not any("no reply" in line or "dropped" in line for line in lines)


def test_the_trace_shows_every_frame_as_the_unit_saw_it(sim, caplog):
    with caplog.at_level(logging.DEBUG, logger="kx5180.traffic"):
        with Supply(sim.port) as psu:
            psu.set(voltage=1.222)
    records = [r for r in caplog.records if r.name == "kx5180.traffic"]
    sent = [r.getMessage().split(" ", 2)[2] for r in records if r.direction == "tx"]
    got = [r.getMessage().split(" ", 2)[2] for r in records if r.direction == "rx"]
    sim.wait_for(lambda lines: len(sim.frames("tx")) >= 6)
    assert sent == sim.frames("rx") and got == sim.frames("tx")
    assert sent[:4] == [
        frame(0xAA, 0xFF, 0x31),
        frame(0xAA, 1, 0x20, 1),
        frame(0xAA, 1, 0x26),  # the ceiling the voltage is checked against
        frame(0xAA, 1, 0x23, 0xC6, 0x04),
    ]
    assert all(r.port == sim.port and len(r.data) == 26 for r in records)


def test_quiet_is_per_thread_and_a_plain_driver_still_prints(kx5180_sim, capfd):
    # One Supply busy on a thread of its own while a plain driver object on
    # this thread prints its reply lines as it always does.
    with kx5180_sim(baud=0) as a, kx5180_sim(baud=0) as b:
        stop = threading.Event()
        with Supply(a.port) as psu:

            def busy():
                while not stop.is_set():
                    psu.set(voltage=1.5)

            worker = threading.Thread(target=busy)
            worker.start()
            try:
                drv = kx5180.KX5180(b.port)
                assert drv.open() is True
                for _ in range(20):
                    assert drv.set_out_voltage(1.222) is True
                drv.close()
            finally:
                stop.set()
                worker.join()
    out = capfd.readouterr().out.splitlines()
    assert len(out) == 20 and all(line.startswith("set voltage, read:[170, 1, 18, 35") for line in out)
