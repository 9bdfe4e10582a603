"""The light source: :class:`LightSource`, its :class:`Channel` objects and the trigger-mode groups."""

from __future__ import annotations

import atexit
import ctypes
import enum
import os
import threading
import time
import weakref
from typing import Any, Callable, Dict, Tuple, Union

from . import _native
from .errors import ArgumentError, ClosedError, ConnectionError, DeviceError

__all__ = [
    "WorkMode",
    "LightSource",
    "Channel",
    "TtlTrigger",
    "EdgeTrigger",
    "InternalTrigger",
    "sdk_version",
    "CHANNEL_NAMES",
    "MODEL_NAMES",
    "MAX_BRIGHTNESS",
    "MAX_TIME_MS",
    "MAX_PULSE_COUNT",
]

CHANNEL_NAMES: Tuple[str, ...] = ("LED385", "LED480", "LED550", "LED640")
MODEL_NAMES: Dict[int, str] = {0xFFAA0400: "4-colour", 0xFFAA0800: "8-colour"}
MAX_BRIGHTNESS = 100
MAX_TIME_MS = 5000
MAX_PULSE_COUNT = 100


class WorkMode(enum.IntEnum):
    """The device's work modes."""

    NORMAL = 0
    TTL = 1
    EDGE = 2
    INTERNAL = 3
    SEQUENCE = 4


def _int_arg(name: str, value: Any, high: int) -> int:
    """Returns ``value`` as an int in 0..high, or raises :class:`ArgumentError`."""
    if type(value) is not int:
        if isinstance(value, bool) or not hasattr(value, "__index__"):
            raise ArgumentError(f"{name} must be an int in 0..{high}, got {type(value).__name__} {value!r}")
        value = value.__index__()
    if not 0 <= value <= high:
        raise ArgumentError(f"{name} must be in 0..{high}, got {value}")
    return value


def _bool_arg(name: str, value: Any) -> int:
    if type(value) is not bool:
        raise ArgumentError(f"{name} must be a bool, got {type(value).__name__} {value!r}")
    return 1 if value else 0


def sdk_version() -> int:
    """The library's version number, e.g. 20100 for 2.1.0."""
    out = ctypes.c_uint()
    lib = _native.library()
    _native.begin_capture()
    try:
        rc = lib.DALUSDK_GetSdkVersion(ctypes.byref(out))
    finally:
        lines = _native.end_capture()
    if rc != 0:
        raise DeviceError("DALUSDK_GetSdkVersion", lines)
    return out.value


# Light sources still open at exit are closed then, while the interpreter can
# still run the log hook for their receive threads.
_open_sources: "weakref.WeakSet[LightSource]" = weakref.WeakSet()


@atexit.register
def _close_all() -> None:
    for source in list(_open_sources):
        try:
            source.close()
        except Exception:  # noqa: BLE001 - nothing to report to at exit
            pass


class LightSource:
    """One light source on a serial port.

    Opening it opens the port (``"/dev/ttyUSB0"``, ``"ttyUSB0"``, ``"COM3"``),
    or reaches a light source through lightd (``"http://lab-pc:8080"``,
    ``token=...``: a :class:`~lightkit.remote.RemoteLightSource`);
    :meth:`close`, or leaving the ``with`` block, closes it. Every property
    reads or writes the device at once: a read blocks until the reply arrives
    (about half a second at most when the device stays silent).

    One lock per light source serialises its calls, so threads may share it;
    different light sources work in parallel.

    Raises:
        ConnectionError: the port cannot be opened.
        LibraryNotFoundError: the DALU_LightKit library cannot be loaded.
    """

    def __new__(cls, port: Any = None, *args: Any, **kwargs: Any) -> "LightSource":
        # An http:// or https:// address is a lightd that owns the port.
        if cls is LightSource and isinstance(port, str) and port.startswith(("http://", "https://")):
            from .remote import RemoteLightSource

            return super().__new__(RemoteLightSource)
        return super().__new__(cls)

    def __init__(self, port: Union[str, "os.PathLike[str]"]) -> None:
        if isinstance(port, os.PathLike):
            port = os.fspath(port)
        if not isinstance(port, str) or not port:
            raise ArgumentError(f"port must be a non-empty str, got {port!r}")
        self._lib = _native.library()
        self._lock = threading.RLock()
        self._handle: Union[int, None] = None
        self.port = port
        _native.begin_capture()
        try:
            handle = self._lib.DALUSDK_CreateHandle(port.encode("utf-8"))
        finally:
            lines = _native.end_capture()
        if not handle:
            raise ConnectionError(port, lines)
        self._handle = handle
        self._opened_ms = int(time.time() * 1000)
        _open_sources.add(self)
        self.channels: Tuple[Channel, ...] = tuple(Channel(self, i, n) for i, n in enumerate(CHANNEL_NAMES))
        self.ttl = TtlTrigger(self)
        self.edge = EdgeTrigger(self)
        self.internal = InternalTrigger(self)

    # ---- life cycle -------------------------------------------------------

    def close(self) -> None:
        """Closes the port. Later use raises :class:`ClosedError`; closing twice is harmless."""
        self._close(keep_lines=True)

    def _close(self, keep_lines: bool) -> None:
        with self._lock:
            handle, self._handle = self._handle, None
            if handle is None:
                return
            _open_sources.discard(self)
            _native.begin_capture(keep_lines)
            try:
                rc = self._lib.DALUSDK_DestroyHandle(handle)
            finally:
                lines = _native.end_capture()
        if rc != 0:
            raise DeviceError("DALUSDK_DestroyHandle", lines)

    @property
    def closed(self) -> bool:
        """True after :meth:`close`."""
        return self._handle is None

    def __enter__(self) -> "LightSource":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __del__(self) -> None:
        # The collector runs this on whichever thread it interrupted, maybe in
        # the middle of another call: its lines go to the log, not into that
        # call's capture.
        if getattr(self, "_handle", None) is not None:
            try:
                self._close(keep_lines=False)
            except Exception:  # noqa: BLE001 - a finaliser must not raise
                pass

    def __repr__(self) -> str:
        state = "closed" if self._handle is None else "open"
        return f"<lightkit.LightSource {self.port!r} {state}>"

    # ---- the one path to the library ---------------------------------------

    def _call(self, fn: Callable[..., int], *args: Any) -> None:
        with self._lock:
            handle = self._handle
            if handle is None:
                raise ClosedError(f"light source {self.port!r} is closed")
            _native.begin_capture()
            try:
                rc = fn(handle, *args)
            finally:
                lines = _native.end_capture()
        if rc != 0:
            raise DeviceError(fn.__name__, lines)

    def _read(self, fn: Callable[..., int], ctype: Any, *args: Any) -> Any:
        out = ctype()
        self._call(fn, *args, ctypes.byref(out))
        return out.value

    # ---- device -----------------------------------------------------------

    @property
    def model(self) -> int:
        """The device model, e.g. ``0xFFAA0400``."""
        return self._read(self._lib.DALUSDK_GetDeviceModel, ctypes.c_uint)

    @property
    def model_name(self) -> str:
        """``"4-colour"``, ``"8-colour"`` or ``"unknown"`` (reads the model)."""
        return MODEL_NAMES.get(self.model, "unknown")

    @property
    def firmware_version(self) -> int:
        """The device software version, e.g. ``0x00010203`` for 1.2.3."""
        return self._read(self._lib.DALUSDK_GetDeviceSofewareVersion, ctypes.c_uint)

    @property
    def enabled(self) -> bool:
        """The global enable."""
        return bool(self._read(self._lib.DALUSDK_GetGlobalEnable, ctypes.c_ubyte))

    @enabled.setter
    def enabled(self, value: bool) -> None:
        self._call(self._lib.DALUSDK_SetGlobalEnable, _bool_arg("enabled", value))

    @property
    def mode(self) -> Union[WorkMode, int]:
        """The work mode; a byte the device sends that names no mode is returned as a plain int."""
        raw = self._read(self._lib.DALUSDK_GetWorkMode, ctypes.c_int)
        try:
            return WorkMode(raw)
        except ValueError:
            return raw

    @mode.setter
    def mode(self, value: Union[WorkMode, int]) -> None:
        self._call(self._lib.DALUSDK_SetWorkMode, _int_arg("mode", value, max(WorkMode)))

    def channel(self, key: Union[str, int]) -> "Channel":
        """The channel of that name (``"LED385"``, in any case) or index (0..3)."""
        if isinstance(key, str):
            for ch in self.channels:
                if ch.name == key.upper():
                    return ch
            raise ArgumentError(f"no channel named {key!r}; the channels are {', '.join(CHANNEL_NAMES)}")
        return self.channels[_int_arg("channel index", key, len(self.channels) - 1)]

    def snapshot(self) -> Dict[str, Any]:
        """Every readable value in one dict of plain types, in the shape of
        ``lightkit-state.schema.json`` (the same document lightd's API and
        ``lightctl --json status`` give).

        The reads run under the light source's lock, so no other thread's call
        falls between them.
        """
        with self._lock:
            model = self.model
            mode = self.mode
            return {
                "connected": True,
                "connected_since_ms": self._opened_ms,
                "port": self.port,
                "model": model,
                "model_name": MODEL_NAMES.get(model, "unknown"),
                "firmware_version": self.firmware_version,
                "sdk_version": sdk_version(),
                "enabled": self.enabled,
                "mode": mode.name.lower() if isinstance(mode, WorkMode) else None,
                "channels": [ch._snapshot() for ch in self.channels],
                "ttl": {"output_enabled": self.ttl.output_enabled, "delay_ms": self.ttl.delay_ms},
                "edge": {"delay_ms": self.edge.delay_ms},
                "internal": {
                    "output_enabled": self.internal.output_enabled,
                    "delay_ms": self.internal.delay_ms,
                    "high_ms": self.internal.high_ms,
                    "low_ms": self.internal.low_ms,
                    "pulse_count": self.internal.pulse_count,
                },
            }


class Channel:
    """One LED channel of a :class:`LightSource` (``ls.channels[i]`` or ``ls.channel(name)``)."""

    def __init__(self, source: LightSource, index: int, name: str) -> None:
        self._source = source
        self._lib = source._lib
        self.index = index
        self.name = name

    def __repr__(self) -> str:
        return f"<lightkit.Channel {self.index} {self.name}>"

    @property
    def enabled(self) -> bool:
        """The channel's enable."""
        return bool(self._source._read(self._lib.DALUSDK_GetLedChecked, ctypes.c_ubyte, self.index))

    @enabled.setter
    def enabled(self, value: bool) -> None:
        self._source._call(self._lib.DALUSDK_SetLedChecked, self.index, _bool_arg("enabled", value))

    @property
    def brightness(self) -> int:
        """Brightness in percent, 0..100."""
        return self._source._read(self._lib.DALUSDK_GetLedBrightness, ctypes.c_ushort, self.index)

    @brightness.setter
    def brightness(self, value: int) -> None:
        self._source._call(
            self._lib.DALUSDK_SetLedBrightness, self.index, _int_arg("brightness", value, MAX_BRIGHTNESS)
        )

    @property
    def temperature(self) -> float:
        """Temperature in degrees C (the device reports hundredths)."""
        return round(self._source._read(self._lib.DALUSDK_GetLedTempValue, ctypes.c_float, self.index), 2)

    @property
    def over_temperature(self) -> bool:
        """The over-temperature alarm."""
        return bool(self._source._read(self._lib.DALUSDK_GetLedTempOver, ctypes.c_ubyte, self.index))

    def status(self) -> Tuple[float, bool]:
        """``(temperature, over_temperature)`` in one exchange."""
        temp = ctypes.c_float()
        over = ctypes.c_ubyte()
        self._source._call(
            self._lib.DALUSDK_GetLedTempStatus, self.index, ctypes.byref(temp), ctypes.byref(over)
        )
        return round(temp.value, 2), bool(over.value)

    @property
    def edge_pulse_ms(self) -> int:
        """Pulse width in edge mode, 0..5000 ms."""
        return self._source._read(self._lib.DALUSDK_ModeEdge_GetPulseTime, ctypes.c_ushort, self.index)

    @edge_pulse_ms.setter
    def edge_pulse_ms(self, value: int) -> None:
        self._source._call(
            self._lib.DALUSDK_ModeEdge_SetPulseTime, self.index, _int_arg("edge_pulse_ms", value, MAX_TIME_MS)
        )

    def _snapshot(self) -> Dict[str, Any]:
        temperature, over = self.status()
        return {
            "index": self.index,
            "name": self.name,
            "enabled": self.enabled,
            "brightness": self.brightness,
            "temperature": temperature,
            "over_temperature": over,
            "pulse_ms": self.edge_pulse_ms,
        }


class _Group:
    def __init__(self, source: LightSource) -> None:
        self._source = source
        self._lib = source._lib


class TtlTrigger(_Group):
    """TTL trigger mode settings (``ls.ttl``)."""

    @property
    def output_enabled(self) -> bool:
        """The TTL output enable."""
        return bool(self._source._read(self._lib.DALUSDK_ModeTtl_GetOutputEnable, ctypes.c_ubyte))

    @output_enabled.setter
    def output_enabled(self, value: bool) -> None:
        self._source._call(self._lib.DALUSDK_ModeTtl_SetOutputEnable, _bool_arg("output_enabled", value))

    @property
    def delay_ms(self) -> int:
        """TTL delay, 0..5000 ms."""
        return self._source._read(self._lib.DALUSDK_ModeTtl_GetDelayTime, ctypes.c_ushort)

    @delay_ms.setter
    def delay_ms(self, value: int) -> None:
        self._source._call(self._lib.DALUSDK_ModeTtl_SetDelayTime, _int_arg("delay_ms", value, MAX_TIME_MS))


class EdgeTrigger(_Group):
    """Edge trigger mode settings (``ls.edge``); the pulse widths are per channel (``Channel.edge_pulse_ms``)."""

    @property
    def delay_ms(self) -> int:
        """Edge delay, 0..5000 ms."""
        return self._source._read(self._lib.DALUSDK_ModeEdge_GetDelayTime, ctypes.c_ushort)

    @delay_ms.setter
    def delay_ms(self, value: int) -> None:
        self._source._call(self._lib.DALUSDK_ModeEdge_SetDelayTime, _int_arg("delay_ms", value, MAX_TIME_MS))


class InternalTrigger(_Group):
    """Internal trigger mode settings (``ls.internal``) and :meth:`fire`."""

    @property
    def output_enabled(self) -> bool:
        """The internal trigger's output enable."""
        return bool(self._source._read(self._lib.DALUSDK_ModeTrigger_GetOutputEnable, ctypes.c_ubyte))

    @output_enabled.setter
    def output_enabled(self, value: bool) -> None:
        self._source._call(self._lib.DALUSDK_ModeTrigger_SetOutputEnable, _bool_arg("output_enabled", value))

    @property
    def delay_ms(self) -> int:
        """Delay before the first pulse, 0..5000 ms."""
        return self._source._read(self._lib.DALUSDK_ModeTrigger_GetDelayTime, ctypes.c_ushort)

    @delay_ms.setter
    def delay_ms(self, value: int) -> None:
        self._source._call(self._lib.DALUSDK_ModeTrigger_SetDelayTime, _int_arg("delay_ms", value, MAX_TIME_MS))

    @property
    def high_ms(self) -> int:
        """Pulse high time, 0..5000 ms."""
        return self._source._read(self._lib.DALUSDK_ModeTrigger_GetHighTime, ctypes.c_ushort)

    @high_ms.setter
    def high_ms(self, value: int) -> None:
        self._source._call(self._lib.DALUSDK_ModeTrigger_SetHighTime, _int_arg("high_ms", value, MAX_TIME_MS))

    @property
    def low_ms(self) -> int:
        """Low time between pulses, 0..5000 ms."""
        return self._source._read(self._lib.DALUSDK_ModeTrigger_GetLowTime, ctypes.c_ushort)

    @low_ms.setter
    def low_ms(self, value: int) -> None:
        self._source._call(self._lib.DALUSDK_ModeTrigger_SetLowTime, _int_arg("low_ms", value, MAX_TIME_MS))

    @property
    def pulse_count(self) -> int:
        """Pulses per trigger, 0..100."""
        return self._source._read(self._lib.DALUSDK_ModeTrigger_GetPulseNum, ctypes.c_ubyte)

    @pulse_count.setter
    def pulse_count(self, value: int) -> None:
        self._source._call(
            self._lib.DALUSDK_ModeTrigger_SetPulseNum, _int_arg("pulse_count", value, MAX_PULSE_COUNT)
        )

    def fire(self) -> None:
        """Fires one trigger."""
        self._source._call(self._lib.DALUSDK_ModeTrigger_OnTrigger)
