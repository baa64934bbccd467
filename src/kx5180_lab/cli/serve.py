"""`kx5180 serve`: the units over SCPI and HTTP until stopped
(`kx5180_lab.serve`)."""

from __future__ import annotations

import argparse

from ..simulator import Simulator
from .session import capturing
from .shared import resolve_target


def run(args: argparse.Namespace, sim: Simulator | None) -> int:
    from ..serve.server import run_serve

    # Started by serve once it knows its lines (after --sim started one).
    return run_serve(args, resolve_target, sim, capturing=lambda port: capturing(args, port))
