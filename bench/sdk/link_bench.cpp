// Serial link figures over a pseudo-terminal whose far end answers at once:
// round trip of a read, CPU of an idle open link, and the time destroy takes.
// A pseudo-terminal has no baud rate, so this is the library's own overhead.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <string>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include "DALU_LightKit.h"
#include "cmdpkg.h"

using Clock = std::chrono::steady_clock;

namespace {

double ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

double percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, (size_t)(p * (double)v.size()))];
}

// CPU time (ns) of every thread of the process except the listed ones.
double cpuNanosExcept(std::initializer_list<pid_t> skip) {
    double total = 0;
    DIR *dir = opendir("/proc/self/task");
    for (dirent *e; (e = readdir(dir)) != nullptr;) {
        if (e->d_name[0] == '.') continue;
        pid_t tid = (pid_t)std::atoi(e->d_name);
        if (std::find(skip.begin(), skip.end(), tid) != skip.end()) continue;
        std::string path = std::string("/proc/self/task/") + e->d_name + "/schedstat";
        if (FILE *f = std::fopen(path.c_str(), "r")) {
            unsigned long long ns = 0;
            if (std::fscanf(f, "%llu", &ns) == 1) total += (double)ns;
            std::fclose(f);
        }
    }
    closedir(dir);
    return total;
}

// Answers every read with a one-byte payload under the request's code.
struct Peer {
    int master = -1;
    std::atomic<bool> stop{false};
    std::atomic<pid_t> tid{0};
    std::thread thread;

    Peer() {
        master = posix_openpt(O_RDWR | O_NOCTTY);
        grantpt(master);
        unlockpt(master);
        termios t;
        tcgetattr(master, &t);
        cfmakeraw(&t);
        tcsetattr(master, TCSANOW, &t);
        thread = std::thread([this] { run(); });
    }
    ~Peer() {
        stop = true;
        thread.join();
        close(master);
    }
    const char *path() const { return ptsname(master); }

    void run() {
        tid = gettid();
        CmdPkgCodec *codec = CMDPKG_Create();
        uint8_t buf[256];
        while (!stop) {
            pollfd p = {master, POLLIN, 0};
            if (poll(&p, 1, 20) <= 0) continue;
            ssize_t n = read(master, buf, sizeof buf);
            for (ssize_t i = 0; i < n; ++i) CMDPKG_RecvByte(codec, buf[i]);
            CmdPkg req;
            while (CMDPKG_RecvOnePackage(codec, &req) == 0) {
                if (!(req.cmd & 0x8000)) continue;
                CmdPkg reply = {};
                reply.cmd = req.cmd;
                reply.len = 1;
                reply.data[0] = 1;
                uint8_t frame[kCmdPkgFrameBufSize] = {};
                CMDPKG_CreateBytes(&reply, frame);
                if (write(master, frame + 1, frame[0]) < 0) break;
            }
        }
        CMDPKG_Destroy(codec);
    }
};

}  // namespace

int main(int argc, char **argv) {
    const int requests = argc > 1 ? std::atoi(argv[1]) : 2000;
    const int idleSeconds = argc > 2 ? std::atoi(argv[2]) : 5;
    Peer peer;

    void *h = DALUSDK_CreateHandle(peer.path());
    if (h == nullptr) return 1;
    std::vector<double> rtt;
    rtt.reserve((size_t)requests);
    int failures = 0;
    for (int i = 0; i < requests; ++i) {
        int mode = 0;
        auto t0 = Clock::now();
        if (DALUSDK_GetWorkMode(h, &mode) != 0) ++failures;
        rtt.push_back(ms(Clock::now() - t0));
    }
    std::printf("round trip of a read over a pseudo-terminal (%d requests, %d failed):\n", requests, failures);
    std::printf("  median %.3f ms, p99 %.3f ms, max %.3f ms\n", percentile(rtt, 0.5), percentile(rtt, 0.99),
                percentile(rtt, 1.0));

    // Only the library's receive thread is left once the test's own
    // threads (this one and the peer) are excluded.
    const pid_t self = gettid();
    double cpu0 = cpuNanosExcept({self, peer.tid.load()});
    auto w0 = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(idleSeconds));
    double cpuNs = cpuNanosExcept({self, peer.tid.load()}) - cpu0;
    double wall = std::chrono::duration<double>(Clock::now() - w0).count();
    std::printf("idle open link: receive thread used %.3f ms of CPU in %.1f s (%.5f%% of one core)\n", cpuNs / 1e6, wall,
                100.0 * cpuNs / 1e9 / wall);
    DALUSDK_DestroyHandle(h);

    std::vector<double> destroy;
    for (int i = 0; i < 50; ++i) {
        void *d = DALUSDK_CreateHandle(peer.path());
        if (d == nullptr) return 1;
        auto t0 = Clock::now();
        DALUSDK_DestroyHandle(d);
        destroy.push_back(ms(Clock::now() - t0));
    }
    std::printf("DALUSDK_DestroyHandle: median %.3f ms, max %.3f ms (50 handles)\n", percentile(destroy, 0.5),
                percentile(destroy, 1.0));
    return failures == 0 ? 0 : 1;
}
