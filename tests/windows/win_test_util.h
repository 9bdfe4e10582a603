// Helpers of the Windows serial tests: standard output capture, the ports the
// test command prepared, and a deadline loop.
#ifndef LIGHTKIT_TESTS_WIN_TEST_UTIL_H
#define LIGHTKIT_TESTS_WIN_TEST_UTIL_H

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <fcntl.h>
#include <io.h>
#include <windows.h>

// Captures what the library prints on standard output while it is in scope.
// The library prints through the C runtime's stdout, so descriptor 1 is
// pointed at a temporary file and back.
class StdoutCapture {
public:
    StdoutCapture() {
        std::fflush(stdout);
        m_file = std::tmpfile();
        if (m_file == nullptr) return;
        m_saved = _dup(1);
        _dup2(_fileno(m_file), 1);
    }
    ~StdoutCapture() { finish(); }

    // Everything printed so far; ends the capture.
    std::string text() {
        finish();
        return m_text;
    }
    std::vector<std::string> lines() {
        std::vector<std::string> out;
        const std::string all = text();
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
        _dup2(m_saved, 1);
        _close(m_saved);
        m_saved = -1;
        std::rewind(m_file);
        char buf[4096];
        for (size_t n; (n = std::fread(buf, 1, sizeof buf, m_file)) > 0;) m_text.append(buf, n);
        std::fclose(m_file);
        m_file = nullptr;
        // The runtime may write "\r\n" in text mode; compare on "\n" only.
        std::string plain;
        for (char c : m_text)
            if (c != '\r') plain += c;
        m_text = plain;
    }

    FILE *m_file = nullptr;
    int m_saved = -1;
    std::string m_text;
};

// "[error] <UART_Open:57> ..." -> "[error] <UART_Open:N> ...", so tests need
// not track the library's source line numbers.
inline std::string withoutLineNumber(const std::string &line) {
    const size_t lt = line.find('<');
    const size_t colon = line.find(':', lt == std::string::npos ? 0 : lt);
    const size_t gt = line.find('>', colon == std::string::npos ? 0 : colon);
    if (lt == std::string::npos || colon == std::string::npos || gt == std::string::npos || colon > gt) return line;
    return line.substr(0, colon + 1) + "N" + line.substr(gt);
}

// A port name the test command put in the environment, or "" when unset.
inline std::string portFromEnvironment(const char *variable) {
    const char *value = std::getenv(variable);
    return value == nullptr ? std::string() : std::string(value);
}

// True under wine, whose serial devices differ from Windows' in a few
// documented ways (no exclusive open).
inline bool runningUnderWine() {
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

// Polls `done` until it holds or the deadline passes; returns its last value.
template <typename Pred>
bool waitUntil(Pred done, int timeoutMs = 5000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        Sleep(1);
    }
    return true;
}

#endif
