"""The package's exceptions: one hierarchy under :class:`LightKitError`."""

from __future__ import annotations

import builtins
from typing import Sequence

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


class ConnectionError(LightKitError, builtins.ConnectionError):
    """The port could not be opened (missing, busy, not a serial port).

    It is the built-in :class:`ConnectionError` (an :class:`OSError`) too.

    Attributes:
        port: the port name as given.
        lines: the library's lines for the failed open.
    """

    def __init__(self, port: str, lines: Sequence[str]) -> None:
        self.port = port
        self.lines = tuple(lines)
        reason = "; ".join(self.lines) if self.lines else "no reason given by the library"
        super().__init__(f"cannot open {port!r}: {reason}")

    def __str__(self) -> str:
        # OSError would format two-argument forms its own way; keep the one message.
        return str(self.args[0])


class ClosedError(LightKitError):
    """A :class:`~lightkit.LightSource` used after :meth:`~lightkit.LightSource.close`."""


class LibraryNotFoundError(LightKitError, OSError):
    """The DALU_LightKit shared library could not be loaded; the message says what was tried."""
