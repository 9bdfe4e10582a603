// Helpers of the virtual light source's tests: stdout capture and frames.
#ifndef LIGHTSIM_TESTS_SIM_TEST_UTIL_H
#define LIGHTSIM_TESTS_SIM_TEST_UTIL_H

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <unistd.h>

#include "cmdpkg.h"

// Redirects file descriptor 1 into a temporary file while in scope, so that
// the library's exact log lines can be asserted.
class CaptureStdout {
public:
    CaptureStdout() {
        std::fflush(stdout);
        char name[] = "/tmp/lightsim-stdout-XXXXXX";
        m_fd = ::mkstemp(name);
        ::unlink(name);
        m_saved = ::dup(1);
        ::dup2(m_fd, 1);
    }
    ~CaptureStdout() { finish(); }
    CaptureStdout(const CaptureStdout &) = delete;
    CaptureStdout &operator=(const CaptureStdout &) = delete;

    // The lines printed so far, with the ":<line>" of "<func:line>" replaced
    // by ":N" (source line numbers are the library's business). Ends the capture.
    std::vector<std::string> lines() {
        finish();
        std::vector<std::string> out;
        size_t start = 0;
        for (size_t nl; (nl = m_text.find('\n', start)) != std::string::npos; start = nl + 1) {
            out.push_back(withoutLineNumber(m_text.substr(start, nl - start)));
        }
        if (start < m_text.size()) out.push_back(withoutLineNumber(m_text.substr(start)));
        return out;
    }

    static std::string withoutLineNumber(const std::string &line) {
        const size_t lt = line.find('<');
        const size_t gt = line.find('>', lt == std::string::npos ? 0 : lt);
        if (lt == std::string::npos || gt == std::string::npos) return line;
        const size_t colon = line.find(':', lt);
        if (colon == std::string::npos || colon > gt) return line;
        return line.substr(0, colon + 1) + "N" + line.substr(gt);
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
        for (ssize_t n; (n = ::read(m_fd, buf, sizeof buf)) > 0;) m_text.append(buf, static_cast<size_t>(n));
        ::close(m_fd);
    }

    int m_fd = -1;
    int m_saved = -1;
    std::string m_text;
};

// A received record as its wire bytes, "55 AA 80 01 00 81 FA".
inline std::string frameHex(const CmdPkg &pkg) {
    uint8_t f[kCmdPkgFrameBufSize] = {};
    CMDPKG_CreateBytes(&pkg, f);
    std::string s;
    char hex[4];
    for (int i = 1; i <= f[0]; ++i) {
        std::snprintf(hex, sizeof hex, i == 1 ? "%02X" : " %02X", f[i]);
        s += hex;
    }
    return s;
}

#endif
