"""`kx5180 scan PORT`: who answers on a line. Only here does the command
line send to addresses nobody named."""

from __future__ import annotations

import argparse
import json
import re
from collections.abc import Sequence
from typing import Any

from ..instrument.bus import Bus
from ..records import FoundUnit, Identity
from ..target import BROADCAST_REFUSED, Target
from ..wire import BROADCAST
from .shared import EXIT_FAILED, EXIT_OK, UsageError, fail, live, live_clear, timestamp


def parse_addresses(text: str) -> list[int]:
    """ "1-10,20" as the addresses 1 to 10 and 20, in that order."""
    out: list[int] = []
    for item in text.split(","):
        m = re.fullmatch(r"\s*([0-9]+)\s*(?:-\s*([0-9]+)\s*)?", item)
        if not m:
            raise UsageError(f"--addresses: {item.strip()!r} is not an address or a range A-B")
        first = int(m.group(1))
        last = int(m.group(2)) if m.group(2) is not None else first
        for a in (first, last):
            if a == BROADCAST:
                raise UsageError(f"--addresses: {BROADCAST_REFUSED}; a scan asks 0..254 only")
            if a > BROADCAST:
                raise UsageError(f"--addresses: {a} is not a bus address 0..254")
        if last < first:
            raise UsageError(f"--addresses: the range {first}-{last} runs backwards")
        out.extend(range(first, last + 1))
    return list(dict.fromkeys(out))


def run(args: argparse.Namespace, target: Target) -> int:
    if target.address is not None:
        raise UsageError(f"scan: give the PORT alone, not {target.port}@{target.address}")
    addresses = parse_addresses(args.addresses) if args.addresses is not None else list(range(0, BROADCAST))
    found: list[FoundUnit] = []
    with Bus.connect(target.port) as bus:
        if not args.json:
            print(f"{'ADDRESS':>7}  {'MODEL':<5}  {'SN':<9}  SOFTWARE", flush=True)
        for n, address in enumerate(addresses, 1):
            live(f"scanning {target.port}: address {address} ({n} of {len(addresses)}), {len(found)} found")
            for unit in bus.scan([address]):
                found.append(unit)
                live_clear()
                if args.json:
                    # The shape of `identify --json`: one object a line, as each unit answers.
                    print(json.dumps(_unit_json(target, unit, timestamp())), flush=True)
                else:
                    model, sn = (x.replace("\x00", "\\0") for x in (unit.model, unit.serial_number))
                    print(f"{unit.address:>7}  {model:<5}  {sn:<9}  {unit.software_version}", flush=True)
        live_clear()
    if not found:
        fail(f"no unit answered on {target.port} ({_ranges(addresses)})")
        return EXIT_FAILED
    return EXIT_OK


def _unit_json(target: Target, unit: FoundUnit, stamp: str) -> dict[str, Any]:
    ident = Identity(unit.model, unit.serial_number, unit.software_version, unit.address)
    return {"port": f"{target.port}@{unit.address}", "timestamp": stamp, **ident.as_dict()}


def _ranges(addresses: Sequence[int]) -> str:
    runs: list[list[int]] = []
    for a in addresses:
        if runs and a == runs[-1][1] + 1:
            runs[-1][1] = a
        else:
            runs.append([a, a])
    text = ",".join(str(f) if f == last else f"{f}-{last}" for f, last in runs)
    return ("address " if len(addresses) == 1 else "addresses ") + text
