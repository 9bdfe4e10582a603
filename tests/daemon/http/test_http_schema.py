"""lightd's state documents against the shipped JSON Schemas, with Debian's
jsonschema: GET /api/v1/state and the events' state data in every mode and
disconnected; and the write schema agrees with lightd on which PATCH bodies
it takes."""
import json
import os

import pytest

jsonschema = pytest.importorskip("jsonschema", reason="python3-jsonschema is needed")

from lightd_fixture import EventStream, Lightd, Sim, wait_for  # noqa: E402

SCHEMA_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "..", "schema")


def validator(name):
    with open(os.path.join(SCHEMA_DIR, name)) as f:
        schema = json.load(f)
    jsonschema.Draft202012Validator.check_schema(schema)
    return jsonschema.Draft202012Validator(schema)


STATE = validator("lightkit-state.schema.json")
PATCH = validator("lightkit-patch.schema.json")


@pytest.fixture(scope="module")
def rig():
    sim = Sim()
    d = Lightd(sim.port, "--poll-ms", "200")
    yield sim, d
    assert d.close() == 0
    sim.close()


def errors(validator_, document):
    return [e.message for e in validator_.iter_errors(document)]


# (body, the write schema takes it); lightd must agree.
WRITES = [
    ({"enabled": False}, True),
    ({"channels": [{"name": "led480", "brightness": 5}]}, True),
    ({"channels": [{"index": 3, "pulse_ms": 5000}], "edge": {"delay_ms": 0}}, True),
    ({"ttl": {"output_enabled": True, "delay_ms": 10}, "internal": {"pulse_count": 100}}, True),
    ({"mode": "disco"}, False),
    ({"enabled": 1}, False),
    ({"channels": [{"index": 4, "brightness": 1}]}, False),
    ({"channels": [{"name": "LED999", "brightness": 1}]}, False),
    ({"channels": [{"index": 0, "brightness": 101}]}, False),
    ({"channels": [{"index": 0, "colour": "red"}]}, False),
    ({"internal": {"pulse_count": 101}}, False),
    ({"ttl": {"delay_ms": 5001}}, False),
    ({"edge": {"delay_ms": 1.5}}, False),
    ({"bogus": 1}, False),
]


@pytest.mark.parametrize("body,valid", WRITES, ids=[json.dumps(b) for b, _ in WRITES])
def test_the_write_schema_and_lightd_agree(rig, body, valid):
    _, d = rig
    assert (errors(PATCH, body) == []) == valid
    status, _ = d.patch(body)
    assert (status == 200) == valid, status


def test_every_state_and_state_event_validates(rig):
    sim, d = rig
    stream = EventStream(d.http_port)
    seen = []
    for mode in ["normal", "ttl", "edge", "internal", "sequence"]:
        status, state = d.patch({"mode": mode, "channels": [{"index": 1, "enabled": True, "brightness": 70}]})
        assert status == 200
        event = stream.wait_for_state(lambda s, m=mode: s["mode"] == m)
        seen += [state, event, d.state()]
    sim.set_temperature(2, 66.0, True)
    seen.append(wait_for(lambda: (lambda s: s if s["channels"][2]["over_temperature"] else None)(d.state()),
                         what="the alarm"))
    sim.unplug()
    lost = stream.wait_for_state(lambda s: not s["connected"])
    seen += [lost, d.state()]
    stream.close()
    assert lost["connected_since_ms"] is None and all(c["temperature"] is None for c in lost["channels"])
    assert {document["mode"] for document in seen} == {"normal", "ttl", "edge", "internal", "sequence"}
    for document in seen:
        assert errors(STATE, document) == [], document
        assert errors(PATCH, document) == [], "a saved state is a valid write"
