// The light sources that lightd announces on the local network (DNS-SD:
// _scpi-raw._tcp and _http._tcp with product=LightKit), found through the
// system's Avahi daemon.
#ifndef LIGHTCTL_DISCOVER_H
#define LIGHTCTL_DISCOVER_H

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

struct DiscoveredLight {
    std::string name;  // the service name, e.g. "LightKit ttyUSB0 on lab-pc"
    std::string host;  // e.g. lab-pc.local
    std::vector<std::string> addresses;  // IPv4 first
    uint16_t scpiPort = 0;
    uint16_t httpPort = 0;
    std::string httpPath;
    std::string device;
    std::string model;
    std::string firmware;
};

// Browses for `wait` (or until Avahi has reported everything it knows),
// sorted by name. Throws DeviceError when no Avahi daemon can be reached.
std::vector<DiscoveredLight> discoverLights(std::chrono::milliseconds wait);

#endif
