// The last minutes of temperatures and alarms, for the web page's chart: a
// ring of fixed size, filled at every poll, so its memory is set once at
// start however long lightd runs.
#ifndef LIGHTD_HTTP_TEMPERATURE_HISTORY_H
#define LIGHTD_HTTP_TEMPERATURE_HISTORY_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "DeviceState.h"

namespace lightd::http {

struct HistorySample {
    int64_t timeMs = 0;  // Unix time
    bool connected = false;
    uint8_t knownMask = 0;  // bit i: channel i's temperature was read
    uint8_t alarmMask = 0;  // bit i: channel i over temperature
    std::array<float, kChannelCount> temperature{};
};

class TemperatureHistory {
public:
    static constexpr unsigned kMaxSeconds = 600;
    // Room for kMaxSeconds of polls every pollMs, within [2, kMaxSamples].
    static constexpr size_t kMaxSamples = 12002;
    static size_t capacityFor(unsigned pollMs);

    explicit TemperatureHistory(size_t capacity);

    void record(int64_t timeMs, const DeviceState &state);
    size_t size() const { return m_count; }
    size_t capacity() const { return m_ring.size(); }
    // The i-th oldest sample held.
    const HistorySample &at(size_t i) const { return m_ring[(m_next + m_ring.size() - m_count + i) % m_ring.size()]; }

private:
    std::vector<HistorySample> m_ring;
    size_t m_next = 0;
    size_t m_count = 0;
};

// GET /api/v1/history: the samples of the last `seconds` before nowMs,
// oldest first.
nlohmann::json historyToJson(const TemperatureHistory &history, int64_t nowMs, unsigned seconds);

}  // namespace lightd::http

#endif
