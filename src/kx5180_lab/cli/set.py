"""`kx5180 set PORT ...`: setpoints, the output and the hand-back to the
front panel. A value beyond a limit is refused before the port is opened,
a voltage above the unit's ceiling before the unit is asked for control."""

from __future__ import annotations

import argparse

from ..target import Target
from .session import open_supply
from .shared import EXIT_OK, UsageError


def run(args: argparse.Namespace, target: Target) -> int:
    if all(v is None for v in (args.voltage, args.current, args.ceiling, args.output)) and not args.local:
        raise UsageError("set: give at least one of --voltage, --current, --ceiling, --output, --local")
    psu = open_supply(
        target,
        max_voltage=args.max_voltage,
        max_current=args.max_current,
        verify=args.verify,
        keep_on_exit=True,
        remote=False,
    )
    values = dict(voltage=args.voltage, current=args.current, ceiling=args.ceiling)
    psu.check(**values)  # the limits: the port is not even opened for a refused value
    with psu:
        # The unit's ceiling (one status read for a voltage): a refused
        # voltage has then changed nothing, not even who is in control.
        psu.check(**values)
        psu.set_remote()
        psu.set(**values)
        done = [
            f"{name} {value:.3f} {unit}"
            for name, value, unit in (
                ("ceiling", args.ceiling, "V"),
                ("current", args.current, "A"),
                ("voltage", args.voltage, "V"),
            )
            if value is not None
        ]
        if args.output is not None:
            psu.output(args.output == "on")
            done.append(f"output {args.output}")
        if args.local:
            psu.set_local()
            done.append("front panel in control")
    print("set " + ", ".join(done) + ("; verified" if args.verify else ""))
    return EXIT_OK
