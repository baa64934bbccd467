"""A small, strict HTTP/1.1 server: the JSON API, the event stream, the
labgrid-style power endpoint and the dashboard. One request per
connection (the event stream stays open, in a pool of its own); bounded
request line, headers and body; every change needs a token (the power
token switches outputs through /rest/N only), our own Host and, from a
browser, our own Origin; every request gets an answer, none waits for
what a client will never send."""

from __future__ import annotations

import asyncio
import json
import logging
import math
import re
from collections.abc import Iterable
from dataclasses import dataclass
from importlib import resources
from typing import Any
from urllib.parse import parse_qs

from ..errors import LimitError, LineError, NoAnswerError, SupplyError
from . import metrics
from .connections import Pool, StreamService
from .safety import host_allowed, origin_allowed, origin_malformed, token_matches, token_scope
from .trips import Tripped
from .units import Hub, Unit

log = logging.getLogger("kx5180.serve")

# The longest request head (the server's stream limit).
MAX_HEAD = 8192
MAX_BODY = 4096
HEAD_TIMEOUT = 10.0
KEEPALIVE_S = 15.0

STATIC = {
    "dashboard.html": "text/html; charset=utf-8",
    "dashboard.js": "text/javascript; charset=utf-8",
    "dashboard.css": "text/css; charset=utf-8",
}
# Methods are case-sensitive: "get" is no GET, and none but these is served.
METHODS = ("GET", "HEAD", "POST", "PUT")
_METHOD = re.compile(r"[!#$%&'*+\-.^_`|~0-9A-Za-z]+")
REASONS = {
    100: "Continue",
    200: "OK",
    204: "No Content",
    400: "Bad Request",
    403: "Forbidden",
    404: "Not Found",
    405: "Method Not Allowed",
    409: "Conflict",
    411: "Length Required",
    413: "Content Too Large",
    415: "Unsupported Media Type",
    417: "Expectation Failed",
    422: "Unprocessable Content",
    431: "Request Header Fields Too Large",
    500: "Internal Server Error",
    501: "Not Implemented",
    502: "Bad Gateway",
    503: "Service Unavailable",
    504: "Gateway Timeout",
}
SECURITY_HEADERS = (
    ("X-Content-Type-Options", "nosniff"),
    ("X-Frame-Options", "DENY"),
    ("Referrer-Policy", "no-referrer"),
    ("Cache-Control", "no-store"),
    ("Content-Security-Policy", "default-src 'self'; frame-ancestors 'none'; base-uri 'none'; form-action 'none'"),
)


# A path and a query of what a URL carries unescaped; read as such, never
# as a URL of its own ("//[" would be a host).
_CHAR = r"(?:[A-Za-z0-9\-._~!$&'()*+,;=:@/]|%[0-9A-Fa-f]{2})"
_TARGET = re.compile(rf"/{_CHAR}*(?:\?(?:{_CHAR}|\?)*)?")


class HttpError(Exception):
    def __init__(self, status: int, message: str, *, allow: str | None = None) -> None:
        super().__init__(message)
        self.status = status
        # A 405 names the methods the resource takes, as HTTP asks of it.
        self.headers: tuple[tuple[str, str], ...] = (("Allow", allow),) if allow else ()


class _Dropped(Exception):
    """The client took longer than HEAD_TIMEOUT for its body: dropped
    unanswered, as one that trickles its head."""


@dataclass
class Request:
    method: str
    path: str
    query: dict[str, list[str]]
    headers: dict[str, str]
    reader: asyncio.StreamReader
    writer: asyncio.StreamWriter
    deadline: float  # the event loop's time by which the whole request is in
    length: int = 0
    expect_continue: bool = False  # the client waits for 100 Continue before its body
    scope: str | None = None  # "control" or "power": the token shown, from our own page or a program
    _body: bytes | None = None

    @property
    def authorized(self) -> bool:
        return self.scope is not None

    async def body(self) -> bytes:
        """The body, read when first asked for: a client that waits for
        100 Continue is told to send it only once everything before it
        (Host, token, path, method, type) was accepted."""
        if self._body is None:
            if self.expect_continue and self.length:
                self.writer.write(b"HTTP/1.1 100 Continue\r\n\r\n")
            try:
                remaining = max(0.0, self.deadline - asyncio.get_running_loop().time())
                self._body = await asyncio.wait_for(self.reader.readexactly(self.length), remaining)
            except (TimeoutError, asyncio.IncompleteReadError) as e:
                raise _Dropped from e
        return self._body


def checked_changes(data: Any) -> dict[str, Any]:
    """A change as a client sends it (JSON, numbers as floats), checked
    for its form; the values are the unit's to refuse. HTTP and MQTT alike."""
    if not isinstance(data, dict) or not data:
        raise HttpError(400, 'send an object such as {"voltage": 5.0, "current": 0.5, "output": true}')
    unknown = set(data) - {"voltage", "current", "ceiling", "output", "clear_trip", "reset_counters"}
    if unknown:
        raise HttpError(400, f"unknown fields: {', '.join(sorted(unknown))}")
    for key in ("voltage", "current", "ceiling"):
        v = data.get(key)
        if v is not None and (isinstance(v, bool) or not isinstance(v, (int, float)) or not math.isfinite(v)):
            raise HttpError(400, f"{key} must be a number")
    for key in ("output", "clear_trip", "reset_counters"):
        if data.get(key) is not None and not isinstance(data[key], bool):
            raise HttpError(400, f"{key} must be true or false")
    return data


def _static(name: str) -> bytes:
    return resources.files(__name__.rpartition(".")[0]).joinpath("static", name).read_bytes()


class HttpServer(StreamService):
    def __init__(
        self,
        units: list[Unit],
        hub: Hub,
        *,
        token: str,
        power_token: str,
        port: int,
        allowed_hosts: frozenset[str],
        max_clients: int,
        max_voltage: float | None,
        max_current: float | None,
        host_name: str = "",
        poll: float = 0.5,
        metrics_token: str | None = None,
    ) -> None:
        self.units = units
        self.hub = hub
        self.token = token
        self.power_token = power_token
        self.port = port
        self.allowed_hosts = allowed_hosts
        super().__init__(max_clients)
        # Event streams stay open: in a pool of their own, they never take
        # the places of requests (the off switch among them).
        self.streams = Pool(max_clients)
        self.pools.append(self.streams)
        self.limits = {"max_voltage": max_voltage, "max_current": max_current}
        # Connections answering a HEAD: every answer on them, errors too,
        # has the head of its GET and no body.
        self.head_only: set[asyncio.StreamWriter] = set()
        self.metrics_token = metrics_token
        self.scrapes = metrics.Scrapes(hub)
        self.exposition = metrics.Exposition(units, host_name, poll)

    # -- the connection -----------------------------------------------------------

    def admission(self, writer: asyncio.StreamWriter) -> tuple[bool, bool]:
        # Nothing is known of a new connection before its head: it may take
        # the place of the oldest that has not shown the token either, so
        # that slow or silent connections cannot keep the token out.
        return False, True

    async def refuse(self, writer: asyncio.StreamWriter) -> None:
        await self._send(writer, 503, {"error": "too many connections"})

    async def serve_client(self, reader: asyncio.StreamReader, writer: asyncio.StreamWriter) -> None:
        deadline = asyncio.get_running_loop().time() + HEAD_TIMEOUT
        try:
            request = await asyncio.wait_for(self._read(reader, writer, deadline), HEAD_TIMEOUT)
            if not request.expect_continue:
                await request.body()
        except HttpError as e:
            await self._send(writer, e.status, {"error": str(e)}, e.headers)
            return
        except (TimeoutError, asyncio.IncompleteReadError, ConnectionError, _Dropped):
            return  # a client slower than HEAD_TIMEOUT is dropped, however it trickles
        if request.method == "HEAD":
            # Served as its GET, with the GET's head and no body.
            self.head_only.add(writer)
            request.method = "GET"
        try:
            await self._route(request, writer)
        except _Dropped:
            return
        except HttpError as e:
            await self._send(writer, e.status, {"error": str(e)}, e.headers)
        except ConnectionError:
            raise
        except Exception as e:
            # A fault of ours still answers; the console gets one line.
            log.error("HTTP %s %s: %s: %s", request.method, request.path[:80], type(e).__name__, e)
            await self._send(writer, 500, {"error": f"{type(e).__name__}: {e}"})
        finally:
            self.head_only.discard(writer)

    @staticmethod
    async def _head_lines(reader: asyncio.StreamReader) -> list[str]:
        """The request line and the header lines, each refused at once
        when it ends in a bare LF (or holds a CR): waiting for a CR LF CR
        LF that never comes would hang until the head timeout."""
        lines: list[str] = []
        size = 0
        while True:
            try:
                raw = await reader.readuntil(b"\n")
            except asyncio.LimitOverrunError:
                raise HttpError(431, "request head too large") from None
            size += len(raw)
            if size > MAX_HEAD:
                raise HttpError(431, "request head too large")
            if not raw.endswith(b"\r\n") or b"\r" in raw[:-2]:
                raise HttpError(400, "every line of the request head must end in CR LF")
            if raw == b"\r\n":
                if lines:
                    return lines
                continue  # an empty line before the request line is to be ignored
            try:
                lines.append(raw[:-2].decode("ascii"))
            except UnicodeDecodeError:
                raise HttpError(400, "request head is not ASCII") from None

    async def _read(self, reader: asyncio.StreamReader, writer: asyncio.StreamWriter, deadline: float) -> Request:
        """The head, checked; the body is read when asked for."""
        lines = await self._head_lines(reader)
        parts = lines[0].split(" ")
        if len(parts) != 3 or parts[2] not in ("HTTP/1.1", "HTTP/1.0") or not _METHOD.fullmatch(parts[0]):
            raise HttpError(400, "malformed request line")
        if parts[0] not in METHODS:
            raise HttpError(501, f"method {parts[0][:20]!r} not implemented; methods are {', '.join(METHODS)}")
        if not parts[1].startswith("/") or not _TARGET.fullmatch(parts[1]):
            raise HttpError(400, "malformed request target")
        path, _, query = parts[1].partition("?")
        headers: dict[str, str] = {}
        for line in lines[1:]:
            name, colon, value = line.partition(":")
            if not colon or not name or name != name.strip():
                raise HttpError(400, "malformed header")
            key = name.lower()
            if key in headers and key in ("host", "content-length", "origin"):
                raise HttpError(400, f"repeated {name} header")
            headers[key] = value.strip()
        if origin_malformed(headers.get("origin")):
            raise HttpError(400, "malformed Origin header")
        if "transfer-encoding" in headers:
            raise HttpError(501, "chunked bodies are not taken; send Content-Length")
        length_text = headers.get("content-length", "0")
        if not length_text.isdigit():
            raise HttpError(400, "bad Content-Length")
        # Counted in digits first: int() refuses the longest numbers itself.
        if len(length_text.lstrip("0")) > len(str(MAX_BODY)) or int(length_text) > MAX_BODY:
            raise HttpError(413, f"body larger than {MAX_BODY} bytes")
        request = Request(parts[0], path, parse_qs(query), headers, reader, writer, deadline, int(length_text))
        expect = headers.get("expect")
        if expect is not None:
            if expect.lower() != "100-continue":
                raise HttpError(417, "the only expectation taken is 100-continue")
            # An HTTP/1.0 client cannot be sent 100 Continue.
            request.expect_continue = parts[2] == "HTTP/1.1"
        return request

    # -- routing ---------------------------------------------------------------------

    async def _route(self, req: Request, writer: asyncio.StreamWriter) -> None:
        if not host_allowed(req.headers.get("host"), self.port, self.allowed_hosts):
            raise HttpError(403, "unknown Host (start the server with --allow-host NAME to use a name)")
        parts = [p for p in req.path.split("/") if p]
        refusal = self._refusal(req)
        if req.authorized:
            # Only a client that proved it may act (either token: each can
            # switch an output off) keeps the watchdog from switching off:
            # an anonymous GET (an <img> on any page in the user's browser
            # can send one) never does.
            self.pool.prove(writer)
            self.hub.touch()
        if req.method != "GET":
            if refusal is not None:
                raise HttpError(403, refusal)
            if req.scope != "control" and parts[:1] != ["rest"]:
                raise HttpError(
                    403, "the power token only switches outputs (PUT /rest/N); this takes the control token"
                )
        if req.method == "GET" and parts in ([], ["index.html"]):
            return await self._file(writer, "dashboard.html")
        static = len(parts) == 2 and parts[0] == "static" and parts[1] in STATIC
        if req.method == "GET" and static:
            return await self._file(writer, parts[1])
        if req.method == "GET" and parts == ["favicon.ico"]:
            return await self._raw(writer, 204, "image/x-icon", b"")
        if parts == ["metrics"]:
            return await self._metrics(req, writer)
        if parts[:1] == ["api"]:
            return await self._api(req, parts[1:], writer)
        if parts[:1] == ["rest"] and len(parts) == 2:
            return await self._rest(req, self._unit(parts[1]), writer)
        if static or parts in ([], ["index.html"], ["favicon.ico"]):
            raise HttpError(405, "GET or HEAD", allow="GET, HEAD")
        raise HttpError(404, "no such page")

    def _refusal(self, req: Request) -> str | None:
        """Why this request may not change anything, or None: it may, with
        the token in `req.scope`."""
        # The Origin first: a cross-site page is refused whatever it sends.
        if not origin_allowed(req.headers.get("origin"), req.headers.get("host")):
            return "cross-origin request refused"
        if req.headers.get("sec-fetch-site", "same-origin") not in ("same-origin", "none"):
            return "cross-site request refused"
        given = req.headers.get("x-kx5180-token")
        auth = req.headers.get("authorization", "")
        if given is None and auth.lower().startswith("bearer "):
            given = auth[7:].strip()
        if given is None:
            given = next(iter(req.query.get("token", [])), None)
        req.scope = token_scope(given, self.token, self.power_token)
        if req.scope is None:
            return "missing or wrong token (the server printed it when it started)"
        return None

    async def _metrics(self, req: Request, writer: asyncio.StreamWriter) -> None:
        if req.method != "GET":
            raise HttpError(405, "GET or HEAD", allow="GET, HEAD")
        if self.metrics_token is not None:
            auth = req.headers.get("authorization", "")
            given = auth[7:].strip() if auth.lower().startswith("bearer ") else None
            if not token_matches(given, self.metrics_token):
                raise HttpError(403, "the metrics need Authorization: Bearer with the --metrics-token")
        self.scrapes.seen()
        await self._raw(writer, 200, metrics.CONTENT_TYPE, self.exposition.current())

    def _unit(self, text: str) -> Unit:
        if text.isdigit() and len(text) <= 3 and 1 <= int(text) <= len(self.units):
            return self.units[int(text) - 1]
        raise HttpError(404, f"no unit {text!r}; units are 1..{len(self.units)}")

    async def _api(self, req: Request, parts: list[str], writer: asyncio.StreamWriter) -> None:
        if parts == ["units"] and req.method == "GET":
            return await self._send(
                writer, 200, {"units": [self._unit_view(u) for u in self.units], "limits": self.limits}
            )
        if parts == ["events"] and req.method == "GET":
            return await self._events(writer, req.authorized)
        if len(parts) in (2, 3) and parts[0] == "units":
            unit = self._unit(parts[1])
            if parts[2:] in ([], ["status"]) and req.method == "GET":
                st = await self._driver(self._reading(req, unit))
                return await self._send(writer, 200, {**unit.describe(), "status": unit.shown(st)})
            if parts[2:] == [] and req.method in ("POST", "PUT"):
                changes = await self._changes(req)
                st = await self._driver(unit.apply(changes))
                return await self._send(writer, 200, {**unit.describe(), "status": unit.shown(st)})
            if parts[2:] == []:
                raise HttpError(405, "GET reads a unit, POST changes it", allow="GET, HEAD, POST, PUT")
            if parts[2:] == ["status"]:
                raise HttpError(405, "GET only", allow="GET, HEAD")
        elif parts in (["units"], ["events"]):
            raise HttpError(405, "GET or HEAD", allow="GET, HEAD")
        raise HttpError(404, "no such API path")

    @staticmethod
    def _reading(req: Request, unit: Unit) -> Any:
        # Anonymous readers share their readings: a flood of them would
        # otherwise fill the line's queue ahead of every command, the off
        # switch of SCPI and of the token included.
        return unit.status() if req.authorized else unit.shared_status()

    def _unit_view(self, unit: Unit) -> dict[str, Any]:
        return {**unit.describe(), "status": unit.shown(unit.last) if unit.last else None}

    @staticmethod
    async def _changes(req: Request) -> dict[str, Any]:
        # A form or a "simple" cross-site request cannot send this type.
        if req.headers.get("content-type", "").split(";")[0].strip().lower() != "application/json":
            raise HttpError(415, "send application/json")
        body = await req.body()
        try:
            # Every number as a float, as the unit takes it: an integer too
            # long for one is inf (refused below), not an error of int().
            data = json.loads(body or b"null", parse_int=float)
        except (ValueError, RecursionError):  # RecursionError: nested deeper than the parser goes
            raise HttpError(400, "body is not JSON") from None
        return checked_changes(data)

    @staticmethod
    async def _driver(work: Any) -> Any:
        try:
            return await work
        except LimitError as e:
            raise HttpError(422, str(e)) from e
        except Tripped as e:
            raise HttpError(409, str(e)) from e
        except NoAnswerError as e:
            raise HttpError(504, str(e)) from e
        except LineError as e:  # a serial adapter pulled out: told on the console by the unit
            raise HttpError(502, str(e)) from e
        except SupplyError as e:
            raise HttpError(500, str(e)) from e
        except Exception as e:
            log.error("%s: %s", type(e).__name__, e)
            raise HttpError(500, f"{type(e).__name__}: {e}") from e

    async def _rest(self, req: Request, unit: Unit, writer: asyncio.StreamWriter) -> None:
        if req.method == "GET":
            st = await self._driver(self._reading(req, unit))
            return await self._send_text(writer, 200, "1" if st.output_on else "0")
        if req.method == "PUT":
            body = (await req.body()).strip()
            if body not in (b"0", b"1"):
                raise HttpError(400, "send 1 or 0")
            await self._driver(unit.apply({"output": body == b"1"}))
            return await self._send_text(writer, 200, body.decode())
        raise HttpError(405, "GET, HEAD or PUT", allow="GET, HEAD, PUT")

    async def _events(self, writer: asyncio.StreamWriter, authorized: bool) -> None:
        head = "HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\nConnection: close\r\n"
        head += "".join(f"{k}: {v}\r\n" for k, v in SECURITY_HEADERS) + "\r\n"
        if writer in self.head_only:  # the stream's head, then the end
            writer.write(head.encode())
            await self._drained(writer, HEAD_TIMEOUT)
            return
        self.pool.leave(writer)
        if not self.streams.join(writer, proven=authorized):
            raise HttpError(503, "too many event streams")
        queue = self.hub.subscribe()
        try:
            writer.write(head.encode())
            history = [e for u in self.units for e in u.history]
            writer.write(b"event: history\ndata: " + json.dumps(history).encode() + b"\n\n")
            while await self._drained(writer, KEEPALIVE_S):
                try:
                    event = await asyncio.wait_for(queue.get(), KEEPALIVE_S)
                except TimeoutError:
                    writer.write(b": keep-alive\n\n")
                else:
                    kind = b"event: state\n" if event.get("event") == "state" else b""
                    writer.write(kind + b"data: " + json.dumps(event).encode() + b"\n\n")
        finally:
            self.hub.unsubscribe(queue)

    # -- answers ------------------------------------------------------------------------------

    async def _file(self, writer: asyncio.StreamWriter, name: str) -> None:
        await self._raw(writer, 200, STATIC[name], _static(name))

    async def _send(
        self, writer: asyncio.StreamWriter, status: int, data: Any, headers: Iterable[tuple[str, str]] = ()
    ) -> None:
        await self._raw(writer, status, "application/json", json.dumps(data).encode() + b"\n", headers)

    async def _send_text(self, writer: asyncio.StreamWriter, status: int, text: str) -> None:
        await self._raw(writer, status, "text/plain; charset=utf-8", text.encode())

    @staticmethod
    async def _drained(writer: asyncio.StreamWriter, timeout: float) -> bool:
        """Whether what was written left within `timeout`. A client that
        stopped reading is dropped, not flushed to, or it would keep its
        connection all the same."""
        try:
            await asyncio.wait_for(writer.drain(), timeout)
            return True
        except TimeoutError:
            writer.transport.abort()
            return False

    async def _raw(
        self,
        writer: asyncio.StreamWriter,
        status: int,
        ctype: str,
        body: bytes,
        headers: Iterable[tuple[str, str]] = (),
    ) -> None:
        head = f"HTTP/1.1 {status} {REASONS.get(status, '')}\r\nContent-Type: {ctype}\r\n"
        head += f"Content-Length: {len(body)}\r\nConnection: close\r\n"
        head += "".join(f"{k}: {v}\r\n" for k, v in (*SECURITY_HEADERS, *headers)) + "\r\n"
        writer.write(head.encode() + (b"" if writer in self.head_only else body))
        try:
            await self._drained(writer, HEAD_TIMEOUT)
        except ConnectionError:
            pass
