"""The package's exceptions: one hierarchy under :class:`LightKitError`."""

from __future__ import annotations

import builtins
import errno as _errno
import os
import re
import sys
from typing import Optional, Sequence, Tuple

__all__ = [
    "LightKitError",
    "ArgumentError",
    "DeviceError",
    "ConnectionError",
    "ClosedError",
    "LibraryNotFoundError",
]


class LightKitError(Exception):
    """Base of every error this package raises."""


class ArgumentError(LightKitError, builtins.ValueError):
    """An argument out of range or of the wrong type; raised before anything is sent.

    It is a :class:`ValueError` too, so ``except ValueError`` catches it.
    """


class DeviceError(LightKitError):
    """A call that failed on the device side (no reply, a wrong reply, a failed send).

    The message carries the library's own lines for that call.

    Attributes:
        function: the library export that failed, e.g. ``"DALUSDK_GetDeviceModel"``.
        lines: the library's lines for that call, oldest first.
    """

    def __init__(self, function: str, lines: Sequence[str]) -> None:
        self.function = function
        self.lines = tuple(lines)
        reason = "; ".join(self.lines) if self.lines else "no reason given by the library"
        super().__init__(f"{function} failed: {reason}")


_OS_ERROR = re.compile(r"failed with error (\d+)\.")


def _port_reason(lines: Sequence[str]) -> Tuple[Optional[int], Optional[str]]:
    """The operating system's code in the library's open lines and its plain words."""
    for line in lines:
        match = _OS_ERROR.search(line)
        if not match:
            continue
        code = int(match.group(1))
        if sys.platform == "win32":
            import ctypes

            text = ctypes.FormatError(code).strip().rstrip(".")  # type: ignore[attr-defined]
        elif code in (_errno.EWOULDBLOCK, _errno.EBUSY):
            # The library locks the port it opens; a second open finds the lock taken.
            text = "the port is in use by another program (lightd?)"
        else:
            text = os.strerror(code)
        return code, text[:1].lower() + text[1:]
    return None, None


class ConnectionError(LightKitError, builtins.ConnectionError):
    """The port could not be opened (missing, busy, not a serial port).

    It is the built-in :class:`ConnectionError` (an :class:`OSError`) too; its
    ``errno`` and ``strerror`` are the operating system's code and its plain
    words where the library's lines name one.

    Attributes:
        port: the port name as given.
        lines: the library's lines for the failed open.
        reason: the plain words, e.g. ``"no such file or directory"``, or None.
    """

    def __init__(self, port: str, lines: Sequence[str]) -> None:
        self.port = port
        self.lines = tuple(lines)
        code, self.reason = _port_reason(self.lines)
        reason = "; ".join(self.lines) if self.lines else "no reason given by the library"
        if self.reason:
            reason += f": {self.reason}"
        super().__init__(f"cannot open {port!r}: {reason}")
        self.errno = code
        self.strerror = self.reason

    def __str__(self) -> str:
        # OSError would format two-argument forms its own way; keep the one message.
        return str(self.args[0])


class ClosedError(LightKitError):
    """A :class:`~lightkit.LightSource` used after :meth:`~lightkit.LightSource.close`."""


class LibraryNotFoundError(LightKitError, OSError):
    """The DALU_LightKit shared library could not be loaded; the message says what was tried."""
