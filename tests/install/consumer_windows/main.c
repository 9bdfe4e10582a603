/* A Windows program built from the SDK zip alone (header, DLL and one of its
 * import libraries), run under wine by scripts/test_package_windows.sh.
 * Prints the library version and the line its log handler received for a
 * call that fails (a null handle). */
#include <DALU_LightKit.h>

#include <stdio.h>
#include <string.h>

static char received[256];

static void onLibraryLine(const char *line, void *userData) {
    (void)userData;
    strncpy(received, line, sizeof received - 1);
}

int main(void) {
    unsigned int version = 0, model = 0;
    if (DALUSDK_GetSdkVersion(&version) != 0) return 1;
    DALUSDK_SetLogHandler(onLibraryLine, NULL);
    if (DALUSDK_GetDeviceModel(NULL, &model) != -1) return 1;
    DALUSDK_SetLogHandler(NULL, NULL);
    printf("sdk version %u\n", version);
    printf("handler got: %s\n", received);
    return 0;
}
