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

extern char **environ;

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
class Child {
public:
    explicit Child(const std::vector<std::string> &args) {
        int out[2];
        if (::pipe2(out, O_CLOEXEC) != 0) return;
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, out[1], 1);
        posix_spawn_file_actions_adddup2(&fa, out[1], 2);
        std::vector<char *> argv;
        for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        if (posix_spawn(&m_pid, argv[0], &fa, nullptr, argv.data(), environ) != 0) m_pid = -1;
        posix_spawn_file_actions_destroy(&fa);
        ::close(out[1]);
        m_out = out[0];
    }
    ~Child() {
        if (m_pid > 0) {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, nullptr, 0);
        }
        if (m_out >= 0) ::close(m_out);
    }
    Child(const Child &) = delete;
    Child &operator=(const Child &) = delete;

    bool started() const { return m_pid > 0; }
    pid_t pid() const { return m_pid; }

    // The next line of output, or "" when none comes before the deadline.
    std::string line(int timeoutMs = 10000) {
        const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
        while (true) {
            const size_t nl = m_buf.find('\n');
            if (nl != std::string::npos) {
                std::string l = m_buf.substr(0, nl);
                m_buf.erase(0, nl + 1);
                return l;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
            if (left.count() <= 0) return "";
            pollfd p = {m_out, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
            char b[512];
            const ssize_t n = ::read(m_out, b, sizeof b);
            if (n <= 0) return "";
            m_buf.append(b, static_cast<size_t>(n));
        }
    }

    // Sends sig (if any) and returns the exit status; -1 if it did not end in time.
    int finish(int sig, int timeoutMs = 10000) {
        if (m_pid <= 0) return -1;
        if (sig != 0) ::kill(m_pid, sig);
        int status = 0;
        const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
        while (::waitpid(m_pid, &status, WNOHANG) == 0) {
            if (Clock::now() > end) return -1;
            pollfd p = {m_out, POLLIN, 0};
            if (::poll(&p, 1, 20) > 0) {
                char b[512];
                const ssize_t n = ::read(m_out, b, sizeof b);
                if (n > 0) m_buf.append(b, static_cast<size_t>(n));
            }
        }
        m_pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

    // Everything printed and not yet taken by line().
    std::string rest() {
        char b[4096];
        for (;;) {
            pollfd p = {m_out, POLLIN, 0};
            if (::poll(&p, 1, 0) <= 0) break;
            const ssize_t n = ::read(m_out, b, sizeof b);
            if (n <= 0) break;
            m_buf.append(b, static_cast<size_t>(n));
        }
        return m_buf;
    }

private:
    pid_t m_pid = -1;
    int m_out = -1;
    std::string m_buf;
};

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
