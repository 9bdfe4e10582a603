#include "HttpRouter.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <sstream>

#include <boost/asio/ip/address.hpp>
#include <boost/beast/core/string.hpp>
#include <boost/beast/http/field.hpp>
#include <boost/beast/http/status.hpp>
#include <boost/beast/http/verb.hpp>

namespace lightd::http {

namespace beast = boost::beast;
namespace bhttp = boost::beast::http;

namespace {

std::string_view view(beast::string_view v) { return std::string_view(v.data(), v.size()); }

bool iequals(std::string_view a, std::string_view b) {
    return beast::iequals(beast::string_view(a.data(), a.size()), beast::string_view(b.data(), b.size()));
}

Response plainResponse(unsigned version, bool keepAlive, bhttp::status status, const char *contentType,
                       std::string body) {
    Response res{status, version};
    res.set(bhttp::field::server, "lightd");
    res.set(bhttp::field::content_type, contentType);
    res.set(bhttp::field::cache_control, "no-store");
    res.keep_alive(keepAlive);
    res.body() = std::move(body);
    res.prepare_payload();
    return res;
}

std::string normalisedName(std::string_view name) {
    std::string out(name);
    if (!out.empty() && out.back() == '.')
        out.pop_back();
    std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) { return std::tolower(c); });
    return out;
}

// Splits "name:port", "1.2.3.4:port" or "[v6]:port" (the port optional).
// False for anything else, an empty name or a port that is not 1..65535.
bool splitAuthority(std::string_view authority, std::string_view &host) {
    std::string_view port;
    if (!authority.empty() && authority.front() == '[') {
        const size_t close = authority.find(']');
        if (close == std::string_view::npos)
            return false;
        host = authority.substr(1, close - 1);
        const std::string_view rest = authority.substr(close + 1);
        if (!rest.empty()) {
            if (rest.front() != ':')
                return false;
            port = rest.substr(1);
            if (port.empty())
                return false;
        }
    } else {
        const size_t colon = authority.find(':');
        host = authority.substr(0, colon);
        if (colon != std::string_view::npos) {
            port = authority.substr(colon + 1);
            if (port.empty())
                return false;
        }
    }
    if (host.empty() || port.size() > 5)
        return false;
    unsigned number = 0;
    for (char c : port) {
        if (c < '0' || c > '9')
            return false;
        number = number * 10 + static_cast<unsigned>(c - '0');
    }
    return port.empty() || (number >= 1 && number <= 65535);
}

bool sameSecret(beast::string_view given, const std::string &expected) {
    // Time independent of where the first difference is.
    unsigned char diff = given.size() == expected.size() ? 0 : 1;
    for (size_t i = 0; i < given.size(); ++i)
        diff |= static_cast<unsigned char>(given[i] ^ expected[i % (expected.empty() ? 1 : expected.size())]);
    return diff == 0 && !expected.empty();
}

// "Bearer TOKEN", the scheme in any case, one or more blanks between.
bool bearerMatches(beast::string_view value, const std::string &token) {
    constexpr beast::string_view scheme = "bearer";
    if (value.size() <= scheme.size() || !beast::iequals(value.substr(0, scheme.size()), scheme))
        return false;
    value.remove_prefix(scheme.size());
    if (value.front() != ' ' && value.front() != '\t')
        return false;
    while (!value.empty() && (value.front() == ' ' || value.front() == '\t'))
        value.remove_prefix(1);
    while (!value.empty() && (value.back() == ' ' || value.back() == '\t'))
        value.remove_suffix(1);
    return sameSecret(value, token);
}

const char *contentType(const std::string &file) {
    struct Type {
        const char *extension;
        const char *type;
    };
    static const Type types[] = {{".html", "text/html; charset=utf-8"},
                                 {".js", "text/javascript; charset=utf-8"},
                                 {".css", "text/css; charset=utf-8"},
                                 {".png", "image/png"},
                                 {".svg", "image/svg+xml"},
                                 {".ico", "image/x-icon"}};
    for (const Type &t : types) {
        const std::string_view extension = t.extension;
        if (file.size() >= extension.size() &&
            file.compare(file.size() - extension.size(), extension.size(), extension) == 0)
            return t.type;
    }
    return "application/octet-stream";
}

// One level of plain names below the web root: no "..", no hidden files.
bool isPlainFileName(beast::string_view name) {
    if (name.empty() || name.front() == '.')
        return false;
    for (char c : name) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
                        c == '_' || c == '-';
        if (!ok)
            return false;
    }
    return true;
}

Route respond(Response response) {
    Route route;
    route.response = std::move(response);
    return route;
}

Route refuse(const Request &req, bhttp::status status, const std::string &message) {
    return respond(errorResponse(req, status, message));
}

// "?seconds=N" of a history request, 1..kMaxSeconds; all of it when absent.
std::optional<unsigned> historySeconds(beast::string_view target) {
    const size_t mark = target.find('?');
    beast::string_view query = mark == beast::string_view::npos ? beast::string_view() : target.substr(mark + 1);
    std::optional<unsigned> seconds = TemperatureHistory::kMaxSeconds;
    while (!query.empty()) {
        const size_t end = std::min(query.find('&'), query.size());
        const beast::string_view pair = query.substr(0, end);
        query.remove_prefix(std::min(end + 1, query.size()));
        if (pair.substr(0, 8) != "seconds=")
            continue;
        const beast::string_view digits = pair.substr(8);
        if (digits.empty() || digits.size() > 6 ||
            !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
            return std::nullopt;
        const unsigned value = static_cast<unsigned>(std::stoul(std::string(digits)));
        if (value < 1 || value > TemperatureHistory::kMaxSeconds)
            return std::nullopt;
        seconds = value;
    }
    return seconds;
}

Route wrongMethod(const Request &req, const char *allow) {
    Response res = errorResponse(req, bhttp::status::method_not_allowed, "method not allowed");
    res.set(bhttp::field::allow, allow);
    return respond(std::move(res));
}

std::string notConnectedText(const DeviceState &state) {
    return state.lastError.empty() ? "the light source is not connected"
                                   : "the light source is not connected: " + state.lastError;
}

// Writes need the token when one is configured, and a browser may send them
// only from lightd's own page: another site's page could otherwise make a
// visitor's browser switch the light. Returns the refusal, if any.
std::optional<Route> refuseWrite(const Request &req, const RouteContext &ctx) {
    const auto origin = req.find(bhttp::field::origin);
    if (origin != req.end() && !ctx.hosts->allowsOrigin(view(origin->value()), view(req[bhttp::field::host])))
        return refuse(req, bhttp::status::forbidden, "cross-origin request refused");
    if (ctx.token.empty())
        return std::nullopt;
    const auto header = req.find(bhttp::field::authorization);
    if (header != req.end() && bearerMatches(header->value(), ctx.token))
        return std::nullopt;
    Response res = errorResponse(req, bhttp::status::unauthorized, "a valid token is needed for this request");
    res.set(bhttp::field::www_authenticate, "Bearer realm=\"lightd\"");
    return respond(std::move(res));
}

Route serveFile(const Request &req, const RouteContext &ctx, beast::string_view name) {
    if (!isPlainFileName(name) || ctx.webRoot.empty())
        return refuse(req, bhttp::status::not_found, "no such page");
    const std::string file = ctx.webRoot + "/" + std::string(name);
    std::ifstream in(file, std::ios::binary);
    if (!in)
        return refuse(req, bhttp::status::not_found, "no such page");
    std::ostringstream content;
    content << in.rdbuf();
    Response res = makeResponse(req, bhttp::status::ok, contentType(file), content.str());
    res.set(bhttp::field::cache_control, "no-cache");
    return respond(std::move(res));
}

}  // namespace

HostPolicy::HostPolicy(const std::string &listenAddress, std::vector<std::string> names) {
    boost::system::error_code ec;
    const auto address = boost::asio::ip::make_address(listenAddress, ec);
    if (!ec && address.is_unspecified())
        m_addresses = Addresses::Any;
    else if (!ec && address.is_loopback())
        m_addresses = Addresses::Loopback;
    else
        m_addresses = Addresses::Listen;
    if (!ec)
        m_listenAddress = address.to_string();
    m_names.push_back("localhost");
    for (const std::string &name : names)
        if (!name.empty())
            m_names.push_back(normalisedName(name));
}

bool HostPolicy::allowsName(std::string_view name) const {
    boost::system::error_code ec;
    const auto address = boost::asio::ip::make_address(std::string(name), ec);
    if (!ec) {
        switch (m_addresses) {
        case Addresses::Any: return true;
        case Addresses::Loopback: return address.is_loopback();
        case Addresses::Listen: return address.to_string() == m_listenAddress;
        }
    }
    const std::string normal = normalisedName(name);
    return std::find(m_names.begin(), m_names.end(), normal) != m_names.end();
}

bool HostPolicy::allows(std::string_view hostHeader) const {
    std::string_view host;
    return splitAuthority(hostHeader, host) && allowsName(host);
}

bool HostPolicy::allowsOrigin(std::string_view origin, std::string_view hostHeader) const {
    for (std::string_view scheme : {"http://", "https://"}) {
        if (origin.size() > scheme.size() && iequals(origin.substr(0, scheme.size()), scheme)) {
            const std::string_view authority = origin.substr(scheme.size());
            return allows(authority) && iequals(authority, hostHeader);
        }
    }
    return false;
}

Response makeResponse(const Request &request, bhttp::status status, const char *contentType, std::string body) {
    return plainResponse(request.version(), request.keep_alive(), status, contentType, std::move(body));
}

Response errorResponse(const Request &request, bhttp::status status, const std::string &message) {
    return makeResponse(request, status, "application/json", errorBody(message));
}

std::optional<Response> checkHeader(const RequestHeader &header, const HostPolicy &hosts) {
    auto refusal = [&](bhttp::status status, const std::string &message) {
        return std::optional<Response>(
            plainResponse(header.version(), false, status, "application/json", errorBody(message)));
    };
    const beast::string_view target = header.target();
    if (target.empty() || target.front() != '/')
        return refusal(bhttp::status::bad_request, "the request target must be a path");
    const size_t hostCount = header.count(bhttp::field::host);
    if (hostCount > 1)
        return refusal(bhttp::status::bad_request, "more than one Host header");
    if (hostCount == 0 && header.version() >= 11)
        return refusal(bhttp::status::bad_request, "an HTTP/1.1 request needs a Host header");
    if (hostCount == 1 && !hosts.allows(view(header[bhttp::field::host])))
        return refusal(bhttp::status::misdirected_request,
                       "this lightd does not serve the host name \"" + std::string(header[bhttp::field::host]) +
                           "\" (see lightd --allow-host)");
    const auto encoding = header.find(bhttp::field::transfer_encoding);
    if (encoding != header.end()) {
        // Anything but plain chunked would be read as something it is not.
        if (header.count(bhttp::field::transfer_encoding) > 1 || !beast::iequals(encoding->value(), "chunked"))
            return refusal(bhttp::status::not_implemented, "only the chunked transfer coding is supported");
        if (header.count(bhttp::field::content_length) > 0)
            return refusal(bhttp::status::bad_request, "both Content-Length and Transfer-Encoding");
    }
    return std::nullopt;
}

Route route(const Request &req, const RouteContext &ctx) {
    const beast::string_view target = req.target();
    const beast::string_view path = target.substr(0, target.find('?'));
    // HEAD is answered as GET; the server leaves the body out.
    const bhttp::verb method = req.method() == bhttp::verb::head ? bhttp::verb::get : req.method();
    if (path.empty() || path.front() != '/')
        return refuse(req, bhttp::status::bad_request, "the request target must be a path");

    if (path == "/api/v1/state") {
        if (method == bhttp::verb::get)
            return respond(makeResponse(req, bhttp::status::ok, "application/json", *ctx.stateJson));
        if (method != bhttp::verb::patch)
            return wrongMethod(req, "GET, HEAD, PATCH");
        if (auto refusal = refuseWrite(req, ctx))
            return std::move(*refusal);
        PatchResult patch = parsePatch(req.body());
        if (patch.status != 0)
            return refuse(req, static_cast<bhttp::status>(patch.status), patch.error);
        if (!ctx.state->connected)
            return refuse(req, bhttp::status::service_unavailable, notConnectedText(*ctx.state));
        Route apply;
        apply.action = Route::Action::Apply;
        apply.settings = std::move(patch.settings);
        return apply;
    }
    if (path == "/api/v1/trigger") {
        if (method != bhttp::verb::post)
            return wrongMethod(req, "POST");
        if (auto refusal = refuseWrite(req, ctx))
            return std::move(*refusal);
        if (!ctx.state->connected)
            return refuse(req, bhttp::status::service_unavailable, notConnectedText(*ctx.state));
        Route trigger;
        trigger.action = Route::Action::Trigger;
        return trigger;
    }
    if (path == "/api/v1/events") {
        if (method != bhttp::verb::get)
            return wrongMethod(req, "GET, HEAD");
        if (req.method() == bhttp::verb::head) {
            Response res = makeResponse(req, bhttp::status::ok, "text/event-stream", "");
            res.erase(bhttp::field::content_length);
            return respond(std::move(res));
        }
        Route events;
        events.action = Route::Action::Events;
        return events;
    }
    if (path == "/api/v1/history") {
        if (method != bhttp::verb::get)
            return wrongMethod(req, "GET, HEAD");
        if (!ctx.history)
            return refuse(req, bhttp::status::not_found, "no history is kept");
        const std::optional<unsigned> seconds = historySeconds(target);
        if (!seconds)
            return refuse(req, bhttp::status::bad_request,
                          "seconds must be a whole number 1.." + std::to_string(TemperatureHistory::kMaxSeconds));
        return respond(makeResponse(req, bhttp::status::ok, "application/json",
                                    historyToJson(*ctx.history, ctx.nowMs, *seconds).dump()));
    }
    if (path == "/metrics") {
        if (method != bhttp::verb::get)
            return wrongMethod(req, "GET, HEAD");
        const MetricsInput input = ctx.metrics ? ctx.metrics() : MetricsInput{};
        return respond(makeResponse(req, bhttp::status::ok, "text/plain; version=0.0.4; charset=utf-8",
                                    renderMetrics(*ctx.state, input)));
    }
    if (path.starts_with("/api/"))
        return refuse(req, bhttp::status::not_found, "no such resource");
    if (method != bhttp::verb::get)
        return wrongMethod(req, "GET, HEAD");
    return serveFile(req, ctx, path == "/" ? beast::string_view("index.html") : path.substr(1));
}

}  // namespace lightd::http
