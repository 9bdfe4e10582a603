"""A PyVISA session with lightd (pure-Python backend, raw socket resource)
against the virtual light source: every command, the device state behind it,
the error queue after bad commands, lines that fail part-way, a silent device.

Run by CTest with LIGHTD_PROGRAM and SIM_PROBE set to the built programs.
"""
import json
import os
import re
import subprocess
import time

import pyvisa
import pytest

LIGHTD = os.environ.get("LIGHTD_PROGRAM", "build/daemon/lightd")
SIM_PROBE = os.environ.get("SIM_PROBE", "build/tests/daemon/sim_probe")


class Rig:
    def __init__(self, *options):
        self.sim = subprocess.Popen([SIM_PROBE], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, bufsize=1)
        self.port_path = self.sim_command("port")
        assert self.port_path.startswith("/dev/"), self.port_path
        self.lightd = subprocess.Popen(
            [LIGHTD, "--device", self.port_path, "--scpi-port", "0", "--http-port", "0", "--poll-ms", "100",
             "--no-announce", *options],
            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, bufsize=1)
        try:
            self._connect()
        except BaseException:
            # A lightd left running would take the next light source given the same pty number.
            self.lightd.kill()
            self.sim.kill()
            raise

    def _connect(self):
        first = self.lightd.stdout.readline()
        match = re.fullmatch(r"lightd: SCPI on 127\.0\.0\.1 port (\d+), device (.*)\n", first)
        assert match, first
        assert self.lightd.stdout.readline().startswith("lightd: HTTP on 127.0.0.1 port ")
        assert self.lightd.stdout.readline() == (
            "lightd: device %s connected (model 0xFFAA0400, version 66051)\n" % self.port_path)
        self.rm = pyvisa.ResourceManager("@py")
        self.inst = self.rm.open_resource(
            "TCPIP::127.0.0.1::%s::SOCKET" % match.group(1),
            read_termination="\n", write_termination="\n", timeout=3000)

    def sim_command(self, text):
        self.sim.stdin.write(text + "\n")
        self.sim.stdin.flush()
        return self.sim.stdout.readline().strip()

    def answer_of(self, line):
        """The line's answer, or None when it answers nothing: a SYSTem:VERSion?
        behind it marks where the answer would have been."""
        self.inst.write(line)
        first = self.inst.query("SYST:VERS?")
        if first == "1999.0":
            return None
        assert self.inst.read() == "1999.0", (line, first)
        return first

    def device(self):
        """The virtual light source's state, as numbers and lists of numbers."""
        s = json.loads(self.sim_command("state"))
        channels = s["channels"]
        return {
            "global": s["enabled"], "mode": s["mode"],
            "checked": [c["enabled"] for c in channels],
            "brightness": [c["brightness"] for c in channels],
            "pulse": [c["pulse_ms"] for c in channels],
            "ttl_output": s["ttl"]["output_enabled"], "ttl_delay": s["ttl"]["delay_ms"],
            "edge_delay": s["edge"]["delay_ms"],
            "int_output": s["internal"]["output_enabled"], "int_delay": s["internal"]["delay_ms"],
            "int_high": s["internal"]["high_ms"], "int_low": s["internal"]["low_ms"],
            "int_count": s["internal"]["pulse_count"], "triggers": s["triggers"],
        }

    def wait_device(self, key, expected, timeout=3.0):
        end = time.monotonic() + timeout
        while True:
            value = self.device()[key]
            if value == expected or time.monotonic() > end:
                return value
            time.sleep(0.01)

    def close(self):
        self.inst.close()
        self.rm.close()
        self.lightd.terminate()
        rest = self.lightd.communicate(timeout=10)[0]
        assert self.lightd.returncode == 0, rest
        assert rest.endswith("lightd: SIGTERM, stopping\n"), rest
        self.sim.stdin.write("quit\n")
        self.sim.stdin.close()
        self.sim.wait(timeout=10)


@pytest.fixture
def rig():
    r = Rig()
    yield r
    r.close()


@pytest.fixture
def locked_rig():
    r = Rig("--token", "s3cret")
    yield r
    r.close()


def test_identity_version_and_an_empty_error_queue(rig):
    assert rig.inst.query("*IDN?") == "DALU,4-colour,0,1.2.3/2.1.0"
    assert rig.inst.query("SYSTem:VERSion?") == "1999.0"
    assert rig.inst.query("SYST:ERR?") == '0,"No error"'
    assert rig.inst.query("*OPC?") == "1"


# (command, query, answer, device key, device value after the command)
SETTINGS = [
    ("OUTP OFF", "OUTP?", "0", "global", 0),
    ("OUTPut:STATe ON", "OUTP:STAT?", "1", "global", 1),
    ("SOUR:MODE TTL", "SOUR:MODE?", "TTL", "mode", 1),
    ("SOUR:MODE EDGE", "SOUR:MODE?", "EDGE", "mode", 2),
    ("SOURce:MODE INTernal", "SOUR:MODE?", "INT", "mode", 3),
    ("SOUR:MODE SEQ", "SOUR:MODE?", "SEQ", "mode", 4),
    ("SOUR:MODE NORM", "SOUR:MODE?", "NORM", "mode", 0),
    ("SOUR1:STAT ON", "SOUR1:STAT?", "1", "checked", [1, 0, 0, 0]),
    ("SOUR4:STAT 1", "SOUR4:STAT?", "1", "checked", [1, 0, 0, 1]),
    ("SOUR1:STAT OFF", "SOUR1:STAT?", "0", "checked", [0, 0, 0, 1]),
    ("SOUR1:POW 10", "SOUR1:POW?", "10", "brightness", [10, 0, 0, 0]),
    ("SOUR2:POWer 20", "SOUR2:POW?", "20", "brightness", [10, 20, 0, 0]),
    ("SOURce3:POWer 30", "SOUR3:POW?", "30", "brightness", [10, 20, 30, 0]),
    ("SOUR4:POW 100", "SOUR4:POW?", "100", "brightness", [10, 20, 30, 100]),
    ("SOUR1:PULS:WIDT 100", "SOUR1:PULS:WIDT?", "100", "pulse", [100, 0, 0, 0]),
    ("SOUR4:PULSe:WIDTh 5000", "SOUR4:PULS:WIDT?", "5000", "pulse", [100, 0, 0, 5000]),
    ("TRIG:TTL:OUTP ON", "TRIG:TTL:OUTP?", "1", "ttl_output", 1),
    ("TRIG:TTL:DEL 1234", "TRIG:TTL:DEL?", "1234", "ttl_delay", 1234),
    ("TRIGger:EDGE:DELay 2345", "TRIG:EDGE:DEL?", "2345", "edge_delay", 2345),
    ("TRIG:INT:OUTP ON", "TRIG:INT:OUTP?", "1", "int_output", 1),
    ("TRIG:INT:DEL 11", "TRIG:INT:DEL?", "11", "int_delay", 11),
    ("TRIG:INT:HIGH 22", "TRIG:INT:HIGH?", "22", "int_high", 22),
    ("TRIG:INT:LOW 33", "TRIG:INT:LOW?", "33", "int_low", 33),
    ("TRIG:INT:COUN 100", "TRIG:INT:COUN?", "100", "int_count", 100),
    ("SOUR1:PULS:WIDT 1.5 S", "SOUR1:PULS:WIDT?", "1500", "pulse", [1500, 0, 0, 5000]),
    ("TRIG:TTL:DEL 20 MS", "TRIG:TTL:DEL?", "20", "ttl_delay", 20),
    ("SOUR2:POW MAX", "SOUR2:POW?", "100", "brightness", [10, 100, 30, 100]),
    ("SOUR3:POW 45PCT", "SOUR3:POW?", "45", "brightness", [10, 100, 45, 100]),
    ("TRIG:INT:COUN MIN", "TRIG:INT:COUN?", "0", "int_count", 0),
    ("TRIG:INT:HIGH DEF", "TRIG:INT:HIGH?", "0", "int_high", 0),
]


def test_every_setting_reaches_the_device_and_reads_back(rig):
    for command, query, answer, key, value in SETTINGS:
        rig.inst.write(command)
        assert rig.inst.query(query) == answer, command
        assert rig.wait_device(key, value) == value, command
    assert rig.inst.query("SYST:ERR?") == '0,"No error"'


def test_several_commands_on_one_line(rig):
    assert rig.inst.query("SOUR2:POW 55;STAT ON;POW?;STAT?") == "55;1"
    assert rig.wait_device("checked", [0, 1, 0, 0]) == [0, 1, 0, 0]
    assert rig.device()["brightness"] == [0, 55, 0, 0]


def test_triggers(rig):
    rig.inst.write("*TRG")
    rig.inst.write("TRIG:INT:IMM")
    rig.inst.write("TRIGger:INTernal")
    assert rig.inst.query("*OPC?") == "1"
    assert rig.wait_device("triggers", 3) == 3


def test_temperatures_and_alarms_come_from_the_poll(rig):
    rig.sim_command("temp 1 61.25 1")
    rig.sim_command("temp 3 -2 0")
    end = time.monotonic() + 5
    while rig.inst.query("SOUR2:TEMP?;*OPC?") != "61.25;1" and time.monotonic() < end:
        time.sleep(0.02)
    assert rig.inst.query("SYST:ERR?") == '0,"No error"'
    assert rig.inst.query("SOUR2:TEMP?;TEMP:ALAR?") == "61.25;1"
    assert rig.inst.query("SOUR4:TEMPerature?;TEMPerature:ALARm?") == "-2.00;0"
    values = rig.inst.query_ascii_values("SOUR1:TEMP?;:SOUR2:TEMP?", separator=";")
    assert values == [25.0, 61.25]


# (bad command, what SYSTem:ERRor? answers next)
BAD = [
    ("SOUR1:POW 101", '-222,"Data out of range;SOUR1:POW 101, 0..100"'),
    ("SOUR1:PULS:WIDT 5001", '-222,"Data out of range;SOUR1:PULS:WIDT 5001, 0..5000 ms"'),
    ("SOUR1:PULS:WIDT 5.5 S", '-222,"Data out of range;SOUR1:PULS:WIDT 5.5 S, 0..5000 ms"'),
    ("TRIG:INT:COUN -1", '-222,"Data out of range;TRIG:INT:COUN -1, 0..100"'),
    ("SOUR1:POW 5 MS", '-131,"Invalid suffix;SOUR1:POW 5 MS, expected PCT"'),
    ("TRIG:INT:COUN 5 S", '-138,"Suffix not allowed;TRIG:INT:COUN 5 S, no unit"'),
    ("SOUR5:POW 1", '-114,"Header suffix out of range;channels are 1..4"'),
    ("SOUR1:POW", '-109,"Missing parameter"'),
    ("OUTP MAYBE", '-224,"Illegal parameter value;OUTP MAYBE, expected ON, OFF, 1 or 0"'),
    ("SOUR:MODE FAST", '-224,"Illegal parameter value;SOUR:MODE FAST, expected NORMal, TTL, EDGE, INTernal or SEQuence"'),
    ("SOUR1:POW ten", '-224,"Illegal parameter value;SOUR1:POW ten, expected a decimal number, MINimum, MAXimum or DEFault"'),
    ("FOO:BAR 1", '-113,"Undefined header"'),
    ("SOUR1:TEMP 5", '-113,"Undefined header;query only"'),
    ("SOUR1:POW 1,2", '-108,"Parameter not allowed;one parameter"'),
    ("SOUR1:POW \"5", '-100,"Command error;unterminated string"'),
    ("x" * 1100, '-223,"Too much data;line longer than 1024 bytes"'),
]


def test_bad_commands_queue_their_error_and_send_nothing(rig):
    before = rig.device()
    for command, error in BAD:
        rig.inst.write(command)
        assert rig.inst.query("SYST:ERR?") == error, command
        assert rig.inst.query("SYST:ERR?") == '0,"No error"'
    assert rig.inst.query("*OPC?") == "1"
    assert rig.device() == before


# A line with an error answers nothing, not even the queries before the
# error, and nothing after the error reaches the device. (line, the error)
FAILING_LINES = [
    ("SOUR1:POW?;SOUR7:POW?;SOUR2:POW?", '-114,"Header suffix out of range;channels are 1..4"'),
    ("SOUR1:POW 11;BOGUS;SOUR2:POW 70", '-113,"Undefined header"'),
    ("SOUR3:POW 5;SOUR3:POW 500;SOUR3:POW?", '-222,"Data out of range;SOUR3:POW 500, 0..100"'),
    ("SOUR2:POW?;OUTP OFF;SOUR:MODE FAST",
     '-224,"Illegal parameter value;SOUR:MODE FAST, expected NORMal, TTL, EDGE, INTernal or SEQuence"'),
]


def test_a_line_with_a_command_error_runs_nothing_and_answers_nothing(rig):
    rig.inst.write("SOUR1:POW 20;:SOUR2:POW 80")
    assert rig.wait_device("brightness", [20, 80, 0, 0]) == [20, 80, 0, 0]
    before = rig.device()
    for line, error in FAILING_LINES:
        rig.inst.write(line)
        # Had the line answered anything, this read would return it.
        assert rig.inst.query("SYST:ERR?") == error, line
        assert rig.inst.query("SYST:ERR?") == '0,"No error"', line
    assert rig.inst.query("SOUR1:POW?;SOUR2:POW?;*OPC?") == "20;80;1"
    assert rig.device() == before


def test_an_execution_error_stops_the_line_where_it_happens(locked_rig):
    rig = locked_rig
    rig.inst.write("SOUR1:POW?;SOUR1:POW 5;SOUR2:POW?")
    assert rig.inst.query("SYST:ERR?") == '-203,"Command protected;send SYSTem:PASSword first"'
    rig.inst.write("SYST:PASS \"s3cret\";:SOUR1:POW 33;SYST:PASS \"wrong\";:SOUR2:POW 44;SOUR2:POW?")
    assert rig.inst.query("SYST:ERR?") == '-224,"Illegal parameter value;wrong password"'
    assert rig.inst.query("SYST:ERR?") == '0,"No error"'
    assert rig.inst.query("SOUR1:POW?;SOUR2:POW?") == "33;0"
    assert rig.wait_device("brightness", [33, 0, 0, 0]) == [33, 0, 0, 0]


def test_error_queue_overflow_and_clear(rig):
    for _ in range(20):
        rig.inst.write("FOO")
    errors = [rig.inst.query("SYST:ERR?") for _ in range(17)]
    assert errors[:15] == ['-113,"Undefined header"'] * 15
    assert errors[15:] == ['-350,"Queue overflow"', '0,"No error"']
    rig.inst.write("FOO;FOO")
    rig.inst.write("*CLS")
    assert rig.inst.query("SYST:ERR?") == '0,"No error"'


def test_unanswerable_query_times_out_and_queues_a_hardware_error(rig):
    rig.sim_command("silent 1")
    end = time.monotonic() + 10
    while rig.answer_of("*CLS;SOUR1:POW?") is not None and time.monotonic() < end:
        time.sleep(0.02)
    rig.inst.timeout = 300
    with pytest.raises(pyvisa.errors.VisaIOError):
        rig.inst.query("SOUR1:POW?")  # an instrument answers nothing
    rig.inst.timeout = 3000
    error = rig.inst.query("SYST:ERR?")
    assert error.startswith('-240,"Hardware error;device not connected: '), error
    assert "timeout." in error
    # A lost device: a questionable bit, and a self-test that answers 1.
    assert rig.inst.query("STAT:QUES:COND?") == "512"
    assert rig.inst.query("*CLS;*TST?") == "1"
    error = rig.inst.query("SYST:ERR?")
    assert error.startswith('-330,"Self-test failed;device not connected: '), error
    assert rig.inst.query("*ESR?;:SYST:ERR:COUN?") == "8;0"  # a device-dependent error
    rig.sim_command("silent 0")
    end = time.monotonic() + 10
    while rig.answer_of("*CLS;SOUR1:POW?") != "0" and time.monotonic() < end:
        time.sleep(0.05)
    assert rig.inst.query("SOUR1:POW 7;POW?") == "7"
    assert rig.wait_device("brightness", [7, 0, 0, 0]) == [7, 0, 0, 0]
    assert rig.inst.query("STAT:QUES:COND?;*TST?") == "0;0"


def noted_writes(rig, count, timeout=5.0):
    """The device's write frames ("CMD:DATA" in hex), once `count` are there:
    the light source notes a frame just after it has answered it."""
    frames = []
    end = time.monotonic() + timeout
    while len(frames) < count and time.monotonic() < end:
        answer = rig.sim_command("writes")
        frames += [] if answer == "-" else answer.split(" ")
    return frames


def wait_answer(rig, query, expected, timeout=5.0):
    end = time.monotonic() + timeout
    while True:
        answer = rig.inst.query(query)
        if answer == expected or time.monotonic() > end:
            return answer
        time.sleep(0.02)


def test_a_generic_drivers_session(rig):
    rig.inst.write("SOUR:MODE TTL;:TRIG:TTL:OUTP ON;:SOUR2:STAT ON;POW 30")
    assert rig.inst.query("*OPC?") == "1"
    assert len(noted_writes(rig, 4)) == 4
    assert rig.inst.query("*IDN?") == "DALU,4-colour,0,1.2.3/2.1.0"

    rig.inst.write("*RST; *CLS; *ESE 61; *SRE 32")
    assert rig.inst.query("*OPC?;*TST?") == "1;0"
    # Output off first; SOURce2 off; the TTL output off; NORMal mode. The
    # brightness stays.
    assert noted_writes(rig, 4) == ["0002:00", "0101:0100", "0201:00", "0001:00"]
    assert rig.inst.query("OUTP?;:SOUR:MODE?;:SOUR2:STAT?;POW?;:TRIG:TTL:OUTP?") == "0;NORM;0;30;0"
    # A second *RST has nothing to send: the next frame is the next write's.
    rig.inst.write("*RST;:SOUR1:POW MAX")
    assert noted_writes(rig, 1) == ["0102:000064"]  # SOURce1 at 100 %

    rig.inst.write("SOUR3:POW 150")  # the error
    assert rig.inst.query("*STB?") == "100"  # RQS, ESB, the error queue
    assert rig.inst.query("*ESR?") == "16"  # execution error
    assert rig.inst.query("*STB?") == "4"
    assert rig.inst.query("SYST:ERR:COUN?;:SYST:ERR?") == '1;-222,"Data out of range;SOUR3:POW 150, 0..100"'
    assert rig.inst.query("*STB?;*ESR?") == "0;0"

    rig.inst.write("STAT:QUES:ENAB 16")
    rig.sim_command("temp 2 80 1")  # SOURce3 over temperature
    assert wait_answer(rig, "STAT:QUES:TEMP:COND?", "4") == "4"
    assert rig.inst.query("*STB?") == "8"  # QUES summary; not in *SRE 32
    assert rig.inst.query("STAT:QUES:TEMP?") == "4"
    assert rig.inst.query("STAT:QUES:TEMP?") == "0"  # read, cleared
    assert rig.inst.query("STAT:QUES?;:*STB?") == "16;16"
    rig.sim_command("temp 2 30 0")
    assert wait_answer(rig, "STAT:QUES:TEMP:COND?", "0") == "0"
    assert rig.inst.query("STAT:QUES:TEMP?;:STAT:QUES?;:*STB?") == "0;0;16"  # falling edges are not events
    rig.sim_command("temp 2 80 1")
    assert wait_answer(rig, "STAT:QUES:TEMP:COND?", "4") == "4"
    rig.inst.write("*CLS")
    assert rig.inst.query("STAT:QUES:TEMP?;:STAT:QUES:TEMP:COND?;:*ESR?") == "0;4;0"
    assert rig.inst.query("SYST:ERR?") == '0,"No error"'
