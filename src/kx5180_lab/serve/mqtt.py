"""`kx5180 serve --mqtt URL`: each unit's state on an MQTT broker, its
availability, Home Assistant discovery, and (with `--mqtt-control`)
changes asked on its `set` topic.

One client per unit, each with the unit's "offline" as its last will, so
that a server that dies leaves no unit shown online. paho's own thread
keeps each connection and reconnects with a growing delay; a broker that
goes away is told once on the console and never stops the server or
touches a unit. Changes go through `Unit.apply`, as those of every other
client: the same limits, trips and line worker.
"""

from __future__ import annotations

import asyncio
import json
import logging
import ssl
from dataclasses import dataclass
from typing import Any
from urllib.parse import unquote, urlsplit

from ..errors import LimitError, SupplyError
from .http import MAX_BODY, HttpError, checked_changes
from .units import Hub, Unit

log = logging.getLogger("kx5180.serve")

PREFIX = "kx5180"
DISCOVERY = "homeassistant"
INSTALL = "--mqtt needs paho-mqtt: pip install 'kx5180[mqtt]'"
# The largest current a frame carries, for a number entity's range when
# the server sets no --max-current.
FRAME_MAX_A = 65.535


@dataclass(frozen=True)
class Broker:
    host: str
    port: int
    username: str | None
    password: str | None
    tls: bool


def parse_url(url: str, tls: bool) -> Broker:
    """mqtt://[user:password@]host[:port] (mqtts:// for TLS). Raises
    ValueError with the reason."""
    try:
        parts = urlsplit(url)
        port = parts.port
    except ValueError as e:
        raise ValueError(f"--mqtt: {e}") from None
    if parts.scheme not in ("mqtt", "mqtts") or not parts.hostname or parts.path not in ("", "/") or parts.query:
        raise ValueError(f"--mqtt: {url!r} is not mqtt://[user:password@]host[:port]")
    tls = tls or parts.scheme == "mqtts"
    username = unquote(parts.username) if parts.username is not None else None
    password = unquote(parts.password) if parts.password is not None else None
    return Broker(parts.hostname, port or (8883 if tls else 1883), username, password, tls)


def available() -> bool:
    try:
        import paho.mqtt.client  # noqa: F401
    except ImportError:
        return False
    return True


def base(unit: Unit) -> str:
    return f"{PREFIX}/{unit.id.partition('/')[2]}"


def state(unit: Unit, event: dict[str, Any]) -> dict[str, Any]:
    out = {k: v for k, v in event.items() if k != "unit"}
    out.update(id=unit.id, unit=unit.index, power_w=round(event["voltage_v"] * event["current_a"], 6))
    return out


def discovery(unit: Unit, control: bool, max_voltage: float, max_current: float) -> dict[str, dict[str, Any]]:
    """Home Assistant's discovery configs for one unit, by topic."""
    ident = unit.identity
    topic = base(unit)
    uid = unit.id.replace("/", "_")
    device = {
        "identifiers": [f"kx5180_{uid}"],
        "name": unit.id,
        "model": ident.model.replace("\0", "").strip() if ident else "",
        "serial_number": topic.partition("/")[2],
        "sw_version": str(ident.software_version) if ident else "",
    }
    common = {"availability_topic": f"{topic}/availability", "state_topic": f"{topic}/state", "device": device}
    configs: dict[str, dict[str, Any]] = {}

    def add(kind: str, key: str, name: str, **extra: Any) -> None:
        configs[f"{DISCOVERY}/{kind}/{uid}/{key}/config"] = {
            **common,
            "name": name,
            "unique_id": f"{uid}_{key}",
            "object_id": f"kx5180_{uid}_{key}",
            **extra,
        }

    for key, name, unit_of, dclass in (
        ("voltage_v", "Voltage", "V", "voltage"),
        ("current_a", "Current", "A", "current"),
        ("power_w", "Power", "W", "power"),
    ):
        add("sensor", key, name, value_template=f"{{{{ value_json.{key} }}}}", unit_of_measurement=unit_of,
            device_class=dclass, state_class="measurement")  # fmt: skip
    add("sensor", "mode", "Regulation", value_template="{{ value_json.mode }}")
    add("sensor", "fan_speed", "Fan", value_template="{{ value_json.fan_speed }}", entity_category="diagnostic")
    add("binary_sensor", "over_temperature", "Over-temperature", device_class="heat",
        value_template="{{ 'ON' if value_json.over_temperature else 'OFF' }}")  # fmt: skip
    on_template = "{{ 'ON' if value_json.output_on else 'OFF' }}"
    if not control:
        # Shown, never offered as a control the server would refuse.
        add("binary_sensor", "output", "Output", device_class="power", value_template=on_template)
        for key, name, unit_of in (("voltage_set_v", "Voltage setpoint", "V"), ("current_set_a", "Current limit", "A")):
            add("sensor", key, name, value_template=f"{{{{ value_json.{key} }}}}", unit_of_measurement=unit_of)
        return configs
    add("switch", "output", "Output", command_topic=f"{topic}/set", value_template=on_template,
        payload_on='{"output": true}', payload_off='{"output": false}', state_on="ON", state_off="OFF")  # fmt: skip
    for key, field, name, unit_of, top in (
        ("voltage_set_v", "voltage", "Voltage setpoint", "V", max_voltage),
        ("current_set_a", "current", "Current limit", "A", max_current),
    ):
        add("number", key, name, command_topic=f"{topic}/set", value_template=f"{{{{ value_json.{key} }}}}",
            command_template=f'{{"{field}": {{{{ value }}}}}}', min=0, max=top, step=0.001, mode="box",
            unit_of_measurement=unit_of)  # fmt: skip
    return configs


class Bridge:
    """The units on one broker. `start` and `close` on the event loop;
    paho's callbacks come on its threads and hand their work to the loop."""

    def __init__(
        self,
        units: list[Unit],
        hub: Hub,
        broker: Broker,
        *,
        host: str,
        ca: str | None,
        control: bool,
        max_voltage: float | None,
        max_current: float | None,
    ) -> None:
        self.units, self.hub, self.broker = units, hub, broker
        self.host, self.ca, self.control = host, ca, control
        self.max_voltage, self.max_current = max_voltage, max_current
        self.clients: dict[int, Any] = {}
        self.loop: asyncio.AbstractEventLoop | None = None
        self.queue: asyncio.Queue[dict[str, Any]] | None = None
        self.task: asyncio.Task[None] | None = None
        self.connected: set[int] = set()
        self.lost_told = False
        self.configs: dict[int, dict[str, dict[str, Any]]] = {}
        self.pending: set[asyncio.Task[None]] = set()

    @property
    def where(self) -> str:
        return f"{self.broker.host}:{self.broker.port}"

    async def start(self) -> None:
        import paho.mqtt.client as mqtt
        from paho.mqtt.enums import CallbackAPIVersion

        self.loop = asyncio.get_running_loop()
        for unit in self.units:
            highest = await unit.highest("voltage")
            top_v = highest if highest is not None else 0.0
            top_a = self.max_current if self.max_current is not None else FRAME_MAX_A
            self.configs[unit.index] = discovery(unit, self.control, top_v, top_a)
        context = None
        if self.broker.tls or self.ca:
            context = ssl.create_default_context(cafile=self.ca)
        for unit in self.units:
            client = mqtt.Client(
                CallbackAPIVersion.VERSION2, client_id=f"kx5180-{unit.id.replace('/', '-')}", clean_session=True
            )
            if self.broker.username is not None:
                client.username_pw_set(self.broker.username, self.broker.password)
            if context is not None:
                client.tls_set_context(context)
            client.will_set(f"{base(unit)}/availability", "offline", qos=1, retain=True)
            client.reconnect_delay_set(min_delay=1, max_delay=60)
            client.on_connect = lambda c, _u, _f, rc, _p, unit=unit: self._connected(c, unit, rc)
            client.on_disconnect = lambda _c, _u, _f, rc, _p, unit=unit: self._lost(unit, rc)
            client.on_connect_fail = lambda _c, _u: self._tell_lost(f"MQTT broker {self.where} unreachable; retrying")
            client.on_message = lambda _c, _u, msg, unit=unit: self._message(unit, msg)
            client.connect_async(self.broker.host, self.broker.port, keepalive=30)
            client.loop_start()
            self.clients[unit.index] = client
        # A viewer of the hub: the poller reads at its pace while the broker listens.
        self.queue = self.hub.subscribe()
        self.task = asyncio.create_task(self._publish_states())

    # -- paho's threads ---------------------------------------------------------

    def _connected(self, client: Any, unit: Unit, rc: Any) -> None:
        if rc.is_failure:
            self._tell_lost(f"MQTT broker {self.where} refused the connection: {rc}; retrying")
            return
        topic = base(unit)
        for config_topic, config in self.configs[unit.index].items():
            client.publish(config_topic, json.dumps(config), qos=1, retain=True)
        client.publish(f"{topic}/availability", "online", qos=1, retain=True)
        client.subscribe(f"{topic}/set", qos=1)
        self.connected.add(unit.index)
        if len(self.connected) == len(self.units):
            log.info("MQTT: %d unit(s) on %s%s", len(self.units), self.where, "" if self.control else " (read only)")
            self.lost_told = False

    def _lost(self, unit: Unit, rc: Any) -> None:
        self.connected.discard(unit.index)
        self._tell_lost(f"MQTT broker {self.where} lost ({rc}); retrying")

    def _tell_lost(self, text: str) -> None:
        if not self.lost_told:
            self.lost_told = True
            log.warning("%s", text)

    def _message(self, unit: Unit, msg: Any) -> None:
        assert self.loop is not None
        payload = bytes(msg.payload)
        self.loop.call_soon_threadsafe(self._spawn, unit, payload)

    def _spawn(self, unit: Unit, payload: bytes) -> None:
        task = asyncio.ensure_future(self._command(unit, payload))
        self.pending.add(task)
        task.add_done_callback(self.pending.discard)

    # -- the event loop ------------------------------------------------------------

    async def _command(self, unit: Unit, payload: bytes) -> None:
        result: dict[str, Any]
        try:
            if not self.control:
                raise HttpError(403, "changes over MQTT are off (start the server with --mqtt-control)")
            if len(payload) > MAX_BODY:
                raise HttpError(413, f"message larger than {MAX_BODY} bytes")
            try:
                data = json.loads(payload or b"null", parse_int=float)
            except (ValueError, RecursionError):
                raise HttpError(400, "message is not JSON") from None
            changes = checked_changes(data)
            self.hub.touch()  # a client that may act spoke, for the watchdog
            st = await unit.apply(changes)
            result = {"ok": True, "id": unit.id, "status": st.as_dict()}
        except HttpError as e:
            result = {"ok": False, "id": unit.id, "error": str(e)}
        except (LimitError, SupplyError) as e:
            result = {"ok": False, "id": unit.id, "error": str(e)}
        except Exception as e:  # a fault of ours still answers; the console gets one line
            log.error("MQTT %s: %s: %s", base(unit), type(e).__name__, e)
            result = {"ok": False, "id": unit.id, "error": f"{type(e).__name__}: {e}"}
        client = self.clients.get(unit.index)
        if client is not None:
            client.publish(f"{base(unit)}/result", json.dumps(result), qos=1)

    async def _publish_states(self) -> None:
        assert self.queue is not None
        by_index = {u.index: u for u in self.units}
        while True:
            event = await self.queue.get()
            unit = by_index.get(event.get("unit", 0))
            client = self.clients.get(unit.index) if unit else None
            if unit is not None and client is not None and unit.index in self.connected:
                client.publish(f"{base(unit)}/state", json.dumps(state(unit, event)))

    def close(self) -> None:
        """Blocking, briefly: "offline" for each unit, then each client
        ends. A broker that does not take them in time is left to the wills."""
        if self.task is not None:
            self.task.cancel()
        if self.queue is not None:
            self.hub.unsubscribe(self.queue)
        sent = []
        for index, client in self.clients.items():
            unit = next(u for u in self.units if u.index == index)
            if index in self.connected:
                sent.append(client.publish(f"{base(unit)}/availability", "offline", qos=1, retain=True))
        for info in sent:
            try:
                info.wait_for_publish(timeout=2.0)
            except (RuntimeError, ValueError):
                pass  # the connection went meanwhile: the will says it
        for client in self.clients.values():
            client.disconnect()
            client.loop_stop()
