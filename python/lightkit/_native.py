"""Loading of the DALU_LightKit shared library, its ctypes declarations and the log hook.

The library is loaded once, when the package is imported. From then on its
lines go to the ``"lightkit"`` logger instead of standard output; a line that
a call produces on the calling thread is also kept for that call, so a failed
call can say why it failed.
"""

from __future__ import annotations

import ctypes
import ctypes.util
import logging
import os
import sys
import threading
from typing import Any, List, Optional

from .errors import LibraryNotFoundError

__all__ = ["library", "begin_capture", "end_capture", "LIBRARY_ENV"]

LIBRARY_ENV = "LIGHTKIT_LIBRARY"

logger = logging.getLogger("lightkit")

_c_int = ctypes.c_int
_c_void_p = ctypes.c_void_p
_P = ctypes.POINTER
_uchar_p = _P(ctypes.c_ubyte)
_ushort_p = _P(ctypes.c_ushort)
_uint_p = _P(ctypes.c_uint)
_int_p = _P(ctypes.c_int)
_float_p = _P(ctypes.c_float)

SendCallback = ctypes.CFUNCTYPE(_c_int, _uchar_p, _c_int, _c_void_p)
LogHandler = ctypes.CFUNCTYPE(None, ctypes.c_char_p, _c_void_p)

# Every export of DALU_LightKit.h: name -> (restype, argtypes).
_EXPORTS: dict = {
    "DALUSDK_CreateHandle": (_c_void_p, [ctypes.c_char_p]),
    "DALUSDK_CreateHandle2": (_c_void_p, [SendCallback, _c_void_p]),
    "DALUSDK_DestroyHandle": (_c_int, [_c_void_p]),
    "DALUSDK_DestroyHandle2": (_c_int, [_c_void_p]),
    "DALUSDK_PushRecvBytes": (_c_int, [_c_void_p, _uchar_p, _c_int]),
    "DALUSDK_GetSdkVersion": (_c_int, [_uint_p]),
    "DALUSDK_SetLogHandler": (_c_int, [LogHandler, _c_void_p]),
    "DALUSDK_GetDeviceModel": (_c_int, [_c_void_p, _uint_p]),
    "DALUSDK_GetDeviceSofewareVersion": (_c_int, [_c_void_p, _uint_p]),
    "DALUSDK_SetGlobalEnable": (_c_int, [_c_void_p, ctypes.c_ubyte]),
    "DALUSDK_GetGlobalEnable": (_c_int, [_c_void_p, _uchar_p]),
    "DALUSDK_SetWorkMode": (_c_int, [_c_void_p, _c_int]),
    "DALUSDK_GetWorkMode": (_c_int, [_c_void_p, _int_p]),
    "DALUSDK_SetLedChecked": (_c_int, [_c_void_p, _c_int, ctypes.c_ubyte]),
    "DALUSDK_GetLedChecked": (_c_int, [_c_void_p, _c_int, _uchar_p]),
    "DALUSDK_SetLedBrightness": (_c_int, [_c_void_p, _c_int, ctypes.c_ushort]),
    "DALUSDK_GetLedBrightness": (_c_int, [_c_void_p, _c_int, _ushort_p]),
    "DALUSDK_GetLedTempStatus": (_c_int, [_c_void_p, _c_int, _float_p, _uchar_p]),
    "DALUSDK_GetLedTempValue": (_c_int, [_c_void_p, _c_int, _float_p]),
    "DALUSDK_GetLedTempOver": (_c_int, [_c_void_p, _c_int, _uchar_p]),
    "DALUSDK_ModeTtl_SetOutputEnable": (_c_int, [_c_void_p, ctypes.c_ubyte]),
    "DALUSDK_ModeTtl_GetOutputEnable": (_c_int, [_c_void_p, _uchar_p]),
    "DALUSDK_ModeTtl_SetDelayTime": (_c_int, [_c_void_p, ctypes.c_ushort]),
    "DALUSDK_ModeTtl_GetDelayTime": (_c_int, [_c_void_p, _ushort_p]),
    "DALUSDK_ModeEdge_SetDelayTime": (_c_int, [_c_void_p, ctypes.c_ushort]),
    "DALUSDK_ModeEdge_GetDelayTime": (_c_int, [_c_void_p, _ushort_p]),
    "DALUSDK_ModeEdge_SetPulseTime": (_c_int, [_c_void_p, _c_int, ctypes.c_ushort]),
    "DALUSDK_ModeEdge_GetPulseTime": (_c_int, [_c_void_p, _c_int, _ushort_p]),
    "DALUSDK_ModeTrigger_SetOutputEnable": (_c_int, [_c_void_p, ctypes.c_ubyte]),
    "DALUSDK_ModeTrigger_GetOutputEnable": (_c_int, [_c_void_p, _uchar_p]),
    "DALUSDK_ModeTrigger_SetDelayTime": (_c_int, [_c_void_p, ctypes.c_ushort]),
    "DALUSDK_ModeTrigger_GetDelayTime": (_c_int, [_c_void_p, _ushort_p]),
    "DALUSDK_ModeTrigger_SetHighTime": (_c_int, [_c_void_p, ctypes.c_ushort]),
    "DALUSDK_ModeTrigger_GetHighTime": (_c_int, [_c_void_p, _ushort_p]),
    "DALUSDK_ModeTrigger_SetLowTime": (_c_int, [_c_void_p, ctypes.c_ushort]),
    "DALUSDK_ModeTrigger_GetLowTime": (_c_int, [_c_void_p, _ushort_p]),
    "DALUSDK_ModeTrigger_SetPulseNum": (_c_int, [_c_void_p, ctypes.c_ubyte]),
    "DALUSDK_ModeTrigger_GetPulseNum": (_c_int, [_c_void_p, _uchar_p]),
    "DALUSDK_ModeTrigger_OnTrigger": (_c_int, [_c_void_p]),
}


def _system_names() -> List[str]:
    if sys.platform == "win32":
        return ["DALU_LightKit.dll"]
    if sys.platform == "darwin":
        return ["libDALU_LightKit.2.dylib"]
    return ["libDALU_LightKit.so.2"]


def _load() -> ctypes.CDLL:
    """Loads the library: ``LIGHTKIT_LIBRARY`` when set, else the installed one."""
    tried: List[str] = []
    path = os.environ.get(LIBRARY_ENV)
    if path:
        # A variable that names the wrong file is a mistake to report, not a
        # reason to pick up some other copy of the library.
        try:
            return ctypes.CDLL(path)
        except OSError as exc:
            tried.append(f"{LIBRARY_ENV}={path} ({exc})")
    else:
        names = _system_names()
        found = ctypes.util.find_library("DALU_LightKit")
        if found and found not in names:
            names.append(found)
        for name in names:
            try:
                return ctypes.CDLL(name)
            except OSError as exc:
                tried.append(f"{name} ({exc})")
        tried.insert(0, f"{LIBRARY_ENV} (not set)")
    raise LibraryNotFoundError(
        "lightkit cannot load the DALU_LightKit library; tried " + ", ".join(tried)
        + f". Install the library or set {LIBRARY_ENV} to its path."
    )


def _declare(lib: ctypes.CDLL) -> None:
    for name, (restype, argtypes) in _EXPORTS.items():
        fn = getattr(lib, name)
        fn.restype = restype
        fn.argtypes = argtypes


# Lines of the call in progress on this thread (None outside a call).
# Per thread, a stack of captures: a list keeps the lines of the call being
# made, None lets them go to the log. A stack, because a call may start inside
# another on the same thread (a collected LightSource closing while a call
# waits, on whichever thread the collector ran).
_capture = threading.local()


def _stack() -> List[Optional[List[str]]]:
    stack = getattr(_capture, "stack", None)
    if stack is None:
        stack = _capture.stack = []
    return stack


def begin_capture(keep: bool = True) -> None:
    """Starts keeping this thread's library lines for the call about to be made.

    With ``keep=False`` the lines of the call go to the log instead, and an
    enclosing capture does not get them either.
    """
    _stack().append([] if keep else None)


def end_capture() -> List[str]:
    """Ends the innermost capture on this thread and returns the lines of its call."""
    stack = _stack()
    lines = stack.pop() if stack else None
    return lines if lines is not None else []


def _on_line(raw: Optional[bytes], _user_data: Any) -> None:
    # Runs on whichever thread logged, inside the library: it must never raise.
    try:
        line = raw.decode("utf-8", "replace") if raw else ""
        stack = getattr(_capture, "stack", None)
        lines = stack[-1] if stack else None
        if lines is not None:
            # The call's own line: the caller's exception carries it, so the log
            # gets it quietly.
            lines.append(line)
            logger.debug("%s", line)
        elif line.startswith("[error]"):
            logger.error("%s", line)
        else:
            logger.info("%s", line)
    except BaseException:  # noqa: BLE001 - nothing may unwind into C
        pass


# The C side holds this pointer for the life of the process, so it must never
# be collected.
_log_handler = LogHandler(_on_line)

_lib: Optional[ctypes.CDLL] = None
_load_error = ""


def _initialise() -> None:
    global _lib, _load_error
    try:
        lib = _load()
        _declare(lib)
    except LibraryNotFoundError as exc:
        _load_error = str(exc)
        return
    except AttributeError as exc:
        _load_error = f"the loaded DALU_LightKit library lacks an export: {exc}"
        return
    lib.DALUSDK_SetLogHandler(_log_handler, None)
    _lib = lib


def library() -> ctypes.CDLL:
    """Returns the loaded library, or raises :class:`LibraryNotFoundError`."""
    if _lib is None:
        raise LibraryNotFoundError(_load_error)
    return _lib


_initialise()
