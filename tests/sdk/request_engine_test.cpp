// The request engine and the handle family, over the caller-driven mode.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "fake_device.h"
#include "stdout_capture.h"

using Clock = std::chrono::steady_clock;

TEST(RequestEngine, ReplyPushedDuringTheSendIsTakenAtTheFirstPoll) {
    FakeDevice dev;
    dev.answerWith({0x02});
    int mode = -1;
    StdoutCapture capture;
    ASSERT_EQ(DALUSDK_GetWorkMode(dev.handle(), &mode), 0);
    EXPECT_EQ(capture.text(), "");
    EXPECT_EQ(mode, 2);
    ASSERT_EQ(dev.sendCount(), 1);
    EXPECT_EQ(dev.sent()[0], (Bytes{0x55, 0xAA, 0x80, 0x01, 0x00, 0x81, 0xFA}));
}

TEST(RequestEngine, SilentDeviceGetsFiveSendsAndATimeOutLine) {
    FakeDevice dev;
    int mode = 77;
    StdoutCapture capture;
    const auto start = Clock::now();
    EXPECT_EQ(DALUSDK_GetWorkMode(dev.handle(), &mode), -1);
    const auto elapsed = Clock::now() - start;
    auto lines = capture.lines();
    EXPECT_EQ(dev.sendCount(), 5);
    for (const Bytes &f : dev.sent()) EXPECT_EQ(f, dev.sent()[0]);
    EXPECT_EQ(mode, 77) << "a failed read leaves the output alone";
    // Five 100 ms windows: a lower bound, which a slow machine cannot break.
    EXPECT_GE(elapsed, std::chrono::milliseconds(500));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "[info ] <DOCMD_SendAndWaitRecvCmd> recv cmd(0x8001) timeout.");
    EXPECT_EQ(withoutLineNumber(lines[1]), "[error] <DOCMD_GetWorkMode:N> DOCMD_SendAndWaitRecvCmd, ret (-1) err!");
}

TEST(RequestEngine, FailedSendEndsTheRequestAtOnce) {
    FakeDevice dev;
    dev.onSend = [](const Bytes &, int) { return 7; };
    unsigned char enable = 9;
    StdoutCapture capture;
    EXPECT_EQ(DALUSDK_GetGlobalEnable(dev.handle(), &enable), -1);
    auto lines = capture.lines();
    EXPECT_EQ(dev.sendCount(), 1);
    EXPECT_EQ(enable, 9);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(withoutLineNumber(lines[0]), "[error] <DOCMD_SendAndWaitRecvCmd:N> SendBytes, ret (7) err!");
    EXPECT_EQ(withoutLineNumber(lines[1]), "[error] <DOCMD_GetGlobalEnable:N> DOCMD_SendAndWaitRecvCmd, ret (-1) err!");

    StdoutCapture writeCapture;
    EXPECT_EQ(DALUSDK_SetWorkMode(dev.handle(), 1), -1);
    lines = writeCapture.lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(withoutLineNumber(lines[0]), "[error] <DOCMD_SendPackage:N> SendBytes, ret (7) err!");
    EXPECT_EQ(withoutLineNumber(lines[1]), "[error] <DOCMD_SetWorkMode:N> DOCMD_SendPackage, ret (-1) err!");
}

TEST(RequestEngine, RecordsQueuedBeforeTheRequestAreForgotten) {
    FakeDevice dev;
    dev.push(frameOf(0x8001, {0x04}));  // unsolicited, with the very code asked for next
    dev.push(frameOf(0x0001, {}));      // a reply to an earlier write
    dev.answerWith({0x01});
    int mode = 0;
    ASSERT_EQ(DALUSDK_GetWorkMode(dev.handle(), &mode), 0);
    EXPECT_EQ(mode, 1);
}

TEST(RequestEngine, OtherCodesAreDroppedAndTheExpectedOneStillTaken) {
    FakeDevice dev;
    dev.onSend = [&](const Bytes &, int) {
        dev.push(frameOf(0x8002, {0x01}));
        dev.push(frameOf(0x9000, {0x00, 0x00, 0x00, 0x00}));
        dev.push(frameOf(0x8001, {0x03}));
        return 0;
    };
    int mode = 0;
    ASSERT_EQ(DALUSDK_GetWorkMode(dev.handle(), &mode), 0);
    EXPECT_EQ(mode, 3);
    EXPECT_EQ(dev.sendCount(), 1);
}

TEST(RequestEngine, LateReplyToAnEarlierSendCounts) {
    FakeDevice dev;
    std::atomic<bool> secondSend{false};
    dev.onSend = [&](const Bytes &, int index) {
        if (index == 1) secondSend = true;
        return 0;
    };
    std::thread lateDevice([&] {
        while (!secondSend) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        dev.push(frameOf(0x8001, {0x04}));
    });
    int mode = 0;
    EXPECT_EQ(DALUSDK_GetWorkMode(dev.handle(), &mode), 0);
    lateDevice.join();
    EXPECT_EQ(mode, 4);
    EXPECT_EQ(dev.sendCount(), 2);
}

TEST(RequestEngine, ReplyFromAnotherThreadWakesTheRequest) {
    FakeDevice dev;
    std::atomic<int> sends{0};
    dev.onSend = [&](const Bytes &, int) {
        ++sends;
        return 0;
    };
    std::thread rx([&] {
        while (sends == 0) std::this_thread::yield();
        dev.push(frameOf(0xFF00, {0xFF, 0xAA, 0x04, 0x00}));
    });
    unsigned int model = 0;
    EXPECT_EQ(DALUSDK_GetDeviceModel(dev.handle(), &model), 0);
    rx.join();
    EXPECT_EQ(model, 0xFFAA0400u);
    EXPECT_EQ(dev.sendCount(), 1);
}

TEST(HandleFamily, CreateDestroyPushAndVersion) {
    StdoutCapture capture;
    EXPECT_EQ(DALUSDK_CreateHandle2(nullptr, nullptr), nullptr);
    void *h = DALUSDK_CreateHandle2([](const unsigned char *, int, void *) { return 0; }, nullptr);
    ASSERT_NE(h, nullptr);
    const unsigned char bytes[] = {0x55};
    EXPECT_EQ(DALUSDK_PushRecvBytes(h, bytes, 0), 0);
    EXPECT_EQ(DALUSDK_PushRecvBytes(h, nullptr, 1), -1);
    EXPECT_EQ(DALUSDK_PushRecvBytes(h, bytes, -1), -1);
    EXPECT_EQ(DALUSDK_PushRecvBytes(nullptr, bytes, 1), -1);
    // DestroyHandle releases a caller-driven handle too (only what is present).
    EXPECT_EQ(DALUSDK_DestroyHandle(h), 0);
    EXPECT_EQ(DALUSDK_DestroyHandle(nullptr), -1);
    EXPECT_EQ(DALUSDK_DestroyHandle2(nullptr), -1);
    EXPECT_EQ(DALUSDK_CreateHandle(nullptr), nullptr);
    unsigned int version = 0;
    EXPECT_EQ(DALUSDK_GetSdkVersion(&version), 0);
    EXPECT_EQ(version, 20100u);
    EXPECT_EQ(DALUSDK_GetSdkVersion(nullptr), -1);

    std::vector<std::string> expected = {
        "[error] <DOCMD_Create2:N> Args err, sendCallback is null!",
        "[error] <DALUSDK_PushRecvBytes:N> buffer == null!",
        "[error] <DALUSDK_PushRecvBytes:N> -1 < 0 err!",
        "[error] <DALUSDK_PushRecvBytes:N> handle == null!",
        "[error] <DALUSDK_DestroyHandle:N> handle == null!",
        "[error] <DALUSDK_DestroyHandle2:N> handle == null!",
        "[error] <DALUSDK_CreateHandle:N> comName == null!",
        "[error] <DALUSDK_GetSdkVersion:N> version == null!",
    };
    auto lines = capture.lines();
    ASSERT_EQ(lines.size(), expected.size());
    for (size_t i = 0; i < lines.size(); ++i) EXPECT_EQ(withoutLineNumber(lines[i]), expected[i]);
}

TEST(HandleFamily, NullHandleIsReportedBeforeABadIndex) {
    StdoutCapture capture;
    EXPECT_EQ(DALUSDK_SetLedChecked(nullptr, 9, 1), -1);
    EXPECT_EQ(withoutLineNumber(capture.text()), "[error] <DALUSDK_SetLedChecked:N> handle == null!\n");
}
