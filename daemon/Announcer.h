// Announces lightd on the local network with DNS-SD through the system's
// Avahi daemon: its SCPI port as _scpi-raw._tcp and its HTTP port as
// _http._tcp, both under one service name, with TXT records for the model,
// the firmware and the page's path. Avahi runs its own thread; lightd's loop
// only starts, updates and stops the announcement. Without an Avahi daemon
// the announcer says so in one line and waits for one to appear; built
// without Avahi (Windows), it says that instead.
#ifndef LIGHTD_ANNOUNCER_H
#define LIGHTD_ANNOUNCER_H

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace lightd {

struct AnnounceInfo {
    std::string listenAddress;  // loopback: announced on the loopback interface only
    uint16_t scpiPort = 0;
    uint16_t httpPort = 0;
    std::string devicePort;     // e.g. /dev/ttyUSB0
    std::string model;          // "4-colour", ... or "" until connected
    std::string firmware;       // "1.2.3" or "" until connected
};

class Announcer {
public:
    using Log = std::function<void(const std::string &line)>;
    // Never fails: problems are lines in the log.
    Announcer(AnnounceInfo info, Log log);
    ~Announcer();
    Announcer(const Announcer &) = delete;
    Announcer &operator=(const Announcer &) = delete;

    // New model and firmware (after a connection): the TXT records follow.
    void update(const std::string &model, const std::string &firmware);

    struct Impl;

private:
    std::unique_ptr<Impl> m_impl;
};

// The service name: "LightKit <device> on <host>", e.g. "LightKit ttyUSB0 on
// lab-pc" for /dev/ttyUSB0; at most the 63 bytes DNS-SD allows.
std::string serviceName(const std::string &devicePort, const std::string &hostName);

}  // namespace lightd

#endif
