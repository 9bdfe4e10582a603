#include "commands.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <ostream>
#include <thread>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "device.h"
#include "discover.h"
#include "SerialPorts.h"
#include "StateJson.h"

using Json = nlohmann::ordered_json;

namespace {

constexpr int kChannels = 4;
constexpr int kMaxMs = 5000;
constexpr int kMaxBrightness = 100;
constexpr int kMaxPulseCount = 100;
const char *const kChannelNames[kChannels] = {"LED385", "LED480", "LED550", "LED640"};
// Indexed by the work-mode byte.
const std::vector<std::string> kModeNames = {"normal", "ttl", "edge", "internal", "sequence"};

// ---- values on the command line ---------------------------------------------

std::string format(const char *fmt, double value) {
    char buf[64];
    std::snprintf(buf, sizeof buf, fmt, value);
    return buf;
}

std::string toLower(std::string s) {
    for (char &c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// Plain decimal digits only: CLI11's own conversion would read "010" as octal and "0x10" as hex.
bool parseDecimal(const std::string &text, long *value) {
    if (text.empty() || text.size() > 9) return false;
    size_t start = text[0] == '-' ? 1 : 0;
    if (start == text.size()) return false;
    for (size_t i = start; i < text.size(); ++i)
        if (text[i] < '0' || text[i] > '9') return false;
    *value = std::stol(text);
    return true;
}

// A whole number in lo..hi, rewritten to plain decimal for the conversion that follows.
CLI::Validator decimalIn(long lo, long hi) {
    return CLI::Validator(
        [lo, hi](std::string &text) -> std::string {
            long value = 0;
            if (!parseDecimal(text, &value)) return "'" + text + "' is not a whole number";
            if (value < lo || value > hi)
                return text + " is out of range (" + std::to_string(lo) + " to " + std::to_string(hi) + ")";
            text = std::to_string(value);
            return {};
        },
        std::to_string(lo) + ".." + std::to_string(hi));
}

// 0..3 or a channel name, in any case; rewritten to the index.
std::string channelIndexText(const std::string &text) {
    long value = -1;
    if (parseDecimal(text, &value)) return value >= 0 && value < kChannels ? std::to_string(value) : std::string();
    for (int i = 0; i < kChannels; ++i)
        if (toLower(text) == toLower(kChannelNames[i])) return std::to_string(i);
    return {};
}

CLI::Validator channel() {
    return CLI::Validator(
        [](std::string &text) -> std::string {
            std::string index = channelIndexText(text);
            if (index.empty()) return "'" + text + "' is not a channel (0..3, LED385, LED480, LED550, LED640)";
            text = index;
            return {};
        },
        "");
}

// CH=MS with CH as above and MS in 0..5000; rewritten to "index=ms".
CLI::Validator channelEqualsMs() {
    return CLI::Validator(
        [](std::string &text) -> std::string {
            const size_t eq = text.find('=');
            if (eq == std::string::npos) return "'" + text + "' is not CH=MS";
            std::string index = channelIndexText(text.substr(0, eq));
            if (index.empty()) return "'" + text.substr(0, eq) + "' is not a channel (0..3, LED385, LED480, LED550, LED640)";
            std::string ms = text.substr(eq + 1);
            std::string error = decimalIn(0, kMaxMs)(ms);
            if (!error.empty()) return error;
            text = index + "=" + ms;
            return {};
        },
        "");
}

// Seconds as a finite number in lo..hi: "nan" compares false with any bound,
// so a range check alone lets it through.
CLI::Validator secondsIn(double lo, double hi) {
    return CLI::Validator(
        [lo, hi](std::string &text) -> std::string {
            char *end = nullptr;
            const double value = text.empty() || std::isspace(static_cast<unsigned char>(text[0]))
                                     ? std::nan("")
                                     : std::strtod(text.c_str(), &end);
            if (!std::isfinite(value) || end == nullptr || *end != '\0')
                return "'" + text + "' is not a number of seconds";
            if (value < lo || value > hi)
                return text + " is out of range (" + format("%g", lo) + " to " + format("%g", hi) + " seconds)";
            return {};
        },
        "SECONDS");
}

CLI::Validator onOff() { return CLI::IsMember({"on", "off"}, CLI::ignore_case); }

bool isOn(const std::string &word) { return word == "on"; }

// ---- output ---------------------------------------------------------------------

std::string hex32(uint32_t value) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08X", static_cast<unsigned>(value));
    return buf;
}

const char *onOffText(bool on) { return on ? "on" : "off"; }

// Wire temperatures are hundredths; a float of them prints as 30.510000228881836 unless rounded.
double centiRounded(float celsius) { return std::round(static_cast<double>(celsius) * 100.0) / 100.0; }

std::string modeName(int mode) {
    return mode >= 0 && mode < static_cast<int>(kModeNames.size()) ? kModeNames[mode] : "unknown";
}

const char *modelName(uint32_t model) {
    switch (model) {
    case 0xFFAA0400u: return "4-colour";
    case 0xFFAA0800u: return "8-colour";
    default: return "unknown";
    }
}

// The device's version 0x00010203 reads as 1.2.3.
std::string firmwareText(uint32_t version) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%u.%u.%u", (version >> 16) & 0xFFu, (version >> 8) & 0xFFu, version & 0xFFu);
    return buf;
}

// The library's version 20100 reads as 2.1.0.
std::string sdkText(uint32_t version) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%u.%u.%u", version / 10000, version / 100 % 100, version % 100);
    return buf;
}

void emit(Session &s, const Json &json, const std::string &text) {
    if (s.json)
        *s.out << json.dump() << '\n';
    else
        *s.out << text;
    s.out->flush();
    checkOutput(*s.out);
}

std::string padded(const std::string &text, size_t width) {
    return text.size() >= width ? text + " " : text + std::string(width - text.size(), ' ');
}

// ---- commands -------------------------------------------------------------------

void infoCommand(Session &s) {
    const uint32_t model = s.device->model();
    const uint32_t firmware = s.device->firmwareVersion();
    const uint32_t sdk = sdkVersion();
    // The state document's names for the numbers, and their readable forms beside them.
    Json j = {{"model", model},           {"model_hex", hex32(model)},         {"model_name", modelName(model)},
              {"firmware_version", firmware}, {"firmware", firmwareText(firmware)}, {"sdk_version", sdk},
              {"sdk", sdkText(sdk)}};
    emit(s, j,
         "Model:     " + hex32(model) + " (" + modelName(model) + ")\n" +
             "Firmware:  " + firmwareText(firmware) + " (" + hex32(firmware) + ")\n" +
             "SDK:       " + sdkText(sdk) + " (" + std::to_string(sdk) + ")\n");
}

// One channel as the state document has it.
Json channelJson(LightDevice &d, int ch) {
    const bool enabled = d.ledEnabled(ch);
    const int brightness = d.ledBrightness(ch);
    const TempStatus temp = d.ledTemperature(ch);
    const int pulse = d.edgePulse(ch);
    return {{"index", ch},
            {"name", kChannelNames[ch]},
            {"enabled", enabled},
            {"brightness", brightness},
            {"temperature", centiRounded(temp.celsius)},
            {"over_temperature", temp.alarm},
            {"pulse_ms", pulse}};
}

std::string channelRow(const Json &c) {
    return padded(std::to_string(c["index"].get<int>()), 9) + padded(c["name"].get<std::string>(), 8) +
           padded(c["enabled"].get<bool>() ? "on" : "off", 8) +
           padded(std::to_string(c["brightness"].get<int>()) + " %", 12) +
           padded(format("%.2f C", c["temperature"].get<double>()), 13) + (c["over_temperature"].get<bool>() ? "ALARM" : "-") +
           "\n";
}

const std::string kChannelHeader = "Channel  Name    Enable  Brightness  Temperature  Alarm\n";

Json ttlJson(LightDevice &d) { return {{"output_enabled", d.ttlOutput()}, {"delay_ms", d.ttlDelay()}}; }

Json edgeJson(LightDevice &d) {
    Json pulses = Json::array();
    const int delay = d.edgeDelay();
    for (int ch = 0; ch < kChannels; ++ch) pulses.push_back(d.edgePulse(ch));
    return {{"delay_ms", delay}, {"pulse_ms", pulses}};
}

Json internalJson(LightDevice &d) {
    const bool output = d.internalOutput();
    const int delay = d.internalDelay();
    const int high = d.internalHigh();
    const int low = d.internalLow();
    const int count = d.internalCount();
    return {{"output_enabled", output}, {"delay_ms", delay}, {"high_ms", high}, {"low_ms", low}, {"pulse_count", count}};
}

std::string ttlText(const Json &j) {
    return "output " + std::string(onOffText(j["output_enabled"])) + ", delay " +
           std::to_string(j["delay_ms"].get<int>()) + " ms";
}

std::string edgeText(const Json &j) {
    std::string text = "delay " + std::to_string(j["delay_ms"].get<int>()) + " ms, pulse";
    for (int ch = 0; ch < kChannels; ++ch)
        text += std::string(ch == 0 ? " " : ", ") + kChannelNames[ch] + " " +
                std::to_string(j["pulse_ms"][ch].get<int>()) + " ms";
    return text;
}

std::string internalText(const Json &j) {
    return "output " + std::string(onOffText(j["output_enabled"])) + ", delay " +
           std::to_string(j["delay_ms"].get<int>()) + " ms, high " + std::to_string(j["high_ms"].get<int>()) +
           " ms, low " + std::to_string(j["low_ms"].get<int>()) + " ms, count " +
           std::to_string(j["pulse_count"].get<int>());
}

Json modeJson(int mode) { return {{"mode", modeName(mode)}}; }

// Everything readable, read once, as the state lightd keeps.
lightd::DeviceState readState(LightDevice &d) {
    lightd::DeviceState st;
    st.connected = true;
    st.port = d.portName();
    st.model = d.model();
    st.firmwareVersion = d.firmwareVersion();
    st.enabled = d.globalEnable();
    st.mode = static_cast<uint8_t>(d.workMode());
    for (int ch = 0; ch < kChannels; ++ch) {
        lightd::ChannelState &c = st.channels[ch];
        c.enabled = d.ledEnabled(ch);
        c.brightness = static_cast<uint16_t>(d.ledBrightness(ch));
        const TempStatus t = d.ledTemperature(ch);
        c.temperature = t.celsius;
        c.overTemperature = t.alarm;
        c.temperatureKnown = true;
        c.pulseMs = static_cast<uint16_t>(d.edgePulse(ch));
    }
    st.ttl.outputEnabled = d.ttlOutput();
    st.ttl.delayMs = static_cast<uint16_t>(d.ttlDelay());
    st.edge.delayMs = static_cast<uint16_t>(d.edgeDelay());
    st.internal.outputEnabled = d.internalOutput();
    st.internal.delayMs = static_cast<uint16_t>(d.internalDelay());
    st.internal.highMs = static_cast<uint16_t>(d.internalHigh());
    st.internal.lowMs = static_cast<uint16_t>(d.internalLow());
    st.internal.pulseCount = static_cast<uint8_t>(d.internalCount());
    return st;
}

// --json: the state document, as lightd serves it (lightkit-state.schema.json).
void statusCommand(Session &s) {
    const lightd::DeviceState st = readState(*s.device);
    const Json j = Json::parse(lightd::stateToJson(st, sdkVersion()).dump());

    Json edge = {{"delay_ms", st.edge.delayMs}, {"pulse_ms", Json::array()}};
    for (const Json &c : j["channels"]) edge["pulse_ms"].push_back(c["pulse_ms"]);
    std::string text = "Global enable:  " + std::string(onOffText(st.enabled)) + "\n" + "Work mode:      " +
                       modeName(st.mode) + " (" + std::to_string(st.mode) + ")\n\n" + kChannelHeader;
    for (const Json &c : j["channels"]) text += channelRow(c);
    text += "\nTTL:       " + ttlText(j["ttl"]) + "\nEdge:      " + edgeText(edge) +
            "\nInternal:  " + internalText(j["internal"]) + "\n";
    emit(s, j, text);
}

void portsCommand(Session &s) {
    const std::vector<std::string> ports = listSerialPorts();
    std::string text;
    for (const std::string &p : ports) text += p + "\n";
    emit(s, Json(ports), text);
}

struct DiscoverArgs {
    double wait = 3.0;
};

void discoverCommand(Session &s, const DiscoverArgs &a) {
    const auto lights = discoverLights(std::chrono::milliseconds(static_cast<long long>(a.wait * 1000)));
    Json list = Json::array();
    std::string text = lights.empty() ? "no light source announced on the network\n" : "";
    for (const DiscoveredLight &l : lights) {
        const std::string address = l.addresses.empty() ? l.host : l.addresses.front();
        const std::string host = address.find(':') != std::string::npos ? "[" + address + "]" : address;
        const std::string url = l.httpPort ? "http://" + host + ":" + std::to_string(l.httpPort) + l.httpPath : "";
        list.push_back({{"name", l.name}, {"host", l.host}, {"addresses", l.addresses},
                        {"scpi_port", l.scpiPort ? Json(l.scpiPort) : Json(nullptr)},
                        {"http_url", url.empty() ? Json(nullptr) : Json(url)}, {"device", l.device},
                        {"model", l.model}, {"firmware", l.firmware}});
        text += l.name + "\n  host " + l.host + " (" + address + ")";
        if (l.scpiPort) text += ", SCPI port " + std::to_string(l.scpiPort);
        if (!url.empty()) text += ", " + url;
        text += "\n  " + (l.model.empty() ? std::string("model not known yet") : l.model + ", firmware " + l.firmware) +
                ", on " + l.device + "\n";
    }
    emit(s, list, text);
}

// ---- apply -----------------------------------------------------------------------

struct ApplyArgs {
    std::string file;
    std::vector<lightd::Setting> settings;  // checked and ordered when parsed
};

// The document is read and every field checked while the command line is
// parsed, so a bad one is a usage error with nothing sent.
std::string readApplyDocument(ApplyArgs &a) {
    std::ostringstream text;
    if (a.file == "-") {
        text << std::cin.rdbuf();
    } else {
        std::ifstream in(a.file, std::ios::binary);
        if (!in) return "cannot read " + a.file;
        text << in.rdbuf();
    }
    const lightd::PatchResult result = lightd::parsePatch(text.str());
    if (result.status != 0) return a.file + ": " + result.error;
    a.settings = result.settings;
    return {};
}

void applySetting(LightDevice &d, const lightd::Setting &w) {
    using lightd::Field;
    const int v = static_cast<int>(w.value);
    switch (w.field) {
    case Field::GlobalEnable: return d.setGlobalEnable(v != 0);
    case Field::WorkMode: return d.setWorkMode(v);
    case Field::ChannelEnable: return d.setLedEnabled(w.channel, v != 0);
    case Field::Brightness: return d.setLedBrightness(w.channel, v);
    case Field::PulseWidth: return d.setEdgePulse(w.channel, v);
    case Field::TtlOutput: return d.setTtlOutput(v != 0);
    case Field::TtlDelay: return d.setTtlDelay(v);
    case Field::EdgeDelay: return d.setEdgeDelay(v);
    case Field::InternalOutput: return d.setInternalOutput(v != 0);
    case Field::InternalDelay: return d.setInternalDelay(v);
    case Field::InternalHigh: return d.setInternalHigh(v);
    case Field::InternalLow: return d.setInternalLow(v);
    case Field::InternalCount: return d.setInternalCount(v);
    }
}

void applyCommand(Session &s, const ApplyArgs &a) {
    for (const lightd::Setting &w : a.settings) applySetting(*s.device, w);
}

struct LedArgs {
    int channel = 0;
    std::string state;
    int brightness = -1;
};

// A combined write sends the values before switching on, and switches off
// before the values: the light never shows an old value, as in lightd.
void ledCommand(Session &s, const LedArgs &a) {
    if (!a.state.empty() || a.brightness >= 0) {
        const bool on = isOn(a.state);
        if (!a.state.empty() && !on) s.device->setLedEnabled(a.channel, false);
        if (a.brightness >= 0) s.device->setLedBrightness(a.channel, a.brightness);
        if (!a.state.empty() && on) s.device->setLedEnabled(a.channel, true);
        return;
    }
    Json c = channelJson(*s.device, a.channel);
    emit(s, c, kChannelHeader + channelRow(c));
}

struct ModeArgs {
    std::string mode;
};

void modeCommand(Session &s, const ModeArgs &a) {
    if (!a.mode.empty()) {
        const int value = static_cast<int>(std::find(kModeNames.begin(), kModeNames.end(), a.mode) - kModeNames.begin());
        s.device->setWorkMode(value);
        return;
    }
    const int mode = s.device->workMode();
    emit(s, modeJson(mode), modeName(mode) + "\n");
}

struct TtlArgs {
    std::string output;
    int delay = -1;
};

void ttlCommand(Session &s, const TtlArgs &a) {
    if (!a.output.empty() || a.delay >= 0) {
        const bool on = isOn(a.output);
        if (!a.output.empty() && !on) s.device->setTtlOutput(false);
        if (a.delay >= 0) s.device->setTtlDelay(a.delay);
        if (!a.output.empty() && on) s.device->setTtlOutput(true);
        return;
    }
    Json j = ttlJson(*s.device);
    emit(s, j, ttlText(j) + "\n");
}

struct EdgeArgs {
    int delay = -1;
    std::vector<std::string> pulses;  // "index=ms", already checked
};

void edgeCommand(Session &s, const EdgeArgs &a) {
    if (a.delay >= 0 || !a.pulses.empty()) {
        if (a.delay >= 0) s.device->setEdgeDelay(a.delay);
        for (const std::string &p : a.pulses) {
            const size_t eq = p.find('=');
            s.device->setEdgePulse(std::stoi(p.substr(0, eq)), std::stoi(p.substr(eq + 1)));
        }
        return;
    }
    Json j = edgeJson(*s.device);
    emit(s, j, edgeText(j) + "\n");
}

struct InternalArgs {
    std::string output;
    int delay = -1, high = -1, low = -1, count = -1;
};

void internalCommand(Session &s, const InternalArgs &a) {
    if (!a.output.empty() || a.delay >= 0 || a.high >= 0 || a.low >= 0 || a.count >= 0) {
        const bool on = isOn(a.output);
        if (!a.output.empty() && !on) s.device->setInternalOutput(false);
        if (a.delay >= 0) s.device->setInternalDelay(a.delay);
        if (a.high >= 0) s.device->setInternalHigh(a.high);
        if (a.low >= 0) s.device->setInternalLow(a.low);
        if (a.count >= 0) s.device->setInternalCount(a.count);
        if (!a.output.empty() && on) s.device->setInternalOutput(true);
        return;
    }
    Json j = internalJson(*s.device);
    emit(s, j, internalText(j) + "\n");
}

// ---- watch ---------------------------------------------------------------------

std::atomic<bool> g_interrupted{false};

extern "C" void onInterrupt(int) { g_interrupted = true; }

// Ctrl-C ends the watch between samples instead of killing the process
// with the port open; the previous handler comes back afterwards.
class InterruptGuard {
public:
    InterruptGuard() {
        g_interrupted = false;
        m_previous = std::signal(SIGINT, onInterrupt);
    }
    ~InterruptGuard() { std::signal(SIGINT, m_previous); }

private:
    void (*m_previous)(int) = nullptr;
};

// False when interrupted before the deadline.
bool sleepUntil(std::chrono::steady_clock::time_point deadline) {
    const auto slice = std::chrono::milliseconds(20);
    for (auto now = std::chrono::steady_clock::now(); now < deadline && !g_interrupted;
         now = std::chrono::steady_clock::now())
        std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(deadline - now, slice));
    return !g_interrupted;
}

// Local time to the millisecond; `separator` between date and time.
std::string localTimestamp(char separator) {
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const long ms = static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000);
    std::tm local{};
    if (const std::tm *tm = std::localtime(&seconds)) local = *tm;
    char date[32], time[32], buf[80];
    std::strftime(date, sizeof date, "%Y-%m-%d", &local);
    std::strftime(time, sizeof time, "%H:%M:%S", &local);
    std::snprintf(buf, sizeof buf, "%s%c%s.%03ld", date, separator, time, ms);
    return buf;
}

struct WatchArgs {
    double interval = 1.0;
    long count = 0;  // 0: until interrupted
    bool csv = false;
};

void watchCommand(Session &s, const WatchArgs &a) {
    InterruptGuard guard;
    const bool csv = a.csv && !s.json;
    if (csv) {
        std::string header = "time";
        for (const char *name : kChannelNames) header += std::string(",") + name + "_celsius," + name + "_alarm";
        *s.out << header << '\n';
        s.out->flush();
        checkOutput(*s.out);
    }
    const auto period = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(a.interval));
    auto next = std::chrono::steady_clock::now();
    for (long n = 0; (a.count == 0 || n < a.count) && !g_interrupted; ++n) {
        if (n > 0 && !sleepUntil(next += period)) break;
        TempStatus temps[kChannels];
        for (int ch = 0; ch < kChannels; ++ch) temps[ch] = s.device->ledTemperature(ch);
        if (s.json) {
            Json channels = Json::array();
            for (int ch = 0; ch < kChannels; ++ch)
                channels.push_back({{"index", ch},
                                    {"name", kChannelNames[ch]},
                                    {"temperature", centiRounded(temps[ch].celsius)},
                                    {"over_temperature", temps[ch].alarm}});
            *s.out << Json{{"time", localTimestamp('T')}, {"channels", channels}}.dump() << '\n';
        } else if (csv) {
            std::string line = localTimestamp(' ');
            for (const TempStatus &t : temps)
                line += format(",%.2f", t.celsius) + (t.alarm ? ",1" : ",0");
            *s.out << line << '\n';
        } else {
            std::string line = localTimestamp(' ');
            for (int ch = 0; ch < kChannels; ++ch)
                line += std::string("  ") + kChannelNames[ch] + format(" %6.2f C", temps[ch].celsius) +
                        (temps[ch].alarm ? " ALARM" : "");
            *s.out << line << '\n';
        }
        // A reader that went away ends the watch (and frees the port) at once,
        // also where SIGPIPE is ignored and the write just fails.
        s.out->flush();
        checkOutput(*s.out);
    }
}

// ---- the table ------------------------------------------------------------------

// The callback stores the command; `args` is shared with the option bindings,
// so it outlives the CLI::App that parsed it.
template <typename Args>
void onParsed(CLI::App *sub, Invocation *parsed, std::shared_ptr<Args> args,
              void (*command)(Session &, const Args &)) {
    sub->callback([sub, parsed, args, command] {
        *parsed = Invocation{sub->get_name(), true, [args, command](Session &s) { command(s, *args); }};
    });
}

void onParsed(CLI::App *sub, Invocation *parsed, bool needsDevice, void (*command)(Session &)) {
    sub->callback([sub, parsed, needsDevice, command] {
        *parsed = Invocation{sub->get_name(), needsDevice, command};
    });
}

void setGlobal(Session &s, bool on) { s.device->setGlobalEnable(on); }

}  // namespace

void checkOutput(std::ostream &out) {
    if (out.good()) return;
    const int code = errno;
    throw OutputError("cannot write standard output" + (code != 0 ? ": " + plainErrnoText(code) : std::string()));
}

void addCommands(CLI::App &app, Invocation *parsed) {
    onParsed(app.add_subcommand("ports", "List the serial ports of this machine (needs no --port)"), parsed, false,
             portsCommand);
    auto discover = std::make_shared<DiscoverArgs>();
    CLI::App *discoverCmd =
        app.add_subcommand("discover", "List the light sources lightd announces on the network (needs no --port)");
    discoverCmd->add_option("--wait", discover->wait, "Seconds to listen for announcements")
        ->capture_default_str()
        ->check(CLI::Range(0.1, 60.0));
    discoverCmd->callback([parsed, discover] {
        *parsed = Invocation{"discover", false, [discover](Session &s) { discoverCommand(s, *discover); }};
    });
    auto apply = std::make_shared<ApplyArgs>();
    CLI::App *applyCmd = app.add_subcommand(
        "apply", "Write the fields of a state document (FILE, or - for standard input), all checked first");
    applyCmd->add_option("file", apply->file, "A JSON document: a saved --json status, or any part of one")
        ->required();
    applyCmd->callback([parsed, apply] {
        const std::string error = readApplyDocument(*apply);
        if (!error.empty()) throw CLI::ValidationError("apply", error);
        *parsed = Invocation{"apply", true, [apply](Session &s) { applyCommand(s, *apply); }};
    });
    onParsed(app.add_subcommand("info", "Show the device model, firmware version and SDK version"), parsed, true,
             infoCommand);
    onParsed(app.add_subcommand("status", "Show every readable setting, temperature and alarm"), parsed, true,
             statusCommand);
    onParsed(app.add_subcommand("on", "Switch the global enable on"), parsed, true,
             [](Session &s) { setGlobal(s, true); });
    onParsed(app.add_subcommand("off", "Switch the global enable off"), parsed, true,
             [](Session &s) { setGlobal(s, false); });
    onParsed(app.add_subcommand("trigger", "Fire one internal trigger"), parsed, true,
             [](Session &s) { s.device->trigger(); });

    auto mode = std::make_shared<ModeArgs>();
    CLI::App *modeCmd = app.add_subcommand("mode", "Show or set the work mode");
    modeCmd->add_option("mode", mode->mode, "normal, ttl, edge, internal or sequence")
        ->transform(CLI::IsMember(kModeNames, CLI::ignore_case));
    onParsed(modeCmd, parsed, mode, modeCommand);

    auto led = std::make_shared<LedArgs>();
    CLI::App *ledCmd = app.add_subcommand("led", "Show or set one channel");
    ledCmd->add_option("channel", led->channel, "0..3 or LED385, LED480, LED550, LED640")
        ->required()
        ->type_name("CH")
        ->transform(channel());
    ledCmd->add_option("state", led->state, "on or off")->transform(onOff());
    ledCmd->add_option("-b,--brightness", led->brightness, "Brightness in percent")
        ->transform(decimalIn(0, kMaxBrightness));
    onParsed(ledCmd, parsed, led, ledCommand);

    auto ttl = std::make_shared<TtlArgs>();
    CLI::App *ttlCmd = app.add_subcommand("ttl", "Show or set the TTL trigger mode parameters");
    ttlCmd->add_option("--output", ttl->output, "TTL output on or off")->transform(onOff());
    ttlCmd->add_option("--delay", ttl->delay, "Delay in ms")->transform(decimalIn(0, kMaxMs));
    onParsed(ttlCmd, parsed, ttl, ttlCommand);

    auto edge = std::make_shared<EdgeArgs>();
    CLI::App *edgeCmd = app.add_subcommand("edge", "Show or set the edge trigger mode parameters");
    edgeCmd->add_option("--delay", edge->delay, "Delay in ms")->transform(decimalIn(0, kMaxMs));
    edgeCmd->add_option("--pulse", edge->pulses, "Pulse width of a channel in ms, as CH=MS (repeatable)")
        ->type_name("CH=MS")
        ->transform(channelEqualsMs());
    onParsed(edgeCmd, parsed, edge, edgeCommand);

    auto internal = std::make_shared<InternalArgs>();
    CLI::App *internalCmd = app.add_subcommand("internal", "Show or set the internal trigger mode parameters");
    internalCmd->add_option("--output", internal->output, "Trigger output on or off")->transform(onOff());
    internalCmd->add_option("--delay", internal->delay, "Delay in ms")->transform(decimalIn(0, kMaxMs));
    internalCmd->add_option("--high", internal->high, "Pulse high time in ms")->transform(decimalIn(0, kMaxMs));
    internalCmd->add_option("--low", internal->low, "Low time between pulses in ms")->transform(decimalIn(0, kMaxMs));
    internalCmd->add_option("--count", internal->count, "Number of pulses")->transform(decimalIn(0, kMaxPulseCount));
    onParsed(internalCmd, parsed, internal, internalCommand);

    auto watch = std::make_shared<WatchArgs>();
    CLI::App *watchCmd = app.add_subcommand("watch", "Print temperatures and alarms, one line per sample, until Ctrl-C");
    watchCmd->add_option("--interval", watch->interval, "Seconds between samples")
        ->capture_default_str()
        ->check(secondsIn(0.01, 86400.0));
    watchCmd->add_option("--count", watch->count, "Stop after N samples")->transform(decimalIn(1, 999999999));
    watchCmd->add_flag("--csv", watch->csv, "Comma-separated values with a header line");
    onParsed(watchCmd, parsed, watch, watchCommand);
}
