#include "Platform.h"

#include <atomic>
#include <filesystem>
#include <vector>

#include <boost/asio/post.hpp>

#include <windows.h>

namespace lightd {

std::string defaultWebRoot(const char *argv0) {
    std::vector<wchar_t> path(MAX_PATH);
    for (;;) {
        const DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (n == 0) {
            std::error_code ec;
            return (std::filesystem::absolute(argv0, ec).parent_path() / "web").string();
        }
        if (n < path.size()) break;
        path.resize(path.size() * 2);
    }
    return (std::filesystem::path(path.data()).parent_path() / "web").lexically_normal().string();
}

// Windows has no SIGPIPE: a send to a closed socket fails with an error.
void ignoreBrokenPipes() {}

// Sockets are not bounded by a descriptor table on Windows.
size_t raiseDescriptorLimit() {
    return 65536;
}

// The console's control handler runs on a thread of its own that the system
// starts; it posts the stop to the loop. For a closing console, log-off and
// shut-down the process ends as soon as the handler returns, so the handler
// waits (Windows allows it about five seconds) until the loop has run out.
struct StopRequests::Impl {
    boost::asio::io_context &loop;
    std::function<void(const char *)> stop;
    HANDLE finished = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::atomic<bool> requested{false};
};

namespace {

std::atomic<StopRequests::Impl *> current{nullptr};

BOOL WINAPI onConsoleControl(DWORD type);

}  // namespace

StopRequests::StopRequests(boost::asio::io_context &loop, std::function<void(const char *why)> stop)
    : impl_(new Impl{loop, std::move(stop)}) {
    current = impl_.get();
    SetConsoleCtrlHandler(onConsoleControl, TRUE);
}

StopRequests::~StopRequests() {
    SetEvent(impl_->finished);
    SetConsoleCtrlHandler(onConsoleControl, FALSE);
    current = nullptr;
    CloseHandle(impl_->finished);
}

namespace {

BOOL WINAPI onConsoleControl(DWORD type) {
    const char *why = nullptr;
    switch (type) {
    case CTRL_C_EVENT: why = "Ctrl-C"; break;
    case CTRL_BREAK_EVENT: why = "Ctrl-Break"; break;
    case CTRL_CLOSE_EVENT: why = "console closed"; break;
    case CTRL_LOGOFF_EVENT: why = "log-off"; break;
    case CTRL_SHUTDOWN_EVENT: why = "shut-down"; break;
    default: return FALSE;
    }
    StopRequests::Impl *impl = current;
    if (!impl) return FALSE;
    if (!impl->requested.exchange(true)) {
        boost::asio::post(impl->loop, [impl, why] { impl->stop(why); });
    }
    if (type == CTRL_CLOSE_EVENT || type == CTRL_LOGOFF_EVENT || type == CTRL_SHUTDOWN_EVENT)
        WaitForSingleObject(impl->finished, 4500);
    return TRUE;
}

}  // namespace

}  // namespace lightd
