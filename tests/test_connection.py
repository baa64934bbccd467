"""Port availability, open and close, with fakes of platform, serial and
subprocess (the end-to-end tests use the real ones)."""

import subprocess
import types

import pytest
import serial

import kx5180
from conftest import FakePort, FakeSerialModule, answering, frame

BUSY = "serial port already opened!, Please close and try                       again!\n"
IDENTITY = {code: frame([0xAA, 4, 0x31, *code.encode(), 0, 1, 0, *b"123456789"]) for code in ("5180", "5181", "5100")}


def on(monkeypatch, system):
    monkeypatch.setattr(kx5180, "platform", types.SimpleNamespace(system=lambda: system))


@pytest.fixture
def lsof_free(monkeypatch):
    calls = []

    def run(argv, **kwargs):
        calls.append((argv, kwargs))
        return types.SimpleNamespace(stdout=b"", stderr=b"lsof: status error", returncode=1)

    monkeypatch.setattr(kx5180, "subprocess", types.SimpleNamespace(run=run, PIPE=subprocess.PIPE))
    return calls


@pytest.mark.parametrize("system", ["Windows", "WINDOWS", "windows"])
def test_windows_route_tries_to_open_the_port(monkeypatch, capsys, system):
    on(monkeypatch, system)
    fake = FakeSerialModule(FakePort(), serial.SerialException("busy"), serial.PortNotOpenError())
    monkeypatch.setattr(kx5180, "serial", fake)
    obj = kx5180.KX5180("COM3")
    assert obj.check_port_available() is True
    assert fake.constructed[0] == (("COM3",), {})
    assert obj.check_port_available() is False
    assert obj.check_port_available() is False  # derived from SerialException
    assert capsys.readouterr().out == ""
    assert not hasattr(obj, "ser")


def test_windows_route_lets_other_errors_through(monkeypatch):
    on(monkeypatch, "Windows")
    monkeypatch.setattr(kx5180, "serial", FakeSerialModule(OSError("odd")))
    with pytest.raises(OSError):
        kx5180.KX5180("COM3").check_port_available()


@pytest.mark.parametrize("stdout,free", [(b"", True), (b"COMMAND PID\nx 1\n", False), ("", True)])
def test_lsof_route_judges_by_standard_output(monkeypatch, system_linux, stdout, free):
    seen = []

    def run(argv, **kwargs):
        seen.append((argv, kwargs))
        return types.SimpleNamespace(stdout=stdout, stderr=b"noise", returncode=1)

    class Counting:
        def __getattr__(self, name):
            looked_up.append(name)
            return {"run": run, "PIPE": subprocess.PIPE}[name]

    looked_up = []
    monkeypatch.setattr(kx5180, "subprocess", Counting())
    assert kx5180.KX5180("/dev/ttyUSB0").check_port_available() is free
    assert seen == [(["lsof", "/dev/ttyUSB0"], {"stdout": subprocess.PIPE, "stderr": subprocess.PIPE})]
    assert looked_up == ["run", "PIPE", "PIPE"]  # as the call written in Python looks them up


@pytest.fixture
def system_linux(monkeypatch):
    on(monkeypatch, "Linux")


def test_lsof_missing_prints_the_error_line(monkeypatch, capsys, system_linux):
    monkeypatch.setenv("PATH", "/nonexistent")
    assert kx5180.KX5180("/dev/ttyUSB0").check_port_available() is False
    out = capsys.readouterr().out
    assert out.startswith("检查端口时出错: [Errno 2] No such file or directory: 'lsof'")


def test_real_lsof_on_a_device_nobody_holds(system_linux):
    assert kx5180.KX5180("/dev/null-not-there").check_port_available() is True


# ---- open and close -----------------------------------------------------------


@pytest.fixture
def rig(monkeypatch, clock, system_linux, lsof_free):
    def make(*ports):
        fake = FakeSerialModule(*ports)
        monkeypatch.setattr(kx5180, "serial", fake)
        return fake

    return make


@pytest.mark.parametrize("code,accepted", [("5180", True), ("5181", True), ("5100", False)])
def test_open_accepts_only_the_supported_models(rig, capsys, code, accepted):
    port = FakePort(answering(IDENTITY[code]))
    fake = rig(port)
    obj = kx5180.KX5180("/dev/ttyUSB0")
    assert obj.open() is accepted
    assert fake.constructed == [(("/dev/ttyUSB0", 4800, 8, "N"), {"timeout": 50, "stopbits": 1})]
    assert obj.ser is port and port.closed is not accepted
    assert capsys.readouterr().out == ""
    assert obj.show_device_version()["model"] == code


def test_busy_port_prints_the_line_and_leaves_ser(rig, capsys, monkeypatch):
    first = FakePort(answering(IDENTITY["5180"]))
    rig(first)
    obj = kx5180.KX5180("/dev/ttyUSB0")
    assert obj.open()
    monkeypatch.setattr(obj, "check_port_available", lambda: False)
    assert obj.open() is False
    assert capsys.readouterr().out == BUSY
    assert obj.ser is first and not first.closed


def test_port_that_cannot_be_opened(rig, capsys):
    rig(serial.SerialException("[Errno 2] could not open port /dev/x"))
    obj = kx5180.KX5180("/dev/x")
    assert obj.open() is False
    assert capsys.readouterr().out == "Cannot open serial port[Errno 2] could not open port /dev/x\n"
    assert not hasattr(obj, "ser")


def test_silent_unit_is_not_accepted_on_an_earlier_identity(rig, capsys):
    first, second = FakePort(answering(IDENTITY["5181"])), FakePort()
    rig(first, second)
    obj = kx5180.KX5180("/dev/ttyUSB0")
    assert obj.open() is True
    obj.close()
    assert obj.open() is False
    assert second.closed and capsys.readouterr().out == ""
    assert obj.show_device_version() == {"model": "5181", "SN": "123456789", "soft_version": 1}


def test_substituted_identity_read_decides_acceptance(rig):
    rig(FakePort(), FakePort())
    obj = kx5180.KX5180("/dev/ttyUSB0")
    obj._KX5180__read_device_version = lambda: setattr(obj, "_KX5180__product_model", "5180")
    assert obj.open() is True
    obj._KX5180__read_device_version = lambda: None
    assert obj.open() is False
    assert obj._KX5180__product_model == "5180"


class FailingPort(FakePort):
    def __init__(self, error, close_error=None):
        super().__init__()
        self.error, self.close_error = error, close_error

    def write(self, data):
        raise self.error

    def close(self):
        super().close()
        if self.close_error:
            raise self.close_error


@pytest.mark.parametrize(
    "error,line",
    [
        (serial.SerialException("write failed"), "Cannot open serial port" + "write failed\n"),
        (OSError("odd"), ""),
        (ValueError("bad"), ""),
    ],
)
@pytest.mark.parametrize("close_error", [None, serial.SerialException("close failed")])
def test_failure_after_the_port_opened_closes_it(rig, capsys, error, line, close_error):
    port = FailingPort(error, close_error)
    rig(port)
    obj = kx5180.KX5180("/dev/ttyUSB0")
    assert obj.open() is False
    assert port.closed
    assert capsys.readouterr().out == line
    assert obj.show_device_version()["model"] == ""


def test_failure_while_closing_a_rejected_unit(rig, capsys):
    port = FakePort(answering(IDENTITY["5100"]))
    rig(port)
    obj = kx5180.KX5180("/dev/ttyUSB0")
    obj.close = lambda: (_ for _ in ()).throw(serial.SerialException("close failed"))
    assert obj.open() is False
    assert port.closed
    assert capsys.readouterr().out == "Cannot open serial portclose failed\n"


def test_availability_check_errors_are_swallowed_silently(rig, capsys, monkeypatch):
    rig()
    obj = kx5180.KX5180("/dev/ttyUSB0")
    monkeypatch.setattr(obj, "check_port_available", lambda: 1 / 0)
    assert obj.open() is False and capsys.readouterr().out == ""


def test_keyboard_interrupt_is_not_swallowed(rig, monkeypatch):
    rig()
    obj = kx5180.KX5180("/dev/ttyUSB0")

    def interrupt():
        raise KeyboardInterrupt

    monkeypatch.setattr(obj, "check_port_available", interrupt)
    with pytest.raises(KeyboardInterrupt):
        obj.open()


def test_close_passes_port_errors_through():
    obj = kx5180.KX5180("/dev/ttyUSB0")
    obj.ser = FailingPort(None, serial.SerialException("gone"))
    with pytest.raises(serial.SerialException):
        obj.close()
    obj.ser = FakePort()
    assert obj.close() is None and obj.ser.closed
