"""Benchmarks of the installed kx5180 driver against kx5180-sim.

    python3 bench/run.py            # full run, about two minutes
    python3 bench/run.py --quick    # fewer calls, for a smoke run
    python3 bench/run.py --only latency --only shared

1. latency of every command on a paced 4800-baud line, against the wire floor
   (command wire time + turnaround + reply wire time);
2. process CPU time per call during (1);
3. threads sharing one object of one paced supply (1, 2 and 8 threads);
4. many supplies: N simulators at --baud 0, one object and one thread each;
(the driver's own code against plain Python is bench/methods.py).
Prints Markdown tables.
"""

import argparse
import contextlib
import io
import statistics
import sys
import threading
import time

import kx5180
from machine import machine
from simulated import simulated

BITS_PER_BYTE = 10
FRAME = 26
TURNAROUND_MS = 2.0


def opened(path):
    supply = kx5180.KX5180(path)
    if not supply.open():
        sys.exit(f"could not open the simulator at {path}")
    return supply


COMMANDS = [
    ("set_work_mode", lambda s: s.set_work_mode("remote")),
    ("set_ouput_mode", lambda s: s.set_ouput_mode("off")),
    ("set_voltage_max", lambda s: s.set_voltage_max(30.0)),
    ("set_out_voltage", lambda s: s.set_out_voltage(1.222)),
    ("set_out_current", lambda s: s.set_out_current(0.888)),
    ("set_new_addr", lambda s: s.set_new_addr(1)),
    ("restore_factory", lambda s: s.restore_factory()),
    ("read_dev_status", lambda s: s.read_dev_status()),
    ("identity read", lambda s: s._KX5180__read_device_version()),
]


class CountingTime:
    """Stands in for the module's `time` to count the driver's poll sleeps."""

    def __init__(self):
        self.sleeps = 0

    def sleep(self, seconds):
        self.sleeps += 1
        time.sleep(seconds)


def sleep_cpu_ms(count, repeat=15):
    """Process CPU time that `count` bare 10 ms sleeps cost on this machine
    (the median of `repeat` runs)."""
    runs = []
    for _ in range(repeat):
        t0 = time.process_time()
        for _ in range(count):
            time.sleep(0.01)
        runs.append((time.process_time() - t0) * 1000.0)
    return statistics.median(runs)


def latency(calls, baud):
    wire_ms = FRAME * BITS_PER_BYTE / baud * 1000.0
    floor_ms = 2 * wire_ms + TURNAROUND_MS
    rows = []
    with simulated("--baud", str(baud), "--turnaround-ms", str(TURNAROUND_MS)) as path:
        supply = opened(path)
        clock = CountingTime()
        kx5180.time = clock
        try:
            for name, call in COMMANDS:
                with contextlib.redirect_stdout(io.StringIO()):
                    for _ in range(3):  # warm-up, not measured
                        call(supply)
                times, cpu, clock.sleeps = [], [], 0
                with contextlib.redirect_stdout(io.StringIO()):
                    for _ in range(calls):
                        c0, t0 = time.process_time(), time.perf_counter()
                        if call(supply) is False:
                            sys.exit(f"{name}: no reply from the simulator")
                        times.append((time.perf_counter() - t0) * 1000.0)
                        cpu.append((time.process_time() - c0) * 1000.0)
                cpu_ms = statistics.median(cpu)
                polls = clock.sleeps / calls
                sleeping_ms = sleep_cpu_ms(round(polls))
                times.sort()
                median = statistics.median(times)
                p95 = times[min(len(times) - 1, int(0.95 * len(times)))]
                rows.append((name, median, p95, median / floor_ms, cpu_ms, polls, sleeping_ms))
        finally:
            kx5180.time = time
        supply.close()
    print(
        f"\n### Latency at {baud} baud (floor {floor_ms:.2f} ms = 2 x {wire_ms:.2f} ms wire + "
        f"{TURNAROUND_MS:.0f} ms turnaround; {calls} calls each)\n"
    )
    print(
        "| command | median ms | p95 ms | median / floor | CPU ms per call | polls per call "
        "| CPU ms of as many bare sleeps |"
    )
    print("|---|---|---|---|---|---|---|")
    for name, median, p95, ratio, cpu, polls, sleeping in rows:
        print(f"| {name} | {median:.2f} | {p95:.2f} | {ratio:.3f} | {cpu:.3f} | {polls:.1f} | {sleeping:.3f} |")
    return rows


def calls_from_threads(supplies, seconds):
    """One thread per supply object (the same object may be given more than
    once) calling read_dev_status in a loop for `seconds`; returns the
    calls made, the calls that got no reply and the elapsed time."""
    n = len(supplies)
    done, failed = [0] * n, [0] * n
    stop = threading.Event()

    def loop(i):
        while not stop.is_set():
            if supplies[i].read_dev_status() is None:
                failed[i] += 1
            done[i] += 1

    threads = [threading.Thread(target=loop, args=(i,)) for i in range(n)]
    t0 = time.perf_counter()
    for t in threads:
        t.start()
    time.sleep(seconds)
    stop.set()
    for t in threads:
        t.join()
    return sum(done), sum(failed), time.perf_counter() - t0


def many_supplies(seconds, counts=(1, 2, 4, 8)):
    rates = {}
    for n in counts:
        with contextlib.ExitStack() as stack:
            paths = [stack.enter_context(simulated("--baud", "0")) for _ in range(n)]
            supplies = [opened(p) for p in paths]
            done, failed, elapsed = calls_from_threads(supplies, seconds)
            if failed:
                sys.exit(f"{failed} of {done} calls got no reply with {n} supplies")
            rates[n] = done / elapsed
            for s in supplies:
                s.close()
    print(f"\n### Many supplies (--baud 0, read_dev_status in a loop, {seconds:g} s each)\n")
    print("| supplies | calls/s | / (N x one-supply rate) |")
    print("|---|---|---|")
    for n, rate in rates.items():
        print(f"| {n} | {rate:.0f} | {rate / (n * rates[1]):.3f} |")
    return rates


def shared_object(seconds, counts=(1, 2, 8)):
    """N threads calling read_dev_status on one object of one paced supply:
    the port lock serialises them, so the line is the limit and the rate
    should stay at one thread's, with no call failing. A failed call is
    counted, not fatal, so that an earlier driver can be measured too."""
    rates, failures = {}, {}
    with simulated("--baud", "4800", "--turnaround-ms", str(TURNAROUND_MS)) as path:
        supply = opened(path)
        for n in counts:
            done, failed, elapsed = calls_from_threads([supply] * n, seconds)
            rates[n] = (done - failed) / elapsed
            failures[n] = (failed, done)
        supply.close()
    print(f"\n### Threads sharing one object (4800 baud, read_dev_status in a loop, {seconds:g} s each)\n")
    print("| threads | successful calls/s | / one-thread rate | failed calls |")
    print("|---|---|---|---|")
    for n, rate in rates.items():
        bad, total = failures[n]
        print(f"| {n} | {rate:.2f} | {rate / rates[1]:.3f} | {bad} of {total} |")
    return rates


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="fewer calls, for a smoke run")
    parser.add_argument(
        "--only", choices=["latency", "shared", "many"], action="append", help="run only these sections (repeatable)"
    )
    args = parser.parse_args()
    only = set(args.only or ["latency", "shared", "many"])
    print(f"Machine: {machine()}")
    if "latency" in only:
        latency(calls=10 if args.quick else 40, baud=4800)
    if "shared" in only:
        shared_object(seconds=2.0 if args.quick else 6.0)
    if "many" in only:
        many_supplies(seconds=1.0 if args.quick else 4.0)


if __name__ == "__main__":
    main()
