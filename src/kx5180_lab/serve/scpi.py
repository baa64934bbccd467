"""SCPI over a raw TCP socket: LF-terminated lines, `;` between commands,
short and long forms in any case, an error queue and the IEEE 488.2 status
registers per connection (status.py), the command tree in commands.py.

Each connection has a selected unit (`INSTrument:NSELect n`, 1 by
default); a channel list (`(@2)`, `(@1,2)`, `(@1:3)`) names the units of
one command without changing it. See docs/serve.md for the command list.
"""

from __future__ import annotations

import asyncio
import logging
import re
from collections.abc import Awaitable
from typing import Any

from ..errors import LimitError, LineError, NoAnswerError, SupplyError
from .commands import Command, tree
from .connections import StreamService
from .reconnect import Reconnecting
from .safety import setting_allowed
from .status import ScpiError, Session
from .trips import TRIP_ERROR, TRIPPED_ERROR, Tripped, TripRecord
from .units import Hub, Unit

__all__ = ["ScpiError", "ScpiServer", "Session"]

log = logging.getLogger("kx5180.serve")


def _undefined() -> ScpiError:
    return ScpiError(-113, "Undefined header")


def _match(nodes: list[tuple[str, str, bool]], words: list[str]) -> bool:
    if not nodes:
        return not words
    short, long, optional = nodes[0]
    if words and words[0] in (short, long) and _match(nodes[1:], words[1:]):
        return True
    return optional and _match(nodes[1:], words)


_CHANNELS = re.compile(r"(.*?)\s*,?\s*\(@([^()]*)\)\s*", re.DOTALL)


def channels(arg: str, count: int) -> tuple[str, list[int] | None]:
    """The parameter without its channel list, and the units it names
    (None without one): `2.5,(@1,2)`, `(@1:3)`."""
    m = _CHANNELS.fullmatch(arg)
    if m is None:
        return arg, None
    units: list[int] = []
    for item in m.group(2).split(","):
        low, colon, high = item.strip().partition(":")
        if not low.isdigit() or (colon and not high.strip().isdigit()):
            raise ScpiError(-104, "Data type error")
        first, last = int(low), int(high) if colon else int(low)
        if not 1 <= first <= count or not 1 <= last <= count or last < first:
            raise ScpiError(-222, "Data out of range")
        units.extend(range(first, last + 1))
    return m.group(1), list(dict.fromkeys(units))


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
        self.tree = tree(units)
        self.sessions: set[Session] = set()
        hub.trip_listeners.append(self._tripped)

    def _tripped(self, unit: Unit, record: TripRecord) -> None:
        error = ScpiError(TRIP_ERROR, f"Device-specific error; unit {unit.index} tripped: {record.short()}, output off")
        for session in self.sessions:
            session.tripped(unit.index, error)

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
            session.pending = bool(answers)
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
        arg = (arg or "").strip()
        units: list[Unit] = []
        if command.per_unit:
            arg, chosen = channels(arg, len(self.units))
            units = [self.units[i - 1] for i in chosen or [session.unit_index]]
        if query:
            if arg and not command.query_arg:
                raise ScpiError(-108, "Parameter not allowed")
            assert command.query is not None
            if not command.per_unit:
                return await self._guard(command.query(session)), new_path
            answers = [await self._guard(command.query(session, unit, arg)) for unit in units]
            return ",".join(answers), new_path
        if command.changes_state and not session.may_change:
            raise ScpiError(-203, "Command protected; start the server with --allow-remote-control")
        assert command.setting is not None
        if arg and not command.takes_arg:
            raise ScpiError(-108, "Parameter not allowed")
        if not command.per_unit:
            await self._guard(command.setting(session, arg))
            return None, new_path
        # Every unit's value checked before any unit is changed.
        changes = [await self._guard(command.setting(session, unit, arg)) for unit in units]
        for change in changes:
            await self._guard(change())
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
        except Tripped as e:
            raise ScpiError(TRIPPED_ERROR, "Settings conflict; " + str(e).replace('"', "'")) from e
        except NoAnswerError as e:
            raise ScpiError(-240, "Hardware error; the unit did not answer") from e
        except Reconnecting as e:
            raise ScpiError(-240, f"Hardware error; {e.reason}") from e
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
        self.sessions.add(session)
        try:
            await self._serve_session(session, reader, writer)
        finally:
            self.sessions.discard(session)

    async def _serve_session(
        self, session: Session, reader: asyncio.StreamReader, writer: asyncio.StreamWriter
    ) -> None:
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
