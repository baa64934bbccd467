"""Lines named by a URL: pyserial's `rfc2217://HOST:PORT` (a serial port
another host serves, as ser2net and labgrid do), `socket://HOST:PORT` (raw
TCP) and its other forms (`loop://`, `spy://`, ...).

The driver's exchange polls the number of waiting bytes until a whole frame
is there, so that number has to be true on every kind of line. pyserial's
socket:// line only says whether anything has arrived (0 or 1), and its
RFC 2217 line goes on saying 0 once the far end has hung up; the two
classes here mend both. Timeouts are set once, at open: on RFC 2217 each
change renegotiates the line with the far end.
"""

from __future__ import annotations

import contextlib
import queue
import select
import socket
import warnings
from typing import Any, cast
from urllib.parse import parse_qsl, urlsplit, urlunsplit

import serial
from serial import rfc2217
from serial.urlhandler import protocol_socket

from ..errors import PortOpenError
from ..wire import SYNC

_CHUNK = 4096
# pyserial's RFC 2217 option that skips waiting for the far end to confirm
# a change of the control lines: ser2net never confirms it, and the open
# would wait for it in vain.
IGNORE_SET_CONTROL = "ign_set_control"
_OFF = ("0", "no", "false", "off")


def pyserial_url(url: str) -> str:
    """The URL as it is handed to pyserial: an RFC 2217 line gets
    `ign_set_control` unless the URL names it; `ign_set_control=no` (or 0,
    false, off) leaves it out."""
    parts = urlsplit(url)
    if parts.scheme.lower() != "rfc2217":
        return url
    options = parse_qsl(parts.query, keep_blank_values=True)
    named = [value for name, value in options if name == IGNORE_SET_CONTROL]
    if not named:
        options.append((IGNORE_SET_CONTROL, ""))
    elif any(value.lower() in _OFF for value in named):
        options = [(name, value) for name, value in options if name != IGNORE_SET_CONTROL]
    query = "&".join(f"{name}={value}" if value else name for name, value in options)
    return urlunsplit(parts._replace(query=query))


def _shown(line: serial.SerialBase) -> str:
    # The URL as the user gave it, not as pyserial was handed it.
    return getattr(line, "shown", None) or str(line.portstr)


def _hung_up(name: str, heard: bytes) -> serial.SerialException:
    """The error for a far end that closed the connection: before any
    unit answered it is a refusal (ser2net lets one client in at a time and
    tells the next one so), after that a line that died."""
    if SYNC in heard:
        return serial.SerialException("the far end closed the connection")
    said = heard.decode("ascii", "replace").strip()
    said = " ".join(said.split())[:80]
    return PortOpenError(
        f"cannot open {name}: the far end closed the connection"
        + (f" and said {said!r}" if said else "")
        + "; another client may be connected to that line"
    )


class SocketLine(protocol_socket.Serial):
    """pyserial's socket:// line with a true count of waiting bytes: what
    has arrived is read into a buffer of its own, and the count is that
    buffer's length."""

    def open(self) -> None:
        self._ahead = bytearray()
        self._heard = b""  # the start of what came, for the error of a refusal
        super().open()
        # A request goes out whole at once, as pyserial's RFC 2217 line sends
        # it, instead of waiting for the far end to acknowledge the last one.
        with contextlib.suppress(OSError):
            cast(Any, self)._socket.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)

    def _pull(self) -> None:
        sock: Any = cast(Any, self)._socket
        while select.select([sock], [], [], 0)[0]:
            try:
                data = sock.recv(_CHUNK)
            except (ConnectionResetError, ConnectionAbortedError) as e:
                raise _hung_up(_shown(self), self._heard) from e
            except OSError as e:
                raise serial.SerialException(f"read failed: {e}") from e
            if not data:
                raise _hung_up(_shown(self), self._heard)
            if SYNC not in self._heard:
                self._heard = (self._heard + data)[:_CHUNK]
            self._ahead += data
            if len(data) < _CHUNK:
                return

    @property
    def in_waiting(self) -> int:
        if not self.is_open:
            raise serial.PortNotOpenError()
        self._pull()
        return len(self._ahead)

    def read(self, size: int = 1) -> bytes:
        if not self.is_open:
            raise serial.PortNotOpenError()
        self._pull()
        data = bytes(self._ahead[:size])
        del self._ahead[:size]
        if len(data) < size:
            try:
                data += super().read(size - len(data))
            except serial.SerialException as e:
                if "disconnected" in str(e):
                    raise _hung_up(_shown(self), self._heard) from e
                raise
        return data

    def reset_input_buffer(self) -> None:
        self._ahead.clear()
        super().reset_input_buffer()


class Rfc2217Line(rfc2217.Serial):
    """pyserial's RFC 2217 line, with a far end that hangs up seen as a
    dead line (its own count of waiting bytes stays 0), and without its
    reader thread's traceback when the far end hangs up in the middle of
    the negotiation: the open reports that, at once and as a hang-up."""

    def open(self) -> None:
        self._ended = False
        with warnings.catch_warnings():
            # pyserial's own way of starting its reader thread, not ours to mend.
            warnings.filterwarnings("ignore", r"set(Daemon|Name)\(\) is deprecated", DeprecationWarning)
            try:
                super().open()
            except serial.SerialException as e:
                if self._ended:
                    raise _hung_up(_shown(self), self._said()) from e
                raise

    def _telnet_read_loop(self) -> None:
        me = cast(Any, self)
        try:
            cast(Any, super())._telnet_read_loop()
        except OSError:
            me._read_buffer.put(None)  # as pyserial marks a connection that ended
        if self.is_open:
            # The far end hung up, a refusing ser2net before the negotiation
            # too: pyserial's open would wait its 3 s for options that never
            # come and then blame the far end's RFC 2217. Marking them all
            # off ends that wait; the port's setup that follows refuses.
            self._ended = True
            for option in me._telnet_options:
                option.state = rfc2217.INACTIVE

    def _reconfigure_port(self) -> None:
        if self._ended:
            raise serial.SerialException("the far end closed the connection")
        cast(Any, super())._reconfigure_port()

    def _said(self) -> bytes:
        """What the far end sent before it hung up (a refusal's text)."""
        heard = bytearray()
        with contextlib.suppress(queue.Empty):
            while len(heard) < _CHUNK and (byte := cast(Any, self)._read_buffer.get_nowait()) is not None:
                heard += byte
        return bytes(heard)

    @property
    def in_waiting(self) -> int:
        waiting: int = super().in_waiting
        thread = cast(Any, self)._thread
        if not waiting and (thread is None or not thread.is_alive()):
            raise serial.SerialException("the far end closed the connection")
        return waiting


_CLASSES: dict[str, type[serial.SerialBase]] = {"socket": SocketLine, "rfc2217": Rfc2217Line}


def _why(e: BaseException) -> str:
    # pyserial wraps the socket's error in one of its own that names the
    # port a second time: the socket's is the one to tell.
    inner = e.__cause__ or e.__context__
    if isinstance(e, serial.SerialException) and isinstance(inner, OSError):
        e = inner
    if isinstance(e, (BrokenPipeError, ConnectionResetError, ConnectionAbortedError)):
        return "the far end closed the connection; another client may be connected to that line"
    if isinstance(e, OSError) and e.strerror:
        return e.strerror
    return str(e) or type(e).__name__


def open_url(name: str, **settings: Any) -> serial.SerialBase:
    """Opens the line the URL `name` names, with `settings` (pyserial's
    keyword arguments) from the start; a failure is a PortOpenError."""
    url = pyserial_url(name)
    try:
        klass = _CLASSES.get(urlsplit(url).scheme.lower())
        if klass is None:
            return serial.serial_for_url(url, **settings)
        ser = klass(None, **settings)
        ser.port = url
        cast(Any, ser).shown = name
        cast(Any, ser).open()  # SerialBase declares no open(); both classes have one
        return ser
    except PortOpenError:
        raise
    except (serial.SerialException, OSError, ValueError) as e:
        raise PortOpenError(f"cannot open {name}: {_why(e)}") from e
