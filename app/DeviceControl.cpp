#include "DeviceControl.h"

#include "DALU_LightKit.h"
#include "LogTimestamp.h"

#include <cstdio>

namespace {

// Where an operation reports from. The line numbers are part of the log
// format that users grep for, so they are fixed values, not __LINE__.
struct LogSite
{
    const char *function;
    int nullLine;
    int failLine;
    const char *exportName;
};

void logNull(const char *function, int line)
{
    std::fprintf(stdout, "%s[error] <%s:%d> %s is null!\n", logTimestamp(), function, line,
                 "m_sdkHandle");
}

void logFailure(const char *function, int line, const char *exportName, int ret)
{
    std::fprintf(stdout, "%s[error] <%s:%d> %s failed, ret:%d!\n", logTimestamp(), function,
                 line, exportName, ret);
}

// The rule every forwarding operation follows: no handle, no library call.
template <typename Call>
bool forward(void *handle, const LogSite &site, Call call)
{
    if (!handle) {
        logNull(site.function, site.nullLine);
        return false;
    }
    const int ret = call(handle);
    if (ret != 0) {
        logFailure(site.function, site.failLine, site.exportName, ret);
        return false;
    }
    return true;
}

constexpr int kOpenNullLine = 34;
constexpr int kCloseNullLine = 51;
constexpr int kCloseFailLine = 63;

} // namespace

DeviceControl::DeviceControl()
    : m_sdkHandle(nullptr)
{
}

DeviceControl::~DeviceControl()
{
    close();
}

bool DeviceControl::open(const char *comName)
{
    m_sdkHandle = DALUSDK_CreateHandle(comName);
    if (!m_sdkHandle) {
        logNull("DeviceControl::open", kOpenNullLine);
        return false;
    }
    return true;
}

bool DeviceControl::close()
{
    if (!m_sdkHandle) {
        logNull("DeviceControl::close", kCloseNullLine);
        return false;
    }
    const int ret = DALUSDK_DestroyHandle(m_sdkHandle);
    m_sdkHandle = nullptr;
    if (ret != 0) {
        logFailure("DeviceControl::close", kCloseFailLine, "DALUSDK_DestroyHandle", ret);
        return false;
    }
    return true;
}

bool DeviceControl::isOpen() const
{
    return m_sdkHandle != nullptr;
}

bool DeviceControl::setWorkMode(int mode)
{
    static constexpr LogSite site{"DeviceControl::setWorkMode", 83, 85, "DALUSDK_SetWorkMode"};
    return forward(m_sdkHandle, site, [&](void *h) { return DALUSDK_SetWorkMode(h, mode); });
}

bool DeviceControl::setGlobalEnable(bool enable)
{
    static constexpr LogSite site{"DeviceControl::setGlobalEnable", 91, 93,
                                  "DALUSDK_SetGlobalEnable"};
    return forward(m_sdkHandle, site,
                   [&](void *h) { return DALUSDK_SetGlobalEnable(h, enable); });
}

bool DeviceControl::getWorkMode(int *mode)
{
    static constexpr LogSite site{"DeviceControl::getWorkMode", 99, 101, "DALUSDK_GetWorkMode"};
    return forward(m_sdkHandle, site, [&](void *h) { return DALUSDK_GetWorkMode(h, mode); });
}

bool DeviceControl::getGlobalEnable(uint8_t *enable)
{
    static constexpr LogSite site{"DeviceControl::getGlobalEnable", 107, 109,
                                  "DALUSDK_GetGlobalEnable"};
    return forward(m_sdkHandle, site,
                   [&](void *h) { return DALUSDK_GetGlobalEnable(h, enable); });
}

bool DeviceControl::setLedChecked(int ledId, bool checked)
{
    static constexpr LogSite site{"DeviceControl::setLedChecked", 115, 117,
                                  "DALUSDK_SetLedChecked"};
    return forward(m_sdkHandle, site,
                   [&](void *h) { return DALUSDK_SetLedChecked(h, ledId, checked); });
}

bool DeviceControl::setLedBrightness(int ledId, uint16_t value)
{
    static constexpr LogSite site{"DeviceControl::setLedBrightness", 123, 125,
                                  "DALUSDK_SetLedBrightness"};
    return forward(m_sdkHandle, site,
                   [&](void *h) { return DALUSDK_SetLedBrightness(h, ledId, value); });
}

bool DeviceControl::getLedChecked(int ledId, uint8_t *checked)
{
    static constexpr LogSite site{"DeviceControl::getLedChecked", 131, 133,
                                  "DALUSDK_GetLedChecked"};
    return forward(m_sdkHandle, site,
                   [&](void *h) { return DALUSDK_GetLedChecked(h, ledId, checked); });
}

bool DeviceControl::getLedBrightness(int ledId, uint16_t *value)
{
    static constexpr LogSite site{"DeviceControl::getLedBrightness", 139, 141,
                                  "DALUSDK_GetLedBrightness"};
    return forward(m_sdkHandle, site,
                   [&](void *h) { return DALUSDK_GetLedBrightness(h, ledId, value); });
}

bool DeviceControl::setTtlModeOutputEnable(bool enable)
{
    static constexpr LogSite site{"DeviceControl::setTtlModeOutputEnable", 147, 149,
                                  "DALUSDK_ModeTtl_SetOutputEnable"};
    return forward(m_sdkHandle, site,
                   [&](void *h) { return DALUSDK_ModeTtl_SetOutputEnable(h, enable); });
}

bool DeviceControl::setTtlModeDelayTime(uint16_t delayMs)
{
    static constexpr LogSite site{"DeviceControl::setTtlModeDelayTime", 155, 157,
                                  "DALUSDK_ModeTtl_SetDelayTime"};
    return forward(m_sdkHandle, site,
                   [&](void *h) { return DALUSDK_ModeTtl_SetDelayTime(h, delayMs); });
}

bool DeviceControl::getTtlModeOutputEnable(uint8_t *enable)
{
    static constexpr LogSite site{"DeviceControl::getTtlModeOutputEnable", 163, 165,
                                  "DALUSDK_ModeTtl_GetOutputEnable"};
    return forward(m_sdkHandle, site,
                   [&](void *h) { return DALUSDK_ModeTtl_GetOutputEnable(h, enable); });
}

bool DeviceControl::getTtlModeDelayTime(uint16_t *delayMs)
{
    static constexpr LogSite site{"DeviceControl::getTtlModeDelayTime", 171, 173,
                                  "DALUSDK_ModeTtl_GetDelayTime"};
    return forward(m_sdkHandle, site,
                   [&](void *h) { return DALUSDK_ModeTtl_GetDelayTime(h, delayMs); });
}

bool DeviceControl::setEdgeModeDelayTime(uint16_t delayMs)
{
    static constexpr LogSite site{"DeviceControl::setEdgeModeDelayTime", 179, 181,
                                  "DALUSDK_ModeEdge_SetDelayTime"};
    return forward(m_sdkHandle, site,
                   [&](void *h) { return DALUSDK_ModeEdge_SetDelayTime(h, delayMs); });
}

bool DeviceControl::setEdgeModePulseTime(int ledId, uint16_t widthMs)
{
    static constexpr LogSite site{"DeviceControl::setEdgeModePulseTime", 187, 189,
                                  "DALUSDK_ModeEdge_SetPulseTime"};
    return forward(m_sdkHandle, site,
                   [&](void *h) { return DALUSDK_ModeEdge_SetPulseTime(h, ledId, widthMs); });
}

bool DeviceControl::getEdgeModeDelayTime(uint16_t *delayMs)
{
    static constexpr LogSite site{"DeviceControl::getEdgeModeDelayTime", 195, 197,
                                  "DALUSDK_ModeEdge_GetDelayTime"};
    return forward(m_sdkHandle, site,
                   [&](void *h) { return DALUSDK_ModeEdge_GetDelayTime(h, delayMs); });
}

bool DeviceControl::getEdgeModePulseTime(int ledId, uint16_t *widthMs)
{
    static constexpr LogSite site{"DeviceControl::getEdgeModePulseTime", 203, 205,
                                  "DALUSDK_ModeEdge_GetPulseTime"};
    return forward(m_sdkHandle, site,
                   [&](void *h) { return DALUSDK_ModeEdge_GetPulseTime(h, ledId, widthMs); });
}

bool DeviceControl::setTriggerModeOutputEnable(bool enable)
{
    static constexpr LogSite site{"DeviceControl::setTriggerModeOutputEnable", 211, 213,
                                  "DALUSDK_ModeTrigger_SetOutputEnable"};
    return forward(m_sdkHandle, site,
                   [&](void *h) { return DALUSDK_ModeTrigger_SetOutputEnable(h, enable); });
}

bool DeviceControl::setTriggerModeDelayTime(uint16_t delayMs)
{
    static constexpr LogSite site{"DeviceControl::setTriggerModeDelayTime", 219, 221,
                                  "DALUSDK_ModeTrigger_SetDelayTime"};
    return forward(m_sdkHandle, site,
                   [&](void *h) { return DALUSDK_ModeTrigger_SetDelayTime(h, delayMs); });
}

bool DeviceControl::setTriggerModeHighTime(uint16_t widthMs)
{
    static constexpr LogSite site{"DeviceControl::setTriggerModeHighTime", 227, 229,
                                  "DALUSDK_ModeTrigger_SetHighTime"};
    return forward(m_sdkHandle, site,
                   [&](void *h) { return DALUSDK_ModeTrigger_SetHighTime(h, widthMs); });
}

bool DeviceControl::setTriggerModeLowTime(uint16_t widthMs)
{
    static constexpr LogSite site{"DeviceControl::setTriggerModeLowTime", 235, 237,
                                  "DALUSDK_ModeTrigger_SetLowTime"};
    return forward(m_sdkHandle, site,
                   [&](void *h) { return DALUSDK_ModeTrigger_SetLowTime(h, widthMs); });
}

bool DeviceControl::setTriggerModePulseNum(uint8_t num)
{
    static constexpr LogSite site{"DeviceControl::setTriggerModePulseNum", 243, 245,
                                  "DALUSDK_ModeTrigger_SetPulseNum"};
    return forward(m_sdkHandle, site,
                   [&](void *h) { return DALUSDK_ModeTrigger_SetPulseNum(h, num); });
}

bool DeviceControl::onTriggerModeTrigger()
{
    static constexpr LogSite site{"DeviceControl::onTriggerModeTrigger", 251, 253,
                                  "DALUSDK_ModeTrigger_OnTrigger"};
    return forward(m_sdkHandle, site,
                   [&](void *h) { return DALUSDK_ModeTrigger_OnTrigger(h); });
}

bool DeviceControl::getTriggerModeOutputEnable(uint8_t *enable)
{
    static constexpr LogSite site{"DeviceControl::getTriggerModeOutputEnable", 259, 261,
                                  "DALUSDK_ModeTrigger_GetOutputEnable"};
    return forward(m_sdkHandle, site,
                   [&](void *h) { return DALUSDK_ModeTrigger_GetOutputEnable(h, enable); });
}

bool DeviceControl::getTriggerModeDelayTime(uint16_t *delayMs)
{
    static constexpr LogSite site{"DeviceControl::getTriggerModeDelayTime", 267, 269,
                                  "DALUSDK_ModeTrigger_GetDelayTime"};
    return forward(m_sdkHandle, site,
                   [&](void *h) { return DALUSDK_ModeTrigger_GetDelayTime(h, delayMs); });
}

bool DeviceControl::getTriggerModeHighTime(uint16_t *widthMs)
{
    static constexpr LogSite site{"DeviceControl::getTriggerModeHighTime", 275, 277,
                                  "DALUSDK_ModeTrigger_GetHighTime"};
    return forward(m_sdkHandle, site,
                   [&](void *h) { return DALUSDK_ModeTrigger_GetHighTime(h, widthMs); });
}

bool DeviceControl::getTriggerModeLowTime(uint16_t *widthMs)
{
    static constexpr LogSite site{"DeviceControl::getTriggerModeLowTime", 283, 285,
                                  "DALUSDK_ModeTrigger_GetLowTime"};
    return forward(m_sdkHandle, site,
                   [&](void *h) { return DALUSDK_ModeTrigger_GetLowTime(h, widthMs); });
}

bool DeviceControl::getTriggerModePulseNum(uint8_t *num)
{
    static constexpr LogSite site{"DeviceControl::getTriggerModePulseNum", 291, 293,
                                  "DALUSDK_ModeTrigger_GetPulseNum"};
    return forward(m_sdkHandle, site,
                   [&](void *h) { return DALUSDK_ModeTrigger_GetPulseNum(h, num); });
}

bool DeviceControl::getLedTempStatus(int ledId, float *temp, uint8_t *status)
{
    static constexpr LogSite site{"DeviceControl::getLedTempStatus", 299, 301,
                                  "DALUSDK_GetLedTempStatus"};
    return forward(m_sdkHandle, site,
                   [&](void *h) { return DALUSDK_GetLedTempStatus(h, ledId, temp, status); });
}

bool DeviceControl::getDeviceSofewareVersion(uint32_t *version)
{
    static constexpr LogSite site{"DeviceControl::getDeviceSofewareVersion", 323, 325,
                                  "DALUSDK_GetDeviceSofewareVersion"};
    return forward(m_sdkHandle, site,
                   [&](void *h) { return DALUSDK_GetDeviceSofewareVersion(h, version); });
}

bool DeviceControl::getDeviceModel(uint32_t *model)
{
    static constexpr LogSite site{"DeviceControl::getDeviceModel", 331, 333,
                                  "DALUSDK_GetDeviceModel"};
    return forward(m_sdkHandle, site,
                   [&](void *h) { return DALUSDK_GetDeviceModel(h, model); });
}
