"""The installed driver against kx5180-sim on a real pseudo-terminal, through
real pyserial and the real lsof."""

import os
import shutil
import subprocess
import sysconfig
import time

import pytest
import serial

import kx5180
from conftest import SIM, needs_sim, opened

SCRIPTS = sysconfig.get_path("scripts")
DEMO_PORT = "/dev/cu.usbserial-21320"


def tool(name):
    path = os.path.join(SCRIPTS, name)
    return path if os.path.exists(path) else shutil.which(name)


pytestmark = needs_sim


def test_open_learns_the_identity_and_address(start_sim, capsys):
    s = start_sim("--address", "7", "--model", "5181", "--number", "076787041", "--soft-version", "12")
    supply = opened(s)
    assert supply.show_device_version() == {"model": "5181", "SN": "076787041", "soft_version": 12}
    assert supply._KX5180__addr == 7
    assert supply.read_dev_status() is not None  # the unit answers only its own address or 255
    supply.close()
    assert capsys.readouterr().out == ""


def test_unsupported_model_is_rejected_and_its_port_closed(start_sim):
    s = start_sim("--model", "5100")
    supply = kx5180.KX5180(s.port)
    assert supply.open() is False
    assert supply.ser.is_open is False
    assert subprocess.run(["lsof", s.port], capture_output=True).stdout == b""


def test_every_setting_reads_back(start_sim, capsys):
    supply = opened(start_sim("--load-ohms", "inf"))
    assert supply.set_work_mode("remote") and supply.set_voltage_max(12.5)
    assert supply.set_out_voltage(3.3) and supply.set_out_current(1.5) and supply.set_ouput_mode("on")
    status = supply.read_dev_status()
    assert status == {
        "current_real": 0.0,
        "voltage_real": 3.3,
        "current_set": 1.5,
        "voltage_max_set": 12.5,
        "voltage_set": 3.3,
        "out_status": "on",
        "beyond_temp": False,
        "out_mode": "CV",
        "fan_speed": 0,
        "work_mode": "remote",
    }
    assert supply.set_new_addr(9) and supply._KX5180__addr == 1
    assert supply.set_ouput_mode("off") and supply.set_work_mode("local")
    status = supply.read_dev_status()
    assert (status["out_status"], status["work_mode"], status["voltage_real"]) == ("off", "local", 0.0)
    assert supply.restore_factory()
    status = supply.read_dev_status()
    assert (status["voltage_max_set"], status["voltage_set"], status["current_set"]) == (30.0, 5.0, 1.0)
    out = capsys.readouterr().out.splitlines()
    assert [line.split(":")[0] for line in out] == ["set voltage, read", "set current, read", "Restore FACTORY"]
    supply.close()


@pytest.mark.parametrize(
    "volts,amps,ceiling,expected",
    [
        (5.0, 1.0, 30.0, (0.5, 5.0, "CV")),  # 5 V into 10 ohm draws 0.5 A, inside the limit
        (5.0, 0.2, 30.0, (0.2, 2.0, "CC")),  # the 0.2 A limit holds: 2 V across 10 ohm
        (5.0, 1.0, 3.0, (0.3, 3.0, "CV")),  # the ceiling caps the setpoint
    ],
)
def test_regulation_against_the_load(start_sim, volts, amps, ceiling, expected):
    supply = opened(start_sim("--load-ohms", "10"))
    supply.set_voltage_max(ceiling)
    supply.set_out_voltage(volts)
    supply.set_out_current(amps)
    supply.set_ouput_mode("on")
    status = supply.read_dev_status()
    assert (status["current_real"], status["voltage_real"], status["out_mode"]) == expected
    supply.close()


def test_over_temperature_trips_the_output(start_sim):
    supply = opened(start_sim("--load-ohms", "1", "--thermal-tau-s", "0", "--over-temp-c", "60"))
    supply.set_out_voltage(5.0)
    supply.set_out_current(5.0)
    supply.set_ouput_mode("on")  # 25 W: 25 C + 2 C/W x 25 W = 75 C
    time.sleep(0.01)
    status = supply.read_dev_status()
    assert (status["beyond_temp"], status["out_status"], status["fan_speed"]) == (True, "off", 6)
    supply.close()


@pytest.mark.parametrize("fault", ["silent", "bad-checksum", "bad-sync", "extra-byte", "late"])
def test_a_faulted_reply_fails_one_call_and_the_next_works(start_sim, fault):
    # Reply 1 answers the identity read of open; reply 2 is the first status read.
    # A late one comes well after the call's 30 polls, however long they take
    # here, and is waiting when the next call settles, which drops it. (One
    # that lands while the next call settles: tests/test_conversation.py.)
    s = start_sim("--fault", fault, "--fault-nth", "2", "--late-ms", "2000")
    supply = opened(s)
    assert supply.read_dev_status() is None
    if fault == "late":
        s.wait_for(lambda lines: sum("] tx " in line for line in lines) == 2)
    assert supply.set_out_voltage(2.5) is True
    assert supply.read_dev_status()["voltage_set"] == 2.5
    supply.close()


class Recording:
    """Wraps the driver's port to record how many bytes each poll saw."""

    def __init__(self, port):
        self.port, self.seen = port, []

    def inWaiting(self):
        n = self.port.inWaiting()
        self.seen.append(n)
        return n

    def __getattr__(self, name):
        return getattr(self.port, name)


def test_paced_split_reply_is_reassembled(start_sim):
    supply = opened(start_sim("--fault", "split", "--fault-nth", "2", "--split-pause-ms", "40", baud="4800"))
    supply.ser = Recording(supply.ser)
    status = supply.read_dev_status()
    assert status is not None and status["voltage_set"] == 5.0
    partial = [n for n in supply.ser.seen if 0 < n < 26]
    assert partial and supply.ser.seen[-1] == 26
    supply.ser.port.close()


def test_a_second_object_finds_the_port_busy(start_sim, capsys):
    s = start_sim()
    first = opened(s)
    second = kx5180.KX5180(s.port)
    assert second.open() is False
    assert capsys.readouterr().out == "serial port already opened!, Please close and try                       again!\n"
    first.close()
    assert second.open() is True  # the simulator serves a client's reopen
    second.close()


def test_the_unit_ignores_other_addresses_and_bad_frames(start_sim):
    s = start_sim("--address", "3")
    with serial.Serial(s.port, 4800, timeout=0.3) as port:
        for frame in ([0xAA, 9, 0x26], [0xAA, 3, 0x26, 0, 0, 0, 1]):
            data = frame + [0] * (25 - len(frame))
            data.append(sum(data) & 0xFF if frame[1] == 9 else 0)
            port.write(bytes(data))
            assert port.read(26) == b""
        data = [0xAA, 3, 0x26] + [0] * 22
        port.write(bytes(data + [sum(data) & 0xFF]))
        assert len(port.read(26)) == 26


@pytest.mark.parametrize(
    "args,message",
    [
        (["--bogus"], "unknown option --bogus"),
        (["--baud", "fast"], "bad value 'fast' for --baud"),
        (["--model", "51800"], "bad value '51800' for --model"),
        (["--fault", "gremlins"], "bad value 'gremlins' for --fault"),
        (["--load-ohms"], "option --load-ohms needs a value"),
    ],
)
def test_bad_simulator_options_give_one_line_and_fail(args, message):
    result = subprocess.run([SIM, *args], capture_output=True, text=True, timeout=5)
    assert result.returncode == 2 and result.stdout == ""
    assert result.stderr.count("\n") == 1 and message in result.stderr


def run_demo(*args, timeout=30):
    return subprocess.run([tool("kx5180-demo"), *args], capture_output=True, text=True, timeout=timeout, cwd="/")


def can_link():
    try:
        os.symlink("/dev/null", DEMO_PORT + ".probe")
        os.unlink(DEMO_PORT + ".probe")
        return True
    except OSError:
        return False


@pytest.mark.skipif(os.path.lexists(DEMO_PORT), reason="something already sits at the demonstration port")
def test_demonstration_without_a_device():
    result = run_demo()
    assert result.returncode == 1
    assert result.stdout.splitlines()[-1] == f"open serial port:{DEMO_PORT} failed!"


@pytest.mark.parametrize(
    "args, code, shown",
    [
        (["--help"], 0, "usage: kx5180-demo"),
        (["--version"], 0, "kx5180-demo 0."),
        (["--hlep"], 2, "unrecognized arguments: --hlep"),
    ],
)
def test_demonstration_never_runs_for_an_argument(args, code, shown):
    result = run_demo(*args)
    assert result.returncode == code and shown in result.stdout + result.stderr
    assert "open serial port" not in result.stdout and "Traceback" not in result.stderr


@pytest.mark.slow
@pytest.mark.skipif(os.path.lexists(DEMO_PORT) or not can_link(), reason="cannot link the demonstration port")
def test_demonstration_against_a_linked_simulator(start_sim):
    s = start_sim("--link", DEMO_PORT)
    started = time.monotonic()
    result = run_demo()
    assert time.monotonic() - started >= 3.0 and result.returncode == 0
    lines = result.stdout.splitlines()
    own = [line for line in lines if not line.split(":")[0].endswith(("read", "FACTORY"))]
    assert own == ["set work mode to remote controll", "------------ local -------------", "kx5100 series closed!"]
    assert [line.split(":")[0] for line in lines] == [
        "set work mode to remote controll",
        "set voltage, read",
        "set current, read",
        "------------ local -------------",
        "Restore FACTORY",
        "kx5100 series closed!",
    ]
    assert s.stop() == 0
    assert not os.path.lexists(DEMO_PORT)
