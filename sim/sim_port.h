// The virtual light source's side of the line: one small interface, one file
// per platform (sim_port_posix.cpp, sim_port_win32.cpp), chosen by CMake.
#ifndef LIGHTSIM_SIM_PORT_H
#define LIGHTSIM_SIM_PORT_H

#include <cstdint>
#include <string>

struct SimPort;  // opaque

// name empty: creates a pseudo-terminal (raw, no echo, all 256 byte values
// pass) and serves its master side; SimPort_Path gives the slave to open.
// Windows has no pseudo-terminals: there, name empty serves the first port of
// the null-modem pair in LIGHTSIM_PAIR ("COM12,COM11"), and SimPort_Path
// gives the second.
// name set: opens that existing port and sets it to raw 115200 8N1.
// Null with *error filled on failure.
SimPort *SimPort_Open(const std::string &name, std::string *error);

// Restores an existing port's settings and closes it (the pty vanishes).
void SimPort_Close(SimPort *port);

// The name a client opens.
std::string SimPort_Path(const SimPort *port);

// Waits up to timeoutMs (0: do not wait) for bytes and reads up to cap of them.
// Returns the count (0 after a time-out or SimPort_Wake), -1 on a port error.
int SimPort_Read(SimPort *port, uint8_t *buffer, int cap, int timeoutMs);

// Writes what the line takes without blocking; bytes nobody reads are lost,
// as on a wire. Returns the count written, -1 on a port error.
int SimPort_Write(SimPort *port, const uint8_t *buffer, int count);

// Makes a SimPort_Read in progress on another thread return at once.
void SimPort_Wake(SimPort *port);

#endif
