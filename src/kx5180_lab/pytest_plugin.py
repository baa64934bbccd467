"""pytest plugin of the kx5180 distribution: test your own lab scripts
against a simulated supply.

Installing kx5180 registers it (entry point "pytest11"); the fixture
`kx5180_sim` is then available in every test suite, with nothing to
import. It is a factory: call it with the simulator's options, as often as
the test needs, and get a started `Simulator` back (`.port` is the path of
its pseudo-terminal, `.log()` its frame log, `.wait_for(text)` waits for a
line of it). Every simulator it started is stopped when the test ends,
passed or failed, and a failing test's report carries their logs.

    from kx5180_lab import Supply

    def test_my_script_sets_3v3(kx5180_sim):
        sim = kx5180_sim(load_ohms=33.0, baud=0)
        with Supply(sim.port, max_voltage=5.0) as psu:
            psu.set(voltage=3.3, current=0.2)
            psu.output(True)
            assert psu.status().voltage_v == 3.3

The options are those of `kx5180_lab.Simulator`: `baud` (default 4800; 0
answers at once, which makes tests fast), `load_ohms`, `units` (a count or
a list of addresses, several units on one line), `faults`, `fault_nth`,
`fault_every`, `fault_rate`, `seed` and `extra_args` (any other kx5180-sim
option). Where kx5180-sim is not installed (it needs pseudo-terminals,
so not on Windows) a test that asks for one is skipped. For one simulator
shared by a whole module, start a `Simulator` in a fixture of your own.
`pytest -p no:kx5180` turns the plugin off.

Real units and recorded sessions:

- `pytest --kx5180-port /dev/ttyUSB0` runs the tests marked
  `@pytest.mark.kx5180_hardware` against that unit (fixture `kx5180_port`
  gives its name); without the option they are skipped, with the reason.
- `kx5180_replay(path)` serves a session captured with
  `kx5180 --capture FILE` (or `Supply(capture=...)`) through
  `kx5180-sim --replay` and returns the running `Simulator`; when the test
  ends, a session that differed from the recording fails it. A user's
  captured session becomes a regression test:

      def test_bug_1234(kx5180_replay):
          sim = kx5180_replay("tests/captures/bug-1234.jsonl")
          with Supply(sim.port, remote=False, keep_on_exit=True) as psu:
              assert psu.status().voltage_set_v == 5.0
"""

from __future__ import annotations

import atexit
import weakref
from collections.abc import Callable, Generator, Iterator
from typing import Any

import pytest

# What a failing test's report shows of each simulator's log.
LOG_TAIL = 200

_SIMS_KEY = pytest.StashKey[list[Any]]()

HARDWARE_MARK = "kx5180_hardware"
NO_HARDWARE = "needs a real kx5180 unit: run pytest with --kx5180-port PORT"


def pytest_addoption(parser: pytest.Parser) -> None:
    group = parser.getgroup("kx5180")
    group.addoption(
        "--kx5180-port",
        metavar="PORT",
        default=None,
        help=f"run the tests marked {HARDWARE_MARK} against the unit on PORT (PORT@ADDRESS for one of several)",
    )


def pytest_configure(config: pytest.Config) -> None:
    config.addinivalue_line(
        "markers", f"{HARDWARE_MARK}: runs against a real unit; skipped unless pytest is given --kx5180-port PORT"
    )


def pytest_collection_modifyitems(config: pytest.Config, items: list[pytest.Item]) -> None:
    if config.getoption("kx5180_port", None):
        return
    skip = pytest.mark.skip(reason=NO_HARDWARE)
    for item in items:
        if item.get_closest_marker(HARDWARE_MARK) is not None:
            item.add_marker(skip)


@pytest.fixture
def kx5180_port(request: pytest.FixtureRequest) -> str:
    """The real unit's port given with --kx5180-port (the test is skipped
    without it)."""
    port = request.config.getoption("kx5180_port", None)
    if not port:
        pytest.skip(NO_HARDWARE)
    return str(port)


# Stopped at the latest when the interpreter exits, should a teardown never
# run (pytest killed by an exception of its own, for instance). The
# simulators run in a session of their own and would outlive pytest.
_running: weakref.WeakSet[Any] = weakref.WeakSet()


@atexit.register
def _stop_leftovers() -> None:
    for sim in list(_running):
        try:
            sim.stop()
        except Exception:
            pass


@pytest.fixture
def kx5180_sim(request: pytest.FixtureRequest) -> Iterator[Callable[..., Any]]:
    """Starts kx5180-sim with the given options and returns the running
    `Simulator` (`.port`, `.log()`, `.frames()`, `.wait_for()`); stops every
    one it started when the test ends, however it ends."""
    from .simulator import Simulator, SimulatorError, find_simulator

    started: list[Any] = []
    request.node.stash[_SIMS_KEY] = started

    def start(**options: Any) -> Any:
        if options.get("executable") is None and find_simulator() is None:
            pytest.skip("kx5180-sim is not installed here (it needs pseudo-terminals)")
        sim = Simulator(**options)
        started.append(sim)
        _running.add(sim)
        try:
            sim.start()
        except SimulatorError as e:
            pytest.fail(f"kx5180_sim: {e}", pytrace=False)
        return sim

    try:
        yield start
    finally:
        problems = []
        for sim in reversed(started):
            try:
                sim.stop()
            except Exception as e:  # keep stopping the others
                problems.append(f"{sim.port}: {e}")
            _running.discard(sim)
        if problems:
            pytest.fail("kx5180_sim: could not stop " + "; ".join(problems), pytrace=False)


@pytest.fixture
def kx5180_replay(kx5180_sim: Callable[..., Any]) -> Iterator[Callable[..., Any]]:
    """Serves a capture file through kx5180-sim --replay: call it with the
    path (`match="command"` compares command words only, `extra_args` such
    as ["--link", PATH] go to kx5180-sim) and get the
    running `Simulator`. The test fails when the session differed from the
    recording: a frame that was not the recorded one, or recorded frames
    that never came."""
    started: list[Any] = []

    def start(path: Any, *, match: str = "frame", extra_args: Any = ()) -> Any:
        import os

        if match not in ("frame", "command"):
            raise ValueError(f"match is 'frame' or 'command', not {match!r}")
        args = ["--replay", os.fspath(path), "--replay-match", match, *extra_args]
        sim = kx5180_sim(extra_args=args)
        started.append(sim)
        return sim

    yield start
    for sim in started:
        code = sim.stop()
        if code:
            lines = [line for line in sim.log() if "replay:" in line]
            pytest.fail("kx5180_replay: the session differed from the recording:\n" + "\n".join(lines), pytrace=False)


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item: pytest.Item, call: pytest.CallInfo[None]) -> Generator[None, Any, None]:
    outcome = yield
    report = outcome.get_result()
    if report.when != "call" or not report.failed:
        return
    started: list[Any] = item.stash.get(_SIMS_KEY, [])
    for n, sim in enumerate(started):
        lines = sim.log()
        shown = lines[-LOG_TAIL:]
        head = f"(last {LOG_TAIL} of {len(lines)} lines)\n" if len(lines) > LOG_TAIL else ""
        text = head + "\n".join(shown) if lines else "(nothing logged)"
        report.sections.append((f"kx5180-sim {n + 1} log, {sim.port}", text))
