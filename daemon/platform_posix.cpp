#include "Platform.h"

#include <csignal>
#include <filesystem>

#include <sys/resource.h>

#include <boost/asio/signal_set.hpp>

namespace lightd {

std::string defaultWebRoot(const char *argv0) {
    std::error_code ec;
    std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec)
        self = std::filesystem::absolute(argv0, ec);
    return (self.parent_path().parent_path() / "share" / "lightd" / "web").lexically_normal().string();
}

void ignoreBrokenPipes() {
    std::signal(SIGPIPE, SIG_IGN);
}

// Every HTTP connection holds a descriptor, and the usual soft limit (1024)
// is below what a lab's browsers, scripts and idle keep-alives can open; the
// hard limit is ours to take.
size_t raiseDescriptorLimit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return 1024;
    if (limit.rlim_cur < limit.rlim_max) {
        rlimit raised = limit;
        raised.rlim_cur = limit.rlim_max == RLIM_INFINITY ? 65536 : limit.rlim_max;
        if (setrlimit(RLIMIT_NOFILE, &raised) == 0)
            limit = raised;
    }
    return limit.rlim_cur == RLIM_INFINITY ? 65536 : static_cast<size_t>(limit.rlim_cur);
}

struct StopRequests::Impl {
    explicit Impl(boost::asio::io_context &loop) : signals(loop, SIGINT, SIGTERM) {}
    boost::asio::signal_set signals;
};

StopRequests::StopRequests(boost::asio::io_context &loop, std::function<void(const char *why)> stop)
    : impl_(std::make_unique<Impl>(loop)) {
    impl_->signals.async_wait([stop](const boost::system::error_code &ec, int signal) {
        if (!ec) stop(signal == SIGINT ? "SIGINT" : "SIGTERM");
    });
}

StopRequests::~StopRequests() = default;

}  // namespace lightd
