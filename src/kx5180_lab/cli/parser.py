"""The `kx5180` command line's parser: every subcommand's arguments, and
nothing that a subcommand needs to run, so that parsing (and --help) stays
cheap; the subcommand's own module is imported after parsing."""

from __future__ import annotations

import argparse
import os
import sys
from collections.abc import Callable
from typing import Any, NoReturn

from ..serve import options as serve_options
from ..version import version
from .shared import EXIT_USAGE, PROG, add_trip_arguments, decimal_number

SELFTEST_HELP = "learn safely what a unit does (output stays off) and write a report to attach to an issue"
DEFAULT_REPORT = "kx5180-selftest.json"


def _add_common(p: argparse.ArgumentParser, top: bool) -> None:
    # On the subcommands the defaults are suppressed, so that an option
    # given before the command name is not reset by the subcommand.
    d = (lambda v: v) if top else (lambda v: argparse.SUPPRESS)
    g = p.add_argument_group("common options")
    g.add_argument("--trace", action="store_true", default=d(False), help="print every frame on the wire to stderr")
    g.add_argument(
        "--sim", action="store_true", default=d(False), help="run against a simulated supply started for this command"
    )
    g.add_argument(
        "--capture",
        metavar="FILE",
        default=d(None),
        help="record every frame and event as JSON Lines (to attach to an issue, or for kx5180-sim --replay)",
    )
    g.add_argument(
        "--strict-replies",
        action="store_true",
        default=d(False),
        help="refuse a reply whose command word is not the one this kind of command gets back",
    )
    g.add_argument(
        "--sim-args",
        metavar="ARGS",
        default=d(None),
        help='options for the simulated supply, as one string (e.g. "--baud 0 --load-ohms 5")',
    )


def _port(p: argparse.ArgumentParser) -> None:
    p.add_argument(
        "port",
        nargs="?",
        metavar="PORT",
        help="serial port (COM3, /dev/ttyUSB0, rfc2217://HOST:PORT, socket://HOST:PORT), or PORT@ADDRESS "
        "for one unit of several on a line (/dev/ttyUSB0@3); not with --sim",
    )


def _on_off(text: str) -> str:
    if text not in ("on", "off"):
        raise argparse.ArgumentTypeError("give on or off")
    return text


def _columns() -> int:
    """The terminal's width as shutil finds it (COLUMNS, else the terminal,
    else 80), without loading shutil and the compressors it brings: argparse
    asks for it on every parser it builds."""
    try:
        columns = int(os.environ["COLUMNS"])
    except (KeyError, ValueError):
        columns = 0
    if columns <= 0 and sys.__stdout__ is not None:
        try:
            columns = os.get_terminal_size(sys.__stdout__.fileno()).columns
        except (ValueError, OSError):
            columns = 0
    return columns or 80


class _Formatter(argparse.HelpFormatter):
    def __init__(
        self, prog: str, indent_increment: int = 2, max_help_position: int = 24, width: int | None = None
    ) -> None:
        super().__init__(prog, indent_increment, max_help_position, _columns() - 2 if width is None else width)


class _Parser(argparse.ArgumentParser):
    """Bad usage is one line, like every other failure; the full usage is
    one --help away."""

    def __init__(self, *args: Any, **kwargs: Any) -> None:
        kwargs.setdefault("formatter_class", _Formatter)
        super().__init__(*args, **kwargs)

    def error(self, message: str) -> NoReturn:
        where = self.prog.removeprefix(PROG).strip()
        self.exit(EXIT_USAGE, f"{PROG}: {where + ': ' if where else ''}{message} (see {self.prog} --help)\n")


class _Subcommands(argparse._SubParsersAction):  # type: ignore[type-arg]
    """The subcommands, each of whose arguments are added only once
    argparse has picked it: a run (or its --help) builds one subcommand,
    not eleven."""

    def __init__(self, *args: Any, **kwargs: Any) -> None:
        super().__init__(*args, **kwargs)
        self.fillers: dict[str, Callable[[argparse.ArgumentParser], None]] = {}

    def __call__(
        self,
        parser: argparse.ArgumentParser,
        namespace: argparse.Namespace,
        values: Any,
        option_string: str | None = None,
    ) -> None:
        fill = self.fillers.pop(values[0], None)
        if fill is not None:
            fill(self._name_parser_map[values[0]])
        super().__call__(parser, namespace, values, option_string)


def _trips(p: argparse.ArgumentParser) -> None:
    add_trip_arguments(
        p, "switch the output off, hand the unit back to its front panel and exit 3 once a reading is above"
    )


def _interval(p: argparse.ArgumentParser) -> None:
    p.add_argument(
        "--interval", type=decimal_number, default=1.0, metavar="S", help="seconds between readings (default 1)"
    )


def _limits(p: argparse.ArgumentParser) -> None:
    p.add_argument("--max-voltage", type=decimal_number, metavar="V", help="refuse voltages above V")
    p.add_argument("--max-current", type=decimal_number, metavar="A", help="refuse currents above A")


def _run(p: argparse.ArgumentParser) -> None:
    _port(p)
    p.add_argument(
        "program",
        metavar="PROGRAM.csv",
        help="steps, one a line under the header voltage_v,current_a,duration_s "
        "(optional columns stop_below_a, stop_above_v)",
    )
    p.add_argument("--repeat", type=int, default=1, metavar="N", help="play the program N times (default 1)")
    _interval(p)
    p.add_argument("--csv", metavar="FILE", help="log every reading, as log does, with the step number")
    _limits(p)
    _trips(p)


def _charge(p: argparse.ArgumentParser) -> None:
    _port(p)
    p.add_argument("--voltage", type=decimal_number, required=True, metavar="V", help="end-of-charge voltage")
    p.add_argument("--current", type=decimal_number, required=True, metavar="A", help="charge current")
    p.add_argument(
        "--cutoff", type=decimal_number, required=True, metavar="A", help="end once the CV current stays below A"
    )
    p.add_argument("--max-time", type=decimal_number, metavar="S", help="end after S seconds at most")
    p.add_argument("--max-charge", type=decimal_number, metavar="AH", help="end once AH ampere-hours are delivered")
    _interval(p)
    p.add_argument("--csv", metavar="FILE", help="log every reading, as log does")
    _limits(p)
    _trips(p)


def _ports(p: argparse.ArgumentParser) -> None:
    p.add_argument("--json", action="store_true", help="as JSON, one object a line")


def _identify(p: argparse.ArgumentParser) -> None:
    _port(p)
    p.add_argument("--json", action="store_true", help="as JSON")


def _scan(p: argparse.ArgumentParser) -> None:
    p.add_argument(
        "port", nargs="?", metavar="PORT", help="serial port (COM3, /dev/ttyUSB0, rfc2217://HOST:PORT); not with --sim"
    )
    p.add_argument(
        "--addresses",
        metavar="LIST",
        help="addresses to ask, e.g. 1-10,20 (default 0-254; each silent one costs about 1.3 s)",
    )
    p.add_argument("--json", action="store_true", help="as JSON, one object a line as each unit answers")


def _status(p: argparse.ArgumentParser) -> None:
    _port(p)
    p.add_argument("--json", action="store_true", help="as JSON (one object a line with --watch)")
    p.add_argument(
        "--watch",
        type=decimal_number,
        metavar="SECONDS",
        help="repeat every SECONDS until Ctrl-C, which ends the watch with exit status 0",
    )
    p.add_argument(
        "--reconnect",
        action="store_true",
        help="when the line fails, reopen it with backoff and go on with the same unit (its output left off)",
    )
    _trips(p)


def _set(p: argparse.ArgumentParser) -> None:
    _port(p)
    p.add_argument("--voltage", type=decimal_number, metavar="V", help="output voltage setpoint")
    p.add_argument("--current", type=decimal_number, metavar="A", help="current limit")
    p.add_argument("--ceiling", type=decimal_number, metavar="V", help="voltage ceiling")
    p.add_argument("--output", type=_on_off, metavar="on|off", help="switch the output")
    p.add_argument("--local", action="store_true", help="hand control back to the front panel afterwards")
    p.add_argument("--verify", action="store_true", help="read every setting back and fail on a difference")
    p.add_argument("--max-voltage", type=decimal_number, metavar="V", help="refuse voltages above V")
    p.add_argument("--max-current", type=decimal_number, metavar="A", help="refuse currents above A")


def _ramp(p: argparse.ArgumentParser) -> None:
    _port(p)
    p.add_argument("--to", type=decimal_number, required=True, metavar="V", help="target voltage")
    p.add_argument("--step", type=decimal_number, required=True, metavar="V", help="step size")
    p.add_argument("--rate", type=decimal_number, required=True, metavar="V/s", help="volts per second")
    p.add_argument("--verify", action="store_true", help="read every step back")
    p.add_argument("--max-voltage", type=decimal_number, metavar="V", help="refuse a target above V")


def _log(p: argparse.ArgumentParser) -> None:
    _port(p)
    p.add_argument(
        "--interval", type=decimal_number, default=1.0, metavar="S", help="seconds between readings (default 1)"
    )
    p.add_argument("--duration", type=decimal_number, metavar="S", help="stop after S seconds (default: at Ctrl-C)")
    p.add_argument("--csv", required=True, metavar="FILE", help="CSV file to write")
    p.add_argument("--plot", metavar="FILE.png", help="also plot the log (needs matplotlib)")
    p.add_argument(
        "--reconnect",
        action="store_true",
        help="when the line fails, reopen it with backoff and go on with the same unit (its output left off)",
    )
    _trips(p)


def _selftest(p: argparse.ArgumentParser) -> None:
    _port(p)
    p.add_argument("--report", metavar="FILE", help=f"JSON report to write (default {DEFAULT_REPORT})")
    p.add_argument("--reads", type=int, default=100, metavar="N", help="status reads for the reply time (default 100)")
    p.add_argument(
        "--with-output",
        action="store_true",
        help="also switch the output on at a low setpoint and measure it (needs --max-voltage and --max-current)",
    )
    p.add_argument("--max-voltage", type=float, metavar="V", help="highest voltage --with-output may set")
    p.add_argument("--max-current", type=float, metavar="A", help="highest current --with-output may set")


def _plot(p: argparse.ArgumentParser) -> None:
    p.add_argument("file", metavar="FILE.csv")
    p.add_argument("-o", "--output", required=True, metavar="FILE.png")
    p.add_argument("--title", help="plot title")


# The commands that never speak to a unit: the common options (--sim,
# --trace, --capture, ...) would do nothing there, so they are not offered.
OFF_THE_LINE = ("ports", "plot")

# name, help, arguments; in the order --help lists them.
COMMANDS: list[tuple[str, str, Callable[[argparse.ArgumentParser], None]]] = [
    ("ports", "list serial ports (sends nothing)", _ports),
    ("identify", "show the model, product number, software version and address", _identify),
    ("scan", "ask every address on a line who answers (sends an identity request to each)", _scan),
    ("status", "show measured values, setpoints and state", _status),
    ("set", "change setpoints, switch the output, hand back control", _set),
    ("ramp", "move the voltage setpoint step by step (Ctrl-C stops and switches the output off)", _ramp),
    ("log", "log status to CSV (Ctrl-C stops and keeps every row)", _log),
    ("run", "play a program of steps from a CSV file, output on for it and off after it", _run),
    (
        "charge",
        "charge a battery CC-CV (only a chemistry that allows it, within your limits) until the cut-off",
        _charge,
    ),
    ("selftest", SELFTEST_HELP, _selftest),
    ("plot", "plot a CSV written by 'log' (needs matplotlib: pip install 'kx5180[plot]')", _plot),
    ("serve", serve_options.HELP, serve_options.add_arguments),
]


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(
        prog=PROG,
        description="Control a kx5180/5181 bench power supply (or a simulated one with --sim).",
        epilog="exit status: 0 done, 1 no answer or a failed check (charge: a maximum reached), "
        "2 bad usage or a refused value, 3 a trip switched the output off, "
        "130 interrupted (0 for a log or status --watch, which Ctrl-C ends), 143 stopped by SIGTERM, "
        "129 by SIGHUP (each after the same clean-up as Ctrl-C).",
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {version()}")
    _add_common(parser, top=True)
    parser.register("action", "parsers", _Subcommands)
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)
    assert isinstance(sub, _Subcommands)
    for name, help, arguments in COMMANDS:
        sub.add_parser(name, help=help, description=help)

        def fill(
            p: argparse.ArgumentParser,
            arguments: Callable[[argparse.ArgumentParser], None] = arguments,
            common: bool = name not in OFF_THE_LINE,
        ) -> None:
            if common:
                _add_common(p, top=False)
            arguments(p)

        sub.fillers[name] = fill
    sub.add_parser(
        "sim",
        help="run a simulated supply: 'kx5180 sim [SIM OPTIONS] -- COMMAND ...' runs COMMAND against it",
        add_help=False,
    )
    return parser
