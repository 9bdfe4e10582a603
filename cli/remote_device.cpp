#include "remote_device.h"

#include <chrono>

#include <nlohmann/json.hpp>

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/string_body.hpp>
#include <boost/beast/http/write.hpp>

using Json = nlohmann::json;

namespace {

const char *const kModes[] = {"normal", "ttl", "edge", "internal", "sequence"};

struct Url {
    std::string host, port, base;
};

// http://host[:port][/base]; false for anything else.
bool parseUrl(const std::string &url, Url *out) {
    const std::string scheme = "http://";
    if (url.compare(0, scheme.size(), scheme) != 0) return false;
    std::string rest = url.substr(scheme.size());
    const size_t slash = rest.find('/');
    out->base = slash == std::string::npos ? "" : rest.substr(slash);
    while (!out->base.empty() && out->base.back() == '/') out->base.pop_back();
    std::string authority = rest.substr(0, slash);
    if (!authority.empty() && authority.front() == '[') {  // [v6]:port
        const size_t close = authority.find(']');
        if (close == std::string::npos) return false;
        out->host = authority.substr(1, close - 1);
        out->port = close + 1 < authority.size() && authority[close + 1] == ':' ? authority.substr(close + 2) : "80";
    } else {
        const size_t colon = authority.rfind(':');
        out->host = authority.substr(0, colon);
        out->port = colon == std::string::npos ? "80" : authority.substr(colon + 1);
    }
    return !out->host.empty() && !out->port.empty();
}

}  // namespace


namespace asio = boost::asio;
namespace beast = boost::beast;
namespace bhttp = beast::http;

struct RemoteDevice::Impl {
    std::string url;
    std::string token;
    Url where;
    asio::io_context io;
    std::unique_ptr<beast::tcp_stream> stream;
    beast::flat_buffer buffer;
    Json state;
    std::chrono::steady_clock::time_point stateTime;
    bool stateValid = false;

    struct Answer {
        unsigned status = 0;
        Json body;
    };

    // One request on a kept-alive connection, once more afresh if lightd
    // closed it meanwhile. Throws beast::system_error when unreachable.
    Answer request(bhttp::verb method, const std::string &path, const std::string &body) {
        for (int attempt = 0;; ++attempt) {
            try {
                if (!stream) {
                    asio::ip::tcp::resolver resolver(io);
                    stream = std::make_unique<beast::tcp_stream>(io);
                    stream->expires_after(std::chrono::seconds(10));
                    stream->connect(resolver.resolve(where.host, where.port));
                }
                bhttp::request<bhttp::string_body> req{method, where.base + path, 11};
                req.set(bhttp::field::host, where.host.find(':') != std::string::npos ? "[" + where.host + "]:" + where.port
                                                                                      : where.host + ":" + where.port);
                req.set(bhttp::field::user_agent, "lightctl");
                req.set(bhttp::field::accept, "application/json");
                if (!token.empty()) req.set(bhttp::field::authorization, "Bearer " + token);
                if (!body.empty()) req.set(bhttp::field::content_type, "application/json");
                req.body() = body;
                req.prepare_payload();
                stream->expires_after(std::chrono::seconds(10));
                bhttp::write(*stream, req);
                bhttp::response<bhttp::string_body> res;
                bhttp::read(*stream, buffer, res);
                if (!res.keep_alive()) stream.reset();
                Answer answer{res.result_int(), Json::parse(res.body(), nullptr, false)};
                return answer;
            } catch (const beast::system_error &) {
                stream.reset();
                buffer.clear();
                if (attempt > 0) throw;
            }
        }
    }

    Answer send(const char *what, bhttp::verb method, const std::string &path, const std::string &body) {
        try {
            return request(method, path, body);
        } catch (const beast::system_error &e) {
            throw DeviceError(std::string(what) + " failed: lightd at " + url + " cannot be reached: " + e.code().message());
        }
    }

    static std::string reasonOf(const Answer &a) {
        const std::string why = a.body.is_object() && a.body.contains("error") && a.body["error"].is_string()
                                    ? a.body["error"].get<std::string>()
                                    : std::string();
        return "lightd answered " + std::to_string(a.status) + (why.empty() ? "" : ": " + why);
    }

    // lightd's state, fetched again after a write and when over 100 ms old
    // (so that a watch sees every poll).
    const Json &current(const char *what) {
        const auto now = std::chrono::steady_clock::now();
        if (!stateValid || now - stateTime > std::chrono::milliseconds(100)) {
            Answer a = send(what, bhttp::verb::get, "/api/v1/state", "");
            if (a.status != 200 || !a.body.is_object()) throw DeviceError(std::string(what) + " failed: " + reasonOf(a));
            state = std::move(a.body);
            stateTime = now;
            stateValid = true;
        }
        if (!state.value("connected", false))
            throw DeviceError(std::string(what) + " failed: lightd: the light source on " + state.value("port", "?") +
                              " is not connected");
        return state;
    }

    template <typename T>
    T read(const char *what, const Json::json_pointer &where) {
        const Json &s = current(what);
        if (!s.contains(where) || s.at(where).is_null())
            throw DeviceError(std::string(what) + " failed: lightd does not know this value yet");
        return s.at(where).get<T>();
    }

    void write(const char *what, bhttp::verb method, const std::string &path, const Json &body) {
        stateValid = false;
        const Answer a = send(what, method, path, body.is_null() ? std::string() : body.dump());
        if (a.status != 200) throw DeviceError(std::string(what) + " failed: " + reasonOf(a));
    }

    void patch(const char *what, const Json &body) { write(what, bhttp::verb::patch, "/api/v1/state", body); }
    void channelPatch(const char *what, int channel, const char *key, const Json &value) {
        patch(what, {{"channels", {{{"index", channel}, {key, value}}}}});
    }
};

RemoteDevice::RemoteDevice(const std::string &url, const std::string &token) : m(std::make_unique<Impl>()) {
    m->url = url;
    m->token = token;
    if (!parseUrl(url, &m->where))
        throw PortError("not an address of lightd: " + url + " (give http://HOST:PORT)");
    Impl::Answer a;
    try {
        a = m->request(bhttp::verb::get, "/api/v1/state", "");
    } catch (const beast::system_error &e) {
        throw PortError("cannot reach lightd at " + url + ": " + e.code().message());
    }
    if (a.status != 200 || !a.body.is_object() || !a.body.contains("channels"))
        throw PortError("no lightd at " + url + " (" + Impl::reasonOf(a) + ")");
    m->state = std::move(a.body);
    m->stateTime = std::chrono::steady_clock::now();
    m->stateValid = true;
}

RemoteDevice::~RemoteDevice() = default;

std::string RemoteDevice::portName() const { return m->state.value("port", std::string()); }

using P = Json::json_pointer;

uint32_t RemoteDevice::model() { return m->read<uint32_t>("reading the device model", P("/model")); }
uint32_t RemoteDevice::firmwareVersion() {
    return m->read<uint32_t>("reading the firmware version", P("/firmware_version"));
}
bool RemoteDevice::globalEnable() { return m->read<bool>("reading the global enable", P("/enabled")); }
void RemoteDevice::setGlobalEnable(bool on) { m->patch("setting the global enable", {{"enabled", on}}); }

int RemoteDevice::workMode() {
    const std::string mode = m->read<std::string>("reading the work mode", P("/mode"));
    for (int i = 0; i < 5; ++i)
        if (mode == kModes[i]) return i;
    throw DeviceError("reading the work mode failed: lightd names an unknown mode " + mode);
}
void RemoteDevice::setWorkMode(int mode) {
    if (mode < 0 || mode > 4) throw DeviceError("setting the work mode failed: no mode " + std::to_string(mode));
    m->patch("setting the work mode", {{"mode", kModes[mode]}});
}

static P channelField(int channel, const char *key) { return P("/channels/" + std::to_string(channel) + "/" + key); }

bool RemoteDevice::ledEnabled(int ch) { return m->read<bool>("reading the channel enable", channelField(ch, "enabled")); }
void RemoteDevice::setLedEnabled(int ch, bool on) { m->channelPatch("setting the channel enable", ch, "enabled", on); }
int RemoteDevice::ledBrightness(int ch) { return m->read<int>("reading the brightness", channelField(ch, "brightness")); }
void RemoteDevice::setLedBrightness(int ch, int percent) {
    m->channelPatch("setting the brightness", ch, "brightness", percent);
}
TempStatus RemoteDevice::ledTemperature(int ch) {
    const float celsius = m->read<float>("reading the temperature", channelField(ch, "temperature"));
    return {celsius, m->read<bool>("reading the temperature", channelField(ch, "over_temperature"))};
}

bool RemoteDevice::ttlOutput() { return m->read<bool>("reading the TTL output enable", P("/ttl/output_enabled")); }
void RemoteDevice::setTtlOutput(bool on) { m->patch("setting the TTL output enable", {{"ttl", {{"output_enabled", on}}}}); }
int RemoteDevice::ttlDelay() { return m->read<int>("reading the TTL delay", P("/ttl/delay_ms")); }
void RemoteDevice::setTtlDelay(int ms) { m->patch("setting the TTL delay", {{"ttl", {{"delay_ms", ms}}}}); }

int RemoteDevice::edgeDelay() { return m->read<int>("reading the edge delay", P("/edge/delay_ms")); }
void RemoteDevice::setEdgeDelay(int ms) { m->patch("setting the edge delay", {{"edge", {{"delay_ms", ms}}}}); }
int RemoteDevice::edgePulse(int ch) { return m->read<int>("reading the edge pulse width", channelField(ch, "pulse_ms")); }
void RemoteDevice::setEdgePulse(int ch, int ms) { m->channelPatch("setting the edge pulse width", ch, "pulse_ms", ms); }

bool RemoteDevice::internalOutput() {
    return m->read<bool>("reading the internal trigger output enable", P("/internal/output_enabled"));
}
void RemoteDevice::setInternalOutput(bool on) {
    m->patch("setting the internal trigger output enable", {{"internal", {{"output_enabled", on}}}});
}
int RemoteDevice::internalDelay() { return m->read<int>("reading the internal trigger delay", P("/internal/delay_ms")); }
void RemoteDevice::setInternalDelay(int ms) {
    m->patch("setting the internal trigger delay", {{"internal", {{"delay_ms", ms}}}});
}
int RemoteDevice::internalHigh() { return m->read<int>("reading the high time", P("/internal/high_ms")); }
void RemoteDevice::setInternalHigh(int ms) { m->patch("setting the high time", {{"internal", {{"high_ms", ms}}}}); }
int RemoteDevice::internalLow() { return m->read<int>("reading the low time", P("/internal/low_ms")); }
void RemoteDevice::setInternalLow(int ms) { m->patch("setting the low time", {{"internal", {{"low_ms", ms}}}}); }
int RemoteDevice::internalCount() { return m->read<int>("reading the pulse count", P("/internal/pulse_count")); }
void RemoteDevice::setInternalCount(int count) {
    m->patch("setting the pulse count", {{"internal", {{"pulse_count", count}}}});
}
void RemoteDevice::trigger() { m->write("firing the trigger", bhttp::verb::post, "/api/v1/trigger", Json()); }

std::unique_ptr<LightDevice> openRemoteDevice(const std::string &url, const std::string &token) {
    return std::make_unique<RemoteDevice>(url, token);
}
