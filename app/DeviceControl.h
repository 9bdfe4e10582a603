#ifndef DEVICECONTROL_H
#define DEVICECONTROL_H

#include <cstdint>

// The program's one wrapper over a DALU_LightKit handle. Every operation
// returns true when the library returned 0; each failure writes one log line
// on standard output. The device is open exactly while the handle is set.
// GUI thread only: the library serialises nothing.
class DeviceControl
{
public:
    DeviceControl();
    ~DeviceControl();

    DeviceControl(const DeviceControl &) = delete;
    DeviceControl &operator=(const DeviceControl &) = delete;

    // Opens the light source on a port name ("COM3", "ttyUSB0", "/dev/pts/4").
    // Callers close first: a handle already held is not looked at.
    bool open(const char *comName);
    // Destroys the handle; the object is closed afterwards whatever the result.
    bool close();
    bool isOpen() const;

    bool setWorkMode(int mode);
    bool setGlobalEnable(bool enable);
    bool getWorkMode(int *mode);
    bool getGlobalEnable(uint8_t *enable);

    bool setLedChecked(int ledId, bool checked);
    bool setLedBrightness(int ledId, uint16_t value);
    bool getLedChecked(int ledId, uint8_t *checked);
    bool getLedBrightness(int ledId, uint16_t *value);

    bool setTtlModeOutputEnable(bool enable);
    bool setTtlModeDelayTime(uint16_t delayMs);
    bool getTtlModeOutputEnable(uint8_t *enable);
    bool getTtlModeDelayTime(uint16_t *delayMs);

    bool setEdgeModeDelayTime(uint16_t delayMs);
    bool setEdgeModePulseTime(int ledId, uint16_t widthMs);
    bool getEdgeModeDelayTime(uint16_t *delayMs);
    bool getEdgeModePulseTime(int ledId, uint16_t *widthMs);

    bool setTriggerModeOutputEnable(bool enable);
    bool setTriggerModeDelayTime(uint16_t delayMs);
    bool setTriggerModeHighTime(uint16_t widthMs);
    bool setTriggerModeLowTime(uint16_t widthMs);
    bool setTriggerModePulseNum(uint8_t num);
    bool onTriggerModeTrigger();
    bool getTriggerModeOutputEnable(uint8_t *enable);
    bool getTriggerModeDelayTime(uint16_t *delayMs);
    bool getTriggerModeHighTime(uint16_t *widthMs);
    bool getTriggerModeLowTime(uint16_t *widthMs);
    bool getTriggerModePulseNum(uint8_t *num);

    bool getLedTempStatus(int ledId, float *temp, uint8_t *status);
    bool getDeviceSofewareVersion(uint32_t *version);
    bool getDeviceModel(uint32_t *model);

private:
    void *m_sdkHandle;
};

#endif // DEVICECONTROL_H
