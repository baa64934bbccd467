"""Plots a CSV written by `kx5180 log`: voltage and current over time on two
axes, their setpoints, CV and CC spans shaded, over-temperature marked. The
CSV is streamed, so a log of any length plots in the same memory.

matplotlib is optional (pip install 'kx5180[plot]'); without it,
`plot_csv` raises PlotUnavailable with that hint.
"""

from __future__ import annotations

import csv
import math
import os
from collections.abc import Iterator
from dataclasses import dataclass, field
from typing import Any, NamedTuple

WIDTH_PX, HEIGHT_PX, DPI = 1000, 560, 100
PLOT_HINT = "plotting needs matplotlib: pip install 'kx5180[plot]'"


class PlotUnavailable(RuntimeError):
    pass


class PlotInputError(ValueError):
    pass


@dataclass
class Series:
    t: list[float] = field(default_factory=list)
    v: list[float] = field(default_factory=list)
    i: list[float] = field(default_factory=list)
    v_set: list[float] = field(default_factory=list)
    i_set: list[float] = field(default_factory=list)
    mode: list[str] = field(default_factory=list)
    hot: list[bool] = field(default_factory=list)
    tail: float = 0.5  # how long the last reading holds

    def add(self, row: Row) -> None:
        self.t.append(row.t)
        self.v.append(row.v)
        self.i.append(row.i)
        self.v_set.append(row.v_set)
        self.i_set.append(row.i_set)
        self.mode.append(row.mode)
        self.hot.append(row.hot)


class Row(NamedTuple):
    t: float
    v: float
    i: float
    v_set: float
    i_set: float
    mode: str
    hot: bool


# A log up to this many rows is drawn reading by reading; a longer one is
# drawn from a fixed number of time buckets (each its lowest and highest
# values), so that memory stays the same however long the log ran. The
# figure is 1000 pixels wide: two buckets a pixel lose nothing visible.
EXACT_ROWS = 20_000
BUCKETS = 2 * WIDTH_PX

NEED = ("time_s", "voltage_v", "current_a", "voltage_set_v", "current_set_a", "mode", "over_temperature")


def _rows(path: str) -> Iterator[Row]:
    """The log's rows, one at a time, read as the CSV streams by."""
    try:
        with open(path, newline="", encoding="utf-8") as f:
            reader = csv.DictReader(f)
            missing = [c for c in NEED if c not in (reader.fieldnames or [])]
            if missing:
                raise PlotInputError(f"{path}: not a kx5180 log (missing columns: {', '.join(missing)})")
            for n, row in enumerate(reader, start=2):
                if row.get("note") and not row["voltage_v"]:  # a gap (log --reconnect): no reading
                    continue
                try:
                    t, v, i, v_set, i_set = (_finite(row[c]) for c in NEED[:5])
                    yield Row(
                        t,
                        v,
                        i,
                        v_set,
                        i_set,
                        row["mode"] or "",
                        (row["over_temperature"] or "").strip().lower() in ("1", "true", "yes"),
                    )
                except (TypeError, ValueError) as e:
                    raise PlotInputError(f"{path}, line {n}: {e}") from e
    except OSError as e:
        raise PlotInputError(f"cannot read {path}: {e.strerror or e}") from e
    except (UnicodeDecodeError, csv.Error) as e:
        raise PlotInputError(f"{path}: not a kx5180 log (not a CSV text file: {e})") from e


def read_log(path: str) -> Series:
    # A first pass learns the length and the time span without keeping rows.
    count, first_t, last_t = 0, 0.0, 0.0
    for row in _rows(path):
        if count == 0:
            first_t = row.t
        count, last_t = count + 1, row.t
    if count == 0:
        raise PlotInputError(f"{path}: no rows to plot")
    if count <= EXACT_ROWS:
        s = Series()
        for row in _rows(path):
            s.add(row)
        if count > 1:
            gaps = sorted(b - a for a, b in zip(s.t, s.t[1:]))
            s.tail = gaps[len(gaps) // 2] / 2
        return s
    return _bucketed(path, first_t, last_t, count)


def _bucketed(path: str, first_t: float, last_t: float, count: int) -> Series:
    width = (last_t - first_t) / BUCKETS or 1.0
    # Per bucket: the first row, then running lows, highs and the last row.
    firsts: list[Row | None] = [None] * BUCKETS
    lasts: list[Row | None] = [None] * BUCKETS
    lows: list[tuple[float, float]] = [(0.0, 0.0)] * BUCKETS
    highs: list[tuple[float, float]] = [(0.0, 0.0)] * BUCKETS
    hot: list[bool] = [False] * BUCKETS
    for row in _rows(path):
        b = min(BUCKETS - 1, max(0, int((row.t - first_t) / width)))
        if firsts[b] is None:
            firsts[b] = row
            lows[b] = highs[b] = (row.v, row.i)
        else:
            lows[b] = (min(lows[b][0], row.v), min(lows[b][1], row.i))
            highs[b] = (max(highs[b][0], row.v), max(highs[b][1], row.i))
        lasts[b] = row
        hot[b] = hot[b] or row.hot
    s = Series(tail=(last_t - first_t) / (count - 1) / 2)
    for b in range(BUCKETS):
        first, last = firsts[b], lasts[b]
        if first is None or last is None:
            continue
        # Low then high, so that the steps span the bucket's whole range.
        s.add(first._replace(v=lows[b][0], i=lows[b][1], hot=hot[b]))
        if last.t > first.t:
            s.add(last._replace(v=highs[b][0], i=highs[b][1], hot=hot[b]))
    return s


def _finite(text: str | None) -> float:
    value = float(text)  # type: ignore[arg-type] # a short row's None: TypeError, reported
    if not math.isfinite(value):
        raise ValueError(f"{text!r} is not a finite number")
    return value


# Every line is drawn as steps, each reading holding until the next, so
# that the lines change exactly where the shaded spans do.
def _spans(t: list[float], flags: list[bool], tail: float) -> list[tuple[float, float]]:
    """Time spans over which `flags` holds; each sample counts until the
    next one (the last one for `tail`)."""
    ends = t[1:] + [t[-1] + tail]
    spans: list[tuple[float, float]] = []
    for start, end, flag in zip(t, ends, flags):
        if not flag:
            continue
        if spans and spans[-1][1] == start:
            spans[-1] = (spans[-1][0], end)
        else:
            spans.append((start, end))
    return spans


def plot_csv(csv_path: str, png_path: str, title: str | None = None) -> tuple[int, int]:
    """Writes the plot and returns its size in pixels (width, height)."""
    s = read_log(csv_path)
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
        from matplotlib.patches import Patch
    except ImportError as e:
        raise PlotUnavailable(PLOT_HINT) from e

    fig, ax_v = plt.subplots(figsize=(WIDTH_PX / DPI, HEIGHT_PX / DPI), dpi=DPI)
    try:
        ax_i = ax_v.twinx()
        cv = _spans(s.t, [m == "CV" for m in s.mode], s.tail)
        cc = _spans(s.t, [m == "CC" for m in s.mode], s.tail)
        hot = _spans(s.t, s.hot, s.tail)
        for a, b in cv:
            ax_v.axvspan(a, b, color="tab:green", alpha=0.10, lw=0)
        for a, b in cc:
            ax_v.axvspan(a, b, color="tab:orange", alpha=0.18, lw=0)
        for a, b in hot:
            ax_v.axvspan(a, b, facecolor="tab:red", edgecolor="tab:red", alpha=0.15, lw=0, hatch="//")

        (lv,) = ax_v.plot(s.t, s.v, color="tab:blue", lw=1.8, drawstyle="steps-post", label="voltage")
        (lvs,) = ax_v.plot(
            s.t, s.v_set, color="tab:blue", lw=1, ls="--", drawstyle="steps-post", label="voltage setpoint"
        )
        (li,) = ax_i.plot(s.t, s.i, color="tab:purple", lw=1.8, drawstyle="steps-post", label="current")
        (lis,) = ax_i.plot(
            s.t, s.i_set, color="tab:purple", lw=1, ls="--", drawstyle="steps-post", label="current limit"
        )
        # The legend names what the plot shows, and only that.
        handles: list[Any] = [lv, lvs, li, lis]
        if cv:
            handles.append(Patch(color="tab:green", alpha=0.25, label="CV"))
        if cc:
            handles.append(Patch(color="tab:orange", alpha=0.35, label="CC"))
        if hot:
            handles.append(
                Patch(facecolor="tab:red", edgecolor="tab:red", alpha=0.3, hatch="//", label="over-temperature")
            )
            handles.append(
                ax_v.scatter(
                    [t for t, h in zip(s.t, s.hot) if h],
                    [v for v, h in zip(s.v, s.hot) if h],
                    marker="x",
                    color="tab:red",
                    zorder=5,
                    clip_on=False,
                    label="over-temperature reading",
                )
            )

        ax_v.set_xlabel("time (s)")
        ax_v.set_ylabel("voltage (V)", color="tab:blue")
        ax_i.set_ylabel("current (A)", color="tab:purple")
        top_v = max(s.v + s.v_set) or 1.0
        top_i = max(s.i + s.i_set) or 1.0
        ax_v.set_ylim(0, top_v * 1.15)
        # A different headroom on each axis keeps a voltage and a current
        # line of the same relative height from hiding one another.
        ax_i.set_ylim(0, top_i * 1.4)
        ax_v.set_xlim(s.t[0], s.t[-1] if s.t[-1] > s.t[0] else s.t[0] + 1)
        ax_v.grid(True, alpha=0.3)
        ax_v.set_title(title or f"kx5180 log: {os.path.basename(csv_path)}")
        ax_v.legend(
            handles=handles,
            loc="upper center",
            bbox_to_anchor=(0.5, -0.13),
            ncol=len(handles),
            fontsize="small",
            frameon=False,
        )
        fig.subplots_adjust(left=0.08, right=0.91, top=0.92, bottom=0.2)
        try:
            fig.savefig(png_path, dpi=DPI)
        except (OSError, ValueError) as e:  # ValueError: a file type matplotlib does not write
            raise PlotInputError(f"cannot write {png_path}: {getattr(e, 'strerror', None) or e}") from e
    finally:
        plt.close(fig)
    return WIDTH_PX, HEIGHT_PX
