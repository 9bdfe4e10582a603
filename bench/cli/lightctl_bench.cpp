// Times whole `lightctl --port PTY info` processes (start, open, two reads,
// close, exit) against the virtual light source in this process, and, for
// comparison, the same open, two reads and close done by the library in
// this process. Prints median, p90, min and max.
//
//   lightctl_bench [RUNS] [LIGHTCTL]      (defaults: 50, the built lightctl)
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "DALU_LightKit.h"
#include "VirtualLightSource.h"

extern char **environ;

namespace {

using Clock = std::chrono::steady_clock;

// One lightctl process with its output sent to /dev/null; its exit code.
int runOnce(const std::string &program, const std::string &port) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    std::vector<std::string> args = {program, "--port", port, "info"};
    std::vector<char *> argv;
    for (auto &a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    pid_t pid = -1;
    int status = 0;
    const bool spawned = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ) == 0;
    posix_spawn_file_actions_destroy(&actions);
    if (!spawned || waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

// What `lightctl info` asks of the device, without the process around it.
int inProcessOnce(const std::string &port) {
    void *h = DALUSDK_CreateHandle(port.c_str());
    if (h == nullptr) return -1;
    unsigned int model = 0, version = 0;
    const int ret = DALUSDK_GetDeviceModel(h, &model) | DALUSDK_GetDeviceSofewareVersion(h, &version);
    DALUSDK_DestroyHandle(h);
    return ret;
}

// Milliseconds per run; empty if any run failed.
std::vector<double> timeRuns(int runs, const std::function<int()> &once) {
    std::vector<double> ms;
    for (int i = 0; i < runs; ++i) {
        const auto start = Clock::now();
        if (once() != 0) return {};
        ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    }
    return ms;
}

void report(const char *what, std::vector<double> ms) {
    if (ms.empty()) {
        std::printf("%-34s failed\n", what);
        return;
    }
    std::sort(ms.begin(), ms.end());
    const auto at = [&](double q) { return ms[std::min(ms.size() - 1, static_cast<size_t>(q * (ms.size() - 1) + 0.5))]; };
    std::printf("%-34s median %6.2f ms   p90 %6.2f ms   min %6.2f ms   max %6.2f ms   (%zu runs)\n", what, at(0.5),
                at(0.9), ms.front(), ms.back(), ms.size());
}

}  // namespace

int main(int argc, char **argv) {
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 50;
    const std::string program = argc > 2 ? argv[2] : LIGHTCTL_PROGRAM;
    DALUSDK_SetLogHandler([](const char *, void *) {}, nullptr);

    VirtualLightSource sim;
    if (!sim.start()) {
        std::fprintf(stderr, "lightctl_bench: %s\n", sim.errorText().c_str());
        return 1;
    }
    const std::string port = sim.portPath();
    // The first run pays for loading the program and the library from disk.
    if (runOnce(program, port) != 0) {
        std::fprintf(stderr, "lightctl_bench: %s --port %s info failed\n", program.c_str(), port.c_str());
        return 1;
    }
    std::printf("lightctl info against the virtual light source (%s), goal: under 20 ms per process\n",
                port.c_str());
    std::vector<double> process = timeRuns(runs, [&] { return runOnce(program, port); });
    std::vector<double> inProcess = timeRuns(runs, [&] { return inProcessOnce(port); });
    report("whole lightctl info process:", process);
    report("open, two reads, close in process:", inProcess);
    return process.empty() || inProcess.empty() ? 1 : 0;
}
