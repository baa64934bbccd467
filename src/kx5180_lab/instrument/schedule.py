"""The reading schedule every repeating command keeps: reading k is due
at start + k x interval, not an interval after the last one came."""

from __future__ import annotations

import time


def next_slot(start: float, slot: int, interval: float) -> int:
    """The slot after `slot`, skipping those a slow reply overran: a late
    reading costs the slots it missed, never a burst of catch-up readings."""
    slot += 1
    now = time.monotonic()
    while start + (slot + 1) * interval <= now:
        slot += 1
    return slot
