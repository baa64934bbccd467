"""What the subcommands share: the program's name and exit statuses,
targets, numbers as typed, and output. Light on purpose: the parser and
every subcommand import it, and none of it needs the driver."""

from __future__ import annotations

import argparse
import math
import re
import sys
import time
from collections.abc import Iterator, Sequence
from contextlib import contextmanager
from typing import Any

from ..instrument.schedule import next_slot as next_slot  # where the commands take it
from ..target import Target, parse_target

PROG = "kx5180"
EXIT_OK, EXIT_FAILED, EXIT_USAGE, EXIT_INTERRUPTED = 0, 1, 2, 130
EXIT_TRIPPED = 3


class UsageError(Exception):
    """Bad usage: one line, exit status 2."""


# -- targets -------------------------------------------------------------------


def resolve_target(text: str) -> Target:
    """PORT, or PORT@ADDRESS for one unit of several on one line."""
    try:
        return parse_target(text, scan_hint=f"{PROG} scan PORT")
    except ValueError as e:
        raise UsageError(str(e)) from e


@contextmanager
def several_units_hint(target: Target) -> Iterator[None]:
    """A bare PORT speaks to the broadcast address, which units sharing a
    line all answer at once: silence there often means company."""
    from ..errors import NoAnswerError

    try:
        yield
    except NoAnswerError as e:
        if target.address is not None:
            raise
        raise NoAnswerError(
            f"{e}; if several units share this line, name one as PORT@ADDRESS ({PROG} scan {target.port} finds them)"
        ) from e


# -- numbers --------------------------------------------------------------------

# The syntax float() accepts is Python's, not a lab's: it takes 1_0 as 10,
# inf and nan, and digits of other scripts. A number typed on the command
# line is plain ASCII decimal, or it is refused before anything is sent.
_DECIMAL = re.compile(r"[+-]?(?:[0-9]+(?:\.[0-9]*)?|\.[0-9]+)(?:[eE][+-]?[0-9]+)?")


def decimal_number(text: str) -> float:
    """A plain decimal number (digits, a sign, a point, an exponent)."""
    if not _DECIMAL.fullmatch(text):
        raise argparse.ArgumentTypeError(f"{text!r} is not a plain decimal number (digits, sign, point, exponent)")
    value = float(text)
    if not math.isfinite(value):
        raise argparse.ArgumentTypeError(f"{text} is too large")
    return value


def add_trip_arguments(p: argparse.ArgumentParser, what: str) -> None:
    """--trip-current, --trip-power, --trip-voltage and --trip-delay, for
    every command that keeps reading a unit; `what` says what a trip does
    there."""
    g = p.add_argument_group("trips", what)
    g.add_argument("--trip-current", type=decimal_number, metavar="A", help="trip when the measured current is above A")
    g.add_argument("--trip-power", type=decimal_number, metavar="W", help="trip when the measured power is above W")
    g.add_argument("--trip-voltage", type=decimal_number, metavar="V", help="trip when the measured voltage is above V")
    g.add_argument(
        "--trip-delay",
        type=decimal_number,
        default=0.0,
        metavar="S",
        help="trip only once the value has been above for S seconds (default 0: the first reading above)",
    )


# The longest wait between readings anyone means: a larger number is a
# typo, and time.sleep refuses the largest ones outright.
MAX_PERIOD_S = 86400.0


def check_period(option: str, value: float) -> None:
    if not (0 < value <= MAX_PERIOD_S):
        raise UsageError(f"{option} needs a number of seconds > 0 and at most {MAX_PERIOD_S:g} (a day)")


def check_folder(option: str, path: str) -> None:
    """A file to be written later goes into a folder that exists: found
    out at once, not after the work that was to fill it."""
    import os

    folder = os.path.dirname(os.path.abspath(path))
    if not os.path.isdir(folder):
        raise UsageError(f"{option}: the folder {folder} does not exist")


# -- ending ----------------------------------------------------------------------


def fail(message: str) -> None:
    try:
        print(f"{PROG}: {message}", file=sys.stderr, flush=True)
    except (OSError, ValueError):
        pass  # a terminal that hung up (SIGHUP): the exit status still tells


def finished(e: KeyboardInterrupt) -> int:
    """The exit status of a `log` or `--watch` that was told to stop: Ctrl-C
    is how they end, a signal from elsewhere is reported as one."""
    from ..stops import Terminated

    if isinstance(e, Terminated):
        fail(str(e))
        return 128 + e.signum
    return EXIT_OK


def with_notes(e: BaseException) -> str:
    """The message and what the Supply noted on its way out (the unit
    switched off, or why that failed), on one line."""
    notes = [re.sub(r"^\S+: ", "", n) for n in getattr(e, "__notes__", ())]  # the port is named once already
    return "; ".join(part for part in (str(e), *notes) if part)  # a Ctrl-C has no message of its own


# -- output ------------------------------------------------------------------------

# What the regulation codes mean, for people; JSON and CSV keep CV and CC.
MODE_WORDS = {"CV": "constant voltage", "CC": "constant current"}


def mode_words(mode: str) -> str:
    return MODE_WORDS.get(mode, mode)


def print_table(pairs: Sequence[tuple[str, str]]) -> None:
    width = max(len(k) for k, _ in pairs)
    for key, value in pairs:
        print(f"{key:<{width}}  {value}")


def timestamp() -> str:
    """When a reading was taken: UTC, to the millisecond (as in a log's CSV)."""
    from datetime import UTC, datetime

    return datetime.now(UTC).isoformat(timespec="milliseconds")


def reading_json(target: Target, stamp: str, fields: dict[str, Any]) -> str:
    """Identity and status readings share one shape: where, when, what."""
    import json

    return json.dumps({"port": target.name, "timestamp": stamp, **fields})


def live(line: str) -> None:
    """A line that rewrites itself, on a terminal only."""
    if sys.stderr.isatty():
        sys.stderr.write("\r\033[K" + line)
        sys.stderr.flush()


def live_end() -> None:
    if sys.stderr.isatty():
        sys.stderr.write("\n")
        sys.stderr.flush()


def live_clear() -> None:
    """Clears the live line so that a row printed next stands alone."""
    if sys.stderr.isatty():
        sys.stderr.write("\r\033[K")
        sys.stderr.flush()


# -- pace ----------------------------------------------------------------------------


def sleep_until(deadline: float) -> None:
    # In steps, so that a huge period is a long wait and not an overflow.
    while (pause := deadline - time.monotonic()) > 0:
        time.sleep(min(pause, 1.0))
