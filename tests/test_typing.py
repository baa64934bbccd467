"""What type checkers see of the installed package: mypy --strict and pyright
(strict) accept a correct user script of the driver and the toolkit and
report every mistake in a wrong one, the toolkit itself passes both, and the
stubs agree with the compiled module (mypy's stubtest)."""

import json
import os
import re
import shutil
import subprocess
import sys
import textwrap

import pytest

pytestmark = pytest.mark.slow

GOOD = textwrap.dedent("""\
    # pyright: strict
    from __future__ import annotations

    from typing import Literal

    from kx5180 import KX5180
    from kx5180_lab import DevStatus, DeviceVersion, LimitError, Status, Supply, SupplyError, __version__


    def summary(status: DevStatus) -> str:
        regulation = {"CV": "constant voltage", "CC": "constant current", "XX": "unregulated"}
        watts = status["voltage_real"] * status["current_real"]
        return f"{watts:.3f} W, {regulation[status['out_mode']]}, fan {status['fan_speed'] + 1}"


    def switch(supply: KX5180, on: bool) -> bool:
        mode: Literal["on", "off"] = "on" if on else "off"
        return supply.set_ouput_mode(mode)


    supply = KX5180("/dev/ttyUSB0")
    if supply.check_port_available() and supply.open():
        identity: DeviceVersion = supply.show_device_version()
        print(identity["model"].strip(), identity["SN"], identity["soft_version"] // 100)
        ok = supply.set_work_mode("remote") and supply.set_voltage_max(2)
        ok = ok and supply.set_out_voltage(1.222) and supply.set_out_current(0.888)
        ok = ok and switch(supply, True) and supply.set_new_addr(6)
        status = supply.read_dev_status()
        if status is not None and not status["beyond_temp"] and status["work_mode"] == "remote":
            print(summary(status))
        supply.set_ouput_mode()
        supply.set_work_mode("local")
        supply.restore_factory()
        supply.close()


    def watts(reading: Status) -> float:
        return reading.voltage_v * reading.current_a


    print(__version__.split("."))
    try:
        with Supply("/dev/ttyUSB0@2", max_voltage=5.0, verify=True) as psu:
            psu.set(voltage=3.3, current=0.2)
            psu.output(True)
            psu.ramp(4.5, step=0.1, rate=0.5)
            print(watts(psu.status()), psu.identity().serial_number.strip())
        with Supply("/dev/ttyUSB0", address=3) as other:
            print(other.status().mode in ("CV", "unregulated"))
    except LimitError as refused:
        print("refused:", refused)
    except SupplyError as failed:
        print("failed:", failed)
    """)

HEADER = textwrap.dedent("""\
    from kx5180 import KX5180

    supply = KX5180("/dev/ttyUSB0")
    status = supply.read_dev_status()
    assert status is not None
    identity = supply.show_device_version()

    from kx5180_lab import Supply

    psu = Supply("/dev/ttyUSB0")
    """)

# One mistake per line of the wrong script.
MISTAKES = {
    "a number for the port": "KX5180(3)",
    "text for a voltage": 'supply.set_out_voltage("1.2")',
    "an upper-case output word": 'supply.set_ouput_mode("ON")',
    "an unknown work mode": 'supply.set_work_mode("pc")',
    "a misspelt status key": 'print(status["voltag_real"])',
    "a status reading used as text": 'print(status["voltage_real"] + "x")',
    "a misspelt identity key": 'print(identity["serial"])',
    "the software version used as text": 'print(identity["soft_version"].strip())',
    "an address given as text": 'supply.set_new_addr("6")',
    "a toolkit voltage given as text": 'psu.set(voltage="3.3")',
    "a misspelt status field": "print(psu.status().voltage)",
    "a toolkit reading used as text": 'print(psu.status().current_a + "A")',
    "the output switched by a word": 'psu.output("on")',
    "a toolkit address given as text": 'Supply("/dev/ttyUSB0", address="2")',
}
MISTAKE_LINE = {name: HEADER.count("\n") + 1 + i for i, name in enumerate(MISTAKES)}
BAD = HEADER + "".join(line + "\n" for line in MISTAKES.values())


def checker_env():
    env = dict(os.environ)
    # Under scripts/sanitize.sh the sanitizer runtime is preloaded: the
    # checkers never load the module and are not the code under test.
    env.pop("LD_PRELOAD", None)
    env["PYRIGHT_PYTHON_IGNORE_WARNINGS"] = "1"
    return env


def run_mypy(workdir):
    result = subprocess.run(
        [
            sys.executable,
            "-m",
            "mypy",
            "--strict",
            "--no-error-summary",
            "--cache-dir",
            str(workdir / "cache"),
            "good.py",
            "bad.py",
        ],
        cwd=workdir,
        capture_output=True,
        text=True,
        env=checker_env(),
        timeout=600,
    )
    assert result.returncode in (0, 1), result.stdout + result.stderr
    errors = {}
    for line in result.stdout.splitlines():
        found = re.match(r"(\w+)\.py:(\d+): error: (.*)", line)
        if found:
            errors.setdefault((found[1], int(found[2])), []).append(found[3])
    return errors


def run_pyright(workdir):
    if shutil.which("node") is None:
        pytest.skip("pyright needs node on PATH")
    result = subprocess.run(
        [sys.executable, "-m", "pyright", "--outputjson", "--pythonpath", sys.executable, "good.py", "bad.py"],
        cwd=workdir,
        capture_output=True,
        text=True,
        env=checker_env(),
        timeout=600,
    )
    assert result.returncode in (0, 1), result.stdout + result.stderr
    errors = {}
    for diagnostic in json.loads(result.stdout)["generalDiagnostics"]:
        if diagnostic["severity"] == "error":
            key = (os.path.basename(diagnostic["file"])[:-3], diagnostic["range"]["start"]["line"] + 1)
            errors.setdefault(key, []).append(diagnostic["message"])
    return errors


CHECKERS = {"mypy": run_mypy, "pyright": run_pyright}


@pytest.fixture(scope="module", params=list(CHECKERS))
def reported(request, tmp_path_factory):
    pytest.importorskip(request.param, reason=f"{request.param} is not installed (the test extra brings it)")
    workdir = tmp_path_factory.mktemp(request.param)
    (workdir / "good.py").write_text(GOOD)
    (workdir / "bad.py").write_text(BAD)
    return CHECKERS[request.param](workdir)


def test_a_correct_script_passes(reported):
    assert {key: text for key, text in reported.items() if key[0] == "good"} == {}


@pytest.mark.parametrize("mistake", list(MISTAKES))
def test_each_mistake_is_reported(reported, mistake):
    assert ("bad", MISTAKE_LINE[mistake]) in reported, reported


def test_nothing_else_in_the_wrong_script_is_reported(reported):
    expected = set(MISTAKE_LINE.values())
    assert {key: text for key, text in reported.items() if key[0] == "bad" and key[1] not in expected} == {}


@pytest.mark.parametrize("checker", list(CHECKERS))
def test_the_toolkit_itself_passes_the_checkers(checker, tmp_path):
    pytest.importorskip(checker, reason=f"{checker} is not installed (the test extra brings it)")
    # The plot module is checked against matplotlib's own annotations.
    pytest.importorskip("matplotlib", reason="matplotlib is not installed (the plot extra brings it)")
    import kx5180_lab

    if checker == "mypy":
        command = ["mypy", "--strict", "--no-error-summary", "--cache-dir", str(tmp_path / "cache"), "-p", "kx5180_lab"]
    else:
        if shutil.which("node") is None:
            pytest.skip("pyright needs node on PATH")
        command = ["pyright", "--pythonpath", sys.executable, os.path.dirname(kx5180_lab.__file__)]
    result = subprocess.run(
        [sys.executable, "-m", *command], cwd=tmp_path, capture_output=True, text=True, env=checker_env(), timeout=600
    )
    assert result.returncode == 0, result.stdout + result.stderr


def test_the_stubs_agree_with_the_module(tmp_path):
    pytest.importorskip("mypy", reason="mypy is not installed (the test extra brings it)")
    # No allowlist: a public name the compiled module lacks would import for
    # a type checker and fail at run time. The stub's own names are private.
    result = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "kx5180"],
        cwd=tmp_path,
        capture_output=True,
        text=True,
        timeout=600,
    )  # imports the module: sanitizers stay
    assert result.returncode == 0, result.stdout + result.stderr


def test_every_lazy_name_is_visible_to_type_checkers():
    import ast

    import kx5180_lab

    with open(kx5180_lab.__file__, encoding="utf-8") as f:
        tree = ast.parse(f.read())
    guarded = next(n for n in tree.body if isinstance(n, ast.If) and ast.unparse(n.test) == "TYPE_CHECKING")
    seen = {alias.asname or alias.name for n in ast.walk(guarded) if isinstance(n, ast.ImportFrom) for alias in n.names}
    assert seen == set(kx5180_lab._HOMES)
    assert sorted(kx5180_lab.__all__) == sorted([*kx5180_lab._HOMES, "__version__"])
