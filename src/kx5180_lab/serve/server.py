"""`kx5180 serve`: opens the lines, serves SCPI and HTTP until a signal,
then leaves every unit safe."""

from __future__ import annotations

import argparse
import asyncio
import contextlib
import logging
import math
import shlex
import signal
import sys
from collections.abc import Iterator
from typing import Any

from ..bus import Bus
from ..simulator import Simulator
from ..supply import Supply, SupplyError
from .http import HttpServer
from .safety import is_loopback, new_token
from .scpi import ScpiServer
from .units import Hub, Line, Unit, poll_line, watchdog

log = logging.getLogger("kx5180.serve")

EPILOG = """\
Every change needs the token printed at start (the dashboard link carries
it). Only this machine can connect unless --bind names another address;
SCPI clients from elsewhere may then only read, unless
--allow-remote-control. On Ctrl-C, SIGTERM or SIGHUP every output the
server switched on goes off (unless --keep-on) and each unit is handed back
to its front panel.
"""


def add_parser(command: Any) -> None:
    """Registers `serve` through the command line's `command(name, help)`."""
    p = command("serve", "serve the units over SCPI (TCP) and HTTP, with a live dashboard, until stopped")
    p.epilog = EPILOG
    p.formatter_class = argparse.RawDescriptionHelpFormatter
    p.add_argument(
        "ports",
        nargs="*",
        metavar="PORT[@ADDRESS]",
        help="serial ports to serve; PORT@ADDRESS picks units of a shared line (not with --sim)",
    )
    p.add_argument("--units", metavar="N|A,B,...", help="with --sim: simulate N units (or these addresses) on one line")
    p.add_argument("--bind", default="127.0.0.1", metavar="HOST", help="address to listen on (default 127.0.0.1)")
    p.add_argument("--scpi-port", type=int, default=5025, metavar="N", help="SCPI port (default 5025; 0 picks one)")
    p.add_argument("--http-port", type=int, default=8080, metavar="N", help="HTTP port (default 8080; 0 picks one)")
    p.add_argument("--no-http", action="store_true", help="serve SCPI only")
    p.add_argument("--no-scpi", action="store_true", help="serve HTTP only")
    p.add_argument("--max-voltage", type=float, metavar="V", help="refuse voltages above V, for every client")
    p.add_argument("--max-current", type=float, metavar="A", help="refuse currents above A, for every client")
    p.add_argument(
        "--allow-remote-control",
        action="store_true",
        help="let SCPI clients on other machines change settings (with a non-loopback --bind)",
    )
    p.add_argument("--allow-host", action="append", default=[], metavar="NAME", help="a host name the web page may be reached by")
    p.add_argument("--token", metavar="TEXT", help="the token for changes (default: a new random one)")
    p.add_argument("--keep-on", action="store_true", help="leave the outputs as they are when the server stops")
    p.add_argument("--watchdog", type=float, metavar="S", help="switch outputs off when no client has spoken for S seconds")
    p.add_argument("--poll", type=float, default=0.5, metavar="S", help="seconds between readings for the dashboard (default 0.5)")
    p.add_argument("--max-clients", type=int, default=32, metavar="N", help="connections per protocol (default 32)")
    p.add_argument("--idle-timeout", type=float, default=600.0, metavar="S", help="close a silent SCPI client after S seconds (default 600)")
    p.add_argument("--max-line", type=int, default=4096, metavar="BYTES", help="longest SCPI line (default 4096)")


class ServeError(Exception):
    """A reason the server cannot start, told in one line."""


def _check(args: argparse.Namespace) -> None:
    for name in ("watchdog", "poll", "idle_timeout", "max_voltage", "max_current"):
        v = getattr(args, name)
        if v is not None and not (math.isfinite(v) and v >= 0 and (v > 0 or name in ("max_voltage", "max_current"))):
            raise ServeError(f"--{name.replace('_', '-')} needs a positive number of seconds" if name not in ("max_voltage", "max_current") else f"--{name.replace('_', '-')} needs a number >= 0")
    for name in ("scpi_port", "http_port"):
        if not 0 <= getattr(args, name) <= 65535:
            raise ServeError(f"--{name.replace('_', '-')} must be 0..65535")
    if args.max_clients < 1 or args.max_line < 64:
        raise ServeError("--max-clients must be >= 1 and --max-line >= 64")
    if args.no_http and args.no_scpi:
        raise ServeError("with both --no-http and --no-scpi there is nothing to serve")


def _sim_units(text: str | None) -> list[int] | None:
    if text is None:
        return None
    try:
        if "," in text:
            return [int(a) for a in text.split(",")]
        count = int(text)
    except ValueError:
        raise ServeError(f"--units: {text!r} is not a count or a list of addresses") from None
    if not 1 <= count <= 254:
        raise ServeError("--units: give 1..254 units")
    return list(range(1, count + 1))


@contextlib.contextmanager
def _opened(args: argparse.Namespace, names: list[str], resolve: Any) -> Iterator[list[tuple[Line, list[Supply]]]]:
    """Opens every line and unit; closes whatever was opened if one fails."""
    by_port: dict[str, list[int | None]] = {}
    for name in names:
        target = resolve(name)
        by_port.setdefault(target.port, []).append(target.address)
    options = dict(max_voltage=args.max_voltage, max_current=args.max_current, remote=False, keep_on_exit=True)
    lines: list[tuple[Line, list[Supply]]] = []
    try:
        for port, addresses in by_port.items():
            if None in addresses and len(addresses) > 1:
                raise ServeError(f"{port}: give either PORT alone or PORT@ADDRESS for each unit on it")
            if len(set(addresses)) != len(addresses):
                raise ServeError(f"{port}: a unit is named twice")
            if addresses == [None]:
                supply = Supply(port, **options)
                line = Line(port)
                lines.append((line, [supply]))
                supply.open()
            else:
                bus = Bus.connect(port)
                line = Line(port, bus)
                supplies: list[Supply] = []
                lines.append((line, supplies))
                for address in addresses:
                    assert address is not None
                    supply = bus.supply(address, **options)
                    supplies.append(supply)
                    supply.open()
        yield lines
    finally:
        for line, supplies in lines:
            for supply in supplies:
                with contextlib.suppress(SupplyError):
                    supply.close()
            if line.bus is not None:
                line.bus.close()
            line.executor.shutdown(wait=True)


def run_serve(args: argparse.Namespace, resolve: Any, sim: Simulator | None = None) -> int:
    """The `serve` command; `resolve` is the command line's PORT@ADDRESS
    parser, `sim` a simulator already running (kx5180 sim -- serve)."""
    _setup_logging()
    try:
        _check(args)
        if sim is not None:
            assert sim.port is not None
            names = [sim.port + p if p.startswith("@") else p for p in args.ports] or [sim.port]
            return _serve(args, names, resolve)
        if args.sim:
            if args.ports:
                raise ServeError("give either PORTs or --sim, not both")
            units = _sim_units(args.units)
            extra = shlex.split(args.sim_args or "")
            with Simulator(units=units, extra_args=extra) as sim:
                assert sim.port is not None
                names = [sim.port] if units is None else [f"{sim.port}@{a}" for a in units]
                return _serve(args, names, resolve)
        if args.units is not None:
            raise ServeError("--units goes with --sim")
        if not args.ports:
            raise ServeError("serve: give one or more PORT[@ADDRESS] (or --sim)")
        return _serve(args, args.ports, resolve)
    except ServeError as e:
        log.error("%s", e)
        return 2
    except ValueError as e:  # a refused limit or address
        log.error("%s", e)
        return 2


def _setup_logging() -> None:
    logger = logging.getLogger("kx5180.serve")
    if not logger.handlers:
        handler = logging.StreamHandler(sys.stderr)
        handler.setFormatter(logging.Formatter("kx5180 serve: %(message)s"))
        logger.addHandler(handler)
        logger.setLevel(logging.INFO)
        logger.propagate = False


def _serve(args: argparse.Namespace, names: list[str], resolve: Any) -> int:
    with _opened(args, names, resolve) as lines:
        return asyncio.run(_main(args, lines))


async def _main(args: argparse.Namespace, opened: list[tuple[Line, list[Supply]]]) -> int:
    loop = asyncio.get_running_loop()
    hub = Hub(loop)
    units: list[Unit] = []
    lines = []
    for line, supplies in opened:
        lines.append(line)
        for supply in supplies:
            unit = Unit(len(units) + 1, supply, line, hub)
            unit.identity = await line.call(supply.identity)
            line.units.append(unit)
            units.append(unit)

    stop = asyncio.Event()
    _install_signals(loop, stop)
    loop.set_exception_handler(_one_line)
    token = args.token or new_token()
    if not is_loopback(args.bind):
        log.warning(
            "listening on %s, which other machines can reach%s",
            args.bind,
            "" if args.allow_remote_control else "; their SCPI clients may only read (--allow-remote-control lets them change settings)",
        )
    servers: list[asyncio.Server] = []
    scpi = http = None
    try:
        if not args.no_scpi:
            scpi = ScpiServer(
                units,
                hub,
                bind_host=args.bind,
                allow_remote=args.allow_remote_control,
                max_clients=args.max_clients,
                max_line=args.max_line,
                idle_timeout=args.idle_timeout,
            )
            server = await _listen(scpi.handle, args.bind, args.scpi_port, args.max_line, "SCPI")
            servers.append(server)
            print(f"SCPI on {_where(server)} (TCPIP::{_host(args.bind)}::{_port(server)}::SOCKET)", flush=True)
        if not args.no_http:
            http_port = args.http_port
            http = HttpServer(
                units,
                hub,
                token=token,
                port=http_port,
                allowed_hosts=frozenset(h.lower() for h in args.allow_host),
                max_clients=args.max_clients,
                max_voltage=args.max_voltage,
                max_current=args.max_current,
            )
            server = await _listen(http.handle, args.bind, http_port, 8192, "HTTP")
            http.port = _port(server)
            servers.append(server)
            print(f"HTTP on http://{_host(args.bind)}:{http.port}/?token={token}", flush=True)
        print(f"token {token}", flush=True)
        for unit in units:
            ident = unit.identity
            assert ident is not None
            print(f"unit {unit.index}: {unit.name} model {ident.model} SN {ident.serial_number.replace(chr(0), '')}", flush=True)
        tasks = [asyncio.create_task(poll_line(line, hub, args.poll)) for line in lines]
        if args.watchdog:
            tasks.append(asyncio.create_task(watchdog(units, hub, args.watchdog)))
        await stop.wait()
        log.info("stopping")
        for task in tasks:
            task.cancel()
    finally:
        for server in servers:
            server.close()
        for handler in (scpi, http):
            if handler is not None:
                for writer in list(handler.clients):
                    writer.close()
        problems = await _stop_units(units, args.keep_on)
    for p in problems:
        log.error("%s", p)
    if problems:
        log.error("stopped, but not every unit could be left safe (above); lines closed")
        return 1
    state = "outputs left as they were" if args.keep_on else "outputs the server switched on are off"
    log.info("%s; front panels in control; lines closed", state)
    return 0


async def _stop_units(units: list[Unit], keep_on: bool) -> list[str]:
    results = await asyncio.gather(*(u.line.call(u.stop, keep_on) for u in units), return_exceptions=True)
    problems: list[str] = []
    for unit, result in zip(units, results):
        if isinstance(result, BaseException):
            problems.append(f"{unit.name}: {result}")
        else:
            problems.extend(result)
    return problems


async def _listen(handler: Any, host: str, port: int, limit: int, what: str) -> asyncio.Server:
    try:
        return await asyncio.start_server(handler, host, port, limit=limit, reuse_address=True)
    except OSError as e:
        raise ServeError(f"{what}: cannot listen on {host}:{port}: {e.strerror or e}") from e


def _port(server: asyncio.Server) -> int:
    return int(server.sockets[0].getsockname()[1])


def _host(host: str) -> str:
    return f"[{host}]" if ":" in host else host


def _where(server: asyncio.Server) -> str:
    name = server.sockets[0].getsockname()
    return f"{_host(str(name[0]))}:{name[1]}"


def _one_line(loop: asyncio.AbstractEventLoop, context: dict[str, Any]) -> None:
    """A fault in one connection is told in one line; the server goes on."""
    error = context.get("exception")
    log.error("%s", f"{type(error).__name__}: {error}" if error is not None else context.get("message"))


def _install_signals(loop: asyncio.AbstractEventLoop, stop: asyncio.Event) -> None:
    for name in ("SIGINT", "SIGTERM", "SIGHUP"):
        sig = getattr(signal, name, None)
        if sig is None:
            continue
        try:
            loop.add_signal_handler(sig, stop.set)
        except (NotImplementedError, RuntimeError):
            # Windows: no loop signal handlers; Ctrl-C arrives through signal().
            signal.signal(sig, lambda *_: loop.call_soon_threadsafe(stop.set))
