"""Hostile HTTP: oversized and malformed requests, trickling and idle clients,
1,000 idle connections, 100 event streams. lightd keeps answering, loses no
state and frees every connection (its descriptors come back to where they were)."""
import json
import os
import resource
import selectors
import socket
import threading
import time

import pytest

from lightd_fixture import EventStream, Lightd, Sim, wait_for

HEADER_TIMEOUT_MS = 3000
IDLE_TIMEOUT_MS = 2000


@pytest.fixture(scope="module")
def rig():
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if soft < 4096:
        resource.setrlimit(resource.RLIMIT_NOFILE, (min(hard, 4096), hard))
    sim = Sim()
    d = Lightd(sim.port, "--poll-ms", "200", "--http-header-timeout-ms", str(HEADER_TIMEOUT_MS),
               "--http-idle-timeout-ms", str(IDLE_TIMEOUT_MS))
    yield sim, d
    assert d.close() == 0
    sim.close()


def open_descriptors(proc):
    return len(os.listdir("/proc/%d/fd" % proc.pid))


def clients(d, protocol):
    for line in d.metrics().splitlines():
        if line.startswith('lightkit_clients{protocol="%s"}' % protocol):
            return int(line.split()[-1])
    raise KeyError(protocol)


def settled(d, baseline_fds):
    """lightd holds no connection but the one asking, and its descriptors are back."""
    return clients(d, "http") == 1 and clients(d, "events") == 0 and open_descriptors(d.proc) == baseline_fds


def raw_exchange(port, data, read_timeout=10):
    """Sends `data` (errors ignored: the server may close early) and returns all it answers."""
    s = socket.create_connection(("127.0.0.1", port), timeout=read_timeout)
    try:
        try:
            s.sendall(data)
        except OSError:
            pass
        answer = b""
        while True:
            try:
                chunk = s.recv(65536)
            except ConnectionResetError:
                break
            if not chunk:
                break
            answer += chunk
        return answer
    finally:
        s.close()


BAD_REQUESTS = [
    # (request bytes, status line the answer begins with)
    (b"GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Big: " + b"a" * 20000 + b"\r\n\r\n", b"HTTP/1.1 431 "),
    (b"GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n" + b"X-Many: 1\r\n" * 2000 + b"\r\n", b"HTTP/1.1 431 "),
    (b"PATCH /api/v1/state HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 1000000000\r\n\r\n{", b"HTTP/1.1 413 "),
    (b"PATCH /api/v1/state HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 5000\r\n\r\n" + b" " * 5000, b"HTTP/1.1 413 "),
    (b"PATCH /api/v1/state HTTP/1.1\r\nHost: 127.0.0.1\r\nTransfer-Encoding: chunked\r\n\r\n"
     + b"800\r\n" + b" " * 2048 + b"\r\n" + b"800\r\n" + b" " * 2048 + b"\r\n" + b"10\r\n" + b" " * 16 + b"\r\n0\r\n\r\n",
     b"HTTP/1.1 413 "),
    (b"GARBAGE\r\n\r\n", b"HTTP/1.1 400 "),
    (b"GET / HTTP/9.9\r\n\r\n", b"HTTP/1.1 400 "),
    (b"GET / HTTP/1.1\r\nNo colon here\r\n\r\n", b"HTTP/1.1 400 "),
    (b"PATCH /api/v1/state HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: -5\r\n\r\n", b"HTTP/1.1 400 "),
    (b"PATCH /api/v1/state HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 4\r\nContent-Length: 5\r\n\r\n{}{}", b"HTTP/1.1 400 "),
    (b"PATCH /api/v1/state HTTP/1.1\r\nHost: 127.0.0.1\r\nTransfer-Encoding: chunked\r\n\r\nZZ\r\n", b"HTTP/1.1 400 "),
    (b"\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03" + bytes(range(256)) * 4, b"HTTP/1.1 400 "),
    (b"PATCH /api/v1/state HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 3\r\n\r\n\xff\xfe\x00", b"HTTP/1.1 400 "),
    # Targets that are no path, answered before any routing.
    (b"GET ?x HTTP/1.1\r\nHost: a\r\n\r\n", b"HTTP/1.1 400 "),
    (b"GET ?x HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", b"HTTP/1.1 400 "),
    (b"GET * HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", b"HTTP/1.1 400 "),
    (b"GET http://127.0.0.1/api/v1/state HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", b"HTTP/1.1 400 "),
    # Host: required in HTTP/1.1, once, and naming lightd.
    (b"GET /api/v1/state HTTP/1.1\r\n\r\n", b"HTTP/1.1 400 "),
    (b"GET /api/v1/state HTTP/1.1\r\nHost: 127.0.0.1\r\nHost: 127.0.0.1\r\n\r\n", b"HTTP/1.1 400 "),
    (b"POST /api/v1/trigger HTTP/1.1\r\nHost: evil.example:8080\r\nOrigin: http://evil.example:8080\r\n\r\n",
     b"HTTP/1.1 421 "),
    # Bodies framed only by a plain chunked coding.
    (b"PATCH /api/v1/state HTTP/1.1\r\nHost: 127.0.0.1\r\nTransfer-Encoding: gzip\r\n\r\n{}", b"HTTP/1.1 501 "),
    (b"PATCH /api/v1/state HTTP/1.1\r\nHost: 127.0.0.1\r\nTransfer-Encoding: gzip, chunked\r\n\r\n0\r\n\r\n",
     b"HTTP/1.1 501 "),
    (b"PATCH /api/v1/state HTTP/1.1\r\nHost: 127.0.0.1\r\nTransfer-Encoding: chunked\r\nContent-Length: 2\r\n\r\n"
     b"2\r\n{}\r\n0\r\n\r\n", b"HTTP/1.1 400 "),
]


def test_bad_requests_are_refused_and_change_nothing(rig):
    sim, d = rig
    d.patch({"channels": [{"index": 2, "brightness": 33, "enabled": True}]})
    wait_for(lambda: sim.state()["channels"][2]["brightness"] == 33, what="the setting")
    settings = sim.state()
    del settings["frames"]
    for request, status_line in BAD_REQUESTS:
        answer = raw_exchange(d.http_port, request)
        assert answer.startswith(status_line), (request[:60], answer[:200])
        body = answer.split(b"\r\n\r\n", 1)[1]
        assert set(json.loads(body)) == {"error"}
        assert d.state()["channels"][2]["brightness"] == 33
    # A megabyte of noise: refused (or cut), and the daemon goes on.
    noise = bytes((i * 131 + 7) % 256 for i in range(1 << 20))
    answer = raw_exchange(d.http_port, noise)
    assert answer == b"" or answer.startswith(b"HTTP/1.1 400 "), answer[:100]
    now = sim.state()
    del now["frames"]
    assert now == settings
    assert d.running()


def wait_closed(sock, timeout):
    """True once the peer has closed `sock` (bytes it sends are read and dropped)."""
    sock.settimeout(0.2)
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        try:
            if sock.recv(65536) == b"":
                return True
        except socket.timeout:
            continue
        except ConnectionResetError:
            return True
    return False


def test_a_trickling_client_is_cut_at_the_header_deadline(rig):
    _, d = rig
    s = socket.create_connection(("127.0.0.1", d.http_port))
    start = time.monotonic()
    closed = False
    request = b"GET /api/v1/state HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: " + b"a" * 1000
    for i in range(len(request)):
        try:
            s.send(request[i:i + 1])
        except OSError:
            closed = True
            break
        if wait_closed(s, 0.1):
            closed = True
            break
    elapsed = time.monotonic() - start
    s.close()
    assert closed
    # Cut near the deadline, not after the whole trickle.
    assert HEADER_TIMEOUT_MS / 1000 - 0.5 < elapsed < HEADER_TIMEOUT_MS / 1000 + 5


def test_an_idle_kept_alive_connection_is_closed(rig):
    _, d = rig
    conn = d.connection()
    conn.request("GET", "/api/v1/state")
    assert conn.getresponse().read()
    assert wait_closed(conn.sock, IDLE_TIMEOUT_MS / 1000 + 5)
    conn.close()


def test_thousand_idle_connections(rig):
    sim, d = rig
    wait_for(lambda: clients(d, "http") == 1, what="no other connection")
    baseline = open_descriptors(d.proc)
    idle = []
    try:
        for _ in range(1000):
            idle.append(socket.create_connection(("127.0.0.1", d.http_port)))
        wait_for(lambda: clients(d, "http") >= 1001, what="1,000 connections accepted")
        # Others are served meanwhile, writes included.
        status, answer = d.patch({"channels": [{"index": 1, "brightness": 61}]})
        assert status == 200 and answer["channels"][1]["brightness"] == 61
        wait_for(lambda: sim.state()["channels"][1]["brightness"] == 61, what="the write")
        # Each idle one is closed by the header deadline.
        selector = selectors.DefaultSelector()
        for s in idle:
            s.setblocking(False)
            selector.register(s, selectors.EVENT_READ)
        open_count = len(idle)
        deadline = time.monotonic() + HEADER_TIMEOUT_MS / 1000 + 20
        while open_count and time.monotonic() < deadline:
            for key, _ in selector.select(timeout=1):
                try:
                    data = key.fileobj.recv(4096)
                except ConnectionResetError:
                    data = b""
                assert data == b"", data[:100]
                selector.unregister(key.fileobj)
                open_count -= 1
        assert open_count == 0
    finally:
        for s in idle:
            s.close()
    wait_for(lambda: settled(d, baseline), what="every connection freed")
    assert d.state()["channels"][1]["brightness"] == 61


def test_hundred_event_streams(rig):
    sim, d = rig
    wait_for(lambda: clients(d, "http") == 1, what="no other connection")
    baseline = open_descriptors(d.proc)
    streams = [EventStream(d.http_port) for _ in range(100)]
    try:
        for stream in streams:
            name, state = stream.next_event()
            assert name == "state" and state["connected"]
        assert clients(d, "events") == 100
        status, _ = d.patch({"channels": [{"index": 0, "brightness": 19}], "ttl": {"delay_ms": 19}})
        assert status == 200
        for stream in streams:
            state = stream.wait_for_state(lambda s: s["channels"][0]["brightness"] == 19)
            assert state["ttl"]["delay_ms"] == 19
        # A change over SCPI reaches all of them as well.
        assert d.scpi("SOUR4:PULS:WIDT 444") == "1"
        for stream in streams:
            stream.wait_for_state(lambda s: s["channels"][3]["pulse_ms"] == 444)
        # Half of them go away uncleanly, in the middle of a stream.
        for stream in streams[::2]:
            stream.sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\x01\x00\x00\x00\x00\x00\x00\x00")
    finally:
        for stream in streams:
            stream.close()
    wait_for(lambda: settled(d, baseline), what="every event stream freed")
    wait_for(lambda: sim.state()["edge"]["delay_ms"] == 0 and sim.state()["channels"][3]["pulse_ms"] == 444,
             what="the device state kept")
    assert d.state()["channels"][0]["brightness"] == 19


def test_many_clients_at_once_keep_being_answered(rig):
    _, d = rig
    errors = []

    def client(n):
        try:
            conn = d.connection()
            for _ in range(20):
                conn.request("GET", "/api/v1/state" if n % 2 else "/metrics")
                res = conn.getresponse()
                res.read()
                if res.status != 200:
                    errors.append(res.status)
            conn.close()
        except Exception as e:  # noqa: BLE001 - every failure is a finding
            errors.append(repr(e))

    threads = [threading.Thread(target=client, args=(n,)) for n in range(50)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []


def test_an_event_stream_that_stops_reading_is_dropped(rig):
    sim, d = rig
    wait_for(lambda: clients(d, "http") == 1, what="no other connection")
    baseline = open_descriptors(d.proc)
    stalled = socket.socket()
    stalled.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    stalled.connect(("127.0.0.1", d.http_port))
    stalled.sendall(b"GET /api/v1/events HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
    wait_for(lambda: clients(d, "events") == 1, what="the stream")
    # Far more state events than lightd keeps for one client; it never reads.
    conn = d.connection()
    changes = 1500
    for i in range(changes):
        conn.request("PATCH", "/api/v1/state", body=json.dumps({"channels": [{"index": 0, "brightness": i % 100}]}))
        res = conn.getresponse()
        res.read()
        assert res.status == 200
        if clients(d, "events") == 0:
            break
    conn.close()
    # Its write stalls, and the write deadline (15 s) drops it.
    wait_for(lambda: clients(d, "events") == 0, timeout=30, what="the stalled stream dropped")
    received = b""
    stalled.settimeout(10)
    while True:
        chunk = stalled.recv(65536)
        if not chunk:
            break
        received += chunk
    stalled.close()
    assert received.count(b"event: state") < changes
    wait_for(lambda: settled(d, baseline), what="every connection freed")


def test_lightd_takes_the_descriptors_it_may(rig):  # the rig has raised this process's own limit
    """Started with the common soft limit of 256 descriptors, lightd raises it
    to the hard limit and still holds 1,000 connections."""
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if hard != resource.RLIM_INFINITY and hard < 2048:
        pytest.skip("the hard descriptor limit is below 2048")
    sim = Sim()  # a port has one owner: the rig's lightd holds the other one
    d = Lightd(sim.port, "--poll-ms", "200", "--http-header-timeout-ms", "60000",
               preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_NOFILE, (256, hard)))
    held = []
    try:
        for _ in range(1000):
            held.append(socket.create_connection(("127.0.0.1", d.http_port)))
        wait_for(lambda: clients(d, "http") >= 1001, what="1,000 connections accepted")
        assert d.state()["connected"]
    finally:
        for s in held:
            s.close()
        assert d.close() == 0
        sim.close()


def rss_kib(proc):
    with open("/proc/%d/status" % proc.pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise KeyError("VmRSS")


@pytest.mark.parametrize("tail", [b"1;a=", b"0\r\nX-Trailer: "], ids=["chunk extension", "trailer"])
def test_a_never_ending_chunk_line_is_refused_and_memory_stays_flat(rig, tail):
    _, d = rig
    before = rss_kib(d.proc)
    s = socket.create_connection(("127.0.0.1", d.http_port), timeout=10)
    s.sendall(b"PATCH /api/v1/state HTTP/1.1\r\nHost: 127.0.0.1\r\nTransfer-Encoding: chunked\r\n\r\n" + tail)
    answer = b""
    try:
        for _ in range(64):  # up to 16 MiB of one line
            s.sendall(b"x" * 262144)
    except OSError:
        pass  # refused and closed mid-send
    s.settimeout(5)
    try:
        while True:
            chunk = s.recv(65536)
            if not chunk:
                break
            answer += chunk
    except (ConnectionResetError, socket.timeout):
        pass
    s.close()
    assert answer.startswith(b"HTTP/1.1 413 ") or answer.startswith(b"HTTP/1.1 431 ") or answer == b"", answer[:100]
    assert rss_kib(d.proc) - before < 8 * 1024
    assert d.running()


def test_head_answers_as_get_without_a_body(rig):
    _, d = rig
    for path in ["/api/v1/state", "/metrics", "/", "/app.js"]:
        conn = d.connection()
        conn.request("GET", path)
        get = conn.getresponse()
        get_body = get.read()
        conn.request("HEAD", path)
        head = conn.getresponse()
        assert head.status == 200 and head.read() == b""
        assert head.getheader("Content-Type") == get.getheader("Content-Type")
        if path != "/api/v1/state" and path != "/metrics":  # these change between two requests
            assert int(head.getheader("Content-Length")) == len(get_body)
        # The connection is still in step: the next request gets its own answer.
        conn.request("GET", "/api/v1/state")
        assert json.loads(conn.getresponse().read())["connected"]
        conn.close()


def test_an_event_stream_that_keeps_up_is_never_dropped(rig):
    """Eight SCPI clients writing as fast as they can: state events come
    faster than one write each can carry, so they are coalesced, and a
    reading client stays connected to the end."""
    _, d = rig
    stream = EventStream(d.http_port)
    stop = threading.Event()
    writes = [0] * 8

    def writer(n):
        with socket.create_connection(("127.0.0.1", d.scpi_port), timeout=10) as s:
            f = s.makefile("rwb")
            value = 0
            while not stop.is_set():
                value = (value + 1) % 100
                f.write(b"SOUR%d:POW %d\n*OPC?\n" % (n % 4 + 1, value))
                f.flush()
                assert f.readline() == b"1\n"
                writes[n] += 1

    threads = [threading.Thread(target=writer, args=(n,)) for n in range(8)]
    for t in threads:
        t.start()
    events = 0
    deadline = time.monotonic() + 6
    try:
        while time.monotonic() < deadline:
            stream.next_event()
            events += 1
    finally:
        stop.set()
        for t in threads:
            t.join()
    assert clients(d, "events") == 1, "the reading stream was dropped"
    final = d.state()
    stream.wait_for_state(lambda s: s["channels"] == final["channels"])
    stream.close()
    print("%d SCPI writes, %d events read" % (sum(writes), events))


def test_lightd_outlives_the_reader_of_its_output():
    """`lightd ... | tee log` after tee has gone: the next line lightd prints
    fails, and lightd goes on serving."""
    sim = Sim()
    d = Lightd(sim.port, "--poll-ms", "100", "--verbose")
    try:
        d.proc.stdout.close()  # the reader goes; lightd's next line meets a broken pipe
        sim.unplug()  # the lost device is reported in lines of its own
        wait_for(lambda: not d.state()["connected"], what="the loss noticed")
        d.request("GET", "/api/v1/state")  # --verbose: one line per request
        time.sleep(0.5)
        assert d.running()
        assert d.state()["connected"] is False
        assert d.close() == 0
    finally:
        d.proc.stdout = None
        d.close()
        sim.close()


def server_end_timer(server_port, client_port):
    """lightd's end of one connection in /proc/net/tcp: its timer field, e.g. '02:00001770'."""
    with open("/proc/net/tcp") as f:
        for line in f.readlines()[1:]:
            fields = line.split()
            local, remote = fields[1].split(":")[1], fields[2].split(":")[1]
            if int(local, 16) == server_port and int(remote, 16) == client_port:
                return fields[5]
    return ""


def test_http_connections_probe_their_clients_with_keep_alive(rig):
    """The kernel's keep-alive timer on lightd's end is armed for a minute,
    not the system's two hours, so a client that vanished frees its place."""
    _, d = rig
    conn = d.connection()
    conn.request("GET", "/api/v1/state")
    conn.getresponse().read()
    client_port = conn.sock.getsockname()[1]
    timer = wait_for(lambda: (lambda t: t if t.startswith("02:") else None)(server_end_timer(d.http_port, client_port)),
                     what="the keep-alive timer")
    assert int(timer[3:], 16) <= 60 * os.sysconf("SC_CLK_TCK"), timer
    conn.close()
