#!/usr/bin/env python3
"""Opens a light source and prints a small status table; it only reads.

With no argument it starts the virtual light source, so it runs anywhere:

    python3 examples/python/status_table.py              # virtual light source
    python3 examples/python/status_table.py /dev/ttyUSB0 # a real one

Where the package or the library is not installed, point at a build tree:

    LIGHTKIT_LIBRARY=build/sdk/libDALU_LightKit.so.2 LIGHTKIT_LIGHTSIM=build/sim/lightsim \\
    PYTHONPATH=python python3 examples/python/status_table.py
"""

import contextlib
import sys

import lightkit
from lightkit.sim import VirtualLightSource


def print_status(ls: lightkit.LightSource) -> None:
    version = ls.firmware_version
    mode = ls.mode  # a lightkit.WorkMode, or a plain int for a byte that names no mode
    print(f"{ls.port}: model 0x{ls.model:08X} ({ls.model_name}), firmware "
          f"{version >> 16 & 0xFF}.{version >> 8 & 0xFF}.{version & 0xFF}, mode {getattr(mode, 'name', mode)}, "
          f"{'enabled' if ls.enabled else 'disabled'}")
    print(f"{'channel':<8} {'on':<4} {'bright %':>8} {'temp C':>7}  alarm")
    for ch in ls.channels:
        temperature, alarm = ch.status()
        print(f"{ch.name:<8} {'yes' if ch.enabled else 'no':<4} {ch.brightness:>8} {temperature:>7.2f}  "
              f"{'OVER' if alarm else '-'}")


def main() -> int:
    with contextlib.ExitStack() as stack:
        if len(sys.argv) > 1:
            port = sys.argv[1]
        else:
            sim = stack.enter_context(VirtualLightSource(fixed_temps=[25.0, 31.5, 28.25, 64.0]))
            port = sim.port
        try:
            print_status(stack.enter_context(lightkit.LightSource(port)))
        except lightkit.LightKitError as exc:
            print(f"status_table: {exc}", file=sys.stderr)
            return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
