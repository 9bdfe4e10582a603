// Runs lightctl as a child process with its standard streams on pipes.
#ifndef LIGHTKIT_TESTS_CLI_CHILD_PROCESS_H
#define LIGHTKIT_TESTS_CLI_CHILD_PROCESS_H

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

extern char **environ;

struct ChildResult {
    int exitCode = -1;  // -1 when it did not exit normally
    std::string out;
    std::string err;
};

// How the child's standard output is set up.
struct ChildOutput {
    std::string path;            // a file to write to ("/dev/full") instead of the pipe
    bool ignoreSigpipe = false;  // start with SIGPIPE ignored, as under systemd
};

class ChildProcess {
public:
    // `env` entries ("NAME=value") are added to this process's environment,
    // from which LIGHTKIT_PORT is always removed.
    ChildProcess(const std::vector<std::string> &args, const std::string &input = {},
                 const std::vector<std::string> &env = {}, const ChildOutput &output = {}) {
        int in[2], out[2], err[2];
        if (pipe(in) != 0 || pipe(out) != 0 || pipe(err) != 0) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], 0);
        if (output.path.empty()) {
            posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        } else {
            posix_spawn_file_actions_addopen(&actions, 1, output.path.c_str(), O_WRONLY, 0);
        }
        posix_spawn_file_actions_adddup2(&actions, err[1], 2);
        for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) posix_spawn_file_actions_addclose(&actions, fd);

        std::vector<std::string> argStrings = {LIGHTCTL_PROGRAM};
        argStrings.insert(argStrings.end(), args.begin(), args.end());
        std::vector<std::string> envStrings;
        for (char **e = environ; *e != nullptr; ++e)
            if (std::strncmp(*e, "LIGHTKIT_PORT=", 14) != 0) envStrings.push_back(*e);
        envStrings.insert(envStrings.end(), env.begin(), env.end());
        std::vector<char *> argv, envp;
        for (auto &s : argStrings) argv.push_back(&s[0]);
        for (auto &s : envStrings) envp.push_back(&s[0]);
        argv.push_back(nullptr);
        envp.push_back(nullptr);
        // An ignored signal stays ignored across exec; a default one is reset.
        posix_spawnattr_t attr;
        posix_spawnattr_init(&attr);
        sigset_t pipeOnly;
        sigemptyset(&pipeOnly);
        sigaddset(&pipeOnly, SIGPIPE);
        posix_spawnattr_setsigdefault(&attr, &pipeOnly);
        posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF);
        struct sigaction ignore {}, previous {};
        ignore.sa_handler = SIG_IGN;
        if (output.ignoreSigpipe) {
            posix_spawnattr_setflags(&attr, 0);
            sigaction(SIGPIPE, &ignore, &previous);
        }
        if (posix_spawn(&m_pid, LIGHTCTL_PROGRAM, &actions, &attr, argv.data(), envp.data()) != 0) m_pid = -1;
        if (output.ignoreSigpipe) sigaction(SIGPIPE, &previous, nullptr);
        posix_spawnattr_destroy(&attr);
        posix_spawn_file_actions_destroy(&actions);
        close(in[0]);
        close(out[1]);
        close(err[1]);
        // Scripts are small: they fit in the pipe.
        if (!input.empty()) {
            const ssize_t written = write(in[1], input.data(), input.size());
            (void)written;  // a short write shows up as a failed test
        }
        close(in[1]);
        m_out = out[0];
        m_err = err[0];
    }

    ~ChildProcess() {
        if (m_pid > 0) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
        }
        if (m_out >= 0) close(m_out);
        if (m_err >= 0) close(m_err);
    }

    // Reads output until `done` holds for what standard output has so far,
    // or both streams end, or 20 s pass. True when `done` held.
    bool readUntil(const std::function<bool(const std::string &)> &done) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (!done(m_result.out)) {
            if (m_out < 0 && m_err < 0) return false;
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) return false;
            pollfd fds[2] = {{m_out, POLLIN, 0}, {m_err, POLLIN, 0}};
            if (poll(fds, 2, static_cast<int>(left.count())) <= 0) continue;
            drain(fds[0], &m_out, &m_result.out);
            drain(fds[1], &m_err, &m_result.err);
        }
        return true;
    }

    void signal(int sig) { kill(m_pid, sig); }

    // The reader goes away: the child's next write to standard output fails.
    void closeOutput() {
        if (m_out >= 0) close(m_out);
        m_out = -1;
    }

    // Reads to the end and waits for the exit.
    ChildResult finish() {
        readUntil([](const std::string &) { return false; });
        int status = 0;
        if (m_pid > 0 && waitpid(m_pid, &status, 0) == m_pid && WIFEXITED(status))
            m_result.exitCode = WEXITSTATUS(status);
        m_pid = -1;
        return m_result;
    }

private:
    static void drain(const pollfd &p, int *fd, std::string *to) {
        if (p.revents == 0) return;
        char buf[4096];
        const ssize_t n = read(*fd, buf, sizeof buf);
        if (n > 0) {
            to->append(buf, static_cast<size_t>(n));
        } else {
            close(*fd);
            *fd = -1;
        }
    }

    pid_t m_pid = -1;
    int m_out = -1, m_err = -1;
    ChildResult m_result;
};

inline ChildResult runLightctl(const std::vector<std::string> &args, const std::string &input = {},
                               const std::vector<std::string> &env = {}) {
    return ChildProcess(args, input, env).finish();
}

#endif
