// Soak: many mixed requests from the library to the virtual light source
// with faults on (by default every 7th answer dropped and a little line
// noise). Every read is checked against a model of what was written. Prints
// throughput, round-trip times, the resends and what caused them, and
// resident memory before and after.
//
//   sim_soak [--requests N] [--drop-every N] [--noise BYTES_PER_SEC]
//            [--unsolicited FRAMES_PER_SEC] [--late MS] [--seed N]
//
// Exit status 0 when the soak's invariants hold: no failed request, no wrong
// value, the device's state as written, memory flat. Resends are counted, not
// judged: on a loaded machine an answer may come after the library's wait for
// one send, and sending again is then right.
// The default noise seed (1) gives a byte stream with no 55 AA pair in its
// first 20000 bytes, so noise alone never opens a frame in the parser.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <unistd.h>

#include "DALU_LightKit.h"
#include "VirtualLightSource.h"

namespace {

using Clock = std::chrono::steady_clock;

long residentKb() {
    FILE *f = std::fopen("/proc/self/statm", "r");
    if (f == nullptr) return -1;
    long size = 0, resident = 0;
    const int n = std::fscanf(f, "%ld %ld", &size, &resident);
    std::fclose(f);
    return n == 2 ? resident * (sysconf(_SC_PAGESIZE) / 1024) : -1;
}

struct Rng {
    uint32_t s;
    uint32_t next() {
        s ^= s << 13;
        s ^= s >> 17;
        s ^= s << 5;
        return s;
    }
    uint32_t below(uint32_t n) { return next() % n; }
};

struct Tally {
    long writes = 0, reads = 0, writeFailures = 0, readFailures = 0, mismatches = 0;
    std::vector<double> readUs;  // round trips of reads
};

// No request allocates: after the warm-up, resident memory may move by a
// page or two of the allocator's, not by anything per request. A sanitizer's
// runtime keeps memory of its own (shadow, quarantine): --memory-slack.
constexpr long kFlatMemoryKb = 256;

const float kFixedTemps[kSimChannels] = {25.0f, 30.5f, -2.0f, 70.0f};
const bool kFixedOver[kSimChannels] = {false, false, false, true};

// One request of the 32 commands, chosen by k; writes update the model,
// reads are compared with it.
void request(void *h, int k, Rng &rng, SimDeviceState &m, Tally &t, uint32_t model, uint32_t version) {
    const int ch = static_cast<int>(rng.below(kSimChannels));
    const unsigned short ms = static_cast<unsigned short>(rng.below(5001));
    const unsigned char flag = static_cast<unsigned char>(rng.below(3));
    int r = 0;
    bool ok = true;
    if (k < 14) {
        ++t.writes;
        switch (k) {
            case 0: { const int mode = static_cast<int>(rng.below(5)); r = DALUSDK_SetWorkMode(h, mode); m.workMode = static_cast<uint8_t>(mode); break; }
            case 1: r = DALUSDK_SetGlobalEnable(h, flag); m.globalEnable = flag; break;
            case 2: r = DALUSDK_SetLedChecked(h, ch, flag); m.ledChecked[ch] = flag; break;
            case 3: { const unsigned short v = static_cast<unsigned short>(rng.below(101)); r = DALUSDK_SetLedBrightness(h, ch, v); m.ledBrightness[ch] = v; break; }
            case 4: r = DALUSDK_ModeTtl_SetOutputEnable(h, flag); m.ttlOutputEnable = flag; break;
            case 5: r = DALUSDK_ModeTtl_SetDelayTime(h, ms); m.ttlDelayMs = ms; break;
            case 6: r = DALUSDK_ModeEdge_SetDelayTime(h, ms); m.edgeDelayMs = ms; break;
            case 7: r = DALUSDK_ModeEdge_SetPulseTime(h, ch, ms); m.edgePulseMs[ch] = ms; break;
            case 8: r = DALUSDK_ModeTrigger_SetOutputEnable(h, flag); m.trigOutputEnable = flag; break;
            case 9: r = DALUSDK_ModeTrigger_SetDelayTime(h, ms); m.trigDelayMs = ms; break;
            case 10: r = DALUSDK_ModeTrigger_SetHighTime(h, ms); m.trigHighMs = ms; break;
            case 11: r = DALUSDK_ModeTrigger_SetLowTime(h, ms); m.trigLowMs = ms; break;
            case 12: { const unsigned char n = static_cast<unsigned char>(rng.below(101)); r = DALUSDK_ModeTrigger_SetPulseNum(h, n); m.trigPulseNum = n; break; }
            default: r = DALUSDK_ModeTrigger_OnTrigger(h); ++m.triggerCount; break;
        }
        if (r != 0) ++t.writeFailures;
        return;
    }

    ++t.reads;
    int mode = -1;
    unsigned char u8 = 0xEE, status = 0xEE;
    unsigned short u16 = 0xEEEE;
    unsigned int u32 = 0;
    float temp = -999.0f;
    const auto start = Clock::now();
    switch (k) {
        case 14: r = DALUSDK_GetWorkMode(h, &mode); ok = mode == m.workMode; break;
        case 15: r = DALUSDK_GetGlobalEnable(h, &u8); ok = u8 == (m.globalEnable != 0); break;
        case 16: r = DALUSDK_GetLedChecked(h, ch, &u8); ok = u8 == (m.ledChecked[ch] != 0); break;
        case 17: r = DALUSDK_GetLedBrightness(h, ch, &u16); ok = u16 == m.ledBrightness[ch]; break;
        case 18: r = DALUSDK_ModeTtl_GetOutputEnable(h, &u8); ok = u8 == (m.ttlOutputEnable != 0); break;
        case 19: r = DALUSDK_ModeTtl_GetDelayTime(h, &u16); ok = u16 == m.ttlDelayMs; break;
        case 20: r = DALUSDK_ModeEdge_GetDelayTime(h, &u16); ok = u16 == m.edgeDelayMs; break;
        case 21: r = DALUSDK_ModeEdge_GetPulseTime(h, ch, &u16); ok = u16 == m.edgePulseMs[ch]; break;
        case 22: r = DALUSDK_ModeTrigger_GetOutputEnable(h, &u8); ok = u8 == (m.trigOutputEnable != 0); break;
        case 23: r = DALUSDK_ModeTrigger_GetDelayTime(h, &u16); ok = u16 == m.trigDelayMs; break;
        case 24: r = DALUSDK_ModeTrigger_GetHighTime(h, &u16); ok = u16 == m.trigHighMs; break;
        case 25: r = DALUSDK_ModeTrigger_GetLowTime(h, &u16); ok = u16 == m.trigLowMs; break;
        case 26: r = DALUSDK_ModeTrigger_GetPulseNum(h, &u8); ok = u8 == m.trigPulseNum; break;
        case 27: r = DALUSDK_GetLedTempStatus(h, ch, &temp, &status); ok = temp == kFixedTemps[ch] && status == kFixedOver[ch]; break;
        case 28: r = DALUSDK_GetLedTempValue(h, ch, &temp); ok = temp == kFixedTemps[ch]; break;
        case 29: r = DALUSDK_GetLedTempOver(h, ch, &status); ok = status == kFixedOver[ch]; break;
        case 30: r = DALUSDK_GetDeviceSofewareVersion(h, &u32); ok = u32 == version; break;
        default: r = DALUSDK_GetDeviceModel(h, &u32); ok = u32 == model; break;
    }
    t.readUs.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    if (r != 0) {
        ++t.readFailures;
        std::printf("read %d failed\n", k);
    } else if (!ok) {
        ++t.mismatches;
        std::printf("read %d gave a value that was not written\n", k);
    }
}

double percentile(std::vector<double> v, double p) {
    if (v.empty()) return 0.0;
    std::sort(v.begin(), v.end());
    return v[static_cast<size_t>(p * static_cast<double>(v.size() - 1))];
}

bool parseArg(int argc, char **argv, int *i, const char *name, long *out) {
    if (std::strcmp(argv[*i], name) != 0) return false;
    if (*i + 1 >= argc) {
        std::fprintf(stderr, "sim_soak: %s needs a number\n", name);
        std::exit(2);
    }
    char *end = nullptr;
    *out = std::strtol(argv[++*i], &end, 10);
    if (*end != '\0' || *out < 0) {
        std::fprintf(stderr, "sim_soak: bad value for %s\n", name);
        std::exit(2);
    }
    return true;
}

}  // namespace

int main(int argc, char **argv) {
    long requests = 10000, dropEvery = 7, noise = 20, unsolicited = 0, lateMs = 0, seed = 12345;
    long memorySlackKb = kFlatMemoryKb;
    for (int i = 1; i < argc; ++i) {
        if (parseArg(argc, argv, &i, "--requests", &requests) || parseArg(argc, argv, &i, "--drop-every", &dropEvery) ||
            parseArg(argc, argv, &i, "--noise", &noise) || parseArg(argc, argv, &i, "--unsolicited", &unsolicited) ||
            parseArg(argc, argv, &i, "--late", &lateMs) || parseArg(argc, argv, &i, "--seed", &seed) ||
            parseArg(argc, argv, &i, "--memory-slack", &memorySlackKb)) {
            continue;
        }
        std::fprintf(stderr, "usage: sim_soak [--requests N] [--drop-every N] [--noise B/s] [--unsolicited F/s] "
                             "[--late MS] [--seed N] [--memory-slack KB]\n");
        return 2;
    }

    SimOptions o;
    o.fixedTemps = true;
    o.faults.dropEvery = static_cast<int>(dropEvery);
    o.faults.noiseBytesPerSec = static_cast<int>(noise);
    o.faults.unsolicitedPerSec = static_cast<int>(unsolicited);
    o.faults.lateMs = static_cast<int>(lateMs);
    VirtualLightSource sim(o);
    for (int ch = 0; ch < kSimChannels; ++ch) sim.setFixedTemperature(ch, kFixedTemps[ch], kFixedOver[ch]);
    if (!sim.start()) {
        std::fprintf(stderr, "sim_soak: %s\n", sim.errorText().c_str());
        return 1;
    }
    void *h = DALUSDK_CreateHandle(sim.portPath().c_str());
    if (h == nullptr) return 1;

    std::printf("soak: %ld requests, drop every %ld answer(s), noise %ld B/s, unsolicited %ld frames/s, "
                "answers %ld ms late\n",
                requests, dropEvery, noise, unsolicited, lateMs);
    Rng rng{static_cast<uint32_t>(seed) | 1u};
    SimDeviceState model = sim.state();
    Tally t;
    // Touched up front, so that the resident figures show the library and
    // the source, not this vector filling up.
    t.readUs.resize(static_cast<size_t>(requests));
    t.readUs.clear();
    const long warmup = std::min(200L, requests / 10);
    long rssBefore = residentKb();
    const auto start = Clock::now();
    for (long i = 0; i < requests; ++i) {
        if (i == warmup) rssBefore = residentKb();  // after the first allocations of stdio and the vectors
        request(h, static_cast<int>(rng.below(32)), rng, model, t, o.model, o.version);
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    const long rssAfter = residentKb();
    DALUSDK_DestroyHandle(h);
    sim.stop();

    const SimCounters c = sim.counters();
    const long extraSends = static_cast<long>(c.framesReceived) - requests;
    // Each read took one answer; the answers beyond those came after the
    // library had sent again.
    const long slowAnswers = static_cast<long>(c.answersSent) - (t.reads - t.readFailures);
    const long growthKb = rssAfter - rssBefore;
    const SimDeviceState last = sim.state();
    const bool stateMatches = std::memcmp(&last, &model, sizeof model) == 0;

    std::printf("writes %ld, reads %ld in %.1f s (%.0f requests/s)\n", t.writes, t.reads, seconds,
                static_cast<double>(requests) / seconds);
    std::printf("read round trip: median %.0f us, p99 %.0f us, max %.0f us\n", percentile(t.readUs, 0.5),
                percentile(t.readUs, 0.99), percentile(t.readUs, 1.0));
    std::printf("answers sent %llu, dropped %llu, noise bytes %llu, unsolicited frames %llu\n",
                static_cast<unsigned long long>(c.answersSent), static_cast<unsigned long long>(c.answersDropped),
                static_cast<unsigned long long>(c.noiseBytesSent), static_cast<unsigned long long>(c.unsolicitedSent));
    std::printf("resends %ld: %llu after a dropped answer, %ld after an answer slower than one send's wait, "
                "%ld after an answer not seen (lost on the line, or still on its way at the end)\n",
                extraSends, static_cast<unsigned long long>(c.answersDropped), slowAnswers,
                extraSends - static_cast<long>(c.answersDropped) - slowAnswers);
    std::printf("resident memory: %ld kB after %ld warm-up requests, %ld kB at the end (%+ld kB)\n", rssBefore, warmup,
                rssAfter, rssAfter - rssBefore);
    std::printf("failures: writes %ld, reads %ld, wrong values %ld, state %s, memory %s\n", t.writeFailures,
                t.readFailures, t.mismatches, stateMatches ? "matches" : "DIFFERS",
                growthKb <= memorySlackKb ? "flat" : "GREW");

    const bool ok = t.writeFailures == 0 && t.readFailures == 0 && t.mismatches == 0 && stateMatches &&
                    growthKb <= memorySlackKb;
    std::printf("%s\n", ok ? "soak: ok" : "soak: FAILED");
    return ok ? 0 : 1;
}
