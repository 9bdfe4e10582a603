#include "sim_port.h"

SimPort *SimPort_Open(const std::string &, std::string *error) { if (error) *error = "not implemented"; return nullptr; }
void SimPort_Close(SimPort *) {}
std::string SimPort_Path(const SimPort *) { return {}; }
int SimPort_Read(SimPort *, uint8_t *, int, int) { return -1; }
int SimPort_Write(SimPort *, const uint8_t *, int) { return -1; }
void SimPort_Wake(SimPort *) {}
