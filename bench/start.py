"""What a `kx5180` command costs before and around its exchanges.

    python3 bench/start.py                 # 20 runs of each, about a minute
    python3 bench/start.py --runs 50

- `kx5180 status PORT` against kx5180-sim at 4800 baud (paced like a real
  line), run RUNS times as a program: wall time from start to exit. Its two
  exchanges (the identity read and the status read) are timed from the
  frame trace of RUNS more runs with --capture: from the first frame
  written to the moment the last reply had been read whole. The ratio of the two
  medians is what the command costs beyond its exchanges.
- `kx5180 --help` and `kx5180 --version`, RUNS times each: wall time and
  the CPU time (user + system) the process used.
- What each of those imports (modules loaded, and whether the server,
  asyncio, package metadata, matplotlib and the driver's extension are
  among them), in a child that runs the command line's main() in process.

Each command runs once unmeasured first, and with bytecode written, as an
installed package runs.
- The toolkit's check whether another program holds the port, in process,
  RUNS times on the simulator's port.
"""

import argparse
import json
import os
import resource
import shutil
import statistics
import subprocess
import sys
import sysconfig
import tempfile
import textwrap
import time

from kx5180_lab.simulator import Simulator, find_simulator

BAUD = 4800
EXCHANGE_S = 2 * 26 * 10 / BAUD + 0.002


def program():
    found = shutil.which("kx5180", path=sysconfig.get_path("scripts")) or shutil.which("kx5180")
    if found is None:
        sys.exit("start.py: kx5180 is not installed in this environment")
    return found


# As a user's installation runs: with the bytecode compiled (pip compiles
# it on install, and Python writes what it compiled on the first run). An
# environment that forbids writing it would time the compiler instead.
ENV = {k: v for k, v in os.environ.items() if k != "PYTHONDONTWRITEBYTECODE"}


def timed(command):
    """Wall and CPU seconds of one run of `command`."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    started = time.perf_counter()
    done = subprocess.run(command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True, env=ENV)
    wall = time.perf_counter() - started
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    if done.returncode != 0:
        sys.exit(f"start.py: {' '.join(command)} failed: {done.stderr.strip()}")
    cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    return wall, cpu


def exchanges_s(capture):
    """From the first frame written to the last reply read whole, in a
    capture."""
    with open(capture, encoding="utf-8") as f:
        events = [json.loads(line) for line in f][1:]
    first = next(e["t"] for e in events if e["event"] == "tx")
    last = max(e["t"] for e in events if e["event"] == "rx")
    return last - first


IMPORTS = textwrap.dedent("""\
    import sys
    from kx5180_lab.cli import main
    try:
        main(sys.argv[1:])
    except SystemExit:
        pass
    names = set(sys.modules)
    shown = {
        "server": any(n.startswith("kx5180_lab.serve.") and n != "kx5180_lab.serve.options" for n in names),
        "asyncio": "asyncio" in names,
        "metadata": "importlib.metadata" in names,
        "matplotlib": "matplotlib" in names,
        "extension": "kx5180" in names,
    }
    print(len(names), *(k for k, v in shown.items() if v), file=sys.stderr)
    """)


def imports(args):
    done = subprocess.run(
        [sys.executable, "-c", IMPORTS, *args], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True, env=ENV
    )
    words = done.stderr.strip().splitlines()[-1].split()
    return int(words[0]), ", ".join(words[1:]) or "none of them"


def holder_check():
    """The toolkit's port-holder check, whichever module holds it."""
    try:
        from kx5180_lab.instrument.opening import port_holders

        return lambda port: port_holders(port)
    except ImportError:
        from kx5180_lab.supply import _lsof_holders

        return lambda port: _lsof_holders(port)


def median_ms(values):
    return statistics.median(values) * 1000


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--runs", type=int, default=20, help="runs of each command (default 20)")
    args = ap.parse_args()
    if find_simulator() is None:
        sys.exit("start.py: kx5180-sim is not installed")
    kx = program()
    print(f"one exchange at {BAUD} baud: {EXCHANGE_S * 1000:.2f} ms on the wire, two: {2 * EXCHANGE_S * 1000:.2f} ms\n")
    with Simulator(baud=BAUD, load_ohms=10) as sim, tempfile.TemporaryDirectory() as tmp:
        for warm_up in ([kx, "--help"], [kx, "status", sim.port]):
            timed(warm_up)
        status = [timed([kx, "status", sim.port]) for _ in range(args.runs)]
        spans = []
        for n in range(args.runs):
            capture = os.path.join(tmp, f"{n}.jsonl")
            timed([kx, "--capture", capture, "status", sim.port])
            spans.append(exchanges_s(capture))
        check = holder_check()
        held = []
        for _ in range(args.runs):
            started = time.perf_counter()
            check(sim.port)
            held.append(time.perf_counter() - started)
        status_imports = imports(["status", sim.port])
    helps = [timed([kx, "--help"]) for _ in range(args.runs)]
    versions = [timed([kx, "--version"]) for _ in range(args.runs)]

    wall = median_ms([w for w, _ in status])
    span = median_ms(spans)
    print("| command | median wall ms | median CPU ms | modules | of those: |")
    print("|---|---:|---:|---:|---|")
    for name, runs, what in (
        ("kx5180 status PORT", status, status_imports),
        ("kx5180 --help", helps, imports(["--help"])),
        ("kx5180 --version", versions, imports(["--version"])),
    ):
        run_wall, run_cpu = median_ms([w for w, _ in runs]), median_ms([c for _, c in runs])
        print(f"| `{name}` | {run_wall:.1f} | {run_cpu:.1f} | {what[0]} | {what[1]} |")
    print()
    print(
        f"status: its two exchanges (from the trace, median of {args.runs}) {span:.1f} ms; "
        f"the command {wall:.1f} ms = {wall / span:.2f} x its exchanges"
    )
    print(f"port-holder check: median {median_ms(held):.2f} ms, max {max(held) * 1000:.2f} ms")


if __name__ == "__main__":
    main()
