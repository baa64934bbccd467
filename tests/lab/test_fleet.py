"""`kx5180 serve --sim` seen by the lab's own systems, each a real server
on loopback: Prometheus scraping /metrics, promtool checking them."""

import json
import os
import shutil
import socket
import subprocess
import tempfile
import time
import urllib.parse
import urllib.request

import pytest

from test_serve import POWER, TOKEN, Server, needs_server

PROMTOOL = shutil.which("promtool")
PROMETHEUS = shutil.which("prometheus")
APT = "(Debian: apt-get install prometheus)"
needs_promtool = pytest.mark.skipif(PROMTOOL is None, reason=f"needs promtool {APT}")
needs_prometheus = pytest.mark.skipif(PROMETHEUS is None, reason=f"needs prometheus {APT}")
METRICS = "metrics-token-789"


def _until(what, deadline_s=30.0):
    """`what()` once it is truthy, polled until the deadline."""
    deadline = time.monotonic() + deadline_s
    while True:
        value = what()
        if value or time.monotonic() > deadline:
            return value
        time.sleep(0.05)


def _free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


@pytest.fixture
def sim_server():
    started = []

    def start(*args):
        server = Server("--sim", "--units", "2", "--power-token", POWER, "--host-name", "bench-7", *args)
        started.append(server)
        return server

    yield start
    for server in started:
        server.stop()


@needs_server
@needs_promtool
def test_metrics_pass_promtool_and_the_metrics_token_guards_them(sim_server):
    server = sim_server("--metrics-token", METRICS)
    assert server.http("GET", "/metrics")[0] == 403
    assert server.http("GET", "/metrics", headers={"Authorization": f"Bearer {TOKEN}"})[0] == 403
    code, _ = server.http("POST", "/api/units/1", {"voltage": 3.3, "output": True}, {"X-Kx5180-Token": TOKEN})
    assert code == 200
    auth = {"Authorization": f"Bearer {METRICS}"}
    # The first scrape sets the poller reading; the next ones see the readings.

    def scraped():
        text = server.http("GET", "/metrics", headers=auth)[1]
        return text if "kx5180_output_on{" in text else ""

    text = _until(scraped)
    assert 'kx5180_output_voltage_volts{host="bench-7",' in text
    checked = subprocess.run([PROMTOOL, "check", "metrics"], input=text, capture_output=True, text=True, timeout=30)
    assert checked.returncode == 0, checked.stdout + checked.stderr
    units = json.loads(server.http("GET", "/api/units")[1])["units"]
    assert [u["id"] for u in units] == [f"bench-7/{u['serial_number']}" for u in units]
    assert units[0]["name"].endswith("@1")  # the port, as before


@needs_server
@needs_prometheus
def test_prometheus_scrapes_the_voltage_after_a_set(sim_server):
    server = sim_server()
    port = _free_port()
    with tempfile.TemporaryDirectory() as tmp:
        config = os.path.join(tmp, "prometheus.yml")
        with open(config, "w") as f:
            f.write(
                "global: {scrape_interval: 1s, evaluation_interval: 1s}\n"
                "scrape_configs:\n"
                f"  - job_name: kx5180\n    static_configs: [{{targets: ['127.0.0.1:{server.http_port}']}}]\n"
            )
        prometheus = subprocess.Popen(
            [PROMETHEUS, f"--config.file={config}", f"--storage.tsdb.path={tmp}/data",
             f"--web.listen-address=127.0.0.1:{port}"],
            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True,
        )  # fmt: skip
        try:
            serial = json.loads(server.http("GET", "/api/units")[1])["units"][0]["serial_number"]
            change = {"voltage": 7.25, "output": True}
            code, data = server.http("POST", "/api/units/1", change, {"X-Kx5180-Token": TOKEN})
            assert code == 200, data
            query = urllib.parse.urlencode({"query": f'kx5180_output_voltage_volts{{serial_number="{serial}"}}'})

            def voltage():
                try:
                    with urllib.request.urlopen(f"http://127.0.0.1:{port}/api/v1/query?{query}", timeout=5) as r:
                        result = json.load(r)["data"]["result"]
                except OSError:
                    return None  # not listening yet
                return result and float(result[0]["value"][1]) == 7.25 and result[0]["metric"]

            metric = _until(voltage, 60.0)
            assert metric, prometheus.stderr.read() if prometheus.poll() is not None else "no 7.25 V in Prometheus"
            assert metric["host"] == "bench-7" and metric["job"] == "kx5180"
        finally:
            prometheus.terminate()
            prometheus.communicate(timeout=30)
