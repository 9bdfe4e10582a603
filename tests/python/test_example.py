"""The examples: the one a newcomer runs first must run as shown, print its table
and only read; the one that writes sends the values before the switch."""

import os
import subprocess
import sys

from lightkit.sim import VirtualLightSource

EXAMPLES = os.path.join(os.path.dirname(__file__), "..", "..", "examples", "python")
EXAMPLE = os.path.join(EXAMPLES, "status_table.py")


def _codes(frames):
    """The command codes of whole frames (55 AA hi lo ...)."""
    return [f"{frame[2]:02X}{frame[3]:02X}" for frame in frames]


def test_status_table_example():
    result = subprocess.run([sys.executable, EXAMPLE], capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    assert result.stderr == ""
    lines = result.stdout.splitlines()
    assert lines[0].startswith("/dev/") and lines[0].endswith(
        ": model 0xFFAA0400 (4-colour), firmware 1.2.3, mode NORMAL, enabled")
    assert lines[1:] == [
        "channel  on   bright %  temp C  alarm",
        "LED385   no          0   25.00  -",
        "LED480   no          0   31.50  -",
        "LED550   no          0   28.25  -",
        "LED640   no          0   64.00  OVER",
    ]


def test_status_table_example_only_reads():
    with VirtualLightSource(log_frames=True) as sim:
        result = subprocess.run([sys.executable, EXAMPLE, sim.port], capture_output=True, text=True, timeout=60)
        assert result.returncode == 0, result.stderr
        codes = _codes(sim.received_frames())
    assert codes and all(int(code, 16) & 0x8000 for code in codes), codes


def test_switch_channel_example_sends_the_values_before_the_switch():
    example = os.path.join(EXAMPLES, "switch_channel.py")
    with open(example) as source:
        assert "WRITES" in source.read().split("\n")[1]
    with VirtualLightSource(log_frames=True) as sim:
        for args, writes, out in [(["LED480", "60"], ["0102", "0101"], "LED480: on, 60 %\n"),
                                  (["LED480", "off"], ["0101"], "LED480: off, 60 %\n")]:
            sim.clear_frames()
            result = subprocess.run([sys.executable, example, *args, sim.port],
                                    capture_output=True, text=True, timeout=60)
            assert result.returncode == 0, result.stderr
            assert result.stdout == out
            assert [code for code in _codes(sim.received_frames()) if int(code, 16) < 0x8000] == writes
