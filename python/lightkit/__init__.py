"""lightkit: the four-channel LED light source from Python.

A thin, typed layer over the DALU_LightKit shared library (through ctypes)::

    import lightkit

    with lightkit.LightSource("/dev/ttyUSB0") as ls:
        ls.channels[0].brightness = 80
        ls.channels[0].enabled = True
        print(ls.channel("LED385").temperature)

The library is found through ``LIGHTKIT_LIBRARY`` (a path) or, when that is
not set, by its installed name (``libDALU_LightKit.so.2``,
``DALU_LightKit.dll``). From import on, the library's lines go to the
``"lightkit"`` logger and never to standard output.

For tests without hardware, :class:`lightkit.sim.VirtualLightSource` runs the
virtual light source and gives its port.
"""

from ._native import LIBRARY_ENV
from .device import (
    CHANNEL_NAMES,
    MAX_BRIGHTNESS,
    MAX_PULSE_COUNT,
    MAX_TIME_MS,
    MODEL_NAMES,
    Channel,
    EdgeTrigger,
    InternalTrigger,
    LightSource,
    TtlTrigger,
    WorkMode,
    sdk_version,
)
from .errors import (
    ArgumentError,
    ClosedError,
    ConnectionError,
    DeviceError,
    LibraryNotFoundError,
    LightKitError,
)
from .ports import list_ports
from .remote import RemoteLightSource

__version__ = "2.1.0"

__all__ = [
    "LightSource",
    "RemoteLightSource",
    "Channel",
    "TtlTrigger",
    "EdgeTrigger",
    "InternalTrigger",
    "WorkMode",
    "sdk_version",
    "list_ports",
    "LightKitError",
    "ArgumentError",
    "DeviceError",
    "ConnectionError",
    "ClosedError",
    "LibraryNotFoundError",
    "CHANNEL_NAMES",
    "MODEL_NAMES",
    "MAX_BRIGHTNESS",
    "MAX_TIME_MS",
    "MAX_PULSE_COUNT",
    "LIBRARY_ENV",
]
