"""Several units on one line: `Bus` lives in `kx5180_lab.instrument.bus`;
this name stays for the code that imports it from here."""

from .instrument.bus import BROADCAST, Bus, BusClosedError, BusyPortError, FoundUnit, check_address, supply_at

__all__ = ["BROADCAST", "Bus", "BusClosedError", "BusyPortError", "FoundUnit", "check_address", "supply_at"]
