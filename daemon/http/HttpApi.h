// The HTTP front end's translations, kept free of sockets so that they can be
// tested alone: the state document (StateJson.h, shared with lightctl) and
// the Prometheus text of /metrics.
#ifndef LIGHTD_HTTP_API_H
#define LIGHTD_HTTP_API_H

#include <array>
#include <cstdint>
#include <iterator>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "DeviceState.h"
#include "StateJson.h"

namespace lightd::http {

// The state document's translations, under the names the HTTP code uses.
using lightd::firmwareText;
using lightd::modeName;
using lightd::modelName;
using lightd::parsePatch;
using lightd::PatchResult;
using lightd::stateToJson;
using lightd::temperaturesToJson;

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

// {"error": message} as a compact JSON text.
std::string errorBody(const std::string &message);

}  // namespace lightd::http

#endif
