"""The CSV log of `run` and `charge`: the columns of `log`, each row
flushed as written and counted only once it is."""

from __future__ import annotations

import csv
import time
from typing import Any

from ..errors import TripError
from ..instrument.counters import Counters
from ..records import Status
from ..stops import deferred
from .log import CSV_FIELDS, csv_row
from .shared import EXIT_TRIPPED, UsageError, fail, live_end, timestamp


class LogFile:
    def __init__(self, path: str | None, extra: tuple[str, ...] = ()) -> None:
        self.path, self.rows, self.start = path, 0, time.monotonic()
        self._out: Any = None
        if path is None:
            return
        try:
            self._out = open(path, "w", newline="", encoding="utf-8")
            self._writer = csv.writer(self._out)
            self._writer.writerow(CSV_FIELDS + extra)
            self._out.flush()
        except OSError as e:  # refused before the supply is opened
            self.close()
            raise UsageError(f"cannot write {path}: {e.strerror or e}") from e

    def write(self, st: Status, counters: Counters, *extra: Any) -> None:
        if self._out is None:
            return
        with deferred() as held:
            self._writer.writerow([*csv_row(time.monotonic() - self.start, timestamp(), st, counters), *extra])
            self._out.flush()
            self.rows += 1
        held.release()

    def close(self) -> None:
        out, self._out = self._out, None
        if out is not None:
            try:
                out.close()
            except OSError:
                pass

    def tripped(self, e: TripError, counters: Counters, delivered: str, *extra: Any) -> int:
        """Ends a command on a trip: the tripping reading logged, one line
        with the trip and what was `delivered`, exit status 3."""
        if e.status is not None:
            self.write(e.status, counters, *extra)
        live_end()
        fail(f"{e}; {delivered}{self.summary()}")
        return EXIT_TRIPPED

    def summary(self) -> str:
        return f"; {self.rows} rows written to {self.path}" if self.path else ""
