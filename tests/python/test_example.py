"""The example a newcomer runs first: it must run as shown and print its table."""

import os
import subprocess
import sys

EXAMPLE = os.path.join(os.path.dirname(__file__), "..", "..", "examples", "python", "status_table.py")


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
        "LED480   yes        60   31.50  -",
        "LED550   no          0   28.25  -",
        "LED640   no          0   64.00  OVER",
    ]
