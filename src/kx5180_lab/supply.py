"""One supply used safely: `Supply` lives in `kx5180_lab.instrument.supply`,
its errors in `kx5180_lab.errors` and its records in `kx5180_lab.records`;
this name stays for the code that imports them from here."""

from .errors import (
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
    UnsupportedModelError,
    VerifyError,
    WrongReplyError,
)
from .instrument.driver import SUPPORTED_MODELS
from .instrument.supply import Supply
from .records import STATUS_FIELDS, Identity, Status

__all__ = [
    "STATUS_FIELDS",
    "SUPPORTED_MODELS",
    "ConnectError",
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
    "Status",
    "Supply",
    "SupplyError",
    "UnsupportedModelError",
    "VerifyError",
    "WrongReplyError",
]
