// The library in serial mode against the virtual light source over a
// pseudo-terminal: every command, every fault switch, unplugging, and the
// lightsim program itself.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "DALU_LightKit.h"
#include "VirtualLightSource.h"
#include "sim_test_util.h"
#include "spawned_program.h"
#include "stdout_capture.h"

namespace {

using Lines = std::vector<std::string>;

const char kTimeout8001[] = "[info ] <DOCMD_SendAndWaitRecvCmd> recv cmd(0x8001) timeout.";
const char kWorkModeFailed[] = "[error] <DOCMD_GetWorkMode:N> DOCMD_SendAndWaitRecvCmd, ret (-1) err!";

SimOptions fixedTemps() {
    SimOptions o;
    o.fixedTemps = true;
    return o;
}

// Deadline loop for conditions that have no wait of their own.
template <typename Pred>
bool waitUntil(Pred pred, int timeoutMs = 5000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!pred()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

std::vector<std::string> hexOf(const std::vector<CmdPkg> &frames) {
    std::vector<std::string> out;
    for (const CmdPkg &p : frames) out.push_back(frameHex(p));
    return out;
}

class SimSerialTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(sim.start()) << sim.errorText();
        handle = DALUSDK_CreateHandle(sim.portPath().c_str());
        ASSERT_NE(handle, nullptr);
    }
    void TearDown() override {
        if (handle != nullptr) {
            EXPECT_EQ(DALUSDK_DestroyHandle(handle), 0);
        }
        sim.stop();
    }
    // The frames the source has received since the last clear, once n of them are in.
    std::vector<std::string> framesAfter(size_t n) {
        EXPECT_TRUE(sim.waitForFrames(n, 5000));
        return hexOf(sim.receivedFrames());
    }

    VirtualLightSource sim{fixedTemps()};
    void *handle = nullptr;
};

TEST_F(SimSerialTest, EveryCommandRoundTripsThroughTheLibrary) {
    void *h = handle;
    ASSERT_EQ(DALUSDK_SetWorkMode(h, 4), 0);
    ASSERT_EQ(DALUSDK_SetGlobalEnable(h, 2), 0);
    for (int ch = 0; ch < 4; ++ch) {
        ASSERT_EQ(DALUSDK_SetLedChecked(h, ch, static_cast<unsigned char>(ch % 2)), 0);
        ASSERT_EQ(DALUSDK_SetLedBrightness(h, ch, static_cast<unsigned short>(70 + 10 * ch)), 0);
        ASSERT_EQ(DALUSDK_ModeEdge_SetPulseTime(h, ch, static_cast<unsigned short>(4997 + ch)), 0);
    }
    ASSERT_EQ(DALUSDK_ModeTtl_SetOutputEnable(h, 1), 0);
    ASSERT_EQ(DALUSDK_ModeTtl_SetDelayTime(h, 5000), 0);
    ASSERT_EQ(DALUSDK_ModeEdge_SetDelayTime(h, 1234), 0);
    ASSERT_EQ(DALUSDK_ModeTrigger_SetOutputEnable(h, 1), 0);
    ASSERT_EQ(DALUSDK_ModeTrigger_SetDelayTime(h, 500), 0);
    ASSERT_EQ(DALUSDK_ModeTrigger_SetHighTime(h, 20), 0);
    ASSERT_EQ(DALUSDK_ModeTrigger_SetLowTime(h, 0), 0);
    ASSERT_EQ(DALUSDK_ModeTrigger_SetPulseNum(h, 100), 0);
    for (int i = 0; i < 3; ++i) ASSERT_EQ(DALUSDK_ModeTrigger_OnTrigger(h), 0);

    int mode = -1;
    unsigned char u8 = 9;
    unsigned short u16 = 9;
    ASSERT_EQ(DALUSDK_GetWorkMode(h, &mode), 0);
    EXPECT_EQ(mode, 4);
    ASSERT_EQ(DALUSDK_GetGlobalEnable(h, &u8), 0);
    EXPECT_EQ(u8, 1);  // the library folds the 2 it sent
    for (int ch = 0; ch < 4; ++ch) {
        ASSERT_EQ(DALUSDK_GetLedChecked(h, ch, &u8), 0);
        EXPECT_EQ(u8, ch % 2);
        ASSERT_EQ(DALUSDK_GetLedBrightness(h, ch, &u16), 0);
        EXPECT_EQ(u16, 70 + 10 * ch);
        ASSERT_EQ(DALUSDK_ModeEdge_GetPulseTime(h, ch, &u16), 0);
        EXPECT_EQ(u16, 4997 + ch);
    }
    ASSERT_EQ(DALUSDK_ModeTtl_GetOutputEnable(h, &u8), 0);
    EXPECT_EQ(u8, 1);
    ASSERT_EQ(DALUSDK_ModeTtl_GetDelayTime(h, &u16), 0);
    EXPECT_EQ(u16, 5000);
    ASSERT_EQ(DALUSDK_ModeEdge_GetDelayTime(h, &u16), 0);
    EXPECT_EQ(u16, 1234);
    ASSERT_EQ(DALUSDK_ModeTrigger_GetOutputEnable(h, &u8), 0);
    EXPECT_EQ(u8, 1);
    ASSERT_EQ(DALUSDK_ModeTrigger_GetDelayTime(h, &u16), 0);
    EXPECT_EQ(u16, 500);
    ASSERT_EQ(DALUSDK_ModeTrigger_GetHighTime(h, &u16), 0);
    EXPECT_EQ(u16, 20);
    ASSERT_EQ(DALUSDK_ModeTrigger_GetLowTime(h, &u16), 0);
    EXPECT_EQ(u16, 0);
    ASSERT_EQ(DALUSDK_ModeTrigger_GetPulseNum(h, &u8), 0);
    EXPECT_EQ(u8, 100);

    const SimDeviceState s = sim.state();
    EXPECT_EQ(s.globalEnable, 2);
    EXPECT_EQ(s.triggerCount, 3u);
    EXPECT_EQ(s.ledBrightness[3], 100);
    EXPECT_EQ(s.edgePulseMs[0], 4997);
}

TEST_F(SimSerialTest, RequestsArriveAsTheirExactFrames) {
    float temp = 0.0f;
    unsigned char status = 0, enable = 0;
    unsigned short ms = 0;
    ASSERT_EQ(DALUSDK_SetWorkMode(handle, 4), 0);
    ASSERT_EQ(DALUSDK_SetLedBrightness(handle, 0, 100), 0);
    ASSERT_EQ(DALUSDK_SetLedChecked(handle, 1, 1), 0);
    ASSERT_EQ(DALUSDK_ModeTtl_SetDelayTime(handle, 5000), 0);
    ASSERT_EQ(DALUSDK_ModeEdge_SetPulseTime(handle, 3, 100), 0);
    ASSERT_EQ(DALUSDK_ModeTrigger_SetPulseNum(handle, 100), 0);
    ASSERT_EQ(DALUSDK_ModeTrigger_OnTrigger(handle), 0);
    ASSERT_EQ(DALUSDK_GetGlobalEnable(handle, &enable), 0);
    ASSERT_EQ(DALUSDK_GetLedTempStatus(handle, 2, &temp, &status), 0);
    ASSERT_EQ(DALUSDK_ModeTrigger_GetDelayTime(handle, &ms), 0);
    EXPECT_EQ(framesAfter(10), std::vector<std::string>({
                                   "55 AA 00 01 01 04 06 FA",
                                   "55 AA 01 02 03 00 00 64 6A FA",
                                   "55 AA 01 01 02 01 01 06 FA",
                                   "55 AA 02 02 02 13 88 A1 FA",
                                   "55 AA 03 02 03 03 00 64 6F FA",
                                   "55 AA 04 05 01 64 6E FA",
                                   "55 AA 04 06 00 0A FA",
                                   "55 AA 80 02 00 82 FA",
                                   "55 AA 90 00 01 02 93 FA",
                                   "55 AA 84 02 00 86 FA",
                               }));
    EXPECT_EQ(sim.answersSent(), 3u);
}

// Raw mode on both sides: XON/XOFF, CR/LF, ^C, ^D, 0x7F and the rest pass
// both ways unchanged.
TEST_F(SimSerialTest, EveryByteValuePassesTheLineBothWays) {
    for (int v = 0; v < 256; ++v) {
        ASSERT_EQ(DALUSDK_ModeEdge_SetPulseTime(handle, v % 4, static_cast<unsigned short>(0x1200 | v)), 0);
        ASSERT_TRUE(sim.waitForFrames(static_cast<size_t>(v) + 1, 5000));
        ASSERT_EQ(sim.state().edgePulseMs[v % 4], 0x1200 | v) << v;
    }
    for (int v = 0; v < 256; v += 2) {
        SimDeviceState s = sim.state();
        s.ttlDelayMs = static_cast<uint16_t>(v << 8 | (v + 1));
        sim.setState(s);
        unsigned short got = 0;
        ASSERT_EQ(DALUSDK_ModeTtl_GetDelayTime(handle, &got), 0);
        ASSERT_EQ(got, s.ttlDelayMs) << v;
    }
}

TEST_F(SimSerialTest, IdentityTemperaturesAndPresetValuesReachTheLibrary) {
    VirtualLightSource eight([] {
        SimOptions o;
        o.model = 0xFFAA0800u;
        o.version = 0x12345678u;
        return o;
    }());
    ASSERT_TRUE(eight.start());
    void *h8 = DALUSDK_CreateHandle(eight.portPath().c_str());
    ASSERT_NE(h8, nullptr);
    unsigned int model = 0, version = 0;
    EXPECT_EQ(DALUSDK_GetDeviceModel(h8, &model), 0);
    EXPECT_EQ(model, 0xFFAA0800u);
    EXPECT_EQ(DALUSDK_GetDeviceSofewareVersion(h8, &version), 0);
    EXPECT_EQ(version, 305419896u);
    EXPECT_EQ(DALUSDK_DestroyHandle(h8), 0);
    ASSERT_EQ(DALUSDK_GetDeviceModel(handle, &model), 0);
    EXPECT_EQ(model, 0xFFAA0400u);
    ASSERT_EQ(DALUSDK_GetDeviceSofewareVersion(handle, &version), 0);
    EXPECT_EQ(version, 0x00010203u);

    sim.setFixedTemperature(2, 25.0f, true);
    sim.setFixedTemperature(1, -2.0f, false);
    sim.setFixedTemperature(3, 70.0f, false);
    float temp = 0.0f;
    unsigned char status = 9;
    ASSERT_EQ(DALUSDK_GetLedTempStatus(handle, 2, &temp, &status), 0);
    EXPECT_EQ(temp, 25.0f);
    EXPECT_EQ(status, 1);
    ASSERT_EQ(DALUSDK_GetLedTempStatus(handle, 1, &temp, &status), 0);
    EXPECT_EQ(temp, -2.0f);
    EXPECT_EQ(status, 0);
    ASSERT_EQ(DALUSDK_GetLedTempValue(handle, 3, &temp), 0);
    EXPECT_EQ(temp, 70.0f);
    ASSERT_EQ(DALUSDK_GetLedTempOver(handle, 3, &status), 0);
    EXPECT_EQ(status, 0);
    ASSERT_EQ(DALUSDK_GetLedTempValue(handle, 0, &temp), 0);
    EXPECT_EQ(temp, 25.0f);

    // Values no GUI would write come back as the device holds them.
    SimDeviceState s = sim.state();
    s.ttlDelayMs = 6000;
    s.ledBrightness[3] = 300;
    s.workMode = 7;
    s.trigPulseNum = 200;
    sim.setState(s);
    unsigned short u16 = 0;
    unsigned char u8 = 0;
    int mode = 0;
    ASSERT_EQ(DALUSDK_ModeTtl_GetDelayTime(handle, &u16), 0);
    EXPECT_EQ(u16, 6000);
    ASSERT_EQ(DALUSDK_GetLedBrightness(handle, 3, &u16), 0);
    EXPECT_EQ(u16, 300);
    ASSERT_EQ(DALUSDK_GetWorkMode(handle, &mode), 0);
    EXPECT_EQ(mode, 7);
    ASSERT_EQ(DALUSDK_ModeTrigger_GetPulseNum(handle, &u8), 0);
    EXPECT_EQ(u8, 200);
}

// Faults that make a read fail: the engine's time-out after exactly five
// sends, or the command's own check of the answer.
TEST_F(SimSerialTest, FaultsThatFailReads) {
    struct Row {
        const char *name;
        SimFaults faults;
        int sends;
        Lines lines;
    };
    SimFaults silent, badSum, wrongCode, wrongLen;
    silent.silent = true;
    badSum.badChecksum = true;
    wrongCode.wrongCode = true;
    wrongLen.wrongLength = true;
    const Row rows[] = {
        {"silent", silent, 5, {kTimeout8001, kWorkModeFailed}},
        {"bad checksum", badSum, 5, {kTimeout8001, kWorkModeFailed}},
        {"wrong code", wrongCode, 5, {kTimeout8001, kWorkModeFailed}},
        {"wrong length", wrongLen, 1, {"[error] <DOCMD_GetWorkMode:N> recvpkg.len (2 != 1) err!"}},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.name);
        sim.setFaults(r.faults);
        sim.clearReceivedFrames();
        int mode = 42;
        StdoutCapture out;
        EXPECT_EQ(DALUSDK_GetWorkMode(handle, &mode), -1);
        EXPECT_EQ(withoutLineNumber(out.lines()), r.lines);
        EXPECT_EQ(mode, 42);
        EXPECT_EQ(framesAfter(static_cast<size_t>(r.sends)),
                  std::vector<std::string>(static_cast<size_t>(r.sends), "55 AA 80 01 00 81 FA"));
    }
}

TEST_F(SimSerialTest, WrongLedIdAndWrongLengthFailChannelReads) {
    SimFaults f;
    f.wrongLedId = true;
    sim.setFaults(f);
    unsigned short value = 0;
    float temp = 1.5f;
    unsigned char status = 7;
    {
        StdoutCapture out;
        EXPECT_EQ(DALUSDK_GetLedBrightness(handle, 1, &value), -1);
        EXPECT_EQ(DALUSDK_GetLedTempStatus(handle, 3, &temp, &status), -1);
        EXPECT_EQ(withoutLineNumber(out.lines()), Lines({"[error] <DOCMD_GetLedBrightness:N> Received ID not matched, value (1 != 2) err!",
                                      "[error] <DOCMD_GetLedTempStatus:N> Received ID not matched, value (3 != 0) err!"}));
    }
    EXPECT_EQ(temp, 1.5f);
    int mode = -1;
    EXPECT_EQ(DALUSDK_GetWorkMode(handle, &mode), 0);  // no channel, no echo to get wrong

    f = SimFaults();
    f.wrongLength = true;
    sim.setFaults(f);
    StdoutCapture out;
    EXPECT_EQ(DALUSDK_GetLedTempStatus(handle, 0, &temp, &status), -1);
    EXPECT_EQ(withoutLineNumber(out.lines()), Lines({"[error] <DOCMD_GetLedTempStatus:N> recvpkg.len (5 != 4) err!"}));
}

// Faults that a read survives: each costs at most extra sends.
TEST_F(SimSerialTest, FaultsThatReadsRecoverFrom) {
    SimFaults f;
    f.dropEvery = 2;
    sim.setFaults(f);
    SimDeviceState s;
    s.workMode = 3;
    s.globalEnable = 1;
    sim.setState(s);
    {
        StdoutCapture out;
        for (int i = 0; i < 3; ++i) {
            int mode = -1;
            EXPECT_EQ(DALUSDK_GetWorkMode(handle, &mode), 0);
            EXPECT_EQ(mode, 3);
        }
        EXPECT_EQ(withoutLineNumber(out.lines()), Lines());
    }
    // The second and third read each lost their first answer and sent again.
    EXPECT_EQ(framesAfter(5).size(), 5u);
    EXPECT_EQ(sim.counters().answersDropped, 2u);

    f = SimFaults();
    f.lateMs = 250;  // well after the first send's 100 ms window
    sim.setFaults(f);
    sim.clearReceivedFrames();
    int mode = -1;
    EXPECT_EQ(DALUSDK_GetWorkMode(handle, &mode), 0);
    EXPECT_EQ(mode, 3);
    EXPECT_GE(framesAfter(2).size(), 2u);

    // The answers to the later sends are still on their way: let them out
    // before counting.
    waitUntil([this] {
        const SimCounters c = sim.counters();
        return c.answersSent + c.answersDropped == c.framesReceived;
    });

    f = SimFaults();
    f.answerTwice = true;
    sim.setFaults(f);
    const uint64_t answersBefore = sim.answersSent();
    for (int i = 0; i < 10; ++i) {
        unsigned char enable = 9;
        EXPECT_EQ(DALUSDK_GetWorkMode(handle, &mode), 0);
        EXPECT_EQ(mode, 3);
        EXPECT_EQ(DALUSDK_GetGlobalEnable(handle, &enable), 0);
        EXPECT_EQ(enable, 1);
    }
    // The last request's second answer may still be on its way.
    waitUntil([this, answersBefore] { return sim.answersSent() >= answersBefore + 40; });
    EXPECT_EQ(sim.answersSent(), answersBefore + 40);
}

TEST_F(SimSerialTest, NoiseAndUnsolicitedFramesAreIgnored) {
    SimFaults f;
    f.unsolicitedPerSec = 100;
    f.noiseBytesPerSec = 400;
    sim.setFaults(f);
    SimDeviceState s;
    s.workMode = 2;
    s.ledBrightness[1] = 55;
    sim.setState(s);
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    int reads = 0;
    StdoutCapture out;
    while ((sim.counters().unsolicitedSent < 30 || sim.counters().noiseBytesSent < 120) &&
           std::chrono::steady_clock::now() < end) {
        int mode = -1;
        unsigned short value = 0;
        ASSERT_EQ(DALUSDK_GetWorkMode(handle, &mode), 0);
        ASSERT_EQ(mode, 2);
        ASSERT_EQ(DALUSDK_GetLedBrightness(handle, 1, &value), 0);
        ASSERT_EQ(value, 55);
        ++reads;
    }
    EXPECT_EQ(withoutLineNumber(out.lines()), Lines());
    EXPECT_GE(sim.counters().unsolicitedSent, 30u);
    EXPECT_GE(sim.counters().noiseBytesSent, 120u);
    EXPECT_GT(reads, 0);
}

TEST_F(SimSerialTest, FaultsAndStateMayChangeWhileRequestsRun) {
    SimDeviceState preset;
    preset.trigDelayMs = 77;
    sim.setState(preset);
    std::atomic<bool> done{false};
    std::thread changer([this, &done] {
        for (int i = 0; !done.load(); ++i) {
            SimFaults f;
            f.dropEvery = (i % 2) ? 3 : 0;
            f.unsolicitedPerSec = (i % 3) * 20;
            sim.setFaults(f);
            SimDeviceState s = sim.state();
            s.trigDelayMs = 77;
            sim.setState(s);
            (void)sim.receivedFrames();
            (void)sim.temperature(i % 4);
            std::this_thread::yield();
        }
    });
    for (int i = 0; i < 30; ++i) {
        unsigned short ms = 0;
        EXPECT_EQ(DALUSDK_ModeTrigger_GetDelayTime(handle, &ms), 0);
        EXPECT_EQ(ms, 77);
    }
    done.store(true);
    changer.join();
}

// Stopping the source is pulling the plug: the open handle's reads fail and
// it is still destroyed cleanly; a source started again serves a new handle.
TEST_F(SimSerialTest, StopIsAnUnplug) {
    const std::string first = sim.portPath();
    sim.stop();
    EXPECT_EQ(sim.portPath(), "");
    int mode = 42;
    {
        StdoutCapture out;
        EXPECT_EQ(DALUSDK_GetWorkMode(handle, &mode), -1);
        // The write to a pty whose master is gone fails at once (EIO).
        EXPECT_EQ(withoutLineNumber(out.lines()), Lines({"[error] <UART_SendBytes:N> WriteFile failed with error 5.",
                                      "[error] <DOCMD_SendAndWaitRecvCmd:N> SendBytes, ret (-1) err!",
                                      kWorkModeFailed}));
    }
    EXPECT_EQ(mode, 42);
    EXPECT_EQ(DALUSDK_DestroyHandle(handle), 0);
    handle = nullptr;

    ASSERT_TRUE(sim.start());
    handle = DALUSDK_CreateHandle(sim.portPath().c_str());
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(DALUSDK_GetWorkMode(handle, &mode), 0);
    EXPECT_EQ(mode, 0);
    EXPECT_FALSE(sim.start());  // already running
    EXPECT_EQ(sim.errorText(), "already running");
}

TEST(SimFixture, ReportsAPortItCannotOpen) {
    SimOptions o;
    o.port = "/nonexistent/ttyS99";
    VirtualLightSource sim(o);
    EXPECT_FALSE(sim.start());
    EXPECT_EQ(sim.errorText(), "open (\"/nonexistent/ttyS99\"): No such file or directory");
    EXPECT_FALSE(sim.running());
    EXPECT_EQ(sim.portPath(), "");
}

// ---- The lightsim program ------------------------------------------------

using Child = SpawnedProgram;

std::string servedPath(const std::string &first) {
    const std::string prefix = "lightsim: serving ";
    if (first.rfind(prefix, 0) != 0) return "";
    return first.substr(prefix.size(), first.find(' ', prefix.size()) - prefix.size());
}

TEST(LightsimProgram, HelpAndBadOptions) {
    Child help({LIGHTSIM_PROGRAM, "--help"});
    ASSERT_TRUE(help.started());
    EXPECT_EQ(help.line(), "Usage: lightsim [options]");
    EXPECT_EQ(help.finish(0), 0);

    struct Row {
        std::vector<std::string> args;
        const char *error;
    };
    const Row rows[] = {
        {{"--bogus"}, "lightsim: unknown option: --bogus"},
        {{"--late"}, "lightsim: --late needs milliseconds"},
        {{"--model", "0x1FFFFFFFF"}, "lightsim: --model needs a 32-bit number: 0x1FFFFFFFF"},
        {{"--drop-every", "-3"}, "lightsim: --drop-every needs a count: -3"},
        {{"--version", "0x"}, "lightsim: --version needs a 32-bit number: 0x"},
        {{"--noise", "12abc"}, "lightsim: --noise needs bytes per second: 12abc"},
        {{"--fixed-temps", "25,x"},
         "lightsim: --fixed-temps needs 1 to 4 temperatures like 25.00,30.5,-2,70:0: 25,x"},
    };
    for (const Row &r : rows) {
        std::vector<std::string> args = {LIGHTSIM_PROGRAM};
        args.insert(args.end(), r.args.begin(), r.args.end());
        Child c(args);
        EXPECT_EQ(c.line(), r.error);
        EXPECT_EQ(c.line(), "Try 'lightsim --help'.");
        EXPECT_EQ(c.finish(0), 2);
    }
    Child c({LIGHTSIM_PROGRAM, "--port", "/nonexistent/ttyS99"});
    EXPECT_EQ(c.line(), "lightsim: cannot serve /nonexistent/ttyS99: open (\"/nonexistent/ttyS99\"): No such file or directory");
    EXPECT_EQ(c.finish(0), 1);
}

TEST(LightsimProgram, ServesAPtyUntilSigterm) {
    Child c({LIGHTSIM_PROGRAM, "--model", "0xFFAA0800", "--version", "0x01020304", "--fixed-temps", "25.00,30.5,-2,70",
             "--log-frames"});
    const std::string first = c.line();
    const std::string path = servedPath(first);
    ASSERT_NE(path, "") << first;
    EXPECT_EQ(first, "lightsim: serving " + path + " (model 0xffaa0800, version 0x01020304)");

    void *h = DALUSDK_CreateHandle(path.c_str());
    ASSERT_NE(h, nullptr);
    unsigned int model = 0;
    float temp = 0.0f;
    unsigned char status = 0;
    EXPECT_EQ(DALUSDK_GetDeviceModel(h, &model), 0);
    EXPECT_EQ(model, 0xFFAA0800u);
    EXPECT_EQ(DALUSDK_GetLedTempStatus(h, 3, &temp, &status), 0);
    EXPECT_EQ(temp, 70.0f);
    EXPECT_EQ(status, 1);
    EXPECT_EQ(DALUSDK_GetLedTempStatus(h, 2, &temp, &status), 0);
    EXPECT_EQ(temp, -2.0f);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(DALUSDK_SetWorkMode(h, 4), 0);
    EXPECT_EQ(DALUSDK_DestroyHandle(h), 0);

    EXPECT_EQ(c.line(), "rx 55 AA FF 00 00 FF FA");
    EXPECT_EQ(c.line(), "tx 55 AA FF 00 04 FF AA 08 00 B4 FA");
    EXPECT_EQ(c.line(), "rx 55 AA 90 00 01 03 94 FA");
    EXPECT_EQ(c.line(), "tx 55 AA 90 00 04 03 1B 58 01 0B FA");
    EXPECT_EQ(c.line(), "rx 55 AA 90 00 01 02 93 FA");
    EXPECT_EQ(c.line(), "tx 55 AA 90 00 04 02 FF 38 00 CD FA");
    EXPECT_EQ(c.line(), "rx 55 AA 00 01 01 04 06 FA");

    // What the library never sends: a code outside the plan, a channel read
    // without its channel. Both are logged and left unanswered.
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0);
    const uint8_t odd[] = {0x55, 0xAA, 0x12, 0x34, 0x00, 0x46, 0xFA, 0x55, 0xAA, 0x81, 0x01, 0x00, 0x82, 0xFA};
    EXPECT_EQ(::write(fd, odd, sizeof odd), static_cast<ssize_t>(sizeof odd));
    EXPECT_EQ(c.line(), "rx 55 AA 12 34 00 46 FA");
    EXPECT_EQ(c.line(), "unknown cmd 0x1234 ignored");
    EXPECT_EQ(c.line(), "rx 55 AA 81 01 00 82 FA");
    EXPECT_EQ(c.line(), "bad request cmd 0x8101 len 0 ignored");
    ::close(fd);

    EXPECT_EQ(c.finish(SIGTERM), 0);
    EXPECT_EQ(c.line(), "lightsim: stopped after 6 requests, 3 answers");
}

// --port: one end of a socat pair is served, the library opens the other.
TEST(LightsimProgram, ServesAnExistingPort) {
    if (::access("/usr/bin/socat", X_OK) != 0) GTEST_SKIP() << "socat is not installed";
    char dir[] = "/tmp/lightsim-port-XXXXXX";
    ASSERT_NE(::mkdtemp(dir), nullptr);
    const std::string a = std::string(dir) + "/A", b = std::string(dir) + "/B";
    {
        Child socat({"/usr/bin/socat", "pty,raw,echo=0,link=" + a, "pty,raw,echo=0,link=" + b});
        ASSERT_TRUE(waitUntil([&] {
            struct stat st;
            return ::stat(a.c_str(), &st) == 0 && ::stat(b.c_str(), &st) == 0;
        }, 10000));
        Child sim({LIGHTSIM_PROGRAM, "--port", b});
        EXPECT_EQ(sim.line(), "lightsim: serving " + b + " (model 0xffaa0400, version 0x00010203)");
        void *h = DALUSDK_CreateHandle(a.c_str());
        ASSERT_NE(h, nullptr);
        unsigned int version = 0;
        EXPECT_EQ(DALUSDK_GetDeviceSofewareVersion(h, &version), 0);
        EXPECT_EQ(version, 0x00010203u);
        EXPECT_EQ(DALUSDK_DestroyHandle(h), 0);
        EXPECT_EQ(sim.finish(SIGINT), 0);
        EXPECT_EQ(sim.line(), "lightsim: stopped after 1 requests, 1 answers");
        socat.finish(SIGTERM);
    }
    ::rmdir(dir);
}

}  // namespace
