// Every device command is one of two shapes: a write (fill a record, send it
// once) or a read (send, wait for the reply with the same code, check its
// length and, per channel, the echoed ledId, then decode). The two shapes live
// in writeCommand() and readCommand(); the functions below only name the
// code, the payload and the decoding.
#include "docmd_commands.h"

#include <cstring>
#include <initializer_list>

#include "sdk_log.h"

namespace {

CmdPkg makeRequest(uint16_t cmd, std::initializer_list<uint8_t> payload) {
    CmdPkg pkg;
    std::memset(&pkg, 0, sizeof pkg);
    pkg.cmd = cmd;
    pkg.len = (uint8_t)payload.size();
    uint8_t i = 0;
    for (uint8_t b : payload) pkg.data[i++] = b;
    return pkg;
}

uint8_t hi(uint16_t v) { return (uint8_t)(v >> 8); }
uint8_t lo(uint16_t v) { return (uint8_t)(v & 0xFF); }
uint16_t be16(const uint8_t *p) { return (uint16_t)((p[0] << 8) | p[1]); }
uint32_t be32(const uint8_t *p) {
    return ((uint32_t)p[0] << 24) | ((uint32_t)p[1] << 16) | ((uint32_t)p[2] << 8) | (uint32_t)p[3];
}
float hundredths(const uint8_t *p) { return (float)(int16_t)be16(p) / 100.0f; }
uint8_t flag(uint8_t b) { return b != 0 ? 1 : 0; }

int writeCommand(const char *func, DeviceLink *handle, uint16_t cmd, std::initializer_list<uint8_t> payload) {
    CmdPkg request = makeRequest(cmd, payload);
    int ret = DOCMD_SendPackage(handle, &request);
    if (ret != 0) {
        SDK_LOG_RET(func, "DOCMD_SendPackage", ret);
        return -1;
    }
    return 0;
}

// Sends the read and takes a reply of the expected length. The reply is left
// in *reply for the caller to decode (and, per channel, to echo-test).
int readCommand(const char *func, DeviceLink *handle, uint16_t cmd, std::initializer_list<uint8_t> payload,
                uint8_t replyLen, CmdPkg *reply) {
    CmdPkg request = makeRequest(cmd, payload);
    std::memset(reply, 0, sizeof *reply);
    int ret = DOCMD_SendAndWaitRecvCmd(handle, &request, reply, cmd);
    if (ret != 0) {
        SDK_LOG_RET(func, "DOCMD_SendAndWaitRecvCmd", ret);
        return -1;
    }
    if (reply->len != replyLen) {
        SDK_LogPrintf("[error] <%s:%d> %s (%d != %d) err!\n", func, __LINE__, "recvpkg.len", (int)reply->len,
                      (int)replyLen);
        return -1;
    }
    return 0;
}

// A per-channel reply repeats the requested ledId as its first byte.
int echoTest(const char *func, const CmdPkg &reply, uint8_t ledId) {
    if (reply.data[0] != ledId) {
        SDK_LogPrintf("[error] <%s:%d> %s, value (%d != %d) err!\n", func, __LINE__, "Received ID not matched",
                      (int)ledId, (int)reply.data[0]);
        return -1;
    }
    return 0;
}

}  // namespace

// Tests an output pointer again inside the DOCMD_ layer, naming the function.
#define CHECK_OUT(func, ptr, name)       \
    do {                                 \
        if ((ptr) == nullptr) {          \
            SDK_LOG_NULL((func), (name)); \
            return -1;                   \
        }                                \
    } while (0)

// ---- Device and work mode ----------------------------------------------

int DOCMD_GetDeviceModel(DeviceLink *handle, unsigned int *model) {
    static const char kFunc[] = "DOCMD_GetDeviceModel";
    CHECK_OUT(kFunc, model, "model");
    CmdPkg reply;
    if (readCommand(kFunc, handle, CMD_GET_DEVICE_MODEL, {}, 4, &reply) != 0) return -1;
    *model = be32(reply.data);
    return 0;
}

int DOCMD_GetDeviceSofewareVersion(DeviceLink *handle, unsigned int *version) {
    static const char kFunc[] = "DOCMD_GetDeviceSofewareVersion";
    CHECK_OUT(kFunc, version, "version");
    CmdPkg reply;
    if (readCommand(kFunc, handle, CMD_GET_SOFTWARE_VERSION, {}, 4, &reply) != 0) return -1;
    *version = be32(reply.data);
    return 0;
}

int DOCMD_SetGlobalEnable(DeviceLink *handle, unsigned char enable) {
    return writeCommand("DOCMD_SetGlobalEnable", handle, CMD_SET_GLOBAL_ENABLE, {enable});
}

int DOCMD_GetGlobalEnable(DeviceLink *handle, unsigned char *enable) {
    static const char kFunc[] = "DOCMD_GetGlobalEnable";
    CHECK_OUT(kFunc, enable, "enbale");
    CmdPkg reply;
    if (readCommand(kFunc, handle, CMD_GET_GLOBAL_ENABLE, {}, 1, &reply) != 0) return -1;
    *enable = flag(reply.data[0]);
    return 0;
}

int DOCMD_SetWorkMode(DeviceLink *handle, unsigned char mode) {
    return writeCommand("DOCMD_SetWorkMode", handle, CMD_SET_WORK_MODE, {mode});
}

int DOCMD_GetWorkMode(DeviceLink *handle, unsigned char *mode) {
    static const char kFunc[] = "DOCMD_GetWorkMode";
    CHECK_OUT(kFunc, mode, "mode");
    CmdPkg reply;
    if (readCommand(kFunc, handle, CMD_GET_WORK_MODE, {}, 1, &reply) != 0) return -1;
    *mode = reply.data[0];  // passed on unbounded
    return 0;
}

// ---- LED channels --------------------------------------------------------

int DOCMD_SetLedChecked(DeviceLink *handle, unsigned char ledId, unsigned char checked) {
    return writeCommand("DOCMD_SetLedChecked", handle, CMD_SET_LED_CHECKED, {ledId, checked});
}

int DOCMD_GetLedChecked(DeviceLink *handle, unsigned char ledId, unsigned char *checked) {
    static const char kFunc[] = "DOCMD_GetLedChecked";
    CHECK_OUT(kFunc, checked, "checked");
    CmdPkg reply;
    if (readCommand(kFunc, handle, CMD_GET_LED_CHECKED, {ledId}, 2, &reply) != 0) return -1;
    *checked = flag(reply.data[1]);
    return echoTest(kFunc, reply, ledId);
}

int DOCMD_SetLedBrightness(DeviceLink *handle, unsigned char ledId, unsigned short value) {
    return writeCommand("DOCMD_SetLedBrightness", handle, CMD_SET_LED_BRIGHTNESS, {ledId, hi(value), lo(value)});
}

int DOCMD_GetLedBrightness(DeviceLink *handle, unsigned char ledId, unsigned short *value) {
    static const char kFunc[] = "DOCMD_GetLedBrightness";
    CHECK_OUT(kFunc, value, "value");
    CmdPkg reply;
    if (readCommand(kFunc, handle, CMD_GET_LED_BRIGHTNESS, {ledId}, 3, &reply) != 0) return -1;
    *value = be16(reply.data + 1);
    return echoTest(kFunc, reply, ledId);
}

int DOCMD_GetLedTempStatus(DeviceLink *handle, unsigned char ledId, float *temp, unsigned char *status) {
    static const char kFunc[] = "DOCMD_GetLedTempStatus";
    CHECK_OUT(kFunc, temp, "temp");
    CHECK_OUT(kFunc, status, "status");
    CmdPkg reply;
    if (readCommand(kFunc, handle, CMD_GET_LED_TEMP_STATUS, {ledId}, 4, &reply) != 0) return -1;
    *status = flag(reply.data[3]);
    if (echoTest(kFunc, reply, ledId) != 0) return -1;
    *temp = hundredths(reply.data + 1);
    return 0;
}

int DOCMD_GetLedTempValue(DeviceLink *handle, unsigned char ledId, float *temp) {
    static const char kFunc[] = "DOCMD_GetLedTempValue";
    CHECK_OUT(kFunc, temp, "temp");
    CmdPkg reply;
    if (readCommand(kFunc, handle, CMD_GET_LED_TEMP_VALUE, {ledId}, 3, &reply) != 0) return -1;
    if (echoTest(kFunc, reply, ledId) != 0) return -1;
    *temp = hundredths(reply.data + 1);
    return 0;
}

int DOCMD_GetLedTempOver(DeviceLink *handle, unsigned char ledId, unsigned char *status) {
    static const char kFunc[] = "DOCMD_GetLedTempOver";
    CHECK_OUT(kFunc, status, "status");
    CmdPkg reply;
    if (readCommand(kFunc, handle, CMD_GET_LED_TEMP_OVER, {ledId}, 2, &reply) != 0) return -1;
    *status = flag(reply.data[1]);
    return echoTest(kFunc, reply, ledId);
}

// ---- Trigger-mode parameters ------------------------------------------

namespace {

int readFlag(const char *func, DeviceLink *handle, uint16_t cmd, unsigned char *out, const char *name) {
    CHECK_OUT(func, out, name);
    CmdPkg reply;
    if (readCommand(func, handle, cmd, {}, 1, &reply) != 0) return -1;
    *out = flag(reply.data[0]);
    return 0;
}

int readTime(const char *func, DeviceLink *handle, uint16_t cmd, unsigned short *out, const char *name) {
    CHECK_OUT(func, out, name);
    CmdPkg reply;
    if (readCommand(func, handle, cmd, {}, 2, &reply) != 0) return -1;
    *out = be16(reply.data);
    return 0;
}

}  // namespace

int DOCMD_ModeTtl_SetOutputEnable(DeviceLink *handle, unsigned char enable) {
    return writeCommand("DOCMD_ModeTtl_SetOutputEnable", handle, CMD_TTL_SET_OUTPUT_ENABLE, {enable});
}

int DOCMD_ModeTtl_GetOutputEnable(DeviceLink *handle, unsigned char *enable) {
    return readFlag("DOCMD_ModeTtl_GetOutputEnable", handle, CMD_TTL_GET_OUTPUT_ENABLE, enable, "enable");
}

int DOCMD_ModeTtl_SetDelayTime(DeviceLink *handle, unsigned short delayMs) {
    return writeCommand("DOCMD_ModeTtl_SetDelayTime", handle, CMD_TTL_SET_DELAY, {hi(delayMs), lo(delayMs)});
}

int DOCMD_ModeTtl_GetDelayTime(DeviceLink *handle, unsigned short *delayMs) {
    return readTime("DOCMD_ModeTtl_GetDelayTime", handle, CMD_TTL_GET_DELAY, delayMs, "delayMs");
}

int DOCMD_ModeEdge_SetDelayTime(DeviceLink *handle, unsigned short delayMs) {
    return writeCommand("DOCMD_ModeEdge_SetDelayTime", handle, CMD_EDGE_SET_DELAY, {hi(delayMs), lo(delayMs)});
}

int DOCMD_ModeEdge_GetDelayTime(DeviceLink *handle, unsigned short *delayMs) {
    return readTime("DOCMD_ModeEdge_GetDelayTime", handle, CMD_EDGE_GET_DELAY, delayMs, "delayMs");
}

int DOCMD_ModeEdge_SetPulseTime(DeviceLink *handle, unsigned char ledId, unsigned short widthMs) {
    return writeCommand("DOCMD_ModeEdge_SetPulseTime", handle, CMD_EDGE_SET_PULSE, {ledId, hi(widthMs), lo(widthMs)});
}

int DOCMD_ModeEdge_GetPulseTime(DeviceLink *handle, unsigned char ledId, unsigned short *widthMs) {
    static const char kFunc[] = "DOCMD_ModeEdge_GetPulseTime";
    CHECK_OUT(kFunc, widthMs, "widthMs");
    CmdPkg reply;
    if (readCommand(kFunc, handle, CMD_EDGE_GET_PULSE, {ledId}, 3, &reply) != 0) return -1;
    *widthMs = be16(reply.data + 1);
    return echoTest(kFunc, reply, ledId);
}

int DOCMD_ModeTrigger_SetOutputEnable(DeviceLink *handle, unsigned char enable) {
    return writeCommand("DOCMD_ModeTrigger_SetOutputEnable", handle, CMD_TRIG_SET_OUTPUT_ENABLE, {enable});
}

int DOCMD_ModeTrigger_GetOutputEnable(DeviceLink *handle, unsigned char *enable) {
    return readFlag("DOCMD_ModeTrigger_GetOutputEnable", handle, CMD_TRIG_GET_OUTPUT_ENABLE, enable, "enable");
}

int DOCMD_ModeTrigger_SetDelayTime(DeviceLink *handle, unsigned short delayMs) {
    return writeCommand("DOCMD_ModeTrigger_SetDelayTime", handle, CMD_TRIG_SET_DELAY, {hi(delayMs), lo(delayMs)});
}

int DOCMD_ModeTrigger_GetDelayTime(DeviceLink *handle, unsigned short *delayMs) {
    return readTime("DOCMD_ModeTrigger_GetDelayTime", handle, CMD_TRIG_GET_DELAY, delayMs, "delayMs");
}

int DOCMD_ModeTrigger_SetHighTime(DeviceLink *handle, unsigned short widthMs) {
    return writeCommand("DOCMD_ModeTrigger_SetHighTime", handle, CMD_TRIG_SET_HIGH, {hi(widthMs), lo(widthMs)});
}

int DOCMD_ModeTrigger_GetHighTime(DeviceLink *handle, unsigned short *widthMs) {
    return readTime("DOCMD_ModeTrigger_GetHighTime", handle, CMD_TRIG_GET_HIGH, widthMs, "widthMs");
}

int DOCMD_ModeTrigger_SetLowTime(DeviceLink *handle, unsigned short widthMs) {
    return writeCommand("DOCMD_ModeTrigger_SetLowTime", handle, CMD_TRIG_SET_LOW, {hi(widthMs), lo(widthMs)});
}

int DOCMD_ModeTrigger_GetLowTime(DeviceLink *handle, unsigned short *widthMs) {
    return readTime("DOCMD_ModeTrigger_GetLowTime", handle, CMD_TRIG_GET_LOW, widthMs, "widthMs");
}

int DOCMD_ModeTrigger_SetPulseNum(DeviceLink *handle, unsigned char num) {
    return writeCommand("DOCMD_ModeTrigger_SetPulseNum", handle, CMD_TRIG_SET_PULSE_NUM, {num});
}

int DOCMD_ModeTrigger_GetPulseNum(DeviceLink *handle, unsigned char *num) {
    static const char kFunc[] = "DOCMD_ModeTrigger_GetPulseNum";
    CHECK_OUT(kFunc, num, "num");
    CmdPkg reply;
    if (readCommand(kFunc, handle, CMD_TRIG_GET_PULSE_NUM, {}, 1, &reply) != 0) return -1;
    *num = reply.data[0];  // passed on unbounded
    return 0;
}

int DOCMD_ModeTrigger_OnTrigger(DeviceLink *handle) {
    return writeCommand("DOCMD_ModeTrigger_OnTrigger", handle, CMD_TRIG_ON_TRIGGER, {});
}
