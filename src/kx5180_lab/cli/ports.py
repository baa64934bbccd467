"""`kx5180 ports`: the serial ports the system knows. No port is opened."""

from __future__ import annotations

import argparse
import json
import os
import sys

from ..simulator import Simulator
from .shared import EXIT_OK

# Where Linux names each USB serial adapter by what it is (maker, model,
# serial number) rather than by the order it was plugged in.
BY_ID = "/dev/serial/by-id"


def stable_names() -> dict[str, str]:
    """Each device's name under BY_ID, by the device it stands for."""
    try:
        names = sorted(os.listdir(BY_ID))
    except OSError:
        return {}  # not Linux, or no USB adapter
    return {os.path.realpath(os.path.join(BY_ID, n)): os.path.join(BY_ID, n) for n in names}


def run(args: argparse.Namespace, sim: Simulator | None) -> int:
    from serial.tools import list_ports

    by_id = stable_names()
    found = [
        {
            "device": p.device,
            "description": p.description or "",
            "hwid": p.hwid or "",
            "by_id": by_id.get(os.path.realpath(p.device), ""),
            "serial_number": p.serial_number or "",
        }
        for p in sorted(list_ports.comports(), key=lambda p: p.device)
    ]
    if sim is not None and sim.port:
        found.append(
            {
                "device": sim.port,
                "description": "kx5180-sim (simulated supply)",
                "hwid": "n/a",
                "by_id": "",
                "serial_number": "",
            }
        )
    if args.json:
        for p in found:  # one object a line, like every other --json
            print(json.dumps(p))
        return EXIT_OK
    if not found:
        print("no serial ports found", file=sys.stderr)
        return EXIT_OK
    rows = [("DEVICE", "SERIAL", "DESCRIPTION", "HARDWARE ID")] + [
        (p["device"], p["serial_number"], p["description"], p["hwid"]) for p in found
    ]
    widths = [max(len(r[i]) for r in rows) for i in range(3)]
    stable: list[str] = ["", *(q["by_id"] for q in found)]
    for r, name in zip(rows, stable, strict=True):
        print(f"{r[0]:<{widths[0]}}  {r[1]:<{widths[1]}}  {r[2]:<{widths[2]}}  {r[3]}".rstrip())
        if name:
            # The name that stays when adapters are plugged in another order.
            print(f"  {name}")
    return EXIT_OK
