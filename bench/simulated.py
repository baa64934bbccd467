"""Simulated supplies for the benchmarks.

kx5180-sim is started here without its frame log: `kx5180_lab.Simulator`
logs every frame and reads the log on a thread of the benchmark's own
process, which would be counted in the figures.

    with simulated("--baud", "4800") as path:
        ...
"""

import contextlib
import subprocess
import sys

from kx5180_lab.simulator import find_simulator


def simulator():
    path = find_simulator()
    if not path:
        sys.exit("kx5180-sim is not installed: run 'pip install .' first")
    return path


@contextlib.contextmanager
def simulated(*args):
    """Starts kx5180-sim with these options; yields its pseudo-terminal's
    path and stops it on leaving, whatever the reason."""
    proc = subprocess.Popen([simulator(), *args], stdout=subprocess.PIPE, text=True)
    try:
        path = proc.stdout.readline().strip()
        if not path:
            sys.exit(f"kx5180-sim {' '.join(args)} did not start (exit status {proc.wait()})")
        yield path
    finally:
        proc.terminate()
        try:
            proc.wait(timeout=5)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
        proc.stdout.close()
