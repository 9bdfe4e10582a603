#include "VirtualLightSource.h"

struct VirtualLightSource::Impl {};

VirtualLightSource::VirtualLightSource(SimOptions) : m_impl(new Impl) {}
VirtualLightSource::~VirtualLightSource() = default;
bool VirtualLightSource::start() { return false; }
void VirtualLightSource::stop() {}
bool VirtualLightSource::running() const { return false; }
std::string VirtualLightSource::errorText() const { return "not implemented"; }
std::string VirtualLightSource::portPath() const { return {}; }
void VirtualLightSource::setFaults(const SimFaults &) {}
SimFaults VirtualLightSource::faults() const { return {}; }
void VirtualLightSource::setFixedTemperature(int, float, bool) {}
SimTemperature VirtualLightSource::temperature(int) const { return {}; }
SimDeviceState VirtualLightSource::state() const { return {}; }
void VirtualLightSource::setState(const SimDeviceState &) {}
std::vector<CmdPkg> VirtualLightSource::receivedFrames() const { return {}; }
void VirtualLightSource::clearReceivedFrames() {}
bool VirtualLightSource::waitForFrames(size_t, int) const { return false; }
uint64_t VirtualLightSource::answersSent() const { return 0; }
uint64_t VirtualLightSource::requestsHandled() const { return 0; }
