// A program under test run as a child process, with its standard output and
// error on one pipe: tests read its lines with deadlines, signal it and take
// its exit status. POSIX only.
#ifndef LIGHTKIT_TESTS_SUPPORT_SPAWNED_PROGRAM_H
#define LIGHTKIT_TESTS_SUPPORT_SPAWNED_PROGRAM_H

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

extern char **environ;

class SpawnedProgram {
public:
    using Clock = std::chrono::steady_clock;

    // args[0] is the program's path.
    explicit SpawnedProgram(const std::vector<std::string> &args) {
        int out[2];
        if (::pipe2(out, O_CLOEXEC) != 0) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_adddup2(&actions, out[1], 2);
        std::vector<char *> argv;
        for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        if (posix_spawn(&m_pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) m_pid = -1;
        posix_spawn_file_actions_destroy(&actions);
        ::close(out[1]);
        m_out = out[0];
    }
    // A program still running is killed: a failed test leaves nothing behind.
    ~SpawnedProgram() {
        if (m_pid > 0) {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, nullptr, 0);
        }
        if (m_out >= 0) ::close(m_out);
    }
    SpawnedProgram(const SpawnedProgram &) = delete;
    SpawnedProgram &operator=(const SpawnedProgram &) = delete;

    bool started() const { return m_pid > 0; }
    pid_t pid() const { return m_pid; }

    // The next line of output without its "\n", or "" when none comes before
    // the deadline or the output ends.
    std::string line(int timeoutMs = 10000) {
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
            if (readSome(static_cast<int>(left.count())) < 0) return "";
        }
    }

    // Sends sig (if any) and returns the exit status, 128 + the signal for a
    // program a signal ended, or -1 if it did not end in time.
    int finish(int sig, int timeoutMs = 10000) {
        if (m_pid <= 0) return -1;
        if (sig != 0) ::kill(m_pid, sig);
        int status = 0;
        const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
        while (::waitpid(m_pid, &status, WNOHANG) == 0) {
            if (Clock::now() > end) return -1;
            readSome(20);  // keeps a chatty program from blocking on a full pipe
        }
        m_pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

    // Everything printed and not yet taken by line().
    std::string rest() {
        while (readSome(0) > 0) {
        }
        return m_buf;
    }

private:
    // Appends what the pipe holds within timeoutMs: 1 when something came,
    // 0 when nothing did (or a signal cut the wait short), -1 when the output
    // has ended.
    int readSome(int timeoutMs) {
        pollfd p = {m_out, POLLIN, 0};
        if (::poll(&p, 1, timeoutMs) <= 0) return 0;
        char b[4096];
        const ssize_t n = ::read(m_out, b, sizeof b);
        if (n <= 0) return -1;
        m_buf.append(b, static_cast<size_t>(n));
        return 1;
    }

    pid_t m_pid = -1;
    int m_out = -1;
    std::string m_buf;
};

#endif
