"""Start and stop kx5180-sim from Python.

    with Simulator(baud=0, load_ohms=5) as sim:
        with Supply(sim.port) as psu:
            ...
        print(sim.log())

The simulator runs with --log, so every frame it receives or sends is one
line of its standard error; a background thread collects those lines so
that the pipe never fills up and the log can be read at any moment.
"""

from __future__ import annotations

import os
import shutil
import signal
import subprocess
import sys
import sysconfig
import threading
import time
from collections.abc import Callable, Iterable, Sequence

__all__ = ["Simulator", "SimulatorError", "find_simulator"]

SIM_NAME = "kx5180-sim"


class SimulatorError(RuntimeError):
    """The simulator could not be found or did not start."""


def find_simulator() -> str | None:
    """The kx5180-sim installed beside the running interpreter, else the one
    on PATH, else None. The interpreter's own scripts directory comes first
    so that a virtual environment's simulator is used even when it is not
    activated."""
    names = [SIM_NAME + ".exe", SIM_NAME] if os.name == "nt" else [SIM_NAME]
    dirs = []
    for d in (sysconfig.get_path("scripts"), os.path.dirname(sys.executable)):
        if d and d not in dirs:
            dirs.append(d)
    for d in dirs:
        for name in names:
            path = os.path.join(d, name)
            if os.path.isfile(path) and os.access(path, os.X_OK):
                return path
    return shutil.which(SIM_NAME)


def _number(value: float) -> str:
    if value == float("inf"):
        return "inf"
    return repr(value) if isinstance(value, float) else str(value)


class Simulator:
    """A running kx5180-sim, as a context manager.

    `port` is the path of its pseudo-terminal. `log()` returns the lines it
    has logged so far (one per frame received or sent, plus notes such as
    the faults it injected). `stop()` ends it; leaving the `with` block does
    that too, whatever the reason.
    """

    def __init__(
        self,
        *,
        baud: int = 4800,
        load_ohms: float = 10.0,
        units: int | Sequence[int] | None = None,
        faults: Iterable[str] = (),
        fault_nth: int | None = None,
        fault_every: int | None = None,
        fault_rate: float | None = None,
        seed: int | None = None,
        extra_args: Iterable[str] = (),
        executable: str | None = None,
    ) -> None:
        self.executable = executable or find_simulator()
        # --watch-stdin: the simulator ends when the pipe on its standard
        # input closes, which the system does for us however we end, a
        # SIGKILL included; no simulator outlives the process it serves.
        args = ["--watch-stdin", "--log", "--baud", str(int(baud)), "--load-ohms", _number(load_ohms)]
        if units is not None:
            if isinstance(units, int):
                args += ["--units", str(units)]
            else:
                args += ["--units", ",".join(str(int(a)) for a in units)]
        faults = [faults] if isinstance(faults, str) else list(faults)
        if faults:
            args += ["--fault", ",".join(faults)]
        for flag, value in (
            ("--fault-nth", fault_nth),
            ("--fault-every", fault_every),
            ("--fault-rate", fault_rate),
            ("--seed", seed),
        ):
            if value is not None:
                args += [flag, str(value)]
        args += [str(a) for a in extra_args]
        self.args = args
        self.port: str | None = None
        self.returncode: int | None = None
        self._proc: subprocess.Popen[str] | None = None
        self._lines: list[str] = []
        self._lines_lock = threading.Condition()
        self._reader: threading.Thread | None = None

    # -- life cycle ---------------------------------------------------------

    def start(self) -> Simulator:
        if self._proc is not None:
            return self
        if not self.executable:
            raise SimulatorError(f"{SIM_NAME} is not installed (pip install kx5180 puts it beside python)")
        try:
            self._proc = subprocess.Popen(
                [self.executable, *self.args],
                stdin=subprocess.PIPE,
                stdout=subprocess.PIPE,
                stderr=subprocess.PIPE,
                text=True,
                errors="replace",
                # Ctrl-C at the terminal goes to the whole foreground process
                # group; the simulator must outlive it, so that the program
                # it serves can still switch the output off afterwards.
                start_new_session=os.name == "posix",
            )
        except OSError as e:
            raise SimulatorError(f"cannot start {self.executable}: {e.strerror or e}") from e
        self._reader = threading.Thread(target=self._read_log, name="kx5180-sim log", daemon=True)
        self._reader.start()
        first = self._proc.stdout.readline().strip() if self._proc.stdout else ""
        if not first:
            # It exited (bad option, no pseudo-terminals): its stderr says why.
            self.stop()
            why = " ".join(line.strip() for line in self._lines) or f"exit status {self.returncode}"
            raise SimulatorError(f"{SIM_NAME} did not start: {why}")
        self.port = first
        return self

    def stop(self) -> int | None:
        """Ends the simulator (SIGTERM, then SIGKILL if it does not go within
        five seconds) and closes the pipes. Safe to call more than once."""
        proc = self._proc
        if proc is None:
            return self.returncode
        if proc.poll() is None:
            try:
                proc.send_signal(signal.SIGTERM)
            except ProcessLookupError:
                pass
            try:
                proc.wait(timeout=5)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()
        if self._reader is not None:
            self._reader.join(timeout=5)
        for pipe in (proc.stdin, proc.stdout, proc.stderr):
            if pipe is not None:
                try:
                    pipe.close()
                except OSError:
                    pass
        self.returncode = proc.returncode
        self._proc = None
        return self.returncode

    @property
    def running(self) -> bool:
        return self._proc is not None and self._proc.poll() is None

    @property
    def pid(self) -> int | None:
        return self._proc.pid if self._proc is not None else None

    def __enter__(self) -> Simulator:
        return self.start()

    def __exit__(self, *exc: object) -> None:
        self.stop()

    # -- the log ------------------------------------------------------------

    def _read_log(self) -> None:
        assert self._proc is not None and self._proc.stderr is not None
        stream = self._proc.stderr
        try:
            for line in stream:
                with self._lines_lock:
                    self._lines.append(line.rstrip("\n"))
                    self._lines_lock.notify_all()
        except (OSError, ValueError):
            pass  # the pipe was closed under us by stop()

    def log(self) -> list[str]:
        """The lines logged so far (a copy)."""
        with self._lines_lock:
            return list(self._lines)

    def frames(self, direction: str | None = None) -> list[str]:
        """The hex bytes of each logged frame, "rx" (received by the unit),
        "tx" (sent by it), or both when `direction` is None."""
        out = []
        for line in self.log():
            parts = line.split("] ", 1)
            if len(parts) != 2:
                continue
            dir_, _, rest = parts[1].partition(" ")
            if dir_ in ("rx", "tx") and (direction is None or dir_ == direction):
                out.append(rest.split("  ", 1)[0])
        return out

    def wait_for(self, condition: str | Callable[[list[str]], bool], timeout: float = 5.0) -> list[str]:
        """Waits until a logged line contains `condition` (a text) or
        `condition(lines)` holds, and returns the lines. The simulator logs a
        frame a moment after it handled it, so a test that has just made a
        call waits here before it reads the log."""
        test = (lambda lines: any(condition in line for line in lines)) if isinstance(condition, str) else condition
        deadline = time.monotonic() + timeout
        with self._lines_lock:
            while not test(self._lines):
                left = deadline - time.monotonic()
                if left <= 0:
                    raise TimeoutError(f"simulator log: {condition!r} did not appear within {timeout} s")
                self._lines_lock.wait(left)
            return list(self._lines)

    def clear_log(self) -> None:
        with self._lines_lock:
            self._lines.clear()
