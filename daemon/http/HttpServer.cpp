#include "HttpServer.h"

#include <array>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fstream>
#include <optional>
#include <sstream>
#include <unordered_map>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include "DALU_LightKit.h"
#include "HttpApi.h"

namespace lightd::http {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace bhttp = boost::beast::http;
using tcp = net::ip::tcp;
using nlohmann::json;

namespace {

// An event stream that falls this many messages behind is a client that has
// stopped reading; it is dropped rather than buffered for.
constexpr size_t kEventBacklog = 256;
constexpr int kEventSendBuffer = 64 * 1024;
// After refusing a request whose body is still coming, read and discard this
// much before closing, so that the refusal is not lost to a connection reset.
constexpr size_t kDrainLimit = 64 * 1024;
constexpr std::chrono::seconds kDrainTime{1};

std::string dumpJson(const json &j) { return j.dump(-1, ' ', false, json::error_handler_t::replace); }

std::string eventMessage(const char *event, const json &data) {
    return std::string("event: ") + event + "\ndata: " + dumpJson(data) + "\n\n";
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
        const size_t n = std::strlen(t.extension);
        if (file.size() >= n && file.compare(file.size() - n, n, t.extension) == 0)
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

// Browsers name the page a request comes from in Origin; other clients send
// none. A request from a page is accepted only from lightd's own host:port.
bool sameOrigin(const bhttp::request<bhttp::string_body> &req) {
    const auto origin = req.find(bhttp::field::origin);
    if (origin == req.end())
        return true;
    beast::string_view value = origin->value();
    const size_t scheme = value.find("://");
    if (scheme == beast::string_view::npos)
        return false;
    value.remove_prefix(scheme + 3);
    const auto host = req.find(bhttp::field::host);
    return host != req.end() && !value.empty() && beast::iequals(value, host->value());
}

bool sameSecret(beast::string_view given, const std::string &expected) {
    // Time independent of where the first difference is.
    unsigned char diff = given.size() == expected.size() ? 0 : 1;
    for (size_t i = 0; i < given.size(); ++i)
        diff |= static_cast<unsigned char>(given[i] ^ expected[i % (expected.empty() ? 1 : expected.size())]);
    return diff == 0 && !expected.empty();
}

class Session;

}  // namespace

struct HttpServer::Core : std::enable_shared_from_this<HttpServer::Core> {
    Core(net::io_context &l, DeviceService &s, Options o)
        : loop(l), service(s), options(std::move(o)), acceptor(l), retryTimer(l) {
        // The library's own version: a constant that needs no handle, so it
        // is no call on the device and may be read here.
        unsigned version = 0;
        DALUSDK_GetSdkVersion(&version);
        sdkVersion = version;
    }

    net::io_context &loop;
    DeviceService &service;
    Options options;
    tcp::acceptor acceptor;
    net::steady_timer retryTimer;
    unsigned sdkVersion = 0;
    int listenerId = -1;
    bool stopped = false;
    Stats stats;
    std::unordered_map<Session *, std::weak_ptr<Session>> sessions;
    std::unordered_map<Session *, std::weak_ptr<Session>> eventStreams;
    // The state as JSON text, made once per change rather than once per
    // request. The service updates its state and tells its listeners in one
    // loop step, so the text is dropped before any request can see a newer
    // state.
    std::string stateText;
    bool stateTextValid = false;

    const std::string &stateJsonText() {
        if (!stateTextValid) {
            stateText = dumpJson(stateToJson(service.state(), sdkVersion));
            stateTextValid = true;
        }
        return stateText;
    }

    void accept();
    void broadcast(const std::shared_ptr<const std::string> &message);
    void onDeviceEvent(DeviceService::Event event, const DeviceState &state);
};

namespace {

class Session : public std::enable_shared_from_this<Session> {
public:
    Session(tcp::socket socket, std::shared_ptr<HttpServer::Core> core)
        : m_stream(std::move(socket)), m_core(std::move(core)), m_writeTimer(m_core->loop),
          m_heartbeatTimer(m_core->loop) {
        ++m_core->stats.connections;
        if (m_core->options.verbose) {
            beast::error_code ec;
            const tcp::endpoint peer = m_stream.socket().remote_endpoint(ec);
            m_peer = ec ? std::string("?") : peer.address().to_string() + ":" + std::to_string(peer.port());
        }
    }
    ~Session() {
        if (m_eventStream && m_core->options.verbose)
            std::fprintf(stderr, "lightd: HTTP client %s: event stream closed\n", m_peer.c_str());
        --m_core->stats.connections;
        m_core->sessions.erase(this);
        if (m_eventStream) {
            --m_core->stats.eventClients;
            m_core->eventStreams.erase(this);
        }
    }

    void start() {
        m_core->sessions.emplace(this, weak_from_this());
        readRequest(true);
    }

    void close() {
        if (m_closed)
            return;
        m_closed = true;
        beast::error_code ec;
        m_stream.socket().shutdown(tcp::socket::shutdown_both, ec);
        m_stream.close();
        m_writeTimer.cancel();
        m_heartbeatTimer.cancel();
    }

    // Event streams only: queues one message.
    void send(const std::shared_ptr<const std::string> &message) {
        if (m_closed)
            return;
        if (m_queue.size() >= kEventBacklog) {
            close();
            return;
        }
        m_queue.push_back(message);
        if (!m_writing)
            writeNextEvent();
    }

private:
    using Request = bhttp::request<bhttp::string_body>;
    using Response = bhttp::response<bhttp::string_body>;

    void readRequest(bool fresh) {
        if (m_closed)
            return;
        m_parser.emplace();
        m_parser->header_limit(HttpServer::kHeaderLimit);
        m_parser->body_limit(HttpServer::kBodyLimit);
        if (fresh || m_buffer.size() > 0) {
            readWithHeaderDeadline();
            return;
        }
        // A kept-alive connection may idle; once its next request begins, the
        // header deadline applies.
        m_stream.expires_after(m_core->options.idleTimeout);
        m_stream.async_read_some(m_buffer.prepare(1024), [self = shared_from_this()](beast::error_code ec, size_t n) {
            if (ec)
                return self->close();
            self->m_buffer.commit(n);
            self->readWithHeaderDeadline();
        });
    }

    void readWithHeaderDeadline() {
        m_stream.expires_after(m_core->options.headerTimeout);
        bhttp::async_read(m_stream, m_buffer, *m_parser,
                          [self = shared_from_this()](beast::error_code ec, size_t) { self->onRead(ec); });
    }

    void onRead(beast::error_code ec) {
        if (m_closed)
            return;
        if (ec == bhttp::error::body_limit)
            return refuse(bhttp::status::payload_too_large, "the body is larger than 4096 bytes");
        if (ec == bhttp::error::header_limit)
            return refuse(bhttp::status::request_header_fields_too_large, "the request header is too large");
        if (ec && ec.category() == bhttp::make_error_code(bhttp::error::bad_target).category() &&
            ec != bhttp::error::end_of_stream && ec != bhttp::error::partial_message)
            return refuse(bhttp::status::bad_request, "malformed request");
        if (ec)
            return close();
        handle(m_parser->release());
    }

    // Answers a request that could not be read whole, then closes.
    void refuse(bhttp::status status, const std::string &message) {
        m_requestLine = "(unreadable request)";
        Response res{status, 11};
        res.set(bhttp::field::server, "lightd");
        res.set(bhttp::field::content_type, "application/json");
        res.body() = errorBody(message);
        res.keep_alive(false);
        res.prepare_payload();
        ++m_core->stats.requests;
        write(std::move(res));
    }

    Response makeResponse(const Request &req, bhttp::status status, const char *type, std::string body) {
        Response res{status, req.version()};
        res.set(bhttp::field::server, "lightd");
        res.set(bhttp::field::content_type, type);
        res.set(bhttp::field::cache_control, "no-store");
        res.keep_alive(req.keep_alive());
        res.body() = std::move(body);
        res.prepare_payload();
        return res;
    }

    Response stateResponse(const Request &req) {
        return makeResponse(req, bhttp::status::ok, "application/json", m_core->stateJsonText());
    }

    Response errorResponse(const Request &req, bhttp::status status, const std::string &message) {
        return makeResponse(req, status, "application/json", errorBody(message));
    }

    void handle(Request req) {
        ++m_core->stats.requests;
        if (m_core->options.verbose)
            m_requestLine = std::string(req.method_string()) + " " + std::string(req.target());
        const beast::string_view target = req.target();
        const beast::string_view path = target.substr(0, target.find('?'));
        const bhttp::verb method = req.method();

        auto wrongMethod = [&](const char *allow) {
            Response res = errorResponse(req, bhttp::status::method_not_allowed, "method not allowed");
            res.set(bhttp::field::allow, allow);
            write(std::move(res));
        };

        if (path == "/api/v1/state") {
            if (method == bhttp::verb::get)
                return write(stateResponse(req));
            if (method == bhttp::verb::patch)
                return patchState(std::move(req));
            return wrongMethod("GET, PATCH");
        }
        if (path == "/api/v1/trigger") {
            if (method == bhttp::verb::post)
                return trigger(std::move(req));
            return wrongMethod("POST");
        }
        if (path == "/api/v1/events") {
            if (method == bhttp::verb::get)
                return startEventStream(req);
            return wrongMethod("GET");
        }
        if (path == "/metrics") {
            if (method != bhttp::verb::get)
                return wrongMethod("GET");
            MetricsInput in;
            const DeviceService::Counters counters = m_core->service.counters();
            in.deviceCalls = counters.deviceCalls;
            in.deviceFailures = counters.deviceFailures;
            in.httpConnections = m_core->stats.connections;
            in.eventClients = m_core->stats.eventClients;
            in.httpRequests = m_core->stats.requests;
            if (m_core->options.scpiClients)
                in.scpiClients = m_core->options.scpiClients();
            return write(makeResponse(req, bhttp::status::ok, "text/plain; version=0.0.4; charset=utf-8",
                                      renderMetrics(m_core->service.state(), in)));
        }
        if (path.starts_with("/api/"))
            return write(errorResponse(req, bhttp::status::not_found, "no such resource"));
        if (method != bhttp::verb::get)
            return wrongMethod("GET");
        serveFile(req, path == "/" ? beast::string_view("index.html") : path.substr(1));
    }

    // Writes need the token when one is configured, and a browser may only
    // send them from lightd's own page: another site's page could otherwise
    // make a visitor's browser fire a form POST at a lightd on the lab
    // network. True when the request may go on.
    bool authorised(const Request &req) {
        if (!sameOrigin(req)) {
            write(errorResponse(req, bhttp::status::forbidden, "cross-origin request refused"));
            return false;
        }
        const std::string &token = m_core->options.token;
        if (token.empty())
            return true;
        const auto header = req.find(bhttp::field::authorization);
        const beast::string_view prefix = "Bearer ";
        if (header != req.end() && header->value().starts_with(prefix) &&
            sameSecret(header->value().substr(prefix.size()), token))
            return true;
        Response res = errorResponse(req, bhttp::status::unauthorized, "a valid token is needed for this request");
        res.set(bhttp::field::www_authenticate, "Bearer realm=\"lightd\"");
        write(std::move(res));
        return false;
    }

    std::string notConnectedText() const {
        const std::string &why = m_core->service.state().lastError;
        return why.empty() ? "the light source is not connected" : "the light source is not connected: " + why;
    }

    bool connectedOrRefuse(const Request &req) {
        if (m_core->service.state().connected)
            return true;
        write(errorResponse(req, bhttp::status::service_unavailable, notConnectedText()));
        return false;
    }

    void answerOutcome(const Request &req, const Outcome &outcome) {
        if (outcome.status == Outcome::Status::NotConnected)
            return write(errorResponse(req, bhttp::status::service_unavailable, notConnectedText()));
        if (outcome.status == Outcome::Status::DeviceFailed)
            return write(errorResponse(req, bhttp::status::bad_gateway,
                                       outcome.reason.empty() ? "the device call failed" : outcome.reason));
        // A completion runs before the service's listeners hear of the change.
        m_core->stateTextValid = false;
        write(stateResponse(req));
    }

    void patchState(Request req) {
        if (!authorised(req))
            return;
        PatchResult patch = parsePatch(req.body());
        if (patch.status != 0)
            return write(errorResponse(req, static_cast<bhttp::status>(patch.status), patch.error));
        if (!connectedOrRefuse(req))
            return;
        auto shared = std::make_shared<Request>(std::move(req));
        m_core->service.apply(std::move(patch.settings), [self = shared_from_this(), shared](const Outcome &outcome) {
            self->answerOutcome(*shared, outcome);
        });
    }

    void trigger(Request req) {
        if (!authorised(req) || !connectedOrRefuse(req))
            return;
        auto shared = std::make_shared<Request>(std::move(req));
        m_core->service.trigger([self = shared_from_this(), shared](const Outcome &outcome) {
            self->answerOutcome(*shared, outcome);
        });
    }

    void serveFile(const Request &req, beast::string_view name) {
        if (!isPlainFileName(name) || m_core->options.webRoot.empty())
            return write(errorResponse(req, bhttp::status::not_found, "no such page"));
        const std::string file = m_core->options.webRoot + "/" + std::string(name);
        std::ifstream in(file, std::ios::binary);
        if (!in)
            return write(errorResponse(req, bhttp::status::not_found, "no such page"));
        std::ostringstream content;
        content << in.rdbuf();
        Response res = makeResponse(req, bhttp::status::ok, contentType(file), content.str());
        res.set(bhttp::field::cache_control, "no-cache");
        write(std::move(res));
    }

    void write(Response res) {
        if (m_closed)
            return;
        if (m_core->options.verbose)
            std::fprintf(stderr, "lightd: HTTP client %s: %s %u\n", m_peer.c_str(), m_requestLine.c_str(),
                         res.result_int());
        auto shared = std::make_shared<Response>(std::move(res));
        m_stream.expires_after(m_core->options.writeTimeout);
        bhttp::async_write(m_stream, *shared, [self = shared_from_this(), shared](beast::error_code ec, size_t) {
            if (ec)
                return self->close();
            if (!shared->keep_alive())
                return self->drainAndClose();
            self->readRequest(false);
        });
    }

    // Ends our side and reads whatever the client still sends for a moment,
    // so that it reads the answer before the connection goes.
    void drainAndClose() {
        beast::error_code ec;
        m_stream.socket().shutdown(tcp::socket::shutdown_send, ec);
        if (ec)
            return close();
        m_stream.expires_after(kDrainTime);
        drain();
    }

    void drain() {
        m_buffer.consume(m_buffer.size());
        m_stream.async_read_some(m_buffer.prepare(4096), [self = shared_from_this()](beast::error_code ec, size_t n) {
            self->m_drained += n;
            if (ec || self->m_drained > kDrainLimit)
                return self->close();
            self->m_buffer.commit(n);
            self->drain();
        });
    }

    void startEventStream(const Request &req) {
        bhttp::response<bhttp::empty_body> res{bhttp::status::ok, req.version()};
        res.set(bhttp::field::server, "lightd");
        res.set(bhttp::field::content_type, "text/event-stream");
        res.set(bhttp::field::cache_control, "no-store");
        // The stream ends with the connection: no length, no keep-alive.
        res.keep_alive(false);
        std::ostringstream header;
        header << res.base();

        // A fixed kernel buffer (no autotuning to megabytes), so that a
        // client that stops reading shows as a backlog here soon.
        beast::error_code ignored;
        m_stream.socket().set_option(net::socket_base::send_buffer_size(kEventSendBuffer), ignored);

        m_eventStream = true;
        if (m_core->options.verbose)
            std::fprintf(stderr, "lightd: HTTP client %s: event stream open\n", m_peer.c_str());
        ++m_core->stats.eventClients;
        m_core->eventStreams.emplace(this, weak_from_this());
        m_stream.expires_never();
        send(std::make_shared<const std::string>(header.str()));
        send(std::make_shared<const std::string>("event: state\ndata: " + m_core->stateJsonText() + "\n\n"));
        watchForClose();
        scheduleHeartbeat();
    }

    // The client says nothing more on an event stream; reading only tells
    // when it has gone.
    void watchForClose() {
        m_stream.socket().async_read_some(net::buffer(m_discard),
                                          [self = shared_from_this()](beast::error_code ec, size_t) {
                                              if (ec)
                                                  return self->close();
                                              self->watchForClose();
                                          });
    }

    void scheduleHeartbeat() {
        m_heartbeatTimer.expires_after(m_core->options.heartbeat);
        m_heartbeatTimer.async_wait([self = shared_from_this()](beast::error_code ec) {
            if (ec || self->m_closed)
                return;
            if (self->m_queue.empty())
                self->send(std::make_shared<const std::string>(": keep-alive\n\n"));
            self->scheduleHeartbeat();
        });
    }

    void writeNextEvent() {
        if (m_closed || m_queue.empty()) {
            m_writing = false;
            return;
        }
        m_writing = true;
        std::shared_ptr<const std::string> message = m_queue.front();
        m_queue.pop_front();
        // The socket's own write with a timer of ours: the stream's deadline
        // would also cut the pending read that watches for the client's close.
        m_writeTimer.expires_after(m_core->options.writeTimeout);
        m_writeTimer.async_wait([self = shared_from_this()](beast::error_code ec) {
            if (!ec)
                self->close();
        });
        net::async_write(m_stream.socket(), net::buffer(*message),
                         [self = shared_from_this(), message](beast::error_code ec, size_t) {
                             self->m_writeTimer.cancel();
                             if (ec)
                                 return self->close();
                             self->writeNextEvent();
                         });
    }

    beast::tcp_stream m_stream;
    std::shared_ptr<HttpServer::Core> m_core;
    beast::flat_buffer m_buffer;
    std::optional<bhttp::request_parser<bhttp::string_body>> m_parser;
    net::steady_timer m_writeTimer;
    net::steady_timer m_heartbeatTimer;
    std::deque<std::shared_ptr<const std::string>> m_queue;
    std::array<char, 512> m_discard{};
    size_t m_drained = 0;
    std::string m_peer;         // for -v only
    std::string m_requestLine;  // for -v only
    bool m_writing = false;
    bool m_eventStream = false;
    bool m_closed = false;
};

}  // namespace

void HttpServer::Core::accept() {
    acceptor.async_accept([self = shared_from_this()](beast::error_code ec, tcp::socket socket) {
        if (self->stopped)
            return;
        if (ec) {
            // Out of descriptors or a transient failure: try again shortly
            // rather than spin on a listening socket that stays readable.
            self->retryTimer.expires_after(std::chrono::milliseconds(100));
            self->retryTimer.async_wait([self](beast::error_code waitEc) {
                if (!waitEc && !self->stopped)
                    self->accept();
            });
            return;
        }
        if (self->stats.connections >= self->options.maxConnections) {
            static const char kBusy[] =
                "HTTP/1.1 503 Service Unavailable\r\nContent-Type: application/json\r\nContent-Length: 32\r\n"
                "Connection: close\r\n\r\n{\"error\":\"too many connections\"}";
            beast::error_code ignored;
            socket.non_blocking(true, ignored);
            socket.write_some(net::buffer(kBusy, sizeof kBusy - 1), ignored);
            socket.close(ignored);
        } else {
            std::make_shared<Session>(std::move(socket), self)->start();
        }
        self->accept();
    });
}

void HttpServer::Core::broadcast(const std::shared_ptr<const std::string> &message) {
    // send() may close a session, which does not remove it from the map
    // until it is destroyed; collect first all the same.
    std::vector<std::shared_ptr<Session>> targets;
    targets.reserve(eventStreams.size());
    for (auto &entry : eventStreams)
        if (auto s = entry.second.lock())
            targets.push_back(std::move(s));
    for (auto &s : targets)
        s->send(message);
}

void HttpServer::Core::onDeviceEvent(DeviceService::Event event, const DeviceState &state) {
    stateTextValid = false;
    if (eventStreams.empty())
        return;
    if (event == DeviceService::Event::State)
        broadcast(std::make_shared<const std::string>("event: state\ndata: " + stateJsonText() + "\n\n"));
    else
        broadcast(std::make_shared<const std::string>(eventMessage("temperatures", temperaturesToJson(state))));
}

HttpServer::HttpServer(net::io_context &loop, DeviceService &service, Options options)
    : m_core(std::make_shared<Core>(loop, service, std::move(options))) {}

HttpServer::~HttpServer() { stop(); }

bool HttpServer::start(std::string &error) {
    beast::error_code ec;
    const net::ip::address address = net::ip::make_address(m_core->options.address, ec);
    if (ec) {
        error = "not an address: " + m_core->options.address;
        return false;
    }
    const tcp::endpoint endpoint(address, m_core->options.port);
    tcp::acceptor &acceptor = m_core->acceptor;
    acceptor.open(endpoint.protocol(), ec);
    if (!ec)
        acceptor.set_option(net::socket_base::reuse_address(true), ec);
    if (!ec)
        acceptor.bind(endpoint, ec);
    if (!ec)
        acceptor.listen(net::socket_base::max_listen_connections, ec);
    if (ec) {
        error = "cannot listen on " + m_core->options.address + ":" + std::to_string(m_core->options.port) + ": " +
                ec.message();
        beast::error_code ignored;
        acceptor.close(ignored);
        return false;
    }
    Core *core = m_core.get();
    m_core->listenerId = m_core->service.subscribe(
        [core](DeviceService::Event event, const DeviceState &state) { core->onDeviceEvent(event, state); });
    m_core->accept();
    return true;
}

void HttpServer::stop() {
    Core &core = *m_core;
    if (core.stopped)
        return;
    core.stopped = true;
    if (core.listenerId >= 0) {
        core.service.unsubscribe(core.listenerId);
        core.listenerId = -1;
    }
    beast::error_code ignored;
    core.acceptor.close(ignored);
    core.retryTimer.cancel();
    std::vector<std::shared_ptr<Session>> open;
    for (auto &entry : core.sessions)
        if (auto s = entry.second.lock())
            open.push_back(std::move(s));
    for (auto &s : open)
        s->close();
}

uint16_t HttpServer::port() const {
    beast::error_code ec;
    const tcp::endpoint endpoint = m_core->acceptor.local_endpoint(ec);
    return ec ? 0 : endpoint.port();
}

HttpServer::Stats HttpServer::stats() const { return m_core->stats; }

}  // namespace lightd::http
