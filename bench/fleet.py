"""What Prometheus scrapes and an MQTT broker cost `kx5180 serve`.

    python3 bench/fleet.py                 # about a minute
    python3 bench/fleet.py --seconds 5

1. kx5180-sim at 4800 baud with 2 units on one line: one SCPI client's
   `MEAS:VOLT?` rate (the line's rate) alone, then with 10 scrapers
   fetching /metrics back to back (a CPU load, not a line load), then
   each once a second; the scrapes' median and 95th percentile time and
   their total rate;
2. the same with 16 units on one line;
3. 16 simulated units answering at once, the server publishing to a
   mosquitto on loopback: state messages per second the broker delivered
   to a subscriber, and the server's CPU (share of one core, from /proc,
   Linux only), at the default poll (0.5 s) and at --poll 0.01.

Needs mosquitto on PATH (or /usr/sbin) and paho-mqtt for step 3.
Prints a Markdown table.
"""

import argparse
import multiprocessing
import os
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from serve import cpu_seconds, scpi_clients, start_server  # noqa: E402


def stop(proc):
    proc.terminate()
    proc.communicate(timeout=60)


def scrape(port):
    with socket.create_connection(("127.0.0.1", port), timeout=30) as s:
        s.sendall(f"GET /metrics HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\n\r\n".encode())
        data = b""
        while chunk := s.recv(65536):
            data += chunk
    if not data.startswith(b"HTTP/1.1 200"):
        sys.exit(f"scrape failed: {data[:200]!r}")
    return data


def _scraper(port, interval, stop_now, out):
    times = []
    while not stop_now.is_set():
        t = time.perf_counter()
        scrape(port)
        times.append(time.perf_counter() - t)
        stop_now.wait(interval)
    out.put(times)


def scrapers(port, n, interval):
    """`n` scrapers, each a process of its own (so that none holds up the
    SCPI client's thread here), fetching /metrics every `interval` seconds
    (0: back to back). Returns what stops them and gives their times."""
    stop_now = multiprocessing.Event()
    out = multiprocessing.Queue()
    procs = [multiprocessing.Process(target=_scraper, args=(port, interval, stop_now, out)) for _ in range(n)]
    for p in procs:
        p.start()

    def finish():
        stop_now.set()
        times = [t for _ in procs for t in out.get(timeout=60)]
        for p in procs:
            p.join()
        return times

    return finish


def line_with_scrapers(units, seconds, n, interval):
    proc, scpi, http = start_server("--sim", "--units", str(units))
    try:
        scrape(http)  # the poller reads from the first scrape on
        alone, _, _ = scpi_clients(scpi, 1, seconds)
        finish = scrapers(http, n, interval)
        started = time.monotonic()
        with_scrapers, _, _ = scpi_clients(scpi, 1, seconds)
        elapsed = time.monotonic() - started
        times = finish()
        times.sort()
        size = len(scrape(http))
        return alone, with_scrapers, statistics.median(times), times[int(len(times) * 0.95)], len(times) / elapsed, size
    finally:
        stop(proc)


def mqtt_rate(units, poll, seconds):
    import paho.mqtt.client as mqtt

    mosquitto = shutil.which("mosquitto") or "/usr/sbin/mosquitto"
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    with tempfile.TemporaryDirectory() as tmp:
        conf = os.path.join(tmp, "m.conf")
        with open(conf, "w") as f:
            f.write(f"listener {port} 127.0.0.1\nallow_anonymous true\npersistence false\n")
        broker = subprocess.Popen([mosquitto, "-c", conf], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            deadline = time.monotonic() + 10
            while True:
                try:
                    socket.create_connection(("127.0.0.1", port), timeout=1).close()
                    break
                except OSError:
                    if time.monotonic() > deadline:
                        sys.exit("mosquitto did not start")
                    time.sleep(0.05)
            count = [0]
            sub = mqtt.Client(mqtt.CallbackAPIVersion.VERSION2)
            sub.on_message = lambda _c, _u, _m: count.__setitem__(0, count[0] + 1)
            sub.connect("127.0.0.1", port)
            sub.subscribe("kx5180/+/state")
            sub.loop_start()
            proc, _, _ = start_server(
                "--sim", "--units", str(units), "--sim-args", "--baud 0", "--poll", str(poll),
                "--mqtt", f"mqtt://127.0.0.1:{port}",
            )  # fmt: skip
            try:
                time.sleep(2)  # connected and publishing
                before, cpu0, t0 = count[0], cpu_seconds(proc.pid), time.monotonic()
                time.sleep(seconds)
                got, cpu1, t1 = count[0] - before, cpu_seconds(proc.pid), time.monotonic()
            finally:
                stop(proc)
                sub.loop_stop()
            return got / (t1 - t0), (cpu1 - cpu0) / (t1 - t0)
        finally:
            broker.terminate()
            broker.wait(timeout=10)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--seconds", type=float, default=10.0, help="length of each measurement (default 10)")
    ap.add_argument("--scrapers", type=int, default=10, help="scrapers at once (default 10)")
    args = ap.parse_args()
    print("| measurement | figure |")
    print("|---|---|")
    for units in (2, 16):
        for interval in (0.0, 1.0):
            pace = "back to back" if not interval else f"each every {interval:g} s"
            alone, busy, median, p95, rate, size = line_with_scrapers(units, args.seconds, args.scrapers, interval)
            what = f"{units} units, {args.scrapers} scrapers {pace}"
            print(f"| {what}: one SCPI client's MEAS:VOLT? (4800 baud) | {busy:.2f} /s ({busy / alone:.2f} of alone) |")
            print(f"| {what}: scrape time, median / 95th percentile | {median * 1000:.1f} / {p95 * 1000:.1f} ms |")
            print(f"| {what}: scrapes answered | {rate:.0f} /s, {size} bytes each |")
    for poll in (0.5, 0.01):
        messages, cpu = mqtt_rate(16, poll, args.seconds)
        print(f"| 16 units, --poll {poll}: MQTT state messages | {messages:.1f} /s |")
        print(f"| 16 units, --poll {poll}: server CPU | {cpu * 100:.1f} % of a core |")


if __name__ == "__main__":
    main()
