"""Learning from real units: a captured session served again by
kx5180-sim --replay, the self-test, the late window and strict replies."""

import json
import signal
import subprocess
import sys

import pytest

simulator = pytest.importorskip("kx5180_lab.simulator")
pytest_plugins = ["pytester"]
pytestmark = pytest.mark.skipif(simulator.find_simulator() is None, reason="needs kx5180-sim")

from conftest import DEFAULT_SIGNALS  # noqa: E402
from kx5180_lab import Supply  # noqa: E402
from kx5180_lab.capture import read_capture  # noqa: E402


def kx5180(*args, cwd=None):
    return subprocess.run(
        [sys.executable, "-m", "kx5180_lab.cli", *args], capture_output=True, text=True, timeout=120, cwd=cwd
    )


def unit_state(port):
    with Supply(port, remote=False, keep_on_exit=True) as psu:
        st = psu.status()
    return st.output_on, st.remote, st.voltage_set_v, st.current_set_a, st.ceiling_v


AS_FOUND = (False, False, 5.0, 1.0, 30.0)


def test_a_captured_session_replayed_gives_the_same_output(kx5180_sim, kx5180_replay, tmp_path):
    # A late reply, a silence and a straggler dropped by the late window are
    # all in the session. The reply comes well past the driver's own 0.6 s,
    # which a busy machine stretches (it counts polls), and well inside the
    # second after it.
    link = str(tmp_path / "ttyKX")
    sim = kx5180_sim(faults=["late", "silent"], fault_every=2, extra_args=["--link", link, "--late-ms", "1200"])
    capture = tmp_path / "session.jsonl"
    argv = ["log", link, "--interval", "0.5", "--duration", "1.0", "--csv", str(tmp_path / "log.csv")]
    live = kx5180("--capture", str(capture), *argv)
    sim.stop()
    header, events = read_capture(capture)
    assert (header["port"], header["line"]["baud"]) == (link, 4800)
    kinds = {e["event"] for e in events}
    assert {"tx", "rx", "identity", "no_reply", "settle"} <= kinds, kinds
    assert "readings missed" in live.stdout

    kx5180_replay(capture, extra_args=["--link", link])
    again = kx5180(*argv)
    assert (again.returncode, again.stdout, again.stderr) == (live.returncode, live.stdout, live.stderr)


@pytest.mark.parametrize("match, status, differs", [("frame", 1, True), ("command", 0, False)])
def test_replay_reports_a_frame_that_differs_from_the_recording(kx5180_sim, tmp_path, match, status, differs):
    link = str(tmp_path / "ttyKX")
    sim = kx5180_sim(baud=0, extra_args=["--link", link])
    capture = tmp_path / "session.jsonl"
    assert kx5180("--capture", str(capture), "status", link).returncode == 0
    sim.stop()
    # The recording's status request goes to another address.
    lines = capture.read_text().splitlines()
    status_request = next(i for i, line in enumerate(lines) if '"hex": "aa0126' in line)
    lines[status_request] = lines[status_request].replace('"hex": "aa0126', '"hex": "aa0226')
    capture.write_text("\n".join(lines) + "\n")

    replay = kx5180_sim(extra_args=["--link", link, "--replay", str(capture), "--replay-match", match])
    result = kx5180("status", link)
    assert replay.stop() == status
    assert (result.returncode != 0) == differs
    assert any("differs from the recording" in line for line in replay.log()) == differs


@pytest.mark.parametrize(
    "sim_args, status, failing",
    [
        ((), 0, []),
        # the 6th reply acknowledges the nearby voltage without applying it
        (("--fault", "ignore", "--fault-nth", "6"), 1, ["voltage set to a nearby value"]),
        # a reply lost in the middle of the reply-time reads
        (("--fault", "silent", "--fault-nth", "40"), 1, ["reply time"]),
    ],
)
def test_selftest_reports_and_leaves_the_unit_as_found(kx5180_sim, tmp_path, sim_args, status, failing):
    sim = kx5180_sim(baud=0, extra_args=list(sim_args))
    report_path = tmp_path / "report.json"
    result = kx5180("selftest", sim.port, "--reads", "20", "--report", str(report_path))
    assert result.returncode == status, result.stderr
    report = json.loads(report_path.read_text())
    assert report["passed"] == (status == 0)
    assert [c["name"] for c in report["checks"] if not c["passed"]] == failing
    assert report["replies"]["setting"]["command_word"] == "0x12"
    assert set(report["reply_time"]) >= {"min_s", "median_s", "p95_s", "max_s"}
    header, events = read_capture(tmp_path / "report.jsonl")
    assert header["port"] == sim.port and any(e["event"] == "identity" for e in events)
    assert unit_state(sim.port) == AS_FOUND


READS = ("--reads", "100000", "--with-output", "--max-voltage", "2", "--max-current", "0.2")


@pytest.mark.parametrize(
    "args, turnaround_ms, moment, signum, code",
    [
        # In the middle of the reply-time reads, after the setpoints were moved about.
        (READS, 2, lambda lines: sum(" rx AA 01 26" in line for line in lines) > 30, signal.SIGTERM, 143),
        # While it puts the unit back: the first output frame of a run without
        # --with-output, with the rest of the putting back still to come.
        (("--reads", "1"), 100, lambda lines: any(" rx AA 01 21" in line for line in lines), signal.SIGTERM, 143),
        (("--reads", "1"), 100, lambda lines: any(" rx AA 01 21" in line for line in lines), signal.SIGINT, 130),
    ],
    ids=["reads", "restore", "restore-ctrl-c"],
)  # fmt: skip
def test_selftest_stopped_by_a_signal_puts_the_unit_back(
    kx5180_sim, tmp_path, args, turnaround_ms, moment, signum, code
):
    sim = kx5180_sim(baud=0, extra_args=["--turnaround-ms", str(turnaround_ms)])
    proc = subprocess.Popen(
        [sys.executable, "-m", "kx5180_lab.cli", "selftest", sim.port, *args],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, cwd=tmp_path, preexec_fn=DEFAULT_SIGNALS,
    )  # fmt: skip
    sim.wait_for(moment, timeout=60)
    proc.send_signal(signum)
    out, err = proc.communicate(timeout=60)
    assert proc.returncode == code, err
    assert "Traceback" not in err and len(err.strip().splitlines()) == 1 and not err.startswith("kx5180: ;")
    report = json.loads((tmp_path / "kx5180-selftest.json").read_text())
    assert (report["interrupted"], report["passed"]) == (True, False)
    assert unit_state(sim.port) == AS_FOUND


def test_a_hardware_test_is_skipped_without_a_port_and_runs_with_one(pytester):
    pytester.makepyfile(
        "import pytest\n"
        "@pytest.mark.kx5180_hardware\n"
        "def test_unit(kx5180_port):\n"
        "    assert kx5180_port == '/dev/ttyFAKE'\n"
    )
    skipped = pytester.runpytest("-p", "no:cacheprovider", "-rs")
    skipped.assert_outcomes(skipped=1)
    skipped.stdout.fnmatch_lines(["*needs a real kx5180 unit: run pytest with --kx5180-port PORT*"])
    pytester.runpytest("-p", "no:cacheprovider", "--kx5180-port", "/dev/ttyFAKE").assert_outcomes(passed=1)
