// lightd's figures, in one run over the same pseudo-terminal served by the
// virtual light source:
//   1. a settings read straight through the library vs the same setting
//      queried through lightd (SOUR1:POW?) over loopback: median and p99;
//   2. 32 clients asking for temperatures as fast as they can for 10 s:
//      total queries per second, p99, errors, and the device reads per second
//      (one poll reads four temperatures, whatever the number of clients);
//   3. lightd's resident memory before and after 100,000 queries.
//
//   lightd_bench [--seconds 10] [--clients 32] [--queries 100000]
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "DALU_LightKit.h"
#include "VirtualLightSource.h"
#include "daemon_test_util.h"

namespace {

using Clock = std::chrono::steady_clock;
using lightd_test::Child;
using lightd_test::LineClient;

struct Figures {
    double medianUs = 0;
    double p99Us = 0;
};

Figures summarize(std::vector<double> us) {
    Figures f;
    if (us.empty()) return f;
    std::sort(us.begin(), us.end());
    f.medianUs = us[us.size() / 2];
    f.p99Us = us[std::min(us.size() - 1, us.size() * 99 / 100)];
    return f;
}

double microsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

long residentKiB(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
    }
    return -1;
}

void quietLibrary(const char *, void *) {}

int argument(int argc, char **argv, const char *name, int fallback) {
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], name) == 0) return std::atoi(argv[i + 1]);
    }
    return fallback;
}

}  // namespace

int main(int argc, char **argv) {
    const int seconds = argument(argc, argv, "--seconds", 10);
    const int clients = argument(argc, argv, "--clients", 32);
    const int queries = argument(argc, argv, "--queries", 100000);
    const int samples = 5000;
    DALUSDK_SetLogHandler(quietLibrary, nullptr);

    SimOptions options;
    options.fixedTemps = true;
    VirtualLightSource sim(options);
    if (!sim.start()) {
        std::fprintf(stderr, "lightd_bench: %s\n", sim.errorText().c_str());
        return 1;
    }
    const std::string port = sim.portPath();
    std::printf("lightd_bench: virtual light source on %s\n", port.c_str());

    // 1a. The library itself, before lightd takes the port.
    {
        void *handle = DALUSDK_CreateHandle(port.c_str());
        if (handle == nullptr) return 1;
        std::vector<double> us;
        unsigned short value = 0;
        for (int i = 0; i < samples; ++i) {
            const auto t0 = Clock::now();
            if (DALUSDK_GetLedBrightness(handle, 0, &value) != 0) return 1;
            us.push_back(microsSince(t0));
        }
        DALUSDK_DestroyHandle(handle);
        const Figures f = summarize(us);
        std::printf("direct library read (GetLedBrightness, %d reads): median %.1f us, p99 %.1f us\n", samples,
                    f.medianUs, f.p99Us);
    }

    Child lightd({LIGHTD_PROGRAM, "--device", port, "--scpi-port", "0", "--http-port", "0", "--poll-ms", "1000",
                  "--no-announce", "--max-clients", std::to_string(clients + 4)});
    std::smatch m;
    const std::string first = lightd.line();
    if (!std::regex_match(first, m, std::regex("lightd: SCPI on \\S+ port (\\d+), .*"))) {
        std::fprintf(stderr, "lightd_bench: lightd said: %s\n", first.c_str());
        return 1;
    }
    const auto tcpPort = static_cast<uint16_t>(std::stoi(m[1].str()));
    lightd.line();  // "lightd: HTTP on ..."
    const std::string second = lightd.line();
    if (second.find(" connected (") == std::string::npos) {
        std::fprintf(stderr, "lightd_bench: lightd said: %s\n", second.c_str());
        return 1;
    }

    // 1b. The same setting through lightd: answered from its copy.
    {
        LineClient client(tcpPort);
        std::vector<double> us;
        for (int i = 0; i < samples + 500; ++i) {
            const auto t0 = Clock::now();
            if (client.query("SOUR1:POW?") != "0") return 1;
            if (i >= 500) us.push_back(microsSince(t0));  // the first ones warm up
        }
        const Figures f = summarize(us);
        std::printf("cached query through lightd (SOUR1:POW?, %d queries): median %.1f us, p99 %.1f us\n", samples,
                    f.medianUs, f.p99Us);
    }

    // 2. Many clients asking for temperatures.
    {
        std::atomic<bool> go{false};
        std::atomic<bool> stop{false};
        std::vector<std::vector<double>> perClient(static_cast<size_t>(clients));
        std::vector<uint64_t> errors(static_cast<size_t>(clients), 0);
        std::vector<std::thread> threads;
        for (int c = 0; c < clients; ++c) {
            threads.emplace_back([&, c] {
                LineClient client(tcpPort);
                auto &us = perClient[static_cast<size_t>(c)];
                us.reserve(200000);
                while (!go.load()) std::this_thread::yield();
                const std::string query = "SOUR" + std::to_string(c % 4 + 1) + ":TEMP?";
                while (!stop.load()) {
                    const auto t0 = Clock::now();
                    if (client.query(query, 2000) != "25.00") ++errors[static_cast<size_t>(c)];
                    us.push_back(microsSince(t0));
                }
            });
        }
        const uint64_t readsBefore = sim.requestsHandled();
        const auto t0 = Clock::now();
        go.store(true);
        std::this_thread::sleep_for(std::chrono::seconds(seconds));
        stop.store(true);
        for (auto &t : threads) t.join();
        const double elapsed = std::chrono::duration<double>(Clock::now() - t0).count();
        const uint64_t reads = sim.requestsHandled() - readsBefore;
        std::vector<double> all;
        uint64_t errorCount = 0;
        for (int c = 0; c < clients; ++c) {
            all.insert(all.end(), perClient[static_cast<size_t>(c)].begin(), perClient[static_cast<size_t>(c)].end());
            errorCount += errors[static_cast<size_t>(c)];
        }
        const Figures f = summarize(all);
        std::printf("%d clients for %.1f s (SOURn:TEMP?): %zu queries, %.0f queries/s, median %.1f us, p99 %.1f us, "
                    "%llu errors\n",
                    clients, elapsed, all.size(), static_cast<double>(all.size()) / elapsed, f.medianUs, f.p99Us,
                    static_cast<unsigned long long>(errorCount));
        std::printf("device reads during that time: %llu, %.1f per second (poll every 1000 ms, four reads each)\n",
                    static_cast<unsigned long long>(reads), static_cast<double>(reads) / elapsed);
    }

    // 3. Memory over many queries.
    {
        const long before = residentKiB(lightd.pid());
        LineClient client(tcpPort);
        uint64_t errors = 0;
        for (int i = 0; i < queries; ++i) {
            if (client.query(i % 2 ? "SOUR2:TEMP?;TEMP:ALAR?" : "SOUR1:POW?;:OUTP?;SYST:ERR?").empty()) ++errors;
        }
        const long after = residentKiB(lightd.pid());
        std::printf("lightd resident memory: %ld KiB before, %ld KiB after %d queries (%+ld KiB), %llu errors\n",
                    before, after, queries, after - before, static_cast<unsigned long long>(errors));
    }

    const int status = lightd.finish(SIGTERM);
    std::printf("lightd stopped with status %d\n", status);
    return status == 0 ? 0 : 1;
}
