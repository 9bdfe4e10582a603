// The serial mode over a pseudo-terminal: the test holds the master side and
// plays the device byte by byte.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include "DALU_LightKit.h"
#include "docmd_link.h"
#include "fake_device.h"
#include "stdout_capture.h"
#include "uart.h"

namespace {

class Pty {
public:
    Pty() {
        m_master = ::posix_openpt(O_RDWR | O_NOCTTY);
        ::grantpt(m_master);
        ::unlockpt(m_master);
        m_path = ::ptsname(m_master);
        termios t;
        ::tcgetattr(m_master, &t);
        ::cfmakeraw(&t);
        ::tcsetattr(m_master, TCSANOW, &t);
    }
    ~Pty() { closeMaster(); }
    const std::string &path() const { return m_path; }
    void closeMaster() {
        if (m_master >= 0) ::close(m_master);
        m_master = -1;
    }
    void write(const Bytes &b) { ASSERT_EQ(::write(m_master, b.data(), b.size()), (ssize_t)b.size()); }
    // Reads exactly n bytes or gives up after timeoutMs.
    Bytes read(size_t n, int timeoutMs = 5000) {
        Bytes out;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (out.size() < n && std::chrono::steady_clock::now() < deadline) {
            pollfd p = {m_master, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0) continue;
            uint8_t buf[512];
            ssize_t k = ::read(m_master, buf, std::min(sizeof buf, n - out.size()));
            if (k > 0) out.insert(out.end(), buf, buf + k);
        }
        return out;
    }

private:
    int m_master = -1;
    std::string m_path;
};

long threadCpuTicks(pid_t tid) {
    std::ifstream f("/proc/self/task/" + std::to_string(tid) + "/stat");
    std::string s((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    size_t close = s.rfind(')');
    if (close == std::string::npos) return -1;
    std::istringstream rest(s.substr(close + 2));
    std::string field;
    long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && rest >> field; ++i) {
        if (i == 14) utime = std::stol(field);
        if (i == 15) stime = std::stol(field);
    }
    return utime + stime;
}

// CPU ticks (1/100 s) used by all threads of this process but the caller.
long otherThreadsTicks() {
    long total = 0;
    std::string self = std::to_string(::gettid());
    DIR *d = ::opendir("/proc/self/task");
    for (dirent *e; (e = ::readdir(d)) != nullptr;) {
        if (e->d_name[0] == '.' || self == e->d_name) continue;
        total += threadCpuTicks((pid_t)std::atoi(e->d_name));
    }
    ::closedir(d);
    return total;
}

// Runs body in a child process as a user without root's rights (nobody when
// the test runs as root) and returns the child's pid; the child's exit status
// is body's result. -1 when no such user can be had.
pid_t spawnUnprivileged(const std::function<int()> &body) {
    const uid_t nobody = 65534;
    if (::geteuid() == 0) {
        // Find out in a throw-away child whether dropping to nobody works here.
        pid_t probe = ::fork();
        if (probe == 0) {
            const bool dropped =
                ::setgroups(0, nullptr) == 0 && ::setresgid(nobody, nobody, nobody) == 0 &&
                ::setresuid(nobody, nobody, nobody) == 0;
            ::_exit(dropped ? 0 : 1);
        }
        int status = 0;
        if (probe < 0 || ::waitpid(probe, &status, 0) != probe || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
            return -1;
    }
    pid_t pid = ::fork();
    if (pid != 0) return pid;
    if (::geteuid() == 0) {
        if (::setgroups(0, nullptr) != 0 || ::setresgid(nobody, nobody, nobody) != 0 ||
            ::setresuid(nobody, nobody, nobody) != 0)
            ::_exit(100);
    }
    ::_exit(body());
}

int exitStatusOf(pid_t pid) {
    int status = 0;
    if (::waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace

TEST(SerialPort, EveryByteValuePassesUnchangedBothWays) {
    Pty pty;
    UartPort *port = UART_Open(pty.path().c_str());
    ASSERT_NE(port, nullptr);
    Bytes all(256);
    for (int i = 0; i < 256; ++i) all[i] = (uint8_t)i;
    ASSERT_EQ(UART_SendBytes(port, all.data(), (int)all.size(), nullptr), 0);
    EXPECT_EQ(pty.read(256), all);

    pty.write(all);
    Bytes got;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (got.size() < 256 && std::chrono::steady_clock::now() < deadline) {
        uint8_t buf[64];
        uint32_t n = 0;
        ASSERT_EQ(UART_RecvBytes(port, buf, sizeof buf, &n), 0);
        got.insert(got.end(), buf, buf + n);
    }
    EXPECT_EQ(got, all);
    EXPECT_EQ(UART_Close(port), 0);
}

TEST(SerialPort, OpenFailuresNameTheStepAndTheError) {
    Pty pty;
    struct Case {
        std::string name;
        std::string line;
    } cases[] = {
        {"ttyDOES_NOT_EXIST", "[error] <UART_Open:N> CreateFile (\"/dev/ttyDOES_NOT_EXIST\") failed with error 2."},
        {"/nonexistent/port", "[error] <UART_Open:N> CreateFile (\"/nonexistent/port\") failed with error 2."},
        {"/dev/null", "[error] <UART_Open:N> GetCommState failed with error 25."},
    };
    for (const Case &c : cases) {
        StdoutCapture capture;
        EXPECT_EQ(DALUSDK_CreateHandle(c.name.c_str()), nullptr) << c.name;
        auto lines = capture.lines();
        ASSERT_EQ(lines.size(), 2u) << c.name;
        EXPECT_EQ(withoutLineNumber(lines[0]), c.line);
        EXPECT_EQ(withoutLineNumber(lines[1]), "[error] <DOCMD_Create:N> UART_Open failed!");
    }
}

TEST(SerialPort, LongNamesAreCutToTheBufferAndNeverOverrun) {
    std::string name(600, 'x');
    StdoutCapture capture;
    EXPECT_EQ(DALUSDK_CreateHandle(name.c_str()), nullptr);
    auto lines = capture.lines();
    ASSERT_FALSE(lines.empty());
    EXPECT_NE(lines[0].find("\"/dev/" + std::string(121, 'x') + "\""), std::string::npos) << lines[0];
}

TEST(SerialPort, SecondOpenOfTheSamePortIsRefused) {
    Pty pty;
    void *first = DALUSDK_CreateHandle(pty.path().c_str());
    ASSERT_NE(first, nullptr);
    StdoutCapture capture;
    EXPECT_EQ(DALUSDK_CreateHandle(pty.path().c_str()), nullptr);
    auto lines = capture.lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(withoutLineNumber(lines[0]), "[error] <UART_Open:N> CreateFile (\"" + pty.path() + "\") failed with error 11.");
    EXPECT_EQ(DALUSDK_DestroyHandle(first), 0);
    // Released with the handle: the port opens again.
    void *again = DALUSDK_CreateHandle(pty.path().c_str());
    EXPECT_NE(again, nullptr);
    DALUSDK_DestroyHandle(again);
}

// A program killed while it holds the port must not leave it locked: the
// device end of the line (here the test's pty master) outlives it.
TEST(SerialPort, PortOpensAgainAfterItsHolderWasKilled) {
    Pty pty;
    ASSERT_EQ(::chmod(pty.path().c_str(), 0666), 0);
    const std::string path = pty.path();
    auto opensAndCloses = [path] {
        void *h = DALUSDK_CreateHandle(path.c_str());
        if (h == nullptr) return 1;
        return DALUSDK_DestroyHandle(h) == 0 ? 0 : 2;
    };

    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t holder = spawnUnprivileged([&] {
        ::close(ready[0]);
        void *h = DALUSDK_CreateHandle(path.c_str());
        const char byte = h != nullptr ? 'y' : 'n';
        if (::write(ready[1], &byte, 1) != 1) return 3;
        for (;;) ::pause();
    });
    ::close(ready[1]);
    if (holder < 0) {
        ::close(ready[0]);
        GTEST_SKIP() << "cannot run a process as a non-root user here (setresuid to 65534 refused)";
    }
    char byte = 0;
    ASSERT_EQ(::read(ready[0], &byte, 1), 1);
    ::close(ready[0]);
    EXPECT_EQ(byte, 'y') << "the holder could not open the port";

    // While the holder lives, the port is refused to others.
    pid_t second = spawnUnprivileged(opensAndCloses);
    ASSERT_GT(second, 0);
    EXPECT_EQ(exitStatusOf(second), 1);

    ASSERT_EQ(::kill(holder, SIGKILL), 0);
    EXPECT_EQ(exitStatusOf(holder), 128 + SIGKILL);

    pid_t after = spawnUnprivileged(opensAndCloses);
    ASSERT_GT(after, 0);
    EXPECT_EQ(exitStatusOf(after), 0) << "the port stayed locked after its holder was killed";
}

TEST(SerialPort, RequestRoundTripsThroughTheReceiveThread) {
    Pty pty;
    void *h = DALUSDK_CreateHandle(pty.path().c_str());
    ASSERT_NE(h, nullptr);
    std::thread device([&] {
        Bytes req = pty.read(8);
        EXPECT_EQ(req, frameOf(0x9000, {0x01}));
        // Noise first, then the answer split in two writes.
        pty.write({0x00, 0x55, 0x13, 0x11, 0xFA});
        Bytes reply = frameOf(0x9000, {0x01, 0x0A, 0x8C, 0x00});
        pty.write(Bytes(reply.begin(), reply.begin() + 3));
        pty.write(Bytes(reply.begin() + 3, reply.end()));
    });
    float temp = 0;
    unsigned char status = 9;
    EXPECT_EQ(DALUSDK_GetLedTempStatus(h, 1, &temp, &status), 0);
    device.join();
    EXPECT_FLOAT_EQ(temp, 27.0f);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(DALUSDK_SetLedBrightness(h, 1, 55), 0);
    EXPECT_EQ(pty.read(10), frameOf(0x0102, {0x01, 0x00, 55}));
    EXPECT_EQ(DALUSDK_DestroyHandle(h), 0);
}

TEST(SerialPort, FarEndVanishingNeitherSpinsNorBlocksDestroy) {
    Pty pty;
    void *h = DALUSDK_CreateHandle(pty.path().c_str());
    ASSERT_NE(h, nullptr);
    pty.closeMaster();  // unplugged
    long before = otherThreadsTicks();
    unsigned int model = 0;
    StdoutCapture capture;
    // The write fails now, so the request ends at once with the WriteFile line.
    EXPECT_EQ(DALUSDK_GetDeviceModel(h, &model), -1);
    EXPECT_NE(capture.text().find("WriteFile failed with error 5."), std::string::npos);
    // Meanwhile the reader keeps failing; measure what it burns over half a
    // second (a spinning reader would take ~50 ticks of 10 ms).
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    long used = otherThreadsTicks() - before;
    EXPECT_LT(used, 20) << "receive thread CPU ticks while the port was dead";
    EXPECT_EQ(DALUSDK_DestroyHandle(h), 0);
}
