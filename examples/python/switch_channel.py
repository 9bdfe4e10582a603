#!/usr/bin/env python3
"""WRITES to the light source: switches one channel on at a brightness, or off.

    python3 examples/python/switch_channel.py LED480 60              # virtual light source
    python3 examples/python/switch_channel.py LED480 off
    python3 examples/python/switch_channel.py LED480 60 /dev/ttyUSB0 # a real one: its light goes on

The brightness is sent before the channel is switched on, and a channel is
switched off before anything else, so the light never shows an old value.
With no port it starts the virtual light source (see status_table.py for the
environment a build tree needs).
"""

import contextlib
import sys

import lightkit
from lightkit.sim import VirtualLightSource


def main() -> int:
    if len(sys.argv) not in (3, 4):
        print("usage: switch_channel.py CHANNEL PERCENT|off [PORT]", file=sys.stderr)
        return 2
    name, value = sys.argv[1], sys.argv[2]
    with contextlib.ExitStack() as stack:
        if len(sys.argv) == 4:
            port = sys.argv[3]
        else:
            port = stack.enter_context(VirtualLightSource()).port
        try:
            channel = stack.enter_context(lightkit.LightSource(port)).channel(name)
            if value == "off":
                channel.enabled = False
            else:
                channel.brightness = int(value)
                channel.enabled = True
            print(f"{channel.name}: {'on' if channel.enabled else 'off'}, {channel.brightness} %")
        except (lightkit.LightKitError, ValueError) as exc:
            print(f"switch_channel: {exc}", file=sys.stderr)
            return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
