#include "device.h"

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <vector>

#include "DALU_LightKit.h"
#include "SerialPorts.h"

namespace {

// Only a thread inside a device call keeps its lines: the library's receive
// thread also logs, and over a long `watch` its lines would pile up unread.
thread_local bool t_capturing = false;
thread_local std::vector<std::string> t_lines;
std::mutex g_stderrMutex;  // the receive thread may log while the main thread does
bool g_verbose = false;

void onLibraryLine(const char *line, void *userData) {
    const bool verbose = *static_cast<const bool *>(userData);
    if (verbose) {
        std::lock_guard<std::mutex> lock(g_stderrMutex);
        std::fprintf(stderr, "%s\n", line);
    }
    if (t_capturing) t_lines.emplace_back(line);
}

// "[error] <DALUSDK_GetWorkMode:12> text" -> "text"; lines without the head stay as they are.
std::string withoutHead(const std::string &line) {
    if (line.empty() || line[0] != '[') return line;
    const size_t close = line.find("> ");
    return close == std::string::npos ? line : line.substr(close + 2);
}

// The first line of the last call on this thread, without its "[error] <func:line> " head.
std::string callReason() { return t_lines.empty() ? std::string() : withoutHead(t_lines.front()); }

// The operating system's code in the library's "... failed with error N."
// line (the open's own steps print one), or -1.
int osErrorOf(const std::vector<std::string> &lines) {
    static const std::string tag = "failed with error ";
    for (const std::string &line : lines) {
        const size_t at = line.find(tag);
        if (at != std::string::npos) return std::atoi(line.c_str() + at + tag.size());
    }
    return -1;
}

void check(int ret, const char *what) {
    if (ret == 0) return;
    std::string reason = callReason();
    throw DeviceError(reason.empty() ? std::string(what) + " failed" : std::string(what) + " failed: " + reason);
}

// Keeps the calling thread's lines from a clean slate on, so that a
// failure's reason is this call's own.
class CallLines {
public:
    CallLines() {
        t_lines.clear();
        t_capturing = true;
    }
    ~CallLines() { t_capturing = false; }
};

template <typename Call>
void call(const char *what, Call &&fn) {
    int ret;
    {
        CallLines lines;
        ret = fn();
    }
    check(ret, what);
}

}  // namespace

LogCapture::LogCapture(bool verbose) {
    g_verbose = verbose;
    DALUSDK_SetLogHandler(onLibraryLine, &g_verbose);
}

LogCapture::~LogCapture() { DALUSDK_SetLogHandler(nullptr, nullptr); }

PortDevice::PortDevice(const std::string &port) : m_port(port) {
    {
        CallLines lines;
        m_handle = DALUSDK_CreateHandle(port.c_str());
    }
    if (m_handle == nullptr) {
        // The library's line speaks of CreateFile and numbers; -v shows it.
        const int code = osErrorOf(t_lines);
        if (code >= 0) throw PortError("cannot open " + port + ": " + portErrorText(code));
        std::string reason = callReason();
        throw PortError("cannot open port " + port + (reason.empty() ? std::string() : ": " + reason));
    }
}

PortDevice::~PortDevice() { DALUSDK_DestroyHandle(m_handle); }

uint32_t PortDevice::model() {
    unsigned int v = 0;
    call("reading the device model", [&] { return DALUSDK_GetDeviceModel(m_handle, &v); });
    return v;
}

uint32_t PortDevice::firmwareVersion() {
    unsigned int v = 0;
    call("reading the firmware version", [&] { return DALUSDK_GetDeviceSofewareVersion(m_handle, &v); });
    return v;
}

bool PortDevice::globalEnable() {
    unsigned char v = 0;
    call("reading the global enable", [&] { return DALUSDK_GetGlobalEnable(m_handle, &v); });
    return v != 0;
}

void PortDevice::setGlobalEnable(bool on) {
    call("setting the global enable", [&] { return DALUSDK_SetGlobalEnable(m_handle, on ? 1 : 0); });
}

int PortDevice::workMode() {
    int v = 0;
    call("reading the work mode", [&] { return DALUSDK_GetWorkMode(m_handle, &v); });
    return v;
}

void PortDevice::setWorkMode(int mode) {
    call("setting the work mode", [&] { return DALUSDK_SetWorkMode(m_handle, mode); });
}

bool PortDevice::ledEnabled(int channel) {
    unsigned char v = 0;
    call("reading the channel enable", [&] { return DALUSDK_GetLedChecked(m_handle, channel, &v); });
    return v != 0;
}

void PortDevice::setLedEnabled(int channel, bool on) {
    call("setting the channel enable", [&] { return DALUSDK_SetLedChecked(m_handle, channel, on ? 1 : 0); });
}

int PortDevice::ledBrightness(int channel) {
    unsigned short v = 0;
    call("reading the brightness", [&] { return DALUSDK_GetLedBrightness(m_handle, channel, &v); });
    return v;
}

void PortDevice::setLedBrightness(int channel, int percent) {
    call("setting the brightness",
         [&] { return DALUSDK_SetLedBrightness(m_handle, channel, static_cast<unsigned short>(percent)); });
}

TempStatus PortDevice::ledTemperature(int channel) {
    float temp = 0;
    unsigned char alarm = 0;
    call("reading the temperature", [&] { return DALUSDK_GetLedTempStatus(m_handle, channel, &temp, &alarm); });
    return {temp, alarm != 0};
}

bool PortDevice::ttlOutput() {
    unsigned char v = 0;
    call("reading the TTL output enable", [&] { return DALUSDK_ModeTtl_GetOutputEnable(m_handle, &v); });
    return v != 0;
}

void PortDevice::setTtlOutput(bool on) {
    call("setting the TTL output enable", [&] { return DALUSDK_ModeTtl_SetOutputEnable(m_handle, on ? 1 : 0); });
}

int PortDevice::ttlDelay() {
    unsigned short v = 0;
    call("reading the TTL delay", [&] { return DALUSDK_ModeTtl_GetDelayTime(m_handle, &v); });
    return v;
}

void PortDevice::setTtlDelay(int ms) {
    call("setting the TTL delay",
         [&] { return DALUSDK_ModeTtl_SetDelayTime(m_handle, static_cast<unsigned short>(ms)); });
}

int PortDevice::edgeDelay() {
    unsigned short v = 0;
    call("reading the edge delay", [&] { return DALUSDK_ModeEdge_GetDelayTime(m_handle, &v); });
    return v;
}

void PortDevice::setEdgeDelay(int ms) {
    call("setting the edge delay",
         [&] { return DALUSDK_ModeEdge_SetDelayTime(m_handle, static_cast<unsigned short>(ms)); });
}

int PortDevice::edgePulse(int channel) {
    unsigned short v = 0;
    call("reading the edge pulse width", [&] { return DALUSDK_ModeEdge_GetPulseTime(m_handle, channel, &v); });
    return v;
}

void PortDevice::setEdgePulse(int channel, int ms) {
    call("setting the edge pulse width",
         [&] { return DALUSDK_ModeEdge_SetPulseTime(m_handle, channel, static_cast<unsigned short>(ms)); });
}

bool PortDevice::internalOutput() {
    unsigned char v = 0;
    call("reading the internal trigger output enable",
         [&] { return DALUSDK_ModeTrigger_GetOutputEnable(m_handle, &v); });
    return v != 0;
}

void PortDevice::setInternalOutput(bool on) {
    call("setting the internal trigger output enable",
         [&] { return DALUSDK_ModeTrigger_SetOutputEnable(m_handle, on ? 1 : 0); });
}

int PortDevice::internalDelay() {
    unsigned short v = 0;
    call("reading the internal trigger delay", [&] { return DALUSDK_ModeTrigger_GetDelayTime(m_handle, &v); });
    return v;
}

void PortDevice::setInternalDelay(int ms) {
    call("setting the internal trigger delay",
         [&] { return DALUSDK_ModeTrigger_SetDelayTime(m_handle, static_cast<unsigned short>(ms)); });
}

int PortDevice::internalHigh() {
    unsigned short v = 0;
    call("reading the internal trigger high time", [&] { return DALUSDK_ModeTrigger_GetHighTime(m_handle, &v); });
    return v;
}

void PortDevice::setInternalHigh(int ms) {
    call("setting the internal trigger high time",
         [&] { return DALUSDK_ModeTrigger_SetHighTime(m_handle, static_cast<unsigned short>(ms)); });
}

int PortDevice::internalLow() {
    unsigned short v = 0;
    call("reading the internal trigger low time", [&] { return DALUSDK_ModeTrigger_GetLowTime(m_handle, &v); });
    return v;
}

void PortDevice::setInternalLow(int ms) {
    call("setting the internal trigger low time",
         [&] { return DALUSDK_ModeTrigger_SetLowTime(m_handle, static_cast<unsigned short>(ms)); });
}

int PortDevice::internalCount() {
    unsigned char v = 0;
    call("reading the internal trigger pulse count", [&] { return DALUSDK_ModeTrigger_GetPulseNum(m_handle, &v); });
    return v;
}

void PortDevice::setInternalCount(int count) {
    call("setting the internal trigger pulse count",
         [&] { return DALUSDK_ModeTrigger_SetPulseNum(m_handle, static_cast<unsigned char>(count)); });
}

void PortDevice::trigger() {
    call("firing the internal trigger", [&] { return DALUSDK_ModeTrigger_OnTrigger(m_handle); });
}

uint32_t sdkVersion() {
    unsigned int v = 0;
    DALUSDK_GetSdkVersion(&v);
    return v;
}
