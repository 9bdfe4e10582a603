// The HTTP front end's translations, kept free of sockets so that they can be
// tested alone: the device state as JSON, a PATCH body as the ordered list of
// writes it asks for, and the Prometheus text of /metrics.
#ifndef LIGHTD_HTTP_API_H
#define LIGHTD_HTTP_API_H

#include <array>
#include <cstdint>
#include <iterator>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "DeviceState.h"

namespace lightd::http {

// "normal", "ttl", "edge", "internal", "sequence"; nullptr for other bytes.
const char *modeName(uint8_t mode);
// "4-colour", "8-colour" or "unknown", as lightctl and the Python package name them.
const char *modelName(uint32_t model);

// GET /api/v1/state and the "state" event.
nlohmann::json stateToJson(const DeviceState &state, unsigned sdkVersion);
// The "temperatures" event: index, temperature and over_temperature per channel.
nlohmann::json temperaturesToJson(const DeviceState &state);

// The result of reading a PATCH body. status 0: `settings` holds every write,
// in the order they are to be applied; otherwise the HTTP status (400 or 422)
// and the message for {"error": ...}.
struct PatchResult {
    int status = 0;
    std::string error;
    std::vector<Setting> settings;
};
// Every field is checked before any write is listed. Writes that switch
// something off go first and writes that switch something on go last, so a
// channel is never lit with the old brightness or mode on the way.
PatchResult parsePatch(const std::string &body);

// The status codes of the requests lightd counts (421 and 501 are only ever
// refusals of a header, which are not counted). /metrics lists each of them
// from the start, zeros included, so that a rate of any code is defined
// before its first request.
inline constexpr unsigned kHttpStatusCodes[] = {200, 400, 401, 403, 404, 405, 413, 422, 431, 500, 502, 503};

// Requests answered since start, by status code. Each request is counted
// once, with the status it was answered with; the sum is the total.
class HttpRequestCounts {
public:
    void add(unsigned code);
    // A listed code's count; 0 for any other code.
    uint64_t count(unsigned code) const;
    // Requests answered with a code not in kHttpStatusCodes.
    uint64_t other() const { return m_counts.back(); }
    uint64_t total() const;

private:
    std::array<uint64_t, std::size(kHttpStatusCodes) + 1> m_counts{};
};

// What /metrics reports besides the device state.
struct MetricsInput {
    uint64_t deviceCalls = 0;
    uint64_t deviceFailures = 0;
    uint64_t httpConnections = 0;   // open HTTP connections, event streams included
    uint64_t eventClients = 0;      // open event streams
    HttpRequestCounts httpRequests;
    int64_t scpiClients = -1;       // -1: not reported
};
std::string renderMetrics(const DeviceState &state, const MetricsInput &input);

// A label value as the Prometheus text format writes it: backslash, double
// quote and newline escaped.
std::string labelValue(const std::string &value);
// The device's version 0x00010203 as "1.2.3", as lightctl shows it.
std::string firmwareText(uint32_t version);

// {"error": message} as a compact JSON text.
std::string errorBody(const std::string &message);

}  // namespace lightd::http

#endif
