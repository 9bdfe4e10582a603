#include "SerialPorts.h"

#include <windows.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <vector>

namespace {

bool isComName(const std::string &name) {
    if (name.size() < 4 || name.compare(0, 3, "COM") != 0) return false;
    return std::all_of(name.begin() + 3, name.end(), [](unsigned char c) { return std::isdigit(c) != 0; });
}

}  // namespace

std::vector<std::string> listSerialPorts() {
    // Every DOS device name, NUL-separated; the buffer grows until it fits.
    std::vector<char> names(16384);
    DWORD length = 0;
    for (;;) {
        length = QueryDosDeviceA(nullptr, names.data(), static_cast<DWORD>(names.size()));
        if (length != 0 || GetLastError() != ERROR_INSUFFICIENT_BUFFER || names.size() > (1u << 22)) break;
        names.resize(names.size() * 2);
    }
    std::vector<std::string> ports;
    for (const char *p = names.data(); p < names.data() + length && *p != '\0'; p += std::strlen(p) + 1) {
        std::string name(p);
        if (isComName(name)) ports.push_back(name);
    }
    std::sort(ports.begin(), ports.end(), [](const std::string &a, const std::string &b) {
        return std::stoi(a.substr(3)) < std::stoi(b.substr(3));
    });
    ports.erase(std::unique(ports.begin(), ports.end()), ports.end());
    return ports;
}
