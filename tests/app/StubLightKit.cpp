#include "StubLightKit.h"

#include "DALU_LightKit.h"

#include <cstdio>

namespace stub {

static int handleObject;
void *createResult = &handleObject;
int result = 0;
std::vector<std::string> calls;

void reset()
{
    createResult = &handleObject;
    result = 0;
    calls.clear();
}

} // namespace stub

namespace {

std::string handleText(void *handle)
{
    return handle == stub::createResult && handle ? "h" : "?";
}

// Records a call and hands back the configured result.
template <typename... Args>
int record(const char *name, void *handle, const char *format, Args... args)
{
    char buffer[128];
    std::snprintf(buffer, sizeof(buffer), format, args...);
    std::string text = std::string(name) + "(" + handleText(handle);
    if (buffer[0])
        text += std::string(",") + buffer;
    stub::calls.push_back(text + ")");
    return stub::result;
}

// On success a read stores a recognisable value, so the test sees that the
// caller's own variable was passed through.
template <typename T>
int store(int ret, T *out, T value)
{
    if (ret == 0 && out)
        *out = value;
    return ret;
}

const char *outText(const void *p)
{
    return p ? "out" : "null";
}

} // namespace

extern "C" {

void *DALUSDK_CreateHandle(const char *comName)
{
    stub::calls.push_back(std::string("CreateHandle(") + (comName ? comName : "null") + ")");
    return stub::createResult;
}
void *DALUSDK_CreateHandle2(DALUSDK_SendCallback, void *) { return nullptr; }
int DALUSDK_DestroyHandle(void *h) { return record("DestroyHandle", h, "%s", ""); }
int DALUSDK_DestroyHandle2(void *) { return -1; }
int DALUSDK_PushRecvBytes(void *, const unsigned char *, int) { return -1; }
int DALUSDK_GetSdkVersion(unsigned int *version)
{
    if (!version)
        return -1;
    *version = DALUSDK_VERSION;
    return 0;
}

int DALUSDK_GetDeviceModel(void *h, unsigned int *v)
{
    return store(record("GetDeviceModel", h, "%s", outText(v)), v, 0xFFAA0800u);
}
int DALUSDK_GetDeviceSofewareVersion(void *h, unsigned int *v)
{
    return store(record("GetDeviceSofewareVersion", h, "%s", outText(v)), v, 66051u);
}
int DALUSDK_SetGlobalEnable(void *h, unsigned char e) { return record("SetGlobalEnable", h, "%u", e); }
int DALUSDK_GetGlobalEnable(void *h, unsigned char *e)
{
    return store(record("GetGlobalEnable", h, "%s", outText(e)), e, static_cast<unsigned char>(1));
}
int DALUSDK_SetWorkMode(void *h, int m) { return record("SetWorkMode", h, "%d", m); }
int DALUSDK_GetWorkMode(void *h, int *m)
{
    return store(record("GetWorkMode", h, "%s", outText(m)), m, 3);
}
int DALUSDK_SetLedChecked(void *h, int id, unsigned char c) { return record("SetLedChecked", h, "%d,%u", id, c); }
int DALUSDK_GetLedChecked(void *h, int id, unsigned char *c)
{
    return store(record("GetLedChecked", h, "%d,%s", id, outText(c)), c, static_cast<unsigned char>(1));
}
int DALUSDK_SetLedBrightness(void *h, int id, unsigned short v) { return record("SetLedBrightness", h, "%d,%u", id, v); }
int DALUSDK_GetLedBrightness(void *h, int id, unsigned short *v)
{
    return store(record("GetLedBrightness", h, "%d,%s", id, outText(v)), v, static_cast<unsigned short>(42));
}
int DALUSDK_GetLedTempStatus(void *h, int id, float *t, unsigned char *s)
{
    const int ret = record("GetLedTempStatus", h, "%d,%s,%s", id, t ? "out" : "null", s ? "out" : "null");
    if (ret == 0 && t && s) {
        *t = 36.5f;
        *s = 1;
    }
    return ret;
}
int DALUSDK_GetLedTempValue(void *, int, float *) { return -1; }
int DALUSDK_GetLedTempOver(void *, int, unsigned char *) { return -1; }

int DALUSDK_ModeTtl_SetOutputEnable(void *h, unsigned char e) { return record("ModeTtl_SetOutputEnable", h, "%u", e); }
int DALUSDK_ModeTtl_GetOutputEnable(void *h, unsigned char *e)
{
    return store(record("ModeTtl_GetOutputEnable", h, "%s", outText(e)), e, static_cast<unsigned char>(1));
}
int DALUSDK_ModeTtl_SetDelayTime(void *h, unsigned short d) { return record("ModeTtl_SetDelayTime", h, "%u", d); }
int DALUSDK_ModeTtl_GetDelayTime(void *h, unsigned short *d)
{
    return store(record("ModeTtl_GetDelayTime", h, "%s", outText(d)), d, static_cast<unsigned short>(4999));
}

int DALUSDK_ModeEdge_SetDelayTime(void *h, unsigned short d) { return record("ModeEdge_SetDelayTime", h, "%u", d); }
int DALUSDK_ModeEdge_GetDelayTime(void *h, unsigned short *d)
{
    return store(record("ModeEdge_GetDelayTime", h, "%s", outText(d)), d, static_cast<unsigned short>(5000));
}
int DALUSDK_ModeEdge_SetPulseTime(void *h, int id, unsigned short w) { return record("ModeEdge_SetPulseTime", h, "%d,%u", id, w); }
int DALUSDK_ModeEdge_GetPulseTime(void *h, int id, unsigned short *w)
{
    return store(record("ModeEdge_GetPulseTime", h, "%d,%s", id, outText(w)), w, static_cast<unsigned short>(1200));
}

int DALUSDK_ModeTrigger_SetOutputEnable(void *h, unsigned char e) { return record("ModeTrigger_SetOutputEnable", h, "%u", e); }
int DALUSDK_ModeTrigger_GetOutputEnable(void *h, unsigned char *e)
{
    return store(record("ModeTrigger_GetOutputEnable", h, "%s", outText(e)), e, static_cast<unsigned char>(1));
}
int DALUSDK_ModeTrigger_SetDelayTime(void *h, unsigned short d) { return record("ModeTrigger_SetDelayTime", h, "%u", d); }
int DALUSDK_ModeTrigger_GetDelayTime(void *h, unsigned short *d)
{
    return store(record("ModeTrigger_GetDelayTime", h, "%s", outText(d)), d, static_cast<unsigned short>(10));
}
int DALUSDK_ModeTrigger_SetHighTime(void *h, unsigned short w) { return record("ModeTrigger_SetHighTime", h, "%u", w); }
int DALUSDK_ModeTrigger_GetHighTime(void *h, unsigned short *w)
{
    return store(record("ModeTrigger_GetHighTime", h, "%s", outText(w)), w, static_cast<unsigned short>(20));
}
int DALUSDK_ModeTrigger_SetLowTime(void *h, unsigned short w) { return record("ModeTrigger_SetLowTime", h, "%u", w); }
int DALUSDK_ModeTrigger_GetLowTime(void *h, unsigned short *w)
{
    return store(record("ModeTrigger_GetLowTime", h, "%s", outText(w)), w, static_cast<unsigned short>(30));
}
int DALUSDK_ModeTrigger_SetPulseNum(void *h, unsigned char n) { return record("ModeTrigger_SetPulseNum", h, "%u", n); }
int DALUSDK_ModeTrigger_GetPulseNum(void *h, unsigned char *n)
{
    return store(record("ModeTrigger_GetPulseNum", h, "%s", outText(n)), n, static_cast<unsigned char>(100));
}
int DALUSDK_ModeTrigger_OnTrigger(void *h) { return record("ModeTrigger_OnTrigger", h, "%s", ""); }

} // extern "C"
