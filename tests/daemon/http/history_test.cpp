// The temperature history: a ring that keeps the newest samples, answers a
// time window, and never grows past the size it was given.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "TemperatureHistory.h"

using namespace lightd;
using namespace lightd::http;
using nlohmann::json;

namespace {

DeviceState stateAt(float celsius, bool alarm = false) {
    DeviceState s;
    s.connected = true;
    for (auto &c : s.channels) c = {false, 0, 0, celsius, alarm, true};
    s.channels[3].temperatureKnown = false;
    return s;
}

std::vector<int64_t> times(const json &history) {
    std::vector<int64_t> out;
    for (const json &sample : history["samples"]) out.push_back(sample["time_ms"].get<int64_t>());
    return out;
}

}  // namespace

TEST(TemperatureHistory, CapacityCoversTenMinutesOfPollsWithinItsBounds) {
    const struct {
        unsigned pollMs;
        size_t capacity;
    } rows[] = {{1000, 602}, {200, 3002}, {50, 12002}, {1, 12002}, {0, 12002}, {3600000, 2}, {600001, 2}};
    for (const auto &row : rows) {
        EXPECT_EQ(TemperatureHistory::capacityFor(row.pollMs), row.capacity) << row.pollMs;
        EXPECT_EQ(TemperatureHistory(TemperatureHistory::capacityFor(row.pollMs)).capacity(), row.capacity);
    }
    EXPECT_EQ(TemperatureHistory(1000000).capacity(), TemperatureHistory::kMaxSamples);
}

TEST(TemperatureHistory, WrapsAroundKeepingTheNewestOldestFirst) {
    TemperatureHistory h(5);
    for (int i = 0; i < 13; ++i) h.record(1000 * i, stateAt(20.0f + i));
    ASSERT_EQ(h.size(), 5u);
    EXPECT_EQ(h.capacity(), 5u);
    for (size_t i = 0; i < h.size(); ++i) {
        EXPECT_EQ(h.at(i).timeMs, 1000 * int64_t(8 + i));
        EXPECT_FLOAT_EQ(h.at(i).temperature[0], 28.0f + i);
    }
}

TEST(TemperatureHistory, AnswersTheWindowAskedFor) {
    TemperatureHistory h(TemperatureHistory::capacityFor(1000));
    for (int i = 0; i <= 1200; ++i) h.record(1000 * i, stateAt(25.0f));
    const int64_t now = 1200 * 1000 + 400;
    EXPECT_EQ(times(historyToJson(h, now, 3)), (std::vector<int64_t>{1198000, 1199000, 1200000}));
    EXPECT_EQ(times(historyToJson(h, now, 600)).size(), 600u);
    EXPECT_EQ(times(historyToJson(h, 5000, 600)).size(), 0u) << "samples after `now` are left out";
    const json j = historyToJson(h, now, 1);
    EXPECT_EQ(j["now_ms"], now);
    EXPECT_EQ(j["seconds"], 1);
}

TEST(TemperatureHistory, UnknownAndDisconnectedAreNullNeverAnAlarm) {
    TemperatureHistory h(4);
    h.record(1, stateAt(61.257f, true));
    DeviceState lost = stateAt(61.0f, true);
    lost.connected = false;
    h.record(2, lost);
    const json j = historyToJson(h, 2, 600);
    EXPECT_EQ(j["samples"][0], json::parse(R"({"time_ms": 1, "connected": true,
        "temperature": [61.26, 61.26, 61.26, null], "over_temperature": [true, true, true, null]})"));
    EXPECT_EQ(j["samples"][1], json::parse(R"({"time_ms": 2, "connected": false,
        "temperature": [null, null, null, null], "over_temperature": [null, null, null, null]})"));
}
