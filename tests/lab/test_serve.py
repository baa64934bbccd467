"""`kx5180 serve` run as a real program against kx5180-sim, reached by
real clients: PyVISA, plain sockets, HTTP, and a headless browser."""

import asyncio
import contextlib
import http.client
import json
import os
import shutil
import signal
import socket
import subprocess
import sysconfig
import threading
import time
import types

import pytest

from conftest import DEFAULT_SIGNALS
from kx5180_lab import Bus
from kx5180_lab.capture import read_capture
from kx5180_lab.records import Identity, Status
from kx5180_lab.serve.metrics import exposition
from kx5180_lab.serve.safety import host_allowed, origin_allowed, setting_allowed
from kx5180_lab.simulator import find_simulator

SCRIPTS = sysconfig.get_path("scripts")
KX = os.path.join(SCRIPTS, "kx5180") if os.path.exists(os.path.join(SCRIPTS, "kx5180")) else shutil.which("kx5180")
needs_server = pytest.mark.skipif(KX is None or find_simulator() is None, reason="needs kx5180 and kx5180-sim")
TOKEN = "test-token-123"
POWER = "power-token-456"


class Server:
    """A running `kx5180 serve`, its ports read from what it prints."""

    def __init__(self, *args):
        self.proc = subprocess.Popen(
            [KX, "serve", "--scpi-port", "0", "--http-port", "0", "--token", TOKEN, *map(str, args)],
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            text=True,
            preexec_fn=DEFAULT_SIGNALS,
        )
        self.scpi_port = self.http_port = self.power_token = None
        for line in self.proc.stdout:
            if line.startswith("SCPI on "):
                self.scpi_port = int(line.split()[2].rsplit(":", 1)[1])
            elif line.startswith("HTTP on "):
                self.http_port = int(line.split("/")[2].rsplit(":", 1)[1])
            elif line.startswith("power token "):
                self.power_token = line.split()[2]
            elif line.startswith("token "):
                break
        else:
            raise AssertionError(f"serve did not start: {self.proc.stderr.read()}")

    def stop(self, signum=signal.SIGTERM):
        """Stops the server by `signum` and waits for its end; SIGTERM only
        if that signal has not ended it within 20 s."""
        if self.proc.poll() is None:
            self.proc.send_signal(signum)
        try:
            out, err = self.proc.communicate(timeout=20)
        except subprocess.TimeoutExpired:
            self.proc.send_signal(signal.SIGTERM)
            out, err = self.proc.communicate(timeout=20)
        return self.proc.returncode, err

    # -- clients --------------------------------------------------------------

    def scpi(self, host="127.0.0.1"):
        s = socket.create_connection((host, self.scpi_port), timeout=5)
        return s, s.makefile("rwb")

    def http(self, method, path, body=None, headers=(), host=None):
        conn = http.client.HTTPConnection("127.0.0.1", self.http_port, timeout=10)
        hdrs = {"Host": host or f"127.0.0.1:{self.http_port}", **dict(headers)}
        if isinstance(body, dict):
            body = json.dumps(body)
            hdrs.setdefault("Content-Type", "application/json")
        conn.request(method, path, body=body, headers=hdrs)
        response = conn.getresponse()
        data = response.read().decode()
        conn.close()
        return response.status, data

    def status(self, unit=1):
        code, data = self.http("GET", f"/api/units/{unit}")
        assert code == 200, data
        return json.loads(data)["status"]

    def raw(self, request):
        """The status code the server answers these bytes with (None: no answer)."""
        with socket.create_connection(("127.0.0.1", self.http_port), timeout=10) as s:
            s.sendall(request)
            try:
                line = s.makefile("rb").readline()
            except OSError:
                return None
        return int(line.split()[1]) if line else None

    def whole(self, request, then=b""):
        """Everything the server sends for `request` (and `then`, sent once
        the first answer's head is in) until it closes, as (head, body)s."""
        with socket.create_connection(("127.0.0.1", self.http_port), timeout=10) as s:
            s.sendall(request)
            data = b""
            while b"\r\n\r\n" not in data:
                data += s.recv(65536)
            s.sendall(then)
            deadline = time.monotonic() + 10  # a stream that never ends fails, never hangs
            while (chunk := s.recv(65536)) and time.monotonic() < deadline:
                data += chunk
            assert not chunk, "the server never closed"
        answers = []
        while data:
            head, _, data = data.partition(b"\r\n\r\n")
            length = dict(h.split(": ", 1) for h in head.decode().split("\r\n")[1:]).get("Content-Length")
            size = 0 if head.startswith(b"HTTP/1.1 1") else len(data) if length is None else int(length)
            answers.append((head.decode(), data[:size]))
            data = data[size:]
        return answers


@pytest.fixture
def serve(kx5180_sim):
    started = []

    def start(*args, sim_options=None):
        sim = kx5180_sim(**{"baud": 0, "units": 2, **(sim_options or {})})
        server = Server(*[f"{sim.port}@{a}" for a in (1, 2)], *args)
        started.append(server)
        return sim, server

    yield start
    for server in started:
        server.stop()


def ask(f, line):
    f.write(line.encode() + b"\n")
    f.flush()
    return f.readline().decode().rstrip("\n")


# -- SCPI ---------------------------------------------------------------------------


@needs_server
def test_pyvisa_client_sets_switches_and_measures(serve):
    pyvisa = pytest.importorskip("pyvisa", reason="pyvisa is not installed (pip install 'kx5180[test]')")
    pytest.importorskip("pyvisa_py", reason="pyvisa-py is not installed (pip install 'kx5180[test]')")
    _, server = serve("--max-voltage", "12")
    rm = pyvisa.ResourceManager("@py")
    resource = f"TCPIP::127.0.0.1::{server.scpi_port}::SOCKET"
    a, b = rm.open_resource(resource), rm.open_resource(resource)
    try:
        for inst in (a, b):
            inst.read_termination = inst.write_termination = "\n"
            inst.timeout = 5000
        assert a.query("*IDN?") == "kx5180 project,5180,518000001,373"
        a.write("VOLT 5;CURR 0.4")
        a.write("OUTP ON")
        assert a.query("OUTP?") == "1"
        measured = float(a.query("MEAS:VOLT?"))
        st = server.status(1)
        assert st["output_on"] and measured == pytest.approx(st["voltage_v"]) == pytest.approx(
            4.0
        )  # 0.4 A x 10 ohm: CC
        assert a.query("OUTP:MODE?") == "CC" and a.query("STAT:QUES:COND?") == "2"

        # Two clients at once, each on its own unit, neither disturbs the other.
        b.write("INST:NSEL 2")
        answers = {}

        def hammer(inst, key):
            answers[key] = [inst.query("SOUR:VOLT?") for _ in range(10)]

        threads = [threading.Thread(target=hammer, args=(inst, key)) for inst, key in ((a, "a"), (b, "b"))]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert set(answers["a"]) == {"5.000"} and set(answers["b"]) == {"5.000"}
        assert b.query("INST:NSEL?") == "2" and b.query("OUTP?") == "0"

        # A malformed line: an error in the queue, and the connection goes on.
        a.write("VOLT:FROB 3")
        a.write("VOLT 99")
        assert a.query("SYST:ERR?") == '-113,"Undefined header"'
        assert a.query("SYST:ERR?") == '-222,"Data out of range"'
        assert a.query("SYST:ERR?") == '0,"No error"'
        assert a.query("MEAS:VOLT?") == f"{measured:.3f}"
    finally:
        a.close()
        b.close()
        rm.close()


@needs_server
def test_scpi_forms_chaining_and_errors(serve):
    _, server = serve("--max-voltage", "12", "--max-current", "2")
    s, f = server.scpi()
    with s, f:
        table = [
            # (line, answer or None, the error it queues or None)
            (":sour:volt:lev:imm:ampl 2.5;:SOURCE:VOLTAGE?", "2.500", None),
            ("volt 1500 mV;VOLT?", "1.500", None),
            ("MEAS:VOLT?;CURR?", "0.000;0.000", None),  # CURR? takes the MEAS: path
            ("CURR MAX;curr?", "2.000", None),
            ("VOLT:LIM 9;VOLT:LIM?", "9.000", None),
            ("VOLT 9.001", None, '-222,"Data out of range"'),  # above the unit's ceiling, within --max-voltage
            ("*ESR?;*ESR?", "16;0", None),  # the execution error, once
            ("VOLT MAX;VOLT?;VOLT? MAX;CURR? MAX;VOLT? MIN;CURR? DEF", "9.000;9.000;2.000;0.000;0.000", None),
            ("VOLT 12.001", None, '-222,"Data out of range"'),
            ("VOLT 2.5,(@2);VOLT? (@2);MEAS:VOLT? (@1:2);INST:NSEL?", "2.500;0.000,0.000;1", None),
            ("VOLT 3,(@1,3)", None, '-222,"Data out of range"'),
            ("*ESE 60;*ESE?;*SRE 255;*SRE?;*OPT?;*TST?", "60;191;0;0", None),
            ("CURR abc", None, '-104,"Data type error"'),
            ("OUTP maybe", None, '-104,"Data type error"'),
            ("VOLT", None, '-109,"Missing parameter"'),
            ("*IDN? now", None, '-108,"Parameter not allowed"'),
            ("INST:NSEL 3", None, '-222,"Data out of range"'),
            ("VOLT 1;;VOLT 2", None, '-102,"Syntax error"'),
            ("\x01\x02", None, '-102,"Syntax error"'),
            ("X" * 5000, None, '-223,"Too much data"'),
        ]
        for line, answer, error in table:
            if answer is not None:
                assert ask(f, line) == answer, line
            else:
                f.write(line.encode() + b"\n")
            assert ask(f, "SYST:ERR?") == (error or '0,"No error"'), line
        # The value before the error in a chained line stayed, the one after was never sent.
        assert ask(f, "VOLT?") == "1.000"
        f.write(b"VOLT 99\nCURR abc\n")
        assert ask(f, "SYST:ERR:COUN?;*STB?") == "2;116"  # EAV, MAV (the count waits), ESB and MSS
        assert ask(f, "SYST:ERR:ALL?") == '-222,"Data out of range",-104,"Data type error"'
        assert ask(f, "*CLS;*ESR?;*STB?;SYST:ERR:COUN?") == "0;80;0"  # MAV and MSS alone: the answer before
        ask(f, "VOLT 1;CURR 1;OUTP ON;*OPC?")  # 0.1 A into 10 ohm: CV
        assert ask(f, "STAT:QUES:ENAB 3;*STB?;STAT:QUES?;STAT:QUES?;STAT:QUES:COND?") == "72;1;0;1"  # summary, MSS
        assert ask(f, "STAT:OPER?;STAT:PRES;STAT:QUES:ENAB?;OUTP OFF") == "256;0"
        ask(f, "*RST;*OPC?")
        st = server.status(1)
        assert (st["output_on"], st["voltage_set_v"], st["current_set_a"]) == (False, 0.0, 0.0)


def until(check, what, timeout=10):
    """Waits for `check()` to be true (asking it at its own pace)."""
    deadline = time.monotonic() + timeout
    while not check():
        assert time.monotonic() < deadline, what


@needs_server
def test_a_trip_holds_that_unit_off_until_cleared_and_the_counters_count(serve):
    # Nobody watches: the poller reads the units for their trips all the same.
    _, server = serve("--trip-current", "0.45", "--poll", "0.1")
    token = {"X-Kx5180-Token": TOKEN}
    s, f = server.scpi()
    with s, f:
        # 5 V at 1 A into 10 ohm: 0.5 A on unit 1; unit 2 held at 0.3 A.
        assert ask(f, "CURR 0.3,(@2);OUTP ON,(@2);OUTP ON;*OPC?") == "1"
        until(lambda: ask(f, "OUTP:PROT:TRIP?") == "1", "unit 1 never tripped")
        assert ask(f, "OUTP?;STAT:QUES:COND?;STAT:QUES?;OUTP:PROT:TRIP? (@2)") == "0;512;512;0"
        tripped = '-300,"Device-specific error; unit 1 tripped: current 0.500 A above the trip 0.450 A, output off"'
        assert ask(f, "SYST:ERR:ALL?") == tripped
        st = server.status(1)
        assert (st["output_on"], st["remote"], st["trip"]["quantity"], st["trip"]["value"]) == (
            False,
            False,
            "current",
            0.5,
        )
        assert st["trip"]["status"]["current_a"] == 0.5 and server.status(2)["trip"] is None
        # Held off until cleared, over SCPI and HTTP alike; the other unit goes on.
        f.write(b"OUTP ON\n")
        assert ask(f, "SYST:ERR?").startswith('-221,"Settings conflict; unit 1 tripped (current 0.500 A')
        code, body = server.http("POST", "/api/units/1", {"output": True}, token)
        assert code == 409 and "clear the trip first" in body
        assert ask(f, "OUTP?;OUTP? (@2);MEAS:CURR? (@2)") == "0;1;0.300"
        assert ask(f, "OUTP:PROT:CLE;CURR 0.3;OUTP ON;OUTP?;OUTP:PROT:TRIP?;STAT:QUES:COND?") == "1;0;2"
        assert ask(f, "SYST:ERR?") == '0,"No error"'
        # Counted while on; reset to nothing.
        first = float(ask(f, "FETC:AHO? (@2)"))
        until(lambda: float(ask(f, "FETC:AHO? (@2)")) > first, "the charge never rose")
        assert float(ask(f, "FETC:WHO? (@2)")) > 0 and server.status(2)["charge_ah"] > first
        assert ask(f, "SENS:AHO:RES (@2);FETC:AHO? (@2);FETC:WHO? (@2)") == "0.000000;0.000000"
        # The second trip, cleared through the API.
        ask(f, "CURR 1;*OPC?")
        until(lambda: ask(f, "OUTP:PROT:TRIP?") == "1", "unit 1 never tripped again")
        code, body = server.http("POST", "/api/units/1", {"clear_trip": True, "current": 0.3, "output": True}, token)
        st = json.loads(body)["status"]
        assert code == 200 and (st["trip"], st["output_on"]) == (None, True), body
        assert ask(f, "OUTP:PROT:TRIP?;OUTP?") == "0;1"
    _, err = server.stop()
    told = [line for line in err.splitlines() if "trip" in line]
    assert len(told) == 2 and told[0].startswith("kx5180 serve: unit 1: current trip: 0.500 A at reading "), err


@needs_server
def test_the_units_own_range_and_the_common_commands_through_pymeasure(serve):
    pytest.importorskip("pyvisa_py", reason="pyvisa-py is not installed (pip install 'kx5180[test]')")
    instruments = pytest.importorskip("pymeasure.instruments", reason="pymeasure is not installed")

    class Psu(instruments.SCPIMixin, instruments.Instrument):
        pass

    sim, server = serve()  # no --max-*: the unit's ceiling, 30 V, is the voltage's range
    resource = f"TCPIP::127.0.0.1::{server.scpi_port}::SOCKET"
    psu = Psu(resource, "kx5180", visa_library="@py", read_termination="\n", write_termination="\n", timeout=5000)
    try:
        assert (psu.status, psu.options, psu.check_errors()) == ("0", "0", [])
        psu.write("VOLT 5000")
        psu.write("CURR MAX")
        assert psu.ask("VOLT? MAX;*ESR?;*STB?") == "30.000;16;20"  # EAV, and MAV for the answers before it
        assert [e[0] for e in psu.check_errors()] == [-222, -221]
        psu.write("VOLT MAX;VOLT:LIM 10")
        assert psu.ask("VOLT?;VOLT:LIM?") == "30.000;10.000"  # the setpoint above it may stay; the unit holds 10 V
        psu.write("VOLT 12")
        assert [e[0] for e in psu.check_errors()] == [-222]
    finally:
        psu.adapter.close()
    token = {"X-Kx5180-Token": TOKEN}
    code, body = server.http("POST", "/api/units/2", {"voltage": 5000, "output": True}, token)
    assert code == 422 and "above the unit's ceiling 30.000 V" in body
    st = server.status(2)
    assert (st["voltage_set_v"], st["output_on"], st["remote"]) == (5.0, False, False)  # nothing was sent


@needs_server
def test_a_client_that_never_reads_its_answers_gives_its_connection_back(serve):
    _, server = serve("--max-clients", "1", "--idle-timeout", "0.5")
    hog = socket.socket()
    hog.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1024)
    hog.connect(("127.0.0.1", server.scpi_port))
    hog.settimeout(0.2)
    chain = ";".join(["*IDN?"] * 600).encode() + b"\n"
    with hog:
        with contextlib.suppress(OSError):  # until the answers fill every buffer on the way
            for _ in range(20000):
                hog.sendall(chain)
        deadline = time.monotonic() + 5
        answer = ""
        while not answer and time.monotonic() < deadline:
            s, f = server.scpi()  # refused (closed at once) while the one place is taken
            with s, f:
                with contextlib.suppress(OSError):
                    answer = ask(f, "*IDN?")
            time.sleep(0.1)
        assert answer.startswith("kx5180 project,")


def _outside_address():
    """An address of this machine that is not a loopback one, if any."""
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        try:
            s.connect(("192.0.2.1", 9))
            address = s.getsockname()[0]
        except OSError:
            return None
    return None if address.startswith("127.") else address


@needs_server
def test_scpi_from_another_host_may_only_read(serve):
    outside = _outside_address()
    if outside is None:
        pytest.skip("this machine has no address other than loopback")
    _, server = serve("--bind", "0.0.0.0")
    s, f = server.scpi(host=outside)
    with s, f:
        assert ask(f, "*IDN?").startswith("kx5180 project,")
        f.write(b"OUTP ON\n")
        assert ask(f, "SYST:ERR?").startswith("-203,")
        assert ask(f, "OUTP?") == "0"


@pytest.mark.parametrize(
    "bind, peer, allow, allowed",
    [
        ("127.0.0.1", "127.0.0.1", False, True),
        ("127.0.0.2", "127.0.0.2", False, True),  # all of 127/8 is this machine
        ("::1", "::1", False, True),
        ("localhost", "127.0.0.1", False, True),
        ("0.0.0.0", "192.168.1.20", False, False),
        ("0.0.0.0", "::ffff:127.0.0.1", False, True),  # a local client of a wildcard bind
        ("192.168.1.5", "192.168.1.20", False, False),
        ("192.168.1.5", "192.168.1.20", True, True),
        ("::", "2001:db8::1", False, False),
    ],
)
def test_who_may_change_settings(bind, peer, allow, allowed):
    assert setting_allowed(bind, peer, allow) is allowed


@pytest.mark.parametrize(
    "host, origin, ok",
    [
        ("127.0.0.1:8080", None, True),
        ("localhost:8080", "http://localhost:8080", True),
        ("[::1]:8080", "http://[::1]:8080", True),
        ("evil.example:8080", None, False),  # a rebound name
        ("127.0.0.1:9999", None, False),
        ("127.0.0.1:8080", "http://evil.example", False),
        ("127.0.0.1:8080", "null", False),
        ("127.0.0.1:8080", "http://[", False),  # no URL at all: refused, never an error
        ("x@127.0.0.1:8080", None, False),  # a URL parser would read past the userinfo
        ("127.0.0.1:8080/x", None, False),
        (None, None, False),
    ],
)
def test_host_and_origin_checks(host, origin, ok):
    assert (host_allowed(host, 8080) and origin_allowed(origin, host)) is ok


def _metrics_unit(index, serial, model, *, age, problem=""):
    st = Status(5.0, 0.25, 5.0, 1.0, 30.0, True, False, "CV", 1, True)
    line = types.SimpleNamespace(port="/dev/ttyUSB0", units=[None, None])
    ident = Identity(model, serial, 373, index)
    return types.SimpleNamespace(
        index=index, identity=ident, line=line, last=st, last_time=100.0 - age, problem=problem, id=f"h/{serial}",
        history=[], supply=None,
    )  # fmt: skip


@pytest.mark.parametrize(
    "model, shown",
    [("5180", "5180"), ('a"b', 'a\\"b'), ("a\\b", "a\\\\b"), ("a\nb", "a\\nb"), ("5180\0\0", "5180")],
)
def test_metrics_escape_labels_and_give_each_family_once(model, shown):
    units = [_metrics_unit(1, "SN1", model, age=0.5), _metrics_unit(2, "SN2", model, age=60.0)]
    text = exposition(units, "lab-3", 0.5, {1: {"energy_wh": 1.0, "charge_ah": 0.5, "on_s": 2.0}}, now=100.0)
    lines = text.splitlines()
    names = [line.split()[2] for line in lines if line.startswith("# TYPE ")]
    assert len(names) == len(set(names))
    # Each family's samples follow its own TYPE line, none elsewhere.
    current = None
    for line in lines:
        if line.startswith("# TYPE "):
            current = line.split()[2]
        elif not line.startswith("#"):
            assert line.split("{")[0] == current, line
    labels = f'host="lab-3",line="/dev/ttyUSB0",address="1",serial_number="SN1",model="{shown}"'
    assert f"kx5180_up{{{labels}}} 1" in lines
    assert f"kx5180_output_voltage_volts{{{labels}}} 5.0" in lines
    assert f"kx5180_energy_joules_total{{{labels}}} 3600.0" in lines
    assert f"kx5180_charge_coulombs_total{{{labels}}} 1800.0" in lines
    # A reading a minute old is no measurement: the unit is down, with its age only.
    stale = labels.replace('address="1",serial_number="SN1"', 'address="2",serial_number="SN2"')
    assert f"kx5180_up{{{stale}}} 0" in lines and f"kx5180_reading_age_seconds{{{stale}}} 60.0" in lines
    assert not [line for line in lines if stale in line and line.startswith("kx5180_output_")]


# -- HTTP ---------------------------------------------------------------------------


def test_a_command_waits_behind_one_anonymous_reading_however_many_are_asked():
    from kx5180_lab.instrument.counters import Counters
    from kx5180_lab.serve.units import Hub, Line, Unit

    line = Line("fake")
    on_line = []
    going = threading.Event()

    def status():
        on_line.append("reading")
        going.wait(10)  # held until every reader has asked
        return types.SimpleNamespace(as_dict=dict)

    async def flood():
        supply = types.SimpleNamespace(port="fake", status=status, counters=Counters)
        unit = Unit(1, supply, line, Hub(asyncio.get_running_loop()))
        readers = [asyncio.create_task(unit.shared_status()) for _ in range(20)]
        command = asyncio.create_task(line.call(on_line.append, "command"))
        await asyncio.sleep(0)  # every reader and the command take their first step
        going.set()
        return await asyncio.gather(*readers, command)

    try:
        answers = asyncio.run(flood())
    finally:
        line.executor.shutdown()
    assert sorted(on_line) == ["command", "reading"] and len({id(a) for a in answers[:-1]}) == 1


@needs_server
def test_http_changes_need_token_host_and_origin(serve):
    sim, server = serve("--max-voltage", "6", "--power-token", POWER)
    own = f"http://127.0.0.1:{server.http_port}"
    change = {"voltage": 3.0, "output": True}
    refused = [
        ({}, None),  # no token
        ({"X-Kx5180-Token": "wrong"}, None),
        ({"X-Kx5180-Token": TOKEN, "Origin": "http://evil.example"}, None),
        ({"X-Kx5180-Token": TOKEN, "Sec-Fetch-Site": "cross-site"}, None),
        ({"X-Kx5180-Token": TOKEN}, f"evil.example:{server.http_port}"),
        ({"X-Kx5180-Token": POWER}, None),  # switches outputs through /rest alone
        ({"Authorization": f"Bearer {POWER}"}, None),
    ]
    for headers, host in refused:
        code, _ = server.http("POST", "/api/units/1", change, headers, host=host)
        assert code == 403, (headers, host)
    code, _ = server.http("POST", "/api/units/1", "voltage=3", {"X-Kx5180-Token": TOKEN, "Content-Type": "text/plain"})
    assert code == 415
    code, body = server.http("POST", "/api/units/1", {"voltage": 7.0}, {"X-Kx5180-Token": TOKEN, "Origin": own})
    assert code == 422 and "max_voltage" in body
    st = server.status(1)
    assert (st["output_on"], st["voltage_set_v"]) == (False, 5.0)  # nothing refused reached the unit

    # labgrid's rest backend: the token rides in the URL, a plain body switches.
    assert server.http("GET", "/rest/2") == (200, "0")
    assert server.http("PUT", "/rest/2", "1")[0] == 403
    assert server.http("PUT", f"/rest/2?token={POWER}", "1") == (200, "1")
    assert server.http("GET", "/rest/2") == (200, "1")
    assert server.http("PUT", f"/rest/2?token={TOKEN}", "1") == (200, "1")
    assert server.http("GET", f"/rest/2?token={TOKEN}&x=1", "0") == (200, "1")  # a GET never switches
    code, body = server.http("POST", "/api/units/2", {"output": False}, {"Authorization": f"Bearer {TOKEN}"})
    assert code == 200 and json.loads(body)["status"]["output_on"] is False


JSON16 = "Content-Type: application/json\r\nContent-Length: 16"


@pytest.mark.parametrize(
    "head, code, message",
    [
        ("GET //[ HTTP/1.1\r\nHost: h", 400, "malformed request target"),
        ("POST /api/units/1 HTTP/1.1\r\nHost: h\r\nOrigin: http://[", 400, "malformed Origin header"),
        ("POST /api/units/1 HTTP/1.1\r\nHost: h\r\nContent-Length: " + "9" * 5000, 413, "body larger than"),
        # Two of these and a check or the body length could read either one.
        ("GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nhost: evil.example", 400, "repeated host header"),
        ("POST /api/units/1 HTTP/1.1\r\nHost: h\r\nContent-Length: 2\r\nContent-Length: 20", 400, "repeated"),
        ("POST /api/units/1 HTTP/1.1\r\nHost: h\r\nOrigin: http://h\r\nOrigin: http://evil", 400, "repeated"),
    ],
    ids=["target", "origin", "long Content-Length", "two Hosts", "two Content-Lengths", "two Origins"],
)
def test_a_malformed_head_is_refused(head, code, message):
    from kx5180_lab.serve.http import HttpError, HttpServer

    async def read():
        server = HttpServer(
            [],
            None,
            token=TOKEN,
            power_token=POWER,
            port=80,
            allowed_hosts=frozenset(),
            max_clients=1,
            max_voltage=None,
            max_current=None,
        )
        reader = asyncio.StreamReader()
        reader.feed_data(head.encode() + b"\r\n\r\n")
        reader.feed_eof()
        return await server._read(reader, None, time.monotonic() + 10)

    with pytest.raises(HttpError, match=message) as refused:
        asyncio.run(read())
    assert refused.value.status == code


@needs_server
@pytest.mark.parametrize(
    "head, body, code",
    [
        # anyone may try these: no token (the head alone: test_a_malformed_head_is_refused)
        ("POST /api/units/1 HTTP/1.1\r\nX-Kx5180-Token: {token}", b"[" * 2000 + b"]" * 2000, 400),
        ("POST /api/units/1 HTTP/1.1\r\nX-Kx5180-Token: {token}", b'{"voltage": ' + b"9" * 4000 + b"}", 400),
        ("GET /api/units/" + "1" * 5000 + " HTTP/1.1", None, 404),
        ("get / HTTP/1.1", None, 501),  # methods are case-sensitive: no GET, and not a change either
        ("GET / HTTP/1.1\nHost: 127.0.0.1:{port}\n\n", None, 400),  # at once, not at the head timeout
        ("GET / HTTP/1.1\r\nHost: x@127.0.0.1:{port}", None, 403),
        ("GET / HTTP/1.1\r\nExpect: 200-ok", None, 417),
        # The body is not sent: 100 Continue (or the refusal) must come first.
        ("POST /api/units/1 HTTP/1.1\r\nX-Kx5180-Token: {token}\r\nExpect: 100-continue\r\n" + JSON16, None, 100),
        ("POST /api/units/1 HTTP/1.1\r\nExpect: 100-continue\r\n" + JSON16, None, 403),
        ("POST /api/units/1 HTTP/1.1\r\nX-Kx5180-Token: {power}\r\nExpect: 100-continue\r\n" + JSON16, None, 403),
    ],
    ids=[
        "deep JSON",
        "long integer",
        "long unit number",
        "lower-case method",
        "bare LF",
        "userinfo Host",
        "unknown Expect",
        "100-continue",
        "100-continue refused",
        "power token on the API",
    ],
)
def test_a_malformed_request_gets_an_answer_never_a_console_line(serve, head, body, code):
    _, server = serve("--power-token", POWER)
    head = head.format(token=TOKEN, power=POWER, port=server.http_port)
    if not head.endswith("\n"):  # else the whole head as it stands
        if "\r\nHost:" not in head:
            head += f"\r\nHost: 127.0.0.1:{server.http_port}"
        if body is not None:
            head += f"\r\nContent-Type: application/json\r\nContent-Length: {len(body)}"
        head += "\r\n\r\n"
    assert server.raw(head.encode() + (body or b"")) == code
    assert server.status(1)["output_on"] is False
    status, err = server.stop()
    assert (status, err.count("\n")) == (143, 1), err  # the stop's own line alone


@needs_server
def test_head_is_its_get_without_a_body_and_100_continue_takes_the_body(serve):
    _, server = serve()
    assert server.power_token not in (None, TOKEN)  # printed, random when not given
    assert server.http("PUT", f"/rest/1?token={server.power_token}", "0") == (200, "0")
    host = f"Host: 127.0.0.1:{server.http_port}\r\n\r\n"
    for path in ("/", "/static/dashboard.js", "/api/units/1", "/rest/1", "/api/nothing"):
        [(get_head, body)] = server.whole(f"GET {path} HTTP/1.1\r\n{host}".encode())
        [(head, nothing)] = server.whole(f"HEAD {path} HTTP/1.1\r\n{host}".encode())
        assert (head, nothing) == (get_head, b"") and body, path
    # A method the resource does not take: 405, with the methods it does.
    for method, path, allow in [
        ("PUT", "/metrics", "GET, HEAD"),
        ("POST", "/", "GET, HEAD"),
        ("PUT", "/api/units", "GET, HEAD"),
        ("POST", "/api/units/1/status", "GET, HEAD"),
        ("POST", "/rest/1", "GET, HEAD, PUT"),
    ]:
        change = f"{method} {path} HTTP/1.1\r\nX-Kx5180-Token: {TOKEN}\r\nContent-Length: 0\r\n{host}"
        [(head, _)] = server.whole(change.encode())
        fields = dict(h.split(": ", 1) for h in head.split("\r\n")[1:])
        assert (head.split(" ")[1], fields.get("Allow")) == ("405", allow), (method, path)
    # The event stream's head, then the end (a hang here would time out).
    [(head, nothing)] = server.whole(f"HEAD /api/events HTTP/1.1\r\n{host}".encode())
    assert "Content-Type: text/event-stream" in head and nothing == b""
    change = f"POST /api/units/1 HTTP/1.1\r\nX-Kx5180-Token: {TOKEN}\r\nExpect: 100-continue\r\n{JSON16}\r\n"
    (go, _), (done, body) = server.whole(f"{change}{host}".encode(), then=b'{"voltage": 1.5}')
    assert go == "HTTP/1.1 100 Continue" and done.startswith("HTTP/1.1 200 ")
    assert json.loads(body)["status"]["voltage_set_v"] == 1.5


@needs_server
@pytest.mark.parametrize("hog", ["event streams", "slow heads"])
def test_the_token_switches_off_whoever_holds_every_connection(serve, hog):
    _, server = serve()  # 32 connections of each kind
    token = {"X-Kx5180-Token": TOKEN}
    assert server.http("POST", "/api/units/1", {"output": True}, token)[0] == 200
    streams = []
    with contextlib.ExitStack() as hogs:
        for _ in range(32):
            s = hogs.enter_context(socket.create_connection(("127.0.0.1", server.http_port), timeout=10))
            if hog == "event streams":
                s.sendall(f"GET /api/events HTTP/1.1\r\nHost: 127.0.0.1:{server.http_port}\r\n\r\n".encode())
                streams.append(hogs.enter_context(s.makefile("rb")))
                assert streams[-1].readline().startswith(b"HTTP/1.1 200")
            else:
                s.sendall(b"GET / HTTP/1.1\r\n")  # and never the rest
        code, body = server.http("POST", "/api/units/1", {"output": False}, token)
        assert code == 200 and json.loads(body)["status"]["output_on"] is False
        # Nor did it take a viewer's place: every one of them sees the output go off.
        for stream in streams:
            events = (json.loads(line[6:]) for line in stream if line.startswith(b"data: {"))
            assert any(e["unit"] == 1 and not e["output_on"] for e in events)


@needs_server
@pytest.mark.parametrize(
    "signum, code, said",
    [(signal.SIGTERM, 143, "SIGTERM"), (signal.SIGHUP, 129, "SIGHUP"), (signal.SIGINT, 0, "Ctrl-C")],
)
def test_a_stop_signal_leaves_every_unit_off_and_local(serve, tmp_path, signum, code, said):
    sim, server = serve("--capture", tmp_path / "serve.jsonl")
    s, f = server.scpi()
    viewer = http.client.HTTPConnection("127.0.0.1", server.http_port, timeout=10)
    viewer.request("GET", "/api/events", headers={"Host": f"127.0.0.1:{server.http_port}"})
    with s, f, contextlib.closing(viewer):
        assert viewer.getresponse().status == 200
        ask(f, "OUTP ON;*OPC?")
        ask(f, "INST:NSEL 2;OUTP ON;*OPC?")
        assert server.status(1)["remote"] and server.status(2)["output_on"]
        # Stopped with a client and a viewer still connected.
        assert server.stop(signum) == (
            code,
            f"kx5180 serve: stopped by {said}; outputs the server switched on are off; "
            "front panels in control; lines closed\n",
        )
    with Bus(sim.port) as bus:
        for address in (1, 2):
            with bus.supply(address, remote=False, keep_on_exit=True) as psu:
                st = psu.status()
                assert (st.output_on, st.remote) == (False, False), address
    # The capture has every unit's frames, the stop's among them.
    header, events = read_capture(tmp_path / "serve.jsonl")
    sent = [bytes.fromhex(e["hex"]) for e in events if e["event"] == "tx"]
    switched = {(f[1], f[3] != 0) for f in sent if f[2] == 0x21}
    assert header["port"] == sim.port and switched == {(1, True), (2, True), (1, False), (2, False)}


@needs_server
def test_a_dying_line_is_told_once_per_unit_never_a_traceback_or_a_hang(serve):
    sim, server = serve()
    s, f = server.scpi()
    with s, f:
        assert ask(f, "OUTP ON;OUTP?") == "1"
        os.kill(sim.pid, signal.SIGKILL)  # as an adapter pulled out
        deadline = time.monotonic() + 5
        while sim.running and time.monotonic() < deadline:
            time.sleep(0.02)
        for said in ("the line failed", "reconnecting"):  # the second time is not told again
            f.write(b"MEAS:VOLT?\n")
            assert ask(f, "SYST:ERR?") == f'-240,"Hardware error; {said}"'
        code, body = server.http("GET", "/api/units/2")
        assert code == 502 and "reconnecting" in body
        assert ask(f, "*IDN?").startswith("kx5180 project,")  # still serving what it knows
        code, err = server.stop()
    unit = f"kx5180 serve: {sim.port}@"
    told = [(line[len(unit) :].split(":")[0], "the line failed" in line) for line in err.splitlines()]
    assert code == 1 and told[:4] == [("1", True), ("2", True), ("1", True), ("2", True)], err
    assert "switching the output off and handing back the front panel failed" in err.splitlines()[2]
    assert err.splitlines()[4:] == [
        "kx5180 serve: stopped by SIGTERM, but not every unit could be left safe (above); lines closed"
    ]


def _state(server, unit=1, deadline=30.0):
    """Waits for the unit's state to change from the one it has now; returns the new one."""
    code, data = server.http("GET", "/api/units")
    before = json.loads(data)["units"][unit - 1]["state"]
    end = time.monotonic() + deadline
    while time.monotonic() < end:
        code, data = server.http("GET", "/api/units")
        now = json.loads(data)["units"][unit - 1]["state"]
        if now != before:
            return now
        time.sleep(0.05)
    return before


@needs_server
def test_a_line_that_comes_back_is_served_again_output_off_and_another_unit_is_refused(kx5180_sim, tmp_path):
    link = tmp_path / "ttyUSB0"
    sim = kx5180_sim(baud=0, extra_args=["--link", str(link)])
    server = Server(link)
    try:
        changed = server.http("POST", "/api/units/1", {"voltage": 2.0, "output": True}, {"X-Kx5180-Token": TOKEN})
        assert changed[0] == 200 and json.loads(changed[1])["status"]["output_on"]
        sim.stop()
        assert server.http("GET", "/api/units/1")[0] == 502  # the drop, found by the request
        code, data = server.http("GET", "/api/units")
        assert json.loads(data)["units"][0]["state"] == "reconnecting"
        s, f = server.scpi()
        with s, f:
            f.write(b"MEAS:VOLT?\n")
            assert ask(f, "SYST:ERR?") == '-240,"Hardware error; reconnecting"'
        # The unit back after a power cycle: taken back as it reports itself, never switched on.
        sim = kx5180_sim(baud=0, extra_args=["--link", str(link)])
        assert _state(server) == "ok"
        st = server.status()
        assert not st["output_on"] and not st["remote"] and st["voltage_set_v"] == 5.0
        sim.stop()
        assert server.http("GET", "/api/units/1")[0] == 502
        kx5180_sim(baud=0, extra_args=["--link", str(link), "--number", "518000777"])
        assert _state(server) == "refused"
        code, body = server.http("GET", "/api/units/1")
        assert code == 502 and "another unit" in body
    finally:
        code, err = server.stop()
    refused = [line for line in err.splitlines() if "518000777" in line]
    assert len(refused) == 1 and "not served" in refused[0], err
    assert sum("back (model 5180 SN 518000001), output off" in line for line in err.splitlines()) == 1, err


# -- the dashboard in a real browser ------------------------------------------------


def _browser():
    webdriver = pytest.importorskip(
        "selenium.webdriver", reason="selenium is not installed (pip install 'kx5180[test]')"
    )
    chromium = shutil.which("chromium") or shutil.which("chromium-browser")
    driver_path = shutil.which("chromedriver")
    if chromium is None or driver_path is None:
        pytest.skip("needs Debian's chromium and chromium-driver (apt-get install chromium chromium-driver)")
    from selenium.webdriver.chrome.service import Service

    options = webdriver.ChromeOptions()
    options.binary_location = chromium
    for flag in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--disable-gpu"):
        options.add_argument(flag)
    # The browser is no part of what a sanitizer run checks, and the
    # sanitizer runtime preloaded into it would stop it.
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    return webdriver.Chrome(service=Service(driver_path, env=env), options=options)


@pytest.mark.slow
@needs_server
def test_dashboard_shows_live_readings_and_switches_the_output(serve):
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support.ui import WebDriverWait

    # 10 ohms, then 2 ohms from 12 s on: 5 V at 1 A becomes current-limited.
    sim, server = serve("--poll", "0.2", sim_options={"extra_args": ["--load-schedule", "12:2"]})
    browser = _browser()
    try:
        browser.get(f"http://127.0.0.1:{server.http_port}/?token={TOKEN}")
        wait = WebDriverWait(browser, 15)
        card = wait.until(lambda b: b.find_element(By.ID, "unit-1"))
        text = lambda cls: card.find_element(By.CLASS_NAME, cls).text  # noqa: E731
        wait.until(lambda b: text("output-state") == "off")
        card.find_element(By.CLASS_NAME, "output-toggle").click()
        wait.until(lambda b: text("output-state") == "on" and text("current") == "0.500")
        assert server.status(1)["output_on"]
        wait.until(lambda b: text("current") == "1.000" and text("voltage") == "2.000" and text("mode") == "CC")
        card.find_element(By.CLASS_NAME, "output-toggle").click()
        wait.until(lambda b: text("output-state") == "off")
        assert not server.status(1)["output_on"]
        assert "token" not in browser.current_url
    finally:
        browser.quit()


@needs_server
def test_dashboard_at_phone_width_shows_every_control_and_a_screenshot_finishes(serve, tmp_path):
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support.ui import WebDriverWait

    _, server = serve("--max-voltage", "12")
    page = f"http://127.0.0.1:{server.http_port}/?token={TOKEN}"
    browser = _browser()
    try:
        browser.set_window_size(400, 900)
        browser.get(page)
        WebDriverWait(browser, 15).until(lambda b: b.find_element(By.ID, "unit-2").get_attribute("data-updates"))
        width = browser.execute_script("return document.documentElement.clientWidth")
        assert width <= 400 and browser.execute_script("return document.documentElement.scrollWidth") <= width
        controls = browser.find_elements(By.CSS_SELECTOR, "input, button")
        assert len(controls) == 1 + 2 * 6  # all off; per unit three inputs and three buttons
        for c in controls:
            browser.execute_script("arguments[0].scrollIntoView()", c)
            box = c.rect
            assert c.is_displayed() and c.is_enabled() and 0 <= box["x"] and box["x"] + box["width"] <= width, c
        assert "12.000 V" in browser.find_element(By.ID, "limits").text
        assert browser.find_element(By.CSS_SELECTOR, "#unit-1 .control-state").text in ("local", "remote")
    finally:
        browser.quit()
    # The page's load ends although the event stream stays open.
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    shot = tmp_path / "page.png"
    chromium = shutil.which("chromium") or shutil.which("chromium-browser")
    flags = ["--headless", "--no-sandbox", "--disable-gpu", "--window-size=400,900", f"--screenshot={shot}"]
    subprocess.run([chromium, *flags, page], env=env, capture_output=True, timeout=60, check=True)
    assert shot.stat().st_size > 0


@needs_server
@pytest.mark.parametrize("asker", ["anonymous HTTP", "read-only SCPI"])
def test_watchdog_switches_off_what_the_server_switched_on(serve, asker):
    # Asked about the output over and over by someone who may not act (an
    # <img> on any page can send the GET): the asking never holds it on.
    outside = "127.0.0.1" if asker == "anonymous HTTP" else _outside_address()
    if outside is None:
        pytest.skip("this machine has no address other than loopback")
    _, server = serve("--watchdog", "0.4", "--bind", "0.0.0.0" if asker == "read-only SCPI" else "127.0.0.1")
    s, f = server.scpi()
    r, g = server.scpi(host=outside)

    def on():
        if asker == "read-only SCPI":
            return ask(g, "OUTP?") == "1"
        image = {"Sec-Fetch-Site": "cross-site", "Sec-Fetch-Dest": "image"}
        assert server.http("GET", "/favicon.ico", headers=image)[0] == 204
        return server.status(1)["output_on"]

    with s, f, r, g:
        assert ask(f, "OUTP ON;OUTP?") == "1"
        deadline = time.monotonic() + 20
        while on():
            assert time.monotonic() < deadline, "the watchdog never switched off"
            time.sleep(0.05)  # the pace of the asking, not a wait for the outcome
        assert ask(f, "OUTP?") == "0"
        assert ask(f, "OUTP ON;OUTP?") == "1"  # and it may be switched on again


@needs_server
@pytest.mark.slow
def test_a_late_reply_on_a_shared_line_is_never_served_as_the_other_units_reading():
    # Two units on one line, every third reply or so 700 ms late; the
    # setpoints tell a reading that is the other unit's.
    # With seed 2 the first two replies, the identities the server starts
    # on, are on time.
    late = "--fault late --late-ms 700 --fault-rate 0.3 --seed 2"
    server = Server("--sim", "--units", "2", "--sim-args", late, "--max-voltage", "12")
    volts, readings = {1: 12.0, 2: 1.0}, []
    try:
        for unit, v in volts.items():

            def change(unit=unit, v=v):
                return server.http("POST", f"/api/units/{unit}", {"voltage": v}, {"X-Kx5180-Token": TOKEN})

            assert any(change()[0] == 200 for _ in range(30))
        for i in range(200):
            if len(readings) >= 60:
                break
            code, body = server.http("GET", f"/api/units/{1 + i % 2}")
            if code == 200:
                readings.append((1 + i % 2, json.loads(body)["status"]["voltage_set_v"]))
    finally:
        server.stop()
    assert len(readings) >= 60
    assert [r for r in readings if r[1] == volts[3 - r[0]]] == []
