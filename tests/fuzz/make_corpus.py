#!/usr/bin/env python3
"""Writes the seed corpus of the fuzz harnesses into corpus/<target>/.

Run from anywhere; the files are committed, so run it again only after
changing the cases below (it clears the seed files it owns, the ones named
seed-*, and leaves regression inputs such as crash-* alone).
"""
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))


def frame(cmd, payload=b"", checksum=None, end=0xFA):
    body = bytes([cmd >> 8, cmd & 0xFF, len(payload)]) + bytes(payload)
    s = sum(body) & 0xFF if checksum is None else checksum
    return b"\x55\xAA" + body + bytes([s, end])


# Read commands in the harness's order: code, answer length, per channel.
READS = [
    (0xFF00, 4, False), (0xFE00, 4, False), (0x8002, 1, False), (0x8001, 1, False),
    (0x8101, 2, True), (0x8102, 3, True), (0x9000, 4, True), (0x9001, 3, True),
    (0x9002, 2, True), (0x8201, 1, False), (0x8202, 2, False), (0x8301, 2, False),
    (0x8302, 3, True), (0x8401, 1, False), (0x8402, 2, False), (0x8403, 2, False),
    (0x8404, 2, False), (0x8405, 1, False),
]
# Write commands in the harness's order: code, sample payload.
WRITES = [
    (0x0001, b"\x04"), (0x0002, b"\x02"), (0x0101, b"\x01\x01"), (0x0102, b"\x00\x00\x64"),
    (0x0201, b"\x01"), (0x0202, b"\x13\x88"), (0x0301, b"\x01\xf4"), (0x0302, b"\x03\x00\x64"),
    (0x0401, b"\x01"), (0x0402, b"\x00\x0a"), (0x0403, b"\x00\x14"), (0x0404, b"\x00\x1e"),
    (0x0405, b"\x64"), (0x0406, b""),
]

# Answers from the worked examples, by code: (ledId, payload).
EXAMPLE_ANSWERS = {
    0x8002: [b"\x05", b"\x00"],
    0xFF00: [b"\x00\x00\x12\x34", b"\xff\xaa\x04\x00", b"\xff\xaa\x08\x00"],
    0xFE00: [b"\x12\x34\x56\x78"],
    0x8001: [b"\x07", b"\x04"],
    0x9000: [b"\x02\x09\xc4\x01", b"\x02\xff\x38\x00", b"\x01\x09\xc4\x01"],
    0x8101: [b"\x00\x07"],
    0x8102: [b"\x03\x00\x64", b"\x03\xff\xff"],
    0x8402: [b"\x01\xf4"],
    0x8201: [b"\x02"],
    0x8405: [b"\xc8"],
    0x8302: [b"\x02\x00\x0a", b"\x01\x13\x88"],
}


def codec_ops(*steps):
    """Encodes steps for fuzz_cmdpkg: bytes objects are fed, strings act."""
    out = bytearray()
    acts = {"pop": 0xC0, "clear": 0xC1, "drain": 0xC2}
    for step in steps:
        if isinstance(step, str):
            out.append(acts[step])
            continue
        if isinstance(step, tuple):  # ("encode", cmd, payload[, claimed len])
            _, cmd, payload = step[:3]
            n = step[3] if len(step) > 3 else len(payload)
            out += bytes([0xC3, cmd >> 8, cmd & 0xFF, n]) + bytes(payload)
            continue
        for i in range(0, len(step), 64):
            chunk = step[i:i + 64]
            out.append(len(chunk) - 1)
            out += chunk
    return bytes(out)


def codec_cases():
    cases = {}
    # Worked frames of the codec and of the commands.
    cases["example-0102-000064"] = codec_ops(bytes.fromhex("55AA0102030000646AFA"), "pop")
    cases["example-0001-02"] = codec_ops(bytes.fromhex("55AA0001010204FA"), "pop")
    cases["example-0001-empty"] = codec_ops(bytes.fromhex("55AA00010001FA"), "pop")
    cases["example-0102-03ffff"] = codec_ops(bytes.fromhex("55AA01020303FFFF07FA"), "pop")
    cases["example-setworkmode-4"] = codec_ops(bytes.fromhex("55AA0001010406FA"), "drain")
    cases["example-ttl-delay-5000"] = codec_ops(bytes.fromhex("55AA0202021388A1FA"), "drain")
    cases["example-edge-pulse"] = codec_ops(bytes.fromhex("55AA0302030300646FFA"), "drain")
    cases["example-pulse-num"] = codec_ops(bytes.fromhex("55AA040501646EFA"), "drain")
    cases["example-on-trigger"] = codec_ops(bytes.fromhex("55AA0406000AFA"), "drain")
    cases["example-get-temp-status"] = codec_ops(bytes.fromhex("55AA9000010293FA"), "drain")
    # Every request and every well-formed answer, one frame each.
    for code, payload in WRITES:
        cases["write-%04x" % code] = codec_ops(frame(code, payload), "pop")
    for code, n, per in READS:
        req = frame(code, b"\x01" if per else b"")
        ans = frame(code, bytes([1] + [0x20 + k for k in range(n - 1)]) if per else bytes(range(0x11, 0x11 + n)))
        cases["read-%04x" % code] = codec_ops(req + ans, "pop", "pop")
    # Split across calls, back to back, resynchronisation.
    f = frame(0x8102, b"\x03\x00\x64")
    cases["split-bytewise"] = codec_ops(*[f[i:i + 1] for i in range(len(f))], "pop")
    cases["back-to-back"] = codec_ops(frame(0x8001, b"\x01") + frame(0x8002, b"\x00"), "pop", "pop")
    cases["sync-55-55-aa"] = codec_ops(b"\x55" + f, "pop")
    cases["sync-run-of-55"] = codec_ops(b"\x55" * 10 + f, "pop")
    cases["bad-checksum"] = codec_ops(frame(0x8001, b"\x01", checksum=0x00) + f, "drain")
    cases["bad-checksum-55"] = codec_ops(frame(0x8001, b"\x01", checksum=0x55) + b"\xAA" + f, "drain")
    cases["bad-end"] = codec_ops(frame(0x8001, b"\x01", end=0x55) + f, "drain")
    cases["truncated"] = codec_ops(f[:6], f, "drain")
    cases["truncated-then-clear"] = codec_ops(f[:6], "clear", f[6:], "pop")
    cases["clear-mid-frame"] = codec_ops(f, f[:4], "clear", f[4:], "drain")
    cases["noise-then-frame"] = codec_ops(bytes([0xFA, 0x00, 0xAA, 0x55, 0x00]) + f, "drain")
    cases["overflow-nine"] = codec_ops(b"".join(frame(0x8000 + k, bytes([k])) for k in range(9)), "drain")
    cases["overflow-pop-refill"] = codec_ops(b"".join(frame(0x0100 + k) for k in range(8)), "pop",
                                             frame(0x0200) + frame(0x0201), "drain")
    cases["len-249"] = codec_ops(frame(0x1234, bytes((k * 7) & 0xFF for k in range(249))), "pop")
    cases["len-250-refused"] = codec_ops(b"\x55\xAA\x12\x34\xFA" + bytes(250) + f, "drain")
    cases["len-255"] = codec_ops(b"\x55\xAA\x00\x00\xFF" + bytes(255) + b"\xFF\xFA" + f, "drain")
    cases["zero-len-zero-sum"] = codec_ops(b"\x55\xAA\x00\x00\x00\x00\xFA", "pop")
    cases["pop-empty"] = codec_ops("pop", "drain", f, "pop", "pop")
    # The encoder's examples, round trip through the parser.
    cases["encode-0102-000064"] = codec_ops(("encode", 0x0102, b"\x00\x00\x64"), "pop")
    cases["encode-0001-empty"] = codec_ops(("encode", 0x0001, b""), "pop")
    cases["encode-0102-03ffff"] = codec_ops(("encode", 0x0102, b"\x03\xff\xff"), "pop")
    cases["encode-len-248"] = codec_ops(("encode", 0x4242, bytes(range(248))), "pop")
    cases["encode-len-249-refused"] = codec_ops(("encode", 0x4242, bytes(range(249))), "drain")
    cases["encode-len-255-refused"] = codec_ops(("encode", 0x4242, bytes(255), 255), "drain")
    cases["encode-mid-frame"] = codec_ops(f[:5], ("encode", 0x8001, b"\x01"), f[5:], "drain")
    return cases


def request_input(sel, led=0, value=0, flags=0, reply=b""):
    if isinstance(led, str):
        led_byte = {"min": 0xFE, "max": 0xFF}[led]
    else:
        led_byte = led + 2
    return bytes([sel, led_byte, value >> 8, value & 0xFF, flags]) + reply


def request_cases():
    cases = {}
    for i, (code, n, per) in enumerate(READS):
        led = 2 if per else 0
        good = bytes([led] + [0x09, 0xC4, 0x01][: n - 1]) if per else bytes(range(1, n + 1))
        name = "read-%04x" % code
        cases[name + "-good"] = request_input(i, led, reply=frame(code, good))
        for k, payload in enumerate(EXAMPLE_ANSWERS.get(code, [])):
            eled = payload[0] if per else 0
            cases[name + "-example%d" % k] = request_input(i, eled if per else 0, reply=frame(code, payload))
        cases[name + "-long"] = request_input(i, led, reply=frame(code, good + b"\x00"))
        cases[name + "-short"] = request_input(i, led, reply=frame(code, good[:-1]))
        cases[name + "-empty"] = request_input(i, led, reply=frame(code))
        cases[name + "-other-code-first"] = request_input(
            i, led, reply=frame(code ^ 0x4000, good) + frame(code, good))
        cases[name + "-twice"] = request_input(i, led, reply=frame(code, good) * 2)
        cases[name + "-bad-checksum"] = request_input(
            i, led, reply=frame(code, good, checksum=0x00) + frame(code, good))
        cases[name + "-noise"] = request_input(i, led, reply=b"\xFA\x55\x00\x13" + frame(code, good))
        cases[name + "-truncated"] = request_input(i, led, reply=frame(code, good)[:-2])
        cases[name + "-send-fails"] = request_input(i, led, flags=1, reply=frame(code, good))
        cases[name + "-destroy"] = request_input(i, led, flags=2, reply=frame(code, good))
        if per:
            bad = bytes([(led + 1) % 4]) + good[1:]
            cases[name + "-wrong-echo"] = request_input(i, led, reply=frame(code, bad))
            cases[name + "-led-4"] = request_input(i, 4, reply=frame(code, good))
            cases[name + "-led-neg"] = request_input(i, -1, reply=frame(code, good))
            cases[name + "-led-min"] = request_input(i, "min", reply=frame(code, good))
    base = len(READS)
    limits = {0x0102: 100, 0x0202: 5000, 0x0301: 5000, 0x0302: 5000, 0x0402: 5000,
              0x0403: 5000, 0x0404: 5000, 0x0405: 100}
    for j, (code, _) in enumerate(WRITES):
        sel = base + j
        name = "write-%04x" % code
        cases[name] = request_input(sel, 1, 1)
        cases[name + "-send-fails"] = request_input(sel, 1, 1, flags=1)
        if code in limits:
            cases[name + "-max"] = request_input(sel, 3, limits[code])
            cases[name + "-over"] = request_input(sel, 3, limits[code] + 1)
            cases[name + "-ffff"] = request_input(sel, 0, 0xFFFF)
        if code in (0x0001, 0x0101, 0x0102, 0x0302):
            cases[name + "-index-4"] = request_input(sel, 4, 1)
            cases[name + "-index-neg"] = request_input(sel, -2, 1)
            cases[name + "-index-max"] = request_input(sel, "max", 1)
    # Eight unrelated frames fill the queue before the reply.
    code, n, per = READS[2]
    cases["read-8002-queue-full"] = request_input(
        2, 0, reply=b"".join(frame(0x0100 + k) for k in range(8)) + frame(code, b"\x01"))
    return cases


def scpi_cases():
    """Flags byte (token, disconnected, failing writes, temperatures unknown), then lines."""
    lines = [
        b"*IDN?", b"*CLS", b"*OPC?", b"*TRG", b"SYST:ERR?", b"SYSTem:ERRor:NEXT?", b"SYST:VERS?",
        b'SYST:PASS "t"', b"SYSTem:PASSword:CENable 't'", b"OUTP ON", b"OUTPut:STATe?", b"SOUR:MODE EDGE",
        b"SOUR:MODE?", b"SOUR1:STAT ON", b"SOUR2:POW 50", b"SOUR3:POW?", b"SOUR4:PULS:WIDT 5000",
        b"SOUR1:TEMP?", b"SOUR2:TEMP:ALAR?", b"TRIG:TTL:OUTP 1", b"TRIG:TTL:DEL 10", b"TRIG:EDGE:DEL?",
        b"TRIG:INT:OUTP OFF", b"TRIG:INT:DEL 1", b"TRIG:INT:HIGH 2", b"TRIG:INT:LOW 3", b"TRIG:INT:COUN 100",
        b"TRIG:INT:IMM", b"SOUR1:POW 5;POW?;:SOUR2:STAT ON;STAT?", b"SOUR5:POW 1", b"SOUR1:POW 1e400",
        b'SOUR1:POW "5', b"SOUR1::POW", b"FOO;;BAR?", b"SOUR1:POW 1,2",
        b"*RST", b"*TST?", b"*WAI", b"*OPT?", b"*ESE 61", b"*ESE?", b"*ESR?", b"*SRE 32", b"*SRE?", b"*STB?",
        b"*OPC", b"SYST:ERR:COUN?", b"SYST:ERR:ALL?", b"STAT:PRES", b"STAT:OPER?", b"STAT:OPER:COND?",
        b"STAT:OPER:ENAB 768", b"STAT:QUES:EVEN?", b"STAT:QUES:COND?", b"STAT:QUES:ENAB 32767",
        b"STAT:QUES:NTR 16;PTR 0", b"STAT:QUES:TEMP?", b"STAT:QUES:TEMP:COND?", b"STAT:QUES:TEMP:ENAB 15;ENAB?",
        b"SOUR1:POW MAX", b"SOUR1:POW? MIN", b"SOUR2:POW 50 PCT", b"SOUR2:POW 5 MS", b"SOUR1:PULS:WIDT 1.5 S",
        b"TRIG:TTL:DEL 20MS", b"TRIG:INT:COUN 5 S", b"TRIG:INT:HIGH? DEF", b"*ESE 256", b"STAT:QUES:ENAB 32768",
    ]
    cases = {}
    for flags in range(16):
        cases["all-flags-%02d" % flags] = bytes([flags]) + b"\n".join(lines)
    cases["long-line"] = b"\x00" + b"A" * 1100 + b"\n*OPC?"
    cases["overflow"] = b"\x00" + b"FOO\n" * 20 + b"SYST:ERR?"
    # Lines with an error part-way: nothing after it runs, the line answers nothing.
    cases["compound-errors"] = b"\x00" + b"\n".join([
        b"SOUR1:POW?;SOUR7:POW?;SOUR2:POW?", b"SOUR1:POW 11;BOGUS;SOUR2:POW 70",
        b"SYST:ERR?;SYST:ERR?;SOUR1:POW?", b"SYST:ERR?;*CLS;SOUR1:TEMP?", b"*TRG;*TRG;*OPC?",
        b"SYST:PASS 't';SOUR1:POW 5;SYST:PASS 'x';SOUR2:POW 6"])
    # The status model: errors, reads that a failed line gives back, *CLS.
    cases["status-sequences"] = b"\x00" + b"\n".join([
        b"*RST; *CLS; *ESE 61; *SRE 32", b"SOUR3:POW 150", b"*STB?", b"*ESR?", b"*ESR?;SOUR1:TEMP? MAX",
        b"FOO", b"*ESR?;SYST:ERR:ALL?;*TRG", b"*CLS;*STB?", b"SOUR:MODE TTL;:TRIG:TTL:OUTP ON;:STAT:OPER:COND?",
        b"*TST?;*TST?;SOUR1:POW 5", b"STAT:QUES:TEMP?;:STAT:QUES?;:*STB?"])
    cases["status-failing-device"] = b"\x04" + cases["status-sequences"][1:]
    cases["status-locked"] = b"\x01" + cases["status-sequences"][1:]
    # What browsers send when a web page posts to the SCPI port; the server
    # closes the connection at the first HTTP-looking line.
    body = b"\nOUTP ON;:SOUR1:STAT ON;POW 100\n"
    http = {
        "http-no-cors-post": b"POST / HTTP/1.1\r\nHost: 127.0.0.1:5025\r\nConnection: keep-alive\r\n"
                             b"Content-Length: %d\r\nOrigin: http://evil.example\r\n"
                             b"Content-Type: text/plain;charset=UTF-8\r\nSec-Fetch-Mode: no-cors\r\n\r\n" % len(body) + body,
        "http-get": b"GET /?x=1 HTTP/1.1\r\nHost: localhost:5025\r\nAccept: */*\r\n\r\n",
        "http-options-preflight": b"OPTIONS / HTTP/1.1\r\nHost: 127.0.0.1:5025\r\n"
                                  b"Access-Control-Request-Method: PUT\r\n\r\n",
        "http-long-target": b"GET /" + b"a" * 1100 + b" HTTP/1.1\r\n\r\n" + body,
        "http-custom-method": b"OUTP / HTTP/1.1\r\nHost: x\r\n\r\n" + body,
        "http2-preface": b"PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n" + body,
        "http-header-after-scpi": b"*IDN?;SOUR1:POW?\nOrigin: http://evil.example\n" + body,
        "http-lookalikes": b"SOUR1:\nSYST:PASS \"Host: x\"\nSYST:PASS \"GET / HTTP/1.1\"\n Host: x\nOUTP HTTP/1.1\n*IDN?",
    }
    for name, data in http.items():
        cases[name] = b"\x00" + data
        cases[name + "-locked"] = b"\x01" + data
    return cases


def http_cases():
    """Flags byte (token, disconnected, any address, temperatures unknown), piece size, then the bytes."""
    host = b"Host: 127.0.0.1:8080\r\n"
    def req(head, body=b"", extra=b""):
        cl = b"Content-Length: %d\r\n" % len(body) if body else b""
        return head + b" HTTP/1.1\r\n" + host + extra + cl + b"\r\n" + body
    patch = b'{"enabled":true,"mode":"edge","channels":[{"name":"led480","brightness":5,"enabled":true}],' \
            b'"ttl":{"delay_ms":10},"edge":{"delay_ms":1},"internal":{"output_enabled":false,"count":3}}'
    requests = [
        req(b"GET /api/v1/state"), req(b"HEAD /api/v1/state"), req(b"GET /metrics"), req(b"GET /"),
        req(b"GET /app.js"), req(b"GET /../etc/passwd"), req(b"GET ?x"), req(b"GET *"),
        req(b"GET http://127.0.0.1:8080/api/v1/state"), req(b"OPTIONS /api/v1/state"),
        req(b"PATCH /api/v1/state", patch, b"Authorization: bearer t\r\nContent-Type: application/json\r\n"),
        req(b"PATCH /api/v1/state", b'{"enabled":"x","enabled":true}', b"Authorization: Bearer t\r\n"),
        req(b"PATCH /api/v1/state", b'{"channels":[{"index":0,"name":"LED480"}]}', b"Authorization: Bearer t\r\n"),
        req(b"POST /api/v1/trigger", b"", b"Authorization: Bearer t\r\nOrigin: http://127.0.0.1:8080\r\n"),
        req(b"POST /api/v1/trigger", b"", b"Origin: http://evil.example:8080\r\n"),
        req(b"GET /api/v1/events"), req(b"GET /api/v1/history?seconds=5"), req(b"GET /api/v1/history?seconds=0"),
        req(b"GET /api/v1/history?x=1&seconds=600"), req(b"GET /favicon.svg"),
        b"GET / HTTP/1.1\r\nHost: evil.example:8080\r\n\r\n",
        b"GET / HTTP/1.1\r\nHost: a\r\nHost: b\r\n\r\n",
        b"GET / HTTP/1.1\r\n\r\nGET / HTTP/1.0\r\n\r\n",
        b"PATCH /api/v1/state HTTP/1.1\r\n" + host + b"Transfer-Encoding: chunked\r\n\r\n"
        b"10;a=b\r\n{\"enabled\":false}\r\n0\r\nX-T: 1\r\n\r\n",
        b"PATCH /api/v1/state HTTP/1.1\r\n" + host + b"Transfer-Encoding: gzip, chunked\r\n\r\n",
        b"PATCH /api/v1/state HTTP/1.1\r\n" + host + b"Transfer-Encoding: chunked\r\n\r\n1;a=" + b"x" * 20000,
        b"PATCH /api/v1/state HTTP/1.1\r\n" + host + b"Content-Length: 3\r\nTransfer-Encoding: chunked\r\n\r\n",
    ]
    cases = {}
    for i, r in enumerate(requests):
        cases["request-%02d" % i] = bytes([i % 16, i % 3]) + r
    cases["keep-alive-all"] = b"\x01\x00" + b"".join(requests[:16])
    return cases


def write(target, cases):
    d = os.path.join(HERE, "corpus", target)
    os.makedirs(d, exist_ok=True)
    for old in os.listdir(d):
        if old.startswith("seed-"):
            os.remove(os.path.join(d, old))
    for name, data in sorted(cases.items()):
        with open(os.path.join(d, "seed-" + name), "wb") as fh:
            fh.write(data)
    print("%s: %d seeds" % (target, len(cases)))


def main():
    write("fuzz_cmdpkg", codec_cases())
    write("fuzz_request", request_cases())
    write("fuzz_scpi", scpi_cases())
    write("fuzz_http", http_cases())
    return 0


if __name__ == "__main__":
    sys.exit(main())
