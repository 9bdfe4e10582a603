// Helpers of the hostile-input tests: stdout capture and process health
// (threads, descriptors, a thread's CPU time) read from /proc/self.
#ifndef DALU_TESTS_HOSTILE_UTIL_H
#define DALU_TESTS_HOSTILE_UTIL_H

#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <unistd.h>

// Redirects the process's stdout (fd 1) into a temporary file while alive;
// text() returns what was written so far.
class StdoutCapture {
public:
    StdoutCapture() {
        std::fflush(stdout);
        char name[] = "/tmp/hostile_stdout_XXXXXX";
        m_fd = mkstemp(name);
        if (m_fd >= 0) {
            unlink(name);
            m_saved = dup(STDOUT_FILENO);
            dup2(m_fd, STDOUT_FILENO);
        }
    }
    ~StdoutCapture() { restore(); }
    StdoutCapture(const StdoutCapture &) = delete;
    StdoutCapture &operator=(const StdoutCapture &) = delete;

    std::string text() {
        std::fflush(stdout);
        std::string out;
        if (m_fd < 0) return out;
        char buf[4096];
        ssize_t n;
        off_t at = 0;
        while ((n = pread(m_fd, buf, sizeof buf, at)) > 0) {
            out.append(buf, static_cast<size_t>(n));
            at += n;
        }
        return out;
    }

    void restore() {
        if (m_saved < 0) return;
        std::fflush(stdout);
        dup2(m_saved, STDOUT_FILENO);
        close(m_saved);
        close(m_fd);
        m_saved = -1;
        m_fd = -1;
    }

private:
    int m_fd = -1;
    int m_saved = -1;
};

// Source line numbers in log lines ("<func:123>") become "<func:N>", so tests
// can state whole lines without pinning line numbers.
inline std::string withoutLineNumbers(const std::string &text) {
    static const std::regex lineNo(R"(<([A-Za-z0-9_]+):\d+>)");
    return std::regex_replace(text, lineNo, "<$1:N>");
}

inline std::set<std::string> dirEntries(const char *path) {
    std::set<std::string> names;
    if (DIR *d = opendir(path)) {
        while (dirent *e = readdir(d)) {
            if (e->d_name[0] != '.') names.insert(e->d_name);
        }
        closedir(d);
    }
    return names;
}

// The directory stream itself holds one descriptor while listing; it is the
// same in every count, so counts compare fine.
inline size_t openFdCount() { return dirEntries("/proc/self/fd").size(); }
inline std::set<std::string> threadIds() { return dirEntries("/proc/self/task"); }

// utime + stime of one thread, in clock ticks; -1 when it is gone.
inline long threadCpuTicks(const std::string &tid) {
    std::ifstream in("/proc/self/task/" + tid + "/stat");
    std::string stat;
    if (!std::getline(in, stat)) return -1;
    // The command name may hold blanks: count fields after its closing ')'.
    const size_t close = stat.rfind(')');
    if (close == std::string::npos) return -1;
    std::istringstream rest(stat.substr(close + 2));
    std::string field;
    long utime = 0, stime = 0;
    for (int i = 3; rest >> field; ++i) {
        if (i == 14) utime = std::atol(field.c_str());
        if (i == 15) {
            stime = std::atol(field.c_str());
            break;
        }
    }
    return utime + stime;
}

#endif
