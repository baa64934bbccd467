"""One status exchange over a network line against the same line directly:
kx5180-sim at 4800 baud (paced like a real line) behind Debian's ser2net 4.x
on loopback, with an RFC 2217 accepter and a raw TCP one, and `Supply`
reading the status through each in turn, in rounds, in one run.

    python3 bench/network.py                  # 200 exchanges a line, about 1.5 minutes
    python3 bench/network.py --count 50 --chardelay

ser2net gets the configuration docs/hardware.md gives (`chardelay: false`);
`--chardelay` leaves ser2net's default, which holds back what the line sends
for up to 20 ms in case more follows. Loopback measures what the two
protocols and ser2net add, not a network's own round trip.
"""

import argparse
import os
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import time

from kx5180_lab.simulator import Simulator, find_simulator
from kx5180_lab.supply import PortBusyError, Supply


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def config(device, rfc2217, raw, chardelay):
    options = "" if chardelay else "  options:\n    chardelay: false\n"
    return (
        f"connection: &rfc2217\n  accepter: telnet(rfc2217),tcp,127.0.0.1,{rfc2217}\n"
        f"  connector: serialdev,{device},4800n81,local\n{options}"
        f"connection: &raw\n  accepter: tcp,127.0.0.1,{raw}\n"
        f"  connector: serialdev,{device},4800n81,local\n{options}"
    )


def wait_listening(port, proc):
    deadline = time.monotonic() + 10
    while True:
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return
        except OSError:
            if proc.poll() is not None or time.monotonic() > deadline:
                sys.exit("ser2net did not start")
            time.sleep(0.05)


def opened(name):
    """The supply, once ser2net has let go of the device after the last
    network client (it takes a moment)."""
    deadline = time.monotonic() + 10
    while True:
        try:
            return Supply(name).open()
        except PortBusyError:
            if time.monotonic() > deadline:
                raise
            time.sleep(0.05)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--count", type=int, default=200, help="status exchanges a line (default 200)")
    ap.add_argument("--chardelay", action="store_true", help="ser2net's default character delay")
    args = ap.parse_args()
    if find_simulator() is None or shutil.which("ser2net") is None:
        sys.exit("needs kx5180-sim and ser2net (apt-get install ser2net)")
    rounds, per_round = max(1, args.count // 25), 25
    times = {}
    with tempfile.TemporaryDirectory() as tmp, Simulator(baud=4800, load_ohms=10) as sim:
        rfc2217, raw = free_port(), free_port()
        path = os.path.join(tmp, "ser2net.yaml")
        with open(path, "w") as f:
            f.write(config(sim.port, rfc2217, raw, args.chardelay))
        proc = subprocess.Popen(
            ["ser2net", "-n", "-c", path, "-P", os.path.join(tmp, "pid")], stderr=subprocess.DEVNULL
        )
        try:
            for port in (rfc2217, raw):
                wait_listening(port, proc)
            lines = {
                "direct": sim.port,
                "rfc2217": f"rfc2217://127.0.0.1:{rfc2217}",
                "socket": f"socket://127.0.0.1:{raw}",
            }
            for _ in range(rounds):
                for kind, name in lines.items():
                    with opened(name) as psu:
                        psu.status()  # the first exchange after opening is not the one measured
                        for _ in range(per_round):
                            t = time.perf_counter()
                            psu.status()
                            times.setdefault(kind, []).append(time.perf_counter() - t)
        finally:
            proc.terminate()
            proc.wait(timeout=10)
    direct = statistics.median(times["direct"])
    print(f"ser2net {'default chardelay' if args.chardelay else 'chardelay: false'}, {rounds * per_round} a line")
    print(f"{'line':<8} {'median ms':>9} {'mean ms':>8} {'p95 ms':>7} {'vs direct':>9}")
    for kind, ts in times.items():
        ts = sorted(ts)
        median = statistics.median(ts)
        p95 = ts[int(0.95 * (len(ts) - 1))]
        print(
            f"{kind:<8} {median * 1e3:9.1f} {statistics.fmean(ts) * 1e3:8.1f} {p95 * 1e3:7.1f}"
            f" {100 * (median / direct - 1):+8.1f} %"
        )


if __name__ == "__main__":
    main()
