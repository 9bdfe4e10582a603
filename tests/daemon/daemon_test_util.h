// Helpers of lightd's tests: a child process with its output on a pipe, a
// blocking SCPI client with deadlines, a symlink that names the current pty.
#ifndef LIGHTD_TESTS_DAEMON_TEST_UTIL_H
#define LIGHTD_TESTS_DAEMON_TEST_UTIL_H

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "spawned_program.h"

namespace lightd_test {

using Clock = std::chrono::steady_clock;

// Deadline loop for conditions that have no wait of their own.
template <typename Pred>
bool waitUntil(Pred pred, int timeoutMs = 5000) {
    const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!pred()) {
        if (Clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// A program with standard output and error on one pipe.
using Child = SpawnedProgram;

// A blocking TCP client speaking lines.
class LineClient {
public:
    explicit LineClient(uint16_t port) {
        m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(port);
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(m_fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
            ::close(m_fd);
            m_fd = -1;
        }
        const int one = 1;
        if (m_fd >= 0) ::setsockopt(m_fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    }
    ~LineClient() {
        if (m_fd >= 0) ::close(m_fd);
    }
    LineClient(const LineClient &) = delete;
    LineClient &operator=(const LineClient &) = delete;

    bool connected() const { return m_fd >= 0; }

    uint16_t localPort() const {
        sockaddr_in addr{};
        socklen_t size = sizeof addr;
        if (::getsockname(m_fd, reinterpret_cast<sockaddr *>(&addr), &size) != 0) return 0;
        return ntohs(addr.sin_port);
    }

    bool send(const std::string &bytes) {
        size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::send(m_fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
            if (n <= 0) return false;
            done += static_cast<size_t>(n);
        }
        return true;
    }

    // The next line without its "\n"; "" on time-out, "<eof>" when closed.
    std::string line(int timeoutMs = 5000) {
        const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            const size_t nl = m_buf.find('\n');
            if (nl != std::string::npos) {
                std::string l = m_buf.substr(0, nl);
                m_buf.erase(0, nl + 1);
                return l;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
            if (left.count() <= 0) return "";
            pollfd p = {m_fd, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
            char b[4096];
            const ssize_t n = ::recv(m_fd, b, sizeof b, 0);
            if (n <= 0) return "<eof>";
            m_buf.append(b, static_cast<size_t>(n));
        }
    }

    std::string query(const std::string &text, int timeoutMs = 5000) {
        if (!send(text + "\n")) return "<send failed>";
        return line(timeoutMs);
    }

private:
    int m_fd = -1;
    std::string m_buf;
};

// A fixed path that names whichever pty the light source serves now, as a
// udev symlink names a USB adapter that comes and goes.
class PortLink {
public:
    PortLink() {
        char dir[] = "/tmp/lightd-test-XXXXXX";
        if (::mkdtemp(dir) != nullptr) m_dir = dir;
        m_path = m_dir + "/ttyLIGHT";
    }
    ~PortLink() {
        ::unlink(m_path.c_str());
        ::rmdir(m_dir.c_str());
    }
    const std::string &path() const { return m_path; }
    // Replaces the link in one step.
    bool pointTo(const std::string &target) {
        const std::string next = m_path + ".new";
        ::unlink(next.c_str());
        return ::symlink(target.c_str(), next.c_str()) == 0 && ::rename(next.c_str(), m_path.c_str()) == 0;
    }
    void remove() { ::unlink(m_path.c_str()); }

private:
    std::string m_dir;
    std::string m_path;
};

}  // namespace lightd_test

#endif
