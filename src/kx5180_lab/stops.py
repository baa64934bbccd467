"""Stop signals (Ctrl-C, SIGTERM, SIGHUP): how every part of the toolkit
takes them, in one place.

- `stop_signals()`: SIGTERM and SIGHUP as orderly stops, on the same path
  as Ctrl-C. A service stop, `kill`, `timeout` or a closed terminal would
  otherwise end the process on the spot, with the output still on and the
  unit under remote control. While it is active they raise `Terminated`
  on the main thread instead: a `KeyboardInterrupt`, so that every
  clean-up written for Ctrl-C runs, and a `SystemExit` whose code is 128 +
  the signal, so that a program that does not catch it ends quietly with
  the status a shell expects of a process stopped by that signal.
- `deferred()`: the signals held back for a block that must not be cut in
  half (a supply being made safe, a row being written and counted); the
  first one that came is raised afterwards, by the caller.
- `taken()`: the signals handled by one `Holder` for a longer stretch that
  changes its mind about them (the server: raised while the lines open,
  a wake-up for the event loop while serving, held while it stops).
"""

from __future__ import annotations

import contextlib
import signal
import threading
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from typing import Any

__all__ = ["Holder", "Terminated", "deferred", "interruption", "stop_signals", "taken"]

# Windows has no SIGHUP.
STOP_SIGNALS = tuple(getattr(signal, name) for name in ("SIGTERM", "SIGHUP") if hasattr(signal, name))
# Ctrl-C too.
ALL_SIGNALS = (signal.SIGINT, *STOP_SIGNALS)


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


def interruption(signum: int) -> KeyboardInterrupt:
    """What a signal that was held back turns into once it may act."""
    return KeyboardInterrupt() if signum == signal.SIGINT else Terminated(signum)


def stop_signals() -> contextlib.AbstractContextManager[bool]:
    """Turns SIGTERM and SIGHUP into `Terminated` for the block, where they
    are at their default action and the block runs on the main thread;
    puts the previous handlers back afterwards. Yields whether it did."""
    return _installed(_raise_terminated, STOP_SIGNALS, lambda signum, handler: handler is signal.SIG_DFL)


class Holder:
    """What a stop signal does while a Holder has it: raise its exception
    at once (`interruption`), as it would without one, until `hold()`;
    from then on it is held: the first one is kept in `signum`, and each
    calls `wake`, when there is one, for whoever waits on it."""

    def __init__(self, *, holding: bool = False) -> None:
        self.signum = 0
        self.holding = holding
        self.wake: Callable[[], object] | None = None

    def __call__(self, signum: int, frame: Any) -> None:
        if not self.holding:
            raise interruption(signum)
        self.signum = self.signum or signum
        if self.wake is not None:
            self.wake()

    def hold(self, wake: Callable[[], object] | None = None) -> None:
        """Holds every signal from now on, calling `wake` (if given) at each."""
        self.holding = True
        self.wake = wake

    def release(self) -> None:
        """Raises the signal that was held, if one came."""
        if self.signum:
            raise interruption(self.signum)


def _raises(signum: int, handler: Any) -> bool:
    """Whether `handler` turns `signum` into an exception on the spot."""
    if isinstance(handler, Holder):
        return not handler.holding
    return handler is (signal.default_int_handler if signum == signal.SIGINT else _raise_terminated)


@contextmanager
def _installed(handler: Any, signals: tuple[int, ...], which: Callable[[int, Any], bool]) -> Iterator[bool]:
    """`handler` for each of `signals` whose present handler `which`
    accepts, for the block; the previous ones put back afterwards. Yields
    whether any was replaced."""
    if threading.current_thread() is not threading.main_thread():
        yield False  # only the main thread receives signals
        return
    replaced: list[tuple[int, Any]] = []
    try:
        for signum in signals:
            try:
                previous = signal.getsignal(signum)
                if which(signum, previous):
                    signal.signal(signum, handler)
                    replaced.append((signum, previous))
            except (ValueError, OSError):
                continue
        yield bool(replaced)
    finally:
        for signum, previous in reversed(replaced):
            try:
                signal.signal(signum, previous)
            except (ValueError, OSError, TypeError):
                pass


@contextmanager
def deferred() -> Iterator[Holder]:
    """Holds back Ctrl-C for the block, and SIGTERM and SIGHUP while they
    are turned into exceptions (`stop_signals`), so that an impatient
    signal cannot cut the block in half; a signal someone else handles is
    left to them. The first one that came is the yielded Holder's
    `signum`: the caller raises it afterwards (`release()`), once the
    block's work is safe. Within a block already deferred, the outer one
    holds and raises."""
    holder = Holder(holding=True)
    with _installed(holder, ALL_SIGNALS, _raises):
        yield holder


@contextmanager
def taken(holder: Holder | None = None) -> Iterator[Holder]:
    """Ctrl-C, SIGTERM and SIGHUP handled by `holder` (a new one when none
    is given) for the block, whatever handled them before: they raise as
    they always do until the holder is told to `hold()`."""
    holder = holder if holder is not None else Holder()
    with _installed(holder, ALL_SIGNALS, lambda signum, handler: True):
        yield holder
