// Smallest useful caller of the library: opens a port, prints what the
// device says about itself and its channels. Usage: lightkit_demo PORT
#include <cstdio>

#include "DALU_LightKit.h"

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s PORT   (COM3, ttyUSB0 or a path such as /dev/pts/5)\n", argv[0]);
        return 2;
    }
    unsigned int sdkVersion = 0;
    DALUSDK_GetSdkVersion(&sdkVersion);
    std::printf("library version %u\n", sdkVersion);

    void *handle = DALUSDK_CreateHandle(argv[1]);
    if (handle == nullptr) return 1;

    unsigned int model = 0, version = 0;
    int mode = 0;
    if (DALUSDK_GetDeviceModel(handle, &model) == 0) std::printf("model 0x%08x\n", model);
    if (DALUSDK_GetDeviceSofewareVersion(handle, &version) == 0) std::printf("software version %u\n", version);
    if (DALUSDK_GetWorkMode(handle, &mode) == 0) std::printf("work mode %d\n", mode);
    for (int led = 0; led < 4; ++led) {
        unsigned char checked = 0, alarm = 0;
        unsigned short brightness = 0;
        float temp = 0.0f;
        if (DALUSDK_GetLedChecked(handle, led, &checked) == 0 && DALUSDK_GetLedBrightness(handle, led, &brightness) == 0 &&
            DALUSDK_GetLedTempStatus(handle, led, &temp, &alarm) == 0)
            std::printf("channel %d: %s, brightness %u%%, %.2f C%s\n", led, checked ? "on" : "off", brightness, temp,
                        alarm ? ", OVER TEMPERATURE" : "");
    }
    return DALUSDK_DestroyHandle(handle) == 0 ? 0 : 1;
}
