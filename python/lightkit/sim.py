"""The virtual light source for tests of your own scripts, with no hardware.

::

    from lightkit.sim import VirtualLightSource
    import lightkit

    with VirtualLightSource(fixed_temps=[31.5]) as sim, lightkit.LightSource(sim.port) as ls:
        assert ls.channels[0].temperature == 31.5

It runs the ``lightsim`` program (the one named by ``LIGHTKIT_LIGHTSIM``, else
the one on ``PATH``), which serves a pseudo-terminal that
:class:`~lightkit.LightSource` opens as its port. POSIX systems only.
"""

from __future__ import annotations

import os
import re
import shutil
import subprocess
import threading
import weakref
from typing import IO, List, Mapping, Optional, Sequence, Tuple, Union

from .errors import ArgumentError, LightKitError

__all__ = ["VirtualLightSource", "LIGHTSIM_ENV", "FAULTS"]

LIGHTSIM_ENV = "LIGHTKIT_LIGHTSIM"

# Fault name -> True when it is a switch, False when it takes a number.
FAULTS = {
    "silent": True,
    "late": False,  # milliseconds
    "drop_every": False,
    "wrong_ledid": True,
    "wrong_length": True,
    "bad_checksum": True,
    "answer_twice": True,
    "wrong_code": True,
    "unsolicited": False,  # frames per second
    "noise": False,  # bytes per second
}

_SERVING = re.compile(r"^lightsim: serving (\S+) ")
_FRAME = re.compile(r"^(rx|tx) ((?:[0-9A-Fa-f]{2} ?)+)")

Temperature = Union[float, Tuple[float, bool]]


def _find_program(program: Optional[str]) -> str:
    if program:
        return program
    named = os.environ.get(LIGHTSIM_ENV)
    if named:
        return named
    found = shutil.which("lightsim")
    if found is None:
        raise FileNotFoundError(f"lightsim not found: {LIGHTSIM_ENV} is not set and there is no lightsim on PATH")
    return found


def _fixed_temps_arg(temps: Sequence[Temperature]) -> str:
    if not 1 <= len(temps) <= 4:
        raise ArgumentError(f"fixed_temps takes 1 to 4 temperatures, got {len(temps)}")
    parts = []
    for t in temps:
        if isinstance(t, tuple):
            value, alarm = t
            parts.append(f"{float(value):.2f}:{1 if alarm else 0}")
        else:
            parts.append(f"{float(t):.2f}")
    return ",".join(parts)


def _fault_args(faults: Mapping[str, Union[bool, int]]) -> List[str]:
    args: List[str] = []
    for name, value in faults.items():
        if name not in FAULTS:
            raise ArgumentError(f"unknown fault {name!r}; the faults are {', '.join(FAULTS)}")
        option = "--" + name.replace("_", "-")
        if FAULTS[name]:
            if value:
                args.append(option)
        elif value:
            args += [option, str(int(value))]
    return args


class _Output:
    """What the output reader shares with its VirtualLightSource.

    It holds nothing of the VirtualLightSource itself: a reader thread that
    did would keep it alive for ever, so it would never be collected and its
    lightsim would outlive the interpreter.
    """

    def __init__(self) -> None:
        self.port = ""
        self.frames: List[bytes] = []
        self.changed = threading.Condition()


def _read_output(stream: IO[str], out: _Output) -> None:
    # Drains stdout for the program's whole life, so a busy frame log never
    # blocks it on a full pipe.
    for line in stream:
        with out.changed:
            if not out.port:
                match = _SERVING.match(line)
                if match:
                    out.port = match.group(1)
            match = _FRAME.match(line)
            if match and match.group(1) == "rx":
                out.frames.append(bytes.fromhex(match.group(2)))
            out.changed.notify_all()
    with out.changed:
        out.changed.notify_all()


def _end_program(process: "subprocess.Popen[str]", reader: threading.Thread) -> str:
    """Stops lightsim and returns what it wrote to standard error."""
    if process.poll() is None:
        process.terminate()
    try:
        process.wait(timeout=5)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()
    # The reader owns stdout and ends at its end of file; lightsim writes
    # only a line or two to stderr, so it never fills the pipe.
    reader.join(timeout=5)
    assert process.stderr is not None and process.stdout is not None
    text = process.stderr.read()
    process.stderr.close()
    process.stdout.close()
    return text


class VirtualLightSource:
    """Runs ``lightsim`` until :meth:`stop` (or the end of the ``with`` block).

    Args:
        model: the device model it reports (0xFFAA0800 is the eight-colour one).
        fixed_temps: channel temperatures in degrees C, from channel 0 on; a
            ``(degrees, alarm)`` pair forces the over-temperature alarm. Without
            it the channels warm with their brightness.
        faults: faults to switch on, e.g. ``{"silent": True}``,
            ``{"late": 120}`` (ms), ``{"wrong_ledid": True}``; see :data:`FAULTS`.
        version: the software version it reports (default 0x00010203).
        log_frames: keep every frame the device receives, for
            :meth:`received_frames`.
        program: the lightsim program; default ``LIGHTKIT_LIGHTSIM``, else PATH.
        start_timeout: seconds to wait for it to serve.

    Attributes:
        port: the path of the pseudo-terminal to open, e.g. ``"/dev/pts/5"``.
    """

    def __init__(
        self,
        model: int = 0xFFAA0400,
        fixed_temps: Optional[Sequence[Temperature]] = None,
        faults: Optional[Mapping[str, Union[bool, int]]] = None,
        *,
        version: Optional[int] = None,
        log_frames: bool = False,
        program: Optional[str] = None,
        start_timeout: float = 10.0,
    ) -> None:
        args = [_find_program(program), "--model", str(int(model))]
        if version is not None:
            args += ["--version", str(int(version))]
        if fixed_temps is not None:
            args += ["--fixed-temps", _fixed_temps_arg(fixed_temps)]
        if faults:
            args += _fault_args(faults)
        if log_frames:
            args.append("--log-frames")

        self._stderr = ""
        self._out = _Output()
        self._process: subprocess.Popen[str] = subprocess.Popen(
            args, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True
        )
        assert self._process.stdout is not None
        reader = threading.Thread(
            target=_read_output, args=(self._process.stdout, self._out), name="lightsim-output", daemon=True
        )
        reader.start()
        # Ends lightsim at stop(), at collection and at interpreter exit.
        self._end = weakref.finalize(self, _end_program, self._process, reader)
        with self._out.changed:
            served = self._out.changed.wait_for(
                lambda: self._out.port or self._process.poll() is not None, start_timeout)
        if not self._out.port:
            self.stop()
            reason = "did not start in time" if not served else "stopped"
            raise LightKitError(f"lightsim {reason}: {' '.join(args)}{self._stderr_text()}")

    @property
    def port(self) -> str:
        """The path of the pseudo-terminal to open, e.g. ``"/dev/pts/5"``."""
        return self._out.port

    @property
    def pid(self) -> int:
        """The process id of the running lightsim."""
        return self._process.pid

    def _stderr_text(self) -> str:
        text = self._stderr.strip()
        return f": {text}" if text else ""

    def received_frames(self) -> List[bytes]:
        """Every frame the device received so far, whole (``55 AA ... FA``); needs ``log_frames=True``."""
        with self._out.changed:
            return list(self._out.frames)

    def wait_for_frame(self, frame: bytes, timeout: float = 2.0) -> bool:
        """Waits until the device has received ``frame``; False when it has not within ``timeout`` seconds."""
        with self._out.changed:
            return self._out.changed.wait_for(lambda: frame in self._out.frames, timeout)

    def clear_frames(self) -> None:
        """Forgets the frames received so far."""
        with self._out.changed:
            self._out.frames.clear()

    @property
    def running(self) -> bool:
        """True while the program runs."""
        return self._end.alive and self._process.poll() is None

    def stop(self) -> None:
        """Stops the program (the device is unplugged); harmless when already stopped."""
        if self._end.alive:
            self._stderr = self._end() or ""

    def __enter__(self) -> "VirtualLightSource":
        return self

    def __exit__(self, *exc: object) -> None:
        self.stop()

    def __repr__(self) -> str:
        return f"<lightkit.sim.VirtualLightSource {self.port or '(not serving)'}>"
