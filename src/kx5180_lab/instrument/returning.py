"""Taking a unit back after its line failed: the backoff between attempts,
and the checks before a reopened unit is used again.

A unit is taken back only when the same model and product number answer:
another unit on that path (an adapter moved to another supply) is told and
left untouched. A unit taken back is left with its output off: if it
reports the output on (the adapter was pulled, the unit kept running),
it is switched off, since nobody can vouch for what the output feeds
after a gap in which it could be neither seen nor stopped; nothing is
ever switched on again. Its setpoints and control mode stay as it reports
them (control is taken only for that switching off, and handed back).
"""

from __future__ import annotations

import contextlib
import time
from collections.abc import Callable
from typing import TYPE_CHECKING

from ..errors import SupplyError
from ..records import Identity, Status

if TYPE_CHECKING:
    from .supply import Supply

# Seconds before each attempt to reopen a line; the last one repeats. The
# first is short, for an adapter replugged at once or a unit switched off
# and on; after that the attempts thin out to one a minute, which costs
# the port next to nothing.
BACKOFF = (2.0, 4.0, 8.0, 15.0, 30.0, 60.0)
BACKOFF_TEXT = f"tries after {BACKOFF[0]:g} s, then less often, up to every {BACKOFF[-1]:g} s"


def delay(attempt: int) -> float:
    """Seconds to wait before attempt `attempt` (0 for the first)."""
    return BACKOFF[min(attempt, len(BACKOFF) - 1)]


class Refused(Exception):
    """Another unit answered where the one used before was."""

    def __init__(self, identity: Identity) -> None:
        super().__init__(who(identity))
        self.identity = identity


def who(ident: Identity) -> str:
    return f"model {ident.model} SN {ident.serial_number.replace(chr(0), '')}"


def quietly(fn: Callable[[], object]) -> None:
    with contextlib.suppress(Exception):  # the line is dead: its port fails to close
        fn()


def take_back(supply: Supply, identity: Identity) -> Status | Refused | SupplyError:
    """Blocking: reopens `supply` (made with remote=False and keep_on_exit,
    as the tools that reconnect make it) and returns its first reading
    when the unit is the one with `identity`, left with its output off.
    Otherwise `supply` is closed again and the return says why: Refused
    for another unit, the SupplyError for one that did not open."""
    quietly(supply.close)
    try:
        supply.open()  # reads the identity only: the unit is not asked for control
        ident = supply.identity()
        if (ident.model, ident.serial_number) != (identity.model, identity.serial_number):
            quietly(supply.close)  # opened without control and kept on: the port closes, nothing is sent
            return Refused(ident)
        st = supply.status()
        if st.output_on:
            took = not st.remote
            if took:
                supply.set_remote()
            supply.output(False)
            if took:
                supply.set_local()
            st = supply.status()
            if st.output_on:
                raise SupplyError(f"{supply.port}: came back with its output on, and it stays on")
    except SupplyError as e:
        quietly(supply.close)
        return e
    return st


def wait_back(
    supply: Supply,
    identity: Identity,
    tell: Callable[[str], None],
    until: float | None = None,
    sleep: Callable[[float], None] = time.sleep,
) -> Status | None:
    """Blocking until the unit with `identity` is back on `supply`'s line
    (see `take_back`); returns its first reading, or None once the
    monotonic clock passes `until`. Another unit there is told once
    through `tell`; Ctrl-C and the stop signals end the wait."""
    told = ""
    attempt = 0
    while True:
        pause = delay(attempt)
        if until is not None and time.monotonic() + pause > until:
            sleep(max(0.0, until - time.monotonic()))
            return None
        sleep(pause)
        attempt += 1
        outcome = take_back(supply, identity)
        if isinstance(outcome, Status):
            return outcome
        if isinstance(outcome, Refused):
            text = f"{supply.port}: {who(outcome.identity)} answers where {who(identity)} was; not used"
            if text != told:
                tell(text)
                told = text
