#include "StateJson.h"

#include <algorithm>
#include <cmath>
#include <iterator>
#include <limits>
#include <set>

namespace lightd {

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

}  // namespace

const char *modeName(uint8_t mode) { return mode < std::size(kModeNames) ? kModeNames[mode] : nullptr; }

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
            {"connected_since_ms",
             state.connected && state.connectedSinceMs > 0 ? json(state.connectedSinceMs) : json(nullptr)},
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

}  // namespace lightd
