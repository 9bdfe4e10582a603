"""Two lightd on two virtual light sources, scraped by Debian's Prometheus
server with the shipped alert rules, all on loopback.

The rules are loaded as shipped but for the daemon-down alert's minute,
which is cut to a few seconds so that the test stays short; the
over-temperature alert fires at once as shipped.
"""
import json
import os
import re
import shutil
import subprocess
import urllib.parse
import urllib.request

import pytest

from lightd_fixture import Lightd, Sim, free_port, wait_for

PROMETHEUS = shutil.which("prometheus")
RULES = os.environ.get("LIGHTKIT_RULES", os.path.join(os.path.dirname(__file__),
                                                      "../../../packaging/prometheus/lightkit.rules.yml"))
# Prometheus takes a few scrapes and evaluations for anything to show.
WAIT = 30.0

pytestmark = pytest.mark.skipif(PROMETHEUS is None,
                                reason="prometheus not found (Debian package prometheus): no real scrape")


def rules_with_short_down(text):
    """The shipped rules with LightdDown's `for` cut to 3 s."""
    start = text.index("- alert: LightdDown")
    block_end = text.find("- alert: ", start + 1)
    block = text[start:block_end]
    shortened, count = re.subn(r"\n(\s+)for: 1m\n", r"\n\1for: 3s\n", block)
    assert count == 1, "LightdDown has no `for: 1m` to shorten"
    return text[:start] + shortened + text[block_end:]


class Prometheus:
    """Debian's prometheus server on a free loopback port, in a folder of its own."""

    def __init__(self, folder, targets):
        self.folder = folder
        self.port = free_port()
        with open(RULES) as f:
            (folder / "rules.yml").write_text(rules_with_short_down(f.read()))
        config = {
            "global": {"scrape_interval": "1s", "scrape_timeout": "1s", "evaluation_interval": "1s"},
            "rule_files": ["rules.yml"],
            "scrape_configs": [{"job_name": "lightd", "static_configs": [{"targets": targets}]}],
        }
        # JSON is YAML.
        (folder / "prometheus.yml").write_text(json.dumps(config, indent=2))
        self.log = open(folder / "prometheus.log", "w")
        self.proc = subprocess.Popen(
            [PROMETHEUS, "--config.file=" + str(folder / "prometheus.yml"),
             "--storage.tsdb.path=" + str(folder / "data"),
             "--web.listen-address=127.0.0.1:%d" % self.port, "--log.level=warn"],
            cwd=folder, stdout=self.log, stderr=subprocess.STDOUT)
        wait_for(self._ready, timeout=WAIT, what="prometheus to be ready")

    def _ready(self):
        if self.proc.poll() is not None:
            raise AssertionError("prometheus ended: " + (self.folder / "prometheus.log").read_text())
        try:
            with urllib.request.urlopen("http://127.0.0.1:%d/-/ready" % self.port, timeout=5) as res:
                return res.status == 200
        except OSError:
            return False

    def api(self, path, **params):
        url = "http://127.0.0.1:%d/api/v1/%s" % (self.port, path)
        if params:
            url += "?" + urllib.parse.urlencode(params)
        with urllib.request.urlopen(url, timeout=10) as res:
            answer = json.load(res)
        assert answer["status"] == "success", answer
        return answer["data"]

    def query(self, expr):
        """{instance: [(labels, value)]} of an instant query."""
        result = {}
        for item in self.api("query", query=expr)["result"]:
            labels = item["metric"]
            result.setdefault(labels.get("instance"), []).append((labels, float(item["value"][1])))
        return result

    def alerts(self, name, state="firing"):
        return [a for a in self.api("alerts")["alerts"] if a["labels"]["alertname"] == name and a["state"] == state]

    def close(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(timeout=15)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.log.close()


@pytest.fixture
def lab(tmp_path):
    """Two light sources, a lightd on each, and Prometheus scraping both."""
    started = []
    try:
        sims = [Sim(), Sim()]
        started += sims
        daemons = [Lightd(s.port, "--poll-ms", "200") for s in sims]
        started += daemons
        prometheus = Prometheus(tmp_path, ["127.0.0.1:%d" % d.http_port for d in daemons])
        started.append(prometheus)
        yield sims, daemons, prometheus
    finally:
        for thing in reversed(started):
            thing.close()


def instance(d):
    return "127.0.0.1:%d" % d.http_port


def test_prometheus_scrapes_two_lightd_and_fires_their_alerts(lab):
    sims, daemons, prometheus = lab
    for sim, celsius in zip(sims, [33.5, 44.25]):
        sim.set_temperature(1, celsius, False)

    # Both daemons' temperatures, each under its own instance, four channels
    # with their names, and the light source's port beside them.
    def temperatures_seen():
        found = prometheus.query('lightkit_channel_temperature_celsius{channel="1"}')
        values = {i: [v for _, v in found.get(i, [])] for i in (instance(d) for d in daemons)}
        return found if list(values.values()) == [[33.5], [44.25]] else None

    found = wait_for(temperatures_seen, timeout=WAIT, what="both temperatures in prometheus")
    for d, celsius in zip(daemons, [33.5, 44.25]):
        [(labels, value)] = found[instance(d)]
        assert labels == {"__name__": "lightkit_channel_temperature_celsius", "job": "lightd",
                          "instance": instance(d), "channel": "1", "name": "LED480"}
        assert value == celsius
    channels = prometheus.query("lightkit_channel_temperature_celsius")
    for d in daemons:
        assert sorted((l["channel"], l["name"]) for l, _ in channels[instance(d)]) == [
            ("0", "LED385"), ("1", "LED480"), ("2", "LED550"), ("3", "LED640")]
    info = prometheus.query("lightkit_device_info")
    for sim, d in zip(sims, daemons):
        [(labels, value)] = info[instance(d)]
        assert (labels["port"], labels["model"], labels["firmware"], value) == (sim.port, "4-colour", "1.2.3", 1)
    # The README's dashboard query: every temperature labelled with its port.
    joined = prometheus.query(
        "lightkit_channel_temperature_celsius * on(instance) group_left(port) lightkit_device_info")
    for sim, d in zip(sims, daemons):
        assert {(l["port"], l["channel"]) for l, _ in joined[instance(d)]} == {(sim.port, str(c)) for c in range(4)}
    wait_for(lambda: all(v >= 3 for d in daemons for _, v in prometheus.query("count_over_time(up[1m])")[instance(d)]),
             timeout=WAIT, what="three scrapes of each lightd")
    assert prometheus.alerts("LightkitOverTemperature") == []
    assert prometheus.alerts("LightdDown") == []

    # One channel of the first light source past its limit: the alert fires
    # for that device and channel only, and names them.
    sims[0].set_temperature(2, 71.5, True)
    [alert] = wait_for(lambda: prometheus.alerts("LightkitOverTemperature"), timeout=WAIT,
                       what="the over-temperature alert")
    assert {k: alert["labels"].get(k) for k in ["instance", "port", "channel", "name", "severity"]} == {
        "instance": instance(daemons[0]), "port": sims[0].port, "channel": "2", "name": "LED550",
        "severity": "critical"}
    assert alert["annotations"]["summary"] == sims[0].port + " LED550 over temperature"
    assert "71.5 °C" in alert["annotations"]["description"]

    # The second lightd stops: it alone is reported down, with its port.
    daemons[1].close()
    [down] = wait_for(lambda: prometheus.alerts("LightdDown"), timeout=WAIT, what="the down alert")
    assert down["labels"]["instance"] == instance(daemons[1])
    assert sims[1].port in down["annotations"]["description"]
    assert [a["labels"]["instance"] for a in prometheus.alerts("LightkitOverTemperature")] == [instance(daemons[0])]
    assert prometheus.query('up{job="lightd"}')[instance(daemons[0])][0][1] == 1
