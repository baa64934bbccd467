"""`kx5180 run PORT PROGRAM.csv`: a program of steps, the output on for it
and off after it, with every check made before anything is sent."""

from __future__ import annotations

import argparse

from ..errors import NoAnswerError, TripError
from ..instrument.program import MAX_REPEAT, check_program, read_program
from ..records import Status
from ..target import Target
from .logfile import LogFile
from .session import open_supply, trip_options
from .shared import EXIT_FAILED, EXIT_OK, UsageError, check_period, fail, live, live_clear, live_end


def run(args: argparse.Namespace, target: Target) -> int:
    check_period("--interval", args.interval)
    if not 1 <= args.repeat <= MAX_REPEAT:
        raise UsageError(f"--repeat needs a whole number from 1 to {MAX_REPEAT}")
    try:
        steps = read_program(args.program)
    except OSError as e:
        raise UsageError(f"cannot read {args.program}: {e.strerror or e}") from e
    psu = open_supply(target, max_voltage=args.max_voltage, max_current=args.max_current, **trip_options(args))
    check_program(psu, steps, args.repeat)  # before the port is opened
    log = LogFile(args.csv, ("step",))
    missed = 0

    def reading(step: int, st: Status) -> None:
        c = psu.counters()
        log.write(st, c, step)
        live(
            f"step {step} of {len(steps)}  {st.voltage_v:7.3f} V  {st.current_a:6.3f} A  "
            f"{c.energy_wh:.4f} Wh  {c.charge_ah:.4f} Ah"
        )

    def no_reading(step: int, e: NoAnswerError) -> None:
        nonlocal missed
        missed += 1
        live_clear()
        fail(f"step {step}: no reading: {e}")

    try:
        with psu:
            try:
                delivered = psu.run(
                    steps, repeat=args.repeat, interval=args.interval, on_reading=reading, on_missed=no_reading
                )
            except TripError as e:
                c = psu.counters()
                return log.tripped(e, c, f"{c.charge_ah:.4f} Ah, {c.energy_wh:.4f} Wh delivered", e.step or "")
            finally:
                live_end()
    finally:
        log.close()
    print(
        f"program done: {len(steps)} steps x {args.repeat}, {delivered.charge_ah:.4f} Ah and "
        f"{delivered.energy_wh:.4f} Wh delivered, output on for {delivered.on_s:.1f} s, output off"
        + log.summary()
        + (f" ({missed} readings missed)" if missed else "")
    )
    return EXIT_FAILED if missed else EXIT_OK
