// Captures what the code under test prints on standard output, so that tests
// can assert exact log lines. Shared by every test folder, Windows included.
#ifndef LIGHTKIT_TESTS_SUPPORT_STDOUT_CAPTURE_H
#define LIGHTKIT_TESTS_SUPPORT_STDOUT_CAPTURE_H

#include <cstdio>
#include <regex>
#include <string>
#include <vector>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

// Points descriptor 1 at a temporary file while it lives (the library prints
// through the C runtime's stdout, so the stream alone would not do). text()
// and lines() read what was printed so far and leave the capture running.
// When the capture ends, everything it caught is written to the real output,
// so an assertion that failed meanwhile still shows.
class StdoutCapture {
public:
    StdoutCapture() {
        std::fflush(stdout);
        m_file = std::tmpfile();
        if (m_file == nullptr) return;
        m_fd = fileNo(m_file);
        m_saved = dupFd(1);
        if (m_saved >= 0) dup2Fd(m_fd, 1);
    }
    ~StdoutCapture() { restore(); }
    StdoutCapture(const StdoutCapture &) = delete;
    StdoutCapture &operator=(const StdoutCapture &) = delete;

    // Everything printed since the capture began.
    std::string text() const {
        std::fflush(stdout);
        if (m_file == nullptr) return m_kept;
        return readAll();
    }

    // text() cut at each "\n"; a last line without one is kept.
    std::vector<std::string> lines() const {
        std::vector<std::string> out;
        const std::string all = text();
        size_t start = 0;
        for (size_t nl; (nl = all.find('\n', start)) != std::string::npos; start = nl + 1)
            out.push_back(all.substr(start, nl - start));
        if (start < all.size()) out.push_back(all.substr(start));
        return out;
    }

    // Ends the capture early; text() then keeps returning what was caught.
    void restore() {
        if (m_file == nullptr) return;
        std::fflush(stdout);
        m_kept = readAll();
        if (m_saved >= 0) {
            dup2Fd(m_saved, 1);
            closeFd(m_saved);
            m_saved = -1;
        }
        std::fclose(m_file);
        m_file = nullptr;
        m_fd = -1;
        std::fwrite(m_kept.data(), 1, m_kept.size(), stdout);
        std::fflush(stdout);
    }

private:
#ifdef _WIN32
    static int fileNo(std::FILE *f) { return _fileno(f); }
    static int dupFd(int fd) { return _dup(fd); }
    static int dup2Fd(int from, int to) { return _dup2(from, to); }
    static int closeFd(int fd) { return _close(fd); }

    // Descriptor 1 shares the file position, so it is put back at the end.
    // The runtime writes "\n" as "\r\n" in text mode; tests compare on "\n".
    std::string readAll() const {
        std::string out;
        if (_lseek(m_fd, 0, SEEK_SET) < 0) return out;
        char buf[4096];
        for (int n; (n = _read(m_fd, buf, sizeof buf)) > 0;) {
            for (int i = 0; i < n; ++i)
                if (buf[i] != '\r') out += buf[i];
        }
        _lseek(m_fd, 0, SEEK_END);
        return out;
    }
#else
    static int fileNo(std::FILE *f) { return ::fileno(f); }
    static int dupFd(int fd) { return ::dup(fd); }
    static int dup2Fd(int from, int to) { return ::dup2(from, to); }
    static int closeFd(int fd) { return ::close(fd); }

    // pread leaves the file position alone, so other threads may go on
    // printing while this reads.
    std::string readAll() const {
        std::string out;
        char buf[4096];
        off_t at = 0;
        for (ssize_t n; (n = ::pread(m_fd, buf, sizeof buf, at)) > 0; at += n)
            out.append(buf, static_cast<size_t>(n));
        return out;
    }
#endif

    std::FILE *m_file = nullptr;
    int m_fd = -1;
    int m_saved = -1;
    std::string m_kept;
};

// "[error] <UART_Open:57> ..." becomes "[error] <UART_Open:N> ...": the ":"
// inside the first "<...>" up to its ">" is replaced, so tests need not track
// the library's source line numbers. Other lines come back unchanged.
inline std::string withoutLineNumber(const std::string &line) {
    const size_t lt = line.find('<');
    if (lt == std::string::npos) return line;
    const size_t gt = line.find('>', lt);
    const size_t colon = line.find(':', lt);
    if (gt == std::string::npos || colon == std::string::npos || colon > gt) return line;
    return line.substr(0, colon + 1) + "N" + line.substr(gt);
}

inline std::vector<std::string> withoutLineNumber(const std::vector<std::string> &lines) {
    std::vector<std::string> out;
    out.reserve(lines.size());
    for (const std::string &line : lines) out.push_back(withoutLineNumber(line));
    return out;
}

// The same for every "<func:123>" in a whole text, several lines included.
inline std::string withoutLineNumbers(const std::string &text) {
    static const std::regex lineNo(R"(<([A-Za-z0-9_]+):\d+>)");
    return std::regex_replace(text, lineNo, "<$1:N>");
}

#endif
