"""A SCPI connection's own state: its error queue, the IEEE 488.2 status
byte and standard event status register with their enable registers, and
the questionable and operation registers of each unit it reads."""

from __future__ import annotations

from collections import deque
from dataclasses import dataclass, field

from ..records import Status

ERROR_QUEUE = 16

# The standard event status register.
OPC, QYE, DDE, EXE, CME = 1, 4, 8, 16, 32
# The status byte.
EAV, QUES_SUMMARY, MAV, ESB, MSS, OPER_SUMMARY = 4, 8, 16, 32, 64, 128

# Questionable: regulation, temperature, and 512 while a trip holds the
# output off (the server's trips on measured values).
QUES_CV, QUES_CC, QUES_OVER_TEMPERATURE, QUES_TRIP = 1, 2, 16, 512
# Operation: the regulation, at the bits supplies commonly use for it.
OPER_CV, OPER_CC = 256, 1024


class ScpiError(Exception):
    def __init__(self, code: int, text: str) -> None:
        super().__init__(f'{code},"{text}"')
        self.code, self.text = code, text

    @property
    def event_bit(self) -> int:
        """The standard event status bit this error sets."""
        if -199 <= self.code <= -100:
            return CME
        if -299 <= self.code <= -200:
            return EXE
        if -499 <= self.code <= -400:
            return QYE
        return DDE


@dataclass
class Register:
    """A condition, its event latch (every bit that came on since the last
    read) and the enable mask of its summary bit."""

    condition: int = 0
    event: int = 0
    enable: int = 0

    def update(self, condition: int) -> None:
        self.event |= condition & ~self.condition
        self.condition = condition

    def read_event(self) -> int:
        event, self.event = self.event, 0
        return event

    @property
    def summary(self) -> bool:
        return bool(self.event & self.enable)


def questionable(st: Status, tripped: bool = False) -> int:
    return (
        (QUES_CV if st.cv else 0)
        | (QUES_CC if st.cc else 0)
        | (QUES_OVER_TEMPERATURE if st.over_temperature else 0)
        | (QUES_TRIP if tripped else 0)
    )


def operation(st: Status) -> int:
    return (OPER_CV if st.cv else 0) | (OPER_CC if st.cc else 0)


@dataclass
class UnitRegisters:
    ques: Register = field(default_factory=Register)
    oper: Register = field(default_factory=Register)

    def update(self, st: Status, tripped: bool = False) -> None:
        self.ques.update(questionable(st, tripped))
        self.oper.update(operation(st))


@dataclass(eq=False)  # one per connection, kept in a set
class Session:
    """One client connection."""

    peer: str
    may_change: bool  # settings allowed from this peer (decided once, when it connects)
    unit_index: int = 1
    errors: deque[ScpiError] = field(default_factory=deque)
    esr: int = 0
    ese: int = 0
    sre: int = 0
    registers: dict[int, UnitRegisters] = field(default_factory=dict)
    pending: bool = False  # answers of this line wait to be sent (the status byte's MAV)
    # The enables for units this connection reads later.
    ques_enable: int = 0
    oper_enable: int = 0

    def push(self, error: ScpiError) -> None:
        self.esr |= error.event_bit
        if len(self.errors) >= ERROR_QUEUE:
            self.errors.pop()
            self.errors.append(ScpiError(-350, "Queue overflow"))
            return
        self.errors.append(error)

    def unit_registers(self, index: int) -> UnitRegisters:
        regs = self.registers.get(index)
        if regs is None:
            regs = self.registers[index] = UnitRegisters()
            regs.ques.enable, regs.oper.enable = self.ques_enable, self.oper_enable
        return regs

    def seen(self, index: int, st: Status, tripped: bool = False) -> None:
        """A reading of unit `index` this connection asked for (`tripped`:
        while a trip holds it off)."""
        self.unit_registers(index).update(st, tripped)

    def tripped(self, index: int, error: ScpiError) -> None:
        """Unit `index` tripped: its bit latched at once (whether or not
        this connection reads the unit before the trip is cleared), and the
        error queued."""
        ques = self.unit_registers(index).ques
        ques.event |= QUES_TRIP
        ques.condition |= QUES_TRIP
        self.push(error)

    def status_byte(self, answers_waiting: bool) -> int:
        regs = self.unit_registers(self.unit_index)
        stb = (
            (EAV if self.errors else 0)
            | (QUES_SUMMARY if regs.ques.summary else 0)
            | (MAV if answers_waiting else 0)
            | (ESB if self.esr & self.ese else 0)
            | (OPER_SUMMARY if regs.oper.summary else 0)
        )
        return stb | (MSS if stb & self.sre & ~MSS else 0)

    def clear(self) -> None:
        """*CLS: the error queue and every event register; enables stay."""
        self.errors.clear()
        self.esr = 0
        for regs in self.registers.values():
            regs.ques.event = regs.oper.event = 0

    def preset(self) -> None:
        """STATus:PRESet: the questionable and operation enables to 0."""
        self.ques_enable = self.oper_enable = 0
        for regs in self.registers.values():
            regs.ques.enable = regs.oper.enable = 0
