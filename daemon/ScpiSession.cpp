#include "ScpiSession.h"

#include <cstdio>

namespace lightd {

using namespace scpi_error;
using namespace scpi_status;

namespace {

// A string as SCPI string data: in double quotes, inner quotes doubled,
// control characters as spaces.
std::string quoted(const std::string &text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '"') out += '"';
        out += static_cast<unsigned char>(c) < 0x20 ? ' ' : c;
    }
    return out + "\"";
}

// Takes as long for a near miss as for a far one.
bool constantTimeEqual(const std::string &given, const std::string &expected) {
    unsigned char diff = given.size() == expected.size() ? 0 : 1;
    for (size_t i = 0; i < expected.size(); ++i)
        diff |= static_cast<unsigned char>((i < given.size() ? given[i] : 0) ^ expected[i]);
    return diff == 0;
}

std::string settingAnswer(const DeviceState &s, Field field, int channel) {
    switch (field) {
    case Field::GlobalEnable: return s.enabled ? "1" : "0";
    case Field::WorkMode: {
        const char *name = scpiModeName(s.mode);
        return name != nullptr ? name : std::to_string(s.mode);
    }
    case Field::ChannelEnable: return s.channels[channel].enabled ? "1" : "0";
    case Field::Brightness: return std::to_string(s.channels[channel].brightness);
    case Field::PulseWidth: return std::to_string(s.channels[channel].pulseMs);
    case Field::TtlOutput: return s.ttl.outputEnabled ? "1" : "0";
    case Field::TtlDelay: return std::to_string(s.ttl.delayMs);
    case Field::EdgeDelay: return std::to_string(s.edge.delayMs);
    case Field::InternalOutput: return s.internal.outputEnabled ? "1" : "0";
    case Field::InternalDelay: return std::to_string(s.internal.delayMs);
    case Field::InternalHigh: return std::to_string(s.internal.highMs);
    case Field::InternalLow: return std::to_string(s.internal.lowMs);
    case Field::InternalCount: return std::to_string(s.internal.pulseCount);
    }
    return {};
}

std::string numberAnswer(const ScpiUnit &unit, const DeviceState &s) {
    switch (unit.limit) {
    case ScpiLimit::Minimum: return "0";
    case ScpiLimit::Maximum: return std::to_string(settingMaximum(unit.def->field));
    case ScpiLimit::Default: return std::to_string(settingDefault(unit.def->field));
    case ScpiLimit::Value: break;
    }
    return settingAnswer(s, unit.def->field, unit.channel);
}

// The library's 20100 as "2.1.0".
std::string libraryText(unsigned version) {
    return std::to_string(version / 10000) + "." + std::to_string(version / 100 % 100) + "." +
           std::to_string(version % 100);
}

// The ESR bit of an error's class: -1xx command, -2xx execution, -3xx
// device-dependent, -4xx query errors.
unsigned errorClassBit(int code) {
    if (code <= -100 && code > -200) return kCommandError;
    if (code <= -200 && code > -300) return kExecutionError;
    if (code <= -300 && code > -400) return kDeviceError;
    if (code <= -400 && code > -500) return kQueryError;
    return 0;
}

// The writes *RST needs from this state: what is on goes off, the mode goes
// to NORMal. Brightness, pulse widths and trigger timings are kept: they
// light nothing on their own. Output off first, so nothing lights on the way.
std::vector<Setting> resetWrites(const DeviceState &s) {
    std::vector<Setting> writes;
    if (s.enabled) writes.push_back({Field::GlobalEnable, -1, 0});
    for (int ch = 0; ch < kChannelCount; ++ch) {
        if (s.channels[ch].enabled) writes.push_back({Field::ChannelEnable, ch, 0});
    }
    if (s.ttl.outputEnabled) writes.push_back({Field::TtlOutput, -1, 0});
    if (s.internal.outputEnabled) writes.push_back({Field::InternalOutput, -1, 0});
    if (s.mode != static_cast<uint8_t>(WorkMode::Normal)) writes.push_back({Field::WorkMode, -1, 0});
    return writes;
}

}  // namespace

struct ScpiSession::Run {
    std::vector<ScpiUnit> units;
    size_t next = 0;
    std::string answers;
    std::function<void(std::string)> answered;
    std::vector<std::pair<int, std::string>> taken;  // by this line's SYSTem:ERRor? queries
    // Event bits this line's *ESR? and STATus...? queries read and cleared.
    unsigned esrTaken = 0;
    std::array<uint16_t, 3> eventsTaken{};
    // A failed *TST? queued the line's one error; this many were queued then.
    size_t selfTestErrors = 0;
    bool selfTestFailed = false;

    void answer(const std::string &text) {
        if (!answers.empty()) answers += ';';
        answers += text;
    }
};

ScpiSession::ScpiSession(ScpiDevice &device, std::string token)
    : m_device(device), m_token(std::move(token)), m_unlocked(m_token.empty()) {
    presetStatus();
    // Alarms already on when the client connects are news to it: events.
    updateStatus();
}

void ScpiSession::queueError(int code, const std::string &detail) {
    std::string text = scpiErrorText(code);
    if (!detail.empty()) text += ";" + detail;
    m_esr |= errorClassBit(code);
    if (m_errors.size() >= kErrorQueueSize) {
        m_errors.back() = {kQueueOverflow, scpiErrorText(kQueueOverflow)};
        m_esr |= kDeviceError;
        return;
    }
    m_errors.emplace_back(code, std::move(text));
}

void ScpiSession::updateStatus() {
    const DeviceState &s = m_device.state();
    uint16_t alarms = 0;
    for (int ch = 0; ch < kChannelCount; ++ch) {
        const ChannelState &c = s.channels[ch];
        if (s.connected && c.temperatureKnown && c.overTemperature) alarms |= static_cast<uint16_t>(1u << ch);
    }
    ScpiStatusRegister &temperature = m_status[static_cast<size_t>(StatusRegister::Temperature)];
    temperature.setCondition(alarms);
    unsigned questionable = temperature.summary() ? kQuesTemperature : 0;
    if (!s.connected) questionable |= kQuesDeviceLost;
    m_status[static_cast<size_t>(StatusRegister::Questionable)].setCondition(static_cast<uint16_t>(questionable));
    // A trigger output runs when its mode is on with the output enabled.
    unsigned operation = 0;
    if (s.connected && s.enabled) {
        if (s.mode == static_cast<uint8_t>(WorkMode::Ttl) && s.ttl.outputEnabled) operation |= kOperTtlOutput;
        if (s.mode == static_cast<uint8_t>(WorkMode::Internal) && s.internal.outputEnabled)
            operation |= kOperInternalOutput;
    }
    m_status[static_cast<size_t>(StatusRegister::Operation)].setCondition(static_cast<uint16_t>(operation));
}

unsigned ScpiSession::statusByte(bool messageAvailable) const {
    unsigned stb = 0;
    if (!m_errors.empty()) stb |= kErrorQueue;
    if (m_status[static_cast<size_t>(StatusRegister::Questionable)].summary()) stb |= kQuestionableSummary;
    if (messageAvailable) stb |= kMessageAvailable;
    if ((m_esr & m_ese) != 0) stb |= kEventSummary;
    if (m_status[static_cast<size_t>(StatusRegister::Operation)].summary()) stb |= kOperationSummary;
    if ((stb & m_sre) != 0) stb |= kRequestService;
    return stb;
}

// STATus:PRESet: the top registers report nothing until enabled; the
// temperature register passes every alarm up to QUEStionable.
void ScpiSession::presetStatus() {
    for (ScpiStatusRegister &r : m_status) {
        r.enable = 0;
        r.positive = 0x7FFF;
        r.negative = 0;
    }
    m_status[static_cast<size_t>(StatusRegister::Temperature)].enable = (1u << kChannelCount) - 1;
}

std::string ScpiSession::nextError() {
    if (m_errors.empty()) return "0,\"No error\"";
    auto error = std::move(m_errors.front());
    m_errors.pop_front();
    return std::to_string(error.first) + "," + quoted(error.second);
}

void ScpiSession::execute(std::string_view line, std::function<void(std::string)> answered) {
    auto run = std::make_shared<Run>();
    run->units = parseScpiLine(line);
    run->answered = std::move(answered);
    updateStatus();
    for (const ScpiUnit &unit : run->units) {
        if (unit.error != 0) {
            queueError(unit.error, unit.detail);
            fail(run);
            return;
        }
    }
    step(run);
}

void ScpiSession::step(const std::shared_ptr<Run> &run) {
    while (run->next < run->units.size()) {
        switch (runUnit(run, run->units[run->next++])) {
        case Step::Next: continue;
        case Step::Waiting: return;
        case Step::Failed: fail(run); return;
        }
    }
    auto answered = std::move(run->answered);
    answered(std::move(run->answers));
}

void ScpiSession::fail(const std::shared_ptr<Run> &run) {
    // The line answers nothing, so the errors its SYSTem:ERRor? queries took
    // go back to the front of the queue for the next query to find.
    // A failed *TST? already queued this line's one error.
    if (run->selfTestFailed && m_errors.size() > run->selfTestErrors) m_errors.pop_back();
    for (auto it = run->taken.rbegin(); it != run->taken.rend(); ++it) m_errors.push_front(std::move(*it));
    // Likewise the event bits its queries read.
    m_esr |= run->esrTaken;
    for (size_t r = 0; r < m_status.size(); ++r) m_status[r].event |= run->eventsTaken[r];
    if (m_errors.size() > kErrorQueueSize) {
        m_errors.resize(kErrorQueueSize);
        m_errors.back() = {kQueueOverflow, scpiErrorText(kQueueOverflow)};
    }
    auto answered = std::move(run->answered);
    answered(std::string());
}

bool ScpiSession::needConnection() {
    const DeviceState &s = m_device.state();
    if (s.connected) return true;
    queueError(kHardware, s.lastError.empty() ? "device not connected" : "device not connected: " + s.lastError);
    return false;
}

ScpiSession::Step ScpiSession::runUnit(const std::shared_ptr<Run> &run, const ScpiUnit &unit) {
    const DeviceState &s = m_device.state();
    // A write may start or stop a trigger output: the status registers see
    // each write's state before the next one is sent.
    auto resume = [this, run](const Outcome &outcome) {
        updateStatus();
        if (!outcome.ok()) {
            queueError(kHardware, outcome.reason);
            fail(run);
            return;
        }
        step(run);
    };
    switch (unit.def->command) {
    case ScpiCommand::Identify: {
        if (!needConnection()) return Step::Failed;
        // No serial number reaches the library: 0, as the standard allows.
        run->answer(std::string("DALU,") + modelName(s.model) + ",0," + firmwareText(s.firmwareVersion) + "/" +
                    libraryText(m_device.libraryVersion()));
        return Step::Next;
    }
    case ScpiCommand::ClearStatus:
        m_errors.clear();
        run->taken.clear();
        m_esr = 0;
        run->esrTaken = 0;
        for (ScpiStatusRegister &r : m_status) r.event = 0;
        run->eventsTaken.fill(0);
        updateStatus();
        return Step::Next;
    case ScpiCommand::OperationComplete:
        // Every earlier command of the connection has completed by now.
        if (unit.query) {
            run->answer("1");
        } else {
            m_esr |= kOperationComplete;
        }
        return Step::Next;
    case ScpiCommand::Wait:
        // Commands run one after the other: nothing is ever pending.
        return Step::Next;
    case ScpiCommand::Options:
        run->answer("LED385,LED480,LED550,LED640");
        return Step::Next;
    case ScpiCommand::EventEnable:
        if (unit.query) {
            run->answer(std::to_string(m_ese));
        } else {
            m_ese = unit.value;
        }
        return Step::Next;
    case ScpiCommand::EventRegister:
        run->answer(std::to_string(m_esr));
        run->esrTaken |= m_esr;
        m_esr = 0;
        return Step::Next;
    case ScpiCommand::RequestEnable:
        if (unit.query) {
            run->answer(std::to_string(m_sre));
        } else {
            m_sre = unit.value & ~kRequestService;  // bit 6 cannot be enabled
        }
        return Step::Next;
    case ScpiCommand::StatusByte:
        // MAV: this line's earlier answers wait to be sent with this one.
        updateStatus();
        run->answer(std::to_string(statusByte(!run->answers.empty())));
        return Step::Next;
    case ScpiCommand::StatusEvent: {
        updateStatus();
        const size_t r = static_cast<size_t>(unit.def->reg);
        run->answer(std::to_string(m_status[r].event));
        run->eventsTaken[r] |= m_status[r].event;
        m_status[r].event = 0;
        updateStatus();
        return Step::Next;
    }
    case ScpiCommand::StatusCondition:
        updateStatus();
        run->answer(std::to_string(m_status[static_cast<size_t>(unit.def->reg)].condition));
        return Step::Next;
    case ScpiCommand::StatusEnable:
    case ScpiCommand::StatusNegative:
    case ScpiCommand::StatusPositive: {
        ScpiStatusRegister &r = m_status[static_cast<size_t>(unit.def->reg)];
        uint16_t &bits = unit.def->command == ScpiCommand::StatusEnable     ? r.enable
                         : unit.def->command == ScpiCommand::StatusNegative ? r.negative
                                                                            : r.positive;
        if (unit.query) {
            run->answer(std::to_string(bits));
        } else {
            bits = static_cast<uint16_t>(unit.value);
            updateStatus();
        }
        return Step::Next;
    }
    case ScpiCommand::StatusPreset:
        presetStatus();
        updateStatus();
        return Step::Next;
    case ScpiCommand::ErrorNext:
        if (!m_errors.empty()) run->taken.push_back(m_errors.front());
        run->answer(nextError());
        return Step::Next;
    case ScpiCommand::ErrorCount:
        run->answer(std::to_string(m_errors.size()));
        return Step::Next;
    case ScpiCommand::ErrorAll: {
        if (m_errors.empty()) {
            run->answer(nextError());
            return Step::Next;
        }
        std::string all;
        while (!m_errors.empty()) {
            run->taken.push_back(m_errors.front());
            all += (all.empty() ? "" : ",") + nextError();
        }
        run->answer(all);
        return Step::Next;
    }
    case ScpiCommand::Reset: {
        if (!m_unlocked) {
            queueError(kCommandProtected, "send SYSTem:PASSword first");
            return Step::Failed;
        }
        if (!needConnection()) return Step::Failed;
        std::vector<Setting> writes = resetWrites(s);
        if (writes.empty()) return Step::Next;
        m_device.apply(std::move(writes), resume);
        return Step::Waiting;
    }
    case ScpiCommand::SelfTest: {
        auto finish = [this, run](const Outcome &outcome) {
            updateStatus();
            if (outcome.ok()) {
                run->answer("0");
            } else {
                if (!run->selfTestFailed) {
                    queueError(kSelfTestFailed, outcome.reason);
                    run->selfTestFailed = true;
                    run->selfTestErrors = m_errors.size();
                }
                run->answer("1");
            }
            step(run);
        };
        if (!s.connected) {
            finish(Outcome{Outcome::Status::NotConnected,
                           s.lastError.empty() ? "device not connected" : "device not connected: " + s.lastError});
            return Step::Waiting;
        }
        m_device.selfTest(finish);
        return Step::Waiting;
    }
    case ScpiCommand::Version:
        run->answer("1999.0");
        return Step::Next;
    case ScpiCommand::Password:
        if (m_token.empty() || constantTimeEqual(unit.text, m_token)) {
            m_unlocked = true;
        } else {
            queueError(kIllegalParameter, "wrong password");
            return Step::Failed;
        }
        return Step::Next;
    case ScpiCommand::Temperature:
    case ScpiCommand::Alarm: {
        if (!needConnection()) return Step::Failed;
        const ChannelState &c = s.channels[unit.channel];
        if (!c.temperatureKnown) {
            queueError(kHardware, "temperature not read yet");
            return Step::Failed;
        }
        if (unit.def->command == ScpiCommand::Alarm) {
            run->answer(c.overTemperature ? "1" : "0");
        } else {
            char text[32];
            std::snprintf(text, sizeof text, "%.2f", static_cast<double>(c.temperature));
            run->answer(text);
        }
        return Step::Next;
    }
    case ScpiCommand::Setting:
        if (unit.query) {
            if (unit.limit != ScpiLimit::Value) {
                run->answer(numberAnswer(unit, s));
                return Step::Next;
            }
            if (!needConnection()) return Step::Failed;
            run->answer(settingAnswer(s, unit.def->field, unit.channel));
            return Step::Next;
        }
        if (!m_unlocked) {
            queueError(kCommandProtected, "send SYSTem:PASSword first");
            return Step::Failed;
        }
        if (!needConnection()) return Step::Failed;
        m_device.apply({unit.setting()}, resume);
        return Step::Waiting;
    case ScpiCommand::Trigger:
        if (!m_unlocked) {
            queueError(kCommandProtected, "send SYSTem:PASSword first");
            return Step::Failed;
        }
        if (!needConnection()) return Step::Failed;
        m_device.trigger(resume);
        return Step::Waiting;
    }
    return Step::Next;
}

}  // namespace lightd
