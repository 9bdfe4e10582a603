#include "TemperatureHistory.h"

#include <algorithm>
#include <cmath>

#include <nlohmann/json.hpp>

namespace lightd::http {

size_t TemperatureHistory::capacityFor(unsigned pollMs) {
    const uint64_t polls = uint64_t{kMaxSeconds} * 1000 / std::max(pollMs, 1u) + 2;
    return static_cast<size_t>(std::min<uint64_t>(polls, kMaxSamples));
}

TemperatureHistory::TemperatureHistory(size_t capacity) : m_ring(std::clamp<size_t>(capacity, 2, kMaxSamples)) {}

void TemperatureHistory::record(int64_t timeMs, const DeviceState &state) {
    HistorySample &s = m_ring[m_next];
    s = HistorySample{};
    s.timeMs = timeMs;
    s.connected = state.connected;
    for (int i = 0; i < kChannelCount; ++i) {
        const ChannelState &c = state.channels[i];
        if (!state.connected || !c.temperatureKnown)
            continue;
        s.knownMask |= static_cast<uint8_t>(1u << i);
        if (c.overTemperature)
            s.alarmMask |= static_cast<uint8_t>(1u << i);
        s.temperature[i] = c.temperature;
    }
    m_next = (m_next + 1) % m_ring.size();
    m_count = std::min(m_count + 1, m_ring.size());
}

nlohmann::json historyToJson(const TemperatureHistory &history, int64_t nowMs, unsigned seconds) {
    using nlohmann::json;
    const int64_t since = nowMs - int64_t{seconds} * 1000;
    json samples = json::array();
    for (size_t i = 0; i < history.size(); ++i) {
        const HistorySample &s = history.at(i);
        if (s.timeMs < since || s.timeMs > nowMs)
            continue;
        json temperatures = json::array();
        json alarms = json::array();
        for (int c = 0; c < kChannelCount; ++c) {
            const bool known = (s.knownMask >> c) & 1u;
            temperatures.push_back(known ? json(std::round(double{s.temperature[c]} * 100.0) / 100.0) : json(nullptr));
            alarms.push_back(known ? json(((s.alarmMask >> c) & 1u) != 0) : json(nullptr));
        }
        samples.push_back({{"time_ms", s.timeMs},
                           {"connected", s.connected},
                           {"temperature", std::move(temperatures)},
                           {"over_temperature", std::move(alarms)}});
    }
    return {{"now_ms", nowMs}, {"seconds", seconds}, {"samples", std::move(samples)}};
}

}  // namespace lightd::http
