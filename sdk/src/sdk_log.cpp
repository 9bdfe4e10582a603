#include "sdk_log.h"

#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <mutex>

namespace {

// Longer than any line the library prints (the longest carries a 126-character
// port path); a longer one would be cut and still end in a newline.
constexpr int kLineBufferSize = 1024;

// Lines are formatted outside any lock and delivered by any number of threads
// at once. Setting a handler waits until no line is on its way to the old
// destination, and from the moment it asks no new line sets out: a shared
// lock that lets readers in ahead of a waiting writer would keep it waiting
// for as long as threads log.
std::mutex g_lock;
std::condition_variable g_changed;
int g_delivering = 0;      // lines on their way, under g_lock
int g_setterWaiting = 0;   // handler changes waiting, under g_lock
DALUSDK_LogHandler g_handler = nullptr;
void *g_userData = nullptr;
// Lines this thread is delivering: a handler that makes the library log
// again must not wait for a change that waits for it.
thread_local int t_depth = 0;

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

    DALUSDK_LogHandler handler;
    void *userData;
    {
        std::unique_lock<std::mutex> guard(g_lock);
        if (t_depth == 0) g_changed.wait(guard, [] { return g_setterWaiting == 0; });
        ++g_delivering;
        handler = g_handler;
        userData = g_userData;
    }
    ++t_depth;
    if (handler == nullptr) {
        // One write per line: lines from several threads never interleave.
        std::fwrite(line, 1, (size_t)length, stdout);
    } else {
        if (length > 0 && line[length - 1] == '\n') line[length - 1] = '\0';
        handler(line, userData);
    }
    --t_depth;
    bool last;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        last = --g_delivering == 0 && g_setterWaiting > 0;
    }
    if (last) g_changed.notify_all();
    return length;
}

void SDK_SetLogHandler(DALUSDK_LogHandler handler, void *userData) {
    {
        std::unique_lock<std::mutex> guard(g_lock);
        ++g_setterWaiting;
        g_changed.wait(guard, [] { return g_delivering == 0; });
        g_handler = handler;
        g_userData = userData;
        --g_setterWaiting;
    }
    g_changed.notify_all();
}
