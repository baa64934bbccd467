"""Wrong readings from late replies, with and without the toolkit's guards.

    python3 bench/late_replies.py                  # about 3 minutes
    python3 bench/late_replies.py --reads 30 --baud 4800 --every 5

kx5180-sim with every Nth reply late (700 ms by default, past the driver's
own 0.6 s) and a Supply that sets the voltage to 3 V and reads the status,
--reads times over. A reading whose voltage setpoint or ceiling is not
what was set is a late reply decoded as the status (an acknowledgement, as
a rule). One row for each of: no guard (late_window=0), strict replies
(late_window=0), the late window alone (the default, 1 s). Prints a
Markdown table.
"""

import argparse
import time

from kx5180_lab import NoAnswerError, Supply
from kx5180_lab.simulator import Simulator


def run(args, strict, window):
    wrong = missed = 0
    started = time.monotonic()
    extra = ["--late-ms", str(args.late_ms)]
    with Simulator(baud=args.baud, faults=["late"], fault_every=args.every, extra_args=extra) as sim:
        psu = Supply(sim.port, strict_replies=strict, late_window=window, keep_on_exit=True).open()
        try:
            for _ in range(args.reads):
                try:
                    psu.set(voltage=3.0)
                except NoAnswerError:
                    pass
                try:
                    st = psu.status()
                except NoAnswerError:
                    missed += 1
                    continue
                wrong += (round(st.voltage_set_v * 1000), round(st.ceiling_v * 1000)) != (3000, 30000)
        finally:
            psu.close()
    return wrong, missed, time.monotonic() - started


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--reads", type=int, default=60)
    p.add_argument("--baud", type=int, default=4800)
    p.add_argument("--every", type=int, default=3, help="every Nth reply is late")
    p.add_argument("--late-ms", type=float, default=700)
    args = p.parse_args()
    print(f"{args.reads} status reads, every {args.every}th reply {args.late_ms:g} ms late, {args.baud} baud\n")
    print("| guard | wrong readings | missed | seconds |")
    print("|---|---:|---:|---:|")
    for name, strict, window in (
        ("none (late_window=0)", False, 0.0),
        ("strict replies (late_window=0)", True, 0.0),
        ("late window 1 s (default)", False, 1.0),
    ):
        wrong, missed, seconds = run(args, strict, window)
        print(f"| {name} | {wrong} | {missed} | {seconds:.1f} |", flush=True)


if __name__ == "__main__":
    main()
