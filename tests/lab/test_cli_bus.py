"""The command line on a line of several units: PORT@ADDRESS and `kx5180
scan`, in real subprocesses against kx5180-sim --units."""

import json
import os
import subprocess
import sys

import pytest

from test_bus import holders, pytestmark  # noqa: F401  (skip mark)


def kx5180(*args):
    r = subprocess.run(
        [sys.executable, "-m", "kx5180_lab.cli", *args], capture_output=True, text=True, timeout=120, env=os.environ
    )
    return r.returncode, r.stdout, r.stderr


def test_port_at_address_reaches_that_unit_only(kx5180_sim):
    sim = kx5180_sim(units=3, baud=0)
    assert kx5180("set", f"{sim.port}@2", "--voltage", "2.5", "--output", "on")[0] == 0
    seen = {}
    for address in (1, 2, 3):
        code, out, err = kx5180("status", f"{sim.port}@{address}", "--json")
        assert (code, err) == (0, "")
        seen[address] = json.loads(out)
    assert seen[2]["port"] == f"{sim.port}@2"
    assert [(s["voltage_set_v"], s["output_on"]) for s in seen.values()] == [(5.0, False), (2.5, True), (5.0, False)]
    code, out, _ = kx5180("identify", f"{sim.port}@3", "--json")
    assert (code, json.loads(out)["serial_number"], json.loads(out)["address"]) == (0, "518000003", 3)
    code, out, err = kx5180("identify", f"{sim.port}@9")
    assert (code, out) == (1, "")
    assert err == f"kx5180: {sim.port}@9: no supply answered the identity request\n"
    assert holders(sim.port) == []


@pytest.mark.slow
def test_scan_lists_the_units_that_answer(kx5180_sim):
    sim = kx5180_sim(units=[2, 7], baud=0)
    code, out, err = kx5180("scan", sim.port, "--addresses", "1-3,7,9")
    assert (code, err) == (0, "")
    assert out.splitlines() == [
        "ADDRESS  MODEL  SN         SOFTWARE",
        "      2  5180   518000001  373",
        "      7  5180   518000002  373",
    ]
    code, out, _ = kx5180("scan", sim.port, "--addresses", "7", "--json")
    (unit,) = [json.loads(line) for line in out.splitlines()]  # one object a line, as identify --json
    assert (code, unit.pop("timestamp")[-6:]) == (0, "+00:00")
    assert unit == {
        "port": f"{sim.port}@7",
        "model": "5180",
        "serial_number": "518000002",
        "software_version": 373,
        "address": 7,
    }
    code, out, err = kx5180("scan", sim.port, "--addresses", "3-4", "--json")
    assert (code, out, err) == (1, "", f"kx5180: no unit answered on {sim.port} (addresses 3-4)\n")
    assert holders(sim.port) == []


@pytest.mark.parametrize("command", ["status", "identify"])
def test_a_plain_port_on_a_line_of_two_gets_no_answer_and_a_hint(kx5180_sim, command):
    sim = kx5180_sim(units=2, baud=0)
    code, out, err = kx5180(command, sim.port)
    assert (code, out) == (1, "")
    assert "no supply answered" in err and f"PORT@ADDRESS (kx5180 scan {sim.port} finds them)" in err


@pytest.mark.parametrize(
    "args, message",
    [
        (["status", "{port}@255"], "{port}@255: address 255 is the broadcast address"),
        (["status", "{port}@256"], "{port}@256: a bus address is 0..254, not 256"),
        (["status", "{port}@x"], "{port}@x: the address after @ must be a number 0..254"),
        (["status", "@3"], "@3: the port name before @ is empty"),
        (["scan", "{port}@2"], "scan: give the PORT alone, not {port}@2"),
        (["scan", "{port}", "--addresses", "250-255"], "--addresses: address 255 is the broadcast address"),
        (["scan", "{port}", "--addresses", "9-3"], "--addresses: the range 9-3 runs backwards"),
        (["scan", "{port}", "--addresses", "1,,2"], "--addresses: '' is not an address or a range A-B"),
    ],
)
def test_bad_addresses_are_usage_errors_and_send_nothing(kx5180_sim, args, message):
    sim = kx5180_sim(units=2, baud=0)
    code, out, err = kx5180(*[a.format(port=sim.port) for a in args])
    assert (code, out) == (2, "")
    assert err.startswith("kx5180: " + message.format(port=sim.port))
    assert err.count("\n") == 1
    assert sim.frames() == []


def test_at_address_picks_a_unit_of_a_simulated_bus():
    sim = ["sim", "--units", "3", "--baud", "0"]
    code, out, err = kx5180(*sim, "--", "set", "@2", "--voltage", "3.3", "--", "status", "@2", "--json")
    assert (code, err) == (0, "")
    status = json.loads(out.splitlines()[-1])
    assert status["port"].endswith("@2") and status["voltage_set_v"] == 3.3
