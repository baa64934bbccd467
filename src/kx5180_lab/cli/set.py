"""`kx5180 set PORT ...`: setpoints, the output and the hand-back to the
front panel. A refused value is refused before the port is opened."""

from __future__ import annotations

import argparse

from ..errors import NoAnswerError
from ..instrument.supply import Supply
from ..target import Target
from .session import open_supply
from .shared import EXIT_OK, UsageError, fail


def run(args: argparse.Namespace, target: Target) -> int:
    if all(v is None for v in (args.voltage, args.current, args.ceiling, args.output)) and not args.local:
        raise UsageError("set: give at least one of --voltage, --current, --ceiling, --output, --local")
    psu = open_supply(
        target, max_voltage=args.max_voltage, max_current=args.max_current, verify=args.verify, keep_on_exit=True
    )
    # A refused value is refused before the port is even opened.
    psu.check(voltage=args.voltage, current=args.current, ceiling=args.ceiling)
    with psu:
        psu.set(voltage=args.voltage, current=args.current, ceiling=args.ceiling)
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
        # Last, so that a failed read cannot stand between the user and
        # what was asked for.
        if args.voltage is not None:
            _warn_above_ceiling(psu, args.voltage, args.ceiling)
    print("set " + ", ".join(done) + ("; verified" if args.verify else ""))
    return EXIT_OK


def _warn_above_ceiling(psu: Supply, voltage: float, ceiling: float | None) -> None:
    """The unit takes a setpoint above its ceiling without a word and holds
    the output at the ceiling: say so, since the user asked for more."""
    if ceiling is None:
        try:
            ceiling = psu.status().ceiling_v
        except NoAnswerError:
            return  # the setting itself was acknowledged; this is only advice
    if round(voltage * 1000) > round(ceiling * 1000):
        fail(
            f"warning: the voltage setpoint {voltage:.3f} V lies above the unit's ceiling {ceiling:.3f} V, "
            f"so the output stays at {ceiling:.3f} V at most (--ceiling raises it)"
        )
