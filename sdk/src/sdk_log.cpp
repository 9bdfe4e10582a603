#include "sdk_log.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <shared_mutex>

namespace {

// Longer than any line the library prints (the longest carries a 126-character
// port path); a longer one would be cut and still end in a newline.
constexpr int kLineBufferSize = 1024;

// Lines are formatted outside the lock and delivered under a shared lock, so
// threads log at once; setting a handler takes the lock exclusively and so
// waits until no line is on its way to the old destination.
std::shared_mutex g_destinationLock;
DALUSDK_LogHandler g_handler = nullptr;
void *g_userData = nullptr;

}  // namespace

int SDK_LogPrintf(const char *format, ...) {
    char line[kLineBufferSize];
    va_list args;
    va_start(args, format);
    int length = std::vsnprintf(line, sizeof(line), format, args);
    va_end(args);
    if (length < 0) return length;
    if (length >= kLineBufferSize) {
        length = kLineBufferSize - 1;
        line[length - 1] = '\n';
    }

    std::shared_lock<std::shared_mutex> guard(g_destinationLock);
    if (g_handler == nullptr) {
        // One write per line: lines from several threads never interleave.
        std::fwrite(line, 1, (size_t)length, stdout);
        return length;
    }
    if (length > 0 && line[length - 1] == '\n') line[length - 1] = '\0';
    g_handler(line, g_userData);
    return length;
}

void SDK_SetLogHandler(DALUSDK_LogHandler handler, void *userData) {
    std::unique_lock<std::shared_mutex> guard(g_destinationLock);
    g_handler = handler;
    g_userData = userData;
}
