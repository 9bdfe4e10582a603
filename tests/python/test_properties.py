"""Every property against the virtual light source: the frame a write sends,
the value a read brings back, and the bounds checked before anything is sent."""

import json
import sys
from typing import Any, Callable

import pytest

import lightkit
from lightkit.sim import VirtualLightSource

from conftest import MODEL_READ, sync


def path(spec: str) -> Callable[[lightkit.LightSource], Any]:
    """'internal' -> ls.internal, 'channels.2' -> ls.channels[2], '' -> ls."""
    def get(ls: lightkit.LightSource) -> Any:
        obj: Any = ls
        for part in filter(None, spec.split(".")):
            obj = obj[int(part)] if part.isdigit() else getattr(obj, part)
        return obj
    return get


# owner, property, a value other than the device's default, the frame the write sends.
ROUND_TRIPS = [
    ("", "enabled", False, "55 AA 00 02 01 00 03 FA"),
    ("", "mode", lightkit.WorkMode.EDGE, "55 AA 00 01 01 02 04 FA"),
    ("channels.2", "enabled", True, "55 AA 01 01 02 02 01 07 FA"),
    ("channels.1", "brightness", 80, "55 AA 01 02 03 01 00 50 57 FA"),
    ("channels.3", "edge_pulse_ms", 1234, "55 AA 03 02 03 03 04 D2 E1 FA"),
    ("ttl", "output_enabled", True, "55 AA 02 01 01 01 05 FA"),
    ("ttl", "delay_ms", 100, "55 AA 02 02 02 00 64 6A FA"),
    ("edge", "delay_ms", 5000, "55 AA 03 01 02 13 88 A1 FA"),
    ("internal", "output_enabled", True, "55 AA 04 01 01 01 07 FA"),
    ("internal", "delay_ms", 7, "55 AA 04 02 02 00 07 0F FA"),
    ("internal", "high_ms", 10, "55 AA 04 03 02 00 0A 13 FA"),
    ("internal", "low_ms", 90, "55 AA 04 04 02 00 5A 64 FA"),
    ("internal", "pulse_count", 100, "55 AA 04 05 01 64 6E FA"),
]


@pytest.mark.parametrize("owner,prop,value,frame", ROUND_TRIPS, ids=lambda v: str(v))
def test_write_sends_its_frame_and_reads_back(ls, sim, owner, prop, value, frame):
    target = path(owner)(ls)
    assert getattr(target, prop) != value
    setattr(target, prop, value)
    assert sim.wait_for_frame(bytes.fromhex(frame))
    got = getattr(target, prop)
    assert got == value and type(got) is type(value)


def test_fire_sends_one_trigger(ls, sim):
    ls.internal.fire()
    assert sim.wait_for_frame(bytes.fromhex("55 AA 04 06 00 0A FA"))


def test_identity_and_temperatures_as_the_device_reports_them():
    temps = [25.0, (30.5, True), -2.0, 70.0]
    with VirtualLightSource(model=0xFFAA0800, version=0x00020304, fixed_temps=temps) as sim, \
            lightkit.LightSource(sim.port) as ls:
        assert (ls.model, ls.model_name, ls.firmware_version) == (0xFFAA0800, "8-colour", 0x00020304)
        expected = [(25.0, False), (30.5, True), (-2.0, False), (70.0, True)]
        assert [ch.status() for ch in ls.channels] == expected
        assert [(ch.temperature, ch.over_temperature) for ch in ls.channels] == expected


@pytest.mark.parametrize("model,name", [(0xFFAA0400, "4-colour"), (0x12345678, "unknown")])
def test_model_name(model, name):
    with VirtualLightSource(model=model) as sim, lightkit.LightSource(sim.port) as ls:
        assert ls.model_name == name


def test_channels_by_index_and_name(ls):
    assert [(ch.index, ch.name) for ch in ls.channels] == list(enumerate(lightkit.CHANNEL_NAMES))
    assert ls.channel("LED550") is ls.channels[2]
    assert ls.channel("led550") is ls.channels[2]  # any case, as in lightctl and lightd
    assert ls.channel(3) is ls.channels[3]
    with pytest.raises(lightkit.ArgumentError):
        ls.channel("LED551")


def test_snapshot_is_json_ready_and_current(ls):
    ls.channels[0].brightness = 42
    ls.mode = lightkit.WorkMode.TTL
    ls.internal.pulse_count = 3
    snap = json.loads(json.dumps(ls.snapshot()))
    assert snap["model"] == 0xFFAA0400 and snap["model_name"] == "4-colour"
    assert snap["mode"] == "ttl"
    assert snap["channels"][0]["brightness"] == 42
    assert snap["channels"][0]["name"] == "LED385"
    assert snap["internal"]["pulse_count"] == 3
    # The state document's names, as lightd and lightctl give them.
    assert set(snap) == {"connected", "connected_since_ms", "port", "model", "model_name", "firmware_version",
                         "sdk_version", "enabled", "mode", "channels", "ttl", "edge", "internal"}
    assert set(snap["channels"][0]) == {"index", "name", "enabled", "brightness", "temperature",
                                        "over_temperature", "pulse_ms"}


# owner, property, a value the package refuses before sending.
BAD_VALUES = [
    ("channels.0", "brightness", 101),
    ("channels.0", "brightness", -1),
    ("channels.0", "brightness", "80"),
    ("channels.0", "brightness", 80.0),
    ("channels.0", "brightness", True),
    ("channels.0", "edge_pulse_ms", 5001),
    ("channels.0", "enabled", 1),
    ("", "enabled", "yes"),
    ("", "mode", 5),
    ("", "mode", -1),
    ("", "mode", "EDGE"),
    ("ttl", "output_enabled", None),
    ("ttl", "delay_ms", 5001),
    ("edge", "delay_ms", 5001),
    ("internal", "delay_ms", 5001),
    ("internal", "high_ms", 5001),
    ("internal", "low_ms", 65536),
    ("internal", "pulse_count", 101),
    ("internal", "pulse_count", 256),
]


@pytest.mark.parametrize("owner,prop,value", BAD_VALUES, ids=lambda v: repr(v))
def test_bad_value_is_refused_before_sending(ls, sim, owner, prop, value):
    with pytest.raises(ValueError, match=prop) as err:
        setattr(path(owner)(ls), prop, value)
    assert isinstance(err.value, lightkit.ArgumentError)
    sync(ls, sim)
    assert sim.received_frames() == [MODEL_READ]


# The bounds themselves are accepted.
@pytest.mark.parametrize("owner,prop,value", [
    ("channels.0", "brightness", 0), ("channels.0", "brightness", 100),
    ("ttl", "delay_ms", 0), ("internal", "high_ms", 5000), ("internal", "pulse_count", 0),
])
def test_bound_values_are_accepted(ls, owner, prop, value):
    target = path(owner)(ls)
    setattr(target, prop, value)
    assert getattr(target, prop) == value


@pytest.mark.parametrize("key", ["LED999", 4, -1, 1.0])
def test_unknown_channel_is_refused(ls, key):
    with pytest.raises(lightkit.ArgumentError):
        ls.channel(key)


def test_sdk_version():
    assert lightkit.sdk_version() == 20100


@pytest.mark.parametrize("pyserial", [True, False])
def test_list_ports(monkeypatch, pyserial):
    if not pyserial:
        monkeypatch.setitem(sys.modules, "serial.tools", None)  # the import fails: the plain scan runs
    ports = lightkit.list_ports()
    assert ports == sorted(ports)
    assert all(isinstance(p, str) and p.startswith("/dev/") for p in ports)
