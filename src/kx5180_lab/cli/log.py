"""`kx5180 log PORT --csv FILE`: status readings on a grid into a CSV
file, every row flushed as written, with the energy, charge and time on
counted so far; Ctrl-C stops it and keeps every row. Nothing is changed on
the unit, unless a trip switches its output off (or, with --reconnect, a
unit that comes back with its output on has it switched off)."""

from __future__ import annotations

import argparse
import csv
import math
import os
import time
from typing import Any

from ..errors import LineError, NoAnswerError, TripError
from ..instrument.counters import Counters
from ..instrument.returning import BACKOFF_TEXT, wait_back, who
from ..plot import PLOT_HINT, PlotInputError, PlotUnavailable, plot_csv
from ..records import STATUS_FIELDS, Status
from ..stops import deferred
from ..target import Target
from .session import open_supply, trip_options
from .shared import (
    EXIT_FAILED,
    EXIT_OK,
    EXIT_TRIPPED,
    UsageError,
    check_folder,
    check_period,
    fail,
    finished,
    live,
    live_end,
    mode_words,
    next_slot,
    sleep_until,
    timestamp,
)

# The counters come last, so that readers of the earlier columns keep working.
COUNTER_FIELDS = ("energy_wh", "charge_ah", "on_s")
CSV_FIELDS = ("time_s", "timestamp") + STATUS_FIELDS + COUNTER_FIELDS
# With --reconnect, one more column after them: empty in a reading's row,
# "line lost: ..." in the row that marks a gap (no reading in it), and
# "line back after S s" in the first reading after it.
NOTE_FIELD = "note"


def gap_row(t: float, stamp: str, note: str) -> list[Any]:
    return [f"{t:.3f}", stamp, *[""] * (len(STATUS_FIELDS) + len(COUNTER_FIELDS)), note]


def csv_row(t: float, stamp: str, st: Status, counters: Counters) -> list[Any]:
    """One reading as `log` writes it."""
    values = [int(v) if isinstance(v, bool) else v for v in st.as_dict().values()]
    return [
        f"{t:.3f}",
        stamp,
        *values,
        f"{counters.energy_wh:.6f}",
        f"{counters.charge_ah:.6f}",
        f"{counters.on_s:.3f}",
    ]


def _plot_available() -> bool:
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        return False
    return True


def _close_quietly(out: Any) -> None:
    # A file whose last write failed fails again on close, flushing the
    # same bytes: the first failure is the one reported.
    try:
        out.close()
    except OSError:
        pass


def run(args: argparse.Namespace, target: Target) -> int:
    check_period("--interval", args.interval)
    if args.duration is not None and not (args.duration >= 0 and math.isfinite(args.duration)):
        raise UsageError("--duration needs a number of seconds >= 0")
    if args.plot and not _plot_available():
        fail(PLOT_HINT)
        return EXIT_FAILED
    if args.plot:
        check_folder("--plot", args.plot)  # now rather than after an hour of logging
    existed = os.path.exists(args.csv)
    try:
        out = open(args.csv, "w", newline="", encoding="utf-8")
    except OSError as e:
        raise UsageError(f"cannot write {args.csv}: {e.strerror or e}") from e
    writer = csv.writer(out)
    reconnect = bool(getattr(args, "reconnect", False))
    try:
        writer.writerow(CSV_FIELDS + ((NOTE_FIELD,) if reconnect else ()))
        out.flush()
    except OSError as e:  # a full disk, /dev/full: refused before the supply is opened
        _close_quietly(out)
        raise UsageError(f"cannot write {args.csv}: {e.strerror or e}") from e
    rows = missed = gaps = 0
    psu = open_supply(target, remote=False, keep_on_exit=True, **trip_options(args))
    try:
        psu.open()
    except BaseException:
        _close_quietly(out)
        if not existed:  # no supply, no log: leave no empty file behind
            os.remove(args.csv)
        raise
    ended: BaseException | None = None
    # Energy and charge go on from where they were when a line comes back
    # (the reopened unit counts from zero); nothing is counted across the gap.
    carried = Counters()

    def counters() -> Counters:
        return carried + psu.counters()

    def write(t: float, st: Status, note: str = "") -> None:
        nonlocal rows
        # The count printed at the end is the count in the file.
        with deferred() as held:
            writer.writerow(csv_row(t, timestamp(), st, counters()) + ([note] if reconnect else []))
            out.flush()
            rows += 1
        held.release()

    def mark_gap(t: float, note: str) -> None:
        nonlocal gaps
        with deferred() as held:
            writer.writerow(gap_row(t, timestamp(), note))
            out.flush()
            gaps += 1
        held.release()

    try:
        with psu:
            identity = psu.identity()
            start = time.monotonic()
            end = None if args.duration is None else start + args.duration
            slot = 0
            try:
                while args.duration is None or slot * args.interval <= args.duration + 1e-9:
                    sleep_until(start + slot * args.interval)
                    note = ""
                    try:
                        try:
                            st = psu.status()
                        except LineError as e:
                            if not reconnect:
                                raise
                            live_end()
                            fail(f"{e}; reconnecting ({BACKOFF_TEXT})")
                            lost = time.monotonic()
                            mark_gap(lost - start, f"line lost: {str(e).removeprefix(psu.port + ': ')}")
                            carried = counters()
                            back = wait_back(psu, identity, fail, until=end)
                            if back is None:  # the run ended during the gap
                                break
                            gone = time.monotonic() - lost
                            st, note = back, f"line back after {gone:.1f} s"
                            fail(f"{psu.port}: back ({who(identity)}), output off, after {gone:.1f} s")
                    except NoAnswerError as e:
                        missed += 1
                        live_end()
                        fail(f"no reading at {slot * args.interval:.1f} s: {e}")
                    except TripError as e:
                        if e.status is not None:  # the reading that tripped is logged too
                            write(time.monotonic() - start, e.status)
                        raise
                    else:
                        t = time.monotonic() - start
                        write(t, st, note)
                        c = counters()
                        live(
                            f"{t:7.1f} s  {st.voltage_v:7.3f} V  {st.current_a:6.3f} A  {mode_words(st.mode)}  "
                            f"output {'on' if st.output_on else 'off'}"
                            f"{'  OVER-TEMPERATURE' if st.over_temperature else ''}  "
                            f"{c.energy_wh:.4f} Wh  {c.charge_ah:.4f} Ah  rows {rows}"
                        )
                    slot = next_slot(start, slot, args.interval)
            except (KeyboardInterrupt, LineError, OSError, TripError) as e:
                ended = e
            finally:
                live_end()
    finally:
        _close_quietly(out)
    shortfall = [f"{missed} readings missed"] if missed else []
    shortfall += [f"{gaps} gap{'s' if gaps > 1 else ''} marked"] if gaps else []
    print(f"{rows} rows written to {args.csv}" + (f" ({', '.join(shortfall)})" if shortfall else ""))
    if isinstance(ended, KeyboardInterrupt):
        code = finished(ended)
        if code != EXIT_OK:
            return code
    elif isinstance(ended, TripError):
        fail(str(ended))
        return EXIT_TRIPPED
    elif isinstance(ended, LineError):
        fail(str(ended))
        return EXIT_FAILED
    elif isinstance(ended, OSError):
        fail(f"cannot write {args.csv}: {ended.strerror or ended}")
        return EXIT_FAILED
    if args.plot:
        if rows:
            try:
                plot_csv(args.csv, args.plot)
            except (PlotInputError, PlotUnavailable) as e:
                fail(str(e))
                return EXIT_FAILED
            print(f"plot written to {args.plot}")
        else:
            fail(f"no rows, so no plot written to {args.plot}")
    return EXIT_FAILED if missed or gaps else EXIT_OK
