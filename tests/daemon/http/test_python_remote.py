"""The Python package through lightd: the exceptions a script meets are the
ones a local port gives, and events() follows the live stream."""
import pytest

from lightd_fixture import Lightd, Sim, free_port

lightkit = pytest.importorskip("lightkit", reason="the Python package (PYTHONPATH) and LIGHTKIT_LIBRARY are needed")


@pytest.fixture
def rig():
    sim = Sim()
    d = Lightd(sim.port, "--poll-ms", "200", "--token", "s3cret")
    url = "http://127.0.0.1:%d" % d.http_port
    yield sim, d, url
    d.close()
    sim.close()


def test_failures_raise_what_a_local_port_raises(rig):
    sim, d, url = rig
    with pytest.raises(lightkit.ConnectionError, match="cannot be reached"):
        lightkit.LightSource("http://127.0.0.1:%d" % free_port())
    with pytest.raises(lightkit.ArgumentError):
        lightkit.RemoteLightSource("ftp://127.0.0.1/")
    ls = lightkit.LightSource(url, token="s3cret")
    assert isinstance(ls, lightkit.RemoteLightSource) and ls.device_port == sim.port
    frames = sim.frames()
    failures = [
        (lambda: setattr(ls.channels[0], "brightness", 101), lightkit.ArgumentError, "0..100"),
        (lambda: setattr(ls, "mode", 9), lightkit.ArgumentError, "mode"),
        (lambda: ls.channel("LED999"), lightkit.ArgumentError, "no channel"),
        (lambda: setattr(lightkit.LightSource(url), "enabled", False), lightkit.DeviceError, "401"),
        (lambda: lightkit.LightSource(url, token="wrong").internal.fire(), lightkit.DeviceError, "401"),
    ]
    for action, error, text in failures:
        with pytest.raises(error, match=text):
            action()
    assert sim.frames() - frames < 20, "nothing but polls reached the device"
    assert sim.state()["triggers"] == 0
    sim.unplug()
    with pytest.raises(lightkit.DeviceError, match="not connected"):
        while True:  # until lightd has noticed
            ls.channels[2].temperature
    with pytest.raises(lightkit.DeviceError, match="503"):
        ls.enabled = True
    ls.close()
    ls.close()
    with pytest.raises(lightkit.ClosedError):
        ls.snapshot()


def test_events_follow_changes_from_any_client(rig):
    _, d, url = rig
    with lightkit.LightSource(url, token="s3cret") as ls:
        events = ls.events(timeout=10)
        name, state = next(events)
        assert name == "state" and state["connected"]
        assert d.scpi('SYST:PASS "s3cret";:SOUR3:POW 33') == "1"
        for name, data in events:
            if name == "state" and data["channels"][2]["brightness"] == 33:
                break
        name, data = next(n for n in events if n[0] == "temperatures")
        assert len(data["channels"]) == 4
        events.close()
        assert ls.channels[2].brightness == 33
