"""lightd's JSON API, event stream and metrics against the virtual light source."""
import json
import os
import subprocess
import time

import pytest
from prometheus_client.parser import text_string_to_metric_families

from lightd_fixture import EventStream, Lightd, Sim, wait_for

MODES = ["normal", "ttl", "edge", "internal", "sequence"]


@pytest.fixture
def sim():
    s = Sim()
    yield s
    s.close()


@pytest.fixture
def lightd(sim):
    d = Lightd(sim.port, "--poll-ms", "200")
    yield d
    assert d.close() == 0


def as_device(patch):
    """A PATCH body as the light source holds it: 0/1 for booleans, mode numbers."""
    if isinstance(patch, bool):
        return int(patch)
    if isinstance(patch, dict):
        return {k: (MODES.index(v) if k == "mode" else as_device(v)) for k, v in patch.items()}
    if isinstance(patch, list):
        return [as_device(v) for v in patch]
    return patch


def contains(whole, part):
    """True when every field of `part` has its value in `whole` (channels by index)."""
    if isinstance(part, dict):
        return all(k in whole and contains(whole[k], v) for k, v in part.items())
    if isinstance(part, list):
        return all(contains(whole[item.get("index", i)], {k: v for k, v in item.items() if k != "index"})
                   for i, item in enumerate(part))
    return whole == part


# Each field twice, so that each write is a change whatever the defaults.
FIELD_PATCHES = [
    {"enabled": False}, {"enabled": True},
    *[{"mode": m} for m in MODES[1:] + MODES[:1]],
    *[{"channels": [{"index": i, "enabled": True}]} for i in range(4)],
    *[{"channels": [{"index": i, "enabled": False}]} for i in range(4)],
    *[{"channels": [{"index": i, "brightness": 11 * (i + 1)}]} for i in range(4)],
    *[{"channels": [{"index": i, "brightness": 100 - i}]} for i in range(4)],
    *[{"channels": [{"index": i, "pulse_ms": 1000 + i}]} for i in range(4)],
    *[{"channels": [{"index": i, "pulse_ms": 5000 - i}]} for i in range(4)],
    {"ttl": {"output_enabled": True}}, {"ttl": {"output_enabled": False}},
    {"ttl": {"delay_ms": 1234}}, {"ttl": {"delay_ms": 5000}},
    {"edge": {"delay_ms": 2345}}, {"edge": {"delay_ms": 0}},
    {"internal": {"output_enabled": True}}, {"internal": {"output_enabled": False}},
    {"internal": {"delay_ms": 10}}, {"internal": {"delay_ms": 4999}},
    {"internal": {"high_ms": 20}}, {"internal": {"high_ms": 3000}},
    {"internal": {"low_ms": 30}}, {"internal": {"low_ms": 2000}},
    {"internal": {"pulse_count": 100}}, {"internal": {"pulse_count": 7}},
]


def test_every_patch_field_reaches_the_device_and_the_state(sim, lightd):
    for patch in FIELD_PATCHES:
        status, answer = lightd.patch(patch)
        assert status == 200, (patch, answer)
        assert contains(answer, patch), (patch, answer)
        # The library returns once a write is sent; the light source takes it a moment later.
        wait_for(lambda: contains(sim.state(), as_device(patch)), what="the device to hold %s" % patch)
        assert contains(lightd.state(), patch), patch


def test_one_patch_of_many_fields(sim, lightd):
    patch = {
        "enabled": True, "mode": "internal",
        "channels": [{"index": 3, "enabled": True, "brightness": 64, "pulse_ms": 300},
                     {"index": 0, "enabled": True, "brightness": 5}],
        "ttl": {"output_enabled": True, "delay_ms": 1},
        "edge": {"delay_ms": 2},
        "internal": {"output_enabled": True, "delay_ms": 3, "high_ms": 4, "low_ms": 5, "pulse_count": 6},
    }
    status, answer = lightd.patch(patch)
    assert status == 200, answer
    assert contains(answer, patch)
    wait_for(lambda: contains(sim.state(), as_device(patch)), what="the device to hold the patch")


def test_state_has_the_documented_fields(lightd):
    state = lightd.state()
    assert set(state) == {"connected", "connected_since_ms", "port", "model", "model_name", "firmware_version",
                          "sdk_version", "enabled", "mode", "channels", "ttl", "edge", "internal"}
    assert abs(state["connected_since_ms"] / 1000 - time.time()) < 600
    assert state["model"] == 0xFFAA0400 and state["model_name"] == "4-colour"
    assert state["firmware_version"] == 0x00010203 and state["sdk_version"] == 20100
    assert [c["name"] for c in state["channels"]] == ["LED385", "LED480", "LED550", "LED640"]
    assert set(state["channels"][0]) == {"index", "name", "enabled", "brightness", "temperature",
                                         "over_temperature", "pulse_ms"}
    assert set(state["internal"]) == {"output_enabled", "delay_ms", "high_ms", "low_ms", "pulse_count"}


def test_history_holds_the_polls_of_the_window_asked_for(sim, lightd):
    sim.set_temperature(1, 44.5, True)
    wait_for(lambda: lightd.state()["channels"][1]["over_temperature"], what="the alarm polled")
    # A poll every 200 ms: two seconds of them, so that one second is fewer.
    history = wait_for(lambda: (lambda h: h if len(h["samples"]) >= 10 else None)(
        json.loads(lightd.request("GET", "/api/v1/history?seconds=600")[1])), what="ten polls")
    assert abs(history["now_ms"] / 1000 - time.time()) < 5 and history["seconds"] == 600
    samples = history["samples"]
    assert samples and set(samples[-1]) == {"time_ms", "connected", "temperature", "over_temperature"}
    assert [s["time_ms"] for s in samples] == sorted(s["time_ms"] for s in samples)
    assert samples[-1]["temperature"][1] == 44.5 and samples[-1]["over_temperature"][1] is True
    assert all(history["now_ms"] - 600000 <= s["time_ms"] <= history["now_ms"] for s in samples)
    status, body = lightd.request("GET", "/api/v1/history?seconds=1")
    assert len(json.loads(body)["samples"]) < len(samples)
    for bad in ["0", "601", "abc", "", "-5", "1.5"]:
        status, body = lightd.request("GET", "/api/v1/history?seconds=" + bad)
        assert (status, json.loads(body)) == (400, {"error": "seconds must be a whole number 1..600"}), bad
    sim.set_temperature(1, 25.0, False)


def test_trigger_fires_once(sim, lightd):
    before = sim.state()["triggers"]
    status, body = lightd.request("POST", "/api/v1/trigger")
    assert status == 200, body
    wait_for(lambda: sim.state()["triggers"] == before + 1, what="the trigger")
    assert sim.state()["triggers"] == before + 1


def test_temperature_and_alarm_from_the_poll(sim, lightd):
    sim.set_temperature(2, 70.25, True)
    state = wait_for(lambda: (lambda s: s if s["channels"][2]["over_temperature"] else None)(lightd.state()),
                     what="the alarm")
    assert state["channels"][2]["temperature"] == 70.25


TOKEN = "s3cret-token"


@pytest.fixture
def guarded(sim):
    # One poll at the start and none after, so the frame count is still.
    d = Lightd(sim.port, "--poll-ms", "3600000", "--token", TOKEN)
    yield d
    assert d.close() == 0


ERROR_CASES = [
    # (method, path, body, headers, status, error text or None)
    ("PATCH", "/api/v1/state", '{"enabled": false}', {}, 401, "a valid token is needed for this request"),
    ("PATCH", "/api/v1/state", '{"enabled": false}', {"Authorization": "Bearer wrong"}, 401, None),
    ("PATCH", "/api/v1/state", '{"enabled": false}', {"Authorization": TOKEN}, 401, None),
    ("POST", "/api/v1/trigger", "", {}, 401, None),
    ("POST", "/api/v1/trigger", "", {"Authorization": "Bearer " + TOKEN[:-1]}, 401, None),
    ("PATCH", "/api/v1/state", '{"enabled": fal', "auth", 400, "the body is not valid JSON"),
    ("PATCH", "/api/v1/state", '{"colour": 1}', "auth", 400, 'unknown field "colour"'),
    ("PATCH", "/api/v1/state", '{"enabled": 1}', "auth", 400, "enabled must be true or false"),
    ("PATCH", "/api/v1/state", '{"channels": [{"index": 0, "brightness": "50"}]}', "auth", 400,
     "LED385 brightness must be an integer"),
    ("PATCH", "/api/v1/state", '{"channels": [{"index": 1, "brightness": 101}]}', "auth", 422,
     "LED480 brightness must be 0..100, not 101"),
    ("PATCH", "/api/v1/state", '{"enabled": true, "internal": {"pulse_count": 101}}', "auth", 422,
     "internal.pulse_count must be 0..100, not 101"),
    # A channel is the one its name says, never its place in a short list.
    ("PATCH", "/api/v1/state", '{"channels": [{"name": "LED480", "index": 0, "brightness": 5}]}', "auth", 422,
     "channels[0]: index 0 is LED385, not LED480"),
    ("PATCH", "/api/v1/state", '{"channels": [{"brightness": 5}]}', "auth", 422, None),
    ("PATCH", "/api/v1/state", '{"enabled": "x", "enabled": true}', "auth", 400,
     'the field "enabled" is given twice'),
    # A name that is not lightd's (DNS rebinding), with or without a token.
    ("PATCH", "/api/v1/state", '{"enabled": false}',
     {"Host": "evil.example:8080", "Origin": "http://evil.example:8080", "Authorization": "Bearer " + TOKEN},
     421, None),
    ("GET", "/api/v1/state", "", {"Host": "evil.example"}, 421, None),
    # An allowed name, but the page is another origin (another port on this machine).
    ("POST", "/api/v1/trigger", "", {"Host": "localhost:PORT", "Origin": "http://localhost:3000",
                                     "Authorization": "Bearer " + TOKEN}, 403, "cross-origin request refused"),
    ("PATCH", "/api/v1/state", '{"mode": "disco"}', "auth", 422, None),
    ("PATCH", "/api/v1/state", '{"channels": [{"index": 9, "enabled": true}]}', "auth", 422, None),
    ("PATCH", "/api/v1/state", json.dumps({"channels": [{"brightness": 1}] * 1, "pad": "x" * 5000}), "auth", 413,
     "the body is larger than 4096 bytes"),
    ("DELETE", "/api/v1/state", "", "auth", 405, None),
    ("POST", "/api/v1/trigger", "", {"Origin": "http://evil.example", "Authorization": "Bearer " + TOKEN}, 403,
     "cross-origin request refused"),
    ("PATCH", "/api/v1/state", '{"enabled": false}', {"Origin": "null", "Authorization": "Bearer " + TOKEN}, 403,
     None),
    ("GET", "/api/v1/nothing", "", {}, 404, None),
]


def test_each_refusal_sends_nothing(sim, guarded):
    # Reads need no token.
    assert guarded.request("GET", "/api/v1/state")[0] == 200
    assert guarded.request("GET", "/metrics")[0] == 200
    # A browser on lightd's own page may write.
    host = "127.0.0.1:%d" % guarded.http_port
    assert guarded.request("GET", "/api/v1/state", headers={"Origin": "http://evil.example"})[0] == 200
    status, text = guarded.request("PATCH", "/api/v1/state", '{"channels": [{"index": 0, "brightness": 3}]}',
                                   {"Origin": "http://" + host, "Authorization": "Bearer " + TOKEN})
    assert status == 200, text
    wait_for(lambda: sim.state()["channels"][0]["brightness"] == 3, what="the same-origin write")
    # The first poll is over once its temperatures are in; no other comes.
    wait_for(lambda: all(c["temperature"] is not None for c in guarded.state()["channels"]), what="the first poll")
    settings = sim.state()
    frames = sim.frames()
    for method, path, body, headers, status, error in ERROR_CASES:
        if headers == "auth":
            headers = {"Authorization": "Bearer " + TOKEN}
        headers = {k: v.replace("PORT", str(guarded.http_port)) for k, v in headers.items()}
        got, text = guarded.request(method, path, body, dict(headers, **{"Content-Type": "application/json"}))
        assert got == status, (method, path, body, got, text)
        answer = json.loads(text)
        assert set(answer) == {"error"}, text
        if error is not None:
            assert answer["error"] == error
    assert sim.state() == settings
    # The light source takes frames in order: once a good write is there,
    # anything the refusals had sent would be counted too.
    status, _ = guarded.request("PATCH", "/api/v1/state", '{"channels": [{"name": "led385", "brightness": 77}]}',
                                {"Authorization": "bEaReR  " + TOKEN})
    assert status == 200
    wait_for(lambda: sim.frames() >= frames + 1, what="the good write")
    assert sim.frames() == frames + 1
    assert sim.state()["channels"][0]["brightness"] == 77


def test_not_connected_is_503_and_a_failed_call_502(sim):
    d = Lightd(sim.port, "--poll-ms", "3600000")
    try:
        sim.unplug()
        # The daemon learns of the loss from the write itself: the library's reason comes back.
        status, answer = d.patch({"enabled": False})
        assert status == 502, answer
        assert "SetGlobalEnable" in answer["error"]
        status, answer = d.patch({"enabled": True})
        assert status == 503, answer
        assert answer["error"].startswith("the light source is not connected")
        status, text = d.request("POST", "/api/v1/trigger")
        assert status == 503, text
        assert d.state()["connected"] is False
        # Validation still comes first.
        assert d.patch({"enabled": 2})[0] == 400
    finally:
        assert d.close() == 0


def test_events_deliver_a_change_made_over_scpi(sim, lightd):
    stream = EventStream(lightd.http_port)
    try:
        assert stream.status_line == "HTTP/1.1 200 OK"
        assert "Content-Type: text/event-stream" in stream.headers
        name, first = stream.next_event()
        assert name == "state" and first["connected"] is True
        assert lightd.scpi("SOURce2:POWer 42") == "1"
        state = stream.wait_for_state(lambda s: s["channels"][1]["brightness"] == 42)
        assert state["channels"][1]["brightness"] == 42
        assert lightd.scpi("OUTP OFF") == "1"
        stream.wait_for_state(lambda s: s["enabled"] is False)
        # And temperatures after every poll.
        sim.set_temperature(0, 33.5, False)
        deadline_events = 0
        while True:
            name, data = stream.next_event()
            deadline_events += 1
            assert deadline_events < 200
            if name == "temperatures" and data["channels"][0]["temperature"] == 33.5:
                assert [c["index"] for c in data["channels"]] == [0, 1, 2, 3]
                break
    finally:
        stream.close()


def test_metrics_parse_as_prometheus_text(sim, lightd):
    lightd.patch({"channels": [{"index": 3, "enabled": True, "brightness": 55}]})
    sim.set_temperature(3, 61.5, True)
    wait_for(lambda: 'lightkit_channel_over_temperature{channel="3",name="LED640"} 1' in lightd.metrics(),
             what="the alarm in /metrics")
    families = {f.name: f for f in text_string_to_metric_families(lightd.metrics())}
    assert families["lightkit_device_calls"].type == "counter"
    assert families["lightkit_device_failures"].type == "counter"
    assert families["lightkit_channel_temperature_celsius"].type == "gauge"
    samples = [s for f in families.values() for s in f.samples]

    def value(sample_name, **labels):
        for s in samples:
            if s.name == sample_name and all(s.labels.get(k) == v for k, v in labels.items()):
                return s.value
        raise KeyError((sample_name, labels))

    assert value("lightkit_connected") == 1
    assert value("lightkit_channel_temperature_celsius", channel="3", name="LED640") == 61.5
    assert value("lightkit_channel_over_temperature", channel="3") == 1
    assert value("lightkit_channel_over_temperature", channel="0") == 0
    assert value("lightkit_channel_brightness_percent", channel="3") == 55
    assert value("lightkit_channel_enabled", channel="3") == 1
    assert value("lightkit_device_calls_total") > 0
    assert value("lightkit_device_failures_total") == 0
    assert value("lightkit_clients", protocol="http") == 1
    assert value("lightkit_clients", protocol="events") == 0
    assert value("lightkit_clients", protocol="scpi") == 0
    info = [(s.labels, s.value) for s in samples if s.name == "lightkit_device_info"]
    assert info == [({"port": sim.port, "model": "4-colour", "firmware": "1.2.3"}, 1)]


def requests_by_code(d):
    families = text_string_to_metric_families(d.metrics())
    family = next(f for f in families if f.name == "lightkit_http_requests")
    assert family.type == "counter"
    return {s.labels["code"]: s.value for s in family.samples if s.name == "lightkit_http_requests_total"}


# Each request, its status and whether it is counted: a header refused
# before the request is read is not.
COUNTED_REQUESTS = [
    ("GET", "/nothing", None, {}, "404", True),
    ("PATCH", "/api/v1/state", {"channels": [{"index": 0, "brightness": 101}]}, {}, "422", True),
    ("PATCH", "/api/v1/state", "{", {}, "400", True),
    ("PATCH", "/api/v1/state", "x" * 5000, {}, "413", True),
    ("DELETE", "/metrics", None, {}, "405", True),
    ("PATCH", "/api/v1/state", {"enabled": True}, {}, "200", True),
    ("GET", "/metrics", None, {"Host": "elsewhere.example"}, "421", False),
]


def test_metrics_count_requests_by_status_code(lightd):
    before = requests_by_code(lightd)
    for method, path, body, headers, code, _ in COUNTED_REQUESTS:
        assert str(lightd.request(method, path, body, headers)[0]) == code, (method, path)
    after = requests_by_code(lightd)
    expected = {code: 0 for code in before}
    for *_, code, counted in COUNTED_REQUESTS:
        if counted:
            expected[code] += 1
    expected["200"] += 1  # the first /metrics, counted once answered
    assert {code: after[code] - before.get(code, 0) for code in after} == expected


def test_web_page_and_chart_are_served(lightd):
    status, page = lightd.request("GET", "/")
    assert status == 200 and "<title>lightd" in page
    for name in ["app.js", "style.css", "chart.min.js", "favicon.svg"]:
        status, body = lightd.request("GET", "/" + name)
        assert status == 200 and len(body) > 100, name
    conn = lightd.connection()
    conn.request("GET", "/favicon.svg")
    assert conn.getresponse().getheader("Content-Type") == "image/svg+xml"
    conn.close()
    for path in ["/../CMakeLists.txt", "/%2e%2e/x", "/.hidden", "/nothing.js"]:
        assert lightd.request("GET", path)[0] == 404, path


@pytest.mark.skipif("LIGHTD_BUILD_DIR" not in os.environ, reason="needs the build folder (set by CTest)")
def test_an_installed_lightd_serves_the_page(sim, tmp_path):
    prefix = tmp_path / "prefix"
    subprocess.run([os.environ.get("CMAKE_COMMAND", "cmake"), "--install", os.environ["LIGHTD_BUILD_DIR"],
                    "--prefix", str(prefix), "--component", "tools"], check=True, stdout=subprocess.DEVNULL)
    for name in ["index.html", "app.js", "style.css", "chart.min.js", "favicon.svg"]:
        assert (prefix / "share/lightd/web" / name).is_file(), name
    env = dict(os.environ, LD_LIBRARY_PATH=os.environ.get("LIGHTKIT_LIB_DIR", ""))
    installed = Lightd(sim.port, "--poll-ms", "200", program=str(prefix / "bin/lightd"), env=env)
    try:
        status, page = installed.request("GET", "/")
        assert status == 200 and "<title>lightd" in page
        assert installed.request("GET", "/chart.min.js")[0] == 200
    finally:
        assert installed.close() == 0


def test_verbose_logs_each_request_and_event_stream(sim):
    d = Lightd(sim.port, "--poll-ms", "200", "-v")
    try:
        conn = d.connection()
        conn.request("GET", "/nothing?x=1")
        conn.getresponse().read()
        conn.request("PATCH", "/api/v1/state", body='{"enabled": 3}')
        conn.getresponse().read()
        peer = "127.0.0.1:%d" % conn.sock.getsockname()[1]
        conn.close()
        stream = EventStream(d.http_port)
        stream.next_event()
        stream_peer = "127.0.0.1:%d" % stream.sock.getsockname()[1]
        stream.close()
        wait_for(lambda: clients(d) == 1, what="the stream closed")
    finally:
        assert d.close() == 0
    lines = d.proc.stdout.read().splitlines()
    for expected in ["lightd: HTTP client %s: GET /nothing?x=1 404" % peer,
                     "lightd: HTTP client %s: PATCH /api/v1/state 400" % peer,
                     "lightd: HTTP client %s: event stream open" % stream_peer,
                     "lightd: HTTP client %s: event stream closed" % stream_peer]:
        assert expected in lines, (expected, lines)


def clients(d):
    for line in d.metrics().splitlines():
        if line.startswith('lightkit_clients{protocol="http"}'):
            return int(line.split()[-1])
    raise KeyError("lightkit_clients")
