"""lightd announces itself with DNS-SD through Avahi, and lightctl discover
finds it; without an Avahi daemon both say so, and lightd serves all the same.
Needs Avahi: the system's if it runs, else one started here (as root)."""
import json
import os
import shutil
import socket
import subprocess
import time

import pytest

from lightd_fixture import Lightd, Sim, wait_for

LIGHTCTL = os.environ.get("LIGHTCTL", "build/cli/lightctl")
NO_BUS = dict(os.environ, DBUS_SYSTEM_BUS_ADDRESS="unix:path=/nonexistent/bus")


SYSTEM_BUS = "/run/dbus/system_bus_socket"


def bus_answers():
    with socket.socket(socket.AF_UNIX) as s:
        try:
            s.connect(SYSTEM_BUS)
            return True
        except OSError:
            return False


def avahi_running():
    return subprocess.run(["avahi-daemon", "--check"], capture_output=True).returncode == 0


@pytest.fixture(scope="module")
def avahi(tmp_path_factory):
    if not shutil.which("avahi-daemon") or not shutil.which("avahi-browse"):
        pytest.skip("avahi-daemon and avahi-utils are needed")
    bus = daemon = None
    if not avahi_running():
        if os.geteuid() != 0:
            pytest.skip("no Avahi daemon runs, and starting one needs root")
        if not bus_answers():
            # A socket or pid file left by a bus that has gone would stop a new one.
            os.makedirs("/run/dbus", exist_ok=True)
            for stale in (SYSTEM_BUS, "/run/dbus/pid"):
                if os.path.exists(stale):
                    os.remove(stale)
            bus = subprocess.Popen(["dbus-daemon", "--system", "--nofork", "--nopidfile"])
            wait_for(bus_answers, what="the system bus")
        # In the foreground, so that its own words say why it could not start.
        log = tmp_path_factory.mktemp("avahi") / "avahi-daemon.log"
        with open(log, "w") as out:
            daemon = subprocess.Popen(["avahi-daemon", "--no-drop-root", "--no-chroot", "--no-rlimits", "--debug"],
                                      stdout=out, stderr=subprocess.STDOUT)
        try:
            wait_for(lambda: avahi_running() or daemon.poll() is not None, timeout=20, what="avahi-daemon")
        except AssertionError:
            pass
        if not avahi_running():
            daemon.kill()
            daemon.wait()
            if bus:
                bus.terminate()
                bus.wait()
            said = " / ".join(open(log).read().strip().splitlines()[-4:])
            pytest.skip("avahi-daemon would not start on this machine: " + said)
    yield
    for process in (daemon, bus):
        if process:
            process.terminate()
            process.wait()


def browse(service_type, port=None):
    """avahi-browse's resolved lines for lightd (on `port` if given): (type, port, TXT records).
    Listens three seconds rather than to the end of the cache, which other
    lightd on this machine may keep changing."""
    proc = subprocess.Popen(["avahi-browse", "--resolve", "--parsable", "--no-db-lookup", service_type],
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    try:
        out, _ = proc.communicate(timeout=3)
    except subprocess.TimeoutExpired:
        proc.kill()
        out, _ = proc.communicate()
    found = set()
    for line in out.splitlines():
        fields = line.split(";")
        if fields[0] == "=" and "LightKit" in fields[3] and (port is None or int(fields[8]) == port):
            txt = tuple(sorted(r.strip('"') for r in fields[9].split('" "')))
            found.add((fields[4], int(fields[8]), txt))
    return found


def discover(*extra, env=None):
    return subprocess.run([LIGHTCTL, "--json", "discover", "--wait", "2", *extra], capture_output=True, text=True,
                          env=env, timeout=30)


def test_announced_and_discovered(avahi):
    sim = Sim()
    d = Lightd(sim.port, "--poll-ms", "200", announce=True)
    try:
        common = ("device=" + sim.port, "firmware=1.2.3", "model=4-colour", "product=LightKit", "txtvers=1")
        expected = {
            "_scpi-raw._tcp": {("_scpi-raw._tcp", d.scpi_port, tuple(sorted(common)))},
            "_http._tcp": {("_http._tcp", d.http_port, tuple(sorted(common + ("path=/",))))},
        }
        for service_type, entries in expected.items():
            port = next(iter(entries))[1]
            wait_for(lambda: browse(service_type, port) == entries, timeout=20, what=service_type + " announced")
        result = discover()
        assert result.returncode == 0, result.stderr
        [light] = [x for x in json.loads(result.stdout) if x["scpi_port"] == d.scpi_port]
        assert light["name"] == "LightKit " + sim.port[len("/dev/"):] + " on " + os.uname().nodename
        assert light["addresses"][0] == "127.0.0.1"  # lightd listens on loopback: announced there only
        assert (light["model"], light["firmware"], light["device"]) == ("4-colour", "1.2.3", sim.port)
        assert light["http_url"] == "http://127.0.0.1:%d/" % d.http_port
        # What discover gives is where lightd answers.
        import urllib.request
        with urllib.request.urlopen(light["http_url"] + "api/v1/state", timeout=10) as answer:
            assert json.load(answer)["port"] == sim.port
    finally:
        assert d.close() == 0
        sim.close()
    # Gone with lightd.
    wait_for(lambda: not browse("_scpi-raw._tcp", d.scpi_port), timeout=20, what="the announcement withdrawn")


def test_no_announce_is_not_discovered(avahi):
    sim = Sim()
    quiet = Lightd(sim.port)
    try:
        time.sleep(2)
        assert not [x for x in json.loads(discover().stdout) if x["scpi_port"] == quiet.scpi_port]
    finally:
        assert quiet.close() == 0
        sim.close()


def test_without_avahi_both_say_so_and_lightd_serves():
    sim = Sim()
    alone = Lightd(sim.port, env=NO_BUS, announce=True)
    try:
        assert alone.state()["connected"]
    finally:
        assert alone.close() == 0
        sim.close()
    lines = [line for line in alone.proc.stdout.read().splitlines() if "DNS-SD" in line]
    assert lines == ["lightd: DNS-SD: no Avahi daemon running; not announced"]
    result = discover(env=NO_BUS)
    assert result.returncode == 1 and result.stdout == ""
    assert result.stderr.startswith("lightctl: discover: no Avahi daemon to ask (")
