"""The port object the toolkit hands the driver: every call passed through
to the pyserial port, every frame traced (`kx5180_lab.trace`), and the
rules of a line on which several units may answer.
"""

from __future__ import annotations

import threading
import time
import weakref
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from typing import Any

from ..trace import Event, Subscriber, publish
from ..wire import BAUD, BROADCAST, FRAME, SET_ADDRESS_WORD, SYNC, expected_word, frame_s, is_frame

POLL_S = 0.01
# The driver gives a reply up after this many polls following its write:
# as the port sees it, the end of that exchange's reply window.
REPLY_POLLS = 30
LATE_WINDOW_S = 1.0


class Call:
    """What the exchanges of one toolkit call came to, for the thread that
    made it: its name, whether a reply of the wrong kind is refused, and
    the frame refused (if any)."""

    def __init__(self, what: str, strict: bool) -> None:
        self.what = what
        self.strict = strict
        self.refused: bytes | None = None
        self.expected: int | None = None


class _Exchange:
    """One command on the line and what came back for it."""

    __slots__ = ("asked", "also", "word", "call", "answered", "ended", "looks")

    def __init__(self, frame: bytes, call: Call | None, now: float) -> None:
        whole = len(frame) == FRAME
        # A fresh driver object asks the broadcast address: any unit's reply is its answer.
        self.asked: int | None = frame[1] if whole and frame[1] != BROADCAST else None
        # Whether a unit acknowledges a new address from the old one or the
        # new one is not known: either is its own.
        self.also: int | None = frame[3] if whole and frame[2] == SET_ADDRESS_WORD else None
        self.word: int | None = expected_word(frame[2]) if whole else None
        self.call = call
        self.answered = False
        self.ended = now
        self.looks = 0

    def mine(self, address: int) -> bool:
        return self.asked is None or address in (self.asked, self.also)


class TracedPort:
    """Wraps a pyserial port object for the driver: passes every call
    through, logs what goes over the wire, and keeps the line's rules. One
    object per line; every unit of a `Bus` shares it.

    The driver holds its per-port conversation lock from a write to the
    read of its reply, so the writes, polls and reads of one exchange come
    here in order, and two exchanges never interleave. The port reads ahead:
    a poll moves what the port holds into a buffer and reports the buffer's
    length. Its rules:

    - bytes at the head of the buffer before a frame's first byte are
      dropped: no reply begins with them;
    - a whole frame at the head of the buffer from another address than the
      one the latest command asked (or, for a strict call, of another kind
      than that command gets back) is no answer: it is dropped ("foreign",
      "refused"), and the driver never sees it;
    - after an exchange that got no reply of its own (silence, an
      interrupt, only foreign or refused frames), the next write on the
      line, for whichever unit, first waits until `late_window` seconds
      after that exchange's reply window closed, dropping what arrives, and
      stops early once a frame came for every unanswered exchange
      ("settle").
    """

    def __init__(self, port: Any, name: str | None = None, subscribers: list[Subscriber] | None = None) -> None:
        self._port = port
        self._name = name if name is not None else str(getattr(port, "port", "?"))
        self.subscribers: list[Subscriber] = list(subscribers or ())
        self._waiting: Callable[[], int] = (
            (lambda: port.in_waiting) if hasattr(type(port), "in_waiting") else (lambda: port.inWaiting())
        )
        # When bytes came is known only between two looks at the port: the
        # last one that found nothing new and the first one that found them.
        self._blind_t = time.monotonic()
        self._buffer = bytearray()
        self._start = 0  # the stream offset of the buffer's first byte
        self._arrivals: list[tuple[int, float, float]] = []  # (offset, after, seen) of each chunk read
        # The frame read after the latest write, for whoever checks what
        # kind of reply it was.
        self.last_reply: bytes | None = None
        self._exchange: _Exchange | None = None
        self._owed: list[int | None] = []  # the address of each unanswered exchange
        self._loose = 0  # bytes since then that made no frame
        self._failed_at = 0.0
        self._windows: weakref.WeakKeyDictionary[Any, float] = weakref.WeakKeyDictionary()
        self._windows_lock = threading.Lock()
        self._local = threading.local()

    @property
    def wrapped(self) -> Any:
        return self._port

    @property
    def name(self) -> str:
        return self._name

    def emit(self, event: str, **fields: Any) -> None:
        """Hands one event to every subscriber; a failing subscriber never
        breaks the exchange (nor hides its error)."""
        record: Event = {"t": fields.pop("t", None) or time.monotonic(), "event": event, "port": self._name, **fields}
        publish(record, self.subscribers, self._name)

    # -- the late window ---------------------------------------------------

    @property
    def late_window(self) -> float:
        """Seconds the line waits for a straggler: the largest that an owner
        (a Supply open on it) asked for, or 1 s when none did."""
        with self._windows_lock:
            return max(self._windows.values(), default=LATE_WINDOW_S)

    def claim_window(self, owner: Any, seconds: float) -> None:
        with self._windows_lock:
            self._windows[owner] = seconds

    def release_window(self, owner: Any) -> None:
        with self._windows_lock:
            self._windows.pop(owner, None)

    @contextmanager
    def calling(self, what: str, *, strict: bool = False) -> Iterator[Call]:
        """The exchanges this thread makes in the block belong to one call."""
        call, previous = Call(what, strict), getattr(self._local, "call", None)
        self._local.call = call
        try:
            yield call
        finally:
            self._local.call = previous

    # -- the port's operations ---------------------------------------------

    def write(self, data: Any) -> Any:
        self._close_exchange()
        if self._owed:
            self._settle()
        result = self._port.write(data)
        now = time.monotonic()
        frame = bytes(data)
        self.last_reply = None
        self._exchange = _Exchange(frame, getattr(self._local, "call", None), now)
        self.emit("tx", t=now, hex=frame.hex())
        return result

    def inWaiting(self) -> int:  # pyserial's name
        return self._poll()

    @property
    def in_waiting(self) -> int:
        return self._poll()

    def read(self, size: int = 1) -> bytes:
        data, after, seen = self._take(min(size, len(self._buffer)))
        if len(data) < size:
            # More than was reported waiting: the port's own read, which
            # waits as long as its timeout says.
            more: bytes = self._port.read(size - len(data))
            now = time.monotonic()
            if more and not data:
                after, seen = self._blind_t, now
            data += more
            self._blind_t = now
        if data:
            if len(data) == FRAME:
                self.last_reply = data
            self._rx(data, after, seen)
            self._sort(data)
        return data

    def reset_input_buffer(self) -> None:
        self._drop(len(self._buffer))
        self._port.reset_input_buffer()

    def close(self) -> None:
        self._port.close()

    def __getattr__(self, name: str) -> Any:
        return getattr(self._port, name)

    # -- the buffer ---------------------------------------------------------

    def _fill(self) -> float:
        waiting = self._waiting()
        now = time.monotonic()
        if waiting:
            data = self._port.read(waiting)
            if data:
                self._arrivals.append((self._start + len(self._buffer), self._blind_t, now))
                self._buffer += data
        self._blind_t = now
        return now

    def _take(self, n: int) -> tuple[bytes, float, float]:
        """The first `n` bytes of the buffer, and when the first of them came."""
        first = self._start
        after, seen = self._blind_t, self._blind_t
        for offset, a, s in self._arrivals:
            if offset > first:
                break
            after, seen = a, s
        data = bytes(self._buffer[:n])
        del self._buffer[:n]
        self._start += len(data)
        while len(self._arrivals) > 1 and self._arrivals[1][0] <= self._start:
            del self._arrivals[0]
        if not self._buffer:
            self._arrivals.clear()
        return data, after, seen

    def _rx(self, data: bytes, after: float, seen: float) -> None:
        self.emit("rx", hex=data.hex(), after=after, seen=seen)

    def _drop(self, n: int) -> bytes:
        data, after, seen = self._take(n)
        if data:
            self._rx(data, after, seen)
            self._sort(data)
        return data

    def _poll(self) -> int:
        now = self._fill()
        self._sift()
        exchange = self._exchange
        if exchange is not None and exchange.looks < REPLY_POLLS:
            exchange.looks += 1
            exchange.ended = now
        return len(self._buffer)

    def _sift(self) -> None:
        """Drops what at the head cannot answer the exchange: bytes before
        a frame's first, and whole frames from elsewhere."""
        exchange = self._exchange
        if exchange is not None and self._buffer and self._buffer[0] != SYNC:
            # The tail of a garbled reply that came after the last command
            # was written: handed on, it would shift this reply by its
            # length, and the next, for as long as calls follow closely.
            start = self._buffer.find(SYNC)
            self._drop(start if start > 0 else len(self._buffer))
        while exchange is not None and is_frame(self._buffer):
            address, word = self._buffer[1], self._buffer[2]
            call = exchange.call
            if not exchange.mine(address):
                frame = self._drop(FRAME)
                self.emit("foreign", hex=frame.hex(), asked=exchange.asked)
            elif call is not None and call.strict and exchange.word is not None and word != exchange.word:
                frame = self._drop(FRAME)
                call.refused, call.expected = frame, exchange.word
                self.emit("refused", what=call.what, hex=frame.hex(), expected=f"0x{exchange.word:02X}")
            else:
                return

    def _answers(self, frame: bytes | bytearray) -> bool:
        exchange = self._exchange
        if exchange is None or exchange.answered or not exchange.mine(frame[1]):
            return False
        call = exchange.call
        return not (call is not None and call.strict and exchange.word not in (None, frame[2]))

    def _sort(self, data: bytes | bytearray, *, keep_partial: bool = False) -> int:
        """Books bytes that leave the buffer: a frame answers the exchange
        or stands for an unanswered one from its address; other bytes count
        a frame's worth at a time. Returns how many bytes were booked: with
        `keep_partial`, a frame that has begun but not ended stays."""
        i = 0
        while i < len(data):
            if keep_partial and data[i] == SYNC and len(data) - i < FRAME:
                break
            if is_frame(data, i):
                frame = data[i : i + FRAME]
                if self._answers(frame):
                    assert self._exchange is not None
                    self._exchange.answered = True
                elif frame[1] in self._owed:
                    self._owed.remove(frame[1])
                elif None in self._owed:
                    self._owed.remove(None)
                i += FRAME
            else:
                self._loose += 1
                i += 1
        self._book_loose()
        return i

    def _book_loose(self) -> None:
        while self._loose >= FRAME and self._owed:
            self._owed.pop(0)
            self._loose -= FRAME

    def _close_exchange(self) -> None:
        """Ends the exchange in progress, before the next write: what still
        waits is stale, and an exchange that got no reply is owed one."""
        self._fill()
        self._drop(len(self._buffer))
        exchange, self._exchange = self._exchange, None
        if exchange is not None and not exchange.answered:
            self._owed.append(exchange.asked)
            self._failed_at = max(self._failed_at, exchange.ended)
            self._book_loose()  # the bytes that came for it and made no frame
        if not self._owed:
            self._loose = 0

    def _settle(self) -> None:
        deadline = self._failed_at + self.late_window
        started = time.monotonic()
        dropped = bytearray()
        end: float | None = None
        while True:
            self._fill()
            dropped += self._drop_booked()
            now = time.monotonic()
            if end is None and (not self._owed or now >= deadline):
                # A frame that has begun to arrive is let finish: its tail
                # would spoil the next reply.
                end = now + (self._frame_s() if self._buffer else 0.0)
            if end is not None and (not self._buffer or now >= end):
                break
            time.sleep(POLL_S)
        dropped += self._drop(len(self._buffer))
        self._owed.clear()
        self._loose = 0
        self._failed_at = 0.0
        self.emit("settle", waited_s=round(time.monotonic() - started, 6), hex=bytes(dropped).hex())

    def _drop_booked(self) -> bytes:
        n = self._sort(self._buffer, keep_partial=True)
        data, after, seen = self._take(n)
        if data:
            self._rx(data, after, seen)
        return data

    def _frame_s(self) -> float:
        baud = getattr(self._port, "baudrate", BAUD)
        return frame_s(baud) + 2 * POLL_S if isinstance(baud, (int, float)) and baud > 0 else 2 * POLL_S
