// Serial link figures of the Windows build, through DALU_LightKit.dll, against
// a light source on the far side of a COM port (scripts/test_windows.sh runs
// it under wine with lightsim behind COM10): round trip of a read, CPU of an
// idle open link, and the time destroy takes.
//
//   win_link_bench [PORT [REQUESTS [IDLE_SECONDS]]]   (COM10 500 5)
//
// The idle phase is framed by "idle: begin" and "idle: end" lines so that a
// script can sample other processes (wine's server) over the same window.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include <windows.h>

#include "DALU_LightKit.h"

using Clock = std::chrono::steady_clock;

namespace {

double ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

double percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, (size_t)(p * (double)v.size()))];
}

// User + kernel time of this process, in ms.
double processCpuMs() {
    FILETIME created, exited, kernel, user;
    if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user)) return 0;
    auto hundredNs = [](const FILETIME &t) { return ((unsigned long long)t.dwHighDateTime << 32) | t.dwLowDateTime; };
    return (double)(hundredNs(kernel) + hundredNs(user)) / 1e4;
}

}  // namespace

int main(int argc, char **argv) {
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    const char *port = argc > 1 ? argv[1] : "COM10";
    const int requests = argc > 2 ? std::atoi(argv[2]) : 500;
    const int idleSeconds = argc > 3 ? std::atoi(argv[3]) : 5;
    if (requests <= 0 || idleSeconds <= 0) {
        std::fprintf(stderr, "usage: win_link_bench [PORT [REQUESTS [IDLE_SECONDS]]]\n");
        return 2;
    }

    void *h = DALUSDK_CreateHandle(port);
    if (h == nullptr) return 1;
    std::vector<double> rtt;
    rtt.reserve((size_t)requests);
    int failures = 0;
    for (int i = 0; i < requests; ++i) {
        int mode = 0;
        const auto t0 = Clock::now();
        if (DALUSDK_GetWorkMode(h, &mode) != 0) ++failures;
        rtt.push_back(ms(Clock::now() - t0));
    }
    std::printf("round trip of a read over %s (%d requests, %d failed):\n", port, requests, failures);
    std::printf("  median %.3f ms, p99 %.3f ms, max %.3f ms\n", percentile(rtt, 0.5), percentile(rtt, 0.99),
                percentile(rtt, 1.0));

    // Only the receive thread works while the main thread sleeps.
    std::printf("idle: begin\n");
    const double cpu0 = processCpuMs();
    const auto w0 = Clock::now();
    Sleep((DWORD)idleSeconds * 1000);
    const double cpu = processCpuMs() - cpu0;
    const double wall = std::chrono::duration<double>(Clock::now() - w0).count();
    std::printf("idle: end\n");
    std::printf("idle open link: process used %.1f ms of CPU in %.1f s (%.2f%% of one core)\n", cpu, wall,
                100.0 * cpu / 1000.0 / wall);
    DALUSDK_DestroyHandle(h);

    std::vector<double> destroy;
    for (int i = 0; i < 20; ++i) {
        void *d = DALUSDK_CreateHandle(port);
        if (d == nullptr) return 1;
        const auto t0 = Clock::now();
        DALUSDK_DestroyHandle(d);
        destroy.push_back(ms(Clock::now() - t0));
    }
    std::printf("DALUSDK_DestroyHandle: median %.3f ms, max %.3f ms (20 handles)\n", percentile(destroy, 0.5),
                percentile(destroy, 1.0));
    return failures == 0 ? 0 : 1;
}
