#include "SerialPorts.h"

#include <windows.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
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

std::string portErrorText(int code) {
    switch (code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND: return "no such port";
    // A COM port that another program holds is refused as access denied.
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION: return "the port is in use by another program (lightd?) or access is denied";
    default: {
        char *text = nullptr;
        const DWORD n = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                           FORMAT_MESSAGE_IGNORE_INSERTS,
                                       nullptr, static_cast<DWORD>(code), 0, reinterpret_cast<char *>(&text), 0, nullptr);
        std::string reason = n > 0 && text != nullptr ? std::string(text, n) : "error " + std::to_string(code);
        if (text != nullptr) LocalFree(text);
        while (!reason.empty() && (std::isspace(static_cast<unsigned char>(reason.back())) || reason.back() == '.'))
            reason.pop_back();
        if (!reason.empty()) reason[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(reason[0])));
        return reason;
    }
    }
}
