"""Session captures: they live in `kx5180_lab.hardware.capture`; this name
stays for the code that imports them from here."""

from .hardware.capture import FORMAT, VERSION, Capture, read_capture
from .wire import LINE_SETTINGS

__all__ = ["FORMAT", "LINE_SETTINGS", "VERSION", "Capture", "read_capture"]
