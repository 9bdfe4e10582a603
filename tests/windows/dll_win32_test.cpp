// DALU_LightKit.dll through its import library, against the virtual light
// source running natively on Linux on the far side of a socat pty pair, as
// scripts/test_windows.sh starts it:
//
//   lightsim --port <far end> --fixed-temps 25,30.5,-2,70
//
//   LIGHTKIT_WIN_DEVICE_PORT  the COM port whose far end lightsim serves
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "DALU_LightKit.h"
#include "stdout_capture.h"
#include "win_test_util.h"

namespace {

class LightSourceDevice : public ::testing::Test {
protected:
    void SetUp() override {
        const std::string port = portFromEnvironment("LIGHTKIT_WIN_DEVICE_PORT");
        if (port.empty()) GTEST_SKIP() << "needs LIGHTKIT_WIN_DEVICE_PORT; run scripts/test_windows.sh";
        m_handle = DALUSDK_CreateHandle(port.c_str());
        ASSERT_NE(m_handle, nullptr) << port;
    }
    void TearDown() override {
        if (m_handle != nullptr) {
            EXPECT_EQ(DALUSDK_DestroyHandle(m_handle), 0);
        }
    }
    void *m_handle = nullptr;
};

}  // namespace

TEST(LightKitDll, VersionNeedsNoDevice) {
    unsigned int version = 0;
    EXPECT_EQ(DALUSDK_GetSdkVersion(&version), 0);
    EXPECT_EQ(version, 20100u);
    StdoutCapture capture;
    EXPECT_EQ(DALUSDK_GetSdkVersion(nullptr), -1);
    EXPECT_EQ(withoutLineNumber(capture.text()), "[error] <DALUSDK_GetSdkVersion:N> version == null!\n");
}

TEST_F(LightSourceDevice, IdentityOfTheDefaultLightSource) {
    unsigned int model = 0, version = 0;
    EXPECT_EQ(DALUSDK_GetDeviceModel(m_handle, &model), 0);
    EXPECT_EQ(model, 0xFFAA0400u);
    EXPECT_EQ(DALUSDK_GetDeviceSofewareVersion(m_handle, &version), 0);
    EXPECT_EQ(version, 0x00010203u);
}

TEST_F(LightSourceDevice, EverySettingReadsBackWhatWasWritten) {
    void *h = m_handle;
    struct Case {
        std::string name;
        std::function<int()> set;
        std::function<int(unsigned *)> get;
        unsigned expected;
    };
    std::vector<Case> cases = {
        {"global enable off", [h] { return DALUSDK_SetGlobalEnable(h, 0); },
         [h](unsigned *v) { unsigned char b = 9; int r = DALUSDK_GetGlobalEnable(h, &b); *v = b; return r; }, 0},
        {"global enable on", [h] { return DALUSDK_SetGlobalEnable(h, 1); },
         [h](unsigned *v) { unsigned char b = 9; int r = DALUSDK_GetGlobalEnable(h, &b); *v = b; return r; }, 1},
        {"work mode sequence", [h] { return DALUSDK_SetWorkMode(h, 4); },
         [h](unsigned *v) { int m = -1; int r = DALUSDK_GetWorkMode(h, &m); *v = (unsigned)m; return r; }, 4},
        {"TTL output enable", [h] { return DALUSDK_ModeTtl_SetOutputEnable(h, 1); },
         [h](unsigned *v) { unsigned char b = 9; int r = DALUSDK_ModeTtl_GetOutputEnable(h, &b); *v = b; return r; }, 1},
        {"TTL delay", [h] { return DALUSDK_ModeTtl_SetDelayTime(h, 5000); },
         [h](unsigned *v) { unsigned short t = 0; int r = DALUSDK_ModeTtl_GetDelayTime(h, &t); *v = t; return r; }, 5000},
        {"edge delay", [h] { return DALUSDK_ModeEdge_SetDelayTime(h, 1234); },
         [h](unsigned *v) { unsigned short t = 0; int r = DALUSDK_ModeEdge_GetDelayTime(h, &t); *v = t; return r; }, 1234},
        {"trigger output enable", [h] { return DALUSDK_ModeTrigger_SetOutputEnable(h, 1); },
         [h](unsigned *v) { unsigned char b = 9; int r = DALUSDK_ModeTrigger_GetOutputEnable(h, &b); *v = b; return r; }, 1},
        {"trigger delay", [h] { return DALUSDK_ModeTrigger_SetDelayTime(h, 0); },
         [h](unsigned *v) { unsigned short t = 9; int r = DALUSDK_ModeTrigger_GetDelayTime(h, &t); *v = t; return r; }, 0},
        {"trigger high", [h] { return DALUSDK_ModeTrigger_SetHighTime(h, 256); },
         [h](unsigned *v) { unsigned short t = 0; int r = DALUSDK_ModeTrigger_GetHighTime(h, &t); *v = t; return r; }, 256},
        {"trigger low", [h] { return DALUSDK_ModeTrigger_SetLowTime(h, 255); },
         [h](unsigned *v) { unsigned short t = 0; int r = DALUSDK_ModeTrigger_GetLowTime(h, &t); *v = t; return r; }, 255},
        {"trigger pulses", [h] { return DALUSDK_ModeTrigger_SetPulseNum(h, 100); },
         [h](unsigned *v) { unsigned char n = 0; int r = DALUSDK_ModeTrigger_GetPulseNum(h, &n); *v = n; return r; }, 100},
    };
    // Per-channel settings, with values that differ per channel so that an
    // answer for the wrong channel shows.
    for (int led = 0; led < 4; ++led) {
        const unsigned char checked = (unsigned char)(led % 2);
        const unsigned short bright = (unsigned short)(led * 33);
        const unsigned short pulse = (unsigned short)(100 + led);
        cases.push_back({"LED " + std::to_string(led) + " checked", [h, led, checked] { return DALUSDK_SetLedChecked(h, led, checked); },
                         [h, led](unsigned *v) { unsigned char b = 9; int r = DALUSDK_GetLedChecked(h, led, &b); *v = b; return r; },
                         checked});
        cases.push_back({"LED " + std::to_string(led) + " brightness", [h, led, bright] { return DALUSDK_SetLedBrightness(h, led, bright); },
                         [h, led](unsigned *v) { unsigned short b = 0xFFFF; int r = DALUSDK_GetLedBrightness(h, led, &b); *v = b; return r; },
                         bright});
        cases.push_back({"LED " + std::to_string(led) + " edge pulse", [h, led, pulse] { return DALUSDK_ModeEdge_SetPulseTime(h, led, pulse); },
                         [h, led](unsigned *v) { unsigned short b = 0; int r = DALUSDK_ModeEdge_GetPulseTime(h, led, &b); *v = b; return r; },
                         pulse});
    }
    for (const Case &c : cases) {
        ASSERT_EQ(c.set(), 0) << c.name;
        unsigned value = 0xDEADBEEF;
        EXPECT_EQ(c.get(&value), 0) << c.name;
        EXPECT_EQ(value, c.expected) << c.name;
    }
    EXPECT_EQ(DALUSDK_ModeTrigger_OnTrigger(h), 0);
}

TEST_F(LightSourceDevice, TemperaturesAndAlarmsPerChannel) {
    struct {
        int ledId;
        float temp;
        unsigned char over;
    } cases[] = {{0, 25.0f, 0}, {1, 30.5f, 0}, {2, -2.0f, 0}, {3, 70.0f, 1}};
    for (const auto &c : cases) {
        float temp = 0;
        unsigned char over = 9;
        EXPECT_EQ(DALUSDK_GetLedTempStatus(m_handle, c.ledId, &temp, &over), 0) << c.ledId;
        EXPECT_FLOAT_EQ(temp, c.temp) << c.ledId;
        EXPECT_EQ(over, c.over) << c.ledId;
        float only = 0;
        EXPECT_EQ(DALUSDK_GetLedTempValue(m_handle, c.ledId, &only), 0) << c.ledId;
        EXPECT_FLOAT_EQ(only, c.temp) << c.ledId;
        unsigned char flag = 9;
        EXPECT_EQ(DALUSDK_GetLedTempOver(m_handle, c.ledId, &flag), 0) << c.ledId;
        EXPECT_EQ(flag, c.over) << c.ledId;
    }
}

TEST_F(LightSourceDevice, BadArgumentsNeverReachTheDevice) {
    struct Case {
        const char *line;
        std::function<int()> call;
    } cases[] = {
        {"[error] <DALUSDK_SetLedBrightness:N> 4 >= 4 err!", [this] { return DALUSDK_SetLedBrightness(m_handle, 4, 1); }},
        {"[error] <DALUSDK_SetLedBrightness:N> 101 out range (0 ~ 100) err!",
         [this] { return DALUSDK_SetLedBrightness(m_handle, 0, 101); }},
        {"[error] <DALUSDK_SetWorkMode:N> 5 >= 5 err!", [this] { return DALUSDK_SetWorkMode(m_handle, 5); }},
        {"[error] <DALUSDK_GetDeviceModel:N> model == null!", [this] { return DALUSDK_GetDeviceModel(m_handle, nullptr); }},
        {"[error] <DALUSDK_DestroyHandle:N> handle == null!", [] { return DALUSDK_DestroyHandle(nullptr); }},
    };
    for (const Case &c : cases) {
        StdoutCapture capture;
        EXPECT_EQ(c.call(), -1) << c.line;
        EXPECT_EQ(withoutLineNumber(capture.text()), std::string(c.line) + "\n");
    }
    // The link is still in step: the next read gets its own answer.
    unsigned int model = 0;
    EXPECT_EQ(DALUSDK_GetDeviceModel(m_handle, &model), 0);
    EXPECT_EQ(model, 0xFFAA0400u);
}
