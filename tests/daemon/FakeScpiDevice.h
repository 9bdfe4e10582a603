// A device for SCPI sessions with no library behind it: it keeps a
// DeviceState, applies writes to it at once and records them.
#ifndef LIGHTD_TESTS_FAKE_SCPI_DEVICE_H
#define LIGHTD_TESTS_FAKE_SCPI_DEVICE_H

#include <vector>

#include "ScpiSession.h"

namespace lightd {

class FakeScpiDevice : public ScpiDevice {
public:
    FakeScpiDevice() {
        s.connected = true;
        s.model = 0xFFAA0400u;
        s.firmwareVersion = 0x00010203u;
        s.enabled = true;
        s.mode = 2;
        s.channels[0] = ChannelState{true, 40, 100, 31.5f, false, true};
        s.channels[1] = ChannelState{false, 0, 0, 25.0f, false, true};
        s.channels[2] = ChannelState{false, 7, 0, 61.25f, true, true};
        s.channels[3] = ChannelState{false, 0, 0, -2.0f, false, true};
        s.ttl.outputEnabled = true;
        s.ttl.delayMs = 250;
        s.edge.delayMs = 300;
        s.internal = {false, 10, 20, 30, 5};
    }

    const DeviceState &state() const override { return s; }

    void apply(std::vector<Setting> settings, Done done) override {
        for (const Setting &setting : settings) {
            applied.push_back(setting);
            if (!failWith.empty()) break;
            write(setting);
        }
        done(failWith.empty() ? Outcome{} : Outcome{Outcome::Status::DeviceFailed, failWith});
    }

    void trigger(Done done) override {
        ++triggers;
        done(failWith.empty() ? Outcome{} : Outcome{Outcome::Status::DeviceFailed, failWith});
    }

    void selfTest(Done done) override {
        ++selfTests;
        done(failWith.empty() ? Outcome{} : Outcome{Outcome::Status::DeviceFailed, failWith});
    }

    unsigned libraryVersion() const override { return 20100; }

    DeviceState s;
    std::vector<Setting> applied;
    int triggers = 0;
    int selfTests = 0;
    std::string failWith;  // nonempty: every write fails with this reason

private:
    void write(const Setting &w) {
        const bool on = w.value != 0;
        switch (w.field) {
        case Field::GlobalEnable: s.enabled = on; break;
        case Field::WorkMode: s.mode = static_cast<uint8_t>(w.value); break;
        case Field::ChannelEnable: s.channels[w.channel].enabled = on; break;
        case Field::Brightness: s.channels[w.channel].brightness = static_cast<uint16_t>(w.value); break;
        case Field::PulseWidth: s.channels[w.channel].pulseMs = static_cast<uint16_t>(w.value); break;
        case Field::TtlOutput: s.ttl.outputEnabled = on; break;
        case Field::TtlDelay: s.ttl.delayMs = static_cast<uint16_t>(w.value); break;
        case Field::EdgeDelay: s.edge.delayMs = static_cast<uint16_t>(w.value); break;
        case Field::InternalOutput: s.internal.outputEnabled = on; break;
        case Field::InternalDelay: s.internal.delayMs = static_cast<uint16_t>(w.value); break;
        case Field::InternalHigh: s.internal.highMs = static_cast<uint16_t>(w.value); break;
        case Field::InternalLow: s.internal.lowMs = static_cast<uint16_t>(w.value); break;
        case Field::InternalCount: s.internal.pulseCount = static_cast<uint8_t>(w.value); break;
        }
    }
};

inline bool operator==(const Setting &a, const Setting &b) {
    return a.field == b.field && a.channel == b.channel && a.value == b.value;
}

}  // namespace lightd

#endif
