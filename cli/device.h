// LightDevice: one open handle of the library, with its failures turned into
// exceptions that carry the library's own reason. The library prints its
// reasons as log lines; LogCapture routes them through the log hook so that
// none reaches standard output, keeps the calling thread's lines for the
// error text and, when verbose, echoes every line to standard error.
#ifndef LIGHTCTL_DEVICE_H
#define LIGHTCTL_DEVICE_H

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>

// A device call that returned -1; what() names the call and the reason.
class DeviceError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The port could not be opened.
class PortError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Installs the log hook for its lifetime. One per process.
class LogCapture {
public:
    explicit LogCapture(bool verbose);
    ~LogCapture();
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;
};

struct TempStatus {
    float celsius = 0;
    bool alarm = false;
};

class LightDevice {
public:
    // Throws PortError with the library's reason.
    explicit LightDevice(const std::string &port);
    ~LightDevice();
    LightDevice(const LightDevice &) = delete;
    LightDevice &operator=(const LightDevice &) = delete;

    uint32_t model();
    uint32_t firmwareVersion();
    bool globalEnable();
    void setGlobalEnable(bool on);
    int workMode();
    void setWorkMode(int mode);

    bool ledEnabled(int channel);
    void setLedEnabled(int channel, bool on);
    int ledBrightness(int channel);
    void setLedBrightness(int channel, int percent);
    TempStatus ledTemperature(int channel);

    bool ttlOutput();
    void setTtlOutput(bool on);
    int ttlDelay();
    void setTtlDelay(int ms);

    int edgeDelay();
    void setEdgeDelay(int ms);
    int edgePulse(int channel);
    void setEdgePulse(int channel, int ms);

    bool internalOutput();
    void setInternalOutput(bool on);
    int internalDelay();
    void setInternalDelay(int ms);
    int internalHigh();
    void setInternalHigh(int ms);
    int internalLow();
    void setInternalLow(int ms);
    int internalCount();
    void setInternalCount(int count);
    void trigger();

private:
    void *m_handle = nullptr;
};

// The library's version number (needs no device).
uint32_t sdkVersion();

#endif
