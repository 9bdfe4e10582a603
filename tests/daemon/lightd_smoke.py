"""Smoke tables for a running lightd, as its clients see it: SCPI through
PyVISA (pure-Python backend, raw socket resource) and HTTP through
http.client, both over loopback. The light source behind lightd is the
virtual one, serving fixed temperatures 25, 30.5, -2, 70.

    python3 lightd_smoke.py SCPI_PORT HTTP_PORT

Prints one line per case and exits 1 if any failed. Used by
scripts/test_windows.sh against lightd.exe under wine.
"""
import http.client
import json
import re
import sys
import time

import pyvisa

# (command, answer regex or None for a write); run in order, so the queries
# after a write see it.
SCPI_TABLE = [
    ("*IDN?", r"DALU,4-colour,0,1\.2\.3/2\.1\.0"),
    ("SYST:ERR?", r'0,"No error"'),
    ("SYST:VERS?", r"1999\.0"),
    ("SOUR2:TEMP?", r"30\.50"),
    ("SOUR3:TEMP?", r"-2\.00"),
    ("SOUR4:TEMP:ALAR?", r"[01]"),
    ("SOUR1:POW 42", None),
    ("SOUR1:POW?", r"42"),
    ("SOUR1:STAT ON", None),
    ("SOUR1:STAT?", r"1"),
    ("SOUR:MODE EDGE", None),
    ("SOUR:MODE?", r"EDGE"),
    ("SOUR:MODE NORM", None),
    ("SOUR1:POW 101", None),
    ("SYST:ERR?", r'-222,"Data out of range.*"'),
    ("NO:SUCH:COMMAND", None),
    ("SYST:ERR?", r"-113,.*"),
    ("*OPC?", r"1"),
]

# (method, path, body or None, expected status, check of the JSON answer or None)
HTTP_TABLE = [
    ("GET", "/", None, 200, None),
    ("GET", "/app.js", None, 200, None),
    ("GET", "/api/v1/state", None, 200, lambda s: s["connected"] and s["model_name"] == "4-colour"),
    ("GET", "/api/v1/state", None, 200, lambda s: s["channels"][1]["temperature"] == 30.5),
    ("PATCH", "/api/v1/state", {"channels": [{"index": 2, "brightness": 17}]}, 200,
     lambda s: s["channels"][2]["brightness"] == 17),
    ("PATCH", "/api/v1/state", {"channels": [{"index": 9, "brightness": 1}]}, 422, lambda e: "error" in e),
    ("GET", "/api/v1/history", None, 200, None),
    ("GET", "/metrics", None, 200, None),
    ("GET", "/no/such/page", None, 404, None),
]


def run_scpi(port):
    failures = 0
    rm = pyvisa.ResourceManager("@py")
    inst = rm.open_resource("TCPIP::127.0.0.1::%d::SOCKET" % port,
                            read_termination="\n", write_termination="\n", timeout=5000)
    try:
        for command, expected in SCPI_TABLE:
            if expected is None:
                inst.write(command)
                answer = None
                ok = True
            else:
                answer = inst.query(command).strip()
                ok = re.fullmatch(expected, answer) is not None
            print("lightd_smoke: SCPI %-18s %s%s" % (command, "ok" if ok else "FAILED",
                                                   "" if answer is None else " (%s)" % answer))
            failures += not ok
    finally:
        inst.close()
        rm.close()
    return failures


def run_http(port):
    failures = 0
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=5)
    for method, path, body, status, check in HTTP_TABLE:
        data = None if body is None else json.dumps(body)
        headers = {} if body is None else {"Content-Type": "application/json"}
        conn.request(method, path, body=data, headers=headers)
        response = conn.getresponse()
        payload = response.read()
        ok = response.status == status
        if ok and check is not None:
            try:
                ok = bool(check(json.loads(payload)))
            except (ValueError, KeyError, IndexError, TypeError):
                ok = False
        print("lightd_smoke: HTTP %-5s %-16s %d %s" % (method, path, response.status, "ok" if ok else "FAILED"))
        failures += not ok
    conn.close()
    return failures


def main():
    scpi_port, http_port = int(sys.argv[1]), int(sys.argv[2])
    # The temperatures are there once the first poll has run.
    conn = http.client.HTTPConnection("127.0.0.1", http_port, timeout=5)
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline:
        conn.request("GET", "/api/v1/state")
        state = json.loads(conn.getresponse().read())
        if state.get("connected") and state["channels"][3]["temperature"] is not None:
            break
        time.sleep(0.1)
    conn.close()
    failures = run_scpi(scpi_port) + run_http(http_port)
    print("lightd_smoke: %d of %d cases failed" % (failures, len(SCPI_TABLE) + len(HTTP_TABLE)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
