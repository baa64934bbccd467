"""What the SCPI and the HTTP server share: bounded pools of connections,
each closed however it ends, and ended quietly when the server stops.

A connection that proved it may act (the token, a SCPI client that may
change settings) is never kept out by connections that proved nothing:
it takes the place of the oldest of those. Whoever can reach the port
cannot fill it and so lock the off switch out."""

from __future__ import annotations

import asyncio
from dataclasses import dataclass


@dataclass
class _Member:
    task: asyncio.Task[object] | None
    proven: bool


class Pool:
    """At most `size` connections, oldest first."""

    def __init__(self, size: int) -> None:
        self.size = size
        self.members: dict[asyncio.StreamWriter, _Member] = {}

    def join(self, writer: asyncio.StreamWriter, *, proven: bool = False, displace: bool = False) -> bool:
        """Takes `writer` in; when the pool is full, in the place of the
        oldest member that proved nothing if `writer` proved itself or may
        `displace` one all the same. False: there is no place for it."""
        if len(self.members) >= self.size:
            oldest = next((w for w, m in self.members.items() if not m.proven), None)
            if oldest is None or not (proven or displace):
                return False
            self.shed(oldest)
        self.members[writer] = _Member(asyncio.current_task(), proven)
        return True

    def prove(self, writer: asyncio.StreamWriter) -> None:
        if writer in self.members:
            self.members[writer].proven = True

    def leave(self, writer: asyncio.StreamWriter) -> None:
        self.members.pop(writer, None)

    def shed(self, writer: asyncio.StreamWriter) -> None:
        """Drops a connection at once, whatever it was waiting for."""
        member = self.members.pop(writer)
        writer.transport.abort()
        if member.task is not None:
            member.task.cancel()


class StreamService:
    """The connection bookkeeping of a server on asyncio streams;
    `admission`, `serve_client` and `refuse` are the protocol's own."""

    def __init__(self, max_clients: int) -> None:
        self.pool = Pool(max_clients)
        self.pools = [self.pool]

    def admission(self, writer: asyncio.StreamWriter) -> tuple[bool, bool]:
        """Whether a new connection proved itself, and whether it may
        displace one that did not even so (see `Pool.join`)."""
        return False, False

    def connections(self) -> list[asyncio.StreamWriter]:
        return [w for pool in self.pools for w in pool.members]

    async def handle(self, reader: asyncio.StreamReader, writer: asyncio.StreamWriter) -> None:
        try:
            proven, displace = self.admission(writer)
            if not self.pool.join(writer, proven=proven, displace=displace):
                await self.refuse(writer)
                return
            await self.serve_client(reader, writer)
        except ConnectionError:
            pass
        except asyncio.CancelledError:
            # The server is stopping, or the connection was shed for one
            # that proved itself. Ended quietly: Python 3.11's stream
            # server reports a cancelled connection as an error of its own.
            pass
        finally:
            for pool in self.pools:
                pool.leave(writer)
            writer.close()

    async def serve_client(self, reader: asyncio.StreamReader, writer: asyncio.StreamWriter) -> None:
        raise NotImplementedError

    async def refuse(self, writer: asyncio.StreamWriter) -> None:
        raise NotImplementedError
