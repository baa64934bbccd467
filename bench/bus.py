"""Several units on one line against the same number on lines of their own.

    python3 bench/bus.py                 # 1, 2, 4 and 8 units, 5 s each: about 1.5 minutes
    python3 bench/bus.py --seconds 2 --units 1,2

For each count N: kx5180-sim --units N at 4800 baud on one pseudo-terminal,
a `Bus` on it and one thread per unit calling `read_dev_status` on its own
unit; then N single-unit simulators at 4800 baud, one opened `KX5180` and
one thread each. Every call must succeed (the run stops with an error
otherwise). One line carries one exchange at a time, so the total of a bus
should stay at one line's rate however many units share it, while separate
lines add up. Prints a Markdown table.
"""

import argparse
import contextlib
import os
import sys
import threading
import time

import kx5180
from kx5180_lab.bus import Bus
from simulated import simulated, simulator

BAUD = 4800
BITS_PER_BYTE = 10
FRAME = 26
TURNAROUND_S = 0.002


def hammer(drivers, seconds):
    """One thread per driver object, each calling read_dev_status for
    `seconds`; returns the calls each completed and the failures."""
    counts = [0] * len(drivers)
    failures = []
    start = threading.Barrier(len(drivers) + 1)
    stop = threading.Event()

    def work(i):
        start.wait()
        while not stop.is_set():
            try:
                ok = drivers[i].read_dev_status() is not None
            except Exception as e:
                failures.append(f"unit {i}: {e!r}")
                return
            if not ok:
                failures.append(f"unit {i}: no reply")
            counts[i] += 1

    threads = [threading.Thread(target=work, args=(i,)) for i in range(len(drivers))]
    for t in threads:
        t.start()
    start.wait()
    began = time.perf_counter()
    time.sleep(seconds)
    stop.set()
    for t in threads:
        t.join()
    # the calls that were on the line when time ran out finished after it
    return counts, failures, time.perf_counter() - began


def on_one_bus(n, seconds):
    with simulated("--baud", str(BAUD), "--units", str(n), "--load-ohms", "inf") as path, Bus(path) as bus:
        return hammer([bus.unit(a) for a in range(1, n + 1)], seconds)


def on_separate_lines(n, seconds):
    with contextlib.ExitStack() as stack:
        drivers = []
        for _ in range(n):
            path = stack.enter_context(simulated("--baud", str(BAUD), "--load-ohms", "inf"))
            driver = kx5180.KX5180(path)
            if not driver.open():
                raise SystemExit(f"could not open the simulator at {path}")
            stack.callback(driver.close)
            drivers.append(driver)
        return hammer(drivers, seconds)


def cell(counts, elapsed):
    rates = [c / elapsed for c in counts]
    per = f"{rates[0]:.2f}" if len(rates) == 1 else f"{min(rates):.2f} to {max(rates):.2f}"
    return f"{sum(rates):.2f}", per


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--seconds", type=float, default=5.0, help="length of each run (default 5)")
    ap.add_argument("--units", default="1,2,4,8", help="unit counts to run (default 1,2,4,8)")
    args = ap.parse_args()
    simulator()  # or a clear stop before any run
    counts = [int(x) for x in args.units.split(",")]

    wire = 2 * FRAME * BITS_PER_BYTE / BAUD + TURNAROUND_S
    print(
        f"read_dev_status at {BAUD} baud, {args.seconds:g} s a run, one thread per unit; "
        f"{os.cpu_count()} CPUs, Python {sys.version.split()[0]}"
    )
    print(f"wire floor of one exchange: {wire * 1000:.1f} ms, at most {1 / wire:.2f} calls/s on one line\n")
    print("| units | one bus: calls/s | per unit | separate lines: calls/s | per line |")
    print("|---:|---:|---:|---:|---:|")
    bad = []
    for n in counts:
        row = [str(n)]
        for run in (on_one_bus, on_separate_lines):
            done, failures, elapsed = run(n, args.seconds)
            bad += [f"{run.__name__}({n}): {f}" for f in failures]
            row += cell(done, elapsed)
        print("| " + " | ".join(row) + " |", flush=True)
    if bad:
        sys.exit("calls failed:\n  " + "\n  ".join(bad))


if __name__ == "__main__":
    main()
