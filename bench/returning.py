"""How soon a line that comes back gives a good reading again.

    python3 bench/returning.py               # about a minute
    python3 bench/returning.py --rounds 5

kx5180-sim at 4800 baud on a `--link` path, stopped (the adapter pulled)
and started again on the same path after a pause, then the time from the
moment the path is back (the simulator has printed it) to:

1. `kx5180 serve`: the first `GET /api/units/1` answered 200 (asked every
   10 ms; while the line is down each is refused at once, nothing sent),
   and the reopening itself as the server tells it ("reopened in S s");
2. `kx5180 log --reconnect --interval 0.5`: the row that says "line back".

The server notices the drop at the first request after it; the pause is
counted from then. Both wait for their next attempt (2 s after the drop,
then 6, 14, ... s), so the figure is mostly where the return falls in the
backoff; the reopening is what the line itself costs.

Prints a Markdown table.
"""

import argparse
import http.client
import os
import re
import signal
import statistics
import subprocess
import sys
import sysconfig
import tempfile
import time

from kx5180_lab import Simulator
from kx5180_lab.simulator import find_simulator

KX = os.path.join(sysconfig.get_path("scripts"), "kx5180")


def get(port, path):
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
    conn.request("GET", path, headers={"Host": f"127.0.0.1:{port}"})
    code = conn.getresponse().status
    conn.close()
    return code


def start_server(link):
    proc = subprocess.Popen(
        [KX, "serve", link, "--scpi-port", "0", "--http-port", "0", "--token", "bench"],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )
    http_port = None
    for line in proc.stdout:
        if line.startswith("HTTP on "):
            http_port = int(line.split("/")[2].rsplit(":", 1)[1])
        elif line.startswith("token "):
            return proc, http_port
    sys.exit(f"serve did not start: {proc.stderr.read()}")


def sim_on(link):
    return Simulator(baud=4800, load_ohms=10, extra_args=["--link", link]).start()


def serve_rounds(link, pauses, rounds):
    sim = sim_on(link)
    proc, port = start_server(link)
    results = {p: [] for p in pauses}
    try:
        for _ in range(rounds):
            for pause in pauses:
                sim.stop()
                while get(port, "/api/units/1") != 502:  # the drop, found by a request
                    time.sleep(0.01)
                time.sleep(pause)
                sim = sim_on(link)
                back = time.monotonic()
                while get(port, "/api/units/1") != 200:
                    time.sleep(0.01)
                results[pause].append(time.monotonic() - back)
    finally:
        proc.send_signal(signal.SIGTERM)
        _, err = proc.communicate(timeout=30)
        sim.stop()
    reopen = [float(s) for s in re.findall(r"reopened in ([0-9.]+) s", err)]
    return results, reopen


def log_rounds(link, pause, rounds, folder):
    sim = sim_on(link)
    out = os.path.join(folder, "run.csv")
    proc = subprocess.Popen(
        [KX, "log", link, "--interval", "0.5", "--csv", out, "--reconnect"],
        stdout=subprocess.DEVNULL,
        stderr=subprocess.DEVNULL,
    )
    times = []

    def text():
        with open(out, encoding="utf-8") as f:
            return f.read()

    try:
        while not os.path.exists(out) or text().count("\n") < 3:
            time.sleep(0.01)
        for n in range(1, rounds + 1):
            sim.stop()
            while text().count("line lost") < n:
                time.sleep(0.01)
            time.sleep(pause)
            sim = sim_on(link)
            back = time.monotonic()
            while text().count("line back") < n:
                time.sleep(0.01)
            times.append(time.monotonic() - back)
    finally:
        proc.send_signal(signal.SIGTERM)
        proc.wait(timeout=30)
        sim.stop()
    return times


def fmt(values):
    return f"{statistics.median(values):.2f} s median, {min(values):.2f}..{max(values):.2f}"


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--rounds", type=int, default=3, help="drops per case (default 3)")
    args = ap.parse_args()
    if find_simulator() is None or not os.path.exists(KX):
        sys.exit("needs kx5180 and kx5180-sim installed beside this python")
    pauses = (0.5, 2.5)
    with tempfile.TemporaryDirectory() as folder:
        link = os.path.join(folder, "ttyUSB0")
        served, reopen = serve_rounds(link, pauses, args.rounds)
        logged = log_rounds(link, 0.5, args.rounds, folder)
    print("| after the return | time to the first good reading | |")
    print("|---|---:|---|")
    for pause in pauses:
        then = 2 if pause < 2 else 6
        print(f"| serve, back {pause:g} s after the drop | {fmt(served[pause])} | next attempt at {then} s |")
    print(f"| serve, the reopening itself | {fmt(reopen)} | open, identity, status (and output off if on) |")
    print(f'| log --reconnect, back 0.5 s after the drop | {fmt(logged)} | to the row that says "line back" |')


if __name__ == "__main__":
    main()
