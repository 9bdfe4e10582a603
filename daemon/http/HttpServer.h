// lightd's HTTP front end: the JSON API, the event stream, /metrics and the
// web page, served on the daemon's event loop with Boost.Beast.
//
// Every connection is a session object that owns its socket and buffers and
// lives as long as one of its operations is pending. Requests are read with a
// deadline (a new connection must send a whole request within the header
// timeout; a kept-alive one may then idle for the idle timeout), bodies are
// limited to 4 KiB and what a connection buffers to 16 KiB, and responses
// are written with a deadline, so a client that trickles bytes or stops
// reading holds nothing for long. Only requests that name lightd in Host are
// served (see HostPolicy). Writes go to the DeviceService; the server never
// calls the library itself.
#ifndef LIGHTD_HTTP_SERVER_H
#define LIGHTD_HTTP_SERVER_H

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>

#include "DeviceService.h"
#include "HttpApi.h"

namespace lightd::http {

class HttpServer {
public:
    static constexpr size_t kBodyLimit = 4096;
    static constexpr size_t kHeaderLimit = 8192;
    // What one connection may hold of a request that is still coming: the
    // header limit and room for chunk sizes, extensions and trailers, which
    // the parser's own header and body limits do not count.
    static constexpr size_t kReadBufferLimit = kHeaderLimit + 8192;

    struct Options {
        std::string address = "127.0.0.1";
        uint16_t port = 8080;                         // 0: any free port (see port())
        std::vector<std::string> allowedHosts;        // Host names served besides localhost and the machine's
        std::string token;                            // empty: writes need no token
        std::string webRoot;                          // folder with index.html, app.js, ...
        std::chrono::milliseconds headerTimeout{10000};
        std::chrono::milliseconds idleTimeout{30000};
        std::chrono::milliseconds writeTimeout{15000};
        std::chrono::milliseconds heartbeat{15000};   // comment line on idle event streams
        size_t maxConnections = 4096;                 // further connections get 503 and are closed
        unsigned pollMs = 1000;                       // the device's poll interval: sizes the history
        std::function<int64_t()> scpiClients;         // for /metrics; may be empty
        bool verbose = false;                         // one line per request on standard error
    };

    HttpServer(boost::asio::io_context &loop, DeviceService &service, Options options);
    ~HttpServer();  // stops
    HttpServer(const HttpServer &) = delete;
    HttpServer &operator=(const HttpServer &) = delete;

    // Binds, listens and starts accepting. False with a reason on failure.
    bool start(std::string &error);
    // Stops accepting and closes every connection. Loop thread.
    void stop();
    // The port listened on, once started.
    uint16_t port() const;

    struct Stats {
        uint64_t connections = 0;   // open now, event streams included
        uint64_t eventClients = 0;  // open event streams
        HttpRequestCounts requests; // answered since start, by status code
    };
    Stats stats() const;

    struct Core;

private:
    std::shared_ptr<Core> m_core;
};

}  // namespace lightd::http

#endif
