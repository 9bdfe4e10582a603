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

// What the commands drive: a light source on a local port (PortDevice) or
// one that lightd serves (RemoteDevice). Every call throws DeviceError when
// it fails, with the reason.
class LightDevice {
public:
    virtual ~LightDevice() = default;

    // The serial port the light source is on.
    virtual std::string portName() const = 0;
    virtual uint32_t model() = 0;
    virtual uint32_t firmwareVersion() = 0;
    virtual bool globalEnable() = 0;
    virtual void setGlobalEnable(bool on) = 0;
    virtual int workMode() = 0;
    virtual void setWorkMode(int mode) = 0;
    virtual bool ledEnabled(int channel) = 0;
    virtual void setLedEnabled(int channel, bool on) = 0;
    virtual int ledBrightness(int channel) = 0;
    virtual void setLedBrightness(int channel, int percent) = 0;
    virtual TempStatus ledTemperature(int channel) = 0;
    virtual bool ttlOutput() = 0;
    virtual void setTtlOutput(bool on) = 0;
    virtual int ttlDelay() = 0;
    virtual void setTtlDelay(int ms) = 0;
    virtual int edgeDelay() = 0;
    virtual void setEdgeDelay(int ms) = 0;
    virtual int edgePulse(int channel) = 0;
    virtual void setEdgePulse(int channel, int ms) = 0;
    virtual bool internalOutput() = 0;
    virtual void setInternalOutput(bool on) = 0;
    virtual int internalDelay() = 0;
    virtual void setInternalDelay(int ms) = 0;
    virtual int internalHigh() = 0;
    virtual void setInternalHigh(int ms) = 0;
    virtual int internalLow() = 0;
    virtual void setInternalLow(int ms) = 0;
    virtual int internalCount() = 0;
    virtual void setInternalCount(int count) = 0;
    virtual void trigger() = 0;
};

// The light source on a local port, through the library.
class PortDevice final : public LightDevice {
public:
    // Throws PortError with the library's reason.
    explicit PortDevice(const std::string &port);
    ~PortDevice() override;
    PortDevice(const PortDevice &) = delete;
    PortDevice &operator=(const PortDevice &) = delete;

    std::string portName() const override { return m_port; }
    uint32_t model() override;
    uint32_t firmwareVersion() override;
    bool globalEnable() override;
    void setGlobalEnable(bool on) override;
    int workMode() override;
    void setWorkMode(int mode) override;
    bool ledEnabled(int channel) override;
    void setLedEnabled(int channel, bool on) override;
    int ledBrightness(int channel) override;
    void setLedBrightness(int channel, int percent) override;
    TempStatus ledTemperature(int channel) override;
    bool ttlOutput() override;
    void setTtlOutput(bool on) override;
    int ttlDelay() override;
    void setTtlDelay(int ms) override;
    int edgeDelay() override;
    void setEdgeDelay(int ms) override;
    int edgePulse(int channel) override;
    void setEdgePulse(int channel, int ms) override;
    bool internalOutput() override;
    void setInternalOutput(bool on) override;
    int internalDelay() override;
    void setInternalDelay(int ms) override;
    int internalHigh() override;
    void setInternalHigh(int ms) override;
    int internalLow() override;
    void setInternalLow(int ms) override;
    int internalCount() override;
    void setInternalCount(int count) override;
    void trigger() override;

private:
    std::string m_port;
    void *m_handle = nullptr;
};

// The library's version number (needs no device).
uint32_t sdkVersion();

#endif
