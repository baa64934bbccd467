"""`kx5180 sim [SIM OPTIONS] -- COMMAND ...`: one simulated supply for a
run of commands."""

from __future__ import annotations

import time
from collections.abc import Callable

from ..simulator import Simulator
from .parser import build_parser
from .session import capturing_all
from .shared import EXIT_FAILED, EXIT_OK, PROG, UsageError, fail, finished

SIM_HELP = f"""usage: {PROG} sim [SIM OPTIONS] [-- COMMAND [ARGS ...]] [-- COMMAND ...]

Starts kx5180-sim with SIM OPTIONS (see kx5180-sim --help), runs each
COMMAND in turn against that one simulated supply (no PORT needed), stops
at the first that fails, and stops the simulator afterwards. Without a
COMMAND it prints the simulator's port and runs until Ctrl-C. With
--units, @ADDRESS in place of PORT picks one unit of the simulated bus.

examples:
  {PROG} sim --baud 0 --load-ohms 5 -- status --json
  {PROG} sim -- set --voltage 5 --current 1 --output on -- log --duration 10 --csv run.csv
  {PROG} sim --units 3 -- scan --addresses 1-5 -- set @2 --voltage 3.3 -- status @2
"""


def _split_commands(argv: list[str]) -> tuple[list[str], list[list[str]]]:
    """SIM OPTIONS -- COMMAND ... [-- COMMAND ...] into its parts."""
    parts: list[list[str]] = [[]]
    for word in argv:
        if word == "--":
            parts.append([])
        else:
            parts[-1].append(word)
    return parts[0], [p for p in parts[1:] if p]


def run_sim(
    argv: list[str],
    run: Callable[..., int],
    *,
    trace: bool,
    capture: str | None = None,
    strict: bool = False,
) -> int:
    """Runs the commands in `argv` one after the other with `run` (the
    command line's) against one simulator."""

    sim_args, commands = _split_commands(argv)
    if "-h" in sim_args or "--help" in sim_args:
        print(SIM_HELP, end="")
        return EXIT_OK
    parser = build_parser()
    # Every command is parsed before the simulator starts: a typo in the
    # last one should not cost the run of the first.
    parsed = []
    for command in commands:
        if command[0] == "sim":
            raise UsageError("sim: a COMMAND cannot be sim")
        args = parser.parse_args(command)
        if trace:
            args.trace = True
        if strict:
            args.strict_replies = True
        port = getattr(args, "port", None)
        if getattr(args, "sim", False) or (port and not port.startswith("@")):
            raise UsageError(
                f"sim: {command[0]} runs against the simulated supply; give it no PORT or --sim "
                "(@ADDRESS picks a unit of a simulated bus)"
            )
        parsed.append(args)
    with Simulator(extra_args=sim_args) as sim, capturing_all(capture, sim.port):
        if not parsed:
            print(sim.port, flush=True)
            try:
                while sim.running:
                    time.sleep(0.2)
            except KeyboardInterrupt as e:
                return finished(e)
            fail("kx5180-sim ended by itself")
            return EXIT_FAILED
        for args in parsed:
            code = run(args, sim=sim)
            if code != EXIT_OK:
                return code
    return EXIT_OK
