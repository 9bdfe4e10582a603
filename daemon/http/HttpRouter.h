// What lightd answers to an HTTP request, decided without sockets: which Host
// names are lightd's own, the checks on a request's header before its body is
// read, and the routing of a whole request to an answer or a device action.
// The server runs these on the loop; the fuzz target runs them on raw bytes.
#ifndef LIGHTD_HTTP_ROUTER_H
#define LIGHTD_HTTP_ROUTER_H

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <boost/beast/http/message.hpp>
#include <boost/beast/http/string_body.hpp>

#include "DeviceState.h"
#include "HttpApi.h"
#include "TemperatureHistory.h"

namespace lightd::http {

using Request = boost::beast::http::request<boost::beast::http::string_body>;
using RequestHeader = boost::beast::http::request_header<>;
using Response = boost::beast::http::response<boost::beast::http::string_body>;

// The names a request may call lightd by. A page that a browser loaded from
// another name can still reach lightd's address when that name is made to
// resolve to it (DNS rebinding), so only Host values that name lightd are
// served: an IP address lightd listens on (any address when it listens on
// all of them, any loopback address when it listens on loopback),
// "localhost", the machine's host name and the names given with
// --allow-host. Names compare without case and without a trailing dot.
class HostPolicy {
public:
    HostPolicy() = default;
    HostPolicy(const std::string &listenAddress, std::vector<std::string> names);

    // A Host header value: name or address, optionally with ":port".
    bool allows(std::string_view hostHeader) const;
    // An Origin header value: "http://" + an allowed host, with the same
    // authority as the request's (allowed) Host, so a page of another port
    // on the same machine is another origin.
    bool allowsOrigin(std::string_view origin, std::string_view hostHeader) const;

private:
    enum class Addresses { Listen, Loopback, Any };
    bool allowsName(std::string_view name) const;
    std::vector<std::string> m_names;  // lower case, no trailing dot
    std::string m_listenAddress;
    Addresses m_addresses = Addresses::Loopback;
};

// A refusal found in the header alone, answered before any body is read and
// before any routing; nullopt when the request may go on.
std::optional<Response> checkHeader(const RequestHeader &header, const HostPolicy &hosts);

// What a request needs of the server to be routed.
struct RouteContext {
    const DeviceState *state = nullptr;
    const std::string *stateJson = nullptr;     // the state as GET answers it
    const HostPolicy *hosts = nullptr;
    std::string token;                          // empty: writes need none
    std::string webRoot;                        // empty: no page
    std::function<MetricsInput()> metrics;      // may be empty
    const TemperatureHistory *history = nullptr;  // none: 404
    int64_t nowMs = 0;                            // Unix time, for the history
};

struct Route {
    enum class Action {
        Respond,  // write `response`
        Apply,    // apply `settings` on the device, then answer the state
        Trigger,  // fire the trigger, then answer the state
        Events,   // open an event stream
    };
    Action action = Action::Respond;
    Response response;
    std::vector<Setting> settings;
};

// Routes a whole request whose header passed checkHeader. A HEAD request is
// routed as a GET; the server then writes the answer's header alone.
Route route(const Request &request, const RouteContext &context);

// An answer with lightd's usual headers, keep-alive as the request asks.
Response makeResponse(const Request &request, boost::beast::http::status status, const char *contentType,
                      std::string body);
Response errorResponse(const Request &request, boost::beast::http::status status, const std::string &message);

}  // namespace lightd::http

#endif
