// The serial path against a far end that vanishes, babbles, floods or
// answers wrongly. Whatever the line does, the process stays healthy: no
// crash, no spinning receive thread, every call ends with 0 or -1 within the
// engine's time-out, a 0 always carries the device's true values, destroy
// returns, and nothing (thread, descriptor, byte) is left behind.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <future>
#include <iterator>
#include <set>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "DALU_LightKit.h"
#include "VirtualLightSource.h"
#include "hostile_util.h"
#include "stdout_capture.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint16_t kBrightness[kSimChannels] = {11, 22, 33, 44};

SimOptions quietOptions(const SimFaults &faults = {}) {
    SimOptions o;
    o.fixedTemps = true;
    o.faults = faults;
    return o;
}

void presetDevice(VirtualLightSource &sim) {
    SimDeviceState s = sim.state();
    for (int i = 0; i < kSimChannels; ++i) s.ledBrightness[i] = kBrightness[i];
    sim.setState(s);
    sim.setFixedTemperature(3, 42.5f, true);
}

std::set<std::string> newThreads(const std::set<std::string> &before) {
    const std::set<std::string> now = threadIds();
    std::set<std::string> added;
    std::set_difference(now.begin(), now.end(), before.begin(), before.end(), std::inserter(added, added.end()));
    return added;
}

// Destroy must come back on its own; a hang is reported instead of waited out.
void destroyPromptly(void *h) {
    auto done = std::async(std::launch::async, [h] { return DALUSDK_DestroyHandle(h); });
    if (done.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
        std::fprintf(stderr, "DALUSDK_DestroyHandle did not return within 10 s\n");
        std::abort();
    }
    EXPECT_EQ(done.get(), 0);
}

// Threads end a moment after their join; wait for the count to settle.
bool threadsBackTo(const std::set<std::string> &before) {
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    while (Clock::now() < deadline) {
        if (threadIds().size() <= before.size()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

enum class Outcome { Ok, Failed };

// One read of each shape: a device-wide value, two channels of the same code
// (a stray answer for one must never pass as the other's) and the combined
// temperature read. On 0 the values are exact; on -1 outputs stay as preset
// unless the device's echo was wrong (then the values stored before the echo
// test may hold the stray answer's, which callers must not use).
struct ReadRound {
    Outcome model, led1, led2, temp3;
};

ReadRound readRound(void *h, bool outputsKeptOnFailure) {
    ReadRound r{};
    unsigned model = 0xDEADBEEF;
    const int rcModel = DALUSDK_GetDeviceModel(h, &model);
    EXPECT_TRUE(rcModel == 0 || rcModel == -1);
    if (rcModel == 0) {
        EXPECT_EQ(model, kSimDefaultModel);
    } else {
        EXPECT_EQ(model, 0xDEADBEEFu);
    }
    r.model = rcModel == 0 ? Outcome::Ok : Outcome::Failed;

    for (int led : {1, 2}) {
        unsigned short value = 0xBEEF;
        const int rc = DALUSDK_GetLedBrightness(h, led, &value);
        EXPECT_TRUE(rc == 0 || rc == -1);
        if (rc == 0) {
            EXPECT_EQ(value, kBrightness[led]) << "channel " << led;
        } else if (outputsKeptOnFailure) {
            EXPECT_EQ(value, 0xBEEF) << "channel " << led;
        }
        (led == 1 ? r.led1 : r.led2) = rc == 0 ? Outcome::Ok : Outcome::Failed;
    }

    float temp = -99.0f;
    unsigned char status = 0xEE;
    const int rcTemp = DALUSDK_GetLedTempStatus(h, 3, &temp, &status);
    EXPECT_TRUE(rcTemp == 0 || rcTemp == -1);
    if (rcTemp == 0) {
        EXPECT_FLOAT_EQ(temp, 42.5f);
        EXPECT_EQ(status, 1);
    } else {
        EXPECT_EQ(temp, -99.0f);  // stored only after the echo test
        if (outputsKeptOnFailure) {
            EXPECT_EQ(status, 0xEE);
        }
    }
    r.temp3 = rcTemp == 0 ? Outcome::Ok : Outcome::Failed;
    return r;
}

// After the line calms down, reads work again (a half frame of noise may
// swallow the first answer, so allow a few tries).
bool readsRecover(void *h) {
    for (int i = 0; i < 5; ++i) {
        unsigned model = 0;
        if (DALUSDK_GetDeviceModel(h, &model) == 0 && model == kSimDefaultModel) return true;
    }
    return false;
}

TEST(HostileLine, UnpluggedMidSessionNoSpinRequestsFailDestroyReturnsReplugWorks) {
    const size_t fdsBefore = openFdCount();
    VirtualLightSource sim(quietOptions());
    ASSERT_TRUE(sim.start()) << sim.errorText();
    const std::set<std::string> threadsBefore = threadIds();

    void *h = DALUSDK_CreateHandle(sim.portPath().c_str());
    ASSERT_NE(h, nullptr);
    const std::set<std::string> receiver = newThreads(threadsBefore);
    ASSERT_EQ(receiver.size(), 1u);
    const std::string tid = *receiver.begin();
    unsigned model = 0;
    ASSERT_EQ(DALUSDK_GetDeviceModel(h, &model), 0);

    sim.stop();  // the cable is pulled

    // Health check, not a benchmark: over two seconds the receive thread of
    // a dead port must use a small share of one core. A quiet one uses about
    // none; a spinning one got about 20 % even on a loaded two-core machine.
    const long ticksPerSec = sysconf(_SC_CLK_TCK);
    const long t0 = threadCpuTicks(tid);
    const auto w0 = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(2));
    const long t1 = threadCpuTicks(tid);
    const double wall = std::chrono::duration<double>(Clock::now() - w0).count();
    ASSERT_GE(t0, 0);
    ASSERT_GE(t1, 0);
    EXPECT_LT((t1 - t0) / (wall * ticksPerSec), 0.05) << "receive thread busy on a dead port";

    // The dead line refuses the frame at once: the request ends with the
    // cause, not after a time-out, and the output is left alone.
    model = 0xDEADBEEF;
    std::string text;
    {
        StdoutCapture cap;
        EXPECT_EQ(DALUSDK_GetDeviceModel(h, &model), -1);
        EXPECT_EQ(DALUSDK_SetLedBrightness(h, 0, 50), -1);
        text = cap.text();
    }
    EXPECT_EQ(model, 0xDEADBEEFu);
    const std::string writeFailed =
        "[error] <UART_SendBytes:N> WriteFile failed with error " + std::to_string(EIO) + ".\n";
    EXPECT_EQ(withoutLineNumbers(text),
              writeFailed + "[error] <DOCMD_SendAndWaitRecvCmd:N> SendBytes, ret (-1) err!\n"
                            "[error] <DOCMD_GetDeviceModel:N> DOCMD_SendAndWaitRecvCmd, ret (-1) err!\n" +
                  writeFailed + "[error] <DOCMD_SendPackage:N> SendBytes, ret (-1) err!\n"
                                "[error] <DOCMD_SetLedBrightness:N> DOCMD_SendPackage, ret (-1) err!\n");
    destroyPromptly(h);
    EXPECT_TRUE(threadsBackTo(threadsBefore));

    // Plugged back in: a new pseudo-terminal, a new handle, business as usual.
    ASSERT_TRUE(sim.start()) << sim.errorText();
    void *h2 = DALUSDK_CreateHandle(sim.portPath().c_str());
    ASSERT_NE(h2, nullptr);
    model = 0;
    EXPECT_EQ(DALUSDK_GetDeviceModel(h2, &model), 0);
    EXPECT_EQ(model, kSimDefaultModel);
    destroyPromptly(h2);
    sim.stop();
    EXPECT_TRUE(threadsBackTo(threadsBefore));
    EXPECT_EQ(openFdCount(), fdsBefore);
}

TEST(HostileLine, PortHeldByAnotherHandleIsRefusedAndTheHolderKeepsWorking) {
    VirtualLightSource sim(quietOptions());
    ASSERT_TRUE(sim.start()) << sim.errorText();
    void *h = DALUSDK_CreateHandle(sim.portPath().c_str());
    ASSERT_NE(h, nullptr);
    std::string text;
    void *second;
    {
        StdoutCapture cap;
        second = DALUSDK_CreateHandle(sim.portPath().c_str());
        text = cap.text();
    }
    EXPECT_EQ(second, nullptr);
    if (second != nullptr) DALUSDK_DestroyHandle(second);
    EXPECT_EQ(withoutLineNumbers(text), "[error] <UART_Open:N> CreateFile (\"" + sim.portPath() +
                                            "\") failed with error " + std::to_string(EWOULDBLOCK) +
                                            ".\n[error] <DOCMD_Create:N> UART_Open failed!\n");
    unsigned model = 0;
    EXPECT_EQ(DALUSDK_GetDeviceModel(h, &model), 0);
    destroyPromptly(h);
}

// Runs rounds of reads for `duration` under the sim's current faults; returns
// the number of reads that succeeded.
int readForAWhile(void *h, std::chrono::milliseconds duration, bool outputsKept) {
    int ok = 0;
    const auto end = Clock::now() + duration;
    while (Clock::now() < end) {
        const ReadRound r = readRound(h, outputsKept);
        ok += (r.model == Outcome::Ok) + (r.led1 == Outcome::Ok) + (r.led2 == Outcome::Ok) + (r.temp3 == Outcome::Ok);
        if (::testing::Test::HasFailure()) break;
    }
    return ok;
}

TEST(HostileLine, LineNoiseAtFullSpeedWhileRequestsRun) {
    SimFaults noise;
    noise.noiseBytesPerSec = 11520;  // every bit time of 115200 8N1 filled
    VirtualLightSource sim(quietOptions(noise));
    ASSERT_TRUE(sim.start()) << sim.errorText();
    presetDevice(sim);
    void *h = DALUSDK_CreateHandle(sim.portPath().c_str());
    ASSERT_NE(h, nullptr);

    const int ok = readForAWhile(h, std::chrono::seconds(4), true);
    EXPECT_GT(ok, 0) << "no read got through the noise";
    EXPECT_GT(sim.counters().noiseBytesSent, 10000u);

    sim.setFaults({});
    EXPECT_TRUE(readsRecover(h));
    destroyPromptly(h);
}

TEST(HostileLine, FloodOfUnsolicitedFramesWhileRequestsRun) {
    VirtualLightSource sim(quietOptions());
    ASSERT_TRUE(sim.start()) << sim.errorText();
    presetDevice(sim);
    void *h = DALUSDK_CreateHandle(sim.portPath().c_str());
    ASSERT_NE(h, nullptr);

    // Far more frames than the eight-slot queue holds between two polls:
    // answers may be lost with the overflow, but never mistaken.
    SimFaults flood;
    flood.unsolicitedPerSec = 5000;
    sim.setFaults(flood);
    readForAWhile(h, std::chrono::seconds(2), true);
    EXPECT_GT(sim.counters().unsolicitedSent, 2000u);

    // A chatty but slower device: the engine skips what it did not ask for.
    flood.unsolicitedPerSec = 50;
    sim.setFaults(flood);
    EXPECT_GT(readForAWhile(h, std::chrono::seconds(2), true), 0);

    sim.setFaults({});
    EXPECT_TRUE(readsRecover(h));
    destroyPromptly(h);
}

enum class Expect { Ok, Fails, Either };

struct FaultCase {
    const char *name;
    SimFaults faults;
    Expect model;     // a device-wide read
    Expect channels;  // per-channel reads
    bool outputsKept; // on failure, every output as preset
};

SimFaults fault(void (*set)(SimFaults &)) {
    SimFaults f;
    set(f);
    return f;
}

void expectOutcome(Expect e, Outcome got, const char *what) {
    if (e == Expect::Ok) {
        EXPECT_EQ(got, Outcome::Ok) << what;
    } else if (e == Expect::Fails) {
        EXPECT_EQ(got, Outcome::Failed) << what;
    }
}

TEST(HostileLine, MisbehavingAnswersNeverPassAsGoodOnes) {
    // A late duplicate of one channel's answer can meet the next read of the
    // same code for another channel: that read fails its echo test (never
    // returns the wrong channel's value), hence Either for channels there.
    const FaultCase cases[] = {
        {"answers twice", fault([](SimFaults &f) { f.answerTwice = true; }), Expect::Ok, Expect::Either, false},
        {"answers 150 ms late", fault([](SimFaults &f) { f.lateMs = 150; }), Expect::Ok, Expect::Either, false},
        {"drops every 2nd answer", fault([](SimFaults &f) { f.dropEvery = 2; }), Expect::Ok, Expect::Ok, true},
        {"answers 800 ms late", fault([](SimFaults &f) { f.lateMs = 800; }), Expect::Fails, Expect::Either, false},
        {"wrong code", fault([](SimFaults &f) { f.wrongCode = true; }), Expect::Fails, Expect::Fails, true},
        {"bad checksum", fault([](SimFaults &f) { f.badChecksum = true; }), Expect::Fails, Expect::Fails, true},
        {"wrong length", fault([](SimFaults &f) { f.wrongLength = true; }), Expect::Fails, Expect::Fails, true},
        {"wrong ledId", fault([](SimFaults &f) { f.wrongLedId = true; }), Expect::Ok, Expect::Fails, false},
        {"silent", fault([](SimFaults &f) { f.silent = true; }), Expect::Fails, Expect::Fails, true},
    };
    for (const FaultCase &c : cases) {
        SCOPED_TRACE(c.name);
        VirtualLightSource sim(quietOptions());
        ASSERT_TRUE(sim.start()) << sim.errorText();
        presetDevice(sim);
        void *h = DALUSDK_CreateHandle(sim.portPath().c_str());
        ASSERT_NE(h, nullptr);
        sim.setFaults(c.faults);
        for (int round = 0; round < 2; ++round) {
            const ReadRound r = readRound(h, c.outputsKept);
            expectOutcome(c.model, r.model, "model");
            expectOutcome(c.channels, r.led1, "brightness 1");
            expectOutcome(c.channels, r.led2, "brightness 2");
            expectOutcome(c.channels, r.temp3, "temperature 3");
        }
        // Writes never wait for an answer, whatever the device does.
        EXPECT_EQ(DALUSDK_SetLedBrightness(h, 0, 77), 0);
        sim.setFaults({});
        EXPECT_TRUE(readsRecover(h));
        destroyPromptly(h);
        EXPECT_EQ(sim.state().ledBrightness[0], 77);
    }
}

// The protocol has no sequence number, so the answer to an earlier send must
// not pass as the answer to a later read with the same code: read, pause,
// write, read back gives the new value or fails, never the old one with 0.
// A device that answers well within a read's window gets the new value; one
// that is slower fails every read, with the time-out line. Near the window's
// end a loaded machine decides, so there only the value is checked.
TEST(HostileLine, LateOrRepeatedAnswersNeverPassForALaterRead) {
    struct Case {
        int lateMs;
        bool twice;
        int pauseMs;  // between the first read and the write
    };
    std::vector<Case> cases;
    for (int late : {0, 150, 250, 450, 520})
        for (bool twice : {false, true})
            for (int pause : {0, 40}) cases.push_back({late, twice, pause});
    for (const Case &c : cases) {
        SCOPED_TRACE("late " + std::to_string(c.lateMs) + (c.twice ? ", twice" : "") + ", pause " +
                     std::to_string(c.pauseMs));
        SimFaults f;
        f.lateMs = c.lateMs;
        f.answerTwice = c.twice;
        VirtualLightSource sim(quietOptions(f));
        ASSERT_TRUE(sim.start()) << sim.errorText();
        void *h = DALUSDK_CreateHandle(sim.portPath().c_str());
        ASSERT_NE(h, nullptr);
        const Expect expect = c.lateMs < 400 ? Expect::Ok : c.lateMs > 500 ? Expect::Fails : Expect::Either;
        // A device-wide value and one channel's value.
        const std::function<int(unsigned short *)> reads[] = {
            [h](unsigned short *v) { return DALUSDK_ModeEdge_GetDelayTime(h, v); },
            [h](unsigned short *v) { return DALUSDK_GetLedBrightness(h, 1, v); },
        };
        const std::function<int(unsigned short)> writes[] = {
            [h](unsigned short v) { return DALUSDK_ModeEdge_SetDelayTime(h, v); },
            [h](unsigned short v) { return DALUSDK_SetLedBrightness(h, 1, v); },
        };
        for (int k = 0; k < 2; ++k) {
            SCOPED_TRACE("read " + std::to_string(k));
            unsigned short got = 0xBEEF;
            const int before = reads[k](&got);
            expectOutcome(expect, before == 0 ? Outcome::Ok : Outcome::Failed, "first read");
            if (before == 0) {
                EXPECT_EQ(got, 0);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(c.pauseMs));
            const unsigned short value = static_cast<unsigned short>(10 + k);
            ASSERT_EQ(writes[k](value), 0);
            got = 0xBEEF;
            int after;
            std::string text;
            {
                StdoutCapture out;
                after = reads[k](&got);
                text = out.text();
            }
            expectOutcome(expect, after == 0 ? Outcome::Ok : Outcome::Failed, "read-back");
            if (after == 0) {
                EXPECT_EQ(got, value) << "an old answer passed as the read-back's";
            } else {
                EXPECT_NE(text.find("recv cmd(0x"), std::string::npos) << text;
            }
        }
        destroyPromptly(h);
    }
}

TEST(HostileLine, CreateAndDestroyThousandTimesWithTrafficLeaksNothing) {
    SimFaults traffic;
    traffic.unsolicitedPerSec = 200;
    traffic.noiseBytesPerSec = 2000;
    VirtualLightSource sim(quietOptions(traffic));
    ASSERT_TRUE(sim.start()) << sim.errorText();
    const std::set<std::string> threadsBefore = threadIds();
    const size_t fdsBefore = openFdCount();

    for (int i = 0; i < 1000; ++i) {
        void *h = DALUSDK_CreateHandle(sim.portPath().c_str());
        ASSERT_NE(h, nullptr) << "iteration " << i;
        if (i % 100 == 0) {
            unsigned model = 0;
            const int rc = DALUSDK_GetDeviceModel(h, &model);
            EXPECT_TRUE(rc == 0 || rc == -1);
            if (rc == 0) {
                EXPECT_EQ(model, kSimDefaultModel);
            }
        }
        ASSERT_EQ(DALUSDK_DestroyHandle(h), 0) << "iteration " << i;
    }
    EXPECT_TRUE(threadsBackTo(threadsBefore));
    EXPECT_EQ(openFdCount(), fdsBefore);
    EXPECT_GT(sim.counters().unsolicitedSent, 0u);
}

}  // namespace
