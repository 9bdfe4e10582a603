// DeviceService against the virtual light source over a pseudo-terminal:
// the full read at open, writes, the poll, a silent device, an unplug and a
// new pty at the same path.
#include <gtest/gtest.h>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>

#include "DeviceService.h"
#include "VirtualLightSource.h"
#include "daemon_test_util.h"

namespace {

using lightd::DeviceService;
using lightd::DeviceState;
using lightd::Field;
using lightd::Outcome;
using lightd::Setting;
using lightd_test::PortLink;

SimOptions fixedTemps() {
    SimOptions o;
    o.fixedTemps = true;
    return o;
}

class DeviceServiceTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(sim.start()) << sim.errorText();
        ASSERT_TRUE(link.pointTo(sim.portPath()));
    }

    void startService() {
        DeviceService::Options options;
        options.port = link.path();
        options.pollInterval = std::chrono::milliseconds(100);
        options.reopenInterval = std::chrono::milliseconds(100);
        service = std::make_unique<DeviceService>(loop, options);
        service->subscribe([this](DeviceService::Event event, const DeviceState &state) {
            if (event == DeviceService::Event::State) {
                ++stateEvents;
                lastStateEvent = state;
            }
            if (event == DeviceService::Event::Temperatures) ++pollEvents;
        });
        service->start();
    }

    // Runs the loop until pred holds (or the deadline passes).
    template <typename Pred>
    bool runUntil(Pred pred, int timeoutMs = 5000) {
        const auto end = lightd_test::Clock::now() + std::chrono::milliseconds(timeoutMs);
        while (!pred()) {
            if (lightd_test::Clock::now() > end) return false;
            loop.run_for(std::chrono::milliseconds(5));
        }
        return true;
    }

    Outcome applyAndWait(std::vector<Setting> settings) {
        bool done = false;
        Outcome result;
        service->apply(std::move(settings), [&](const Outcome &o) {
            result = o;
            done = true;
        });
        EXPECT_TRUE(runUntil([&] { return done; }));
        return result;
    }

    boost::asio::io_context loop;
    boost::asio::executor_work_guard<boost::asio::io_context::executor_type> work{loop.get_executor()};
    VirtualLightSource sim{fixedTemps()};
    PortLink link;
    std::unique_ptr<DeviceService> service;
    int stateEvents = 0;
    int pollEvents = 0;
    DeviceState lastStateEvent;
};

TEST_F(DeviceServiceTest, ReadsEverySettingAndTheTemperaturesWhenThePortOpens) {
    SimDeviceState preset;
    preset.workMode = 3;
    preset.globalEnable = 0;
    preset.ledChecked[2] = 1;
    preset.ledBrightness[1] = 42;
    preset.edgePulseMs[3] = 1234;
    preset.ttlOutputEnable = 1;
    preset.ttlDelayMs = 11;
    preset.edgeDelayMs = 22;
    preset.trigOutputEnable = 1;
    preset.trigDelayMs = 33;
    preset.trigHighMs = 44;
    preset.trigLowMs = 55;
    preset.trigPulseNum = 66;
    sim.setState(preset);
    sim.setFixedTemperature(1, 61.5f, true);

    startService();
    // The first State event already carries the temperatures, so no query
    // in between finds them unknown.
    ASSERT_TRUE(runUntil([&] { return stateEvents > 0; }));
    const DeviceState &s = lastStateEvent;
    EXPECT_TRUE(s.connected);
    EXPECT_EQ(s.port, link.path());
    EXPECT_EQ(s.model, 0xFFAA0400u);
    EXPECT_EQ(s.firmwareVersion, 0x00010203u);
    EXPECT_FALSE(s.enabled);
    EXPECT_EQ(s.mode, 3);
    EXPECT_TRUE(s.channels[2].enabled);
    EXPECT_FALSE(s.channels[0].enabled);
    EXPECT_EQ(s.channels[1].brightness, 42);
    EXPECT_EQ(s.channels[3].pulseMs, 1234);
    EXPECT_TRUE(s.ttl.outputEnabled);
    EXPECT_EQ(s.ttl.delayMs, 11);
    EXPECT_EQ(s.edge.delayMs, 22);
    EXPECT_TRUE(s.internal.outputEnabled);
    EXPECT_EQ(s.internal.delayMs, 33);
    EXPECT_EQ(s.internal.highMs, 44);
    EXPECT_EQ(s.internal.lowMs, 55);
    EXPECT_EQ(s.internal.pulseCount, 66);
    EXPECT_TRUE(s.channels[1].temperatureKnown);
    EXPECT_FLOAT_EQ(s.channels[1].temperature, 61.5f);
    EXPECT_TRUE(s.channels[1].overTemperature);
    EXPECT_FLOAT_EQ(s.channels[0].temperature, 25.0f);
    EXPECT_EQ(stateEvents, 1);
}

TEST_F(DeviceServiceTest, WritesReachTheDeviceInOrderAndUpdateTheCopy) {
    startService();
    ASSERT_TRUE(runUntil([&] { return service->state().connected; }));
    const int eventsBefore = stateEvents;
    const Outcome outcome = applyAndWait({{Field::GlobalEnable, -1, 0},
                                          {Field::WorkMode, -1, 2},
                                          {Field::ChannelEnable, 3, 1},
                                          {Field::Brightness, 3, 99},
                                          {Field::PulseWidth, 0, 5000},
                                          {Field::TtlOutput, -1, 1},
                                          {Field::TtlDelay, -1, 1},
                                          {Field::EdgeDelay, -1, 2},
                                          {Field::InternalOutput, -1, 1},
                                          {Field::InternalDelay, -1, 3},
                                          {Field::InternalHigh, -1, 4},
                                          {Field::InternalLow, -1, 5},
                                          {Field::InternalCount, -1, 100}});
    EXPECT_TRUE(outcome.ok()) << outcome.reason;
    EXPECT_EQ(stateEvents, eventsBefore + 1);  // one event for the whole batch

    const SimDeviceState d = sim.state();
    EXPECT_EQ(d.globalEnable, 0);
    EXPECT_EQ(d.workMode, 2);
    EXPECT_EQ(d.ledChecked[3], 1);
    EXPECT_EQ(d.ledBrightness[3], 99);
    EXPECT_EQ(d.edgePulseMs[0], 5000);
    EXPECT_EQ(d.ttlOutputEnable, 1);
    EXPECT_EQ(d.ttlDelayMs, 1);
    EXPECT_EQ(d.edgeDelayMs, 2);
    EXPECT_EQ(d.trigOutputEnable, 1);
    EXPECT_EQ(d.trigDelayMs, 3);
    EXPECT_EQ(d.trigHighMs, 4);
    EXPECT_EQ(d.trigLowMs, 5);
    EXPECT_EQ(d.trigPulseNum, 100);

    const DeviceState &s = service->state();
    EXPECT_FALSE(s.enabled);
    EXPECT_EQ(s.mode, 2);
    EXPECT_TRUE(s.channels[3].enabled);
    EXPECT_EQ(s.channels[3].brightness, 99);
    EXPECT_EQ(s.channels[0].pulseMs, 5000);
    EXPECT_EQ(s.internal.pulseCount, 100);
}

TEST_F(DeviceServiceTest, TriggerFiresOnce) {
    startService();
    ASSERT_TRUE(runUntil([&] { return service->state().connected; }));
    bool done = false;
    service->trigger([&](const Outcome &o) {
        EXPECT_TRUE(o.ok());
        done = true;
    });
    ASSERT_TRUE(runUntil([&] { return done; }));
    EXPECT_EQ(sim.state().triggerCount, 1u);
}

TEST_F(DeviceServiceTest, EachPollReadsFourTemperaturesAndNothingElse) {
    startService();
    ASSERT_TRUE(runUntil([&] { return pollEvents >= 1; }));
    sim.clearReceivedFrames();
    const int from = pollEvents;
    ASSERT_TRUE(runUntil([&] { return pollEvents >= from + 3; }));
    // Three polls finished; a fourth may have begun.
    const auto frames = sim.receivedFrames();
    EXPECT_GE(frames.size(), 12u);
    EXPECT_LT(frames.size(), 16u);
    for (const CmdPkg &f : frames) EXPECT_EQ(f.cmd, 0x9000) << std::hex << f.cmd;  // temperature and alarm
}

TEST_F(DeviceServiceTest, SilentDeviceDisconnectsWithTheLibraryReasonThenRecovers) {
    startService();
    ASSERT_TRUE(runUntil([&] { return service->state().connected; }));
    SimFaults silent;
    silent.silent = true;
    sim.setFaults(silent);
    ASSERT_TRUE(runUntil([&] { return !service->state().connected; }));
    EXPECT_NE(service->state().lastError.find("recv cmd(0x9000) timeout."), std::string::npos)
        << service->state().lastError;
    EXPECT_FALSE(service->state().channels[0].temperatureKnown);

    const Outcome refused = applyAndWait({{Field::Brightness, 0, 5}});
    EXPECT_EQ(refused.status, Outcome::Status::NotConnected);
    EXPECT_NE(refused.reason.find("device not connected"), std::string::npos);

    sim.setFaults(SimFaults{});
    ASSERT_TRUE(runUntil([&] { return service->state().connected; }, 10000));
    EXPECT_TRUE(service->state().lastError.empty());
    EXPECT_TRUE(applyAndWait({{Field::Brightness, 0, 5}}).ok());
    EXPECT_EQ(sim.state().ledBrightness[0], 5);
}

TEST_F(DeviceServiceTest, NewPtyAtTheSamePathIsOpenedAndReadAgain) {
    startService();
    ASSERT_TRUE(runUntil([&] { return service->state().connected; }));
    sim.stop();  // the adapter is pulled
    link.remove();
    ASSERT_TRUE(runUntil([&] { return !service->state().connected; }));
    EXPECT_FALSE(service->state().lastError.empty());

    SimDeviceState changed;
    changed.ledBrightness[0] = 77;
    changed.workMode = 4;
    sim.setState(changed);
    ASSERT_TRUE(sim.start()) << sim.errorText();
    ASSERT_TRUE(link.pointTo(sim.portPath()));
    ASSERT_TRUE(runUntil([&] { return service->state().connected; }, 10000));
    EXPECT_EQ(service->state().channels[0].brightness, 77);
    EXPECT_EQ(service->state().mode, 4);
}

TEST_F(DeviceServiceTest, AbsentPortIsRetriedWithoutSpinning) {
    link.remove();
    startService();
    ASSERT_TRUE(runUntil([&] { return stateEvents >= 1; }));
    EXPECT_FALSE(service->state().connected);
    EXPECT_NE(service->state().lastError.find("CreateFile"), std::string::npos) << service->state().lastError;
    // One attempt per reopen interval (100 ms): a handful in half a second, not thousands.
    const uint64_t before = service->counters().deviceCalls;
    const auto end = lightd_test::Clock::now() + std::chrono::milliseconds(500);
    runUntil([&] { return lightd_test::Clock::now() > end; });
    const uint64_t attempts = service->counters().deviceCalls - before;
    EXPECT_GE(attempts, 2u);
    EXPECT_LE(attempts, 7u);
    EXPECT_EQ(service->counters().deviceFailures, service->counters().deviceCalls);

    ASSERT_TRUE(link.pointTo(sim.portPath()));
    ASSERT_TRUE(runUntil([&] { return service->state().connected; }));
}

TEST_F(DeviceServiceTest, StopEndsTheThreadAndLaterCallsAreNotConnected) {
    startService();
    ASSERT_TRUE(runUntil([&] { return service->state().connected; }));
    service->stop();
    const Outcome outcome = applyAndWait({{Field::Brightness, 0, 5}});
    EXPECT_EQ(outcome.status, Outcome::Status::NotConnected);
    EXPECT_EQ(sim.state().ledBrightness[0], 0);
}

// *TST?'s device side: a fresh read, not the copy; the copy takes what it read.
TEST_F(DeviceServiceTest, SelfTestReadsTheDeviceAndFailsWhenItIsSilent) {
    startService();
    ASSERT_TRUE(runUntil([&] { return service->state().connected; }));
    sim.setFixedTemperature(2, 70.5f, true);
    struct Result {
        bool done = false;
        Outcome outcome;
        float temperature = 0.0f;
    };
    auto selfTest = [&] {
        Result r;
        service->selfTest([&](const Outcome &o) {
            r.done = true;
            r.outcome = o;
            r.temperature = service->state().channels[2].temperature;
        });
        EXPECT_TRUE(runUntil([&] { return r.done; }, 20000));
        return r;
    };
    const Result ok = selfTest();
    EXPECT_TRUE(ok.outcome.ok()) << ok.outcome.reason;
    EXPECT_FLOAT_EQ(ok.temperature, 70.5f);

    SimFaults silent;
    silent.silent = true;
    sim.setFaults(silent);
    const Result failed = selfTest();
    EXPECT_EQ(failed.outcome.status, Outcome::Status::DeviceFailed);
    EXPECT_NE(failed.outcome.reason.find("timeout."), std::string::npos) << failed.outcome.reason;
    EXPECT_FALSE(service->state().connected);
}

}  // namespace
