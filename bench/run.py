"""Benchmarks of the installed kx5180 driver against kx5180-sim.

    python3 bench/run.py            # full run, about two minutes
    python3 bench/run.py --quick    # fewer calls, for a smoke run
    python3 bench/run.py --only latency --only shared

1. latency of every command on a paced 4800-baud line, against the wire floor
   (command wire time + turnaround + reply wire time);
2. process CPU time per call during (1);
3. threads sharing one object of one paced supply (1, 2 and 8 threads);
4. many supplies: N simulators at --baud 0, one object and one thread each;
5. pure-code overhead of the checksum and status paths beside plain Python.
Prints Markdown tables.
"""

import argparse
import contextlib
import io
import os
import shutil
import statistics
import subprocess
import sys
import sysconfig
import threading
import time
import timeit

import kx5180
from machine import machine

BITS_PER_BYTE = 10
FRAME = 26
TURNAROUND_MS = 2.0


def simulator():
    beside = os.path.join(sysconfig.get_path("scripts"), "kx5180-sim")
    path = beside if os.path.exists(beside) else shutil.which("kx5180-sim")
    if not path:
        sys.exit("kx5180-sim is not installed: run 'pip install .' first")
    return path


@contextlib.contextmanager
def simulated(*args):
    proc = subprocess.Popen([simulator(), *args], stdout=subprocess.PIPE, text=True)
    try:
        yield proc.stdout.readline().strip()
    finally:
        proc.terminate()
        proc.wait()


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
    print(f"\n### Latency at {baud} baud (floor {floor_ms:.2f} ms = 2 x {wire_ms:.2f} ms wire + "
          f"{TURNAROUND_MS:.0f} ms turnaround; {calls} calls each)\n")
    print("| command | median ms | p95 ms | median / floor | CPU ms per call | polls per call "
          "| CPU ms of as many bare sleeps |")
    print("|---|---|---|---|---|---|---|")
    for name, median, p95, ratio, cpu, polls, sleeping in rows:
        print(f"| {name} | {median:.2f} | {p95:.2f} | {ratio:.3f} | {cpu:.3f} | {polls:.1f} | {sleeping:.3f} |")
    return rows


def many_supplies(seconds, counts=(1, 2, 4, 8)):
    rates = {}
    for n in counts:
        with contextlib.ExitStack() as stack:
            paths = [stack.enter_context(simulated("--baud", "0")) for _ in range(n)]
            supplies = [opened(p) for p in paths]
            done = [0] * n
            stop = threading.Event()

            def loop(i):
                while not stop.is_set():
                    if supplies[i].read_dev_status() is None:
                        raise RuntimeError("no reply")
                    done[i] += 1

            threads = [threading.Thread(target=loop, args=(i,)) for i in range(n)]
            for t in threads:
                t.start()
            time.sleep(seconds)
            stop.set()
            for t in threads:
                t.join()
            rates[n] = sum(done) / seconds
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
            done, failed = [0] * n, [0] * n
            stop = threading.Event()

            def loop(i):
                while not stop.is_set():
                    if supply.read_dev_status() is None:
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
            elapsed = time.perf_counter() - t0
            rates[n] = (sum(done) - sum(failed)) / elapsed
            failures[n] = (sum(failed), sum(done))
        supply.close()
    print(f"\n### Threads sharing one object (4800 baud, read_dev_status in a loop, {seconds:g} s each)\n")
    print("| threads | successful calls/s | / one-thread rate | failed calls |")
    print("|---|---|---|---|")
    for n, rate in rates.items():
        bad, total = failures[n]
        print(f"| {n} | {rate:.2f} | {rate / rates[1]:.3f} | {bad} of {total} |")
    return rates


class QuickPort:
    def __init__(self, reply):
        self.reply = reply

    def write(self, data):
        return len(data)

    def inWaiting(self):
        return FRAME

    def read(self, n):
        return self.reply


def python_read_dev_status(self):
    """The status path written as plain Python, for comparison."""
    command = list(self.template)
    command[1] = self.addr
    command[2] = 0x26
    command[-1] = sum(command[:-1]) & 0xFF
    self.ser.inWaiting()
    self.ser.write(bytes(command))
    self.sleep(0.01)
    if self.ser.inWaiting() != FRAME:
        return None
    b = self.ser.read(FRAME)
    if len(b) != FRAME or b[0] != 0xAA or b[-1] != sum(b[:-1]) & 0xFF:
        return None
    s = b[9]
    m = (s & 0x0C) >> 2
    return {
        "current_real": (b[3] | b[4] << 8) / 1000.0,
        "voltage_real": int.from_bytes(b[5:9], "little") / 1000.0,
        "current_set": (b[10] | b[11] << 8) / 1000.0,
        "voltage_max_set": int.from_bytes(b[12:16], "little") / 1000.0,
        "voltage_set": int.from_bytes(b[16:20], "little") / 1000.0,
        "out_status": "on" if s & 0x01 == 1 else "off",
        "beyond_temp": (s & 0x02) != 0,
        "out_mode": "CV" if m == 1 else "CC" if m == 2 else "XX",
        "fan_speed": (s & 0x70) >> 4,
        "work_mode": "remote" if s & 0x80 else "local",
    }


def pure_code(number):
    reply = bytes([0xAA, 1, 0x26, 0xC8, 0, 0xDA, 0x0C, 0, 0, 0x85, 0xE8, 3, 0x88, 0x13, 0, 0, 0xE4, 0x0C, 0, 0]
                  + [0] * 5)
    reply += bytes([sum(reply) & 0xFF])
    frame = [0xAA, 0xFF, 0x26] + [0] * 23
    saved_time = kx5180.time
    kx5180.time = type("NoSleep", (), {"sleep": staticmethod(lambda s: None)})
    try:
        drv = kx5180.KX5180("bench")
        drv.ser = QuickPort(reply)
        ref = type("Ref", (), {})()
        ref.template, ref.addr, ref.ser, ref.sleep = kx5180.KX5180._KX5180__CMD_TEMPLATE, 1, QuickPort(reply), \
            lambda s: None
        assert drv.read_dev_status() == python_read_dev_status(ref)
        cases = [
            ("__cal_crc(list)", lambda: drv._KX5180__cal_crc(frame),
             lambda: frame.__setitem__(-1, sum(frame[:-1]) & 0xFF)),
            ("__check_crc(bytes)", lambda: drv._KX5180__check_crc(reply), lambda: reply[-1] == sum(reply[:-1]) & 0xFF),
            ("__check_crc(list)", lambda: drv._KX5180__check_crc(frame), lambda: frame[-1] == sum(frame[:-1]) & 0xFF),
            ("read_dev_status, fixed reply, no sleep", lambda: drv.read_dev_status(),
             lambda: python_read_dev_status(ref)),
        ]
        rows = []
        for name, native, python in cases:
            n_ns = min(timeit.repeat(native, number=number, repeat=5)) / number * 1e9
            p_ns = min(timeit.repeat(python, number=number, repeat=5)) / number * 1e9
            rows.append((name, n_ns, p_ns))
    finally:
        kx5180.time = saved_time
    print(f"\n### Pure-code overhead (best of 5 x {number} calls)\n")
    print("| operation | kx5180 ns/call | plain Python ns/call | kx5180 / Python |")
    print("|---|---|---|---|")
    for name, n_ns, p_ns in rows:
        print(f"| {name} | {n_ns:.0f} | {p_ns:.0f} | {n_ns / p_ns:.2f} |")
    return rows


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="fewer calls, for a smoke run")
    parser.add_argument("--only", choices=["latency", "shared", "many", "pure"], action="append",
                        help="run only these sections (repeatable)")
    args = parser.parse_args()
    only = set(args.only or ["latency", "shared", "many", "pure"])
    print(f"Machine: {machine()}")
    if "latency" in only:
        latency(calls=10 if args.quick else 40, baud=4800)
    if "shared" in only:
        shared_object(seconds=2.0 if args.quick else 6.0)
    if "many" in only:
        many_supplies(seconds=1.0 if args.quick else 4.0)
    if "pure" in only:
        pure_code(number=2_000 if args.quick else 50_000)


if __name__ == "__main__":
    main()
