#include "SerialPorts.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

namespace {

// The 8250 driver claims every legacy ttyS slot; a slot without a UART
// reports type 0.
bool isEmptyUartSlot(const fs::path &ttyClassEntry) {
    std::ifstream type(ttyClassEntry / "type");
    int value = -1;
    return type >> value && value == 0;
}

}  // namespace

std::vector<std::string> listSerialPorts() {
    std::vector<std::string> ports;
    std::error_code ec;
    // Stable names first: they survive replugging.
    for (const auto &entry : fs::directory_iterator("/dev/serial/by-id", ec))
        ports.push_back(entry.path().string());
    std::sort(ports.begin(), ports.end());

    std::vector<std::string> ttys;
    for (const auto &entry : fs::directory_iterator("/sys/class/tty", ec)) {
        if (!fs::exists(entry.path() / "device" / "driver", ec)) continue;
        if (isEmptyUartSlot(entry.path())) continue;
        ttys.push_back("/dev/" + entry.path().filename().string());
    }
    std::sort(ttys.begin(), ttys.end());
    ports.insert(ports.end(), ttys.begin(), ttys.end());
    return ports;
}

std::string portErrorText(int code) {
    switch (code) {
    // The library locks the port it opens; a second open finds the lock taken.
    case EWOULDBLOCK:
    case EBUSY: return "the port is in use by another program (lightd?)";
    case EACCES: return "permission denied (is the user in the group dialout?)";
    case ENOTTY: return "not a serial port";
    default: return plainErrnoText(code);
    }
}
