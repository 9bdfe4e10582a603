// The serial ports of this machine, by the names the library opens them by
// (COM3; /dev/ttyUSB0). Used by lightctl's port list and, on Windows, by
// LightConsole's port box, where Qt's serial-port module is not built. One
// implementation per platform (serial_ports_posix.cpp, serial_ports_win32.cpp).
#ifndef LIGHTKIT_SERIAL_PORTS_H
#define LIGHTKIT_SERIAL_PORTS_H

#include <string>
#include <vector>

std::vector<std::string> listSerialPorts();

#endif
