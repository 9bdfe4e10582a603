"""Fixtures: a fresh virtual light source and a light source open on it, per test.

CTest sets LIGHTKIT_LIBRARY, LIGHTKIT_LIGHTSIM and PYTHONPATH to the build's
library, the build's lightsim and the source tree's package.
"""

from typing import Iterator

import pytest

import lightkit
from lightkit.sim import VirtualLightSource


@pytest.fixture
def sim() -> Iterator[VirtualLightSource]:
    with VirtualLightSource(log_frames=True) as device:
        yield device


@pytest.fixture
def ls(sim: VirtualLightSource) -> Iterator[lightkit.LightSource]:
    with lightkit.LightSource(sim.port) as source:
        yield source


def sync(ls: lightkit.LightSource, sim: VirtualLightSource) -> None:
    """Makes one read, so every earlier frame has reached the device's frame log."""
    ls.model
    assert sim.wait_for_frame(MODEL_READ)


MODEL_READ = bytes.fromhex("55 AA FF 00 00 FF FA")
