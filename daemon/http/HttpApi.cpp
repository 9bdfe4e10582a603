#include "HttpApi.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <iterator>
#include <numeric>

namespace lightd::http {

using nlohmann::json;

namespace {

void metricHeader(std::string &out, const char *name, const char *type, const char *help) {
    out += "# HELP ";
    out += name;
    out += ' ';
    out += help;
    out += "\n# TYPE ";
    out += name;
    out += ' ';
    out += type;
    out += '\n';
}

void sample(std::string &out, const char *name, const std::string &labels, const std::string &value) {
    out += name;
    if (!labels.empty())
        out += "{" + labels + "}";
    out += ' ';
    out += value;
    out += '\n';
}

std::string channelLabels(int index) {
    return "channel=\"" + std::to_string(index) + "\",name=\"" + kChannelNames[index] + "\"";
}

// The slot of a listed code; the last slot for any other.
size_t statusSlot(unsigned code) {
    const auto *it = std::find(std::begin(kHttpStatusCodes), std::end(kHttpStatusCodes), code);
    return static_cast<size_t>(it - std::begin(kHttpStatusCodes));
}

}  // namespace

void HttpRequestCounts::add(unsigned code) { ++m_counts[statusSlot(code)]; }

uint64_t HttpRequestCounts::count(unsigned code) const {
    const size_t slot = statusSlot(code);
    return slot < std::size(kHttpStatusCodes) ? m_counts[slot] : 0;
}

uint64_t HttpRequestCounts::total() const { return std::accumulate(m_counts.begin(), m_counts.end(), uint64_t{0}); }

std::string labelValue(const std::string &value) {
    std::string out;
    out.reserve(value.size());
    for (const char c : value) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '"')
            out += "\\\"";
        else if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
    return out;
}


std::string renderMetrics(const DeviceState &state, const MetricsInput &input) {
    std::string out;
    out.reserve(4096);
    auto num = [](uint64_t v) { return std::to_string(v); };
    auto flag = [](bool v) { return std::string(v ? "1" : "0"); };

    // The port, model and firmware as labels of a constant, so that a query
    // or an alert can join them onto any other series of the same target.
    // Before the first connection nothing is known of model and firmware.
    const bool identified = state.model != 0 || state.firmwareVersion != 0;
    metricHeader(out, "lightkit_device_info", "gauge", "The light source's port, model and firmware; always 1.");
    sample(out, "lightkit_device_info",
           "port=\"" + labelValue(state.port) + "\",model=\"" + modelName(state.model) + "\",firmware=\"" +
               (identified ? firmwareText(state.firmwareVersion) : std::string()) + "\"",
           "1");
    metricHeader(out, "lightkit_connected", "gauge", "Whether lightd has the light source open.");
    sample(out, "lightkit_connected", "", flag(state.connected));
    metricHeader(out, "lightkit_global_enabled", "gauge", "The light source's global enable.");
    sample(out, "lightkit_global_enabled", "", flag(state.enabled));
    metricHeader(out, "lightkit_work_mode", "gauge", "Work mode: 0 normal, 1 ttl, 2 edge, 3 internal, 4 sequence.");
    sample(out, "lightkit_work_mode", "", num(state.mode));

    metricHeader(out, "lightkit_channel_enabled", "gauge", "Channel enable.");
    for (int i = 0; i < kChannelCount; ++i)
        sample(out, "lightkit_channel_enabled", channelLabels(i), flag(state.channels[i].enabled));
    metricHeader(out, "lightkit_channel_brightness_percent", "gauge", "Channel brightness in percent.");
    for (int i = 0; i < kChannelCount; ++i)
        sample(out, "lightkit_channel_brightness_percent", channelLabels(i), num(state.channels[i].brightness));
    metricHeader(out, "lightkit_channel_temperature_celsius", "gauge",
                 "Channel temperature from the last poll; absent until polled.");
    for (int i = 0; i < kChannelCount; ++i) {
        if (!state.channels[i].temperatureKnown)
            continue;
        char text[32];
        std::snprintf(text, sizeof text, "%.2f", static_cast<double>(state.channels[i].temperature));
        sample(out, "lightkit_channel_temperature_celsius", channelLabels(i), text);
    }
    metricHeader(out, "lightkit_channel_over_temperature", "gauge", "Channel over-temperature alarm; absent until polled.");
    for (int i = 0; i < kChannelCount; ++i)
        if (state.channels[i].temperatureKnown)
            sample(out, "lightkit_channel_over_temperature", channelLabels(i), flag(state.channels[i].overTemperature));

    metricHeader(out, "lightkit_device_calls_total", "counter", "Library calls made by the device thread.");
    sample(out, "lightkit_device_calls_total", "", num(input.deviceCalls));
    metricHeader(out, "lightkit_device_failures_total", "counter", "Library calls that failed.");
    sample(out, "lightkit_device_failures_total", "", num(input.deviceFailures));
    metricHeader(out, "lightkit_http_requests_total", "counter", "HTTP requests answered, by status code.");
    for (const unsigned code : kHttpStatusCodes)
        sample(out, "lightkit_http_requests_total", "code=\"" + std::to_string(code) + "\"",
               num(input.httpRequests.count(code)));
    if (input.httpRequests.other() != 0)
        sample(out, "lightkit_http_requests_total", "code=\"other\"", num(input.httpRequests.other()));
    metricHeader(out, "lightkit_clients", "gauge", "Open client connections by protocol.");
    sample(out, "lightkit_clients", "protocol=\"http\"", num(input.httpConnections));
    sample(out, "lightkit_clients", "protocol=\"events\"", num(input.eventClients));
    if (input.scpiClients >= 0)
        sample(out, "lightkit_clients", "protocol=\"scpi\"", num(static_cast<uint64_t>(input.scpiClients)));
    return out;
}

std::string errorBody(const std::string &message) {
    return json{{"error", message}}.dump(-1, ' ', false, json::error_handler_t::replace);
}

}  // namespace lightd::http
