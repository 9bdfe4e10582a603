#include "HttpServer.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fstream>
#include <optional>
#include <sstream>
#include <unordered_map>

#include <boost/asio/ip/host_name.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include "DALU_LightKit.h"
#include "HttpApi.h"
#include "HttpRouter.h"
#include "KeepAlive.h"

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

int64_t unixMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::string dumpJson(const json &j) { return j.dump(-1, ' ', false, json::error_handler_t::replace); }

std::string eventMessage(const char *event, const json &data) {
    return std::string("event: ") + event + "\ndata: " + dumpJson(data) + "\n\n";
}

class Session;

}  // namespace

struct HttpServer::Core : std::enable_shared_from_this<HttpServer::Core> {
    Core(net::io_context &l, DeviceService &s, Options o)
        : loop(l), service(s), options(std::move(o)), acceptor(l), retryTimer(l),
          hosts(options.address, hostNames(options)), history(TemperatureHistory::capacityFor(options.pollMs)) {
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
    HostPolicy hosts;
    TemperatureHistory history;
    bool wasConnected = false;
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

    static std::vector<std::string> hostNames(const Options &options) {
        std::vector<std::string> names = options.allowedHosts;
        beast::error_code ec;
        const std::string self = net::ip::host_name(ec);
        if (!ec)
            names.push_back(self);
        return names;
    }

    MetricsInput metricsInput() const {
        MetricsInput in;
        const DeviceService::Counters counters = service.counters();
        in.deviceCalls = counters.deviceCalls;
        in.deviceFailures = counters.deviceFailures;
        in.httpConnections = stats.connections;
        in.eventClients = stats.eventClients;
        in.httpRequests = stats.requests;
        if (options.scpiClients)
            in.scpiClients = options.scpiClients();
        return in;
    }

    void accept();
    void broadcast(const std::shared_ptr<const std::string> &message, bool isState);
    void onDeviceEvent(DeviceService::Event event, const DeviceState &state);
};

namespace {

class Session : public std::enable_shared_from_this<Session> {
public:
    Session(tcp::socket socket, std::shared_ptr<HttpServer::Core> core)
        : m_stream(std::move(socket)), m_core(std::move(core)), m_buffer(HttpServer::kReadBufferLimit),
          m_writeTimer(m_core->loop), m_heartbeatTimer(m_core->loop) {
        ++m_core->stats.connections;
        // A client that vanished without a word (a laptop put to sleep) is
        // noticed by the kernel even while the connection idles.
        enableKeepAlive(m_stream.socket());
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

    // Event streams only: queues one message. Of the state events that wait
    // only the newest is kept: it carries everything the older ones did.
    void send(std::shared_ptr<const std::string> message, bool isState) {
        if (m_closed)
            return;
        if (isState) {
            m_queue.erase(std::remove_if(m_queue.begin(), m_queue.end(), [](const Queued &q) { return q.isState; }),
                          m_queue.end());
        }
        if (m_queue.size() >= kEventBacklog) {
            close();
            return;
        }
        m_queue.push_back(Queued{std::move(message), isState});
        if (!m_writing)
            writeEvents();
    }

private:
    struct Queued {
        std::shared_ptr<const std::string> text;
        bool isState;
    };

    void readRequest(bool fresh) {
        if (m_closed)
            return;
        m_parser.emplace();
        m_parser->header_limit(HttpServer::kHeaderLimit);
        m_parser->body_limit(HttpServer::kBodyLimit);
        if (fresh || m_buffer.size() > 0) {
            readHeader();
            return;
        }
        // A kept-alive connection may idle; once its next request begins, the
        // header deadline applies.
        m_stream.expires_after(m_core->options.idleTimeout);
        m_stream.async_read_some(m_buffer.prepare(1024), [self = shared_from_this()](beast::error_code ec, size_t n) {
            if (ec)
                return self->close();
            self->m_buffer.commit(n);
            self->readHeader();
        });
    }

    // The header first, so that a request for another host or with a
    // transfer coding we do not speak is refused before its body is read.
    void readHeader() {
        m_stream.expires_after(m_core->options.headerTimeout);
        bhttp::async_read_header(m_stream, m_buffer, *m_parser,
                                 [self = shared_from_this()](beast::error_code ec, size_t) { self->onHeader(ec); });
    }

    void onHeader(beast::error_code ec) {
        if (m_closed)
            return;
        if (ec)
            return onReadError(ec);
        if (auto refusal = checkHeader(m_parser->get().base(), m_core->hosts))
            return write(std::move(*refusal));
        if (m_parser->is_done())
            return handle(m_parser->release());
        // The body within the same deadline as the header.
        bhttp::async_read(m_stream, m_buffer, *m_parser, [self = shared_from_this()](beast::error_code ec, size_t) {
            if (self->m_closed)
                return;
            if (ec)
                return self->onReadError(ec);
            self->handle(self->m_parser->release());
        });
    }

    void onReadError(beast::error_code ec) {
        const bool headerDone = m_parser && m_parser->is_header_done();
        if (ec == bhttp::error::body_limit || (ec == bhttp::error::buffer_overflow && headerDone))
            return refuse(bhttp::status::payload_too_large, "the body is larger than 4096 bytes");
        if (ec == bhttp::error::header_limit || ec == bhttp::error::buffer_overflow)
            return refuse(bhttp::status::request_header_fields_too_large, "the request header is too large");
        if (ec.category() == bhttp::make_error_code(bhttp::error::bad_target).category() &&
            ec != bhttp::error::end_of_stream && ec != bhttp::error::partial_message)
            return refuse(bhttp::status::bad_request, "malformed request");
        close();
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
        m_answerPending = true;
        write(std::move(res));
    }

    Response stateResponse(const Request &req) {
        return makeResponse(req, bhttp::status::ok, "application/json", m_core->stateJsonText());
    }

    void handle(Request req) {
        m_answerPending = true;
        m_head = req.method() == bhttp::verb::head;
        if (m_core->options.verbose)
            m_requestLine = std::string(req.method_string()) + " " + std::string(req.target());
        // Whatever goes wrong in answering one request ends that request
        // and its connection, never the daemon.
        try {
            dispatch(std::move(req));
        } catch (const std::exception &e) {
            if (m_core->options.verbose)
                std::fprintf(stderr, "lightd: HTTP client %s: %s failed: %s\n", m_peer.c_str(), m_requestLine.c_str(),
                             e.what());
            if (m_closed || m_writing) {
                countAnswer(500);
                return close();
            }
            Response res{bhttp::status::internal_server_error, 11};
            res.set(bhttp::field::server, "lightd");
            res.set(bhttp::field::content_type, "application/json");
            res.body() = "{\"error\":\"internal error\"}";
            res.keep_alive(false);
            res.prepare_payload();
            write(std::move(res));
        }
    }

    void dispatch(Request req) {
        RouteContext context;
        context.state = &m_core->service.state();
        context.stateJson = &m_core->stateJsonText();
        context.hosts = &m_core->hosts;
        context.token = m_core->options.token;
        context.webRoot = m_core->options.webRoot;
        context.metrics = [core = m_core.get()] { return core->metricsInput(); };
        context.history = &m_core->history;
        context.nowMs = unixMs();
        Route decided = route(req, context);
        switch (decided.action) {
        case Route::Action::Respond:
            return write(std::move(decided.response));
        case Route::Action::Events:
            return startEventStream(req);
        case Route::Action::Apply: {
            auto shared = std::make_shared<Request>(std::move(req));
            m_core->service.apply(std::move(decided.settings),
                                  [self = shared_from_this(), shared](const Outcome &outcome) {
                                      self->answerOutcome(*shared, outcome);
                                  });
            return;
        }
        case Route::Action::Trigger: {
            auto shared = std::make_shared<Request>(std::move(req));
            m_core->service.trigger([self = shared_from_this(), shared](const Outcome &outcome) {
                self->answerOutcome(*shared, outcome);
            });
            return;
        }
        }
    }

    void answerOutcome(const Request &req, const Outcome &outcome) {
        if (outcome.status == Outcome::Status::NotConnected) {
            const std::string &why = m_core->service.state().lastError;
            return write(errorResponse(req, bhttp::status::service_unavailable,
                                       why.empty() ? "the light source is not connected"
                                                   : "the light source is not connected: " + why));
        }
        if (outcome.status == Outcome::Status::DeviceFailed)
            return write(errorResponse(req, bhttp::status::bad_gateway,
                                       outcome.reason.empty() ? "the device call failed" : outcome.reason));
        // A completion runs before the service's listeners hear of the change.
        m_core->stateTextValid = false;
        write(stateResponse(req));
    }

    // A request read whole (or refused for what could not be read) counts
    // once, with the status it is answered with, even when the client has
    // gone before the answer; a header refused before reading is not counted.
    void countAnswer(unsigned status) {
        if (!m_answerPending)
            return;
        m_answerPending = false;
        m_core->stats.requests.add(status);
    }

    void write(Response res) {
        countAnswer(res.result_int());
        if (m_closed)
            return;
        if (m_core->options.verbose)
            std::fprintf(stderr, "lightd: HTTP client %s: %s %u\n", m_peer.c_str(), m_requestLine.c_str(),
                         res.result_int());
        auto out = std::make_shared<Outgoing>(std::move(res));
        m_stream.expires_after(m_core->options.writeTimeout);
        m_writing = true;
        auto done = [self = shared_from_this(), out](beast::error_code ec, size_t) {
            self->m_writing = false;
            if (ec)
                return self->close();
            if (!out->response.keep_alive())
                return self->drainAndClose();
            self->readRequest(false);
        };
        // HEAD: the header GET would answer, Content-Length included, alone.
        if (m_head)
            bhttp::async_write_header(m_stream, out->serializer, std::move(done));
        else
            bhttp::async_write(m_stream, out->serializer, std::move(done));
    }

    struct Outgoing {
        explicit Outgoing(Response r) : response(std::move(r)), serializer(response) {}
        Response response;
        bhttp::response_serializer<bhttp::string_body> serializer;
    };

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
        m_stream.async_read_some(net::buffer(m_discard), [self = shared_from_this()](beast::error_code ec, size_t n) {
            self->m_drained += n;
            if (ec || self->m_drained > kDrainLimit)
                return self->close();
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
        countAnswer(200);
        if (m_core->options.verbose)
            std::fprintf(stderr, "lightd: HTTP client %s: event stream open\n", m_peer.c_str());
        ++m_core->stats.eventClients;
        m_core->eventStreams.emplace(this, weak_from_this());
        m_stream.expires_never();
        send(std::make_shared<const std::string>(header.str()), false);
        send(std::make_shared<const std::string>("event: state\ndata: " + m_core->stateJsonText() + "\n\n"), true);
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
            if (self->m_queue.empty() && !self->m_writing)
                self->send(std::make_shared<const std::string>(": keep-alive\n\n"), false);
            self->scheduleHeartbeat();
        });
    }

    // Everything that waits goes out in one write, so a client that keeps
    // up never sees a backlog grow however fast the events come.
    void writeEvents() {
        if (m_closed || m_queue.empty()) {
            m_writing = false;
            return;
        }
        m_writing = true;
        auto batch = std::make_shared<std::vector<std::shared_ptr<const std::string>>>();
        std::vector<net::const_buffer> buffers;
        batch->reserve(m_queue.size());
        buffers.reserve(m_queue.size());
        for (Queued &q : m_queue) {
            buffers.emplace_back(net::buffer(*q.text));
            batch->push_back(std::move(q.text));
        }
        m_queue.clear();
        // The socket's own write with a timer of ours: the stream's deadline
        // would also cut the pending read that watches for the client's close.
        m_writeTimer.expires_after(m_core->options.writeTimeout);
        m_writeTimer.async_wait([self = shared_from_this()](beast::error_code ec) {
            if (!ec)
                self->close();
        });
        net::async_write(m_stream.socket(), buffers, [self = shared_from_this(), batch](beast::error_code ec, size_t) {
            self->m_writeTimer.cancel();
            if (ec)
                return self->close();
            self->writeEvents();
        });
    }

    beast::tcp_stream m_stream;
    std::shared_ptr<HttpServer::Core> m_core;
    beast::flat_buffer m_buffer;
    std::optional<bhttp::request_parser<bhttp::string_body>> m_parser;
    net::steady_timer m_writeTimer;
    net::steady_timer m_heartbeatTimer;
    std::deque<Queued> m_queue;
    std::array<char, 4096> m_discard{};
    size_t m_drained = 0;
    std::string m_peer;         // for -v only
    std::string m_requestLine;  // for -v only
    bool m_head = false;        // the request being answered is a HEAD
    bool m_answerPending = false;  // the request being answered is not yet counted
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

void HttpServer::Core::broadcast(const std::shared_ptr<const std::string> &message, bool isState) {
    // send() may close a session, which does not remove it from the map
    // until it is destroyed; collect first all the same.
    std::vector<std::shared_ptr<Session>> targets;
    targets.reserve(eventStreams.size());
    for (auto &entry : eventStreams)
        if (auto s = entry.second.lock())
            targets.push_back(std::move(s));
    for (auto &s : targets)
        s->send(message, isState);
}

void HttpServer::Core::onDeviceEvent(DeviceService::Event event, const DeviceState &state) {
    stateTextValid = false;
    // Every poll is a sample; so is the loss of the device, so that the
    // chart shows the gap rather than a line across it.
    if (event == DeviceService::Event::Temperatures || (wasConnected && !state.connected))
        history.record(unixMs(), state);
    wasConnected = state.connected;
    if (eventStreams.empty())
        return;
    if (event == DeviceService::Event::State)
        broadcast(std::make_shared<const std::string>("event: state\ndata: " + stateJsonText() + "\n\n"), true);
    else
        broadcast(std::make_shared<const std::string>(eventMessage("temperatures", temperaturesToJson(state))), false);
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
    core->wasConnected = core->service.state().connected;
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
