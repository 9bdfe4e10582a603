"""One table of operations through every tool that drives the light source:
Python on the port, Python through lightd, lightctl on the port and lightctl
through lightd. Each operation must send the device the same write frames
whichever tool makes it, and the state each tool reads back afterwards must
be the same document, valid against the state schema."""
import json
import os
import subprocess
import time

import pytest

from lightd_fixture import Lightd, Sim, free_port, wait_for

LIGHTCTL = os.environ.get("LIGHTCTL", "build/cli/lightctl")
SCHEMA = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "..", "schema",
                      "lightkit-state.schema.json")
lightkit = pytest.importorskip("lightkit", reason="the Python package (PYTHONPATH) and LIGHTKIT_LIBRARY are needed")
jsonschema = pytest.importorskip("jsonschema", reason="python3-jsonschema is needed")

# (what, Python, lightctl arguments)
OPERATIONS = [
    ("brightness", lambda ls: setattr(ls.channel("led480"), "brightness", 40), ["led", "led480", "--brightness", "40"]),
    ("channel on", lambda ls: setattr(ls.channels[1], "enabled", True), ["led", "1", "on"]),
    ("global off", lambda ls: setattr(ls, "enabled", False), ["off"]),
    ("mode edge", lambda ls: setattr(ls, "mode", lightkit.WorkMode.EDGE), ["mode", "edge"]),
    ("edge delay", lambda ls: setattr(ls.edge, "delay_ms", 10), ["edge", "--delay", "10"]),
    ("edge pulse", lambda ls: setattr(ls.channel("LED640"), "edge_pulse_ms", 50), ["edge", "--pulse", "LED640=50"]),
    ("ttl output", lambda ls: setattr(ls.ttl, "output_enabled", True), ["ttl", "--output", "on"]),
    ("ttl delay", lambda ls: setattr(ls.ttl, "delay_ms", 20), ["ttl", "--delay", "20"]),
    ("mode internal", lambda ls: setattr(ls, "mode", lightkit.WorkMode.INTERNAL), ["mode", "internal"]),
    ("internal output", lambda ls: setattr(ls.internal, "output_enabled", True), ["internal", "--output", "on"]),
    ("internal delay", lambda ls: setattr(ls.internal, "delay_ms", 30), ["internal", "--delay", "30"]),
    ("internal high", lambda ls: setattr(ls.internal, "high_ms", 40), ["internal", "--high", "40"]),
    ("internal low", lambda ls: setattr(ls.internal, "low_ms", 50), ["internal", "--low", "50"]),
    ("internal count", lambda ls: setattr(ls.internal, "pulse_count", 3), ["internal", "--count", "3"]),
    ("trigger", lambda ls: ls.internal.fire(), ["trigger"]),
    ("global on", lambda ls: setattr(ls, "enabled", True), ["on"]),
]

# Fields that differ by nature between tools: where the port is named from,
# since when it is open, temperatures read at different moments.
VARYING = {"port", "connected_since_ms"}


def comparable(state):
    state = {k: v for k, v in state.items() if k not in VARYING}
    state["channels"] = [{k: v for k, v in c.items() if k not in ("temperature", "over_temperature")}
                         for c in state["channels"]]
    return state


def lightctl(*args, env=None):
    result = subprocess.run([LIGHTCTL, *args], capture_output=True, text=True, timeout=30, env=env)
    assert result.returncode == 0, (args, result.stderr)
    return result.stdout


class PythonTool:
    def __init__(self, target, token=None):
        self.ls = lightkit.LightSource(target, token=token) if token else lightkit.LightSource(target)

    def run(self, index):
        OPERATIONS[index][1](self.ls)

    def state(self):
        return self.ls.snapshot()

    def close(self):
        self.ls.close()


class LightctlTool:
    def __init__(self, target, token=None):
        self.target = ["--server", target] if target.startswith("http") else ["--port", target]
        self.env = dict(os.environ, LIGHTKIT_TOKEN=token) if token else None

    def run(self, index):
        lightctl(*self.target, *OPERATIONS[index][2], env=self.env)

    def state(self):
        return json.loads(lightctl(*self.target, "--json", "status", env=self.env))

    def close(self):
        pass


def settled_writes(sim):
    """The frames of one operation: the light source notes a frame after it
    has answered it, so wait for the first, then for nothing more."""
    frames = wait_for(sim.writes, what="the operation's frames")
    while True:
        time.sleep(0.05)
        more = sim.writes()
        if not more:
            return frames
        frames += more


def run_table(tool_class, remote):
    """The write frames of each operation, and the state read back at the end."""
    sim = Sim()
    d = Lightd(sim.port, "--poll-ms", "200", "--token", "t0k") if remote else None
    try:
        target = "http://127.0.0.1:%d" % d.http_port if remote else sim.port
        tool = tool_class(target, token="t0k" if remote else None)
        wait_for(lambda: sim.writes() == [] and sim.writes() == [], what="the light source quiet")
        frames = []
        for index in range(len(OPERATIONS)):
            tool.run(index)
            frames.append(settled_writes(sim))
        state = tool.state()
        tool.close()
        return frames, state
    finally:
        if d:
            assert d.close() == 0
        sim.close()


TOOLS = {
    "python local": (PythonTool, False),
    "python remote": (PythonTool, True),
    "lightctl local": (LightctlTool, False),
}
if os.environ.get("LIGHTCTL_HAS_SERVER", "1") == "1":
    TOOLS["lightctl remote"] = (LightctlTool, True)


def test_every_tool_sends_the_same_frames_and_reads_back_the_same_state():
    with open(SCHEMA) as f:
        validator = jsonschema.Draft202012Validator(json.load(f))
    results = {name: run_table(*spec) for name, spec in TOOLS.items()}
    reference_frames, reference_state = results["python local"]
    assert all(reference_frames), "every operation writes something"
    for name, (frames, state) in results.items():
        for (what, _, _), got, want in zip(OPERATIONS, frames, reference_frames):
            assert got == want, (name, what)
        assert [e.message for e in validator.iter_errors(state)] == [], name
        assert comparable(state) == comparable(reference_state), name


def test_lightctl_through_lightd_fails_as_on_a_port():
    sim = Sim()
    d = Lightd(sim.port, "--poll-ms", "200", "--token", "t0k")
    url = "http://127.0.0.1:%d" % d.http_port
    try:
        cases = [
            # (arguments, token, exit status, standard error starts with)
            (["--server", "http://127.0.0.1:%d" % free_port(), "info"], None, 3,
             "lightctl: cannot reach lightd at http://127.0.0.1:"),
            (["--server", "ftp://x", "info"], None, 3, "lightctl: not an address of lightd: ftp://x"),
            (["--server", url, "off"], None, 1,
             "lightctl: off: setting the global enable failed: lightd answered 401: a valid token is needed"),
            (["--server", url, "off"], "wrong", 1, "lightctl: off: setting the global enable failed: lightd answered 401"),
            (["--server", url, "led", "0", "--brightness", "101"], "t0k", 2, "lightctl: "),
        ]
        for args, token, status, err in cases:
            env = dict(os.environ, LIGHTKIT_TOKEN=token) if token else None
            result = subprocess.run([LIGHTCTL, *args], capture_output=True, text=True, timeout=30, env=env)
            assert (result.returncode, result.stdout) == (status, ""), (args, result.stderr)
            assert result.stderr.startswith(err), (args, result.stderr)
        assert sim.state()["enabled"] == 1
        sim.unplug()
        wait_for(lambda: not d.state()["connected"], what="the loss noticed")
        result = subprocess.run([LIGHTCTL, "--server", url, "info"], capture_output=True, text=True, timeout=30)
        assert result.returncode == 1
        assert result.stderr == "lightctl: info: reading the device model failed: lightd: the light source on %s " \
                                "is not connected\n" % sim.port
    finally:
        assert d.close() == 0
        sim.close()
