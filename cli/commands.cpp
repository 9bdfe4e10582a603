#include "commands.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <memory>
#include <ostream>
#include <thread>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "device.h"
#include "SerialPorts.h"

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

CLI::Validator onOff() { return CLI::IsMember({"on", "off"}, CLI::ignore_case); }

bool isOn(const std::string &word) { return word == "on"; }

// ---- output ---------------------------------------------------------------------

std::string format(const char *fmt, double value) {
    char buf[64];
    std::snprintf(buf, sizeof buf, fmt, value);
    return buf;
}

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
}

std::string padded(const std::string &text, size_t width) {
    return text.size() >= width ? text + " " : text + std::string(width - text.size(), ' ');
}

// ---- commands -------------------------------------------------------------------

void infoCommand(Session &s) {
    const uint32_t model = s.device->model();
    const uint32_t firmware = s.device->firmwareVersion();
    const uint32_t sdk = sdkVersion();
    Json j = {{"model", hex32(model)},           {"model_value", model},    {"model_name", modelName(model)},
              {"firmware", firmwareText(firmware)}, {"firmware_value", firmware}, {"sdk", sdkText(sdk)},
              {"sdk_value", sdk}};
    emit(s, j,
         "Model:     " + hex32(model) + " (" + modelName(model) + ")\n" +
             "Firmware:  " + firmwareText(firmware) + " (" + hex32(firmware) + ")\n" +
             "SDK:       " + sdkText(sdk) + " (" + std::to_string(sdk) + ")\n");
}

Json channelJson(LightDevice &d, int ch) {
    const bool enabled = d.ledEnabled(ch);
    const int brightness = d.ledBrightness(ch);
    const TempStatus temp = d.ledTemperature(ch);
    return {{"channel", ch},       {"name", kChannelNames[ch]},
            {"enabled", enabled},  {"brightness", brightness},
            {"temperature", centiRounded(temp.celsius)}, {"alarm", temp.alarm}};
}

std::string channelRow(const Json &c) {
    return padded(std::to_string(c["channel"].get<int>()), 9) + padded(c["name"].get<std::string>(), 8) +
           padded(c["enabled"].get<bool>() ? "on" : "off", 8) +
           padded(std::to_string(c["brightness"].get<int>()) + " %", 12) +
           padded(format("%.2f C", c["temperature"].get<double>()), 13) + (c["alarm"].get<bool>() ? "ALARM" : "-") +
           "\n";
}

const std::string kChannelHeader = "Channel  Name    Enable  Brightness  Temperature  Alarm\n";

Json ttlJson(LightDevice &d) { return {{"output", d.ttlOutput()}, {"delay_ms", d.ttlDelay()}}; }

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
    return {{"output", output}, {"delay_ms", delay}, {"high_ms", high}, {"low_ms", low}, {"count", count}};
}

std::string ttlText(const Json &j) {
    return "output " + std::string(onOffText(j["output"])) + ", delay " + std::to_string(j["delay_ms"].get<int>()) +
           " ms";
}

std::string edgeText(const Json &j) {
    std::string text = "delay " + std::to_string(j["delay_ms"].get<int>()) + " ms, pulse";
    for (int ch = 0; ch < kChannels; ++ch)
        text += std::string(ch == 0 ? " " : ", ") + kChannelNames[ch] + " " +
                std::to_string(j["pulse_ms"][ch].get<int>()) + " ms";
    return text;
}

std::string internalText(const Json &j) {
    return "output " + std::string(onOffText(j["output"])) + ", delay " + std::to_string(j["delay_ms"].get<int>()) +
           " ms, high " + std::to_string(j["high_ms"].get<int>()) + " ms, low " +
           std::to_string(j["low_ms"].get<int>()) + " ms, count " + std::to_string(j["count"].get<int>());
}

Json modeJson(int mode) { return {{"mode", modeName(mode)}, {"value", mode}}; }

void statusCommand(Session &s) {
    LightDevice &d = *s.device;
    const bool global = d.globalEnable();
    const int mode = d.workMode();
    Json channels = Json::array();
    for (int ch = 0; ch < kChannels; ++ch) channels.push_back(channelJson(d, ch));
    Json j = {{"global_enable", global},    {"mode", modeName(mode)}, {"mode_value", mode}, {"channels", channels},
              {"ttl", ttlJson(d)},       {"edge", edgeJson(d)},    {"internal", internalJson(d)}};

    std::string text = "Global enable:  " + std::string(onOffText(global)) + "\n" +
                       "Work mode:      " + modeName(mode) + " (" + std::to_string(mode) + ")\n\n" + kChannelHeader;
    for (const Json &c : channels) text += channelRow(c);
    text += "\nTTL:       " + ttlText(j["ttl"]) + "\nEdge:      " + edgeText(j["edge"]) +
            "\nInternal:  " + internalText(j["internal"]) + "\n";
    emit(s, j, text);
}

void portsCommand(Session &s) {
    const std::vector<std::string> ports = listSerialPorts();
    std::string text;
    for (const std::string &p : ports) text += p + "\n";
    emit(s, Json(ports), text);
}

struct LedArgs {
    int channel = 0;
    std::string state;
    int brightness = -1;
};

void ledCommand(Session &s, const LedArgs &a) {
    if (!a.state.empty() || a.brightness >= 0) {
        if (!a.state.empty()) s.device->setLedEnabled(a.channel, isOn(a.state));
        if (a.brightness >= 0) s.device->setLedBrightness(a.channel, a.brightness);
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
        if (!a.output.empty()) s.device->setTtlOutput(isOn(a.output));
        if (a.delay >= 0) s.device->setTtlDelay(a.delay);
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
        if (!a.output.empty()) s.device->setInternalOutput(isOn(a.output));
        if (a.delay >= 0) s.device->setInternalDelay(a.delay);
        if (a.high >= 0) s.device->setInternalHigh(a.high);
        if (a.low >= 0) s.device->setInternalLow(a.low);
        if (a.count >= 0) s.device->setInternalCount(a.count);
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
                channels.push_back({{"channel", ch},
                                    {"name", kChannelNames[ch]},
                                    {"temperature", centiRounded(temps[ch].celsius)},
                                    {"alarm", temps[ch].alarm}});
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
        s.out->flush();
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

void addCommands(CLI::App &app, Invocation *parsed) {
    onParsed(app.add_subcommand("ports", "List the serial ports of this machine (needs no --port)"), parsed, false,
             portsCommand);
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
        ->check(CLI::Range(0.01, 86400.0));
    watchCmd->add_option("--count", watch->count, "Stop after N samples")->transform(decimalIn(1, 999999999));
    watchCmd->add_flag("--csv", watch->csv, "Comma-separated values with a header line");
    onParsed(watchCmd, parsed, watch, watchCommand);
}
