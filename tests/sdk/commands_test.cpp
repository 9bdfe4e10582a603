// All 32 device commands from export to frame and back, over the
// caller-driven mode.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>

#include "fake_device.h"
#include "stdout_capture.h"

namespace {

struct WriteCase {
    const char *name;
    std::function<int(void *)> call;
    Bytes frame;
};

// Frames from the protocol's worked examples are spelled out; the rest are
// built by frameOf(), which sums independently of the library.
const WriteCase kWrites[] = {
    {"SetWorkMode 4", [](void *h) { return DALUSDK_SetWorkMode(h, 4); }, {0x55, 0xAA, 0x00, 0x01, 0x01, 0x04, 0x06, 0xFA}},
    {"SetGlobalEnable 2", [](void *h) { return DALUSDK_SetGlobalEnable(h, 2); }, frameOf(0x0002, {0x02})},
    {"SetLedChecked 1 1", [](void *h) { return DALUSDK_SetLedChecked(h, 1, 1); },
     {0x55, 0xAA, 0x01, 0x01, 0x02, 0x01, 0x01, 0x06, 0xFA}},
    {"SetLedChecked 3 0", [](void *h) { return DALUSDK_SetLedChecked(h, 3, 0); }, frameOf(0x0101, {0x03, 0x00})},
    {"SetLedBrightness 0 100", [](void *h) { return DALUSDK_SetLedBrightness(h, 0, 100); },
     {0x55, 0xAA, 0x01, 0x02, 0x03, 0x00, 0x00, 0x64, 0x6A, 0xFA}},
    {"SetLedBrightness 2 0", [](void *h) { return DALUSDK_SetLedBrightness(h, 2, 0); }, frameOf(0x0102, {0x02, 0, 0})},
    {"Ttl SetOutputEnable 1", [](void *h) { return DALUSDK_ModeTtl_SetOutputEnable(h, 1); }, frameOf(0x0201, {0x01})},
    {"Ttl SetDelayTime 5000", [](void *h) { return DALUSDK_ModeTtl_SetDelayTime(h, 5000); },
     {0x55, 0xAA, 0x02, 0x02, 0x02, 0x13, 0x88, 0xA1, 0xFA}},
    {"Ttl SetDelayTime 0", [](void *h) { return DALUSDK_ModeTtl_SetDelayTime(h, 0); }, frameOf(0x0202, {0, 0})},
    {"Edge SetDelayTime 300", [](void *h) { return DALUSDK_ModeEdge_SetDelayTime(h, 300); }, frameOf(0x0301, {0x01, 0x2C})},
    {"Edge SetPulseTime 3 100", [](void *h) { return DALUSDK_ModeEdge_SetPulseTime(h, 3, 100); },
     {0x55, 0xAA, 0x03, 0x02, 0x03, 0x03, 0x00, 0x64, 0x6F, 0xFA}},
    {"Trigger SetOutputEnable 0", [](void *h) { return DALUSDK_ModeTrigger_SetOutputEnable(h, 0); }, frameOf(0x0401, {0})},
    {"Trigger SetDelayTime 1", [](void *h) { return DALUSDK_ModeTrigger_SetDelayTime(h, 1); }, frameOf(0x0402, {0, 1})},
    {"Trigger SetHighTime 4999", [](void *h) { return DALUSDK_ModeTrigger_SetHighTime(h, 4999); },
     frameOf(0x0403, {0x13, 0x87})},
    {"Trigger SetLowTime 256", [](void *h) { return DALUSDK_ModeTrigger_SetLowTime(h, 256); }, frameOf(0x0404, {0x01, 0x00})},
    {"Trigger SetPulseNum 100", [](void *h) { return DALUSDK_ModeTrigger_SetPulseNum(h, 100); },
     {0x55, 0xAA, 0x04, 0x05, 0x01, 0x64, 0x6E, 0xFA}},
    {"Trigger OnTrigger", [](void *h) { return DALUSDK_ModeTrigger_OnTrigger(h); }, {0x55, 0xAA, 0x04, 0x06, 0x00, 0x0A, 0xFA}},
};

// A read: what it sends, what the device answers, and what the caller sees
// (rendered as text so that one table covers every output type).
struct ReadCase {
    const char *name;
    uint16_t cmd;
    Bytes request;  // request payload
    Bytes reply;    // answer payload (of the right length)
    std::function<int(void *, std::string *)> call;
    std::string expected;
};

std::string str(unsigned v) { return std::to_string(v); }
std::string str(unsigned short v) { return std::to_string(v); }
std::string str(unsigned char v) { return std::to_string(v); }
std::string str(float v) {
    char b[32];
    std::snprintf(b, sizeof b, "%.2f", v);
    return b;
}

const ReadCase kReads[] = {
    {"GetDeviceModel", 0xFF00, {}, {0x00, 0x00, 0x12, 0x34},
     [](void *h, std::string *o) { unsigned v = 0; int r = DALUSDK_GetDeviceModel(h, &v); *o = str(v); return r; }, "4660"},
    {"GetDeviceSofewareVersion", 0xFE00, {}, {0x12, 0x34, 0x56, 0x78},
     [](void *h, std::string *o) { unsigned v = 0; int r = DALUSDK_GetDeviceSofewareVersion(h, &v); *o = str(v); return r; },
     "305419896"},
    {"GetGlobalEnable 05", 0x8002, {}, {0x05},
     [](void *h, std::string *o) { unsigned char v = 9; int r = DALUSDK_GetGlobalEnable(h, &v); *o = str(v); return r; }, "1"},
    {"GetGlobalEnable 00", 0x8002, {}, {0x00},
     [](void *h, std::string *o) { unsigned char v = 9; int r = DALUSDK_GetGlobalEnable(h, &v); *o = str(v); return r; }, "0"},
    {"GetWorkMode unbounded", 0x8001, {}, {0x07},
     [](void *h, std::string *o) { int v = 0; int r = DALUSDK_GetWorkMode(h, &v); *o = str((unsigned)v); return r; }, "7"},
    {"GetWorkMode 255", 0x8001, {}, {0xFF},
     [](void *h, std::string *o) { int v = 0; int r = DALUSDK_GetWorkMode(h, &v); *o = str((unsigned)v); return r; }, "255"},
    {"GetLedChecked", 0x8101, {0x00}, {0x00, 0x07},
     [](void *h, std::string *o) { unsigned char v = 9; int r = DALUSDK_GetLedChecked(h, 0, &v); *o = str(v); return r; }, "1"},
    {"GetLedBrightness", 0x8102, {0x03}, {0x03, 0x00, 0x64},
     [](void *h, std::string *o) { unsigned short v = 0; int r = DALUSDK_GetLedBrightness(h, 3, &v); *o = str(v); return r; },
     "100"},
    {"GetLedBrightness above 100", 0x8102, {0x01}, {0x01, 0x01, 0x2C},
     [](void *h, std::string *o) { unsigned short v = 0; int r = DALUSDK_GetLedBrightness(h, 1, &v); *o = str(v); return r; },
     "300"},
    {"GetLedTempStatus 25.0 alarm", 0x9000, {0x02}, {0x02, 0x09, 0xC4, 0x01},
     [](void *h, std::string *o) {
         float t = 0; unsigned char s = 9; int r = DALUSDK_GetLedTempStatus(h, 2, &t, &s); *o = str(t) + "/" + str(s); return r;
     }, "25.00/1"},
    {"GetLedTempStatus -2.0", 0x9000, {0x02}, {0x02, 0xFF, 0x38, 0x00},
     [](void *h, std::string *o) {
         float t = 0; unsigned char s = 9; int r = DALUSDK_GetLedTempStatus(h, 2, &t, &s); *o = str(t) + "/" + str(s); return r;
     }, "-2.00/0"},
    {"GetLedTempValue", 0x9001, {0x01}, {0x01, 0x1B, 0x58},
     [](void *h, std::string *o) { float t = 0; int r = DALUSDK_GetLedTempValue(h, 1, &t); *o = str(t); return r; }, "70.00"},
    {"GetLedTempOver", 0x9002, {0x03}, {0x03, 0x80},
     [](void *h, std::string *o) { unsigned char v = 9; int r = DALUSDK_GetLedTempOver(h, 3, &v); *o = str(v); return r; }, "1"},
    {"Ttl GetOutputEnable", 0x8201, {}, {0x02},
     [](void *h, std::string *o) { unsigned char v = 9; int r = DALUSDK_ModeTtl_GetOutputEnable(h, &v); *o = str(v); return r; },
     "1"},
    {"Ttl GetDelayTime", 0x8202, {}, {0x13, 0x88},
     [](void *h, std::string *o) { unsigned short v = 0; int r = DALUSDK_ModeTtl_GetDelayTime(h, &v); *o = str(v); return r; },
     "5000"},
    {"Edge GetDelayTime", 0x8301, {}, {0xFF, 0xFF},
     [](void *h, std::string *o) { unsigned short v = 0; int r = DALUSDK_ModeEdge_GetDelayTime(h, &v); *o = str(v); return r; },
     "65535"},
    {"Edge GetPulseTime", 0x8302, {0x01}, {0x01, 0x00, 0x0A},
     [](void *h, std::string *o) {
         unsigned short v = 0; int r = DALUSDK_ModeEdge_GetPulseTime(h, 1, &v); *o = str(v); return r;
     }, "10"},
    {"Trigger GetOutputEnable", 0x8401, {}, {0x00},
     [](void *h, std::string *o) {
         unsigned char v = 9; int r = DALUSDK_ModeTrigger_GetOutputEnable(h, &v); *o = str(v); return r;
     }, "0"},
    {"Trigger GetDelayTime", 0x8402, {}, {0x01, 0xF4},
     [](void *h, std::string *o) { unsigned short v = 0; int r = DALUSDK_ModeTrigger_GetDelayTime(h, &v); *o = str(v); return r; },
     "500"},
    {"Trigger GetHighTime", 0x8403, {}, {0x00, 0x01},
     [](void *h, std::string *o) { unsigned short v = 0; int r = DALUSDK_ModeTrigger_GetHighTime(h, &v); *o = str(v); return r; },
     "1"},
    {"Trigger GetLowTime", 0x8404, {}, {0x10, 0x00},
     [](void *h, std::string *o) { unsigned short v = 0; int r = DALUSDK_ModeTrigger_GetLowTime(h, &v); *o = str(v); return r; },
     "4096"},
    {"Trigger GetPulseNum unbounded", 0x8405, {}, {0xC8},
     [](void *h, std::string *o) { unsigned char v = 0; int r = DALUSDK_ModeTrigger_GetPulseNum(h, &v); *o = str(v); return r; },
     "200"},
};

// The DOCMD_ function that reports a read's failures: the export's name
// with DOCMD_ in place of DALUSDK_.
std::string internalName(const char *caseName) {
    std::string n = caseName;
    n = n.substr(0, n.find(' '));
    static const std::pair<const char *, const char *> modes[] = {
        {"Ttl", "ModeTtl_"}, {"Edge", "ModeEdge_"}, {"Trigger", "ModeTrigger_"}};
    std::string rest = std::string(caseName).substr(n.size() + (std::string(caseName).size() > n.size() ? 1 : 0));
    for (auto &m : modes)
        if (n == m.first) return "DOCMD_" + std::string(m.second) + rest.substr(0, rest.find(' '));
    return "DOCMD_" + n;
}

}  // namespace

TEST(DeviceCommands, EveryWriteSendsItsFrameOnceAndWaitsForNothing) {
    for (const WriteCase &c : kWrites) {
        FakeDevice dev;
        StdoutCapture capture;
        EXPECT_EQ(c.call(dev.handle()), 0) << c.name;
        EXPECT_EQ(capture.text(), "") << c.name;
        ASSERT_EQ(dev.sendCount(), 1) << c.name;
        EXPECT_EQ(dev.sent()[0], c.frame) << c.name;
    }
}

TEST(DeviceCommands, EveryReadSendsItsRequestAndDecodesTheReply) {
    for (const ReadCase &c : kReads) {
        FakeDevice dev;
        dev.answerWith(c.reply);
        std::string out;
        StdoutCapture capture;
        EXPECT_EQ(c.call(dev.handle(), &out), 0) << c.name;
        EXPECT_EQ(capture.text(), "") << c.name;
        EXPECT_EQ(out, c.expected) << c.name;
        ASSERT_EQ(dev.sendCount(), 1) << c.name;
        EXPECT_EQ(dev.sent()[0], frameOf(c.cmd, c.request)) << c.name;
    }
}

TEST(DeviceCommands, ReplyOfTheWrongLengthFailsAndWritesNoOutput) {
    for (const ReadCase &c : kReads) {
        for (int delta : {-1, +1}) {
            if (c.reply.size() == 1 && delta < 0) continue;  // an empty reply is covered by +1 of others
            Bytes reply = c.reply;
            if (delta > 0) reply.push_back(0x00);
            else reply.pop_back();
            FakeDevice dev;
            dev.answerWith(reply);
            std::string out;
            StdoutCapture capture;
            EXPECT_EQ(c.call(dev.handle(), &out), -1) << c.name;
            auto lines = capture.lines();
            ASSERT_EQ(lines.size(), 1u) << c.name;
            char expected[160];
            std::snprintf(expected, sizeof expected, "[error] <%s:N> recvpkg.len (%d != %d) err!",
                          internalName(c.name).c_str(), (int)reply.size(), (int)c.reply.size());
            EXPECT_EQ(withoutLineNumber(lines[0]), expected) << c.name;
            // The output keeps the value the caller preset (see the lambdas).
            EXPECT_TRUE(out == "0" || out == "9" || out == "0.00" || out == "0.00/9") << c.name << ": " << out;
        }
    }
}

TEST(DeviceCommands, EchoMismatchWritesOnlyTheOutputsBeforeTheTest) {
    struct Case {
        const char *name;
        std::function<int(void *, std::string *)> call;
        uint16_t cmd;
        Bytes reply;
        std::string expectedOut;
        int requested, received;
    } cases[] = {
        {"DOCMD_GetLedTempStatus",
         [](void *h, std::string *o) {
             float t = 1.5f; unsigned char s = 0; int r = DALUSDK_GetLedTempStatus(h, 2, &t, &s); *o = str(t) + "/" + str(s);
             return r;
         },
         0x9000, {0x01, 0x09, 0xC4, 0x01}, "1.50/1", 2, 1},
        {"DOCMD_GetLedTempValue",
         [](void *h, std::string *o) { float t = 1.5f; int r = DALUSDK_GetLedTempValue(h, 0, &t); *o = str(t); return r; },
         0x9001, {0x03, 0x09, 0xC4}, "1.50", 0, 3},
        {"DOCMD_GetLedChecked",
         [](void *h, std::string *o) { unsigned char v = 0; int r = DALUSDK_GetLedChecked(h, 1, &v); *o = str(v); return r; },
         0x8101, {0x00, 0x01}, "1", 1, 0},
        {"DOCMD_GetLedBrightness",
         [](void *h, std::string *o) { unsigned short v = 0; int r = DALUSDK_GetLedBrightness(h, 1, &v); *o = str(v); return r; },
         0x8102, {0x02, 0x00, 0x2A}, "42", 1, 2},
        {"DOCMD_GetLedTempOver",
         [](void *h, std::string *o) { unsigned char v = 0; int r = DALUSDK_GetLedTempOver(h, 3, &v); *o = str(v); return r; },
         0x9002, {0x00, 0x01}, "1", 3, 0},
        {"DOCMD_ModeEdge_GetPulseTime",
         [](void *h, std::string *o) { unsigned short v = 0; int r = DALUSDK_ModeEdge_GetPulseTime(h, 1, &v); *o = str(v); return r; },
         0x8302, {0x02, 0x00, 0x0A}, "10", 1, 2},
    };
    for (const Case &c : cases) {
        FakeDevice dev;
        dev.answerWith(c.reply);
        std::string out;
        StdoutCapture capture;
        EXPECT_EQ(c.call(dev.handle(), &out), -1) << c.name;
        EXPECT_EQ(out, c.expectedOut) << c.name;
        char expected[160];
        std::snprintf(expected, sizeof expected, "[error] <%s:N> Received ID not matched, value (%d != %d) err!\n", c.name,
                      c.requested, c.received);
        EXPECT_EQ(withoutLineNumber(capture.text()), expected) << c.name;
    }
}

TEST(DeviceCommands, ArgumentChecksRunInOrderAndSendNothing) {
    struct Case {
        std::function<int(void *)> call;
        const char *line;
    } cases[] = {
        {[](void *h) { return DALUSDK_SetWorkMode(h, 5); }, "[error] <DALUSDK_SetWorkMode:N> 5 >= 5 err!"},
        {[](void *h) { return DALUSDK_SetWorkMode(h, -1); }, "[error] <DALUSDK_SetWorkMode:N> 4294967295 >= 5 err!"},
        {[](void *h) { return DALUSDK_SetLedChecked(h, 4, 1); }, "[error] <DALUSDK_SetLedChecked:N> 4 >= 4 err!"},
        {[](void *h) { return DALUSDK_SetLedChecked(h, -2, 1); }, "[error] <DALUSDK_SetLedChecked:N> 4294967294 >= 4 err!"},
        {[](void *h) { return DALUSDK_SetLedBrightness(h, 0, 101); },
         "[error] <DALUSDK_SetLedBrightness:N> 101 out range (0 ~ 100) err!"},
        {[](void *h) { return DALUSDK_ModeTtl_SetDelayTime(h, 5001); },
         "[error] <DALUSDK_ModeTtl_SetDelayTime:N> 5001 out range (0 ~ 5000) err!"},
        {[](void *h) { return DALUSDK_ModeEdge_SetPulseTime(h, 4, 60000); }, "[error] <DALUSDK_ModeEdge_SetPulseTime:N> 4 >= 4 err!"},
        {[](void *h) { return DALUSDK_ModeTrigger_SetPulseNum(h, 101); },
         "[error] <DALUSDK_ModeTrigger_SetPulseNum:N> 101 out range (0 ~ 100) err!"},
        {[](void *h) { return DALUSDK_GetLedTempStatus(h, 1, nullptr, nullptr); }, "[error] <DALUSDK_GetLedTempStatus:N> temp == null!"},
        {[](void *h) { float t; return DALUSDK_GetLedTempStatus(h, 1, &t, nullptr); },
         "[error] <DALUSDK_GetLedTempStatus:N> status == null!"},
        {[](void *h) { return DALUSDK_GetGlobalEnable(h, nullptr); }, "[error] <DALUSDK_GetGlobalEnable:N> enable == null!"},
        {[](void *h) { return DALUSDK_ModeEdge_GetPulseTime(h, 7, nullptr); }, "[error] <DALUSDK_ModeEdge_GetPulseTime:N> 7 >= 4 err!"},
    };
    FakeDevice dev;
    for (const Case &c : cases) {
        StdoutCapture capture;
        EXPECT_EQ(c.call(dev.handle()), -1) << c.line;
        EXPECT_EQ(withoutLineNumber(capture.text()), std::string(c.line) + "\n");
    }
    EXPECT_EQ(dev.sendCount(), 0);
}
