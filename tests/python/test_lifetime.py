"""What outlives what: lightsim ends with its VirtualLightSource however that
ends, and a LightSource the collector frees never takes another call's lines."""

import ctypes
import gc
import os
import re
import subprocess
import sys
import time
import weakref

import pytest

import lightkit
from lightkit.sim import VirtualLightSource


def _ended(pid: int, timeout: float = 5.0) -> bool:
    """True once the process is gone (or a zombie: ended, not yet waited for)."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        try:
            with open(f"/proc/{pid}/stat") as stat:
                if stat.read().rsplit(")", 1)[1].split()[0] == "Z":
                    return True
        except FileNotFoundError:
            return True
        time.sleep(0.02)
    return False


@pytest.mark.parametrize("stop", [True, False], ids=["stop", "collected"])
def test_lightsim_ends_with_its_object(stop):
    sim = VirtualLightSource()
    pid = sim.pid
    if stop:
        sim.stop()
        assert _ended(pid)
    del sim
    gc.collect()
    assert _ended(pid)


def test_lightsim_ends_at_the_end_of_the_with_block():
    with VirtualLightSource() as sim:
        pid = sim.pid
    assert _ended(pid)


def test_lightsim_ends_with_the_interpreter():
    script = "from lightkit.sim import VirtualLightSource\nsim = VirtualLightSource()\nprint(sim.pid)\n"
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    assert _ended(int(result.stdout))


def test_a_collected_light_source_leaves_another_calls_lines(sim):
    # The collector runs finalisers on whichever thread it interrupts; here it
    # interrupts a read that is about to fail on a silent device.
    with VirtualLightSource(faults={"silent": True}) as silent, lightkit.LightSource(silent.port) as ls:
        other = lightkit.LightSource(sim.port)
        other.cycle = other  # only the collector frees it
        collected = weakref.ref(other)
        del other
        get_work_mode = ls._lib.DALUSDK_GetWorkMode

        def collect_then_read(handle, out):
            gc.collect()
            return get_work_mode(handle, out)

        collect_then_read.__name__ = "DALUSDK_GetWorkMode"
        gc.disable()
        try:
            with pytest.raises(lightkit.DeviceError) as err:
                ls._read(collect_then_read, ctypes.c_int)
        finally:
            gc.enable()
        assert collected() is None
        assert tuple(re.sub(r":\d+>", ":N>", line) for line in err.value.lines) == ("[info ] <DOCMD_SendAndWaitRecvCmd> recv cmd(0x8001) timeout.",
                                   "[error] <DOCMD_GetWorkMode:N> DOCMD_SendAndWaitRecvCmd, ret (-1) err!")
