// Captures what the library prints on standard output while it is in scope.
#ifndef LIGHTKIT_TESTS_STDOUT_CAPTURE_H
#define LIGHTKIT_TESTS_STDOUT_CAPTURE_H

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <unistd.h>

class StdoutCapture {
public:
    StdoutCapture() {
        std::fflush(stdout);
        char name[] = "/tmp/lightkit-stdout-XXXXXX";
        m_fd = ::mkstemp(name);
        ::unlink(name);
        m_saved = ::dup(1);
        ::dup2(m_fd, 1);
    }
    ~StdoutCapture() { finish(); }

    // Everything printed so far; ends the capture.
    std::string text() {
        finish();
        return m_text;
    }
    std::vector<std::string> lines() {
        std::vector<std::string> out;
        std::string all = text();
        size_t start = 0;
        for (size_t nl; (nl = all.find('\n', start)) != std::string::npos; start = nl + 1)
            out.push_back(all.substr(start, nl - start));
        if (start < all.size()) out.push_back(all.substr(start));
        return out;
    }

private:
    void finish() {
        if (m_saved < 0) return;
        std::fflush(stdout);
        ::dup2(m_saved, 1);
        ::close(m_saved);
        m_saved = -1;
        ::lseek(m_fd, 0, SEEK_SET);
        char buf[4096];
        for (ssize_t n; (n = ::read(m_fd, buf, sizeof buf)) > 0;) m_text.append(buf, (size_t)n);
        ::close(m_fd);
    }

    int m_fd = -1;
    int m_saved = -1;
    std::string m_text;
};

// Replaces the ":<line>>" of a log line by ":N>" so tests need not track
// source line numbers of the library.
inline std::string withoutLineNumber(const std::string &line) {
    size_t lt = line.find('<');
    size_t colon = line.find(':', lt == std::string::npos ? 0 : lt);
    size_t gt = line.find('>', colon == std::string::npos ? 0 : colon);
    if (lt == std::string::npos || colon == std::string::npos || gt == std::string::npos || colon > gt) return line;
    return line.substr(0, colon + 1) + "N" + line.substr(gt);
}

#endif
