"""`kx5180 serve`: opens the lines, serves SCPI and HTTP until a signal,
then leaves every unit safe."""

from __future__ import annotations

import argparse
import asyncio
import contextlib
import logging
import math
import os
import shlex
import signal
import sys
from collections.abc import Callable, Iterator
from typing import Any

from ..errors import SupplyError
from ..instrument.bus import Bus
from ..instrument.supply import Supply
from ..simulator import Simulator
from ..stops import Holder, signal_name, taken
from . import mqtt
from .http import MAX_HEAD, HttpServer
from .naming import host_name, unit_ids
from .reconnect import Reconnector
from .safety import is_loopback, new_token
from .scpi import ScpiServer
from .units import Hub, Line, Unit, poll_line, watchdog

log = logging.getLogger("kx5180.serve")


class ServeError(Exception):
    """A reason the server cannot start, told in one line."""


def _stopped_by(stopper: Holder) -> str:
    return "Ctrl-C" if stopper.signum == signal.SIGINT else signal_name(stopper.signum)


def _exit_status(stopper: Holder) -> int:
    # Ctrl-C is how a server is meant to end, as for `kx5180 sim`; a
    # signal from elsewhere is told as the rest of the command line tells it.
    return 0 if stopper.signum in (0, signal.SIGINT) else 128 + stopper.signum


def _check(args: argparse.Namespace) -> None:
    for name in ("watchdog", "poll", "idle_timeout", "max_voltage", "max_current"):
        v = getattr(args, name)
        if v is not None and not (math.isfinite(v) and v >= 0 and (v > 0 or name in ("max_voltage", "max_current"))):
            raise ServeError(
                f"--{name.replace('_', '-')} needs a positive number of seconds"
                if name not in ("max_voltage", "max_current")
                else f"--{name.replace('_', '-')} needs a number >= 0"
            )
    for name in ("scpi_port", "http_port"):
        if not 0 <= getattr(args, name) <= 65535:
            raise ServeError(f"--{name.replace('_', '-')} must be 0..65535")
    if args.max_clients < 1 or args.max_line < 64:
        raise ServeError("--max-clients must be >= 1 and --max-line >= 64")
    if args.power_token and args.power_token == args.token:
        raise ServeError("--power-token must differ from --token, or it could change everything")
    if args.metrics_token is not None and not args.metrics_token:
        raise ServeError("--metrics-token needs a text")
    try:
        host_name(args.host_name)
    except ValueError as e:
        raise ServeError(str(e)) from None
    if args.mqtt is None and (args.mqtt_tls or args.mqtt_ca or args.mqtt_control):
        raise ServeError("--mqtt-tls, --mqtt-ca and --mqtt-control go with --mqtt URL")
    if args.mqtt is not None:
        try:
            mqtt.parse_url(args.mqtt, args.mqtt_tls or args.mqtt_ca is not None)
        except ValueError as e:
            raise ServeError(str(e)) from None
        if args.mqtt_ca is not None and not os.path.isfile(args.mqtt_ca):
            raise ServeError(f"--mqtt-ca: no file {args.mqtt_ca}")
        if not mqtt.available():
            raise ServeError(mqtt.INSTALL)
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
def _opened(
    args: argparse.Namespace, names: list[str], resolve: Any, stopper: Holder, problems: list[str]
) -> Iterator[list[tuple[Line, list[Supply]]]]:
    """Opens every line and unit; closes whatever was opened, also when one
    fails to open. What could not be closed goes to `problems`."""
    by_port: dict[str, list[int | None]] = {}
    for name in names:
        target = resolve(name)
        by_port.setdefault(target.port, []).append(target.address)
    options = dict(max_voltage=args.max_voltage, max_current=args.max_current, remote=False, keep_on_exit=True)
    options["strict_replies"] = bool(getattr(args, "strict_replies", False))  # as for every command
    for name in ("trip_current", "trip_power", "trip_voltage", "trip_delay"):
        options[name] = getattr(args, name, None)
    options["trip_delay"] = options["trip_delay"] or 0.0
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
                line.options = options
                lines.append((line, [supply]))
                supply.open()
            else:
                bus = Bus.connect(port)
                line = Line(port, bus)
                line.options = options
                supplies: list[Supply] = []
                lines.append((line, supplies))
                for address in addresses:
                    assert address is not None
                    supply = bus.supply(address, **options)
                    supplies.append(supply)
                    supply.open()
        yield lines
    finally:
        stopper.hold()
        for line, supplies in lines:
            line.executor.shutdown(wait=True)
            for supply in supplies:
                with contextlib.suppress(SupplyError):  # closed by the stop already, or never opened
                    supply.close()
            if line.bus is not None:
                try:
                    line.bus.close()
                except SupplyError as e:
                    problems.append(str(e))


def run_serve(
    args: argparse.Namespace,
    resolve: Any,
    sim: Simulator | None = None,
    capturing: Callable[[str | None], contextlib.AbstractContextManager[object]] = lambda port: (
        contextlib.nullcontext()
    ),
) -> int:
    """The `serve` command; `resolve` is the command line's PORT@ADDRESS
    parser, `sim` a simulator already running (kx5180 sim -- serve),
    `capturing(port)` the command line's --capture for the session."""
    _setup_logging()
    # Ctrl-C, SIGTERM and SIGHUP for the whole of `serve`: while the lines
    # open they end the start as they end any command; while serving they
    # ask the event loop for an orderly stop; once the stop has begun they
    # are only noted, so that nothing cuts short the switching off. A plain
    # handler rather than the event loop's: it covers the opening and the
    # closing around the loop, and works on Windows.
    stopper = Holder()
    problems: list[str] = []

    def serve(names: list[str]) -> None:
        ports = {resolve(name).port for name in names}
        with capturing(ports.pop() if len(ports) == 1 else None):
            _serve(args, names, resolve, stopper, problems)

    try:
        with taken(stopper):
            _check(args)
            if sim is not None:
                assert sim.port is not None
                serve([sim.port + p if p.startswith("@") else p for p in args.ports] or [sim.port])
            elif args.sim:
                if args.ports:
                    raise ServeError("give either PORTs or --sim, not both")
                units = _sim_units(args.units)
                extra = shlex.split(args.sim_args or "")
                with Simulator(units=units, extra_args=extra) as sim:
                    assert sim.port is not None
                    serve([sim.port] if units is None else [f"{sim.port}@{a}" for a in units])
            else:
                if args.units is not None:
                    raise ServeError("--units goes with --sim")
                if not args.ports:
                    raise ServeError("serve: give one or more PORT[@ADDRESS] (or --sim)")
                serve(args.ports)
    except BaseException as e:
        # Whatever ended it, the stop ran: what it could not do comes first.
        for p in problems:
            log.error("%s", p)
        if isinstance(e, (ServeError, ValueError)):  # ValueError: a refused limit or address
            log.error("%s", e)
            return 2
        raise
    # One line for each unit that could not be left safe, then one that
    # says how the server ended.
    for p in problems:
        log.error("%s", p)
    if problems:
        log.error("stopped by %s, but not every unit could be left safe (above); lines closed", _stopped_by(stopper))
        return 1
    state = "outputs left as they were" if args.keep_on else "outputs the server switched on are off"
    log.info("stopped by %s; %s; front panels in control; lines closed", _stopped_by(stopper), state)
    return _exit_status(stopper)


def _setup_logging() -> None:
    logger = logging.getLogger("kx5180.serve")
    if not logger.handlers:
        handler = logging.StreamHandler(sys.stderr)
        handler.setFormatter(logging.Formatter("kx5180 serve: %(message)s"))
        logger.addHandler(handler)
        logger.setLevel(logging.INFO)
        logger.propagate = False


def _serve(args: argparse.Namespace, names: list[str], resolve: Any, stopper: Holder, problems: list[str]) -> None:
    """Serves until a stop signal; what could not be left safe goes to `problems`."""
    with _opened(args, names, resolve, stopper, problems) as lines:
        asyncio.run(_main(args, lines, stopper, problems))


async def _main(
    args: argparse.Namespace, opened: list[tuple[Line, list[Supply]]], stopper: Holder, problems: list[str]
) -> None:
    loop = asyncio.get_running_loop()
    stop = asyncio.Event()
    stopper.hold(wake=lambda: loop.call_soon_threadsafe(stop.set))
    loop.set_exception_handler(_one_line)
    hub = Hub(loop)
    units: list[Unit] = []
    lines = []
    servers: list[asyncio.Server] = []
    scpi = http = None
    bridge: mqtt.Bridge | None = None
    tasks: list[asyncio.Task[None]] = []
    reconnector = Reconnector()
    try:
        for line, supplies in opened:
            lines.append(line)
            reconnector.watch(line)
            for supply in supplies:
                unit = Unit(len(units) + 1, supply, line, hub)
                unit.identity = await line.call(supply.identity)
                line.units.append(unit)
                units.append(unit)
        if stop.is_set():  # stopped while the units were asked who they are
            return
        host = host_name(args.host_name)
        for unit, name in zip(units, unit_ids(host, [u.identity for u in units])):
            unit.id = name
        token = args.token or new_token()
        power_token = args.power_token or new_token()
        if not is_loopback(args.bind):
            log.warning(
                "listening on %s, which other machines can reach%s",
                args.bind,
                ""
                if args.allow_remote_control
                else "; their SCPI clients may only read (--allow-remote-control lets them change settings)",
            )
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
                power_token=power_token,
                port=http_port,
                allowed_hosts=frozenset(h.lower() for h in args.allow_host),
                max_clients=args.max_clients,
                max_voltage=args.max_voltage,
                max_current=args.max_current,
                host_name=host,
                poll=args.poll,
                metrics_token=args.metrics_token,
            )
            server = await _listen(http.handle, args.bind, http_port, MAX_HEAD, "HTTP")
            http.port = _port(server)
            servers.append(server)
            print(f"HTTP on http://{_host(args.bind)}:{http.port}/?token={token}", flush=True)
            print(f"power token {power_token} (switches outputs through /rest/N, nothing else)", flush=True)
        print(f"token {token}", flush=True)
        for unit in units:
            ident = unit.identity
            assert ident is not None
            print(
                f"unit {unit.index}: {unit.name} model {ident.model} SN {ident.serial_number.replace(chr(0), '')}"
                f" ({unit.id})",
                flush=True,
            )
        if args.mqtt is not None:
            bridge = mqtt.Bridge(
                units,
                hub,
                mqtt.parse_url(args.mqtt, args.mqtt_tls or args.mqtt_ca is not None),
                host=host,
                ca=args.mqtt_ca,
                control=args.mqtt_control,
                max_voltage=args.max_voltage,
                max_current=args.max_current,
            )
            await bridge.start()
            print(f"MQTT to {bridge.where} as {mqtt.PREFIX}/SERIAL", flush=True)
        tasks.extend(asyncio.create_task(poll_line(line, hub, args.poll)) for line in lines)
        if args.watchdog:
            tasks.append(asyncio.create_task(watchdog(units, hub, args.watchdog)))
        await stop.wait()
    finally:
        stopper.hold()
        reconnector.close()
        for task in tasks:
            task.cancel()
        if http is not None:
            http.scrapes.close()
        if bridge is not None:
            await asyncio.to_thread(bridge.close)
        for server in servers:
            server.close()
        for handler in (scpi, http):
            if handler is not None:
                for writer in handler.connections():
                    writer.close()
        problems.extend(await _stop_units(units, args.keep_on))


async def _stop_units(units: list[Unit], keep_on: bool) -> list[str]:
    # The stop queues behind whatever a client asked of the line before
    # it, so an output switched on a moment ago is switched off too.
    results = await asyncio.gather(*(u.line.call(u.stop, keep_on) for u in units), return_exceptions=True)
    problems: list[str] = []
    for unit, result in zip(units, results):
        if isinstance(result, BaseException):
            problems.append(f"{unit.name}: {type(result).__name__}: {result}")
        elif result:
            problems.append(result)
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
