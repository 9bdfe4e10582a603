#include "SimDevice.h"

SimDevice::SimDevice(uint32_t model, uint32_t version, SimClock::time_point now)
    : m_model(model), m_version(version), m_lastTick(now) {
    for (double &t : m_tempCenti) t = kSimAmbientCenti;
}
SimRequestKind SimDevice::handle(const CmdPkg &, SimClock::time_point, SimAnswer *) { return SimRequestKind::Unknown; }
bool SimDevice::answerFor(const CmdPkg &, CmdPkg *) const { return false; }
void SimDevice::tick(SimClock::time_point) {}
void SimDevice::setFixedMode(bool fixed) { m_fixed = fixed; }
void SimDevice::setFixedTemperature(int, float, bool) {}
SimTemperature SimDevice::temperature(int) const { return {}; }
void SimDevice::setFaults(const SimFaults &faults) { m_faults = faults; }
void SimDevice::nextUnsolicited(CmdPkg *) {}
void SimDevice::applyWrite(const CmdPkg &) {}
bool SimDevice::isWrite(uint16_t) { return false; }
bool SimParseFixedTemps(const char *, SimTemperature *, int *) { return false; }
