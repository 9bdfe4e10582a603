"""The machine's serial ports."""

from __future__ import annotations

import glob
import os
import sys
from typing import List

__all__ = ["list_ports"]


def list_ports() -> List[str]:
    """Names of the serial ports on this machine, sorted.

    Uses pyserial's port list when pyserial is installed, else a plain scan
    (``/dev`` on Linux and macOS, the registry on Windows). Pseudo-terminals
    such as the virtual light source's are not listed; open them by path.
    """
    try:
        from serial.tools import list_ports as serial_ports  # type: ignore[import-untyped]
    except ImportError:
        return sorted(_scan())
    return sorted(p.device for p in serial_ports.comports())


def _scan() -> List[str]:
    if sys.platform == "win32":
        return _scan_windows()
    if sys.platform == "darwin":
        return glob.glob("/dev/cu.*")
    found = []
    for pattern in ("/dev/ttyUSB*", "/dev/ttyACM*", "/dev/ttyAMA*", "/dev/rfcomm*", "/dev/ttyS*"):
        for path in glob.glob(pattern):
            name = os.path.basename(path)
            # The kernel makes ttyS0..31 whether or not a UART sits behind
            # them; only those with a device behind them are real.
            if name.startswith("ttyS") and not os.path.exists(f"/sys/class/tty/{name}/device/driver"):
                continue
            found.append(path)
    return found


def _scan_windows() -> List[str]:
    import winreg  # type: ignore[import-not-found]

    names = []
    try:
        key = winreg.OpenKey(winreg.HKEY_LOCAL_MACHINE, r"HARDWARE\DEVICEMAP\SERIALCOMM")
    except OSError:
        return names
    with key:
        i = 0
        while True:
            try:
                names.append(str(winreg.EnumValue(key, i)[1]))
            except OSError:
                break
            i += 1
    return names
