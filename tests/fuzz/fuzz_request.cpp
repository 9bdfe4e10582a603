// Drives the request engine in caller-driven mode with fuzzer-chosen replies
// over every read command (and every write), and checks that a call returns
// 0 or -1, sends the exact request frame, and writes its outputs only as the
// reply allows: never on a reply of the wrong length, never past a bad echo
// for the values that come after it.
//
// Input: sel, led, value high, value low, flags, then the reply bytes.
//   sel % 32 picks the command (18 reads, then 14 writes).
//   led maps to -2..5, or INT_MIN (0xFE) / INT_MAX (0xFF); writes that take a
//   mode use the same mapping.
//   flags bit 0: the send callback fails; bit 1: destroy with
//   DALUSDK_DestroyHandle instead of DALUSDK_DestroyHandle2.
// The callback answers the first send with the reply bytes followed by a
// flush and a zero-length frame with the expected code, so a reply without
// the code ends at once with -1 instead of waiting out the engine's time-out.
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

#include "DALU_LightKit.h"
#include "frames.h"
#include "fuzz_quiet.h"
#include "ref_parser.h"

namespace {

[[noreturn]] void fail(const char *what, unsigned code) {
    std::fprintf(stderr, "fuzz_request: invariant broken for cmd 0x%04x: %s\n", code, what);
    std::abort();
}

struct Out {
    unsigned u32;
    unsigned char b1;
    unsigned char b2;
    unsigned short u16;
    float f;
    int i;
};

void presetSentinel(Out *o) {
    std::memset(o, 0xA5, sizeof *o);
}

bool sameOut(const Out &a, const Out &b) {
    return std::memcmp(&a.u32, &b.u32, sizeof a.u32) == 0 && a.b1 == b.b1 && a.b2 == b.b2 &&
           a.u16 == b.u16 && std::memcmp(&a.f, &b.f, sizeof a.f) == 0 && a.i == b.i;
}

unsigned be16(const uint8_t *d) {
    return static_cast<unsigned>(d[0]) << 8 | d[1];
}

float tempOf(const uint8_t *d) {
    return static_cast<float>(static_cast<int16_t>(be16(d))) / 100.0f;
}

struct ReadCase {
    uint16_t code;
    uint8_t len;  // answer payload length
    bool perChannel;
    int (*call)(void *h, int led, Out *o);
    // stage 0: outputs stored before the echo test; stage 1: after it.
    void (*decode)(const uint8_t *d, Out *o, int stage);
};

const ReadCase kReads[] = {
    {0xFF00, 4, false, [](void *h, int, Out *o) { return DALUSDK_GetDeviceModel(h, &o->u32); },
     [](const uint8_t *d, Out *o, int s) {
         if (s == 0) o->u32 = (unsigned)d[0] << 24 | (unsigned)d[1] << 16 | (unsigned)d[2] << 8 | d[3];
     }},
    {0xFE00, 4, false, [](void *h, int, Out *o) { return DALUSDK_GetDeviceSofewareVersion(h, &o->u32); },
     [](const uint8_t *d, Out *o, int s) {
         if (s == 0) o->u32 = (unsigned)d[0] << 24 | (unsigned)d[1] << 16 | (unsigned)d[2] << 8 | d[3];
     }},
    {0x8002, 1, false, [](void *h, int, Out *o) { return DALUSDK_GetGlobalEnable(h, &o->b1); },
     [](const uint8_t *d, Out *o, int s) {
         if (s == 0) o->b1 = d[0] != 0;
     }},
    {0x8001, 1, false, [](void *h, int, Out *o) { return DALUSDK_GetWorkMode(h, &o->i); },
     [](const uint8_t *d, Out *o, int s) {
         if (s == 0) o->i = d[0];
     }},
    {0x8101, 2, true, [](void *h, int led, Out *o) { return DALUSDK_GetLedChecked(h, led, &o->b1); },
     [](const uint8_t *d, Out *o, int s) {
         if (s == 0) o->b1 = d[1] != 0;
     }},
    {0x8102, 3, true, [](void *h, int led, Out *o) { return DALUSDK_GetLedBrightness(h, led, &o->u16); },
     [](const uint8_t *d, Out *o, int s) {
         if (s == 0) o->u16 = static_cast<unsigned short>(be16(d + 1));
     }},
    {0x9000, 4, true, [](void *h, int led, Out *o) { return DALUSDK_GetLedTempStatus(h, led, &o->f, &o->b2); },
     [](const uint8_t *d, Out *o, int s) {
         if (s == 0) o->b2 = d[3] != 0;
         else o->f = tempOf(d + 1);
     }},
    {0x9001, 3, true, [](void *h, int led, Out *o) { return DALUSDK_GetLedTempValue(h, led, &o->f); },
     [](const uint8_t *d, Out *o, int s) {
         if (s == 1) o->f = tempOf(d + 1);
     }},
    {0x9002, 2, true, [](void *h, int led, Out *o) { return DALUSDK_GetLedTempOver(h, led, &o->b2); },
     [](const uint8_t *d, Out *o, int s) {
         if (s == 0) o->b2 = d[1] != 0;
     }},
    {0x8201, 1, false, [](void *h, int, Out *o) { return DALUSDK_ModeTtl_GetOutputEnable(h, &o->b1); },
     [](const uint8_t *d, Out *o, int s) {
         if (s == 0) o->b1 = d[0] != 0;
     }},
    {0x8202, 2, false, [](void *h, int, Out *o) { return DALUSDK_ModeTtl_GetDelayTime(h, &o->u16); },
     [](const uint8_t *d, Out *o, int s) {
         if (s == 0) o->u16 = static_cast<unsigned short>(be16(d));
     }},
    {0x8301, 2, false, [](void *h, int, Out *o) { return DALUSDK_ModeEdge_GetDelayTime(h, &o->u16); },
     [](const uint8_t *d, Out *o, int s) {
         if (s == 0) o->u16 = static_cast<unsigned short>(be16(d));
     }},
    {0x8302, 3, true, [](void *h, int led, Out *o) { return DALUSDK_ModeEdge_GetPulseTime(h, led, &o->u16); },
     [](const uint8_t *d, Out *o, int s) {
         if (s == 0) o->u16 = static_cast<unsigned short>(be16(d + 1));
     }},
    {0x8401, 1, false, [](void *h, int, Out *o) { return DALUSDK_ModeTrigger_GetOutputEnable(h, &o->b1); },
     [](const uint8_t *d, Out *o, int s) {
         if (s == 0) o->b1 = d[0] != 0;
     }},
    {0x8402, 2, false, [](void *h, int, Out *o) { return DALUSDK_ModeTrigger_GetDelayTime(h, &o->u16); },
     [](const uint8_t *d, Out *o, int s) {
         if (s == 0) o->u16 = static_cast<unsigned short>(be16(d));
     }},
    {0x8403, 2, false, [](void *h, int, Out *o) { return DALUSDK_ModeTrigger_GetHighTime(h, &o->u16); },
     [](const uint8_t *d, Out *o, int s) {
         if (s == 0) o->u16 = static_cast<unsigned short>(be16(d));
     }},
    {0x8404, 2, false, [](void *h, int, Out *o) { return DALUSDK_ModeTrigger_GetLowTime(h, &o->u16); },
     [](const uint8_t *d, Out *o, int s) {
         if (s == 0) o->u16 = static_cast<unsigned short>(be16(d));
     }},
    {0x8405, 1, false, [](void *h, int, Out *o) { return DALUSDK_ModeTrigger_GetPulseNum(h, &o->b1); },
     [](const uint8_t *d, Out *o, int s) {
         if (s == 0) o->b1 = d[0];
     }},
};
constexpr int kReadCount = sizeof kReads / sizeof kReads[0];

enum class Arg { None, Byte, Mode, LedByte, LedValue, Value };

struct WriteCase {
    uint16_t code;
    Arg arg;
    unsigned max;  // highest accepted value, for Arg::Value and Arg::LedValue
    int (*call)(void *h, int led, unsigned v);
};

const WriteCase kWrites[] = {
    {0x0001, Arg::Mode, 4, [](void *h, int m, unsigned) { return DALUSDK_SetWorkMode(h, m); }},
    {0x0002, Arg::Byte, 255, [](void *h, int, unsigned v) { return DALUSDK_SetGlobalEnable(h, (unsigned char)v); }},
    {0x0101, Arg::LedByte, 255,
     [](void *h, int led, unsigned v) { return DALUSDK_SetLedChecked(h, led, (unsigned char)v); }},
    {0x0102, Arg::LedValue, 100,
     [](void *h, int led, unsigned v) { return DALUSDK_SetLedBrightness(h, led, (unsigned short)v); }},
    {0x0201, Arg::Byte, 255,
     [](void *h, int, unsigned v) { return DALUSDK_ModeTtl_SetOutputEnable(h, (unsigned char)v); }},
    {0x0202, Arg::Value, 5000,
     [](void *h, int, unsigned v) { return DALUSDK_ModeTtl_SetDelayTime(h, (unsigned short)v); }},
    {0x0301, Arg::Value, 5000,
     [](void *h, int, unsigned v) { return DALUSDK_ModeEdge_SetDelayTime(h, (unsigned short)v); }},
    {0x0302, Arg::LedValue, 5000,
     [](void *h, int led, unsigned v) { return DALUSDK_ModeEdge_SetPulseTime(h, led, (unsigned short)v); }},
    {0x0401, Arg::Byte, 255,
     [](void *h, int, unsigned v) { return DALUSDK_ModeTrigger_SetOutputEnable(h, (unsigned char)v); }},
    {0x0402, Arg::Value, 5000,
     [](void *h, int, unsigned v) { return DALUSDK_ModeTrigger_SetDelayTime(h, (unsigned short)v); }},
    {0x0403, Arg::Value, 5000,
     [](void *h, int, unsigned v) { return DALUSDK_ModeTrigger_SetHighTime(h, (unsigned short)v); }},
    {0x0404, Arg::Value, 5000,
     [](void *h, int, unsigned v) { return DALUSDK_ModeTrigger_SetLowTime(h, (unsigned short)v); }},
    {0x0405, Arg::Value, 100,
     [](void *h, int, unsigned v) { return DALUSDK_ModeTrigger_SetPulseNum(h, (unsigned char)v); }},
    {0x0406, Arg::None, 0, [](void *h, int, unsigned) { return DALUSDK_ModeTrigger_OnTrigger(h); }},
};
constexpr int kWriteCount = sizeof kWrites / sizeof kWrites[0];

// Enough zeros to carry the parser out of any half frame (a 249-byte payload,
// its checksum and end byte) without completing one: 0x00 is never an end byte.
constexpr size_t kFlushBytes = 260;

struct Line {
    void *handle = nullptr;
    const uint8_t *reply = nullptr;
    size_t replySize = 0;
    uint16_t code = 0;
    bool failSend = false;
    int sends = 0;
    std::vector<std::vector<uint8_t>> frames;
    std::vector<uint8_t> tail;  // flush + zero-length frame with the expected code
};

int sendCallback(const unsigned char *bytes, int count, void *userData) {
    Line *line = static_cast<Line *>(userData);
    line->sends += 1;
    line->frames.emplace_back(bytes, bytes + count);
    if (line->failSend) return -7;
    if (line->sends == 1 && line->replySize > 0 &&
        DALUSDK_PushRecvBytes(line->handle, line->reply, static_cast<int>(line->replySize)) != 0)
        fail("DALUSDK_PushRecvBytes refused the reply", line->code);
    if (DALUSDK_PushRecvBytes(line->handle, line->tail.data(), static_cast<int>(line->tail.size())) != 0)
        fail("DALUSDK_PushRecvBytes refused the tail", line->code);
    return 0;
}

int ledOf(uint8_t b) {
    if (b == 0xFE) return INT_MIN;
    if (b == 0xFF) return INT_MAX;
    return static_cast<int>(b % 8) - 2;
}

void runRead(const ReadCase &rc, int led, Line &line) {
    Out out, want;
    presetSentinel(&out);
    presetSentinel(&want);
    const int rv = rc.call(line.handle, led, &out);
    if (rv != 0 && rv != -1) fail("result neither 0 nor -1", rc.code);

    if (rc.perChannel && (led < 0 || led >= 4)) {
        if (rv != -1 || line.sends != 0 || !sameOut(out, want)) fail("bad ledId not refused before sending", rc.code);
        return;
    }
    std::vector<uint8_t> payload;
    if (rc.perChannel) payload.push_back(static_cast<uint8_t>(led));
    const std::vector<uint8_t> request = frameOf(rc.code, payload);
    if (line.sends < 1) fail("nothing sent", rc.code);
    for (const auto &f : line.frames)
        if (f != request) fail("sent frame differs from the request", rc.code);

    if (line.failSend) {
        if (rv != -1 || line.sends != 1 || !sameOut(out, want)) fail("failed send not ended at once", rc.code);
        return;
    }

    // What the engine must have taken: the first queued record with the code,
    // among the first eight records the first send's bytes completed.
    RefParser ref;
    for (size_t k = 0; k < line.replySize; ++k) ref.feed(line.reply[k]);
    for (uint8_t b : line.tail) ref.feed(b);
    const CmdPkg *reply = nullptr;
    for (const CmdPkg &p : ref.queue()) {
        if (p.cmd == rc.code) {
            reply = &p;
            break;
        }
    }
    if (reply == nullptr || reply->len != rc.len) {
        // No reply, or one of the wrong length: nothing may be written.
        if (rv != -1 || !sameOut(out, want)) fail("output written without a reply of the right length", rc.code);
        return;
    }
    rc.decode(reply->data, &want, 0);
    const bool echoOk = !rc.perChannel || reply->data[0] == static_cast<uint8_t>(led);
    if (echoOk) rc.decode(reply->data, &want, 1);
    if (rv != (echoOk ? 0 : -1)) fail(echoOk ? "good reply not accepted" : "bad echo accepted", rc.code);
    if (!sameOut(out, want)) fail("outputs differ from the reply's decoding", rc.code);
}

void runWrite(const WriteCase &wc, int led, unsigned value, Line &line) {
    if (wc.max <= 255) value &= 0xFF;  // the export takes one byte
    bool refused = false;
    std::vector<uint8_t> payload;
    switch (wc.arg) {
    case Arg::None:
        break;
    case Arg::Byte:
        payload.push_back(static_cast<uint8_t>(value));
        break;
    case Arg::Mode:
        refused = led < 0 || led > static_cast<int>(wc.max);
        payload.push_back(static_cast<uint8_t>(led));
        break;
    case Arg::LedByte:
        refused = led < 0 || led >= 4;
        payload = {static_cast<uint8_t>(led), static_cast<uint8_t>(value)};
        break;
    case Arg::LedValue:
        refused = led < 0 || led >= 4 || value > wc.max;
        payload = {static_cast<uint8_t>(led), static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
        break;
    case Arg::Value:
        refused = value > wc.max;
        if (wc.max > 255) payload = {static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
        else payload = {static_cast<uint8_t>(value)};
        break;
    }
    const int rv = wc.call(line.handle, led, value);
    if (refused) {
        if (rv != -1 || line.sends != 0) fail("bad argument not refused before sending", wc.code);
        return;
    }
    if (line.sends != 1) fail("a write must send exactly once", wc.code);
    if (line.frames[0] != frameOf(wc.code, payload)) fail("sent frame differs from the request", wc.code);
    if (rv != (line.failSend ? -1 : 0)) fail("write result does not follow the send result", wc.code);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    silenceStdout();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    uint8_t head[5] = {0, 0, 0, 0, 0};
    const size_t headSize = size < sizeof head ? size : sizeof head;
    std::memcpy(head, data, headSize);
    const int sel = head[0] % (kReadCount + kWriteCount);
    const int led = ledOf(head[1]);
    const unsigned value = static_cast<unsigned>(head[2]) << 8 | head[3];
    const bool failSend = (head[4] & 1) != 0;
    const bool destroyAny = (head[4] & 2) != 0;

    Line line;
    line.reply = data + headSize;
    line.replySize = size - headSize;
    line.failSend = failSend;
    line.code = sel < kReadCount ? kReads[sel].code : kWrites[sel - kReadCount].code;
    line.tail.assign(kFlushBytes, 0x00);
    const std::vector<uint8_t> end = frameOf(line.code, {});
    line.tail.insert(line.tail.end(), end.begin(), end.end());

    line.handle = DALUSDK_CreateHandle2(sendCallback, &line);
    if (line.handle == nullptr) fail("DALUSDK_CreateHandle2 failed", line.code);

    if (sel < kReadCount) runRead(kReads[sel], led, line);
    else runWrite(kWrites[sel - kReadCount], led, value, line);

    const int rc = destroyAny ? DALUSDK_DestroyHandle(line.handle) : DALUSDK_DestroyHandle2(line.handle);
    if (rc != 0) fail("destroy failed", line.code);
    return 0;
}
