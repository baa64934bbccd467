"""The kx5180 command line, run as a real program against kx5180-sim."""

import csv
import importlib.util
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import sysconfig
import time
import types

import pytest
import serial

from conftest import DEFAULT_SIGNALS
from kx5180_lab import cli
from kx5180_lab.cli.log import CSV_FIELDS
from kx5180_lab.records import STATUS_FIELDS
from kx5180_lab.simulator import find_simulator

SCRIPTS = sysconfig.get_path("scripts")
KX = os.path.join(SCRIPTS, "kx5180") if os.path.exists(os.path.join(SCRIPTS, "kx5180")) else shutil.which("kx5180")
pytestmark = pytest.mark.skipif(
    KX is None or find_simulator() is None or shutil.which("lsof") is None, reason="needs kx5180, kx5180-sim and lsof"
)
STATUS_KEYS = ["port", "timestamp", *STATUS_FIELDS]


def kx(*args, timeout=30):
    return subprocess.run([KX, *map(str, args)], capture_output=True, text=True, timeout=timeout)


def spawn(*args):
    return subprocess.Popen(
        [KX, *map(str, args)], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, preexec_fn=DEFAULT_SIGNALS
    )


def one_line_error(result, code):
    assert result.returncode == code, (result.stdout, result.stderr)
    lines = result.stderr.splitlines()
    assert len(lines) == 1 and lines[0].startswith("kx5180: "), result.stderr
    return lines[0]


def frame(*head):
    data = list(head) + [0] * (25 - len(head))
    return " ".join(f"{b:02X}" for b in data + [sum(data) & 0xFF])


def state(port):
    r = kx("status", port, "--json")
    assert r.returncode == 0, r.stderr
    return json.loads(r.stdout)


def test_ports_lists_and_sends_nothing(sim):
    r = kx("--trace", "ports", "--json")
    assert r.returncode == 0 and r.stderr == ""
    keys = {"device", "description", "hwid", "by_id", "serial_number"}
    assert all(set(json.loads(p)) == keys for p in r.stdout.splitlines())
    time.sleep(0.2)
    assert sim.log() == []


@pytest.mark.skipif(sys.platform == "win32", reason="a symlink needs privileges on Windows")
def test_ports_opens_no_port_and_shows_the_stable_name(monkeypatch, capsys, tmp_path):
    from serial.tools import list_ports, list_ports_common

    from kx5180_lab.cli import ports

    opened = []
    monkeypatch.setattr(serial, "Serial", lambda *a, **k: opened.append(a))
    device = tmp_path / "ttyUSB0"
    device.touch()
    adapter = list_ports_common.ListPortInfo(str(device), skip_link_detection=True)
    adapter.serial_number = "A50285BI"
    monkeypatch.setattr(list_ports, "comports", lambda: [adapter])
    monkeypatch.setattr(ports, "BY_ID", str(tmp_path / "by-id"))
    (tmp_path / "by-id").mkdir()
    stable = tmp_path / "by-id" / "usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0"
    stable.symlink_to("../ttyUSB0")
    assert cli.main(["ports", "--json"]) == 0
    [shown] = [json.loads(line) for line in capsys.readouterr().out.splitlines()]  # one object a line
    assert (shown["device"], shown["by_id"], shown["serial_number"]) == (str(device), str(stable), "A50285BI")
    assert cli.main(["ports"]) == 0
    table = capsys.readouterr().out.splitlines()
    assert "A50285BI" in table[1] and table[2].strip() == str(stable)
    assert opened == []


@pytest.mark.parametrize("command", ["identify", "status"])
def test_identify_and_status_as_table_and_json(sim, command):
    table, as_json = kx(command, sim.port), kx(command, sim.port, "--json")
    assert table.returncode == as_json.returncode == 0 and table.stderr == as_json.stderr == ""
    data = json.loads(as_json.stdout)
    rows = dict(re.split(r"\s{2,}", line, maxsplit=1) for line in table.stdout.splitlines())
    assert re.fullmatch(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}\+00:00", data.pop("timestamp"))
    if command == "identify":
        assert data == {
            "port": sim.port,
            "model": "5180",
            "serial_number": "518000001",
            "software_version": 373,
            "address": 1,
        }
        assert rows["serial number"] == "518000001"
    else:
        assert list(data) == ["port", *STATUS_FIELDS]
        assert (data["voltage_set_v"], data["output_on"], data["remote"], data["mode"]) == (
            5.0,
            False,
            False,
            "unregulated",
        )
        assert (rows["voltage setpoint"], rows["output"], rows["regulation"]) == ("5.000 V", "off", "unregulated")
    # Reading changes nothing: no remote, no output command went out.
    assert {f.split()[2] for f in sim.frames("rx")} <= {"31", "26"}


def test_set_then_status(sim):
    r = kx("set", sim.port, "--voltage", "3.3", "--current", "0.2", "--ceiling", "12", "--output", "on", "--verify")
    assert r.returncode == 0, r.stderr
    assert r.stdout == "set ceiling 12.000 V, current 0.200 A, voltage 3.300 V, output on; verified\n"
    st = state(sim.port)
    assert (st["voltage_set_v"], st["current_set_a"], st["ceiling_v"], st["output_on"], st["remote"]) == (
        3.3,
        0.2,
        12.0,
        True,
        True,
    )
    assert (st["mode"], st["current_a"]) == ("CC", 0.2)  # 0.33 A wanted by 10 ohm
    assert kx("set", sim.port, "--output", "off", "--local").returncode == 0
    assert (state(sim.port)["output_on"], state(sim.port)["remote"]) == (False, False)
    sent = len(sim.frames("rx"))
    above = kx("set", sim.port, "--voltage", "5000")  # the ceiling is 12 V now
    assert "voltage 5000.000 V is above the unit's ceiling 12.000 V; nothing was sent" in one_line_error(above, 2)
    sim.wait_for(lambda lines: len(sim.frames("rx")) >= sent + 2)
    assert sim.frames("rx")[sent:] == [frame(0xAA, 0xFF, 0x31), frame(0xAA, 1, 0x26)]  # who, and the ceiling


@pytest.mark.parametrize(
    "args, message",
    [
        (["set", "--voltage", "33", "--max-voltage", "5"], "voltage 33 V is above the limit max_voltage=5.000 V"),
        (["set", "--voltage", "3", "--current", "2", "--max-current", "1"], "current 2 A is above the limit"),
        (["set", "--ceiling", "-1"], "ceiling -1 V is negative"),
        (["set", "--voltage", "5", "--max-voltage", "4.9995"], "voltage 5 V is above the limit max_voltage=4.999 V"),
        (["ramp", "--to", "9", "--step", "1", "--rate", "1", "--max-voltage", "5"], "voltage 9 V is above the limit"),
        (["ramp", "--to", "3", "--step", "0", "--rate", "1"], "ramp step must be a number > 0"),
    ],
)
def test_refused_values_exit_2_with_nothing_on_the_wire(sim, args, message):
    r = kx(args[0], sim.port, *args[1:])
    assert message in one_line_error(r, 2)
    time.sleep(0.2)
    assert sim.log() == []  # the port was not even opened


@pytest.mark.parametrize(
    "args, message",
    [
        ([], "required: COMMAND"),
        (["set", "PORT"], "give at least one of"),
        (["status"], "status: give a PORT (or --sim)"),
        (["set", "PORT", "--output", "maybe"], "give on or off"),
        (["status", "PORT", "--watch", "0"], "--watch needs"),
        (["ramp", "PORT", "--to", "1"], "required: --step, --rate"),
        (["status", "PORT", "--sim"], "either PORT or --sim"),
        (["sim", "--", "status", "PORT"], "give it no PORT"),
        # No unit is spoken to: the options for the line are not offered.
        (["plot", "run.csv", "-o", "run.png", "--sim"], "unrecognized arguments: --sim"),
        (["ports", "--trace"], "unrecognized arguments: --trace"),
        (["ports", "--capture", "run.jsonl"], "unrecognized arguments: --capture"),
    ],
)
def test_bad_usage_exits_2(args, message):
    r = kx(*args)
    assert r.returncode == 2 and message in r.stderr, r.stderr


@pytest.mark.parametrize(
    "sim_args, message",
    [
        (["--model", "5100"], "unsupported model '5100'"),
        (["--fault", "silent"], "no supply answered"),
        (["--fault", "silent", "--fault-nth", "2"], "no answer to the status request"),
    ],
)
def test_a_supply_that_fails_exits_1(kx5180_sim, sim_args, message):
    with kx5180_sim(baud=0, extra_args=sim_args) as s:
        assert message in one_line_error(kx("status", s.port), 1)


def test_a_set_that_fails_halfway_leaves_the_unit_off_and_says_so(kx5180_sim):
    # Replies: identity, the ceiling, remote, voltage, then the 5th, to "output on", is lost.
    with kx5180_sim(baud=0, faults=("silent",), fault_nth=5) as s:
        line = one_line_error(kx("set", s.port, "--voltage", "3", "--output", "on"), 1)
        assert line.endswith(
            "no answer to output on (it may or may not have been applied); output switched off, front panel in control"
        )
        assert (state(s.port)["output_on"], state(s.port)["remote"]) == (False, False)


def test_missing_and_busy_ports_exit_1(sim, tmp_path):
    missing = one_line_error(kx("identify", "/dev/kx5180-nowhere"), 1)
    assert "cannot open /dev/kx5180-nowhere" in missing and missing.endswith("(kx5180 ports lists the serial ports)")
    one_line_error(kx("log", "/dev/kx5180-nowhere", "--csv", tmp_path / "run.csv"), 1)
    assert list(tmp_path.iterdir()) == []  # no supply, no empty log left behind
    with serial.Serial(sim.port):
        assert f"{sim.port} is in use by python" in one_line_error(kx("identify", sim.port), 1)


def test_verify_catches_a_setting_the_unit_did_not_apply(kx5180_sim):
    with kx5180_sim(baud=0, faults=("ignore",)) as s:
        line = one_line_error(kx("set", s.port, "--voltage", "3", "--verify"), 1)
        assert "voltage reads back 5.000 V, 3.000 V was sent" in line
        assert state(s.port)["output_on"] is False


def wait_until(check, timeout=10.0):
    deadline = time.monotonic() + timeout
    while not check():
        assert time.monotonic() < deadline, "timed out"
        time.sleep(0.02)


def test_a_ramp_interrupted_by_sigint_stops_at_an_acknowledged_value(sim):
    assert kx("set", sim.port, "--voltage", "1", "--output", "on").returncode == 0
    proc = spawn("ramp", sim.port, "--to", "20", "--step", "0.1", "--rate", "2")
    try:
        acks = lambda: sum(" tx AA 01 12 23 80" in line for line in sim.log())  # noqa: E731
        wait_until(lambda: acks() >= 4)
        proc.send_signal(signal.SIGINT)
        out, err = proc.communicate(timeout=10)
    finally:
        if proc.poll() is None:
            proc.kill()
    assert proc.returncode == 130, err
    # A step on the wire when the signal came is settled by reading it back.
    how = (
        r"the last acknowledged setpoint|read back after the interruption; the last acknowledged setpoint was [\d.]+ V"
    )
    stopped = float(re.search(rf"ramp interrupted at (\d+\.\d{{3}}) V \(({how})\)", err).group(1))
    assert "output switched off, front panel in control" in err and len(err.splitlines()) == 1
    st = state(sim.port)
    assert st["voltage_set_v"] == stopped and 1.3 <= stopped < 20
    assert (st["output_on"], st["remote"]) == (False, False)


@pytest.mark.slow
def test_log_writes_every_status_field_for_the_duration_and_plots(sim, tmp_path):
    pytest.importorskip("matplotlib")
    from matplotlib.image import imread

    out, png = tmp_path / "run.csv", tmp_path / "run.png"
    r = kx("log", sim.port, "--interval", "0.2", "--duration", "1", "--csv", out, "--plot", png)
    assert r.returncode == 0, r.stderr
    assert r.stdout == f"6 rows written to {out}\nplot written to {png}\n"
    with open(out, newline="") as f:
        rows = list(csv.reader(f))
    assert rows[0] == ["time_s", "timestamp", *STATUS_FIELDS, "energy_wh", "charge_ah", "on_s"]
    assert len(rows) == 1 + 6  # readings at 0, 0.2, ... 1.0 s
    times = [float(row[0]) for row in rows[1:]]
    assert times == sorted(times) and 0.9 <= times[-1] < 1.5
    assert imread(str(png)).shape[:2] == (560, 1000)
    again = kx("plot", out, "-o", tmp_path / "again.png")
    assert again.returncode == 0 and again.stdout.endswith("(1000x560)\n")


@pytest.mark.parametrize(
    "now, slot",
    [
        (0.05, 1),  # on time: the next slot, in 0.05 s
        (0.15, 1),  # late, but before the slot after it: read at once
        (0.35, 3),  # slow past two slots: they are skipped, not read in a burst of three
    ],
)
def test_a_late_reading_costs_the_slots_it_missed(monkeypatch, now, slot):
    from kx5180_lab.cli import shared
    from kx5180_lab.instrument import schedule

    monkeypatch.setattr(schedule, "time", types.SimpleNamespace(monotonic=lambda: 100.0 + now))
    assert shared.next_slot(100.0, 0, 0.1) == slot


def test_ctrl_c_ends_a_log_and_keeps_every_row(sim, tmp_path):
    out = tmp_path / "run.csv"
    proc = spawn("log", sim.port, "--interval", "0.05", "--csv", out)
    try:
        wait_until(lambda: out.exists() and out.read_text().count("\n") >= 5)
        proc.send_signal(signal.SIGINT)
        stdout, err = proc.communicate(timeout=10)
    finally:
        if proc.poll() is None:
            proc.kill()
    assert proc.returncode == 0 and err == "", err
    written = int(stdout.split()[0])
    lines = out.read_text().splitlines()
    assert written >= 4 and len(lines) == 1 + written and lines[-1].count(",") == len(CSV_FIELDS) - 1


def test_log_reconnect_keeps_every_row_across_a_drop_and_marks_the_gap(kx5180_sim, tmp_path):
    link, out = tmp_path / "ttyUSB0", tmp_path / "run.csv"
    sim = kx5180_sim(baud=0, extra_args=["--link", str(link)])
    proc = spawn("log", link, "--interval", "0.05", "--csv", out, "--reconnect")
    try:
        wait_until(lambda: out.exists() and out.read_text().count("\n") >= 5)
        sim.stop()  # the adapter pulled
        wait_until(lambda: "line lost" in out.read_text())
        kx5180_sim(baud=0, extra_args=["--link", str(link)])  # and plugged in again
        wait_until(lambda: out.read_text().partition("line back")[2].count("\n") >= 4)
        proc.send_signal(signal.SIGINT)
        stdout, err = proc.communicate(timeout=10)
    finally:
        if proc.poll() is None:
            proc.kill()
    with open(out, newline="") as f:
        rows = list(csv.reader(f))
    assert rows[0] == [*CSV_FIELDS, "note"]
    notes = [row[-1].split(":")[0].split(" after")[0] for row in rows[1:]]
    gap = notes.index("line lost")
    assert gap >= 4 and notes == [""] * gap + ["line lost", "line back"] + [""] * (len(notes) - gap - 2)
    readings = rows[1 : 1 + gap] + rows[2 + gap :]
    assert set(rows[1 + gap][2:-1]) == {""} and all(row[2] and len(row) == len(rows[0]) for row in readings)
    times = [float(row[0]) for row in rows[1:]]
    assert times == sorted(times)
    written = len(rows) - 2  # every reading, before and after, and the gap's row
    assert proc.returncode == 1 and stdout.startswith(f"{written} rows written to {out} (1 gap marked)"), stdout
    told = err.splitlines()
    assert len(told) == 2 and "reconnecting" in told[0] and "back (model 5180 SN 518000001), output off" in told[1]
    if importlib.util.find_spec("matplotlib"):  # the plot reads past the gap
        assert kx("plot", out, "-o", tmp_path / "run.png").returncode == 0


def test_status_watch_until_ctrl_c(sim):
    proc = spawn("status", sim.port, "--watch", "0.05", "--json")
    try:
        seen = [json.loads(proc.stdout.readline()) for _ in range(3)]
        proc.send_signal(signal.SIGINT)
        proc.communicate(timeout=10)
    finally:
        if proc.poll() is None:
            proc.kill()
    # the counters since the start come after the status fields
    assert proc.returncode == 0 and all(list(s) == [*STATUS_KEYS, "energy_wh", "charge_ah", "on_s"] for s in seen)


def test_plot_hint_without_matplotlib_and_bad_input(tmp_path, monkeypatch, capsys):
    good = tmp_path / "ok.csv"
    good.write_text(",".join(CSV_FIELDS) + "\n0.0,t,1,0.1,1,1,30,1,0,CV,0,1\n")
    monkeypatch.setitem(sys.modules, "matplotlib", None)  # as if not installed
    assert cli.main(["plot", str(good), "-o", str(tmp_path / "x.png")]) == 1
    assert capsys.readouterr().err == "kx5180: plotting needs matplotlib: pip install 'kx5180[plot]'\n"
    assert cli.main(["log", "PORT", "--csv", str(tmp_path / "y.csv"), "--plot", "y.png"]) == 1  # before logging
    assert not (tmp_path / "y.csv").exists()
    bad = tmp_path / "bad.csv"
    bad.write_text("a,b\n1,2\n")
    assert cli.main(["plot", str(bad), "-o", str(tmp_path / "x.png")]) == 2
    assert "not a kx5180 log" in capsys.readouterr().err


LINES = ["voltage", "voltage setpoint", "current", "current limit"]


@pytest.mark.parametrize(
    "modes, hot, legend",
    [
        ("CV CV CV", "0 0 0", [*LINES, "CV"]),
        ("CV CC XX", "0 0 1", [*LINES, "CV", "CC", "over-temperature", "over-temperature reading"]),
    ],
)
@pytest.mark.parametrize("exact_rows", [20_000, 2], ids=["reading by reading", "in buckets"])
def test_the_plot_legend_lists_what_the_plot_shows(tmp_path, monkeypatch, modes, hot, legend, exact_rows):
    pytest.importorskip("matplotlib")
    from matplotlib.axes import Axes

    from kx5180_lab import plot

    monkeypatch.setattr(plot, "EXACT_ROWS", exact_rows)
    shown, real = [], Axes.legend
    monkeypatch.setattr(
        Axes, "legend", lambda ax, **kw: shown.append([h.get_label() for h in kw["handles"]]) or real(ax, **kw)
    )
    rows = [f"{t}.0,t,1,0.1,1,1,30,1,{h},{m},0,1" for t, (m, h) in enumerate(zip(modes.split(), hot.split()))]
    (tmp_path / "run.csv").write_text(",".join(CSV_FIELDS) + "\n" + "\n".join(rows) + "\n")
    assert cli.main(["plot", str(tmp_path / "run.csv"), "-o", str(tmp_path / "run.png")]) == 0
    assert shown == [legend]


def test_trace_shows_the_exact_frames(sim):
    r = kx("--trace", "set", sim.port, "--voltage", "1.222")
    assert r.returncode == 0, r.stderr
    trace = [line.split(" ", 3) for line in r.stderr.splitlines()]
    assert all(re.fullmatch(r"\d\d:\d\d:\d\d\.\d{6}", t[0]) and t[2] == sim.port for t in trace)
    sim.wait_for(lambda lines: len(sim.frames("tx")) >= 4)
    assert [t[3] for t in trace if t[1] == "tx"] == sim.frames("rx")
    assert [t[3] for t in trace if t[1] == "rx"] == sim.frames("tx")
    assert [t[3] for t in trace if t[1] == "tx"] == [
        frame(0xAA, 0xFF, 0x31),
        frame(0xAA, 1, 0x26),  # the ceiling, before anything changes
        frame(0xAA, 1, 0x20, 1),
        frame(0xAA, 1, 0x23, 0xC6, 0x04),
    ]


@pytest.mark.parametrize(
    "args, check",
    [
        (
            ["status", "--sim", "--sim-args", "--baud 0 --load-ohms 5", "--json"],
            lambda o: json.loads(o)["voltage_set_v"] == 5.0,
        ),
        (
            ["sim", "--baud", "0", "--model", "5181", "--", "identify", "--json"],
            lambda o: json.loads(o)["model"] == "5181",
        ),
        (
            ["sim", "--baud", "0", "--", "set", "--voltage", "2", "--output", "on", "--", "status", "--json"],
            lambda o: json.loads(o.splitlines()[-1])["voltage_v"] == 2.0,
        ),
    ],
)
def test_every_command_runs_against_a_simulated_supply(args, check):
    r = kx(*args)
    assert r.returncode == 0 and check(r.stdout), (r.stdout, r.stderr)


@pytest.mark.parametrize(
    "command",
    ["", "ports", "identify", "status", "set", "ramp", "log", "run", "charge", "plot", "selftest", "serve", "sim"],
)
def test_help_everywhere(command):
    r = kx(*([command] if command else []), "--help")
    assert r.returncode == 0 and "usage: kx5180" in r.stdout


LOADED = """
import sys
from kx5180_lab.cli import main
try:
    main(sys.argv[1:])
except SystemExit:
    pass
heavy = ("asyncio", "importlib.metadata", "matplotlib", "kx5180_lab.cli.log", "kx5180_lab.serve.server",
         "serial.rfc2217", "kx5180")
print(" ".join(name for name in heavy if name in sys.modules))
"""


@pytest.mark.parametrize(
    "args, loaded",
    [
        (["--help"], ""),
        (["--version"], ""),
        (["status", "--help"], ""),
        (["serve", "--help"], ""),
        (["status", "/dev/kx5180-nowhere"], "kx5180"),  # the driver, and nothing of the server's
    ],
)
def test_a_command_loads_only_what_it_uses(args, loaded):
    r = subprocess.run([sys.executable, "-c", LOADED, *args], capture_output=True, text=True, timeout=60)
    assert r.stdout.splitlines()[-1] == loaded, r.stderr


CSV_HEAD = ",".join(CSV_FIELDS) + "\n"


@pytest.mark.parametrize(
    "args, code, message",
    [
        (["log", "PORT", "--csv", "/dev/full"], 2, "cannot write /dev/full: No space left on device"),
        (["log", "PORT", "--csv", "{tmp}/run.csv", "--plot", "{tmp}/nowhere/run.png"], 2, "does not exist"),
        (["status", "PORT", "--watch", "1e300"], 2, "--watch needs a number of seconds > 0 and at most"),
        (["log", "PORT", "--csv", "{tmp}/run.csv", "--interval", "1e300"], 2, "--interval needs"),
        (["ramp", "PORT", "--to", "5", "--step", "0.1", "--rate", "1e-300"], 2, "longer than a day; nothing was sent"),
        (["plot", "{tmp}/binary.csv", "-o", "{tmp}/x.png"], 2, "binary.csv: not a kx5180 log"),
        (["plot", "{tmp}/nan.csv", "-o", "{tmp}/x.png"], 2, "line 2: 'nan' is not a finite number"),
        (["plot", "{tmp}/ok.csv", "-o", "{tmp}/nowhere/x.png"], 2, "-o: the folder {tmp}/nowhere does not exist"),
        (["set", "PORT", "--voltage", "nan"], 2, "'nan' is not a plain decimal number"),
        (["set", "PORT", "--voltage", "inf"], 2, "'inf' is not a plain decimal number"),
        (["set", "PORT", "--voltage", "1_0"], 2, "'1_0' is not a plain decimal number"),
        (["set", "PORT", "--voltage", "\u0661\u0660"], 2, "is not a plain decimal number"),  # Arabic-Indic 10
        (["set", "PORT", "--current", "\uff10.5"], 2, "is not a plain decimal number"),  # fullwidth 0
        (["set", "PORT", "--voltage", "0x10"], 2, "'0x10' is not a plain decimal number"),
        (["set", "PORT", "--voltage", " 5"], 2, "' 5' is not a plain decimal number"),
        (["set", "PORT", "--voltage", "1e400"], 2, "1e400 is too large"),
        (["set", "PORT", "--voltage", "3", "--max-voltage", "5_0"], 2, "'5_0' is not a plain decimal number"),
        (["ramp", "PORT", "--to", "3", "--step", "1", "--rate", "NaN"], 2, "'NaN' is not a plain decimal number"),
        (["status", "PORT", "--watch", "1_0"], 2, "'1_0' is not a plain decimal number"),
        (["log", "PORT", "--interval", "infinity", "--csv", os.devnull], 2, "'infinity' is not a plain decimal number"),
        (["status", "/dev/kx5180-nowhere"], 1, "No such file or directory: '/dev/kx5180-nowhere' (kx5180 ports lists"),
    ],
)
def test_bad_input_is_one_line_and_sends_nothing(kx5180_sim, tmp_path, args, code, message):
    if "/dev/full" in args and not os.path.exists("/dev/full"):
        pytest.skip("no /dev/full here")
    if args[0] == "plot" or "--plot" in args:
        pytest.importorskip("matplotlib")
    sim = kx5180_sim(baud=0)
    (tmp_path / "binary.csv").write_bytes(bytes(range(256)) * 8)
    (tmp_path / "nan.csv").write_text(CSV_HEAD + "0.0,t,nan,0.1,1,1,30,1,0,CV,0,1\n")
    (tmp_path / "ok.csv").write_text(CSV_HEAD + "0.0,t,1,0.1,1,1,30,1,0,CV,0,1\n")
    r = kx(*(a.replace("PORT", sim.port).replace("{tmp}", str(tmp_path)) for a in args))
    assert message.replace("{tmp}", str(tmp_path)) in one_line_error(r, code)
    time.sleep(0.2)
    assert sim.log() == []


@pytest.mark.parametrize(
    "how, signum",
    [("ramp", signal.SIGTERM), ("script", signal.SIGTERM), ("script", getattr(signal, "SIGHUP", signal.SIGTERM))],
)
def test_a_stop_signal_leaves_the_unit_off_and_local(kx5180_sim, tmp_path, how, signum):
    sim = kx5180_sim(baud=0)
    assert kx("set", sim.port, "--voltage", "1", "--output", "on").returncode == 0
    if how == "ramp":
        proc = spawn("ramp", sim.port, "--to", "20", "--step", "0.1", "--rate", "2")
        ready = lambda: sum(" tx AA 01 12 23 80" in line for line in sim.log()) >= 3  # noqa: E731
    else:
        script = tmp_path / "script.py"
        script.write_text(
            "import time\nfrom kx5180_lab import Supply\n"
            f"with Supply({sim.port!r}) as psu:\n"
            "    psu.set(voltage=2, current=0.2)\n    psu.output(True)\n"
            "    print('on', flush=True)\n    time.sleep(60)\n"
        )
        proc = subprocess.Popen(
            [sys.executable, script],
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            text=True,
            preexec_fn=DEFAULT_SIGNALS,
        )
        ready = lambda: proc.stdout.readline() == "on\n"  # noqa: E731
    try:
        wait_until(ready)
        proc.send_signal(signum)
        _, err = proc.communicate(timeout=10)
    finally:
        if proc.poll() is None:
            proc.kill()
    assert proc.returncode == 128 + signum, err
    assert len(err.splitlines()) == 1 and "Traceback" not in err, err
    assert signal.Signals(signum).name in err and err.rstrip().endswith("output switched off, front panel in control")
    st = state(sim.port)
    assert (st["output_on"], st["remote"]) == (False, False)


def test_a_simulator_never_outlives_the_process_that_started_it(tmp_path):
    script = tmp_path / "starter.py"
    script.write_text(
        "import time\nfrom kx5180_lab import Simulator\n"
        "sim = Simulator(baud=0).start()\nprint(sim.pid, flush=True)\ntime.sleep(60)\n"
    )
    with subprocess.Popen([sys.executable, script], stdout=subprocess.PIPE, text=True) as proc:
        try:
            pid = int(proc.stdout.readline())
        finally:
            proc.kill()
    # Not our child: once it exits, whoever adopted it reaps it.
    wait_until(lambda: not os.path.exists(f"/proc/{pid}") if os.path.isdir("/proc") else _gone(pid))


def _gone(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return True
    return False


@pytest.mark.parametrize(
    "args, progress",
    [
        (
            ["log", "--interval", "0.05", "--csv", "{csv}"],
            lambda out, csv_path: csv_path.exists() and csv_path.read_text().count("\n") >= 4,
        ),
        (["status", "--watch", "0.05", "--json"], lambda out, csv_path: bool(out.readline()) and bool(out.readline())),
        (["ramp", "--to", "20", "--step", "0.1", "--rate", "2"], None),
    ],
)
def test_a_dying_line_is_one_line_exit_1_and_keeps_the_rows(kx5180_sim, tmp_path, args, progress):
    sim = kx5180_sim(baud=0)
    csv_path = tmp_path / "run.csv"
    proc = spawn(args[0], sim.port, *(a.replace("{csv}", str(csv_path)) for a in args[1:]))
    try:
        if progress is None:
            wait_until(lambda: sum(" tx AA 01 12 23 80" in line for line in sim.log()) >= 3)
        else:
            wait_until(lambda: progress(proc.stdout, csv_path))
        os.kill(sim.pid, signal.SIGKILL)  # as an adapter pulled out
        stdout, err = proc.communicate(timeout=10)
    finally:
        if proc.poll() is None:
            proc.kill()
    result = subprocess.CompletedProcess(args, proc.returncode, stdout, err)
    assert "the line failed" in one_line_error(result, 1)
    if args[0] == "log":
        written = int(re.match(r"(\d+) rows written to ", stdout).group(1))
        assert written >= 3 and csv_path.read_text().count("\n") == 1 + written


@pytest.fixture
def ser2net(sim, tmp_path):
    """ser2net on loopback in front of the simulated supply: an RFC 2217
    accepter and a raw TCP one, as {"rfc2217": URL, "socket": URL}."""
    if shutil.which("ser2net") is None:
        pytest.skip("needs ser2net (apt-get install ser2net; scripts/test.sh installs it as root)")
    import socket

    def free_port():
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            return s.getsockname()[1]

    rfc2217, raw = free_port(), free_port()
    config = tmp_path / "ser2net.yaml"
    config.write_text(
        f"connection: &rfc2217\n  accepter: telnet(rfc2217),tcp,127.0.0.1,{rfc2217}\n"
        f"  connector: serialdev,{sim.port},4800n81,local\n"
        f"connection: &raw\n  accepter: tcp,127.0.0.1,{raw}\n  connector: serialdev,{sim.port},4800n81,local\n"
    )
    proc = subprocess.Popen(
        ["ser2net", "-n", "-c", str(config), "-P", str(tmp_path / "pid")],
        stdout=subprocess.DEVNULL,
        stderr=subprocess.DEVNULL,
        # ser2net is no part of what a sanitizer run checks, and the
        # sanitizer runtime preloaded into it keeps it from starting.
        env={k: v for k, v in os.environ.items() if k != "LD_PRELOAD"},
    )
    try:
        deadline = time.monotonic() + 10
        for port in (rfc2217, raw):
            while True:  # listening once a connection is taken (and let go at once)
                try:
                    socket.create_connection(("127.0.0.1", port), timeout=1).close()
                    break
                except OSError:
                    assert proc.poll() is None and time.monotonic() < deadline, "ser2net did not start"
                    time.sleep(0.05)
        yield {"rfc2217": f"rfc2217://127.0.0.1:{rfc2217}", "socket": f"socket://127.0.0.1:{raw}"}
    finally:
        proc.terminate()
        try:
            proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()


@pytest.mark.parametrize("kind", ["rfc2217", "socket"])
def test_a_line_through_ser2net(ser2net, kind):
    from kx5180_lab import Supply

    url = ser2net[kind]
    r = kx("status", url, "--json")
    assert r.returncode == 0, r.stderr
    assert json.loads(r.stdout)["port"] == url
    with Supply(url) as psu:
        psu.set(voltage=2.5, current=0.25)
        assert (psu.status().voltage_set_v, psu.status().current_set_a) == (2.5, 0.25)
        # ser2net lets one client in: the next one is told so, in one line.
        refused = one_line_error(kx("status", url), 1)
        assert f"cannot open {url}: the far end closed the connection" in refused
    assert state(url)["voltage_set_v"] == 2.5
