"""What travels on the wire, as the toolkit sees it: the driver's line
settings and the frame. Every other module of the toolkit takes these
from here (the driver and kx5180-sim have their own, in C++)."""

from __future__ import annotations

# The driver's line settings: 4800 baud, 8 data bits, no parity, 1 stop
# bit; its read timeout is 50 s (it polls for a reply itself and reads only
# what has arrived).
BAUD = 4800
BYTESIZE = 8
PARITY = "N"
STOPBITS = 1
READ_TIMEOUT_S = 50

# As a capture file's header states them.
LINE_SETTINGS = {"baud": BAUD, "bytesize": BYTESIZE, "parity": PARITY, "stopbits": STOPBITS}

# Every request and reply is one frame: the sync byte, the address, the
# command word, 22 bytes of data and the checksum (the low byte of the sum
# of the 25 before it).
FRAME = 26
SYNC = 0xAA
BROADCAST = 0xFF

RETURN_WORD, STATUS_WORD, IDENTITY_WORD = 0x12, 0x26, 0x31
SET_ADDRESS_WORD = 0x25


def frame_s(baud: float = BAUD) -> float:
    """Seconds one frame takes on the wire (10 bits a byte)."""
    return FRAME * 10 / baud


def expected_word(command: int) -> int:
    """The command word of the reply a command gets: the status and the
    identity come back under their own word, everything else is
    acknowledged with 0x12."""
    return command if command in (STATUS_WORD, IDENTITY_WORD) else RETURN_WORD


def is_frame(data: bytes | bytearray, at: int = 0) -> bool:
    """A whole frame at `at`: sync byte first, checksum last."""
    end = at + FRAME
    return len(data) >= end and data[at] == SYNC and data[end - 1] == sum(data[at : end - 1]) & 0xFF
