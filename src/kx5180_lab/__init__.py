"""Lab toolkit around the kx5180 driver: what a lab engineer does with a
bench supply every day, built on the driver class without changing it.

- `Supply`: one supply as a context manager, safe on exit, with limits,
  verification, ramps and a frame trace (logger "kx5180.traffic");
- `Simulator`: a kx5180-sim started and stopped from Python;
- `Bus`: several units on one line, one driver object per address;
- the `kx5180` command line (`kx5180_lab.cli`).
"""

import importlib
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    # What type checkers see; at run time __getattr__ below imports each
    # name on first use.
    from .driver_types import DeviceVersion, DevStatus
    from .errors import (
        BusClosedError,
        ConnectError,
        LimitError,
        LineError,
        NoAnswerError,
        PortBusyError,
        PortCheckError,
        PortOpenError,
        RampError,
        RampInterrupted,
        ShutdownError,
        SupplyError,
        TripError,
        UnsupportedModelError,
        VerifyError,
        WrongReplyError,
    )
    from .hardware.capture import Capture
    from .instrument.bus import Bus, BusyPortError, supply_at
    from .instrument.counters import Counters
    from .instrument.supply import Supply
    from .records import FoundUnit, Identity, Status
    from .simulator import Simulator, SimulatorError, find_simulator
    from .stops import Terminated
    from .trace import TRAFFIC_LOGGER, enable_trace

    __version__: str

# Where each public name lives. They are imported on first use, so that
# loading the pytest plugin (which pytest does in every run once the package
# is installed) does not load the native driver module.
_HOMES = {
    "Bus": "instrument.bus",
    "BusClosedError": "errors",
    "BusyPortError": "instrument.bus",
    "FoundUnit": "records",
    "supply_at": "instrument.bus",
    "Simulator": "simulator",
    "SimulatorError": "simulator",
    "find_simulator": "simulator",
    "ConnectError": "errors",
    "DevStatus": "driver_types",
    "DeviceVersion": "driver_types",
    "Identity": "records",
    "LimitError": "errors",
    "LineError": "errors",
    "NoAnswerError": "errors",
    "PortBusyError": "errors",
    "PortCheckError": "errors",
    "PortOpenError": "errors",
    "RampError": "errors",
    "RampInterrupted": "errors",
    "ShutdownError": "errors",
    "Status": "records",
    "Terminated": "stops",
    "TripError": "errors",
    "Counters": "instrument.counters",
    "Supply": "instrument.supply",
    "SupplyError": "errors",
    "UnsupportedModelError": "errors",
    "VerifyError": "errors",
    "WrongReplyError": "errors",
    "Capture": "hardware.capture",
    "TRAFFIC_LOGGER": "trace",
    "enable_trace": "trace",
}

__all__ = [
    "Bus",
    "BusClosedError",
    "BusyPortError",
    "Capture",
    "ConnectError",
    "Counters",
    "DevStatus",
    "DeviceVersion",
    "FoundUnit",
    "Identity",
    "LimitError",
    "LineError",
    "NoAnswerError",
    "PortBusyError",
    "PortCheckError",
    "PortOpenError",
    "RampError",
    "RampInterrupted",
    "ShutdownError",
    "Simulator",
    "SimulatorError",
    "Status",
    "Supply",
    "SupplyError",
    "TRAFFIC_LOGGER",
    "Terminated",
    "TripError",
    "UnsupportedModelError",
    "VerifyError",
    "WrongReplyError",
    "__version__",
    "enable_trace",
    "find_simulator",
    "supply_at",
]


def __getattr__(name: str) -> Any:
    if name == "__version__":
        from .version import version

        globals()[name] = value = version()
        return value
    home = _HOMES.get(name)
    if home is None:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    value = getattr(importlib.import_module(f"{__name__}.{home}"), name)
    globals()[name] = value
    return value


def __dir__() -> list[str]:
    return sorted(set(globals()) | set(__all__))
