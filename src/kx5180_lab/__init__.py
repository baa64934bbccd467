"""Lab toolkit around the kx5180 driver: what a lab engineer does with a
bench supply every day, built on the driver class without changing it.

- `Supply`: one supply as a context manager, safe on exit, with limits,
  verification, ramps and a frame trace (logger "kx5180.traffic");
- `Simulator`: a kx5180-sim started and stopped from Python;
- the `kx5180` command line (`kx5180_lab.cli`).
"""

from .simulator import Simulator, SimulatorError, find_simulator
from .supply import (
    ConnectError,
    Identity,
    LimitError,
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
)
from .trace import TRAFFIC_LOGGER, enable_trace

__all__ = [
    "ConnectError",
    "Identity",
    "LimitError",
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
    "UnsupportedModelError",
    "VerifyError",
    "enable_trace",
    "find_simulator",
]
