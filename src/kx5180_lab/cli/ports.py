"""`kx5180 ports`: the serial ports the system knows. No port is opened."""

from __future__ import annotations

import argparse
import json
import sys

from ..simulator import Simulator
from .shared import EXIT_OK


def run(args: argparse.Namespace, sim: Simulator | None) -> int:
    from serial.tools import list_ports

    found = [
        {"device": p.device, "description": p.description or "", "hwid": p.hwid or ""}
        for p in sorted(list_ports.comports(), key=lambda p: p.device)
    ]
    if sim is not None and sim.port:
        found.append({"device": sim.port, "description": "kx5180-sim (simulated supply)", "hwid": "n/a"})
    if args.json:
        for p in found:  # one object a line, like every other --json
            print(json.dumps(p))
        return EXIT_OK
    if not found:
        print("no serial ports found", file=sys.stderr)
        return EXIT_OK
    rows = [("DEVICE", "DESCRIPTION", "HARDWARE ID")] + [(p["device"], p["description"], p["hwid"]) for p in found]
    widths = [max(len(r[i]) for r in rows) for i in range(2)]
    for r in rows:
        print(f"{r[0]:<{widths[0]}}  {r[1]:<{widths[1]}}  {r[2]}".rstrip())
    return EXIT_OK
