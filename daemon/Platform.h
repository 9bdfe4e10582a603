// What lightd's main needs from the system, one implementation per platform
// (platform_posix.cpp, platform_win32.cpp).
#ifndef LIGHTD_PLATFORM_H
#define LIGHTD_PLATFORM_H

#include <cstddef>
#include <functional>
#include <memory>
#include <string>

#include <boost/asio/io_context.hpp>

namespace lightd {

// The web page's folder where lightd is installed: share/lightd/web beside
// bin/ on Linux, web\ beside lightd.exe on Windows. The build tree lays it
// out the same way.
std::string defaultWebRoot(const char *argv0);

// Makes a write to a reader that has gone fail instead of ending lightd.
void ignoreBrokenPipes();

// Raises the limit of open descriptors as far as lightd may; returns it.
size_t raiseDescriptorLimit();

// Calls `stop` once on the loop's thread when the system asks lightd to end
// (SIGINT or SIGTERM; on Windows Ctrl-C, Ctrl-Break, the console window
// closed, log-off or shut-down), with a short name of the request. Destroy
// it after the loop has run out: on Windows, a closing console waits for that.
class StopRequests {
public:
    StopRequests(boost::asio::io_context &loop, std::function<void(const char *why)> stop);
    ~StopRequests();
    StopRequests(const StopRequests &) = delete;
    StopRequests &operator=(const StopRequests &) = delete;

    struct Impl;  // per platform

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace lightd

#endif
