"""`kx5180 plot FILE.csv -o FILE.png`: a log written by `log`, plotted
(needs matplotlib). No port is opened."""

from __future__ import annotations

import argparse

from ..plot import plot_csv
from ..simulator import Simulator
from .shared import EXIT_OK, check_folder


def run(args: argparse.Namespace, sim: Simulator | None) -> int:
    check_folder("-o", args.output)  # before the seconds a large log takes to render
    w, h = plot_csv(args.file, args.output, title=args.title)
    print(f"plot written to {args.output} ({w}x{h})")
    return EXIT_OK
