// Device commands: each fills a request record, runs it through the request
// engine and, for a read, checks and decodes the reply. Arguments are assumed
// checked by the export, except the output pointers, which are tested again.
#ifndef DALU_DOCMD_COMMANDS_H
#define DALU_DOCMD_COMMANDS_H

#include <cstdint>

#include "docmd_link.h"

// Command codes. A read is its write's code + 0x8000 and is answered with its
// own code.
enum : uint16_t {
    CMD_SET_WORK_MODE = 0x0001,
    CMD_SET_GLOBAL_ENABLE = 0x0002,
    CMD_SET_LED_CHECKED = 0x0101,
    CMD_SET_LED_BRIGHTNESS = 0x0102,
    CMD_TTL_SET_OUTPUT_ENABLE = 0x0201,
    CMD_TTL_SET_DELAY = 0x0202,
    CMD_EDGE_SET_DELAY = 0x0301,
    CMD_EDGE_SET_PULSE = 0x0302,
    CMD_TRIG_SET_OUTPUT_ENABLE = 0x0401,
    CMD_TRIG_SET_DELAY = 0x0402,
    CMD_TRIG_SET_HIGH = 0x0403,
    CMD_TRIG_SET_LOW = 0x0404,
    CMD_TRIG_SET_PULSE_NUM = 0x0405,
    CMD_TRIG_ON_TRIGGER = 0x0406,

    CMD_GET_WORK_MODE = 0x8001,
    CMD_GET_GLOBAL_ENABLE = 0x8002,
    CMD_GET_LED_CHECKED = 0x8101,
    CMD_GET_LED_BRIGHTNESS = 0x8102,
    CMD_TTL_GET_OUTPUT_ENABLE = 0x8201,
    CMD_TTL_GET_DELAY = 0x8202,
    CMD_EDGE_GET_DELAY = 0x8301,
    CMD_EDGE_GET_PULSE = 0x8302,
    CMD_TRIG_GET_OUTPUT_ENABLE = 0x8401,
    CMD_TRIG_GET_DELAY = 0x8402,
    CMD_TRIG_GET_HIGH = 0x8403,
    CMD_TRIG_GET_LOW = 0x8404,
    CMD_TRIG_GET_PULSE_NUM = 0x8405,
    CMD_GET_LED_TEMP_STATUS = 0x9000,
    CMD_GET_LED_TEMP_VALUE = 0x9001,
    CMD_GET_LED_TEMP_OVER = 0x9002,
    CMD_GET_SOFTWARE_VERSION = 0xFE00,
    CMD_GET_DEVICE_MODEL = 0xFF00,
};

constexpr int kLedCount = 4;
constexpr int kWorkModeCount = 5;
constexpr unsigned kMaxTimeMs = 5000;
constexpr unsigned kMaxBrightness = 100;
constexpr unsigned kMaxPulseNum = 100;

int DOCMD_GetDeviceModel(DeviceLink *handle, unsigned int *model);
int DOCMD_GetDeviceSofewareVersion(DeviceLink *handle, unsigned int *version);
int DOCMD_SetGlobalEnable(DeviceLink *handle, unsigned char enable);
int DOCMD_GetGlobalEnable(DeviceLink *handle, unsigned char *enable);
int DOCMD_SetWorkMode(DeviceLink *handle, unsigned char mode);
int DOCMD_GetWorkMode(DeviceLink *handle, unsigned char *mode);

int DOCMD_SetLedChecked(DeviceLink *handle, unsigned char ledId, unsigned char checked);
int DOCMD_GetLedChecked(DeviceLink *handle, unsigned char ledId, unsigned char *checked);
int DOCMD_SetLedBrightness(DeviceLink *handle, unsigned char ledId, unsigned short value);
int DOCMD_GetLedBrightness(DeviceLink *handle, unsigned char ledId, unsigned short *value);
int DOCMD_GetLedTempStatus(DeviceLink *handle, unsigned char ledId, float *temp, unsigned char *status);
int DOCMD_GetLedTempValue(DeviceLink *handle, unsigned char ledId, float *temp);
int DOCMD_GetLedTempOver(DeviceLink *handle, unsigned char ledId, unsigned char *status);

int DOCMD_ModeTtl_SetOutputEnable(DeviceLink *handle, unsigned char enable);
int DOCMD_ModeTtl_GetOutputEnable(DeviceLink *handle, unsigned char *enable);
int DOCMD_ModeTtl_SetDelayTime(DeviceLink *handle, unsigned short delayMs);
int DOCMD_ModeTtl_GetDelayTime(DeviceLink *handle, unsigned short *delayMs);
int DOCMD_ModeEdge_SetDelayTime(DeviceLink *handle, unsigned short delayMs);
int DOCMD_ModeEdge_GetDelayTime(DeviceLink *handle, unsigned short *delayMs);
int DOCMD_ModeEdge_SetPulseTime(DeviceLink *handle, unsigned char ledId, unsigned short widthMs);
int DOCMD_ModeEdge_GetPulseTime(DeviceLink *handle, unsigned char ledId, unsigned short *widthMs);
int DOCMD_ModeTrigger_SetOutputEnable(DeviceLink *handle, unsigned char enable);
int DOCMD_ModeTrigger_GetOutputEnable(DeviceLink *handle, unsigned char *enable);
int DOCMD_ModeTrigger_SetDelayTime(DeviceLink *handle, unsigned short delayMs);
int DOCMD_ModeTrigger_GetDelayTime(DeviceLink *handle, unsigned short *delayMs);
int DOCMD_ModeTrigger_SetHighTime(DeviceLink *handle, unsigned short widthMs);
int DOCMD_ModeTrigger_GetHighTime(DeviceLink *handle, unsigned short *widthMs);
int DOCMD_ModeTrigger_SetLowTime(DeviceLink *handle, unsigned short widthMs);
int DOCMD_ModeTrigger_GetLowTime(DeviceLink *handle, unsigned short *widthMs);
int DOCMD_ModeTrigger_SetPulseNum(DeviceLink *handle, unsigned char num);
int DOCMD_ModeTrigger_GetPulseNum(DeviceLink *handle, unsigned char *num);
int DOCMD_ModeTrigger_OnTrigger(DeviceLink *handle);

#endif
