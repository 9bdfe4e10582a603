#include "HttpApi.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <iterator>
#include <limits>
#include <numeric>
#include <set>

namespace lightd::http {

using nlohmann::json;

namespace {

constexpr const char *kModeNames[] = {"normal", "ttl", "edge", "internal", "sequence"};

// Raised by the PATCH reader; carries the HTTP status of the refusal.
struct Refusal {
    int status;
    std::string message;
};

[[noreturn]] void refuse(int status, std::string message) { throw Refusal{status, std::move(message)}; }

bool readBool(const json &value, const std::string &where) {
    if (!value.is_boolean())
        refuse(400, where + " must be true or false");
    return value.get<bool>();
}

// Integers only: 50.0 is refused as the wrong type, -1 and 101 as out of
// range, with the range in the message.
unsigned readUnsigned(const json &value, const std::string &where, unsigned maximum) {
    if (!value.is_number_integer())
        refuse(400, where + " must be an integer");
    const bool negative = !value.is_number_unsigned() && value.get<int64_t>() < 0;
    const std::string text = value.dump();
    if (negative || value.get<uint64_t>() > maximum)
        refuse(422, where + " must be 0.." + std::to_string(maximum) + ", not " + text);
    return static_cast<unsigned>(value.get<uint64_t>());
}

const json &requireObject(const json &value, const std::string &where) {
    if (!value.is_object())
        refuse(400, where + " must be an object");
    return value;
}

// Fields a GET answers that a PATCH may carry back unchanged; they are ignored.
bool isReadOnly(const std::string &key, bool channel) {
    static const std::set<std::string> top = {"connected", "connected_since_ms", "port", "model",
                                              "model_name", "firmware_version", "sdk_version"};
    static const std::set<std::string> perChannel = {"temperature", "over_temperature"};
    return channel ? perChannel.count(key) != 0 : top.count(key) != 0;
}

class PatchReader {
public:
    std::vector<Setting> settings;

    // `where` names the field as a user reads it ("LED550 brightness",
    // "ttl.delay_ms"); a refusal says the allowed range.
    void add(Field field, int channel, unsigned value, const std::string &where) {
        const Setting setting{field, channel, value};
        if (!settingInRange(setting))
            refuse(422, where + " must be 0.." + std::to_string(settingMaximum(field)) + ", not " +
                            std::to_string(value));
        settings.push_back(setting);
    }

    void readTop(const json &root) {
        requireObject(root, "the body");
        for (const auto &[key, value] : root.items()) {
            if (key == "enabled")
                add(Field::GlobalEnable, -1, readBool(value, key), key);
            else if (key == "mode")
                readMode(value);
            else if (key == "channels")
                readChannels(value);
            else if (key == "ttl")
                readGroup(value, key, {{"output_enabled", Field::TtlOutput, true}, {"delay_ms", Field::TtlDelay, false}});
            else if (key == "edge")
                readGroup(value, key, {{"delay_ms", Field::EdgeDelay, false}});
            else if (key == "internal")
                readGroup(value, key,
                          {{"output_enabled", Field::InternalOutput, true},
                           {"delay_ms", Field::InternalDelay, false},
                           {"high_ms", Field::InternalHigh, false},
                           {"low_ms", Field::InternalLow, false},
                           {"pulse_count", Field::InternalCount, false}});
            else if (!isReadOnly(key, false))
                refuse(400, "unknown field \"" + key + "\"");
        }
    }

private:
    struct GroupField {
        const char *name;
        Field field;
        bool boolean;
    };

    void readMode(const json &value) {
        if (!value.is_string())
            refuse(400, "mode must be a string");
        const std::string name = value.get<std::string>();
        for (unsigned i = 0; i < std::size(kModeNames); ++i) {
            if (name == kModeNames[i]) {
                add(Field::WorkMode, -1, i, "mode");
                return;
            }
        }
        refuse(422, "mode must be one of normal, ttl, edge, internal, sequence, not \"" + name + "\"");
    }

    void readGroup(const json &value, const std::string &group, std::initializer_list<GroupField> fields) {
        requireObject(value, group);
        for (const auto &[key, item] : value.items()) {
            const std::string where = group + "." + key;
            const std::string &name = key;  // a structured binding cannot be captured in C++17
            auto it = std::find_if(fields.begin(), fields.end(), [&](const GroupField &f) { return name == f.name; });
            if (it == fields.end())
                refuse(400, "unknown field \"" + where + "\"");
            add(it->field, -1, it->boolean ? readBool(item, where) : readUnsigned(item, where, settingMaximum(it->field)),
                where);
        }
    }

    // A channel object names its channel by "index" or "name" (any case), or
    // both when they agree; by its place in the array only when it names
    // neither and the array lists all four channels.
    int channelOf(const json &channel, size_t position, size_t count) {
        const std::string where = "channels[" + std::to_string(position) + "]";
        int byIndex = -1;
        int byName = -1;
        if (channel.contains("index")) {
            byIndex = static_cast<int>(readUnsigned(channel["index"], where + ".index", kChannelCount - 1));
        }
        if (channel.contains("name")) {
            const json &name = channel["name"];
            if (!name.is_string())
                refuse(400, where + ".name must be a string");
            byName = channelIndexByName(name.get<std::string>());
            if (byName < 0)
                refuse(422, where + ".name must be one of LED385, LED480, LED550, LED640, not \"" +
                                name.get<std::string>() + "\"");
        }
        if (byIndex >= 0 && byName >= 0 && byIndex != byName)
            refuse(422, where + ": index " + std::to_string(byIndex) + " is " + kChannelNames[byIndex] + ", not " +
                            channel["name"].get<std::string>());
        if (byIndex >= 0)
            return byIndex;
        if (byName >= 0)
            return byName;
        if (count != static_cast<size_t>(kChannelCount))
            refuse(422, where + " names no channel: give its index or name, or list all four channels in order");
        return static_cast<int>(position);
    }

    void readChannels(const json &value) {
        if (!value.is_array())
            refuse(400, "channels must be an array");
        std::set<int> seen;
        for (size_t position = 0; position < value.size(); ++position) {
            const json &channel = requireObject(value[position], "channels[" + std::to_string(position) + "]");
            const int ch = channelOf(channel, position, value.size());
            const std::string name = kChannelNames[ch];
            if (!seen.insert(ch).second)
                refuse(400, name + " is given twice");
            for (const auto &[key, item] : channel.items()) {
                const std::string field = name + " " + key;
                if (key == "index" || key == "name")
                    continue;
                if (key == "enabled")
                    add(Field::ChannelEnable, ch, readBool(item, field), field);
                else if (key == "brightness")
                    add(Field::Brightness, ch, readUnsigned(item, field, settingMaximum(Field::Brightness)), field);
                else if (key == "pulse_ms")
                    add(Field::PulseWidth, ch, readUnsigned(item, field, settingMaximum(Field::PulseWidth)), field);
                else if (!isReadOnly(key, true))
                    refuse(400, "unknown field \"" + key + "\" in " + name);
            }
        }
    }
};

bool isSwitch(Field field) {
    return field == Field::GlobalEnable || field == Field::ChannelEnable || field == Field::TtlOutput ||
           field == Field::InternalOutput;
}

// Off switches, then values, then the mode, then on switches; the global
// enable is the outermost switch on both ends.
int phase(const Setting &s) {
    if (isSwitch(s.field)) {
        const bool global = s.field == Field::GlobalEnable;
        if (s.value == 0)
            return global ? 0 : 1;
        return global ? 5 : 4;
    }
    return s.field == Field::WorkMode ? 3 : 2;
}

// Unknown is null, never an alarm: before the first poll and while the
// light source is away nothing is known of its temperatures.
json alarmJson(const ChannelState &channel) {
    return channel.temperatureKnown ? json(channel.overTemperature) : json(nullptr);
}

json temperatureJson(const ChannelState &channel) {
    if (!channel.temperatureKnown)
        return nullptr;
    // Two decimals, as the device reports them, without float noise.
    return std::round(static_cast<double>(channel.temperature) * 100.0) / 100.0;
}

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

std::string firmwareText(uint32_t version) {
    char text[32];
    std::snprintf(text, sizeof text, "%u.%u.%u", (version >> 16) & 0xFFu, (version >> 8) & 0xFFu, version & 0xFFu);
    return text;
}

const char *modeName(uint8_t mode) { return mode < std::size(kModeNames) ? kModeNames[mode] : nullptr; }

const char *modelName(uint32_t model) {
    switch (model) {
    case 0xFFAA0400u: return "4-colour";
    case 0xFFAA0800u: return "8-colour";
    default: return "unknown";
    }
}

json stateToJson(const DeviceState &state, unsigned sdkVersion) {
    json channels = json::array();
    for (int i = 0; i < kChannelCount; ++i) {
        const ChannelState &c = state.channels[i];
        channels.push_back({{"index", i},
                            {"name", kChannelNames[i]},
                            {"enabled", c.enabled},
                            {"brightness", c.brightness},
                            {"temperature", temperatureJson(c)},
                            {"over_temperature", alarmJson(c)},
                            {"pulse_ms", c.pulseMs}});
    }
    const char *mode = modeName(state.mode);
    const char *model = modelName(state.model);
    return {{"connected", state.connected},
            {"connected_since_ms", state.connected ? json(state.connectedSinceMs) : json(nullptr)},
            {"port", state.port},
            {"model", state.model},
            {"model_name", model},
            {"firmware_version", state.firmwareVersion},
            {"sdk_version", sdkVersion},
            {"enabled", state.enabled},
            {"mode", mode ? json(mode) : json(nullptr)},
            {"channels", std::move(channels)},
            {"ttl", {{"output_enabled", state.ttl.outputEnabled}, {"delay_ms", state.ttl.delayMs}}},
            {"edge", {{"delay_ms", state.edge.delayMs}}},
            {"internal",
             {{"output_enabled", state.internal.outputEnabled},
              {"delay_ms", state.internal.delayMs},
              {"high_ms", state.internal.highMs},
              {"low_ms", state.internal.lowMs},
              {"pulse_count", state.internal.pulseCount}}}};
}

json temperaturesToJson(const DeviceState &state) {
    json channels = json::array();
    for (int i = 0; i < kChannelCount; ++i) {
        const ChannelState &c = state.channels[i];
        channels.push_back(
            {{"index", i}, {"temperature", temperatureJson(c)}, {"over_temperature", alarmJson(c)}});
    }
    return {{"connected", state.connected}, {"channels", std::move(channels)}};
}

PatchResult parsePatch(const std::string &body) {
    PatchResult result;
    // JSON allows a key twice in one object, and readers differ on which one
    // counts; a write is too important to guess, so it is refused.
    std::vector<std::set<std::string>> keys;
    std::string duplicate;
    const json::parser_callback_t noteKeys = [&](int, json::parse_event_t event, json &parsed) {
        if (event == json::parse_event_t::object_start)
            keys.emplace_back();
        else if (event == json::parse_event_t::object_end && !keys.empty())
            keys.pop_back();
        else if (event == json::parse_event_t::key && !keys.empty() && duplicate.empty() &&
                 !keys.back().insert(parsed.get<std::string>()).second)
            duplicate = parsed.get<std::string>();
        return true;
    };
    json root = json::parse(body, noteKeys, false);
    if (root.is_discarded()) {
        result.status = 400;
        result.error = "the body is not valid JSON";
        return result;
    }
    if (!duplicate.empty()) {
        result.status = 400;
        result.error = "the field \"" + duplicate + "\" is given twice";
        return result;
    }
    try {
        PatchReader reader;
        reader.readTop(root);
        result.settings = std::move(reader.settings);
    } catch (const Refusal &refusal) {
        result.status = refusal.status;
        result.error = refusal.message;
        return result;
    }
    std::stable_sort(result.settings.begin(), result.settings.end(), [](const Setting &a, const Setting &b) {
        if (phase(a) != phase(b))
            return phase(a) < phase(b);
        if (a.field != b.field)
            return a.field < b.field;
        return a.channel < b.channel;
    });
    return result;
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
