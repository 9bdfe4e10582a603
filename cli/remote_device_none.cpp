#include "remote_device.h"

std::unique_ptr<LightDevice> openRemoteDevice(const std::string &url, const std::string &) {
    throw PortError("this lightctl is built without HTTP (Boost.Beast); it cannot reach lightd at " + url);
}
