"""SCPI over a raw TCP socket: LF-terminated lines, `;` between commands,
short and long forms in any case, an error queue per connection.

Each connection has a selected unit (`INSTrument:NSELect n`, 1 by
default); see docs/serve.md for the command list.
"""

from __future__ import annotations

import asyncio
import logging
import math
import re
from collections import deque
from collections.abc import Awaitable, Callable
from dataclasses import dataclass, field
from typing import Any

from ..errors import LimitError, LineError, NoAnswerError, SupplyError
from .connections import StreamService
from .safety import setting_allowed
from .units import Hub, Unit

log = logging.getLogger("kx5180.serve")

ERROR_QUEUE = 16
SCPI_VERSION = "1999.0"
MAKER = "kx5180 project"


class ScpiError(Exception):
    def __init__(self, code: int, text: str) -> None:
        super().__init__(f'{code},"{text}"')
        self.code, self.text = code, text


def _undefined() -> ScpiError:
    return ScpiError(-113, "Undefined header")


# -- the command tree ---------------------------------------------------------


def _nodes(pattern: str) -> list[tuple[str, str, bool]]:
    """ "[SOURce:]VOLTage[:LEVel]" as (short, long, optional) per node."""
    out = []
    for m in re.finditer(r"(\[)?:?([A-Za-z*]+)\]?", pattern):
        word = m.group(2)
        short = "".join(c for c in word if c.isupper() or c == "*")
        out.append((short.upper(), word.upper(), m.group(1) is not None))
    return out


def _match(nodes: list[tuple[str, str, bool]], words: list[str]) -> bool:
    if not nodes:
        return not words
    short, long, optional = nodes[0]
    if words and words[0] in (short, long) and _match(nodes[1:], words[1:]):
        return True
    return optional and _match(nodes[1:], words)


@dataclass
class Command:
    nodes: list[tuple[str, str, bool]]
    query: Callable[..., Awaitable[str]] | None = None
    setting: Callable[..., Awaitable[None]] | None = None
    changes_state: bool = True


@dataclass
class Session:
    """One client connection."""

    peer: str
    may_change: bool  # settings allowed from this peer (decided once, when it connects)
    unit_index: int = 1
    errors: deque[ScpiError] = field(default_factory=deque)

    def push(self, error: ScpiError) -> None:
        if len(self.errors) >= ERROR_QUEUE:
            self.errors.pop()
            self.errors.append(ScpiError(-350, "Queue overflow"))
            return
        self.errors.append(error)


_NUMBER = re.compile(r"([+-]?(?:[0-9]+\.?[0-9]*|\.[0-9]+)(?:[eE][+-]?[0-9]+)?)\s*(M?)([VA]?)", re.IGNORECASE)


def _number(text: str, unit: str, maximum: float) -> float:
    t = text.strip()
    if not t:
        raise ScpiError(-109, "Missing parameter")
    upper = t.upper()
    if upper in ("MIN", "MINIMUM"):
        return 0.0
    if upper in ("MAX", "MAXIMUM"):
        return maximum
    m = _NUMBER.fullmatch(t)
    if not m or (m.group(3) and m.group(3).upper() != unit):
        raise ScpiError(-104, "Data type error")
    value = float(m.group(1)) / (1000.0 if m.group(2) else 1.0)
    if not math.isfinite(value):
        raise ScpiError(-104, "Data type error")
    return value


def _boolean(text: str) -> bool:
    t = text.strip().upper()
    if t in ("ON", "1"):
        return True
    if t in ("OFF", "0"):
        return False
    if not t:
        raise ScpiError(-109, "Missing parameter")
    raise ScpiError(-104, "Data type error")


def _peer_host(writer: asyncio.StreamWriter) -> str:
    peer = writer.get_extra_info("peername")
    return str(peer[0]) if peer else ""


class ScpiServer(StreamService):
    def __init__(
        self,
        units: list[Unit],
        hub: Hub,
        *,
        bind_host: str,
        allow_remote: bool,
        max_clients: int,
        max_line: int,
        idle_timeout: float,
    ) -> None:
        self.units = units
        self.hub = hub
        self.bind_host = bind_host
        self.allow_remote = allow_remote
        super().__init__(max_clients)
        self.max_line = max_line
        self.idle_timeout = idle_timeout
        self.tree = self._tree()

    # -- commands -----------------------------------------------------------

    def _tree(self) -> list[Command]:
        u = self._unit

        def limit_v(s: Session) -> float:
            return u(s).supply._max_mv / 1000

        def limit_a(s: Session) -> float:
            return u(s).supply._max_ma / 1000

        async def idn(s: Session) -> str:
            ident = u(s).identity
            assert ident is not None

            def clean(x: object) -> str:
                return str(x).replace("\x00", "").replace(",", " ")

            return f"{MAKER},{clean(ident.model)},{clean(ident.serial_number)},{ident.software_version}"

        async def status_field(s: Session, name: str) -> Any:
            return getattr(await u(s).status(), name)

        async def volts(s: Session, name: str) -> str:
            return f"{await status_field(s, name):.3f}"

        async def set_voltage(s: Session, arg: str) -> None:
            await u(s).set(voltage=_number(arg, "V", limit_v(s)))

        async def set_current(s: Session, arg: str) -> None:
            await u(s).set(current=_number(arg, "A", limit_a(s)))

        async def set_ceiling(s: Session, arg: str) -> None:
            await u(s).set(ceiling=_number(arg, "V", limit_v(s)))

        async def output(s: Session, arg: str) -> None:
            await u(s).output(_boolean(arg))

        async def output_q(s: Session) -> str:
            return "1" if await status_field(s, "output_on") else "0"

        async def mode_q(s: Session) -> str:
            mode = await status_field(s, "mode")
            return mode if mode in ("CV", "CC") else "OFF"

        async def condition_q(s: Session) -> str:
            st = await u(s).status()
            return str(
                (1 if st.mode == "CV" else 0) | (2 if st.mode == "CC" else 0) | (16 if st.over_temperature else 0)
            )

        async def error_q(s: Session) -> str:
            if not s.errors:
                return '0,"No error"'
            return str(s.errors.popleft())

        async def cls(s: Session, arg: str) -> None:
            s.errors.clear()

        async def nsel(s: Session, arg: str) -> None:
            value = _number(arg, "", len(self.units))
            if value != int(value) or not 1 <= value <= len(self.units):
                raise ScpiError(-222, "Data out of range")
            s.unit_index = int(value)

        async def catalog(s: Session) -> str:
            return ",".join(f'"{unit.name}"' for unit in self.units)

        async def const(text: str) -> str:
            return text

        async def nothing(s: Session, arg: str) -> None:
            return None

        def c(pattern: str, query: Any = None, setting: Any = None, changes_state: bool = True) -> Command:
            return Command(_nodes(pattern), query, setting, changes_state)

        return [
            c("*IDN", query=idn),
            c("*RST", setting=lambda s, a: u(s).reset()),
            c("*CLS", setting=cls, changes_state=False),
            c("*OPC", query=lambda s: const("1"), setting=nothing, changes_state=False),
            c("*WAI", setting=nothing, changes_state=False),
            c("SYSTem:ERRor[:NEXT]", query=error_q),
            c("SYSTem:VERSion", query=lambda s: const(SCPI_VERSION)),
            c("SYSTem:REMote", setting=lambda s, a: u(s).remote()),
            c("SYSTem:LOCal", setting=lambda s, a: u(s).local()),
            c("[SOURce:]VOLTage:LIMit[:LEVel]", query=lambda s: volts(s, "ceiling_v"), setting=set_ceiling),
            c(
                "[SOURce:]VOLTage[:LEVel][:IMMediate][:AMPLitude]",
                query=lambda s: volts(s, "voltage_set_v"),
                setting=set_voltage,
            ),
            c(
                "[SOURce:]CURRent[:LEVel][:IMMediate][:AMPLitude]",
                query=lambda s: volts(s, "current_set_a"),
                setting=set_current,
            ),
            c("OUTPut:MODE", query=mode_q),
            c("OUTPut[:STATe]", query=output_q, setting=output),
            c("MEASure[:SCALar]:VOLTage[:DC]", query=lambda s: volts(s, "voltage_v")),
            c("MEASure[:SCALar]:CURRent[:DC]", query=lambda s: volts(s, "current_a")),
            c("MEASure[:SCALar]:POWer[:DC]", query=lambda s: volts(s, "power_w")),
            c("STATus:QUEStionable:CONDition", query=condition_q),
            c(
                "INSTrument[:SELect]:NSELect",
                query=lambda s: const(str(s.unit_index)),
                setting=nsel,
                changes_state=False,
            ),
            c("INSTrument:CATalog[:FULL]", query=catalog),
        ]

    def _unit(self, s: Session) -> Unit:
        return self.units[s.unit_index - 1]

    def _find(self, words: list[str], query: bool) -> Command:
        for command in self.tree:
            if _match(command.nodes, words) and (command.query if query else command.setting) is not None:
                return command
        raise _undefined()

    # -- one line -------------------------------------------------------------------

    async def execute_line(self, session: Session, line: str) -> str | None:
        """Runs every command of a line; the answers of its queries, joined
        by ';', or None when there are none. An error goes to the queue and
        ends the line (what follows it is not run)."""
        answers: list[str] = []
        path: list[str] = []
        for part in line.split(";"):
            part = part.strip()
            if not part:
                if line.strip():
                    session.push(ScpiError(-102, "Syntax error"))
                break
            try:
                answer, path = await self._execute(session, part, path)
            except ScpiError as e:
                session.push(e)
                break
            if answer is not None:
                answers.append(answer)
        return ";".join(answers) if answers else None

    async def _execute(self, session: Session, text: str, path: list[str]) -> tuple[str | None, list[str]]:
        m = re.fullmatch(r"(:?[A-Za-z*][A-Za-z0-9_*:]*)(\?)?(?:\s+(.*))?", text, re.DOTALL)
        if not m:
            raise ScpiError(-102, "Syntax error")
        header, query, arg = m.group(1), m.group(2) is not None, m.group(3)
        absolute = header.startswith(":") or header.startswith("*")
        words = [w.upper() for w in header.lstrip(":").split(":")]
        if any(not w for w in words):
            raise ScpiError(-102, "Syntax error")
        words = [self._unsuffixed(w) for w in words]
        command = None
        tried = [words] if absolute or not path else [path + words, words]
        for candidate in tried:
            try:
                command = self._find(candidate, query)
                words = candidate
                break
            except ScpiError:
                continue
        if command is None:
            raise _undefined()
        new_path = [] if words[0].startswith("*") else words[:-1]
        if query:
            if arg is not None and arg.strip():
                raise ScpiError(-108, "Parameter not allowed")
            assert command.query is not None
            return await self._guard(command.query(session)), new_path
        if command.changes_state and not session.may_change:
            raise ScpiError(-203, "Command protected; start the server with --allow-remote-control")
        assert command.setting is not None
        if command.nodes[0][0].startswith("*") and arg:
            raise ScpiError(-108, "Parameter not allowed")
        await self._guard(command.setting(session, arg or ""))
        return None, new_path

    @staticmethod
    def _unsuffixed(word: str) -> str:
        # OUTPut1, SOURce1: the numeric suffix of a single-channel node.
        stripped = word.rstrip("0123456789")
        return stripped if stripped and word[len(stripped) :] == "1" else word

    @staticmethod
    async def _guard(work: Awaitable[Any]) -> Any:
        try:
            return await work
        except ScpiError:
            raise
        except LimitError as e:
            raise ScpiError(-222, "Data out of range") from e
        except NoAnswerError as e:
            raise ScpiError(-240, "Hardware error; the unit did not answer") from e
        except LineError as e:  # a serial adapter pulled out: told on the console by the unit
            raise ScpiError(-240, "Hardware error; the line failed") from e
        except SupplyError as e:
            raise ScpiError(-200, "Execution error") from e
        except Exception as e:
            log.error("unexpected %s: %s", type(e).__name__, e)
            raise ScpiError(-200, "Execution error") from e

    # -- the connection ----------------------------------------------------------------

    def _may_change(self, writer: asyncio.StreamWriter) -> bool:
        return setting_allowed(self.bind_host, _peer_host(writer), self.allow_remote)

    def admission(self, writer: asyncio.StreamWriter) -> tuple[bool, bool]:
        # A client that may change settings takes the place of the oldest
        # that may only read, when every place is taken.
        return self._may_change(writer), False

    async def refuse(self, writer: asyncio.StreamWriter) -> None:
        log.warning("SCPI: refused %s, already %d clients", _peer_host(writer), len(self.pool.members))

    async def serve_client(self, reader: asyncio.StreamReader, writer: asyncio.StreamWriter) -> None:
        session = Session(_peer_host(writer), self._may_change(writer))
        while True:
            try:
                try:
                    raw = await asyncio.wait_for(reader.readuntil(b"\n"), self.idle_timeout)
                except asyncio.LimitOverrunError:
                    await self._discard_long_line(reader)
                    session.push(ScpiError(-223, "Too much data"))
                    continue
            except (asyncio.IncompleteReadError, TimeoutError, ConnectionError):
                break
            if session.may_change:
                # A client that may only read cannot switch an output off
                # either; its questions do not hold one on.
                self.hub.touch()
            try:
                text = raw.decode("ascii").rstrip("\r\n")
            except UnicodeDecodeError:
                session.push(ScpiError(-102, "Syntax error"))
                continue
            answer = await self.execute_line(session, text)
            if answer is not None:
                writer.write(answer.encode("ascii", "replace") + b"\n")
                try:
                    await asyncio.wait_for(writer.drain(), self.idle_timeout)
                except TimeoutError:
                    # A client that sends but never reads its answers is
                    # as idle as a silent one; dropped, not flushed to,
                    # or it would keep its connection all the same.
                    writer.transport.abort()
                    break

    async def _discard_long_line(self, reader: asyncio.StreamReader) -> None:
        while True:
            try:
                await asyncio.wait_for(reader.readuntil(b"\n"), self.idle_timeout)
                return
            except asyncio.LimitOverrunError as e:
                await reader.readexactly(e.consumed)
