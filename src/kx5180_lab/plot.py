"""Plots a CSV written by `kx5180 log`: voltage and current over time on two
axes, their setpoints, CV and CC spans shaded, over-temperature marked.

matplotlib is optional (pip install 'kx5180[plot]'); without it,
`plot_csv` raises PlotUnavailable with that hint.
"""

from __future__ import annotations

import csv
import math
import os
from dataclasses import dataclass, field

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


def read_log(path: str) -> Series:
    need = ("time_s", "voltage_v", "current_a", "voltage_set_v", "current_set_a", "mode", "over_temperature")
    s = Series()
    try:
        with open(path, newline="", encoding="utf-8") as f:
            reader = csv.DictReader(f)
            missing = [c for c in need if c not in (reader.fieldnames or [])]
            if missing:
                raise PlotInputError(f"{path}: not a kx5180 log (missing columns: {', '.join(missing)})")
            for n, row in enumerate(reader, start=2):
                try:
                    values = [_finite(row[c]) for c in need[:5]]
                except (TypeError, ValueError) as e:
                    raise PlotInputError(f"{path}, line {n}: {e}") from e
                for column, value in zip((s.t, s.v, s.i, s.v_set, s.i_set), values):
                    column.append(value)
                s.mode.append(row["mode"] or "")
                s.hot.append((row["over_temperature"] or "").strip().lower() in ("1", "true", "yes"))
    except OSError as e:
        raise PlotInputError(f"cannot read {path}: {e.strerror or e}") from e
    except (UnicodeDecodeError, csv.Error) as e:
        raise PlotInputError(f"{path}: not a kx5180 log (not a CSV text file: {e})") from e
    if not s.t:
        raise PlotInputError(f"{path}: no rows to plot")
    return s


def _finite(text: str | None) -> float:
    value = float(text)  # type: ignore[arg-type] # a short row's None: TypeError, reported
    if not math.isfinite(value):
        raise ValueError(f"{text!r} is not a finite number")
    return value


# Every line is drawn as steps, each reading holding until the next, so
# that the lines change exactly where the shaded spans do.
def _spans(t: list[float], flags: list[bool]) -> list[tuple[float, float]]:
    """Time spans over which `flags` holds; each sample counts until the
    next one (the last one for half the median spacing)."""
    if len(t) > 1:
        gaps = sorted(b - a for a, b in zip(t, t[1:]))
        tail = gaps[len(gaps) // 2] / 2
    else:
        tail = 0.5
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
        for (a, b) in _spans(s.t, [m == "CV" for m in s.mode]):
            ax_v.axvspan(a, b, color="tab:green", alpha=0.10, lw=0)
        for (a, b) in _spans(s.t, [m == "CC" for m in s.mode]):
            ax_v.axvspan(a, b, color="tab:orange", alpha=0.18, lw=0)
        for (a, b) in _spans(s.t, s.hot):
            ax_v.axvspan(a, b, facecolor="tab:red", edgecolor="tab:red", alpha=0.15, lw=0, hatch="//")

        (lv,) = ax_v.plot(s.t, s.v, color="tab:blue", lw=1.8, drawstyle="steps-post", label="voltage")
        (lvs,) = ax_v.plot(s.t, s.v_set, color="tab:blue", lw=1, ls="--", drawstyle="steps-post", label="voltage setpoint")
        (li,) = ax_i.plot(s.t, s.i, color="tab:purple", lw=1.8, drawstyle="steps-post", label="current")
        (lis,) = ax_i.plot(s.t, s.i_set, color="tab:purple", lw=1, ls="--", drawstyle="steps-post", label="current limit")
        hot_t = [t for t, h in zip(s.t, s.hot) if h]
        handles = [lv, lvs, li, lis, Patch(color="tab:green", alpha=0.25, label="CV"), Patch(color="tab:orange", alpha=0.35, label="CC")]
        if hot_t:
            ax_v.scatter(hot_t, [v for v, h in zip(s.v, s.hot) if h], marker="x", color="tab:red", zorder=5, clip_on=False)
            handles.append(Patch(facecolor="tab:red", edgecolor="tab:red", alpha=0.3, hatch="//", label="over-temperature"))

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
        ax_v.legend(handles=handles, loc="upper center", bbox_to_anchor=(0.5, -0.13), ncol=len(handles), fontsize="small", frameon=False)
        fig.subplots_adjust(left=0.08, right=0.91, top=0.92, bottom=0.2)
        try:
            fig.savefig(png_path, dpi=DPI)
        except (OSError, ValueError) as e:  # ValueError: a file type matplotlib does not write
            raise PlotInputError(f"cannot write {png_path}: {getattr(e, 'strerror', None) or e}") from e
    finally:
        plt.close(fig)
    return WIDTH_PX, HEIGHT_PX
