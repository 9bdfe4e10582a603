// SCPI over a raw TCP socket (port 5025 by convention): one session per
// connection on the daemon's event loop, lines of at most 1 KiB, a limit on
// the number of clients, keep-alive and an idle time-out so that clients
// that vanished give their place back.
#ifndef LIGHTD_SCPI_SERVER_H
#define LIGHTD_SCPI_SERVER_H

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include <boost/asio/io_context.hpp>

#include "DeviceService.h"

namespace lightd {

// What every network front end of lightd shares.
struct ListenOptions {
    std::string address = "127.0.0.1";
    uint16_t port = 0;         // 0: any free port (see boundPort)
    size_t maxClients = 16;
    std::string token;         // empty: no password
    bool verbose = false;      // connections on standard error
    // SCPI: a client that sends nothing for this long is closed; 0: never.
    std::chrono::seconds idleTimeout{300};
};

class ScpiServer {
public:
    static constexpr size_t kMaxLineBytes = 1024;

    ScpiServer(boost::asio::io_context &loop, DeviceService &device, ListenOptions options);
    ~ScpiServer();
    ScpiServer(const ScpiServer &) = delete;
    ScpiServer &operator=(const ScpiServer &) = delete;

    // Binds and listens; false with the reason in *error.
    bool start(std::string *error);
    // Closes the listening socket and every connection.
    void stop();
    uint16_t boundPort() const;
    size_t clientCount() const;

private:
    friend class ScpiConnection;
    struct Impl;
    std::shared_ptr<Impl> m_impl;
};

}  // namespace lightd

#endif
