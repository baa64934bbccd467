"""`kx5180 charge PORT --voltage V --current A --cutoff A`: a CC-CV charge,
for a battery whose chemistry allows one, within the user's limits; the
output is off at the end, whatever ended it."""

from __future__ import annotations

import argparse

from ..errors import NoAnswerError, TripError
from ..instrument.charge import CUTOFF_READINGS, check_charge
from ..instrument.counters import Counters
from ..records import Status
from ..target import Target
from .logfile import LogFile
from .session import open_supply, trip_options
from .shared import EXIT_FAILED, EXIT_OK, check_period, fail, live, live_clear, live_end


def run(args: argparse.Namespace, target: Target) -> int:
    check_period("--interval", args.interval)
    psu = open_supply(target, max_voltage=args.max_voltage, max_current=args.max_current, **trip_options(args))
    check_charge(psu, args.voltage, args.current, args.cutoff, args.max_time, args.max_charge)
    log = LogFile(args.csv)

    def reading(st: Status, delivered: Counters) -> None:
        log.write(st, psu.counters())
        live(
            f"{st.mode}  {st.voltage_v:7.3f} V  {st.current_a:6.3f} A  "
            f"{delivered.charge_ah:.4f} Ah  {delivered.energy_wh:.4f} Wh"
        )

    def no_reading(e: NoAnswerError) -> None:
        live_clear()
        fail(f"no reading: {e}")

    before = Counters()
    try:
        with psu:
            before = psu.counters()
            try:
                result = psu.charge(
                    args.voltage,
                    args.current,
                    args.cutoff,
                    max_time=args.max_time,
                    max_charge=args.max_charge,
                    interval=args.interval,
                    on_reading=reading,
                    on_missed=no_reading,
                )
            except TripError as e:
                d = psu.counters() - before
                ended = f"charge ended by the trip: {d.charge_ah:.4f} Ah and {d.energy_wh:.4f} Wh delivered"
                return log.tripped(e, psu.counters(), ended)
            finally:
                live_end()
    finally:
        log.close()
    how = f" ({CUTOFF_READINGS} readings in a row below {args.cutoff:g} A)" if result.done else ""
    print(result.text() + how + ", output off" + log.summary())
    return EXIT_OK if result.done else EXIT_FAILED
