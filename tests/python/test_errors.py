"""Failures: the library's reason in the exception, never on standard output;
use after close; the library not found; two threads sharing one light source."""

import errno
import logging
import os
import re
import subprocess
import sys
import threading

import pytest

import lightkit
from lightkit.sim import VirtualLightSource

TIMEOUT_LINE = "[info ] <DOCMD_SendAndWaitRecvCmd> recv cmd(0x8102) timeout."
TIMEOUT_ERROR = re.compile(r"\[error\] <DOCMD_GetLedBrightness:\d+> DOCMD_SendAndWaitRecvCmd, ret \(-1\) err!")
WRONG_ECHO = re.compile(r"\[error\] <DOCMD_GetLedBrightness:\d+> Received ID not matched, value \(1 != 2\) err!")


def test_silent_device_gives_the_library_reason(capfd, caplog):
    caplog.set_level(logging.DEBUG, logger="lightkit")
    with VirtualLightSource(faults={"silent": True}) as sim, lightkit.LightSource(sim.port) as ls:
        with pytest.raises(lightkit.DeviceError) as err:
            ls.channels[1].brightness
    e = err.value
    assert e.function == "DALUSDK_GetLedBrightness"
    assert len(e.lines) == 2 and e.lines[0] == TIMEOUT_LINE and TIMEOUT_ERROR.fullmatch(e.lines[1])
    assert str(e) == f"DALUSDK_GetLedBrightness failed: {e.lines[0]}; {e.lines[1]}"
    assert [r.getMessage() for r in caplog.records if r.name == "lightkit"] == list(e.lines)
    assert capfd.readouterr().out == ""


def test_wrong_channel_echo_gives_the_library_reason(capfd):
    with VirtualLightSource(faults={"wrong_ledid": True}) as sim, lightkit.LightSource(sim.port) as ls:
        with pytest.raises(lightkit.DeviceError) as err:
            ls.channels[1].brightness
        assert ls.model == 0xFFAA0400  # the handle stays usable
    assert err.value.function == "DALUSDK_GetLedBrightness"
    assert len(err.value.lines) == 1 and WRONG_ECHO.fullmatch(err.value.lines[0])
    assert capfd.readouterr().out == ""


def test_missing_port_is_a_connection_error(capfd):
    port = "/dev/lightkit-no-such-port"
    with pytest.raises(lightkit.ConnectionError) as err:
        lightkit.LightSource(port)
    assert isinstance(err.value, ConnectionError) and isinstance(err.value, lightkit.LightKitError)
    assert err.value.port == port
    assert '[error] <UART_Open:' in err.value.lines[0]
    assert f'CreateFile ("{port}") failed with error 2.' in err.value.lines[0]
    assert str(err.value).startswith(f"cannot open '{port}': [error] <UART_Open:")
    # The plain reason follows the library's lines.
    assert str(err.value).endswith(": no such file or directory")
    assert (err.value.errno, err.value.reason) == (errno.ENOENT, "no such file or directory")
    assert capfd.readouterr().out == ""


def test_port_in_use_says_so(sim, ls):
    with pytest.raises(lightkit.ConnectionError) as err:
        lightkit.LightSource(sim.port)
    assert err.value.reason == "the port is in use by another program (lightd?)"
    assert err.value.errno == errno.EWOULDBLOCK
    assert f'CreateFile ("{sim.port}") failed with error {errno.EWOULDBLOCK}.' in err.value.lines[0]


def test_unplugged_device_gives_the_write_failure(capfd):
    sim = VirtualLightSource()
    with sim, lightkit.LightSource(sim.port) as ls:
        sim.stop()
        with pytest.raises(lightkit.DeviceError) as err:
            ls.enabled = True
    assert err.value.function == "DALUSDK_SetGlobalEnable"
    assert re.fullmatch(r"\[error\] <UART_SendBytes:\d+> WriteFile failed with error 5\.", err.value.lines[0])
    assert capfd.readouterr().out == ""


# Every way in after close: properties, writes, channels, groups, snapshot.
AFTER_CLOSE = [
    lambda ls: ls.model,
    lambda ls: setattr(ls, "enabled", True),
    lambda ls: ls.channels[0].status(),
    lambda ls: setattr(ls.channels[3], "brightness", 5),
    lambda ls: ls.ttl.delay_ms,
    lambda ls: ls.internal.fire(),
    lambda ls: ls.snapshot(),
]


@pytest.mark.parametrize("use", AFTER_CLOSE)
def test_use_after_close(sim, use):
    ls = lightkit.LightSource(sim.port)
    with ls:
        pass
    assert ls.closed
    ls.close()  # twice is harmless
    with pytest.raises(lightkit.ClosedError):
        use(ls)


def test_port_is_free_again_after_close(sim):
    with lightkit.LightSource(sim.port):
        # The library opens the port exclusively.
        with pytest.raises(lightkit.ConnectionError):
            lightkit.LightSource(sim.port)
    with lightkit.LightSource(sim.port) as again:
        assert again.model == 0xFFAA0400


def test_two_threads_share_one_light_source(ls):
    # Calls on one handle must not overlap; without the lock the replies would
    # cross and reads fail or return the other thread's values.
    errors = []
    rounds = 150

    def work(channel):
        try:
            ch = ls.channels[channel]
            for i in range(rounds):
                value = (i * 7 + channel) % 101
                ch.brightness = value
                assert ch.brightness == value
                ch.edge_pulse_ms = i + channel
                assert ch.edge_pulse_ms == i + channel
        except BaseException as exc:  # noqa: BLE001 - reported by the main thread
            errors.append(exc)

    threads = [threading.Thread(target=work, args=(c,)) for c in (0, 1)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []
    assert [ch.brightness for ch in ls.channels[:2]] == [((rounds - 1) * 7 + c) % 101 for c in (0, 1)]


def test_light_sources_run_in_parallel():
    with VirtualLightSource() as a, VirtualLightSource(model=0xFFAA0800) as b, \
            lightkit.LightSource(a.port) as la, lightkit.LightSource(b.port) as lb:
        models = {}
        threads = [threading.Thread(target=lambda s=s: models.__setitem__(s.port, [s.model for _ in range(50)]))
                   for s in (la, lb)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert models == {a.port: [0xFFAA0400] * 50, b.port: [0xFFAA0800] * 50}


def run_python(code, **env):
    full = dict(os.environ, **env)
    return subprocess.run([sys.executable, "-c", code], env=full, capture_output=True, text=True, timeout=60)


def test_library_not_found_names_what_was_tried():
    result = run_python(
        "import lightkit\n"
        "try:\n"
        "    lightkit.LightSource('/dev/null')\n"
        "except lightkit.LibraryNotFoundError as e:\n"
        "    print(e)\n",
        LIGHTKIT_LIBRARY="/nonexistent/libDALU_LightKit.so.2",
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith(
        "lightkit cannot load the DALU_LightKit library; tried LIGHTKIT_LIBRARY=/nonexistent/libDALU_LightKit.so.2 (")
    assert "set LIGHTKIT_LIBRARY to its path" in result.stdout


def test_nothing_on_stdout_from_a_whole_session():
    # A process of its own, so the check covers import, open, failures and exit.
    result = run_python(
        "import lightkit\n"
        "from lightkit.sim import VirtualLightSource\n"
        "with VirtualLightSource(faults={'silent': True}) as sim:\n"
        "    ls = lightkit.LightSource(sim.port)\n"
        "    try:\n"
        "        ls.mode\n"
        "    except lightkit.DeviceError:\n"
        "        pass\n"
        "try:\n"
        "    lightkit.LightSource('/dev/lightkit-no-such-port')\n"
        "except lightkit.ConnectionError:\n"
        "    pass\n"
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout == ""


def test_unknown_fault_is_refused():
    with pytest.raises(lightkit.ArgumentError, match="wrong_led"):
        VirtualLightSource(faults={"wrong_led": True})


def test_lightsim_that_does_not_start_says_why():
    with pytest.raises(lightkit.LightKitError, match="lightsim: --version needs a 32-bit number: -1"):
        VirtualLightSource(version=-1)
