"""`kx5180 ramp PORT --to V --step V --rate V/s`: the voltage setpoint
moved step by step; Ctrl-C stops it and switches the output off."""

from __future__ import annotations

import argparse

from ..target import Target
from .session import open_supply
from .shared import EXIT_OK, live, live_end


def run(args: argparse.Namespace, target: Target) -> int:
    psu = open_supply(target, max_voltage=args.max_voltage, verify=args.verify, keep_on_exit=True, remote=False)
    psu.check_ramp(args.to, args.step, args.rate)
    with psu:
        # A target above the unit's ceiling is refused before the unit is
        # asked for control.
        psu.check_ramp(args.to, args.step, args.rate)
        psu.set_remote()
        target_v = args.to

        def progress(v: float) -> None:
            live(f"ramp {v:.3f} V -> {target_v:.3f} V")

        try:
            psu.ramp(args.to, args.step, args.rate, on_step=progress)
        finally:
            live_end()
    print(f"ramp done: voltage setpoint {args.to:.3f} V")
    return EXIT_OK
