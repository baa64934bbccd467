"""Wrong readings from late replies, with and without the toolkit's guards.

    python3 bench/late_replies.py                  # about 5 minutes
    python3 bench/late_replies.py --only shared --reads 80
    python3 bench/late_replies.py --reads 30 --baud 4800 --every 5

One unit: kx5180-sim with every Nth reply late (700 ms by default, past
the driver's own 0.6 s) and a Supply that sets the voltage to 3 V and
reads the status, --reads times over. A reading whose voltage setpoint or
ceiling is not what was set is a late reply decoded as the status (an
acknowledgement, as a rule). One row for each of: no guard
(late_window=0), strict replies (late_window=0), the late window alone
(the default, 1 s).

Two units on one line: kx5180-sim --units 2 with a fraction (--rate) of
the replies late, unit 1 at 12 V and unit 2 at 1 V, their status read in
turn until --reads readings came back. A reading with the other unit's
setpoint is the other unit's late reply. One row for each of: raw driver
objects from Bus.unit(), two Supplys on the Bus (the defaults), and the
same with strict replies.

Prints Markdown tables.
"""

import argparse
import contextlib
import time

import kx5180
from kx5180_lab import Bus, NoAnswerError, Supply
from kx5180_lab.simulator import Simulator

VOLTS = {1: 12.0, 2: 1.0}


def one_unit(args, strict, window):
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


def answered(call):
    for _ in range(50):
        with contextlib.suppress(NoAnswerError):
            result = call()
            if result is not None and result is not False:
                return result
    raise SystemExit("no answer in 50 tries: is the fault rate too high?")


def readers(bus, through, stack):
    """Each unit's voltage setpoint as read (None: no answer)."""
    if through == "units":
        units = {a: bus.unit(a) for a in VOLTS}
        for a, v in VOLTS.items():
            answered(lambda a=a, v=v: units[a].set_out_voltage(v))
        return {a: lambda a=a: (units[a].read_dev_status() or {}).get("voltage_set") for a in VOLTS}
    supplies = {}
    for a, v in VOLTS.items():
        options = dict(remote=False, keep_on_exit=True, strict_replies=through == "strict")
        supplies[a] = answered(lambda a=a, options=options: stack.enter_context(bus.supply(a, **options)))
        answered(lambda a=a, v=v: supplies[a].set(voltage=v) or True)

    def read(a):
        try:
            return supplies[a].status().voltage_set_v
        except NoAnswerError:
            return None

    return {a: lambda a=a: read(a) for a in VOLTS}


def shared_line(args, through):
    foreign = wrong = missed = valid = 0
    extra = ["--late-ms", str(args.late_ms), "--seed", str(args.seed)]
    with Simulator(baud=args.baud, units=2, faults=["late"], fault_rate=args.rate, extra_args=extra) as sim:
        with Bus(sim.port) as bus, contextlib.ExitStack() as stack:
            read = readers(bus, through, stack)
            started = time.monotonic()
            i = 0
            while valid < args.reads:
                address = 1 + i % 2
                i += 1
                got = read[address]()
                if got is None:
                    missed += 1
                    continue
                valid += 1
                foreign += got == VOLTS[3 - address]
                wrong += got != VOLTS[address]
    return foreign, wrong, missed, valid, time.monotonic() - started


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--reads", type=int, default=60)
    p.add_argument("--baud", type=int, default=4800)
    p.add_argument("--every", type=int, default=3, help="one unit: every Nth reply is late")
    p.add_argument("--rate", type=float, default=0.3, help="two units: this fraction of replies is late")
    p.add_argument("--seed", type=int, default=1, help="two units: the simulator's seed for --rate")
    p.add_argument("--late-ms", type=float, default=700)
    p.add_argument("--only", choices=["one", "shared"], help="only one unit, or only two units on one line")
    args = p.parse_args()
    kx5180.print = lambda *a, **k: None  # the raw driver objects' reply lines
    if args.only != "shared":
        print(
            f"One unit: {args.reads} status reads, every {args.every}th reply {args.late_ms:g} ms late, "
            f"{args.baud} baud\n"
        )
        print("| guard | wrong readings | missed | seconds |")
        print("|---|---:|---:|---:|")
        for name, strict, window in (
            ("none (late_window=0)", False, 0.0),
            ("strict replies (late_window=0)", True, 0.0),
            ("late window 1 s (default)", False, 1.0),
        ):
            wrong, missed, seconds = one_unit(args, strict, window)
            print(f"| {name} | {wrong} | {missed} | {seconds:.1f} |", flush=True)
        print()
    if args.only != "one":
        print(
            f"Two units on one line: {args.reads} readings, {args.rate:g} of the replies {args.late_ms:g} ms late "
            f"(seed {args.seed}), {args.baud} baud\n"
        )
        print("| through | the other unit's | wrong readings | missed | seconds |")
        print("|---|---:|---:|---:|---:|")
        for name, through in (
            ("`Bus.unit()` driver objects", "units"),
            ("two `Supply`s (defaults)", "supplies"),
            ("two `Supply`s, `strict_replies=True`", "strict"),
        ):
            foreign, wrong, missed, valid, seconds = shared_line(args, through)
            print(f"| {name} | {foreign} of {valid} | {wrong} | {missed} | {seconds:.1f} |", flush=True)


if __name__ == "__main__":
    main()
