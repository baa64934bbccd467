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
    from .bus import Bus, BusClosedError, BusyPortError, FoundUnit, supply_at
    from .capture import Capture
    from .simulator import Simulator, SimulatorError, find_simulator
    from .supply import (
        ConnectError,
        Identity,
        LimitError,
        LineError,
        NoAnswerError,
        PortBusyError,
        PortCheckError,
        PortOpenError,
        RampError,
        RampInterrupted,
        ShutdownError,
        Status,
        Supply,
        SupplyError,
        UnsupportedModelError,
        VerifyError,
        WrongReplyError,
    )
    from .stops import Terminated
    from .trace import TRAFFIC_LOGGER, enable_trace

    __version__: str

# Where each public name lives. They are imported on first use, so that
# loading the pytest plugin (which pytest does in every run once the package
# is installed) does not load the native driver module.
_HOMES = {
    "Bus": "bus",
    "BusClosedError": "bus",
    "BusyPortError": "bus",
    "FoundUnit": "bus",
    "supply_at": "bus",
    "Simulator": "simulator",
    "SimulatorError": "simulator",
    "find_simulator": "simulator",
    "ConnectError": "supply",
    "Identity": "supply",
    "LimitError": "supply",
    "LineError": "supply",
    "NoAnswerError": "supply",
    "PortBusyError": "supply",
    "PortCheckError": "supply",
    "PortOpenError": "supply",
    "RampError": "supply",
    "RampInterrupted": "supply",
    "ShutdownError": "supply",
    "Status": "supply",
    "Terminated": "stops",
    "Supply": "supply",
    "SupplyError": "supply",
    "UnsupportedModelError": "supply",
    "VerifyError": "supply",
    "WrongReplyError": "supply",
    "Capture": "capture",
    "TRAFFIC_LOGGER": "trace",
    "enable_trace": "trace",
}

__all__ = [
    "Bus",
    "BusClosedError",
    "BusyPortError",
    "Capture",
    "ConnectError",
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
        from importlib.metadata import version

        globals()[name] = value = version("kx5180")
        return value
    home = _HOMES.get(name)
    if home is None:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    value = getattr(importlib.import_module(f"{__name__}.{home}"), name)
    globals()[name] = value
    return value


def __dir__() -> list[str]:
    return sorted(set(globals()) | set(__all__))
