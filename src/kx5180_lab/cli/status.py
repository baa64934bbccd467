"""`kx5180 status PORT [--watch SECONDS]`: measured values, setpoints and
state, once or on a grid until Ctrl-C (then with the energy, charge and
time on counted since the start). Nothing is changed on the unit, unless a
trip switches its output off."""

from __future__ import annotations

import argparse
import sys
import time

from ..errors import LineError, NoAnswerError
from ..instrument.counters import Counters
from ..instrument.returning import BACKOFF_TEXT, wait_back, who
from ..records import Status
from ..target import Target
from .session import open_supply, trip_options
from .shared import (
    EXIT_FAILED,
    EXIT_OK,
    UsageError,
    check_period,
    fail,
    finished,
    mode_words,
    next_slot,
    print_table,
    reading_json,
    several_units_hint,
    sleep_until,
    timestamp,
)


def status_rows(name: str, st: Status) -> list[tuple[str, str]]:
    return [
        ("port", name),
        ("voltage", f"{st.voltage_v:.3f} V"),
        ("current", f"{st.current_a:.3f} A"),
        ("voltage setpoint", f"{st.voltage_set_v:.3f} V"),
        ("current limit", f"{st.current_set_a:.3f} A"),
        ("ceiling", f"{st.ceiling_v:.3f} V"),
        ("output", "on" if st.output_on else "off"),
        ("regulation", mode_words(st.mode)),
        ("over-temperature", "yes, output tripped" if st.over_temperature else "no"),
        ("fan speed", f"{st.fan_speed} of 7"),
        ("control", "remote (computer)" if st.remote else "local (front panel)"),
    ]


def counter_rows(c: Counters) -> list[tuple[str, str]]:
    return [
        ("energy", f"{c.energy_wh:.6f} Wh"),
        ("charge", f"{c.charge_ah:.6f} Ah"),
        ("output on for", f"{c.on_s:.1f} s"),
    ]


def show_status(args: argparse.Namespace, target: Target, st: Status, counters: Counters | None = None) -> None:
    if args.json:
        extra = {} if counters is None else {k: round(v, 9) for k, v in counters.as_dict().items()}
        print(reading_json(target, timestamp(), {**st.as_dict(), **extra}), flush=True)
    else:
        print_table(status_rows(target.name, st) + ([] if counters is None else counter_rows(counters)))


def run(args: argparse.Namespace, target: Target) -> int:
    if args.watch is not None:
        check_period("--watch", args.watch)
    elif getattr(args, "reconnect", False):
        raise UsageError("--reconnect goes with --watch")
    psu = open_supply(target, remote=False, keep_on_exit=True, **trip_options(args))
    with several_units_hint(target), psu:
        if args.watch is None:
            show_status(args, target, psu.status())
            return EXIT_OK
        from datetime import datetime

        clear = sys.stdout.isatty() and not args.json
        reconnect = bool(getattr(args, "reconnect", False))
        identity = psu.identity() if reconnect else None
        carried = Counters()  # counted before a line came back (the reopened unit counts from zero)
        shown = 0
        # Readings keep to a grid of start + k x period, however long each
        # takes, so the period is the period and not period + reply time.
        start, slot = time.monotonic(), 0
        try:
            while True:
                sleep_until(start + slot * args.watch)
                try:
                    try:
                        st = psu.status()
                    except LineError as e:
                        if identity is None:
                            raise
                        fail(f"{e}; reconnecting ({BACKOFF_TEXT})")
                        lost = time.monotonic()
                        carried = carried + psu.counters()
                        back = wait_back(psu, identity, fail)
                        assert back is not None  # no end to wait for
                        st = back
                        fail(f"{psu.port}: back ({who(identity)}), output off, after {time.monotonic() - lost:.1f} s")
                except NoAnswerError as e:
                    # A live view rides out a missed reading and says so.
                    fail(str(e))
                else:
                    if clear:
                        sys.stdout.write("\033[H\033[J")
                        print(f"{datetime.now():%H:%M:%S}  every {args.watch:g} s, Ctrl-C to stop")
                    show_status(args, target, st, carried + psu.counters())
                    shown += 1
                    if not clear and not args.json:
                        print()
                    sys.stdout.flush()
                slot = next_slot(start, slot, args.watch)
        except KeyboardInterrupt as e:
            return finished(e)
        except LineError as e:
            fail(f"{e}; {shown} readings shown")
            return EXIT_FAILED
