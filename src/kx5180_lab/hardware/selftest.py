"""The self-test: learn what a unit does, without risk to it or to
what is connected to it.

The output stays off throughout (unless --with-output, with limits);
every setpoint it touches is put back as it was found, and the unit is
left with its output off and the front panel in control, also when a
check fails, on Ctrl-C and on SIGTERM. The result is a JSON report and a
capture of every frame, to attach to an issue.
"""

from __future__ import annotations

import argparse
import os
import statistics
import time
from collections.abc import Callable
from typing import Any

from ..errors import SupplyError
from ..instrument.driver import SUPPORTED_MODELS
from ..instrument.replies import traced_port
from ..instrument.supply import Supply
from ..records import Status
from ..wire import FRAME, STATUS_WORD

FORMAT = "kx5180-selftest"

# How far the "nearby" value lies from the one found.
NEAR = {"voltage": 0.1, "current": 0.01, "ceiling": 0.1}
FIELD = {"voltage": "voltage_set_v", "current": "current_set_a", "ceiling": "ceiling_v"}
UNIT = {"voltage": "V", "current": "A", "ceiling": "V"}


def host() -> dict[str, Any]:
    """What the self-test ran on, for whoever reads the report: the
    platform, Python, pyserial and the host's load (None where the system
    does not tell it)."""
    import platform

    import serial

    try:
        load: list[float] | None = [round(x, 2) for x in os.getloadavg()]
    except (AttributeError, OSError):  # Windows has none
        load = None
    return {
        "platform": platform.platform(),
        "python": platform.python_version(),
        "pyserial": getattr(serial, "__version__", "unknown"),
        "cpus": os.cpu_count(),
        "load_average": load,
    }


def host_busy() -> str:
    """Says "load L on N cores" when the last minute's load average is at
    or above the number of cores; "" otherwise."""
    load, cpus = host()["load_average"], os.cpu_count() or 1
    return f"load {load[0]:g} on {cpus} cores" if load and load[0] >= cpus else ""


def _milli(value: float) -> int:
    return round(value * 1000)


class SelfTest:
    def __init__(self, psu: Supply, args: argparse.Namespace, say: Callable[[str], None]) -> None:
        self.psu = psu
        self.args = args
        self.say = say
        self.checks: list[dict[str, Any]] = []
        self.report: dict[str, Any] = {}
        self.found: Status | None = None
        self.touched = False

    def check(self, name: str, passed: bool, detail: str = "", **data: Any) -> bool:
        self.checks.append({"name": name, "passed": bool(passed), "detail": detail, **data})
        self.say(f"{'PASS' if passed else 'FAIL'}  {name}" + (f": {detail}" if detail else ""))
        return passed

    def _reply_word(self, kind: str) -> None:
        port = traced_port(self.psu.driver)
        reply = port.last_reply if port is not None else None
        if reply is None:
            return
        self.report.setdefault("replies", {})[kind] = {
            "command_word": f"0x{reply[2]:02X}",
            "address": reply[1],
            "data": reply[3:7].hex(" "),
        }

    def _set_checked(self, name: str, setting: str, value: float) -> bool:
        """Sends one setpoint and reads it back. Past the unit's ceiling: a
        unit may be found with its setpoint above it, and that is what is
        written back."""
        try:
            self.psu._set_past_ceiling(**{setting: value}, verify=True)
        except SupplyError as e:
            return self.check(name, False, str(e))
        return self.check(name, True, f"{value:.3f} {UNIT[setting]} read back")

    def run(self) -> None:
        psu = self.psu
        ident = psu.identity()
        self._reply_word("identity")
        self.report["identity"] = ident.as_dict()
        self.check("identity", ident.model in SUPPORTED_MODELS, f"model {ident.model}, address {ident.address}")
        try:
            found = psu.status()
        except SupplyError as e:
            self.check("status", False, str(e))
            return
        self._reply_word("status")
        self.found = found
        self.report["found"] = found.as_dict()
        self.check(
            "status", True, f"output {'on' if found.output_on else 'off'}, {'remote' if found.remote else 'local'}"
        )
        if found.output_on:
            self.check("output off at the start", False, "the output is on: switch it off and run the self-test again")
            return
        self.touched = True
        try:
            psu.set_remote()
        except SupplyError as e:
            self.check("computer control", False, str(e))
            return
        self._reply_word("setting")
        for setting in ("voltage", "current", "ceiling"):
            self._setpoint(setting, found)
        self._ceiling(found)
        self._reply_times()
        if self.args.with_output:
            self._with_output(found)

    def _setpoint(self, setting: str, found: Status) -> None:
        value = getattr(found, FIELD[setting])
        self._set_checked(f"{setting} written back unchanged", setting, value)
        step = NEAR[setting]
        near = value - step if value - step >= 0 else value + step
        if setting == "voltage" and near > found.ceiling_v:
            near = max(0.0, value - step)
        self._set_checked(f"{setting} set to a nearby value", setting, round(near, 3))
        self._set_checked(f"{setting} restored", setting, value)

    def _ceiling(self, found: Status) -> None:
        """Lowers the ceiling just below the voltage setpoint and sends that
        setpoint again: is it kept, clamped or refused? Nothing is set
        higher than it was."""
        v = found.voltage_set_v
        if v < 0.2:
            self.report["ceiling"] = {"tested": False, "why": "voltage setpoint below 0.2 V"}
            return
        ceiling = round(v - 0.1, 3)
        outcome: dict[str, Any] = {"tested": True, "ceiling_v": ceiling, "voltage_sent_v": v}
        try:
            self.psu.set(ceiling=ceiling, verify=True)
            try:
                # The one setpoint above the ceiling on purpose: Supply.set
                # would refuse it unsent.
                self.psu._set_past_ceiling(voltage=v)
                outcome["answered"] = True
            except SupplyError as e:
                outcome["answered"] = False
                outcome["error"] = str(e)
            after = self.psu.status()
            outcome["voltage_set_read_v"] = after.voltage_set_v
            outcome["ceiling_read_v"] = after.ceiling_v
            if _milli(after.voltage_set_v) == _milli(v):
                outcome["behaviour"] = "setpoint kept above the ceiling (the output would be limited)"
            elif _milli(after.voltage_set_v) == _milli(ceiling):
                outcome["behaviour"] = "setpoint clamped to the ceiling"
            else:
                outcome["behaviour"] = "other"
            self.report["ceiling"] = outcome
            self.check("ceiling against the voltage setpoint", True, outcome["behaviour"])
        except SupplyError as e:
            self.report["ceiling"] = outcome
            self.check("ceiling against the voltage setpoint", False, str(e))
        finally:
            try:
                self.psu._set_past_ceiling(ceiling=found.ceiling_v, voltage=v, verify=True)
                self.check("ceiling and voltage restored", True)
            except SupplyError as e:
                self.check("ceiling and voltage restored", False, str(e))

    def _reply_times(self) -> None:
        times: list[float] = []
        late_ms: list[float] = []
        missed = 0
        # A read without answer ends its window at its "no_reply"; a status
        # frame that comes after it, before the next command goes out, is a
        # late reply, not a silence: on a busy host the host's lateness as
        # much as the unit's.
        window_end: list[float] = []

        def watch(event: dict[str, Any]) -> None:
            if event["event"] == "no_reply":
                window_end[:] = [float(event["t"])]
            elif event["event"] == "tx":
                window_end.clear()  # the next command: what comes now is its own
            elif event["event"] == "rx" and window_end:
                data = bytes.fromhex(event.get("hex", ""))
                if len(data) == FRAME and data[2] == STATUS_WORD:
                    late_ms.append(round(max(0.0, float(event["seen"]) - window_end.pop()) * 1000, 1))

        port = traced_port(self.psu.driver)
        if port is not None:
            port.subscribers.append(watch)
        try:
            for _ in range(max(1, self.args.reads)):
                start = time.perf_counter()
                try:
                    self.psu.status()
                except SupplyError:
                    missed += 1
                    continue
                times.append(time.perf_counter() - start)
        finally:
            if port is not None:
                port.subscribers.remove(watch)
        unanswered = missed - len(late_ms)
        stats: dict[str, Any] = {
            "reads": len(times) + missed,
            "missed": missed,
            "late": len(late_ms),
            "late_ms": late_ms,
            "unanswered": unanswered,
            "resolution_s": 0.01,
        }
        if times:
            times.sort()
            p95 = times[min(len(times) - 1, int(round(0.95 * (len(times) - 1))))]
            stats.update(
                min_s=round(times[0], 6),
                median_s=round(statistics.median(times), 6),
                p95_s=round(p95, 6),
                max_s=round(times[-1], 6),
            )
        self.report["reply_time"] = stats
        detail = (
            f"{len(times)} of {stats['reads']} answered; min {stats['min_s'] * 1000:.1f} ms, median "
            f"{stats['median_s'] * 1000:.1f} ms, p95 {stats['p95_s'] * 1000:.1f} ms, max {stats['max_s'] * 1000:.1f} ms"
            if times
            else "no status read was answered"
        )
        if late_ms:
            detail += f"; {len(late_ms)} late by {', '.join(f'{ms:g}' for ms in late_ms)} ms after the window"
        busy = host_busy()
        if late_ms and busy:
            detail += f" (the host was busy: {busy}; its lateness, not necessarily the unit's)"
        if unanswered:
            detail += f"; {unanswered} never answered"
        # A late reply on a busy host does not fail the unit; one on an idle
        # host, or none at all, does.
        self.check("reply time", unanswered == 0 and (not late_ms or bool(busy)), detail)

    def _with_output(self, found: Status) -> None:
        volts = round(min(1.0, self.args.max_voltage), 3)
        amps = round(min(0.1, self.args.max_current), 3)
        measured: dict[str, Any] = {"voltage_set_v": volts, "current_set_a": amps}
        try:
            self.psu.set(voltage=volts, current=amps, verify=True)
            self.psu.output(True)
            time.sleep(0.5)
            st = self.psu.status()
            measured.update(voltage_v=st.voltage_v, current_a=st.current_a, mode=st.mode, output_on=st.output_on)
            ok = st.output_on and st.voltage_v <= self.args.max_voltage + 0.05
            self.check("output at a low setpoint", ok, f"{st.voltage_v:.3f} V, {st.current_a:.3f} A, {st.mode}")
        except SupplyError as e:
            self.check("output at a low setpoint", False, str(e))
        finally:
            self.report["output"] = measured
            try:
                self.psu.output(False)
            except SupplyError as e:
                self.check("output off again", False, str(e))

    def restore(self) -> None:
        """Setpoints as found, output off, front panel in control; then one
        check that it is so."""
        if not self.touched:
            return
        found = self.found
        problems = []
        psu = self.psu

        def setpoints() -> None:
            if found is not None:
                psu._set_past_ceiling(voltage=found.voltage_set_v, current=found.current_set_a, ceiling=found.ceiling_v)

        actions: list[tuple[str, Callable[[], None]]] = [
            ("output off", lambda: psu.output(False)),
            ("setpoints", setpoints),
            ("front panel", psu.set_local),
        ]
        for what, action in actions:
            for attempt in (1, 2):
                try:
                    action()
                    break
                except SupplyError as e:
                    if attempt == 2:
                        problems.append(f"{what}: {e}")
        try:
            end = psu.status()
        except SupplyError as e:
            self.check("left as found", False, f"cannot read the final state: {e}")
            return
        self.report["left"] = end.as_dict()
        if found is not None:
            for field in ("voltage_set_v", "current_set_a", "ceiling_v"):
                if _milli(getattr(end, field)) != _milli(getattr(found, field)):
                    problems.append(f"{field} {getattr(end, field):.3f}, found {getattr(found, field):.3f}")
        if end.output_on:
            problems.append("output on")
        if end.remote:
            problems.append("still under computer control")
        self.check(
            "left as found",
            not problems,
            "; ".join(problems) or "output off, front panel in control, setpoints as found",
        )
