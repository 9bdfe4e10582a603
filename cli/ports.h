// The serial ports of this machine, as names to pass to --port. One
// implementation per platform (ports_posix.cpp, ports_win32.cpp).
#ifndef LIGHTCTL_PORTS_H
#define LIGHTCTL_PORTS_H

#include <string>
#include <vector>

std::vector<std::string> listSerialPorts();

#endif
