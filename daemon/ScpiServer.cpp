#include "ScpiServer.h"

#include <array>
#include <cstdio>
#include <deque>
#include <map>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>

#include "DALU_LightKit.h"
#include "KeepAlive.h"
#include "ScpiSession.h"

namespace lightd {

namespace asio = boost::asio;
using asio::ip::tcp;

namespace {

// Answers waiting for a client that does not read: past this, no further
// line is run until the client has taken some.
constexpr size_t kOutputHighWater = 64 * 1024;
constexpr size_t kReadChunk = 4096;

using Clock = std::chrono::steady_clock;

class ServiceDevice : public ScpiDevice {
public:
    explicit ServiceDevice(DeviceService &service) : m_service(service) {}
    const DeviceState &state() const override { return m_service.state(); }
    void apply(std::vector<Setting> settings, Done done) override { m_service.apply(std::move(settings), std::move(done)); }
    void trigger(Done done) override { m_service.trigger(std::move(done)); }
    void selfTest(Done done) override { m_service.selfTest(std::move(done)); }
    unsigned libraryVersion() const override {
        unsigned version = 0;
        DALUSDK_GetSdkVersion(&version);
        return version;
    }

private:
    DeviceService &m_service;
};

}  // namespace

class ScpiConnection;

struct ScpiServer::Impl : std::enable_shared_from_this<ScpiServer::Impl> {
    Impl(asio::io_context &loop_, DeviceService &service_, ListenOptions options_)
        : loop(loop_), service(service_), device(service_), options(std::move(options_)), acceptor(loop_),
          retry(loop_) {}

    void accept();
    void refuse(tcp::socket socket);
    void remove(ScpiConnection *connection) { connections.erase(connection); }

    asio::io_context &loop;
    DeviceService &service;
    int listener = 0;  // the sessions' status registers follow the device
    ServiceDevice device;
    ListenOptions options;
    tcp::acceptor acceptor;
    asio::steady_timer retry;
    std::map<ScpiConnection *, std::weak_ptr<ScpiConnection>> connections;
    bool running = false;
};

namespace {

std::string peerName(const tcp::socket &socket) {
    boost::system::error_code ec;
    const auto peer = socket.remote_endpoint(ec);
    if (ec) return "?";
    return peer.address().to_string() + ":" + std::to_string(peer.port());
}

}  // namespace

class ScpiConnection : public std::enable_shared_from_this<ScpiConnection> {
public:
    ScpiConnection(tcp::socket socket, const std::shared_ptr<ScpiServer::Impl> &server)
        : m_socket(std::move(socket)), m_server(server), m_session(server->device, server->options.token),
          m_peer(peerName(m_socket)), m_verbose(server->options.verbose), m_idle(server->loop),
          m_idleTimeout(server->options.idleTimeout) {}

    void start() {
        if (m_verbose) std::fprintf(stderr, "lightd: SCPI client %s connected\n", m_peer.c_str());
        // Closed in about two minutes once its machine is gone, even with no idle time-out.
        enableKeepAlive(m_socket);
        if (m_idleTimeout.count() > 0) {
            m_heard = Clock::now();
            waitIdle();
        }
        read();
    }

    void deviceChanged() { m_session.updateStatus(); }

    // `why`, when given, follows "closed" in the verbose line.
    void close(const char *why = nullptr) {
        if (m_closed) return;
        m_closed = true;
        boost::system::error_code ec;
        m_socket.shutdown(tcp::socket::shutdown_both, ec);
        m_socket.close(ec);
        m_idle.cancel();
        m_server->remove(this);
        if (m_verbose) {
            std::fprintf(stderr, "lightd: SCPI client %s closed%s%s\n", m_peer.c_str(), why != nullptr ? ": " : "",
                         why != nullptr ? why : "");
        }
    }

private:
    // Idle means nothing received; a line still running counts as activity.
    void waitIdle() {
        m_idle.expires_at(m_heard + m_idleTimeout);
        m_idle.async_wait([self = shared_from_this()](const boost::system::error_code &ec) {
            if (ec || self->m_closed) return;
            if (self->m_busy) self->m_heard = Clock::now();
            if (Clock::now() < self->m_heard + self->m_idleTimeout) {
                self->waitIdle();
                return;
            }
            const std::string why = "silent for " + std::to_string(self->m_idleTimeout.count()) + " s";
            self->close(why.c_str());
        });
    }

    void read() {
        if (m_closed || m_reading) return;
        m_reading = true;
        m_socket.async_read_some(asio::buffer(m_buffer),
                                 [self = shared_from_this()](const boost::system::error_code &ec, size_t n) {
                                     self->m_reading = false;
                                     if (ec == asio::error::eof) {
                                         // Half-closed: answer what came, then close.
                                         self->m_peerDone = true;
                                         self->closeWhenIdle();
                                         return;
                                     }
                                     if (ec) {
                                         self->close();
                                         return;
                                     }
                                     self->m_heard = Clock::now();
                                     self->take(self->m_buffer.data(), n);
                                     self->runLines();
                                 });
    }

    // Splits what came in into lines; a line over the limit is dropped up to
    // its end and leaves one error, so the connection stays usable. A line
    // that looks like HTTP closes the connection with nothing more run: a
    // web page can make a browser post to this port, and the body lines
    // would otherwise run as commands.
    void take(const char *data, size_t size) {
        for (size_t i = 0; i < size; ++i) {
            const char c = data[i];
            if (c == '\n') {
                if (m_discarding) {
                    m_discarding = false;
                } else {
                    if (!m_partial.empty() && m_partial.back() == '\r') m_partial.pop_back();
                    if (looksLikeHttp(m_partial)) {
                        refuseHttp();
                        return;
                    }
                    m_lines.push_back(Line{std::move(m_partial), false});
                }
                m_partial.clear();
                continue;
            }
            if (m_discarding) continue;
            if (m_partial.size() >= ScpiServer::kMaxLineBytes) {
                if (looksLikeHttp(m_partial)) {
                    refuseHttp();
                    return;
                }
                m_partial.clear();
                m_partial.shrink_to_fit();
                m_discarding = true;
                m_lines.push_back(Line{std::string(), true});  // its error comes in line order
                continue;
            }
            m_partial += c;
        }
    }

    void refuseHttp() {
        m_lines.clear();
        m_partial.clear();
        close("HTTP on the SCPI port");
    }

    void runLines() {
        if (m_running) return;  // a line completed synchronously inside execute
        m_running = true;
        while (!m_closed && !m_busy && !m_lines.empty() && m_outputBytes < kOutputHighWater) {
            Line line = std::move(m_lines.front());
            m_lines.pop_front();
            if (line.tooLong) {
                m_session.queueError(scpi_error::kTooMuchData,
                                     "line longer than " + std::to_string(ScpiServer::kMaxLineBytes) + " bytes");
                continue;
            }
            m_busy = true;
            m_session.execute(line.text, [self = shared_from_this()](std::string answer) {
                self->m_busy = false;
                if (!answer.empty()) self->send(std::move(answer) + "\n");
                self->runLines();
            });
        }
        m_running = false;
        if (!m_busy && m_lines.empty()) {
            if (m_peerDone) {
                closeWhenIdle();
            } else {
                read();
            }
        }
    }

    void closeWhenIdle() {
        if (!m_busy && m_lines.empty() && m_output.empty() && !m_writing) close();
    }

    void send(std::string text) {
        if (m_closed) return;
        m_outputBytes += text.size();
        m_output.push_back(std::move(text));
        if (!m_writing) write();
    }

    void write() {
        m_writing = true;
        asio::async_write(m_socket, asio::buffer(m_output.front()),
                          [self = shared_from_this()](const boost::system::error_code &ec, size_t) {
                              self->m_writing = false;
                              if (ec) {
                                  self->close();
                                  return;
                              }
                              self->m_outputBytes -= self->m_output.front().size();
                              self->m_output.pop_front();
                              if (!self->m_output.empty()) {
                                  self->write();
                              } else {
                                  self->runLines();
                              }
                          });
    }

    tcp::socket m_socket;
    // Kept alive by its connections: the sessions use its device.
    std::shared_ptr<ScpiServer::Impl> m_server;
    ScpiSession m_session;
    std::string m_peer;
    bool m_verbose;
    std::array<char, kReadChunk> m_buffer{};
    std::string m_partial;
    struct Line {
        std::string text;
        bool tooLong;  // cut off at the limit: run nothing, queue an error
    };
    std::deque<Line> m_lines;
    bool m_discarding = false;
    std::deque<std::string> m_output;
    size_t m_outputBytes = 0;
    bool m_reading = false;
    bool m_writing = false;
    bool m_busy = false;
    bool m_running = false;
    bool m_closed = false;
    bool m_peerDone = false;  // the client sent its end of stream
    asio::steady_timer m_idle;
    std::chrono::seconds m_idleTimeout;  // 0: never
    Clock::time_point m_heard;           // when the client last sent anything
};

void ScpiServer::Impl::accept() {
    acceptor.async_accept([self = shared_from_this()](const boost::system::error_code &ec, tcp::socket socket) {
        if (!self->running) return;
        if (ec) {
            // Out of descriptors, for instance: try again shortly rather than spin.
            self->retry.expires_after(std::chrono::milliseconds(100));
            self->retry.async_wait([self](const boost::system::error_code &waitError) {
                if (!waitError && self->running) self->accept();
            });
            return;
        }
        if (self->connections.size() >= self->options.maxClients) {
            self->refuse(std::move(socket));
        } else {
            auto connection = std::make_shared<ScpiConnection>(std::move(socket), self);
            self->connections.emplace(connection.get(), connection);
            connection->start();
        }
        self->accept();
    });
}

void ScpiServer::Impl::refuse(tcp::socket socket) {
    auto held = std::make_shared<tcp::socket>(std::move(socket));
    auto text = std::make_shared<std::string>("ERROR: lightd: too many clients (limit " +
                                              std::to_string(options.maxClients) + "), connection closed\n");
    if (options.verbose) std::fprintf(stderr, "lightd: SCPI client %s refused: too many clients\n", peerName(*held).c_str());
    asio::async_write(*held, asio::buffer(*text), [held, text](const boost::system::error_code &, size_t) {
        boost::system::error_code ec;
        held->shutdown(tcp::socket::shutdown_both, ec);
        held->close(ec);
    });
}

ScpiServer::ScpiServer(asio::io_context &loop, DeviceService &device, ListenOptions options)
    : m_impl(std::make_shared<Impl>(loop, device, std::move(options))) {}

ScpiServer::~ScpiServer() { stop(); }

bool ScpiServer::start(std::string *error) {
    Impl &d = *m_impl;
    boost::system::error_code ec;
    const auto address = asio::ip::make_address(d.options.address, ec);
    if (ec) {
        *error = "not an IP address: " + d.options.address;
        return false;
    }
    const tcp::endpoint endpoint(address, d.options.port);
    d.acceptor.open(endpoint.protocol(), ec);
    if (!ec) d.acceptor.set_option(tcp::acceptor::reuse_address(true), ec);
    if (!ec) d.acceptor.bind(endpoint, ec);
    if (!ec) d.acceptor.listen(asio::socket_base::max_listen_connections, ec);
    if (ec) {
        *error = "cannot listen on " + d.options.address + " port " + std::to_string(d.options.port) + ": " +
                 ec.message();
        d.acceptor.close(ec);
        return false;
    }
    d.running = true;
    // Every change and poll, so that an alarm that comes and goes between two
    // of a client's lines still leaves its event.
    d.listener = d.service.subscribe([&d](DeviceService::Event, const DeviceState &) {
        for (const auto &entry : d.connections) {
            if (auto connection = entry.second.lock()) connection->deviceChanged();
        }
    });
    d.accept();
    return true;
}

void ScpiServer::stop() {
    Impl &d = *m_impl;
    d.running = false;
    if (d.listener != 0) d.service.unsubscribe(d.listener);
    d.listener = 0;
    boost::system::error_code ec;
    d.acceptor.close(ec);
    d.retry.cancel();
    const auto connections = d.connections;
    for (const auto &entry : connections) {
        if (auto connection = entry.second.lock()) connection->close();
    }
    d.connections.clear();
}

uint16_t ScpiServer::boundPort() const {
    boost::system::error_code ec;
    const auto endpoint = m_impl->acceptor.local_endpoint(ec);
    return ec ? 0 : endpoint.port();
}

size_t ScpiServer::clientCount() const { return m_impl->connections.size(); }

}  // namespace lightd
