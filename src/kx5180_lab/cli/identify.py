"""`kx5180 identify PORT`: the model, product number, software version and
address. Nothing is changed on the unit."""

from __future__ import annotations

import argparse

from ..records import Identity
from ..target import Target
from .session import open_supply
from .shared import EXIT_OK, print_table, reading_json, several_units_hint, timestamp


def identity_rows(name: str, ident: Identity) -> list[tuple[str, str]]:
    return [
        ("port", name),
        ("model", ident.model.replace("\x00", "\\0")),
        ("serial number", ident.serial_number),
        ("software version", str(ident.software_version)),
        ("address", str(ident.address)),
    ]


def run(args: argparse.Namespace, target: Target) -> int:
    with several_units_hint(target), open_supply(target, remote=False, keep_on_exit=True) as psu:
        ident = psu.identity()
        stamp = timestamp()
    if args.json:
        print(reading_json(target, stamp, ident.as_dict()))
    else:
        print_table(identity_rows(target.name, ident))
    return EXIT_OK
