#include "ScpiSession.h"

#include <cstdio>

namespace lightd {

using namespace scpi_error;

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

}  // namespace

struct ScpiSession::Run {
    std::vector<ScpiUnit> units;
    size_t next = 0;
    std::string answers;
    std::function<void(std::string)> answered;
    std::vector<std::pair<int, std::string>> taken;  // by this line's SYSTem:ERRor? queries

    void answer(const std::string &text) {
        if (!answers.empty()) answers += ';';
        answers += text;
    }
};

ScpiSession::ScpiSession(ScpiDevice &device, std::string token)
    : m_device(device), m_token(std::move(token)), m_unlocked(m_token.empty()) {}

void ScpiSession::queueError(int code, const std::string &detail) {
    std::string text = scpiErrorText(code);
    if (!detail.empty()) text += ";" + detail;
    if (m_errors.size() >= kErrorQueueSize) {
        m_errors.back() = {kQueueOverflow, scpiErrorText(kQueueOverflow)};
        return;
    }
    m_errors.emplace_back(code, std::move(text));
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
    for (auto it = run->taken.rbegin(); it != run->taken.rend(); ++it) m_errors.push_front(std::move(*it));
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
    auto resume = [this, run](const Outcome &outcome) {
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
        char text[64];
        std::snprintf(text, sizeof text, "DALU,0x%08X,0,%u", static_cast<unsigned>(s.model),
                      static_cast<unsigned>(s.firmwareVersion));
        run->answer(text);
        return Step::Next;
    }
    case ScpiCommand::ClearStatus:
        m_errors.clear();
        run->taken.clear();
        return Step::Next;
    case ScpiCommand::OperationComplete:
        // Every earlier command of the connection has completed by now.
        if (unit.query) run->answer("1");
        return Step::Next;
    case ScpiCommand::ErrorNext:
        if (!m_errors.empty()) run->taken.push_back(m_errors.front());
        run->answer(nextError());
        return Step::Next;
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
