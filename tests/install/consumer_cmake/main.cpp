// Opens the light source at argv[1], reads its model and makes one call that
// fails, with the library's lines going to a log handler. Writes its findings
// to standard error; standard output must stay empty.
#include <DALU_LightKit.h>

#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

namespace {

struct Captured {
    std::mutex mutex;
    std::vector<std::string> lines;
};

// Runs on whichever thread produced the line.
void onLibraryLine(const char *line, void *userData) {
    auto *captured = static_cast<Captured *>(userData);
    std::lock_guard<std::mutex> lock(captured->mutex);
    captured->lines.emplace_back(line);
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: consumer_cmake PORT\n");
        return 2;
    }
    Captured captured;
    DALUSDK_SetLogHandler(onLibraryLine, &captured);

    void *handle = DALUSDK_CreateHandle(argv[1]);
    if (handle == nullptr) {
        std::fprintf(stderr, "consumer_cmake: cannot open %s\n", argv[1]);
        return 1;
    }
    unsigned int model = 0;
    const int modelResult = DALUSDK_GetDeviceModel(handle, &model);
    const int failedResult = DALUSDK_SetLedBrightness(handle, 99, 50);  // no channel 99
    DALUSDK_DestroyHandle(handle);
    DALUSDK_SetLogHandler(nullptr, nullptr);

    std::fprintf(stderr, "consumer_cmake: model read %d, model 0x%08x\n", modelResult, model);
    std::fprintf(stderr, "consumer_cmake: channel 99 call returned %d\n", failedResult);
    const std::string expected = "[error] <DALUSDK_SetLedBrightness:";
    bool logged = false;
    for (const std::string &line : captured.lines) {
        std::fprintf(stderr, "consumer_cmake: handler got: %s\n", line.c_str());
        if (line.compare(0, expected.size(), expected) == 0 && line.find(" 99 >= ") != std::string::npos) logged = true;
    }
    return modelResult == 0 && failedResult == -1 && logged ? 0 : 1;
}
