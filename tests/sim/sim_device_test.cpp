// The virtual light source's device logic, driven directly: requests in,
// encoded answer frames out, on a clock the test moves by hand.
#include <gtest/gtest.h>

#include <cstring>
#include <initializer_list>
#include <vector>

#include "SimDevice.h"
#include "frames.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

const SimClock::time_point t0 = SimClock::time_point(std::chrono::hours(1));

CmdPkg request(uint16_t cmd, Bytes payload) {
    CmdPkg p;
    std::memset(&p, 0, sizeof p);
    p.cmd = cmd;
    p.len = static_cast<uint8_t>(payload.size());
    if (!payload.empty()) std::memcpy(p.data, payload.data(), payload.size());
    return p;
}

Bytes sent(const SimAnswer &a, int k) {
    const uint8_t *f = a.frames[k];
    return Bytes(f + 1, f + 1 + f[0]);
}

class SimDeviceTest : public ::testing::Test {
protected:
    SimDevice dev{kSimDefaultModel, kSimDefaultVersion, t0};
    SimAnswer ans;

    SimRequestKind send(uint16_t cmd, Bytes payload, SimClock::time_point at = t0) {
        return dev.handle(request(cmd, std::move(payload)), at, &ans);
    }
    // One read, expected to give exactly one frame.
    Bytes read(uint16_t cmd, Bytes payload) {
        EXPECT_EQ(send(cmd, std::move(payload)), SimRequestKind::Read);
        EXPECT_EQ(ans.frameCount, 1);
        return ans.frameCount > 0 ? sent(ans, 0) : Bytes();
    }
};

// Every write code sets a value that its read code gives back, byte-exact and
// with the answer lengths the library checks; the values are kept as sent,
// out-of-range ones included.
TEST_F(SimDeviceTest, EveryWriteReadsBackWithItsAnswerLength) {
    struct Row {
        uint16_t writeCmd;
        Bytes writePayload;
        uint16_t readCmd;
        Bytes readPayload;
        Bytes answer;
    };
    const Row rows[] = {
        {0x0001, {0x04}, 0x8001, {}, {0x04}},
        {0x0002, {0x02}, 0x8002, {}, {0x02}},
        {0x0101, {0x02, 0x01}, 0x8101, {0x02}, {0x02, 0x01}},
        {0x0102, {0x01, 0x01, 0x2C}, 0x8102, {0x01}, {0x01, 0x01, 0x2C}},  // 300 %
        {0x0201, {0x01}, 0x8201, {}, {0x01}},
        {0x0202, {0x17, 0x70}, 0x8202, {}, {0x17, 0x70}},  // 6000 ms
        {0x0301, {0x13, 0x88}, 0x8301, {}, {0x13, 0x88}},
        {0x0302, {0x03, 0x00, 0x64}, 0x8302, {0x03}, {0x03, 0x00, 0x64}},
        {0x0401, {0x07}, 0x8401, {}, {0x07}},
        {0x0402, {0x01, 0xF4}, 0x8402, {}, {0x01, 0xF4}},
        {0x0403, {0x00, 0x0A}, 0x8403, {}, {0x00, 0x0A}},
        {0x0404, {0xFF, 0xFF}, 0x8404, {}, {0xFF, 0xFF}},
        {0x0405, {0xC8}, 0x8405, {}, {0xC8}},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(::testing::Message() << std::hex << "write 0x" << r.writeCmd);
        EXPECT_EQ(send(r.writeCmd, r.writePayload), SimRequestKind::Write);
        EXPECT_EQ(ans.frameCount, 0);  // writes are not answered
        EXPECT_EQ(read(r.readCmd, r.readPayload), frameOf(r.readCmd, r.answer));
    }

    EXPECT_EQ(send(0x0406, {}), SimRequestKind::Write);
    EXPECT_EQ(send(0x0406, {}), SimRequestKind::Write);
    EXPECT_EQ(ans.frameCount, 0);

    const SimDeviceState s = dev.state();
    EXPECT_EQ(s.workMode, 4);
    EXPECT_EQ(s.globalEnable, 2);
    EXPECT_EQ(s.ledChecked[2], 1);
    EXPECT_EQ(s.ledBrightness[1], 300);
    EXPECT_EQ(s.ttlOutputEnable, 1);
    EXPECT_EQ(s.ttlDelayMs, 6000);
    EXPECT_EQ(s.edgeDelayMs, 5000);
    EXPECT_EQ(s.edgePulseMs[3], 100);
    EXPECT_EQ(s.trigOutputEnable, 7);
    EXPECT_EQ(s.trigDelayMs, 500);
    EXPECT_EQ(s.trigHighMs, 10);
    EXPECT_EQ(s.trigLowMs, 0xFFFF);
    EXPECT_EQ(s.trigPulseNum, 200);
    EXPECT_EQ(s.triggerCount, 2u);
    // Channel writes touch their own channel only.
    EXPECT_EQ(s.ledChecked[0] + s.ledChecked[1] + s.ledChecked[3], 0);
    EXPECT_EQ(s.ledBrightness[0] + s.ledBrightness[2] + s.ledBrightness[3], 0);
    EXPECT_EQ(s.edgePulseMs[0] + s.edgePulseMs[1] + s.edgePulseMs[2], 0);
}

TEST_F(SimDeviceTest, IdentityAndTemperatureReads) {
    SimDevice eight(0xFFAA0800u, 0x12345678u, t0);
    SimAnswer a;
    ASSERT_EQ(eight.handle(request(0xFF00, {}), t0, &a), SimRequestKind::Read);
    EXPECT_EQ(sent(a, 0), frameOf(0xFF00, {0xFF, 0xAA, 0x08, 0x00}));
    ASSERT_EQ(eight.handle(request(0xFE00, {}), t0, &a), SimRequestKind::Read);
    EXPECT_EQ(sent(a, 0), frameOf(0xFE00, {0x12, 0x34, 0x56, 0x78}));
    EXPECT_EQ(read(0xFE00, {}), frameOf(0xFE00, {0x00, 0x01, 0x02, 0x03}));
    EXPECT_EQ(read(0xFF00, {}), Bytes({0x55, 0xAA, 0xFF, 0x00, 0x04, 0xFF, 0xAA, 0x04, 0x00, 0xB0, 0xFA}));

    dev.setFixedTemperature(2, 25.0f, true);
    dev.setFixedTemperature(1, -2.0f, false);
    EXPECT_EQ(read(0x9000, {0x02}), Bytes({0x55, 0xAA, 0x90, 0x00, 0x04, 0x02, 0x09, 0xC4, 0x01, 0x64, 0xFA}));
    EXPECT_EQ(read(0x9000, {0x01}), frameOf(0x9000, {0x01, 0xFF, 0x38, 0x00}));
    EXPECT_EQ(read(0x9001, {0x02}), frameOf(0x9001, {0x02, 0x09, 0xC4}));
    EXPECT_EQ(read(0x9002, {0x02}), frameOf(0x9002, {0x02, 0x01}));
    EXPECT_EQ(read(0x9002, {0x01}), frameOf(0x9002, {0x01, 0x00}));
}

// Codes outside the plan, and requests too short for their code or naming a
// channel the source lacks, change nothing and get no answer.
TEST_F(SimDeviceTest, UnknownAndMalformedRequestsAreIgnored) {
    struct Row {
        uint16_t cmd;
        Bytes payload;
        SimRequestKind kind;
    };
    const Row rows[] = {
        {0x0000, {}, SimRequestKind::Unknown},
        {0x0003, {0x01}, SimRequestKind::Unknown},
        {0x8406, {}, SimRequestKind::Unknown},  // the trigger has no read
        {0x8003, {}, SimRequestKind::Unknown},
        {0x9003, {0x00}, SimRequestKind::Unknown},
        {0xFFFF, {}, SimRequestKind::Unknown},
        {0xC001, {}, SimRequestKind::Unknown},
        {0x0001, {}, SimRequestKind::Malformed},
        {0x0102, {0x00, 0x64}, SimRequestKind::Malformed},
        {0x0102, {0x04, 0x00, 0x64}, SimRequestKind::Malformed},
        {0x0302, {0xFF, 0x00, 0x64}, SimRequestKind::Malformed},
        {0x0202, {0x01}, SimRequestKind::Malformed},
        {0x8101, {}, SimRequestKind::Malformed},
        {0x8102, {0x04}, SimRequestKind::Malformed},
        {0x9000, {0xFF}, SimRequestKind::Malformed},
        {0x9001, {}, SimRequestKind::Malformed},
    };
    const SimDeviceState before = dev.state();
    for (const Row &r : rows) {
        SCOPED_TRACE(::testing::Message() << std::hex << "cmd 0x" << r.cmd);
        EXPECT_EQ(send(r.cmd, r.payload), r.kind);
        EXPECT_EQ(ans.frameCount, 0);
        EXPECT_FALSE(ans.dropped);
    }
    EXPECT_EQ(std::memcmp(&before, &dev.state(), sizeof before), 0);
    // A longer payload than the code needs is still served.
    EXPECT_EQ(read(0x8001, {0x09, 0x09}), frameOf(0x8001, {0x00}));
}

TEST_F(SimDeviceTest, AnswerFaultsShapeTheFrames) {
    SimDeviceState s;
    s.ledBrightness[1] = 100;
    s.workMode = 3;
    dev.setState(s);
    struct Row {
        const char *name;
        SimFaults faults;
        uint16_t cmd;
        Bytes payload;
        std::vector<Bytes> frames;
    };
    SimFaults silent, wrongId, wrongLen, badSum, twice, wrongCode;
    silent.silent = true;
    wrongId.wrongLedId = true;
    wrongLen.wrongLength = true;
    badSum.badChecksum = true;
    twice.answerTwice = true;
    wrongCode.wrongCode = true;
    const Bytes good = frameOf(0x8102, {0x01, 0x00, 0x64});
    Bytes bad = good;
    bad[8] = static_cast<uint8_t>(bad[8] + 1);
    const Row rows[] = {
        {"none", SimFaults(), 0x8102, {0x01}, {good}},
        {"silent", silent, 0x8102, {0x01}, {}},
        {"wrong ledId", wrongId, 0x8102, {0x01}, {frameOf(0x8102, {0x02, 0x00, 0x64})}},
        {"wrong ledId wraps", wrongId, 0x8102, {0x03}, {frameOf(0x8102, {0x00, 0x00, 0x00})}},
        {"wrong ledId, no channel", wrongId, 0x8001, {}, {frameOf(0x8001, {0x03})}},
        {"wrong length", wrongLen, 0x8102, {0x01}, {frameOf(0x8102, {0x01, 0x00, 0x64, 0x00})}},
        {"bad checksum", badSum, 0x8102, {0x01}, {bad}},
        {"twice", twice, 0x8102, {0x01}, {good, good}},
        {"wrong code", wrongCode, 0x8102, {0x01}, {frameOf(0xC102, {0x01, 0x00, 0x64})}},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.name);
        dev.setFaults(r.faults);
        EXPECT_EQ(send(r.cmd, r.payload), SimRequestKind::Read);
        ASSERT_EQ(ans.frameCount, static_cast<int>(r.frames.size()));
        for (size_t k = 0; k < r.frames.size(); ++k) EXPECT_EQ(sent(ans, static_cast<int>(k)), r.frames[k]);
        // Writes are applied whatever the answer faults.
        EXPECT_EQ(send(0x0001, {0x02}), SimRequestKind::Write);
        EXPECT_EQ(dev.state().workMode, 2);
        EXPECT_EQ(send(0x0001, {0x03}), SimRequestKind::Write);
    }
}

TEST_F(SimDeviceTest, DropEveryNthAnswerCountsAnswersOnly) {
    SimFaults f;
    f.dropEvery = 3;
    dev.setFaults(f);
    std::vector<bool> dropped;
    for (int i = 0; i < 7; ++i) {
        send(0x0002, {0x01});  // writes have no answer and do not count
        send(0x8002, {});
        dropped.push_back(ans.dropped);
        EXPECT_EQ(ans.frameCount, ans.dropped ? 0 : 1);
    }
    EXPECT_EQ(dropped, std::vector<bool>({false, false, true, false, false, true, false}));
}

// Channel 0 lit at full brightness heads for 75.00 C with a 20 s time
// constant: 25 + 50 (1 - e^-t/20). Unlit, it cools back along 25 + T e^-t/20.
TEST_F(SimDeviceTest, TemperatureFollowsBrightnessWithHysteresis) {
    send(0x0101, {0x00, 0x01});
    send(0x0102, {0x00, 0x00, 0x64});
    send(0x0102, {0x01, 0x00, 0x64});  // channel 1 bright but not enabled

    struct Step {
        int atSec;
        int16_t centi;
        bool over;
    };
    // 20 s: 25 + 50 (1 - e^-1) = 56.61; 40 s: 68.23; 200 s: 75.00.
    const Step warming[] = {{0, 2500, false}, {20, 5661, false}, {40, 6823, true}, {200, 7500, true}};
    for (const Step &s : warming) {
        dev.tick(t0 + seconds(s.atSec));
        EXPECT_EQ(dev.temperature(0).centi, s.centi) << s.atSec;
        EXPECT_EQ(dev.temperature(0).overTemp, s.over) << s.atSec;
        EXPECT_EQ(dev.temperature(1).centi, 2500);
        EXPECT_FALSE(dev.temperature(1).overTemp);
    }

    // The global enable switches every channel off: from 75.00 C, 8 s later
    // 58.51 C (still in alarm: above 55.00), 11 s later 53.85 C (cleared).
    const auto off = t0 + seconds(200);
    send(0x0002, {0x00}, off);
    const Step cooling[] = {{8, 5851, true}, {11, 5385, false}, {200, 2500, false}};
    for (const Step &s : cooling) {
        dev.tick(off + seconds(s.atSec));
        EXPECT_EQ(dev.temperature(0).centi, s.centi) << s.atSec;
        EXPECT_EQ(dev.temperature(0).overTemp, s.over) << s.atSec;
    }
    // Below 60.00 C on the way up, the alarm stays down.
    EXPECT_EQ(read(0x9000, {0x00}), frameOf(0x9000, {0x00, 0x09, 0xC4, 0x00}));
}

TEST_F(SimDeviceTest, FixedTemperaturesStayExactlyAsSet) {
    dev.setFixedTemperature(0, 30.5f, true);   // alarm below the threshold, as set
    dev.setFixedTemperature(3, 400.0f, false);  // beyond the wire's range
    dev.setFixedTemperature(4, 99.0f, true);    // no such channel
    dev.setFixedTemperature(-1, 99.0f, true);
    send(0x0101, {0x01, 0x01});
    send(0x0102, {0x01, 0x00, 0x64});
    for (int sec : {0, 60, 3600}) {
        dev.tick(t0 + seconds(sec));
        EXPECT_EQ(dev.temperature(0).centi, 3050);
        EXPECT_TRUE(dev.temperature(0).overTemp);
        EXPECT_EQ(dev.temperature(1).centi, 2500);  // lit, but fixed
        EXPECT_FALSE(dev.temperature(1).overTemp);
        EXPECT_EQ(dev.temperature(3).centi, 32767);
        EXPECT_FALSE(dev.temperature(3).overTemp);
    }
    EXPECT_EQ(read(0x9000, {0x03}), frameOf(0x9000, {0x03, 0x7F, 0xFF, 0x00}));

    // Leaving fixed mode, the model carries on from the fixed values.
    dev.setFixedMode(false);
    dev.tick(t0 + seconds(3620));
    EXPECT_EQ(dev.temperature(1).centi, 5661);
}

TEST(SimParseFixedTemps, AcceptsOneToFourValuesWithOptionalAlarm) {
    SimTemperature t[kSimChannels];
    int n = 0;
    ASSERT_TRUE(SimParseFixedTemps("25.00,30.5,-2,70", t, &n));
    EXPECT_EQ(n, 4);
    EXPECT_EQ(t[0].centi, 2500);
    EXPECT_EQ(t[1].centi, 3050);
    EXPECT_EQ(t[2].centi, -200);
    EXPECT_EQ(t[3].centi, 7000);
    EXPECT_FALSE(t[0].overTemp || t[1].overTemp || t[2].overTemp);
    EXPECT_TRUE(t[3].overTemp);  // follows the 60.00 C threshold

    ASSERT_TRUE(SimParseFixedTemps("70:0,20:1", t, &n));
    EXPECT_EQ(n, 2);
    EXPECT_EQ(t[0].centi, 7000);
    EXPECT_FALSE(t[0].overTemp);
    EXPECT_EQ(t[1].centi, 2000);
    EXPECT_TRUE(t[1].overTemp);

    for (const char *bad : {"", "abc", "25,", ",25", "1,2,3,4,5", "25:2", "25;30", "nan", "25 ,30", "inf"}) {
        EXPECT_FALSE(SimParseFixedTemps(bad, t, &n)) << bad;
    }
    EXPECT_FALSE(SimParseFixedTemps(nullptr, t, &n));
}

TEST_F(SimDeviceTest, UnsolicitedFramesUseWriteCodesNoReadWaitsFor) {
    SimDeviceState s;
    s.workMode = 2;
    s.ledChecked[3] = 1;
    dev.setState(s);
    std::vector<Bytes> got;
    for (int i = 0; i < 7; ++i) {
        CmdPkg p;
        dev.nextUnsolicited(&p);
        EXPECT_EQ(p.cmd & 0x8000, 0);
        got.push_back(Bytes(p.data, p.data + p.len));
    }
    EXPECT_EQ(got, std::vector<Bytes>({{0x02}, {0x01}, {0x00, 0x00}, {0x01, 0x00}, {0x02, 0x00}, {0x03, 0x01}, {0x02}}));
}

}  // namespace
