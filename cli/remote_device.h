// RemoteDevice: a light source that lightd serves, driven over its HTTP API
// (GET /api/v1/state, PATCH /api/v1/state, POST /api/v1/trigger) with the
// same calls, values and failures as a local port. Reads come from lightd's
// copy of the device's state (settings as last written or read, temperatures
// from its last poll).
#ifndef LIGHTCTL_REMOTE_DEVICE_H
#define LIGHTCTL_REMOTE_DEVICE_H

#include <memory>
#include <string>

#include "device.h"

class RemoteDevice final : public LightDevice {
public:
    // url: http://host:port; token: empty when lightd needs none. Throws
    // PortError when lightd cannot be reached there.
    RemoteDevice(const std::string &url, const std::string &token);
    ~RemoteDevice() override;
    RemoteDevice(const RemoteDevice &) = delete;
    RemoteDevice &operator=(const RemoteDevice &) = delete;

    std::string portName() const override;
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

    struct Impl;

private:
    std::unique_ptr<Impl> m;
};

// The device at a lightd's address (a RemoteDevice). Throws PortError when
// lightd cannot be reached, or when this lightctl is built without HTTP.
std::unique_ptr<LightDevice> openRemoteDevice(const std::string &url, const std::string &token);

#endif
