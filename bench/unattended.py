"""Trips and counters against kx5180-sim at 4800 baud (paced like a real
line).

    python3 bench/unattended.py            # about 30 s
    python3 bench/unattended.py --runs 10

trip latency: 3 V into 10 ohm (0.3 A), a current trip at 0.4 A, readings
back to back (the smallest interval there is); the load drops to 1 ohm
(0.5 A, current-limited) 1.5 s after the simulator starts. The latency is
taken from the simulator's own log: from the status reply that first
carries the current above the trip to the acknowledgement of "output off".
One exchange at 4800 baud is 2 x 54.17 ms on the wire plus 2 ms.

counters: 2 V with a 1 A limit into 10 ohm (0.2 A, 0.4 W), the load 5 ohm
(0.4 A, 0.8 W) from 3 s on, readings every INTERVAL for about 6 s; the
exact charge and energy are integrated from the simulator's timeline (the
load change is logged with its time) between the first and the last
reading's reply, and set beside Supply.counters().
"""

import argparse
import re
import statistics
import time

from kx5180_lab import Supply, TripError
from kx5180_lab.simulator import Simulator

STAMP = re.compile(r"^\[\s*([\d.]+)\] (rx|tx|--) (.*)$")


def timeline(sim):
    out = []
    for line in sim.log():
        m = STAMP.match(line)
        if m:
            out.append((float(m.group(1)), m.group(2), m.group(3)))
    return out


def trip_latency():
    with Simulator(baud=4800, load_ohms=10, extra_args=["--load-schedule", "1.5:1"]) as sim:
        with Supply(sim.port, trip_current=0.4) as psu:
            psu.set(voltage=3, current=0.5)
            psu.output(True)
            try:
                while True:
                    psu.status()
            except TripError as e:
                reading = e.reading
        time.sleep(0.3)  # the log line of the last frame follows it
        events = timeline(sim)
    over = ack = None
    for t, way, text in events:
        b = text.split()
        if over is None and way == "tx" and b[2] == "26" and int(b[3], 16) + 256 * int(b[4], 16) > 400:
            over = t
        elif over is not None and way == "tx" and b[2:5] == ["12", "21", "80"]:
            ack = t
            break
    return (ack - over) * 1000, reading


def counters(interval):
    with Simulator(baud=4800, load_ohms=10, extra_args=["--load-schedule", "3:5"]) as sim:
        with Supply(sim.port) as psu:
            psu.set(voltage=2, current=1)
            psu.output(True)
            psu.status()
            psu.reset_counters()
            start = time.monotonic()
            while time.monotonic() - start < 6:
                psu.status()
                time.sleep(max(0.0, interval - 0.115))
            got = psu.counters()
        time.sleep(0.3)
        events = timeline(sim)
    replies = [t for t, way, text in events if way == "tx" and text.split()[2] == "26"]
    # Replies: the set's reading, the one before the reset, then those counted
    # (the first of them starts the count).
    first, last = replies[2], replies[-1]
    switch = next(t for t, way, text in events if way == "--" and "load now 5 ohms" in text)
    before, after = max(0.0, min(switch, last) - first), max(0.0, last - max(switch, first))
    exact_ah = (0.2 * before + 0.4 * after) / 3600
    exact_wh = (0.4 * before + 0.8 * after) / 3600
    return got, exact_ah, exact_wh


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--runs", type=int, default=5)
    args = ap.parse_args()
    lat = [trip_latency() for _ in range(args.runs)]
    ms = [m for m, _ in lat]
    print(
        f"trip latency, {args.runs} runs: median {statistics.median(ms):.2f} ms, "
        f"min {min(ms):.2f}, max {max(ms):.2f} (one exchange: 110.33 ms)"
    )
    for interval in (0.0, 0.5):
        got, ah, wh = counters(interval)
        print(
            f"counters, readings every {interval or 'exchange'} s: charge {got.charge_ah * 1000:.4f} mAh "
            f"(exact {ah * 1000:.4f}, {100 * (got.charge_ah / ah - 1):+.2f} %), energy {got.energy_wh * 1000:.4f} mWh "
            f"(exact {wh * 1000:.4f}, {100 * (got.energy_wh / wh - 1):+.2f} %), on {got.on_s:.2f} s"
        )


if __name__ == "__main__":
    main()
