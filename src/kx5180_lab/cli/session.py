"""What the common options ask of everything one run opens: --capture,
--strict-replies and --sim, and the Supply every command opens through
`open_supply`."""

from __future__ import annotations

import argparse
from collections.abc import Iterator
from contextlib import contextmanager
from typing import TYPE_CHECKING, Any

from ..instrument.bus import supply_at
from ..instrument.supply import Supply
from ..target import Target
from .shared import UsageError

if TYPE_CHECKING:
    from ..simulator import Simulator

# What the common options ask of every Supply this run opens.
_options: dict[str, Any] = {}


def open_supply(target: Target, **options: Any) -> Supply:
    """The Supply for a target (not yet opened)."""
    options = {**_options, **options}
    if target.address is not None:
        return supply_at(target.port, target.address, **options)
    return Supply(target.port, **options)


def trip_options(args: argparse.Namespace) -> dict[str, Any]:
    """--trip-current, --trip-power, --trip-voltage and --trip-delay, as Supply takes them."""
    return {
        "trip_current": args.trip_current,
        "trip_power": args.trip_power,
        "trip_voltage": args.trip_voltage,
        "trip_delay": args.trip_delay,
    }


@contextmanager
def capturing_all(path: str | None, port: str | None) -> Iterator[None]:
    """One capture for every command of a `sim` run."""
    if not path:
        yield
        return
    from ..hardware.capture import Capture

    try:
        capture = Capture(path, port=port)
    except OSError as e:
        raise UsageError(f"--capture: cannot write {path}: {e.strerror or e}") from e
    capture.everywhere()
    try:
        yield
    finally:
        capture.close()


@contextmanager
def capturing(args: argparse.Namespace, port: str | None) -> Iterator[None]:
    """--capture and --strict-replies, for everything this command opens."""
    _options.clear()
    if getattr(args, "strict_replies", False):
        _options["strict_replies"] = True
    with capturing_all(getattr(args, "capture", None), port):
        yield


@contextmanager
def simulator(args: argparse.Namespace, running: Simulator | None) -> Iterator[Simulator | None]:
    """The simulator --sim asks for, started for this command (or the one
    a `sim` run started already)."""
    if running is not None or not getattr(args, "sim", False):
        yield running
        return
    import shlex

    from ..simulator import Simulator

    try:
        sim_args = shlex.split(args.sim_args or "")
    except ValueError as e:
        raise UsageError(f"--sim-args: {e}") from e
    with Simulator(extra_args=sim_args) as sim:
        yield sim
