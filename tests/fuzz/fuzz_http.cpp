// Runs raw bytes through lightd's HTTP request handling as a connection
// would: Beast's parser with the server's limits over a read buffer of the
// server's size, fed in pieces, then the header checks and the routing with
// its JSON translation, over a fixed device state. Holds the server's
// promises on every input; an exception from any of it is a finding.
//
// Input: one flags byte, one piece-size byte, then the bytes of the
// connection. Flags: bit 0 a token ("t") is configured, bit 1 the device is
// disconnected, bit 2 lightd listens on every address, bit 3 temperatures are
// not read yet.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/parser.hpp>

#include "HttpRouter.h"
#include "HttpServer.h"

namespace {

namespace bhttp = boost::beast::http;
using namespace lightd;
using namespace lightd::http;

[[noreturn]] void fail(const char *what) {
    std::fprintf(stderr, "fuzz_http: invariant broken: %s\n", what);
    std::abort();
}

void check(bool ok, const char *what) {
    if (!ok) fail(what);
}

DeviceState makeState(uint8_t flags) {
    DeviceState s;
    s.connected = (flags & 2) == 0;
    s.port = "/dev/ttyUSB0";
    s.model = 4;
    for (int i = 0; i < kChannelCount; ++i) {
        s.channels[i].brightness = static_cast<uint8_t>(10 * i);
        s.channels[i].temperatureKnown = (flags & 8) == 0;
        s.channels[i].temperature = 25.0f;
    }
    return s;
}

bool isWrite(const Route &r) { return r.action == Route::Action::Apply || r.action == Route::Action::Trigger; }

void checkRoute(const Request &req, const Route &r, bool locked) {
    const unsigned code = static_cast<unsigned>(r.response.result());
    if (r.action == Route::Action::Respond) check(code >= 200 && code < 600, "a response has a status");
    if (isWrite(r)) {
        check(req.method() == bhttp::verb::patch || req.method() == bhttp::verb::post, "only PATCH and POST write");
        if (locked) {
            const std::string auth(req[bhttp::field::authorization]);
            const size_t last = auth.find_last_not_of(" \t");
            check(last != std::string::npos && auth[last] == 't' && auth.size() >= 8 &&
                      (auth[last - 1] == ' ' || auth[last - 1] == '\t'),
                  "no write without the token");
        }
    }
    for (const Setting &s : r.settings) check(settingInRange(s), "only valid writes reach the device");
    if (r.action == Route::Action::Apply) check(!r.settings.empty(), "an apply has writes");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) { return 0; }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 2) return 0;
    const uint8_t flags = data[0];
    const size_t piece = 1 + data[1] * 64u;
    data += 2;
    size -= 2;

    const bool locked = (flags & 1) != 0;
    const HostPolicy hosts((flags & 4) ? "0.0.0.0" : "127.0.0.1", {"lab-pc.example"});
    const DeviceState state = makeState(flags);
    const std::string stateJson = stateToJson(state, 20100).dump();
    RouteContext context;
    context.state = &state;
    context.stateJson = &stateJson;
    context.hosts = &hosts;
    context.token = locked ? "t" : "";
    context.webRoot = LIGHTD_WEB_ROOT;
    context.metrics = [] { return MetricsInput{}; };
    static const TemperatureHistory history = [] {
        TemperatureHistory h(TemperatureHistory::capacityFor(1000));
        for (int i = 0; i < 700; ++i) h.record(1000 * i, makeState(i % 16));
        return h;
    }();
    context.history = &history;
    context.nowMs = 700000;

    // A kept-alive connection carries request after request.
    boost::beast::flat_buffer buffer(HttpServer::kReadBufferLimit);
    size_t pos = 0;
    for (int requests = 0; requests < 8; ++requests) {
        bhttp::request_parser<bhttp::string_body> parser;
        parser.header_limit(HttpServer::kHeaderLimit);
        parser.body_limit(HttpServer::kBodyLimit);
        bool headerChecked = false;
        boost::beast::error_code ec;
        while (!parser.is_done()) {
            if (buffer.size() == 0 || ec == bhttp::error::need_more) {
                if (pos == size) {
                    if (parser.got_some()) parser.put_eof(ec);
                    if (!parser.is_done()) return 0;  // the peer left mid-request
                    break;
                }
                const size_t room = buffer.max_size() - buffer.size();
                if (room == 0) return 0;  // answered 431 or 413: the buffer never grows past its limit
                const size_t n = std::min({piece, size - pos, room});
                std::memcpy(buffer.prepare(n).data(), data + pos, n);
                buffer.commit(n);
                pos += n;
            }
            ec = {};
            buffer.consume(parser.put(buffer.data(), ec));
            if (ec && ec != bhttp::error::need_more) return 0;  // refused by the parser: 400, 413 or 431
            check(buffer.size() <= HttpServer::kReadBufferLimit, "read buffer bounded");
            if (parser.is_header_done() && !headerChecked) {
                headerChecked = true;
                if (auto refusal = checkHeader(parser.get().base(), hosts)) {
                    const unsigned code = static_cast<unsigned>(refusal->result());
                    check(code >= 400 && code < 600, "a refusal is an error status");
                    return 0;  // refused before the body and before routing
                }
            }
        }
        check(headerChecked, "every routed request had its header checked");
        Request req = parser.release();
        const Route r = route(req, context);
        checkRoute(req, r, locked);
        if (!req.keep_alive()) return 0;
    }
    return 0;
}
