/* Opens the light source at argv[1], reads its model and makes one call that
 * fails, with the library's lines going to a log handler. Writes its findings
 * to standard error; standard output must stay empty. */
#include <DALU_LightKit.h>

#include <stdio.h>
#include <string.h>

struct FailedCall {
    const char *prefix;  /* the start of the line the failed call logs */
    char line[256];      /* written only on the calling thread */
};

/* Runs on whichever thread produced the line; lines of the receive thread only
 * go to standard error, which the C library locks per call. */
static void onLibraryLine(const char *line, void *userData) {
    struct FailedCall *call = userData;
    fprintf(stderr, "consumer_pkgconfig: handler got: %s\n", line);
    if (strncmp(line, call->prefix, strlen(call->prefix)) == 0) {
        strncpy(call->line, line, sizeof call->line - 1);
    }
}

int main(int argc, char **argv) {
    struct FailedCall call = {"[error] <DALUSDK_SetLedBrightness:", ""};
    void *handle;
    unsigned int model = 0;
    int modelResult, failedResult;

    if (argc != 2) {
        fprintf(stderr, "usage: consumer_pkgconfig PORT\n");
        return 2;
    }
    DALUSDK_SetLogHandler(onLibraryLine, &call);
    handle = DALUSDK_CreateHandle(argv[1]);
    if (handle == NULL) {
        fprintf(stderr, "consumer_pkgconfig: cannot open %s\n", argv[1]);
        return 1;
    }
    modelResult = DALUSDK_GetDeviceModel(handle, &model);
    failedResult = DALUSDK_SetLedBrightness(handle, 99, 50); /* no channel 99 */
    DALUSDK_DestroyHandle(handle);
    DALUSDK_SetLogHandler(NULL, NULL);

    fprintf(stderr, "consumer_pkgconfig: model read %d, model 0x%08x\n", modelResult, model);
    fprintf(stderr, "consumer_pkgconfig: channel 99 call returned %d\n", failedResult);
    return modelResult == 0 && failedResult == -1 && strstr(call.line, " 99 >= ") != NULL ? 0 : 1;
}
