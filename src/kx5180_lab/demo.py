"""Run the kx5180 extension module as the main program (the kx5180-demo command).

``python -m`` cannot execute an extension module, so this launcher creates
the module from its import spec, names it "__main__" before its exec step
and then runs that step, which carries out the demonstration sequence.
"""

import argparse
import importlib.util
import sys
from collections.abc import Sequence

from .version import version

PORT = "/dev/cu.usbserial-21320"

DESCRIPTION = f"""\
Runs the kx5180 module's fixed demonstration on the port
{PORT}: takes the unit under computer control, asks it
to take the bus address 6 (at its next power-up), sets a 2 V ceiling,
1.222 V and 0.888 A, switches the output on for 3 seconds, reads the status,
hands control back with the output off, restores the factory settings and
closes the port. On a real unit this changes its settings: keep it away from
a supply whose settings you need."""


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(
        prog="kx5180-demo",
        description=DESCRIPTION,
        epilog="exit status: 0 the sequence ran, 1 the port could not be opened or no supported unit answered.",
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {version()}")
    # Any argument at all is refused: the demonstration takes none, and a
    # misspelt option must never start it.
    parser.parse_args(argv)

    spec = importlib.util.find_spec("kx5180")
    if spec is None or spec.loader is None:
        print("kx5180-demo: the kx5180 module is not installed", file=sys.stderr)
        return 1
    module = importlib.util.module_from_spec(spec)
    module.__name__ = "__main__"
    spec.loader.exec_module(module)
    # open() succeeds only after the unit answered with a supported model,
    # and a fresh driver object knows no model.
    driver = getattr(module, "kx5100", None)
    opened = driver is not None and driver.show_device_version().get("model") in ("5180", "5181")
    return 0 if opened else 1


if __name__ == "__main__":
    sys.exit(main())
