#include "discover.h"

#include "device.h"

std::vector<DiscoveredLight> discoverLights(std::chrono::milliseconds) {
    throw DeviceError("this lightctl is built without DNS-SD (Avahi); give lightd's address yourself");
}
