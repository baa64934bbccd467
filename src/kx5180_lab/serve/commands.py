"""The SCPI command tree: what each command does with a connection and its
units. The parsing of a line is `scpi.py`'s."""

from __future__ import annotations

import math
import re
from collections.abc import Awaitable, Callable
from dataclasses import dataclass
from typing import Any

from ..errors import SupplyError
from .status import ScpiError, Session
from .trips import TRIPPED_ERROR
from .units import Unit

SCPI_VERSION = "1999.0"
MAKER = "kx5180 project"


def nodes(pattern: str) -> list[tuple[str, str, bool]]:
    """ "[SOURce:]VOLTage[:LEVel]" as (short, long, optional) per node."""
    out = []
    for m in re.finditer(r"(\[)?:?([A-Za-z*]+)\]?", pattern):
        word = m.group(2)
        short = "".join(c for c in word if c.isupper() or c == "*")
        out.append((short.upper(), word.upper(), m.group(1) is not None))
    return out


@dataclass
class Command:
    nodes: list[tuple[str, str, bool]]
    query: Callable[..., Awaitable[str]] | None = None
    # A setting; for a command of each unit it returns the change to make,
    # checked, so that a channel list is checked whole before any change.
    setting: Callable[..., Awaitable[Any]] | None = None
    changes_state: bool = True
    per_unit: bool = False  # takes a channel list (@n,...); handlers get each unit
    query_arg: bool = False  # its query takes MIN, MAX or DEF
    takes_arg: bool = True  # its setting takes a parameter


_NUMBER = re.compile(r"([+-]?(?:[0-9]+\.?[0-9]*|\.[0-9]+)(?:[eE][+-]?[0-9]+)?)\s*(M?)([VA]?)", re.IGNORECASE)
_WORDS = {"MIN": "MIN", "MINIMUM": "MIN", "MAX": "MAX", "MAXIMUM": "MAX", "DEF": "DEF", "DEFAULT": "DEF"}


def number(text: str, unit: str) -> float | str:
    """A number in `unit` (V, mV, ...), or "MIN", "MAX" or "DEF"."""
    t = text.strip()
    if not t:
        raise ScpiError(-109, "Missing parameter")
    if t.upper() in _WORDS:
        return _WORDS[t.upper()]
    m = _NUMBER.fullmatch(t)
    if not m or (m.group(3) and m.group(3).upper() != unit):
        raise ScpiError(-104, "Data type error")
    value = float(m.group(1)) / (1000.0 if m.group(2) else 1.0)
    if not math.isfinite(value):
        raise ScpiError(-104, "Data type error")
    return value


def integer(text: str, low: int, high: int) -> int:
    value = number(text, "")
    if isinstance(value, str) or value != int(value):
        raise ScpiError(-104, "Data type error")
    if not low <= value <= high:
        raise ScpiError(-222, "Data out of range")
    return int(value)


def boolean(text: str) -> bool:
    t = text.strip().upper()
    if t in ("ON", "1"):
        return True
    if t in ("OFF", "0"):
        return False
    if not t:
        raise ScpiError(-109, "Missing parameter")
    raise ScpiError(-104, "Data type error")


_OPTION = {"voltage": "--max-voltage", "current": "--max-current", "ceiling": "--max-voltage"}


async def level(unit: Unit, name: str, text: str, symbol: str) -> float:
    """A setting's value: a number, or MIN and DEF (0) and MAX (the most the
    unit takes now: its ceiling, or the server's limit when lower)."""
    value = number(text, symbol)
    if not isinstance(value, str):
        return value
    if value == "DEF" and name == "ceiling":
        raise ScpiError(-224, "Illegal parameter value; the ceiling has no default")
    if value != "MAX":
        return 0.0
    highest = await unit.highest(name)
    if highest is None:
        raise ScpiError(
            -221, f"Settings conflict; the unit reports no {name} range, start the server with {_OPTION[name]}"
        )
    return highest


def tree(units: list[Unit]) -> list[Command]:
    def selected(s: Session) -> Unit:
        return units[s.unit_index - 1]

    async def status(s: Session, u: Unit) -> Any:
        st = await u.status()
        s.seen(u.index, st, u.trip is not None)
        return st

    async def idn(s: Session) -> str:
        ident = selected(s).identity
        assert ident is not None

        def clean(x: object) -> str:
            return str(x).replace("\x00", "").replace(",", " ")

        return f"{MAKER},{clean(ident.model)},{clean(ident.serial_number)},{ident.software_version}"

    def reading(name: str) -> Callable[..., Awaitable[str]]:
        async def query(s: Session, u: Unit, arg: str) -> str:
            return f"{getattr(await status(s, u), name):.3f}"

        return query

    def setpoint(name: str, symbol: str, field: str) -> tuple[Callable[..., Any], Callable[..., Any]]:
        async def query(s: Session, u: Unit, arg: str) -> str:
            if arg:
                return f"{await level(u, name, arg, symbol):.3f}"
            return f"{getattr(await status(s, u), field):.3f}"

        async def setting(s: Session, u: Unit, arg: str) -> Callable[[], Awaitable[None]]:
            value = await level(u, name, arg, symbol)
            await u.check(**{name: value})
            return lambda: u.set(**{name: value})

        return query, setting

    async def output(s: Session, u: Unit, arg: str) -> Callable[[], Awaitable[None]]:
        on = boolean(arg)
        refusal = u.refusal() if on else None
        if refusal is not None:  # before any unit of a channel list is switched
            raise ScpiError(TRIPPED_ERROR, f"Settings conflict; {refusal}".replace('"', "'"))
        return lambda: u.output(on)

    async def clear_trip(s: Session, u: Unit, arg: str) -> Callable[[], Awaitable[None]]:
        return u.clear_trip

    async def tripped_q(s: Session, u: Unit, arg: str) -> str:
        return "1" if u.trip is not None else "0"

    def counter(name: str) -> Callable[..., Awaitable[str]]:
        # FETCh: what the readings so far integrated, without a reading of its own.
        async def query(s: Session, u: Unit, arg: str) -> str:
            return f"{getattr(u.counters, name):.6f}"

        return query

    async def reset_counters(s: Session, u: Unit, arg: str) -> Callable[[], Awaitable[None]]:
        return u.reset_counters

    async def output_q(s: Session, u: Unit, arg: str) -> str:
        return "1" if (await status(s, u)).output_on else "0"

    async def mode_q(s: Session, u: Unit, arg: str) -> str:
        mode = (await status(s, u)).mode
        return mode if mode in ("CV", "CC") else "OFF"

    async def fresh(s: Session) -> None:
        await status(s, selected(s))

    def register(kind: str) -> list[Command]:
        def regs(s: Session) -> Any:
            return getattr(s.unit_registers(s.unit_index), kind)

        async def event_q(s: Session) -> str:
            await fresh(s)
            return str(regs(s).read_event())

        async def condition_q(s: Session) -> str:
            await fresh(s)
            return str(regs(s).condition)

        async def enable(s: Session, arg: str) -> None:
            value = integer(arg, 0, 32767)
            setattr(s, f"{kind}_enable", value)
            for r in s.registers.values():
                getattr(r, kind).enable = value

        async def enable_q(s: Session) -> str:
            return str(regs(s).enable)

        word = "QUEStionable" if kind == "ques" else "OPERation"
        return [
            c(f"STATus:{word}:CONDition", query=condition_q),
            c(f"STATus:{word}:ENABle", query=enable_q, setting=enable, changes_state=False),
            c(f"STATus:{word}[:EVENt]", query=event_q),
        ]

    async def stb_q(s: Session) -> str:
        try:
            await fresh(s)
        except SupplyError:
            s.push(ScpiError(-240, "Hardware error; the unit did not answer"))  # the byte is still told
        return str(s.status_byte(bool(s.pending)))

    async def esr_q(s: Session) -> str:
        esr, s.esr = s.esr, 0
        return str(esr)

    async def ese(s: Session, arg: str) -> None:
        s.ese = integer(arg, 0, 255)

    async def sre(s: Session, arg: str) -> None:
        s.sre = integer(arg, 0, 255) & ~64

    async def tst_q(s: Session) -> str:
        # Only reads: nothing is switched or set.
        for u in units:
            try:
                await status(s, u)
            except SupplyError:
                s.push(ScpiError(-330, f"Self-test failed; unit {u.index} did not answer"))
                return "1"
        return "0"

    async def opc(s: Session, arg: str) -> None:
        s.esr |= 1  # every operation is complete when its command is

    async def cls(s: Session, arg: str) -> None:
        s.clear()

    async def preset(s: Session, arg: str) -> None:
        s.preset()

    async def error_q(s: Session) -> str:
        return str(s.errors.popleft()) if s.errors else '0,"No error"'

    async def errors_q(s: Session) -> str:
        if not s.errors:
            return '0,"No error"'
        text = ",".join(str(e) for e in s.errors)
        s.errors.clear()
        return text

    async def nsel(s: Session, arg: str) -> None:
        s.unit_index = integer(arg, 1, len(units))

    async def const(text: str) -> str:
        return text

    async def nothing(s: Session, arg: str) -> None:
        return None

    def c(pattern: str, query: Any = None, setting: Any = None, changes_state: bool = True, **kw: Any) -> Command:
        return Command(nodes(pattern), query, setting, changes_state, **kw)

    volt_q, volt = setpoint("voltage", "V", "voltage_set_v")
    curr_q, curr = setpoint("current", "A", "current_set_a")
    lim_q, lim = setpoint("ceiling", "V", "ceiling_v")
    unit_kw = dict(per_unit=True, query_arg=True)
    return [
        c("*IDN", query=idn),
        c("*RST", setting=lambda s, a: selected(s).reset(), takes_arg=False),
        c("*CLS", setting=cls, changes_state=False, takes_arg=False),
        c("*OPC", query=lambda s: const("1"), setting=opc, changes_state=False, takes_arg=False),
        c("*WAI", setting=nothing, changes_state=False, takes_arg=False),
        c("*STB", query=stb_q),
        c("*ESR", query=esr_q),
        c("*ESE", query=lambda s: const(str(s.ese)), setting=ese, changes_state=False),
        c("*SRE", query=lambda s: const(str(s.sre)), setting=sre, changes_state=False),
        c("*TST", query=tst_q),
        c("*OPT", query=lambda s: const("0")),
        c("SYSTem:ERRor:COUNt", query=lambda s: const(str(len(s.errors)))),
        c("SYSTem:ERRor:ALL", query=errors_q),
        c("SYSTem:ERRor[:NEXT]", query=error_q),
        c("SYSTem:VERSion", query=lambda s: const(SCPI_VERSION)),
        c("SYSTem:REMote", setting=lambda s, a: selected(s).remote()),
        c("SYSTem:LOCal", setting=lambda s, a: selected(s).local()),
        c("[SOURce:]VOLTage:LIMit[:LEVel]", query=lim_q, setting=lim, **unit_kw),
        c("[SOURce:]VOLTage[:LEVel][:IMMediate][:AMPLitude]", query=volt_q, setting=volt, **unit_kw),
        c("[SOURce:]CURRent[:LEVel][:IMMediate][:AMPLitude]", query=curr_q, setting=curr, **unit_kw),
        c("OUTPut:MODE", query=mode_q, per_unit=True),
        c("OUTPut[:STATe]", query=output_q, setting=output, per_unit=True),
        c("OUTPut:PROTection:CLEar", setting=clear_trip, per_unit=True, takes_arg=False),
        c("OUTPut:PROTection:TRIPped", query=tripped_q, per_unit=True),
        c("FETCh[:SCALar]:WHOur", query=counter("energy_wh"), per_unit=True),
        c("FETCh[:SCALar]:AHOur", query=counter("charge_ah"), per_unit=True),
        c("SENSe:AHOur:RESet", setting=reset_counters, per_unit=True, takes_arg=False),
        c("MEASure[:SCALar]:VOLTage[:DC]", query=reading("voltage_v"), per_unit=True),
        c("MEASure[:SCALar]:CURRent[:DC]", query=reading("current_a"), per_unit=True),
        c("MEASure[:SCALar]:POWer[:DC]", query=reading("power_w"), per_unit=True),
        *register("ques"),
        *register("oper"),
        c("STATus:PRESet", setting=preset, changes_state=False),
        c(
            "INSTrument[:SELect]:NSELect",
            query=lambda s: const(str(s.unit_index)),
            setting=nsel,
            changes_state=False,
        ),
        c("INSTrument:CATalog[:FULL]", query=lambda s: const(",".join(f'"{u.name}"' for u in units))),
    ]
