"""SIGTERM and SIGHUP as orderly stops, on the same path as Ctrl-C.

A service stop, `kill`, `timeout` or a closed terminal would otherwise end
the process on the spot, with the output still on and the unit under
remote control. While `stop_signals()` is active they raise `Terminated`
on the main thread instead: a `KeyboardInterrupt`, so that every clean-up
written for Ctrl-C runs, and a `SystemExit` whose code is 128 + the signal,
so that a program that does not catch it ends quietly with the status a
shell expects of a process stopped by that signal.
"""

from __future__ import annotations

import signal
import threading
from collections.abc import Iterator
from contextlib import contextmanager
from typing import Any

__all__ = ["Terminated", "interruption", "stop_signals"]

# Windows has no SIGHUP.
STOP_SIGNALS = tuple(getattr(signal, name) for name in ("SIGTERM", "SIGHUP") if hasattr(signal, name))


class Terminated(SystemExit, KeyboardInterrupt):
    """The process was asked to stop by SIGTERM or SIGHUP. `signum` is the
    signal, `code` the exit status (128 + signum)."""

    def __init__(self, signum: int, message: str = "") -> None:
        BaseException.__init__(self, message or f"stopped by {signal_name(signum)}")
        self.signum = signum
        self.code = 128 + signum


def signal_name(signum: int) -> str:
    try:
        return signal.Signals(signum).name
    except ValueError:
        return f"signal {signum}"


def _raise_terminated(signum: int, frame: Any) -> None:
    raise Terminated(signum)


def is_ours(handler: Any) -> bool:
    return handler is _raise_terminated


def interruption(signum: int) -> KeyboardInterrupt:
    """What a signal that was held back turns into once it may act."""
    return KeyboardInterrupt() if signum == signal.SIGINT else Terminated(signum)


def signal_of(error: BaseException | None) -> int | None:
    """The stop signal behind `error`, following its causes, or None."""
    seen = 0
    while error is not None and seen < 20:
        if isinstance(error, Terminated):
            return error.signum
        error = error.__cause__ or error.__context__
        seen += 1
    return None


@contextmanager
def stop_signals() -> Iterator[bool]:
    """Turns SIGTERM and SIGHUP into `Terminated` for the block, where they
    are at their default action and the block runs on the main thread;
    puts the previous handlers back afterwards. Yields whether it did."""
    if threading.current_thread() is not threading.main_thread():
        yield False
        return
    replaced: list[tuple[int, Any]] = []
    try:
        for signum in STOP_SIGNALS:
            try:
                previous = signal.getsignal(signum)
                if previous is signal.SIG_DFL:
                    signal.signal(signum, _raise_terminated)
                    replaced.append((signum, previous))
            except (ValueError, OSError):
                continue
        yield bool(replaced)
    finally:
        for signum, previous in reversed(replaced):
            try:
                signal.signal(signum, previous)
            except (ValueError, OSError):
                pass
