"""The `kx5180` command line.

Exit status: 0 done, 1 the supply did not answer, the line failed or a
check failed, 2 bad usage or a refused value, 130 a ramp or an open cut
short by Ctrl-C (a `log` or `status --watch` stopped by Ctrl-C has done its
job: 0), 128 + the signal for any command stopped by SIGTERM (143) or
SIGHUP (129), after the same clean-up as Ctrl-C.
"""

from __future__ import annotations

import argparse
import csv
import json
import logging
import math
import os
import re
import shlex
import sys
import time
from collections.abc import Iterator, Sequence
from contextlib import contextmanager
from datetime import datetime, timezone
from typing import Any, NoReturn

from ..hardware import selftest
from ..hardware.capture import Capture
from ..instrument.bus import Bus, supply_at
from ..plot import PLOT_HINT, PlotInputError, PlotUnavailable, plot_csv
from ..simulator import Simulator, SimulatorError
from ..stops import Terminated, interruption, stop_signals
from ..errors import (
    LimitError,
    LineError,
    NoAnswerError,
    PortOpenError,
    RampInterrupted,
    SupplyError,
)
from ..instrument.supply import Supply, sigint_deferred
from ..records import STATUS_FIELDS, FoundUnit, Identity, Status
from ..target import BROADCAST_REFUSED, Target, parse_target
from ..wire import BROADCAST
from ..trace import enable_trace

PROG = "kx5180"
EXIT_OK, EXIT_FAILED, EXIT_USAGE, EXIT_INTERRUPTED = 0, 1, 2, 130
CSV_FIELDS = ("time_s", "timestamp") + STATUS_FIELDS


class UsageError(Exception):
    pass


# The longest wait between readings anyone means: a larger number is a
# typo, and time.sleep refuses the largest ones outright.
MAX_PERIOD_S = 86400.0


def _period(option: str, value: float) -> None:
    if not (0 < value <= MAX_PERIOD_S):
        raise UsageError(f"{option} needs a number of seconds > 0 and at most {MAX_PERIOD_S:g} (a day)")


def _finished(e: KeyboardInterrupt) -> int:
    """The exit status of a `log` or `--watch` that was told to stop: Ctrl-C
    is how they end, a signal from elsewhere is reported as one."""
    if isinstance(e, Terminated):
        fail(str(e))
        return 128 + e.signum
    return EXIT_OK


def package_version() -> str:
    from importlib.metadata import PackageNotFoundError, version

    try:
        return version("kx5180")
    except PackageNotFoundError:
        return "unknown (not installed)"


# -- where to talk to ---------------------------------------------------------


def resolve_target(text: str) -> Target:
    """PORT, or PORT@ADDRESS for one unit of several on one line."""
    try:
        return parse_target(text, scan_hint=f"{PROG} scan PORT")
    except ValueError as e:
        raise UsageError(str(e)) from e


# What the common options ask of every Supply this run opens.
_session: dict[str, Any] = {}


def open_supply(target: Target, **options: Any) -> Supply:
    """The Supply for a target (not yet opened)."""
    options = {**_session, **options}
    if target.address is not None:
        return supply_at(target.port, target.address, **options)
    return Supply(target.port, **options)


def parse_addresses(text: str) -> list[int]:
    """"1-10,20" as the addresses 1 to 10 and 20, in that order."""
    out: list[int] = []
    for item in text.split(","):
        m = re.fullmatch(r"\s*([0-9]+)\s*(?:-\s*([0-9]+)\s*)?", item)
        if not m:
            raise UsageError(f"--addresses: {item.strip()!r} is not an address or a range A-B")
        first = int(m.group(1))
        last = int(m.group(2)) if m.group(2) is not None else first
        for a in (first, last):
            if a == BROADCAST:
                raise UsageError(f"--addresses: {BROADCAST_REFUSED}; a scan asks 0..254 only")
            if a > BROADCAST:
                raise UsageError(f"--addresses: {a} is not a bus address 0..254")
        if last < first:
            raise UsageError(f"--addresses: the range {first}-{last} runs backwards")
        out.extend(range(first, last + 1))
    return list(dict.fromkeys(out))


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


# -- output helpers -------------------------------------------------------------


def fail(message: str) -> None:
    try:
        print(f"{PROG}: {message}", file=sys.stderr, flush=True)
    except (OSError, ValueError):
        pass  # a terminal that hung up (SIGHUP): the exit status still tells


# What the unit's regulation codes mean, for people; JSON and CSV keep the codes.
MODE_WORDS = {"CV": "constant voltage", "CC": "constant current", "XX": "unregulated"}


def mode_words(mode: str) -> str:
    return MODE_WORDS.get(mode, mode)


def print_table(pairs: Sequence[tuple[str, str]]) -> None:
    width = max(len(k) for k, _ in pairs)
    for key, value in pairs:
        print(f"{key:<{width}}  {value}")


def timestamp() -> str:
    """When a reading was taken: UTC, to the millisecond (as in a log's CSV)."""
    return datetime.now(timezone.utc).isoformat(timespec="milliseconds")


def reading_json(target: Target, stamp: str, fields: dict[str, Any]) -> str:
    """Identity and status readings share one shape: where, when, what."""
    return json.dumps({"port": target.name, "timestamp": stamp, **fields})


def identity_rows(name: str, ident: Identity) -> list[tuple[str, str]]:
    return [
        ("port", name),
        ("model", ident.model.replace("\x00", "\\0")),
        ("serial number", ident.serial_number),
        ("software version", str(ident.software_version)),
        ("address", str(ident.address)),
    ]


def status_rows(name: str, st: Status) -> list[tuple[str, str]]:
    return [
        ("port", name),
        ("voltage", f"{st.voltage_v:.3f} V"),
        ("current", f"{st.current_a:.3f} A"),
        ("voltage setpoint", f"{st.voltage_set_v:.3f} V"),
        ("current limit", f"{st.current_set_a:.3f} A"),
        ("ceiling", f"{st.ceiling_v:.3f} V"),
        ("output", "on" if st.output_on else "off"),
        ("regulation", mode_words(st.mode)),
        ("over-temperature", "yes, output tripped" if st.over_temperature else "no"),
        ("fan speed", f"{st.fan_speed} of 7"),
        ("control", "remote (computer)" if st.remote else "local (front panel)"),
    ]


def sleep_until(deadline: float) -> None:
    # In steps, so that a huge period is a long wait and not an overflow.
    while (pause := deadline - time.monotonic()) > 0:
        time.sleep(min(pause, 1.0))


def next_slot(start: float, slot: int, interval: float) -> int:
    """The slot after `slot`, skipping those a slow reply overran: a late
    reading costs the slots it missed, never a burst of catch-up readings."""
    slot += 1
    now = time.monotonic()
    while start + (slot + 1) * interval <= now:
        slot += 1
    return slot


def _live(line: str) -> None:
    """A line that rewrites itself, on a terminal only."""
    if sys.stderr.isatty():
        sys.stderr.write("\r\033[K" + line)
        sys.stderr.flush()


def _live_end() -> None:
    if sys.stderr.isatty():
        sys.stderr.write("\n")
        sys.stderr.flush()


# -- commands -----------------------------------------------------------------------


def cmd_ports(args: argparse.Namespace, sim: Simulator | None) -> int:
    # Lists what the operating system knows; no port is opened.
    from serial.tools import list_ports

    found = [
        {"device": p.device, "description": p.description or "", "hwid": p.hwid or ""}
        for p in sorted(list_ports.comports(), key=lambda p: p.device)
    ]
    if sim is not None and sim.port:
        found.append({"device": sim.port, "description": "kx5180-sim (simulated supply)", "hwid": "n/a"})
    if args.json:
        print(json.dumps(found, indent=2))
        return EXIT_OK
    if not found:
        print("no serial ports found", file=sys.stderr)
        return EXIT_OK
    rows = [("DEVICE", "DESCRIPTION", "HARDWARE ID")] + [(p["device"], p["description"], p["hwid"]) for p in found]
    widths = [max(len(r[i]) for r in rows) for i in range(2)]
    for r in rows:
        print(f"{r[0]:<{widths[0]}}  {r[1]:<{widths[1]}}  {r[2]}".rstrip())
    return EXIT_OK


def cmd_scan(args: argparse.Namespace, target: Target) -> int:
    # Only here does the command line send to addresses nobody named.
    if target.address is not None:
        raise UsageError(f"scan: give the PORT alone, not {target.port}@{target.address}")
    addresses = parse_addresses(args.addresses) if args.addresses is not None else list(range(0, BROADCAST))
    found: list[tuple[FoundUnit, str]] = []
    with Bus.connect(target.port) as bus:
        if not args.json:
            print(f"{'ADDRESS':>7}  {'MODEL':<5}  {'SN':<9}  SOFTWARE", flush=True)
        for n, address in enumerate(addresses, 1):
            _live(f"scanning {target.port}: address {address} ({n} of {len(addresses)}), {len(found)} found")
            for unit in bus.scan([address]):
                found.append((unit, timestamp()))
                if not args.json:
                    model, sn = (x.replace("\x00", "\\0") for x in (unit.model, unit.SN))
                    _live_end_row()
                    print(f"{unit.address:>7}  {model:<5}  {sn:<9}  {unit.soft_version}", flush=True)
        _live_end_row()
    if args.json:
        # The shape of `identify --json`, one object per unit.
        print(json.dumps([_unit_json(target, u, stamp) for u, stamp in found], indent=2))
    if not found:
        fail(f"no unit answered on {target.port} ({_ranges(addresses)})")
        return EXIT_FAILED
    return EXIT_OK


def _unit_json(target: Target, unit: FoundUnit, stamp: str) -> dict[str, Any]:
    ident = Identity(unit.model, unit.SN, unit.soft_version, unit.address)
    return {"port": f"{target.port}@{unit.address}", "timestamp": stamp, **ident.as_dict()}


def _live_end_row() -> None:
    """Clears the live line so that a row printed next stands alone."""
    if sys.stderr.isatty():
        sys.stderr.write("\r\033[K")
        sys.stderr.flush()


def _ranges(addresses: Sequence[int]) -> str:
    runs: list[list[int]] = []
    for a in addresses:
        if runs and a == runs[-1][1] + 1:
            runs[-1][1] = a
        else:
            runs.append([a, a])
    text = ",".join(str(f) if f == last else f"{f}-{last}" for f, last in runs)
    return ("address " if len(addresses) == 1 else "addresses ") + text


@contextmanager
def _several_units_hint(target: Target) -> Iterator[None]:
    """A bare PORT speaks to the broadcast address, which units sharing a
    line all answer at once: silence there often means company."""
    try:
        yield
    except NoAnswerError as e:
        if target.address is not None:
            raise
        raise NoAnswerError(
            f"{e}; if several units share this line, name one as PORT@ADDRESS ({PROG} scan {target.port} finds them)"
        ) from e


def cmd_identify(args: argparse.Namespace, target: Target) -> int:
    with _several_units_hint(target), open_supply(target, remote=False, keep_on_exit=True) as psu:
        ident = psu.identity()
        stamp = timestamp()
    if args.json:
        print(reading_json(target, stamp, ident.as_dict()))
    else:
        print_table(identity_rows(target.name, ident))
    return EXIT_OK


def cmd_status(args: argparse.Namespace, target: Target) -> int:
    if args.watch is not None:
        _period("--watch", args.watch)
    with _several_units_hint(target), open_supply(target, remote=False, keep_on_exit=True) as psu:
        if args.watch is None:
            show_status(args, target, psu.status())
            return EXIT_OK
        clear = sys.stdout.isatty() and not args.json
        shown = 0
        # Readings keep to a grid of start + k x period, however long each
        # takes, so the period is the period and not period + reply time.
        start, slot = time.monotonic(), 0
        try:
            while True:
                sleep_until(start + slot * args.watch)
                try:
                    st = psu.status()
                except NoAnswerError as e:
                    # A live view rides out a missed reading and says so.
                    fail(str(e))
                else:
                    if clear:
                        sys.stdout.write("\033[H\033[J")
                        print(f"{datetime.now():%H:%M:%S}  every {args.watch:g} s, Ctrl-C to stop")
                    show_status(args, target, st)
                    shown += 1
                    if not clear and not args.json:
                        print()
                    sys.stdout.flush()
                slot = next_slot(start, slot, args.watch)
        except KeyboardInterrupt as e:
            return _finished(e)
        except LineError as e:
            fail(f"{e}; {shown} readings shown")
            return EXIT_FAILED


def show_status(args: argparse.Namespace, target: Target, st: Status) -> None:
    if args.json:
        print(reading_json(target, timestamp(), st.as_dict()), flush=True)
    else:
        print_table(status_rows(target.name, st))


def cmd_set(args: argparse.Namespace, target: Target) -> int:
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
            for name, value, unit in (("ceiling", args.ceiling, "V"), ("current", args.current, "A"), ("voltage", args.voltage, "V"))
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


def cmd_ramp(args: argparse.Namespace, target: Target) -> int:
    psu = open_supply(target, max_voltage=args.max_voltage, verify=args.verify, keep_on_exit=True)
    psu.check_ramp(args.to, args.step, args.rate)
    with psu:
        target_v = args.to

        def progress(v: float) -> None:
            _live(f"ramp {v:.3f} V -> {target_v:.3f} V")

        try:
            psu.ramp(args.to, args.step, args.rate, on_step=progress)
        finally:
            _live_end()
    print(f"ramp done: voltage setpoint {args.to:.3f} V")
    return EXIT_OK


def _plot_available() -> bool:
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        return False
    return True


def _close_quietly(out: Any) -> None:
    # A file whose last write failed fails again on close, flushing the
    # same bytes: the first failure is the one reported.
    try:
        out.close()
    except OSError:
        pass


def cmd_log(args: argparse.Namespace, target: Target) -> int:
    _period("--interval", args.interval)
    if args.duration is not None and not (args.duration >= 0 and math.isfinite(args.duration)):
        raise UsageError("--duration needs a number of seconds >= 0")
    if args.plot and not _plot_available():
        fail(PLOT_HINT)
        return EXIT_FAILED
    if args.plot:
        # Found out now rather than after an hour of logging.
        folder = os.path.dirname(os.path.abspath(args.plot))
        if not os.path.isdir(folder):
            raise UsageError(f"--plot: the folder {folder} does not exist")
    existed = os.path.exists(args.csv)
    try:
        out = open(args.csv, "w", newline="", encoding="utf-8")
    except OSError as e:
        raise UsageError(f"cannot write {args.csv}: {e.strerror or e}") from e
    writer = csv.writer(out)
    try:
        writer.writerow(CSV_FIELDS)
        out.flush()
    except OSError as e:  # a full disk, /dev/full: refused before the supply is opened
        _close_quietly(out)
        raise UsageError(f"cannot write {args.csv}: {e.strerror or e}") from e
    rows = missed = 0
    psu = open_supply(target, remote=False, keep_on_exit=True)
    try:
        psu.open()
    except BaseException:
        _close_quietly(out)
        if not existed:  # no supply, no log: leave no empty file behind
            os.remove(args.csv)
        raise
    ended: BaseException | None = None
    try:
        with psu:
            start = time.monotonic()
            slot = 0
            try:
                while args.duration is None or slot * args.interval <= args.duration + 1e-9:
                    sleep_until(start + slot * args.interval)
                    try:
                        st = psu.status()
                    except NoAnswerError as e:
                        missed += 1
                        _live_end()
                        fail(f"no reading at {slot * args.interval:.1f} s: {e}")
                    else:
                        t = time.monotonic() - start
                        stamp = timestamp()
                        values = [int(v) if isinstance(v, bool) else v for v in st.as_dict().values()]
                        # The count printed at the end is the count in the file.
                        with sigint_deferred() as pressed:
                            writer.writerow([f"{t:.3f}", stamp, *values])
                            out.flush()
                            rows += 1
                        if pressed[0]:
                            raise interruption(pressed[0])
                        _live(
                            f"{t:7.1f} s  {st.voltage_v:7.3f} V  {st.current_a:6.3f} A  {mode_words(st.mode)}  "
                            f"output {'on' if st.output_on else 'off'}{'  OVER-TEMPERATURE' if st.over_temperature else ''}"
                            f"  rows {rows}"
                        )
                    slot = next_slot(start, slot, args.interval)
            except (KeyboardInterrupt, LineError, OSError) as e:
                ended = e
            finally:
                _live_end()
    finally:
        _close_quietly(out)
    print(f"{rows} rows written to {args.csv}" + (f" ({missed} readings missed)" if missed else ""))
    if isinstance(ended, KeyboardInterrupt):
        code = _finished(ended)
        if code != EXIT_OK:
            return code
    elif isinstance(ended, LineError):
        fail(str(ended))
        return EXIT_FAILED
    elif isinstance(ended, OSError):
        fail(f"cannot write {args.csv}: {ended.strerror or ended}")
        return EXIT_FAILED
    if args.plot:
        if rows:
            try:
                plot_csv(args.csv, args.plot)
            except (PlotInputError, PlotUnavailable) as e:
                fail(str(e))
                return EXIT_FAILED
            print(f"plot written to {args.plot}")
        else:
            fail(f"no rows, so no plot written to {args.plot}")
    return EXIT_FAILED if missed else EXIT_OK


def cmd_plot(args: argparse.Namespace, sim: Simulator | None) -> int:
    w, h = plot_csv(args.file, args.output, title=args.title)
    print(f"plot written to {args.output} ({w}x{h})")
    return EXIT_OK


# -- the parser -----------------------------------------------------------------------


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
        help="options for the simulated supply, as one string (e.g. \"--baud 0 --load-ohms 5\")",
    )


def _port(p: argparse.ArgumentParser) -> None:
    p.add_argument(
        "port",
        nargs="?",
        metavar="PORT",
        help="serial port (COM3, /dev/ttyUSB0), or PORT@ADDRESS for one unit of several on a line "
        "(/dev/ttyUSB0@3); not with --sim",
    )


def _on_off(text: str) -> str:
    if text not in ("on", "off"):
        raise argparse.ArgumentTypeError("give on or off")
    return text


class _Parser(argparse.ArgumentParser):
    """Bad usage is one line, like every other failure; the full usage is
    one --help away."""

    def error(self, message: str) -> NoReturn:
        where = self.prog.removeprefix(PROG).strip()
        self.exit(EXIT_USAGE, f"{PROG}: {where + ': ' if where else ''}{message} (see {self.prog} --help)\n")


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(
        prog=PROG,
        description="Control a kx5180/5181 bench power supply (or a simulated one with --sim).",
        epilog="exit status: 0 done, 1 no answer or a failed check, 2 bad usage or a refused value, "
        "130 interrupted, 143 stopped by SIGTERM, 129 by SIGHUP (each after the same clean-up as Ctrl-C).",
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {package_version()}")
    _add_common(parser, top=True)
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    def command(name: str, help: str) -> argparse.ArgumentParser:
        p = sub.add_parser(name, help=help, description=help)
        _add_common(p, top=False)
        return p

    p = command("ports", "list serial ports (sends nothing)")
    p.add_argument("--json", action="store_true", help="as JSON")

    p = command("identify", "show the model, product number, software version and address")
    _port(p)
    p.add_argument("--json", action="store_true", help="as JSON")

    p = command("scan", "ask every address on a line who answers (sends an identity request to each)")
    p.add_argument("port", nargs="?", metavar="PORT", help="serial port (COM3, /dev/ttyUSB0); not with --sim")
    p.add_argument(
        "--addresses",
        metavar="LIST",
        help="addresses to ask, e.g. 1-10,20 (default 0-254; each silent one costs about 1.3 s)",
    )
    p.add_argument("--json", action="store_true", help="as JSON")

    p = command("status", "show measured values, setpoints and state")
    _port(p)
    p.add_argument("--json", action="store_true", help="as JSON (one object a line with --watch)")
    p.add_argument("--watch", type=decimal_number, metavar="SECONDS", help="repeat every SECONDS until Ctrl-C")

    p = command("set", "change setpoints, switch the output, hand back control")
    _port(p)
    p.add_argument("--voltage", type=decimal_number, metavar="V", help="output voltage setpoint")
    p.add_argument("--current", type=decimal_number, metavar="A", help="current limit")
    p.add_argument("--ceiling", type=decimal_number, metavar="V", help="voltage ceiling")
    p.add_argument("--output", type=_on_off, metavar="on|off", help="switch the output")
    p.add_argument("--local", action="store_true", help="hand control back to the front panel afterwards")
    p.add_argument("--verify", action="store_true", help="read every setting back and fail on a difference")
    p.add_argument("--max-voltage", type=decimal_number, metavar="V", help="refuse voltages above V")
    p.add_argument("--max-current", type=decimal_number, metavar="A", help="refuse currents above A")

    p = command("ramp", "move the voltage setpoint step by step (Ctrl-C stops and switches the output off)")
    _port(p)
    p.add_argument("--to", type=decimal_number, required=True, metavar="V", help="target voltage")
    p.add_argument("--step", type=decimal_number, required=True, metavar="V", help="step size")
    p.add_argument("--rate", type=decimal_number, required=True, metavar="V/s", help="volts per second")
    p.add_argument("--verify", action="store_true", help="read every step back")
    p.add_argument("--max-voltage", type=decimal_number, metavar="V", help="refuse a target above V")

    p = command("log", "log status to CSV (Ctrl-C stops and keeps every row)")
    _port(p)
    p.add_argument("--interval", type=decimal_number, default=1.0, metavar="S", help="seconds between readings (default 1)")
    p.add_argument("--duration", type=decimal_number, metavar="S", help="stop after S seconds (default: at Ctrl-C)")
    p.add_argument("--csv", required=True, metavar="FILE", help="CSV file to write")
    p.add_argument("--plot", metavar="FILE.png", help="also plot the log (needs matplotlib)")

    p = command("selftest", selftest.HELP)
    _port(p)
    selftest.add_arguments(p)

    p = command("plot", "plot a CSV written by 'log' (needs matplotlib: pip install 'kx5180[plot]')")
    p.add_argument("file", metavar="FILE.csv")
    p.add_argument("-o", "--output", required=True, metavar="FILE.png")
    p.add_argument("--title", help="plot title")

    from ..serve.server import add_parser as add_serve_parser

    add_serve_parser(command)

    sub.add_parser(
        "sim",
        help="run a simulated supply: 'kx5180 sim [SIM OPTIONS] -- COMMAND ...' runs COMMAND against it",
        add_help=False,
    )
    return parser


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


# -- running ------------------------------------------------------------------------------


COMMANDS = {
    "scan": cmd_scan,
    "identify": cmd_identify,
    "status": cmd_status,
    "set": cmd_set,
    "ramp": cmd_ramp,
    "log": cmd_log,
    "selftest": selftest.cmd_selftest,
}


@contextmanager
def _capturing_all(path: str | None, port: str | None) -> Iterator[None]:
    """One capture for every command of a `sim` run."""
    if not path:
        yield
        return
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
def _capturing(args: argparse.Namespace, port: str | None) -> Iterator[None]:
    """--capture and --strict-replies, for everything this command opens."""
    _session.clear()
    if getattr(args, "strict_replies", False):
        _session["strict_replies"] = True
    with _capturing_all(getattr(args, "capture", None), port):
        yield


@contextmanager
def _simulator(args: argparse.Namespace, running: Simulator | None) -> Iterator[Simulator | None]:
    if running is not None or not getattr(args, "sim", False):
        yield running
        return
    try:
        sim_args = shlex.split(args.sim_args or "")
    except ValueError as e:
        raise UsageError(f"--sim-args: {e}") from e
    with Simulator(extra_args=sim_args) as sim:
        yield sim


_trace_on = False


def run(args: argparse.Namespace, sim: Simulator | None = None) -> int:
    global _trace_on
    if getattr(args, "trace", False) and not _trace_on:
        enable_trace()
        _trace_on = True
    if args.command == "serve":
        from ..serve.server import run_serve

        # Started by serve once it knows its lines (after --sim started one).
        return run_serve(args, resolve_target, sim, capturing=lambda port: _capturing(args, port))
    with _simulator(args, sim) as sim:
        if args.command == "ports":
            return cmd_ports(args, sim)
        if args.command == "plot":
            return cmd_plot(args, sim)
        if sim is not None:
            if args.port and not args.port.startswith("@"):
                raise UsageError("give either PORT or --sim, not both (@ADDRESS picks a unit of a simulated bus)")
            # @ADDRESS alone: that unit of a simulator started with --units
            target = resolve_target((sim.port or "") + (args.port or ""))
        elif not args.port:
            raise UsageError(f"{args.command}: give a PORT (or --sim)")
        else:
            target = resolve_target(args.port)
        with _capturing(args, target.name):
            return COMMANDS[args.command](args, target)


def _split_commands(argv: list[str]) -> tuple[list[str], list[list[str]]]:
    """SIM OPTIONS -- COMMAND ... [-- COMMAND ...] into its parts."""
    parts: list[list[str]] = [[]]
    for word in argv:
        if word == "--":
            parts.append([])
        else:
            parts[-1].append(word)
    return parts[0], [p for p in parts[1:] if p]


def _run_sim(argv: list[str], trace: bool, capture: str | None = None, strict: bool = False) -> int:
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
    with Simulator(extra_args=sim_args) as sim, _capturing_all(capture, sim.port):
        if not parsed:
            print(sim.port, flush=True)
            try:
                while sim.running:
                    time.sleep(0.2)
            except KeyboardInterrupt as e:
                return _finished(e)
            fail("kx5180-sim ended by itself")
            return EXIT_FAILED
        for args in parsed:
            code = run(args, sim=sim)
            if code != EXIT_OK:
                return code
    return EXIT_OK


def _with_notes(e: BaseException) -> str:
    """The message and what the Supply noted on its way out (the unit
    switched off, or why that failed), on one line."""
    notes = [re.sub(r"^\S+: ", "", n) for n in getattr(e, "__notes__", ())]  # the port is named once already
    return "; ".join(part for part in (str(e), *notes) if part)  # a Ctrl-C has no message of its own


def main(argv: Sequence[str] | None = None) -> int:
    # SIGTERM and SIGHUP take the path of Ctrl-C: whatever the command
    # switched on is switched off before the exit status says which stopped it.
    lab_log = logging.getLogger("kx5180.lab")
    if not lab_log.hasHandlers():
        # What Supply logs as a warning is in the error's own line already.
        lab_log.addHandler(logging.NullHandler())
    with stop_signals():
        return _main(argv)


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
            return _run_sim(argv[lead + 1 :], trace=trace, capture=capture, strict=strict)
        args = build_parser().parse_args(argv)
        return run(args)
    except UsageError as e:
        fail(str(e))
        return EXIT_USAGE
    except LimitError as e:
        fail(str(e))
        return EXIT_USAGE
    except Terminated as e:
        fail(_with_notes(e))
        return 128 + e.signum
    except RampInterrupted as e:
        fail(_with_notes(e))
        return EXIT_INTERRUPTED
    except PortOpenError as e:
        fail(f"{_with_notes(e)} ({PROG} ports lists the serial ports)")
        return EXIT_FAILED
    except (SupplyError, SimulatorError) as e:
        fail(_with_notes(e))
        return EXIT_FAILED
    except KeyboardInterrupt as e:
        fail(_with_notes(e) or "interrupted")
        return EXIT_INTERRUPTED
    except BrokenPipeError:
        # Output piped into head(1) and the like: not an error of ours.
        try:
            sys.stdout = open(os.devnull, "w")
        except OSError:
            pass
        return EXIT_OK
    except (PlotInputError, PlotUnavailable) as e:
        fail(str(e))
        return EXIT_USAGE if isinstance(e, PlotInputError) else EXIT_FAILED
    except OSError as e:
        # A line or a file that failed where nothing above expected it:
        # still one line, never a traceback.
        fail(f"{e.strerror or e}" + (f": {e.filename}" if e.filename else ""))
        return EXIT_FAILED

