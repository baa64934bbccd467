"""The `kx5180` program: the common options, the subcommand's module
imported once the arguments are parsed, and one exit status and at most
one line for however the command ended (see `kx5180_lab.cli`)."""

from __future__ import annotations

import argparse
import gc
import importlib
import os
import sys
from collections.abc import Callable, Sequence
from typing import TYPE_CHECKING

from ..stops import stop_signals
from ..target import is_url
from .parser import build_parser
from .shared import (
    EXIT_FAILED,
    EXIT_INTERRUPTED,
    EXIT_OK,
    EXIT_TRIPPED,
    EXIT_USAGE,
    PROG,
    UsageError,
    fail,
    resolve_target,
    with_notes,
)

if TYPE_CHECKING:
    from ..simulator import Simulator

# The commands that talk to a PORT (or a simulated one); `ports`, `plot`,
# `serve` and `sim` find their own way.
TARGETED = ("scan", "identify", "status", "set", "ramp", "log", "selftest", "run", "charge")


def _command(name: str) -> Callable[..., int]:
    """The `run` of a subcommand's module, imported now that it is needed."""
    run: Callable[..., int] = importlib.import_module(f"{__package__}.{name}").run
    return run


_trace_on = False


def run(args: argparse.Namespace, sim: Simulator | None = None) -> int:
    import logging

    global _trace_on
    lab_log = logging.getLogger("kx5180.lab")
    if not lab_log.hasHandlers():
        # What Supply logs as a warning is in the error's own line already.
        lab_log.addHandler(logging.NullHandler())
    if getattr(args, "trace", False) and not _trace_on:
        from ..trace import enable_trace

        enable_trace()
        _trace_on = True
    if args.command == "serve":
        return _command("serve")(args, sim)
    from .session import capturing, simulator

    with simulator(args, sim) as sim:
        if args.command not in TARGETED:
            return _command(args.command)(args, sim)
        if sim is not None:
            if args.port and not args.port.startswith("@"):
                raise UsageError("give either PORT or --sim, not both (@ADDRESS picks a unit of a simulated bus)")
            # @ADDRESS alone: that unit of a simulator started with --units
            target = resolve_target((sim.port or "") + (args.port or ""))
        elif not args.port:
            raise UsageError(f"{args.command}: give a PORT (or --sim)")
        else:
            target = resolve_target(args.port)
        with capturing(args, target.name):
            return _command(args.command)(args, target)


def main(argv: Sequence[str] | None = None) -> int:
    """The `kx5180` program; `argv` defaults to the process's arguments."""
    # SIGTERM and SIGHUP take the path of Ctrl-C: whatever the command
    # switched on is switched off before the exit status says which stopped it.
    try:
        with stop_signals():
            return _main(argv)
    finally:
        if argv is None:
            # Run as the program (not called from Python with arguments):
            # what is left is the interpreter's exit, whose last garbage
            # collection would walk every object of every module loaded;
            # frozen, they are left to the exit itself. Every file and
            # port was closed by the command.
            gc.freeze()


def _main(argv: Sequence[str] | None) -> int:
    argv = list(sys.argv[1:] if argv is None else argv)
    try:
        # Common options before "sim" apply to each of its commands.
        lead, trace, strict, capture = 0, False, False, None
        while lead < len(argv):
            word = argv[lead]
            if word == "--trace":
                trace = True
            elif word == "--strict-replies":
                strict = True
            elif word == "--capture" and lead + 1 < len(argv):
                capture = argv[lead + 1]
                lead += 1
            elif word.startswith("--capture="):
                capture = word.partition("=")[2]
            else:
                break
            lead += 1
        if lead < len(argv) and argv[lead] == "sim":
            from .sim import run_sim

            return run_sim(argv[lead + 1 :], run, trace=trace, capture=capture, strict=strict)
        args = build_parser().parse_args(argv)
        return run(args)
    except (Exception, KeyboardInterrupt) as e:
        code = exit_status(e)
        if code is None:
            raise
        return code


def exit_status(e: BaseException) -> int | None:
    """The exit status for the way a command ended, having said why in one
    line; None for an error nobody expected (a bug: its traceback is the
    report). The toolkit's exceptions are imported here, once one came, so
    that a command that needs none of them never loads them."""
    from ..errors import LimitError, PortOpenError, RampInterrupted, SupplyError, TripError
    from ..plot import PlotInputError, PlotUnavailable
    from ..simulator import SimulatorError
    from ..stops import Terminated

    if isinstance(e, (UsageError, LimitError)):
        fail(str(e))
        return EXIT_USAGE
    if isinstance(e, Terminated):
        fail(with_notes(e))
        return 128 + e.signum
    if isinstance(e, RampInterrupted):
        fail(with_notes(e))
        return EXIT_INTERRUPTED
    if isinstance(e, TripError):
        fail(str(e))
        return EXIT_TRIPPED
    if isinstance(e, PortOpenError):
        # A line on another host is not among this one's serial ports.
        network = is_url(str(e).removeprefix("cannot open ").split(": ", 1)[0])
        fail(with_notes(e) if network else f"{with_notes(e)} ({PROG} ports lists the serial ports)")
        return EXIT_FAILED
    if isinstance(e, (SupplyError, SimulatorError)):
        fail(with_notes(e))
        return EXIT_FAILED
    if isinstance(e, KeyboardInterrupt):
        fail(with_notes(e) or "interrupted")
        return EXIT_INTERRUPTED
    if isinstance(e, BrokenPipeError):
        # Output piped into head(1) and the like: not an error of ours.
        try:
            sys.stdout = open(os.devnull, "w")
        except OSError:
            pass
        return EXIT_OK
    if isinstance(e, (PlotInputError, PlotUnavailable)):
        fail(str(e))
        return EXIT_USAGE if isinstance(e, PlotInputError) else EXIT_FAILED
    if isinstance(e, OSError):
        # A line or a file that failed where nothing above expected it:
        # still one line, never a traceback.
        fail(f"{e.strerror or e}" + (f": {e.filename}" if e.filename else ""))
        return EXIT_FAILED
    return None
