// The exports: each checks its arguments in a fixed order (handle, index,
// value range, output pointers), prints the first failure and returns -1
// before anything is sent; otherwise it returns its DOCMD_ function's result.
#include "DALU_LightKit.h"

#include "docmd_commands.h"
#include "docmd_link.h"
#include "sdk_log.h"

// Indices are compared unsigned, so a negative ledId or mode is refused
// (and printed as the large unsigned number it would become on the wire).
#define REQUIRE_NOT_NULL(ptr, name)           \
    do {                                      \
        if ((ptr) == nullptr) {               \
            SDK_LOG_NULL(__func__, (name));   \
            return -1;                        \
        }                                     \
    } while (0)

// Destroy2 and PushRecvBytes are for caller-driven handles only: on a serial
// handle they would free the codec under the running receive thread or feed
// its parser from a second thread.
#define REQUIRE_CALLER_DRIVEN(handle)                                     \
    do {                                                                  \
        if (DOCMD_IsSerial(link(handle))) {                               \
            SDK_LOG_ERROR(__func__, "handle is a serial-port handle!");   \
            return -1;                                                    \
        }                                                                 \
    } while (0)

#define REQUIRE_BELOW(value, bound)                    \
    do {                                               \
        if ((unsigned)(value) >= (unsigned)(bound)) {  \
            SDK_LOG_BOUND(__func__, (value), (bound)); \
            return -1;                                 \
        }                                              \
    } while (0)

#define REQUIRE_AT_MOST(value, max)                  \
    do {                                             \
        if ((unsigned)(value) > (unsigned)(max)) {   \
            SDK_LOG_RANGE(__func__, (value), 0, (max)); \
            return -1;                               \
        }                                            \
    } while (0)

static DeviceLink *link(void *handle) { return static_cast<DeviceLink *>(handle); }

extern "C" {

// ---- Handles ---------------------------------------------------------------

void *DALUSDK_CreateHandle(const char *comName) {
    if (comName == nullptr) {
        SDK_LOG_NULL(__func__, "comName");
        return nullptr;
    }
    return DOCMD_Create(comName);
}

void *DALUSDK_CreateHandle2(DALUSDK_SendCallback sendCallback, void *userData) {
    return DOCMD_Create2(sendCallback, userData);
}

int DALUSDK_DestroyHandle(void *handle) {
    REQUIRE_NOT_NULL(handle, "handle");
    return DOCMD_Destroy(link(handle));
}

int DALUSDK_DestroyHandle2(void *handle) {
    REQUIRE_NOT_NULL(handle, "handle");
    REQUIRE_CALLER_DRIVEN(handle);
    return DOCMD_Destroy2(link(handle));
}

int DALUSDK_PushRecvBytes(void *handle, const unsigned char *buffer, int count) {
    REQUIRE_NOT_NULL(handle, "handle");
    REQUIRE_CALLER_DRIVEN(handle);
    REQUIRE_NOT_NULL(buffer, "buffer");
    // Taken as unsigned, a negative count would read far past the buffer.
    if (count < 0) {
        SDK_LogPrintf("[error] <%s:%d> %d < 0 err!\n", __func__, __LINE__, count);
        return -1;
    }
    return DOCMD_RecvBytes(link(handle), buffer, (uint32_t)count);
}

int DALUSDK_GetSdkVersion(unsigned int *version) {
    REQUIRE_NOT_NULL(version, "version");
    *version = DALUSDK_VERSION;
    return 0;
}

int DALUSDK_SetLogHandler(DALUSDK_LogHandler handler, void *userData) {
    SDK_SetLogHandler(handler, userData);
    return 0;
}

// ---- Device and work mode ------------------------------------------------

int DALUSDK_GetDeviceModel(void *handle, unsigned int *model) {
    REQUIRE_NOT_NULL(handle, "handle");
    REQUIRE_NOT_NULL(model, "model");
    return DOCMD_GetDeviceModel(link(handle), model);
}

int DALUSDK_GetDeviceSofewareVersion(void *handle, unsigned int *version) {
    REQUIRE_NOT_NULL(handle, "handle");
    REQUIRE_NOT_NULL(version, "version");
    return DOCMD_GetDeviceSofewareVersion(link(handle), version);
}

int DALUSDK_SetGlobalEnable(void *handle, unsigned char enable) {
    REQUIRE_NOT_NULL(handle, "handle");
    return DOCMD_SetGlobalEnable(link(handle), enable);
}

int DALUSDK_GetGlobalEnable(void *handle, unsigned char *enable) {
    REQUIRE_NOT_NULL(handle, "handle");
    REQUIRE_NOT_NULL(enable, "enable");
    return DOCMD_GetGlobalEnable(link(handle), enable);
}

int DALUSDK_SetWorkMode(void *handle, int mode) {
    REQUIRE_NOT_NULL(handle, "handle");
    REQUIRE_BELOW(mode, kWorkModeCount);
    return DOCMD_SetWorkMode(link(handle), (unsigned char)mode);
}

int DALUSDK_GetWorkMode(void *handle, int *mode) {
    REQUIRE_NOT_NULL(handle, "handle");
    REQUIRE_NOT_NULL(mode, "mode");
    unsigned char byte = 0;
    int ret = DOCMD_GetWorkMode(link(handle), &byte);
    if (ret == 0) *mode = byte;
    return ret;
}

// ---- LED channels --------------------------------------------------------

int DALUSDK_SetLedChecked(void *handle, int ledId, unsigned char checked) {
    REQUIRE_NOT_NULL(handle, "handle");
    REQUIRE_BELOW(ledId, kLedCount);
    return DOCMD_SetLedChecked(link(handle), (unsigned char)ledId, checked);
}

int DALUSDK_GetLedChecked(void *handle, int ledId, unsigned char *checked) {
    REQUIRE_NOT_NULL(handle, "handle");
    REQUIRE_BELOW(ledId, kLedCount);
    REQUIRE_NOT_NULL(checked, "checked");
    return DOCMD_GetLedChecked(link(handle), (unsigned char)ledId, checked);
}

int DALUSDK_SetLedBrightness(void *handle, int ledId, unsigned short value) {
    REQUIRE_NOT_NULL(handle, "handle");
    REQUIRE_BELOW(ledId, kLedCount);
    REQUIRE_AT_MOST(value, kMaxBrightness);
    return DOCMD_SetLedBrightness(link(handle), (unsigned char)ledId, value);
}

int DALUSDK_GetLedBrightness(void *handle, int ledId, unsigned short *value) {
    REQUIRE_NOT_NULL(handle, "handle");
    REQUIRE_BELOW(ledId, kLedCount);
    REQUIRE_NOT_NULL(value, "value");
    return DOCMD_GetLedBrightness(link(handle), (unsigned char)ledId, value);
}

int DALUSDK_GetLedTempStatus(void *handle, int ledId, float *temp, unsigned char *status) {
    REQUIRE_NOT_NULL(handle, "handle");
    REQUIRE_BELOW(ledId, kLedCount);
    REQUIRE_NOT_NULL(temp, "temp");
    REQUIRE_NOT_NULL(status, "status");
    return DOCMD_GetLedTempStatus(link(handle), (unsigned char)ledId, temp, status);
}

int DALUSDK_GetLedTempValue(void *handle, int ledId, float *temp) {
    REQUIRE_NOT_NULL(handle, "handle");
    REQUIRE_BELOW(ledId, kLedCount);
    REQUIRE_NOT_NULL(temp, "temp");
    return DOCMD_GetLedTempValue(link(handle), (unsigned char)ledId, temp);
}

int DALUSDK_GetLedTempOver(void *handle, int ledId, unsigned char *status) {
    REQUIRE_NOT_NULL(handle, "handle");
    REQUIRE_BELOW(ledId, kLedCount);
    REQUIRE_NOT_NULL(status, "status");
    return DOCMD_GetLedTempOver(link(handle), (unsigned char)ledId, status);
}

// ---- TTL trigger mode ----------------------------------------------------

int DALUSDK_ModeTtl_SetOutputEnable(void *handle, unsigned char enable) {
    REQUIRE_NOT_NULL(handle, "handle");
    return DOCMD_ModeTtl_SetOutputEnable(link(handle), enable);
}

int DALUSDK_ModeTtl_GetOutputEnable(void *handle, unsigned char *enable) {
    REQUIRE_NOT_NULL(handle, "handle");
    REQUIRE_NOT_NULL(enable, "enable");
    return DOCMD_ModeTtl_GetOutputEnable(link(handle), enable);
}

int DALUSDK_ModeTtl_SetDelayTime(void *handle, unsigned short delayMs) {
    REQUIRE_NOT_NULL(handle, "handle");
    REQUIRE_AT_MOST(delayMs, kMaxTimeMs);
    return DOCMD_ModeTtl_SetDelayTime(link(handle), delayMs);
}

int DALUSDK_ModeTtl_GetDelayTime(void *handle, unsigned short *delayMs) {
    REQUIRE_NOT_NULL(handle, "handle");
    REQUIRE_NOT_NULL(delayMs, "delayMs");
    return DOCMD_ModeTtl_GetDelayTime(link(handle), delayMs);
}

// ---- Edge trigger mode ---------------------------------------------------

int DALUSDK_ModeEdge_SetDelayTime(void *handle, unsigned short delayMs) {
    REQUIRE_NOT_NULL(handle, "handle");
    REQUIRE_AT_MOST(delayMs, kMaxTimeMs);
    return DOCMD_ModeEdge_SetDelayTime(link(handle), delayMs);
}

int DALUSDK_ModeEdge_GetDelayTime(void *handle, unsigned short *delayMs) {
    REQUIRE_NOT_NULL(handle, "handle");
    REQUIRE_NOT_NULL(delayMs, "delayMs");
    return DOCMD_ModeEdge_GetDelayTime(link(handle), delayMs);
}

int DALUSDK_ModeEdge_SetPulseTime(void *handle, int ledId, unsigned short widthMs) {
    REQUIRE_NOT_NULL(handle, "handle");
    REQUIRE_BELOW(ledId, kLedCount);
    REQUIRE_AT_MOST(widthMs, kMaxTimeMs);
    return DOCMD_ModeEdge_SetPulseTime(link(handle), (unsigned char)ledId, widthMs);
}

int DALUSDK_ModeEdge_GetPulseTime(void *handle, int ledId, unsigned short *widthMs) {
    REQUIRE_NOT_NULL(handle, "handle");
    REQUIRE_BELOW(ledId, kLedCount);
    REQUIRE_NOT_NULL(widthMs, "widthMs");
    return DOCMD_ModeEdge_GetPulseTime(link(handle), (unsigned char)ledId, widthMs);
}

// ---- Internal trigger mode ------------------------------------------------

int DALUSDK_ModeTrigger_SetOutputEnable(void *handle, unsigned char enable) {
    REQUIRE_NOT_NULL(handle, "handle");
    return DOCMD_ModeTrigger_SetOutputEnable(link(handle), enable);
}

int DALUSDK_ModeTrigger_GetOutputEnable(void *handle, unsigned char *enable) {
    REQUIRE_NOT_NULL(handle, "handle");
    REQUIRE_NOT_NULL(enable, "enable");
    return DOCMD_ModeTrigger_GetOutputEnable(link(handle), enable);
}

int DALUSDK_ModeTrigger_SetDelayTime(void *handle, unsigned short delayMs) {
    REQUIRE_NOT_NULL(handle, "handle");
    REQUIRE_AT_MOST(delayMs, kMaxTimeMs);
    return DOCMD_ModeTrigger_SetDelayTime(link(handle), delayMs);
}

int DALUSDK_ModeTrigger_GetDelayTime(void *handle, unsigned short *delayMs) {
    REQUIRE_NOT_NULL(handle, "handle");
    REQUIRE_NOT_NULL(delayMs, "delayMs");
    return DOCMD_ModeTrigger_GetDelayTime(link(handle), delayMs);
}

int DALUSDK_ModeTrigger_SetHighTime(void *handle, unsigned short widthMs) {
    REQUIRE_NOT_NULL(handle, "handle");
    REQUIRE_AT_MOST(widthMs, kMaxTimeMs);
    return DOCMD_ModeTrigger_SetHighTime(link(handle), widthMs);
}

int DALUSDK_ModeTrigger_GetHighTime(void *handle, unsigned short *widthMs) {
    REQUIRE_NOT_NULL(handle, "handle");
    REQUIRE_NOT_NULL(widthMs, "widthMs");
    return DOCMD_ModeTrigger_GetHighTime(link(handle), widthMs);
}

int DALUSDK_ModeTrigger_SetLowTime(void *handle, unsigned short widthMs) {
    REQUIRE_NOT_NULL(handle, "handle");
    REQUIRE_AT_MOST(widthMs, kMaxTimeMs);
    return DOCMD_ModeTrigger_SetLowTime(link(handle), widthMs);
}

int DALUSDK_ModeTrigger_GetLowTime(void *handle, unsigned short *widthMs) {
    REQUIRE_NOT_NULL(handle, "handle");
    REQUIRE_NOT_NULL(widthMs, "widthMs");
    return DOCMD_ModeTrigger_GetLowTime(link(handle), widthMs);
}

int DALUSDK_ModeTrigger_SetPulseNum(void *handle, unsigned char num) {
    REQUIRE_NOT_NULL(handle, "handle");
    REQUIRE_AT_MOST(num, kMaxPulseNum);
    return DOCMD_ModeTrigger_SetPulseNum(link(handle), num);
}

int DALUSDK_ModeTrigger_GetPulseNum(void *handle, unsigned char *num) {
    REQUIRE_NOT_NULL(handle, "handle");
    REQUIRE_NOT_NULL(num, "num");
    return DOCMD_ModeTrigger_GetPulseNum(link(handle), num);
}

int DALUSDK_ModeTrigger_OnTrigger(void *handle) {
    REQUIRE_NOT_NULL(handle, "handle");
    return DOCMD_ModeTrigger_OnTrigger(link(handle));
}

}  // extern "C"
