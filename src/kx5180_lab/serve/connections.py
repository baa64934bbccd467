"""What the SCPI and the HTTP server share: a bounded number of
connections, each closed however it ends, and ended quietly when the
server stops."""

from __future__ import annotations

import asyncio


class StreamService:
    """The connection bookkeeping of a server on asyncio streams;
    `serve_client` and `refuse` are the protocol's own."""

    def __init__(self, max_clients: int) -> None:
        self.max_clients = max_clients
        self.clients: set[asyncio.StreamWriter] = set()

    async def handle(self, reader: asyncio.StreamReader, writer: asyncio.StreamWriter) -> None:
        try:
            if len(self.clients) >= self.max_clients:
                await self.refuse(writer)
                return
            self.clients.add(writer)
            await self.serve_client(reader, writer)
        except ConnectionError:
            pass
        except asyncio.CancelledError:
            # The server is stopping. Ended quietly: Python 3.11's stream
            # server reports a cancelled connection as an error of its own.
            pass
        finally:
            self.clients.discard(writer)
            writer.close()

    async def serve_client(self, reader: asyncio.StreamReader, writer: asyncio.StreamWriter) -> None:
        raise NotImplementedError

    async def refuse(self, writer: asyncio.StreamWriter) -> None:
        raise NotImplementedError
