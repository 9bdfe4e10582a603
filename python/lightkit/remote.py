"""A light source reached through lightd's HTTP API rather than a port.

``LightSource("http://lab-pc:8080", token=...)`` gives a
:class:`RemoteLightSource`: the same properties, channels, trigger groups and
exceptions as a light source on a local port, over ``/api/v1`` with the
standard library's :mod:`http.client`. lightd owns the port, so a script, a
browser page and SCPI clients share one light source. Values come from
lightd's copy of the device's state (settings as last written or read,
temperatures from its last poll); :meth:`RemoteLightSource.events` follows
the live event stream.
"""

from __future__ import annotations

import ctypes
import http.client
import json
import threading
import urllib.parse
from typing import Any, Callable, Dict, Iterator, Optional, Tuple

from .device import CHANNEL_NAMES, Channel, EdgeTrigger, InternalTrigger, LightSource, TtlTrigger, WorkMode
from .errors import ArgumentError, ClosedError, ConnectionError, DeviceError

__all__ = ["RemoteLightSource"]

_MODES = [m.name.lower() for m in WorkMode]


def _set(out: Any, value: Any) -> None:
    """Stores `value` where a ctypes ``byref`` output argument points."""
    out._obj.value = value


class _Api:
    """lightd's HTTP API on one keep-alive connection, serialised by a lock."""

    def __init__(self, url: str, token: Optional[str], timeout: float) -> None:
        parts = urllib.parse.urlsplit(url)
        if parts.scheme not in ("http", "https") or not parts.hostname:
            raise ArgumentError(f"not an http:// or https:// address of lightd: {url!r}")
        self.url = url
        self._parts = parts
        self._token = token
        self._timeout = timeout
        self._lock = threading.Lock()
        self._conn: Optional[http.client.HTTPConnection] = None

    def connection(self, timeout: Optional[float] = None) -> http.client.HTTPConnection:
        cls = http.client.HTTPSConnection if self._parts.scheme == "https" else http.client.HTTPConnection
        return cls(self._parts.hostname, self._parts.port, timeout=timeout or self._timeout)

    def headers(self, body: bool) -> Dict[str, str]:
        headers = {"Accept": "application/json"}
        if self._token:
            headers["Authorization"] = "Bearer " + self._token
        if body:
            headers["Content-Type"] = "application/json"
        return headers

    def request(self, method: str, path: str, body: Optional[Dict[str, Any]] = None) -> Tuple[int, Any]:
        """(status, parsed JSON answer); OSError when lightd cannot be reached."""
        data = None if body is None else json.dumps(body)
        with self._lock:
            for attempt in (0, 1):
                if self._conn is None:
                    self._conn = self.connection()
                try:
                    self._conn.request(method, self._parts.path.rstrip("/") + path, body=data,
                                       headers=self.headers(body is not None))
                    response = self._conn.getresponse()
                    text = response.read()
                    break
                except (http.client.HTTPException, OSError):
                    self._conn.close()
                    self._conn = None
                    # A kept-alive connection that lightd closed meanwhile: once more, afresh.
                    if attempt:
                        raise
            if response.getheader("Connection", "").lower() == "close":
                self._conn.close()
                self._conn = None
        try:
            return response.status, json.loads(text) if text else None
        except ValueError:
            return response.status, {"error": text.decode("utf-8", "replace")[:200]}

    def close(self) -> None:
        with self._lock:
            if self._conn is not None:
                self._conn.close()
                self._conn = None


class _RemoteLibrary:
    """The library's calls as the light source's classes make them, answered
    from lightd's state and written with PATCH and POST. Each call returns 0
    or raises the exception the local call would."""

    def __init__(self, api: _Api) -> None:
        self._api = api
        self._readers: Dict[str, Callable[..., None]] = {}
        self._writers: Dict[str, Callable[..., Dict[str, Any]]] = {}
        self._declare()

    def _declare(self) -> None:
        r, w = self._readers, self._writers

        def top(key: str, convert: Callable[[Any], Any] = lambda v: v) -> Callable[..., None]:
            return lambda s, out: _set(out, convert(s[key]))

        def group(name: str, key: str) -> Callable[..., None]:
            return lambda s, out: _set(out, s[name][key])

        def channel(key: str) -> Callable[..., None]:
            return lambda s, i, out: _set(out, s["channels"][i][key])

        r["DALUSDK_GetDeviceModel"] = top("model")
        r["DALUSDK_GetDeviceSofewareVersion"] = top("firmware_version")
        r["DALUSDK_GetGlobalEnable"] = top("enabled", int)
        r["DALUSDK_GetWorkMode"] = top("mode", _MODES.index)
        r["DALUSDK_GetLedChecked"] = lambda s, i, out: _set(out, int(s["channels"][i]["enabled"]))
        r["DALUSDK_GetLedBrightness"] = channel("brightness")
        r["DALUSDK_GetLedTempValue"] = channel("temperature")
        r["DALUSDK_GetLedTempOver"] = lambda s, i, out: _set(out, int(s["channels"][i]["over_temperature"]))
        r["DALUSDK_GetLedTempStatus"] = lambda s, i, t, o: (
            _set(t, s["channels"][i]["temperature"]), _set(o, int(s["channels"][i]["over_temperature"])))
        r["DALUSDK_ModeEdge_GetPulseTime"] = channel("pulse_ms")
        r["DALUSDK_ModeTtl_GetOutputEnable"] = lambda s, out: _set(out, int(s["ttl"]["output_enabled"]))
        r["DALUSDK_ModeTtl_GetDelayTime"] = group("ttl", "delay_ms")
        r["DALUSDK_ModeEdge_GetDelayTime"] = group("edge", "delay_ms")
        r["DALUSDK_ModeTrigger_GetOutputEnable"] = lambda s, out: _set(out, int(s["internal"]["output_enabled"]))
        r["DALUSDK_ModeTrigger_GetDelayTime"] = group("internal", "delay_ms")
        r["DALUSDK_ModeTrigger_GetHighTime"] = group("internal", "high_ms")
        r["DALUSDK_ModeTrigger_GetLowTime"] = group("internal", "low_ms")
        r["DALUSDK_ModeTrigger_GetPulseNum"] = group("internal", "pulse_count")

        w["DALUSDK_SetGlobalEnable"] = lambda v: {"enabled": bool(v)}
        w["DALUSDK_SetWorkMode"] = lambda v: {"mode": _MODES[v]}
        w["DALUSDK_SetLedChecked"] = lambda i, v: {"channels": [{"index": i, "enabled": bool(v)}]}
        w["DALUSDK_SetLedBrightness"] = lambda i, v: {"channels": [{"index": i, "brightness": v}]}
        w["DALUSDK_ModeEdge_SetPulseTime"] = lambda i, v: {"channels": [{"index": i, "pulse_ms": v}]}
        w["DALUSDK_ModeTtl_SetOutputEnable"] = lambda v: {"ttl": {"output_enabled": bool(v)}}
        w["DALUSDK_ModeTtl_SetDelayTime"] = lambda v: {"ttl": {"delay_ms": v}}
        w["DALUSDK_ModeEdge_SetDelayTime"] = lambda v: {"edge": {"delay_ms": v}}
        w["DALUSDK_ModeTrigger_SetOutputEnable"] = lambda v: {"internal": {"output_enabled": bool(v)}}
        w["DALUSDK_ModeTrigger_SetDelayTime"] = lambda v: {"internal": {"delay_ms": v}}
        w["DALUSDK_ModeTrigger_SetHighTime"] = lambda v: {"internal": {"high_ms": v}}
        w["DALUSDK_ModeTrigger_SetLowTime"] = lambda v: {"internal": {"low_ms": v}}
        w["DALUSDK_ModeTrigger_SetPulseNum"] = lambda v: {"internal": {"pulse_count": v}}

    def __getattr__(self, name: str) -> Callable[..., int]:
        if name in self._readers:
            reader = self._readers[name]

            def read(_handle: Any, *args: Any) -> int:
                state = self.state(name)
                try:
                    reader(state, *args)
                except (TypeError, ValueError) as err:  # a null: the device did not say
                    raise DeviceError(name, [f"lightd does not know this value ({err})"]) from None
                return 0

            read.__name__ = name
            return read
        if name in self._writers:
            writer = self._writers[name]

            def write(_handle: Any, *args: Any) -> int:
                self.send(name, "PATCH", "/api/v1/state", writer(*args))
                return 0

            write.__name__ = name
            return write
        if name == "DALUSDK_ModeTrigger_OnTrigger":
            def trigger(_handle: Any) -> int:
                self.send(name, "POST", "/api/v1/trigger", None)
                return 0

            trigger.__name__ = name
            return trigger
        raise AttributeError(name)

    def send(self, function: str, method: str, path: str, body: Optional[Dict[str, Any]]) -> Any:
        try:
            status, answer = self._api.request(method, path, body)
        except (http.client.HTTPException, OSError) as err:
            raise DeviceError(function, [f"lightd at {self._api.url} cannot be reached: {err}"]) from None
        if status == 200:
            return answer
        reason = (answer or {}).get("error", "") if isinstance(answer, dict) else ""
        line = f"lightd answered {status}: {reason}" if reason else f"lightd answered {status}"
        if status in (400, 422):
            raise ArgumentError(line)
        raise DeviceError(function, [line])

    def state(self, function: str) -> Dict[str, Any]:
        state = self.send(function, "GET", "/api/v1/state", None)
        if not state.get("connected"):
            raise DeviceError(function, [f"lightd: the light source on {state.get('port')} is not connected"])
        return state


class RemoteLightSource(LightSource):
    """A light source served by lightd: ``LightSource("http://host:8080", token=...)``.

    The same API as a light source on a port: reads that fail raise
    :class:`DeviceError` (lightd unreachable, the device not connected, a
    refused token), values out of range :class:`ArgumentError` before
    anything is sent. ``port`` is the address given; ``device_port`` the
    serial port lightd serves.

    Raises:
        ConnectionError: lightd cannot be reached there, or does not answer as lightd.
    """

    def __init__(self, url: str, token: Optional[str] = None, timeout: float = 10.0) -> None:
        self._handle = None
        self._api = _Api(url, token, timeout)
        self.port = url
        try:
            status, state = self._api.request("GET", "/api/v1/state")
        except (http.client.HTTPException, OSError) as err:
            raise ConnectionError(url, [f"lightd cannot be reached: {err}"]) from None
        if status != 200 or not isinstance(state, dict) or "channels" not in state:
            raise ConnectionError(url, [f"no lightd state there (HTTP {status})"])
        self.device_port = state.get("port", "")
        self._lib = _RemoteLibrary(self._api)
        self._lock = threading.RLock()
        self._handle = object()  # open
        self.channels: Tuple[Channel, ...] = tuple(Channel(self, i, n) for i, n in enumerate(CHANNEL_NAMES))
        self.ttl = TtlTrigger(self)
        self.edge = EdgeTrigger(self)
        self.internal = InternalTrigger(self)

    def close(self) -> None:
        """Ends the use of lightd (lightd and the device go on). Closing twice is harmless."""
        if self._handle is not None:
            self._handle = None
            self._api.close()

    def __repr__(self) -> str:
        state = "closed" if self._handle is None else "open"
        return f"<lightkit.RemoteLightSource {self.port!r} {state}>"

    def _call(self, fn: Callable[..., int], *args: Any) -> None:
        with self._lock:
            if self._handle is None:
                raise ClosedError(f"light source {self.port!r} is closed")
            fn(self._handle, *args)

    def _read(self, fn: Callable[..., int], ctype: Any, *args: Any) -> Any:
        out = ctype()
        self._call(fn, *args, ctypes.byref(out))
        return out.value

    def snapshot(self) -> Dict[str, Any]:
        """lightd's state document, in one request (the same names as a local snapshot)."""
        with self._lock:
            if self._handle is None:
                raise ClosedError(f"light source {self.port!r} is closed")
            return self._lib.send("snapshot", "GET", "/api/v1/state", None)

    def events(self, timeout: Optional[float] = None) -> Iterator[Tuple[str, Dict[str, Any]]]:
        """Follows lightd's event stream: ``("state", {...})`` at once and after
        every change, ``("temperatures", {...})`` after every poll, until the
        caller stops iterating (or `timeout` seconds without an event).
        """
        if self._handle is None:
            raise ClosedError(f"light source {self.port!r} is closed")
        conn = self._api.connection(timeout=timeout or 60.0)
        try:
            try:
                conn.request("GET", self._api._parts.path.rstrip("/") + "/api/v1/events",
                             headers=dict(self._api.headers(False), Accept="text/event-stream"))
                response = conn.getresponse()
            except (http.client.HTTPException, OSError) as err:
                raise DeviceError("events", [f"lightd at {self.port} cannot be reached: {err}"]) from None
            if response.status != 200:
                raise DeviceError("events", [f"lightd answered {response.status}"])
            name, data = None, []
            while True:
                try:
                    raw = response.fp.readline(65536)
                except OSError as err:
                    raise DeviceError("events", [f"the event stream broke off: {err}"]) from None
                if not raw:
                    raise DeviceError("events", ["lightd closed the event stream"])
                line = raw.decode("utf-8").rstrip("\r\n")
                if line.startswith("event: "):
                    name = line[7:]
                elif line.startswith("data: "):
                    data.append(line[6:])
                elif line == "" and name:
                    yield name, json.loads("\n".join(data))
                    name, data = None, []
        finally:
            conn.close()

