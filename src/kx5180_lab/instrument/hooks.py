"""Per-thread hooks into the driver module's `print` and `serial` globals.

The driver looks both names up in its module globals each time it uses
them. While at least one Supply operation runs, those two globals hold
dispatchers; each consults the calling thread's context, so a Supply on one
thread captures its own printed reply lines and wraps its own port without
touching what any other thread (or a plain KX5180 used elsewhere) sees.
When the last operation ends, the globals are put back as they were.

Why not contextlib.redirect_stdout: it swaps sys.stdout for the whole
process, so a print from any other thread during a driver call would vanish
too, and a lock around it would serialise every supply in the process
behind one another (the driver sleeps between polls, so several supplies on
several threads otherwise run side by side).
"""

from __future__ import annotations

import builtins
import threading
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from typing import Any

import kx5180

_MISSING = object()


class HookContext:
    """What the calling thread wants from the driver's globals."""

    def __init__(
        self,
        quiet: bool = True,
        on_port: Callable[[Any], Any] | None = None,
        on_line: Callable[[str], None] | None = None,
    ) -> None:
        self.quiet = quiet
        self.on_port = on_port
        self.on_line = on_line


_local = threading.local()
_lock = threading.Lock()
_users = 0
_saved: dict[str, Any] = {}


def _current() -> HookContext | None:
    return getattr(_local, "ctx", None)


def _forward_print(*args: Any, **kwargs: Any) -> None:
    target = _saved.get("print", _MISSING)
    (builtins.print if target is _MISSING else target)(*args, **kwargs)


def _print(*args: Any, **kwargs: Any) -> None:
    ctx = _current()
    if ctx is None:
        _forward_print(*args, **kwargs)
        return
    line = kwargs.get("sep", " ").join(str(a) for a in args)
    if ctx.on_line is not None:
        ctx.on_line(line)
    if not ctx.quiet:
        _forward_print(*args, **kwargs)


class _SerialProxy:
    """Stands in for the `serial` module: everything is the real module's,
    except that a port created on a hooked thread is handed to that thread's
    `on_port` first (which wraps it for the frame trace)."""

    def __init__(self, real: Any) -> None:
        self._real = real

    def __getattr__(self, name: str) -> Any:
        return getattr(self._real, name)

    def Serial(self, *args: Any, **kwargs: Any) -> Any:  # pyserial's name
        port = self._real.Serial(*args, **kwargs)
        ctx = _current()
        if ctx is not None and ctx.on_port is not None:
            port = ctx.on_port(port)
        return port


def _install() -> None:
    module_globals = vars(kx5180)
    _saved["print"] = module_globals.get("print", _MISSING)
    _saved["serial"] = module_globals.get("serial", _MISSING)
    _saved["print_hook"] = _print
    kx5180.print = _print  # type: ignore[attr-defined]
    real = _saved["serial"]
    if real is not _MISSING:
        proxy = _SerialProxy(real)
        _saved["serial_hook"] = proxy
        kx5180.serial = proxy  # type: ignore[assignment]


def _uninstall() -> None:
    module_globals: dict[str, Any] = kx5180.__dict__
    for name in ("print", "serial"):
        hook = _saved.pop(name + "_hook", None)
        before = _saved.pop(name, _MISSING)
        # Someone may have replaced the global meanwhile (a test's
        # monkeypatch): theirs wins over ours.
        if hook is None or module_globals.get(name) is not hook:
            continue
        if before is _MISSING:
            del module_globals[name]
        else:
            module_globals[name] = before


@contextmanager
def hooked(ctx: HookContext) -> Iterator[HookContext]:
    """Runs the block with the driver's print and serial routed through
    `ctx` on this thread."""
    global _users
    with _lock:
        if _users == 0:
            _install()
        _users += 1
    previous = _current()
    _local.ctx = ctx
    try:
        yield ctx
    finally:
        _local.ctx = previous
        with _lock:
            _users -= 1
            if _users == 0:
                _uninstall()
