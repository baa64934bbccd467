"""The command line's own pace and memory: `status --watch` and `log` at a
small interval against a paced simulator, and `plot` of long logs.

    python3 bench/toolkit.py                      # all three: about 2 minutes
    python3 bench/toolkit.py --only watch --seconds 30
    python3 bench/toolkit.py --only plot --rows 10000,1000000 --before 1ac8592

watch, log: kx5180-sim at 4800 baud (paced like a real line), then
`kx5180 status PORT --watch INTERVAL --json` and `kx5180 log PORT --interval
INTERVAL` for SECONDS each. With an interval shorter than one exchange the
readings follow each other as fast as the line carries them, so the rate
should come close to the line's maximum: one status exchange is two 26-byte
frames at 10 bits a byte plus the simulator's 2 ms turnaround. The rate is
taken from the readings' own timestamps (first to last).

plot: a log of ROWS rows (CV, CC and over-temperature spans) plotted by
`kx5180 plot` in a child process that reports its peak resident set size.
`--before REV` also plots with the plot module of an earlier revision
(taken from git), in the same environment.
"""

import argparse
import csv
import json
import os
import random
import shutil
import signal
import subprocess
import sys
import sysconfig
import tempfile
import textwrap
import time
from datetime import datetime

from kx5180_lab.cli.log import CSV_FIELDS
from kx5180_lab.simulator import Simulator, find_simulator

BAUD = 4800
EXCHANGE_S = 2 * 26 * 10 / BAUD + 0.002
LINE_MAX = 1 / EXCHANGE_S


def program():
    found = shutil.which("kx5180", path=sysconfig.get_path("scripts")) or shutil.which("kx5180")
    if found is None:
        sys.exit("toolkit.py: kx5180 is not installed in this environment")
    return found


def rate(stamps):
    return (len(stamps) - 1) / (stamps[-1] - stamps[0])


def bench_loop(interval, seconds):
    """The reference: Supply.status back to back in this process, nothing
    else done between readings: what the driver gets out of the line."""
    from kx5180_lab import Supply

    with Simulator(baud=BAUD, load_ohms=10) as sim, Supply(sim.port, remote=False, keep_on_exit=True) as psu:
        stamps = []
        ended = time.monotonic() + seconds
        while time.monotonic() < ended:
            psu.status()
            stamps.append(time.monotonic())
    return stamps


def bench_watch(interval, seconds):
    with Simulator(baud=BAUD, load_ohms=10) as sim:
        proc = subprocess.Popen(
            [program(), "status", sim.port, "--watch", str(interval), "--json"], stdout=subprocess.PIPE, text=True
        )
        stamps = []
        ended = time.monotonic() + seconds
        try:
            while time.monotonic() < ended:
                line = proc.stdout.readline()
                if not line:
                    break
                stamps.append(datetime.fromisoformat(json.loads(line)["timestamp"]).timestamp())
        finally:
            proc.send_signal(signal.SIGINT)
            proc.communicate(timeout=10)
    return stamps


def bench_log(interval, seconds):
    with Simulator(baud=BAUD, load_ohms=10) as sim, tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "run.csv")
        subprocess.run(
            [program(), "log", sim.port, "--interval", str(interval), "--duration", str(seconds), "--csv", out],
            check=True,
            capture_output=True,
        )
        with open(out, newline="") as f:
            return [float(row["time_s"]) for row in csv.DictReader(f)]


def write_log(path, rows):
    """A log of `rows` readings, 0.1 s apart: CV, then CC, then CC with
    the unit over temperature, in turns."""
    rnd = random.Random(1)
    with open(path, "w", newline="") as f:
        w = csv.writer(f)
        w.writerow(CSV_FIELDS)
        for n in range(rows):
            phase = (n * 3 // max(rows, 3)) % 3
            mode, hot = ("CV", 0) if phase == 0 else ("CC", int(phase == 2))
            v = 5.0 if mode == "CV" else 2.4 + rnd.random() * 0.01
            w.writerow(
                [
                    f"{n / 10:.3f}",
                    "t",
                    f"{v:.3f}",
                    f"{0.5 if mode == 'CV' else 1.2:.3f}",
                    "5.0",
                    "1.2",
                    "30.0",
                    1,
                    hot,
                    mode,
                    3,
                    1,
                ]
            )


PEAK = textwrap.dedent("""\
    import importlib.util, resource, sys
    spec = importlib.util.spec_from_file_location("plot_under_test", sys.argv[1])
    plot = sys.modules[spec.name] = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(plot)
    plot.plot_csv(sys.argv[2], sys.argv[3])
    print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss)  # KiB on Linux
    """)


def bench_plot(rows, module, tmp):
    path = os.path.join(tmp, f"log-{rows}.csv")
    if not os.path.exists(path):
        write_log(path, rows)
    started = time.perf_counter()
    done = subprocess.run(
        [sys.executable, "-c", PEAK, module, path, os.path.join(tmp, "out.png")],
        capture_output=True,
        text=True,
        check=True,
    )
    return int(done.stdout.split()[-1]) / 1024, time.perf_counter() - started


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--only", action="append", choices=["watch", "log", "plot"])
    ap.add_argument("--seconds", type=float, default=20.0, help="length of each watch and log run (default 20)")
    ap.add_argument("--interval", type=float, default=0.01, help="interval asked of watch and log (default 0.01 s)")
    ap.add_argument("--rows", default="10000,100000,1000000", help="plot log sizes (default 10000,100000,1000000)")
    ap.add_argument("--before", metavar="REV", help="also plot with the plot module of this git revision")
    args = ap.parse_args()
    only = set(args.only or ["watch", "log", "plot"])

    if only & {"watch", "log"}:
        if find_simulator() is None:
            sys.exit("toolkit.py: kx5180-sim is not installed")
        print(f"line maximum at {BAUD} baud: {LINE_MAX:.3f} readings/s (one exchange {EXCHANGE_S * 1000:.2f} ms)\n")
        print("| command | interval asked | readings | readings/s | of the line's maximum | of back to back |")
        print("|---|---:|---:|---:|---:|---:|")
        runs = [("Supply.status back to back", "loop", bench_loop)]
        runs += [("status --watch", "watch", bench_watch), ("log", "log", bench_log)]
        reference = None
        for name, key, run in runs:
            if key in only or key == "loop":
                stamps = run(args.interval, args.seconds)
                r = rate(stamps)
                reference = reference or r
                asked = "-" if key == "loop" else f"{args.interval:g} s"
                print(
                    f"| {name} | {asked} | {len(stamps)} | {r:.3f} | {r / LINE_MAX:.3f} | {r / reference:.3f} |",
                    flush=True,
                )
        print()

    if "plot" in only:
        import kx5180_lab.plot

        modules = [("now", kx5180_lab.plot.__file__)]
        with tempfile.TemporaryDirectory() as tmp:
            if args.before:
                old = os.path.join(tmp, "plot_before.py")
                with open(old, "w") as f:
                    f.write(
                        subprocess.run(
                            ["git", "show", f"{args.before}:src/kx5180_lab/plot.py"],
                            capture_output=True,
                            text=True,
                            check=True,
                            cwd=os.path.dirname(os.path.abspath(__file__)),
                        ).stdout
                    )
                modules.insert(0, (f"before ({args.before})", old))
            print("| plot module | rows | peak resident set (MiB) | seconds |")
            print("|---|---:|---:|---:|")
            for label, module in modules:
                for rows in (int(r) for r in args.rows.split(",")):
                    peak, took = bench_plot(rows, module, tmp)
                    print(f"| {label} | {rows:,} | {peak:.0f} | {took:.1f} |", flush=True)


if __name__ == "__main__":
    main()
