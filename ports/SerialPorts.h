// The serial ports of this machine, by the names the library opens them by
// (COM3; /dev/ttyUSB0), and the plain words for why a port would not open.
// Used by lightctl and, on Windows, by LightConsole's port box, where Qt's
// serial-port module is not built. One implementation per platform
// (serial_ports_posix.cpp, serial_ports_win32.cpp).
#ifndef LIGHTKIT_SERIAL_PORTS_H
#define LIGHTKIT_SERIAL_PORTS_H

#include <cctype>
#include <cstring>
#include <string>
#include <vector>

std::vector<std::string> listSerialPorts();

// The reason for the operating system's error code `code` from opening or
// setting up a port ("no such file or directory"), without a full stop.
std::string portErrorText(int code);

// The reason for a C library errno value (a failed write), in lower case.
inline std::string plainErrnoText(int code) {
    std::string text = std::strerror(code);
    if (!text.empty()) text[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(text[0])));
    return text;
}

#endif
