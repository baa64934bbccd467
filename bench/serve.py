"""What `kx5180 serve` adds to a line, against a paced simulator.

    python3 bench/serve.py                 # about 1.5 minutes
    python3 bench/serve.py --seconds 5 --clients 1,4,16

kx5180-sim at 4800 baud (one exchange is about 110 ms on the wire), then:

1. one exchange: `Supply.status()` straight on the line, many times;
2. the same line behind `kx5180 serve`: `MEAS:VOLT?` over SCPI, one client;
3. 1, 4 and 16 SCPI clients on the one line, each asking `MEAS:VOLT?` as
   fast as it is answered: the total per second against the line's rate
   (1 / one exchange), and the spread between the busiest and the idlest
   client (served in turn: about equal);
4. 10 dashboard viewers on the event stream: readings each receives per
   second, and the exchanges the line carried meanwhile (from the
   simulator's frame log);
5. the server's CPU time and resident memory while doing 3 and 4 (from
   /proc, so Linux only);
6. under siege, on a server of its own: 32 connections that never finish
   their request and 32 event streams held open, then 60 GETs without the
   token and 60 POSTs with it, one after the other: how many are answered
   (not 503, not dropped); and how long a client that trickles its request
   a byte at a time keeps its connection.

Prints a Markdown table.

    python3 bench/serve.py --flood 10      # about 40 s

instead measures one SCPI client's `MEAS:VOLT?` latency (median, 99th
percentile, max) on a server of its own (`--sim --units 2`, paced), alone
and while 10 processes send anonymous `GET /metrics` and `GET /api/units`
back to back, then of `GET /api/units/1` (a reading each): a query with no answer within 5 s is counted as stalled and
followed by `SYST:ERR?` to learn whether it failed or was only late.
"""

import argparse
import collections
import contextlib
import multiprocessing
import os
import re
import select
import signal
import socket
import statistics
import subprocess
import sys
import sysconfig
import threading
import time

from kx5180_lab import Simulator, Supply
from kx5180_lab.simulator import find_simulator

SCRIPTS = sysconfig.get_path("scripts")
KX = os.path.join(SCRIPTS, "kx5180")


def start_server(*args):
    """`kx5180 serve` with `args` (its ports, --sim, ...) on free ports:
    the process and its SCPI and HTTP ports, as it prints them."""
    proc = subprocess.Popen(
        [KX, "serve", "--scpi-port", "0", "--http-port", "0", "--token", "bench", *args],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )
    scpi = http = None
    for line in proc.stdout:
        if line.startswith("SCPI on "):
            scpi = int(line.split()[2].rsplit(":", 1)[1])
        elif line.startswith("HTTP on "):
            http = int(line.split("/")[2].rsplit(":", 1)[1])
        elif line.startswith("token "):
            return proc, scpi, http
    sys.exit(f"serve did not start: {proc.stderr.read()}")


def cpu_seconds(pid):
    fields = open(f"/proc/{pid}/stat").read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def rss_mib(pid):
    text = open(f"/proc/{pid}/status").read()
    return int(re.search(r"VmRSS:\s+(\d+)", text).group(1)) / 1024


def one_exchange(port, seconds):
    """Median time of one status exchange straight on the line, and the
    exchanges per second over the whole run."""
    times = []
    with Supply(port, remote=False, keep_on_exit=True) as psu:
        start = time.monotonic()
        while time.monotonic() < start + seconds:
            t = time.perf_counter()
            psu.status()
            times.append(time.perf_counter() - t)
        elapsed = time.monotonic() - start
    return statistics.median(times), len(times) / elapsed


def scpi_clients(port, n, seconds):
    counts = [0] * n
    times = [[] for _ in range(n)]
    barrier = threading.Barrier(n + 1)
    stop = threading.Event()
    failures = []

    def work(i):
        with socket.create_connection(("127.0.0.1", port), timeout=30) as s, s.makefile("rwb") as f:
            barrier.wait()
            while not stop.is_set():
                t = time.perf_counter()
                f.write(b"MEAS:VOLT?\n")
                f.flush()
                if not f.readline().strip():
                    failures.append(i)
                    return
                times[i].append(time.perf_counter() - t)
                counts[i] += 1

    threads = [threading.Thread(target=work, args=(i,)) for i in range(n)]
    for t in threads:
        t.start()
    barrier.wait()
    start = time.monotonic()
    time.sleep(seconds)
    stop.set()
    for t in threads:
        t.join()
    elapsed = time.monotonic() - start
    if failures:
        sys.exit(f"{len(failures)} clients got no answer")
    return sum(counts) / elapsed, counts, statistics.median([x for ts in times for x in ts])


def viewers(port, n, seconds):
    counts = [0] * n
    stop = threading.Event()
    ready = threading.Barrier(n + 1)

    def watch(i):
        with socket.create_connection(("127.0.0.1", port), timeout=30) as s:
            s.sendall(f"GET /api/events HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\n\r\n".encode())
            f = s.makefile("rb")
            while f.readline().strip():  # the head
                pass
            ready.wait()
            start_count = None
            while not stop.is_set():
                line = f.readline()
                if line.startswith(b"data: {"):
                    counts[i] += 1
                elif start_count is None and line.startswith(b"data: ["):
                    start_count = 0

    threads = [threading.Thread(target=watch, args=(i,), daemon=True) for i in range(n)]
    for t in threads:
        t.start()
    ready.wait()
    time.sleep(seconds)
    stop.set()
    return [c / seconds for c in counts]


def _answer(port, request):
    """The status code of the answer to `request`, None when there was none."""
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=30) as s:
            s.sendall(request)
            line = s.makefile("rb").readline()
    except OSError:
        return None
    return int(line.split()[1]) if line else None


def besieged(port, hogs=32, each=60):
    proc, _, http = start_server(port)
    host = f"Host: 127.0.0.1:{http}\r\n"
    held = []
    try:
        for i in range(2 * hogs):
            s = socket.create_connection(("127.0.0.1", http), timeout=30)
            held.append(s)
            s.sendall(f"GET /api/events HTTP/1.1\r\n{host}\r\n".encode() if i % 2 else b"GET / HTTP/1.1\r\n")
        body = b'{"output": false}'
        post = (f"POST /api/units/1 HTTP/1.1\r\n{host}X-Kx5180-Token: bench\r\nContent-Type: application/json\r\n"
                f"Content-Length: {len(body)}\r\n\r\n").encode() + body  # fmt: skip
        get = f"GET /api/units HTTP/1.1\r\n{host}\r\n".encode()
        anonymous = sum(_answer(http, get) == 200 for _ in range(each))
        token = sum(_answer(http, post) == 200 for _ in range(each))
        with socket.create_connection(("127.0.0.1", http), timeout=30) as s:
            start = time.monotonic()
            with contextlib.suppress(OSError):
                for byte in f"GET /api/units HTTP/1.1\r\n{host}X-Long: {'a' * 1000}".encode():
                    s.send(bytes([byte]))
                    if select.select([s], [], [], 0.2)[0] and not s.recv(1):
                        break  # closed by the server
            trickled = time.monotonic() - start
    finally:
        for s in held:
            s.close()
        proc.send_signal(signal.SIGTERM)
        proc.communicate(timeout=30)
    return [
        (f"{2 * each} requests while {hogs} slow heads and {hogs} event streams are held open",
         f"{anonymous + token} answered", f"without the token {anonymous} of {each}, with it {token} of {each}"),
        ("a client that trickles its request, a byte every 0.2 s", f"dropped after {trickled:.1f} s",
         "the head timeout is 10 s"),
    ]  # fmt: skip


def _flooder(port, paths, stop_now, out):
    """Anonymous GETs back to back until `stop_now`: the statuses answered
    (0: dropped unanswered)."""
    statuses = collections.Counter()
    host = f"Host: 127.0.0.1:{port}\r\n"
    requests = [f"GET {path} HTTP/1.1\r\n{host}\r\n".encode() for path in paths]
    turn = 0
    while not stop_now.is_set():
        statuses[_answer(port, requests[turn % len(requests)]) or 0] += 1
        turn += 1
    out.put(statuses)


def _latencies(port, seconds, stall=5.0):
    """One SCPI client's MEAS:VOLT? round trips for `seconds`: their times,
    and for each query unanswered within `stall` seconds what came next
    (the late answer, or the error SYST:ERR? tells)."""
    times, stalls = [], []
    with socket.create_connection(("127.0.0.1", port), timeout=stall) as s, s.makefile("rwb") as f:
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            t = time.perf_counter()
            f.write(b"MEAS:VOLT?\n")
            f.flush()
            try:
                answer = f.readline()
            except TimeoutError:
                s.settimeout(60)
                f.write(b"SYST:ERR?\n")
                f.flush()
                late = f.readline().decode().strip()
                times.append(time.perf_counter() - t)
                stalls.append(late)
                if not late.startswith(("-", "0,")):  # the late answer: SYST:ERR?'s comes next
                    f.readline()
                s.settimeout(stall)
                continue
            if not answer.strip():
                sys.exit("the SCPI connection closed")
            times.append(time.perf_counter() - t)
    return times, stalls


def _spread(times):
    times = sorted(times)
    return (f"{statistics.median(times) * 1000:.0f} ms / {times[int(len(times) * 0.99)] * 1000:.0f} ms / "
            f"{times[-1] * 1000:.0f} ms")  # fmt: skip


def flooded(n, seconds, simulator=None, paths=("/metrics", "/api/units")):
    sim = Simulator(units=2, executable=simulator)
    sim.start()
    proc, scpi, http = start_server(f"{sim.port}@1", f"{sim.port}@2")
    rows = []
    try:
        alone, stalls = _latencies(scpi, seconds)
        rows.append(("MEAS:VOLT? alone: median / 99th pct / max", _spread(alone), f"{len(alone)} queries, "
                     f"{len(stalls)} stalled"))  # fmt: skip
        stop_now = multiprocessing.Event()
        out = multiprocessing.Queue()
        procs = [multiprocessing.Process(target=_flooder, args=(http, paths, stop_now, out)) for _ in range(n)]
        for p in procs:
            p.start()
        started = time.monotonic()
        busy, stalls = _latencies(scpi, seconds)
        stop_now.set()
        elapsed = time.monotonic() - started
        statuses = sum((out.get(timeout=60) for _ in procs), collections.Counter())
        for p in procs:
            p.join()
        told = "; ".join(f"{k}: {v}" for k, v in collections.Counter(stalls).most_common(3))
        rows.append((f"MEAS:VOLT? under {n} flooders of {' and '.join(paths)}: median / 99th pct / max", _spread(busy),
                     f"{len(busy)} queries, {len(stalls)} stalled ({told or 'none'})"))  # fmt: skip
        total = sum(statuses.values())
        shares = ", ".join(f"{k or 'dropped'}: {v}" for k, v in sorted(statuses.items()))
        rows.append((f"anonymous GETs of {n} flooders", f"{total / elapsed:.0f} /s", shares))
    finally:
        proc.send_signal(signal.SIGTERM)
        proc.communicate(timeout=30)
        sim.stop()
    return rows


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--seconds", type=float, default=10.0, help="length of each measurement (default 10)")
    ap.add_argument("--clients", default="1,4,16", help="client counts (default 1,4,16)")
    ap.add_argument("--viewers", type=int, default=10, help="dashboard viewers (default 10)")
    ap.add_argument("--flood", type=int, metavar="N", help="only the SCPI latency alone and under N HTTP flooders")
    ap.add_argument("--simulator", metavar="PATH", help="with --flood: this kx5180-sim rather than the installed one")
    args = ap.parse_args()
    if find_simulator() is None or not os.path.exists(KX):
        sys.exit("needs kx5180 and kx5180-sim installed beside this python")
    if args.flood:
        print("| measurement | result | note |")
        print("|---|---|---|")
        rows = flooded(args.flood, args.seconds, args.simulator)
        rows += flooded(args.flood, args.seconds, args.simulator, ("/api/units/1",))[1:]
        for row in rows:
            print("| " + " | ".join(row) + " |")
        return
    rows = []
    totals = []
    round_trip = float("nan")
    with Simulator(baud=4800, load_ohms=10) as sim:
        # Straight on the line before and after the server's turn: the
        # machine is shared, so the line's rate is their mean.
        exchange, rate_before = one_exchange(sim.port, args.seconds)
        proc, scpi, http = start_server(sim.port)
        try:
            cpu0, t0 = cpu_seconds(proc.pid), time.monotonic()
            for count in [int(c) for c in args.clients.split(",")]:
                total, counts, median = scpi_clients(scpi, count, args.seconds)
                if count == 1:
                    round_trip = median
                totals.append((count, total, counts))
            sim.clear_log()
            per_viewer = viewers(http, args.viewers, args.seconds)
            line_frames = len(sim.frames("rx")) / args.seconds
            rows.append(
                (
                    f"{args.viewers} dashboard viewers",
                    f"{statistics.mean(per_viewer):.2f} readings/s each",
                    f"{min(per_viewer):.2f}..{max(per_viewer):.2f}; the line carried {line_frames:.2f} exchanges/s",
                )
            )
            cpu = (cpu_seconds(proc.pid) - cpu0) / (time.monotonic() - t0)
            rows.append(
                (
                    "server CPU while serving",
                    f"{cpu * 100:.1f} % of one core",
                    f"resident memory {rss_mib(proc.pid):.1f} MiB",
                )
            )
        finally:
            proc.send_signal(signal.SIGTERM)
            proc.communicate(timeout=30)
        exchange_after, rate_after = one_exchange(sim.port, args.seconds)
        rows.extend(besieged(sim.port))
    exchange = (exchange + exchange_after) / 2
    rate = (rate_before + rate_after) / 2
    rows[:0] = [
        (
            "one exchange, Supply.status() straight on the line",
            f"{exchange * 1000:.1f} ms median",
            f"line rate {rate:.2f} exchanges/s (before {rate_before:.2f}, after {rate_after:.2f})",
        ),
        (
            "MEAS:VOLT? round trip through the server, 1 client",
            f"{round_trip * 1000:.1f} ms median",
            f"{(round_trip / exchange - 1) * 100:+.1f} % against one exchange",
        ),
    ] + [
        (
            f"{count} SCPI clients on one line",
            f"{total:.2f} exchanges/s",
            f"{total / rate:.3f} of the line's rate; per client {min(counts)}..{max(counts)} answers",
        )
        for count, total, counts in totals
    ]
    print("| measurement | result | note |")
    print("|---|---|---|")
    for row in rows:
        print("| " + " | ".join(row) + " |")


if __name__ == "__main__":
    main()
