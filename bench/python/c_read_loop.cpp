// The C side of the Python read benchmark: opens the port, reads one
// channel's brightness N times and prints one line per call's duration in
// nanoseconds, so read_roundtrip.py can put C and Python figures side by side
// over the same pseudo-terminal.
//   c_read_loop PORT COUNT
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "DALU_LightKit.h"

int main(int argc, char **argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: c_read_loop PORT COUNT\n");
        return 2;
    }
    const int count = std::atoi(argv[2]);
    void *handle = DALUSDK_CreateHandle(argv[1]);
    if (handle == nullptr) return 1;

    using Clock = std::chrono::steady_clock;
    std::vector<long long> nanos;
    nanos.reserve(count > 0 ? (size_t)count : 0);
    int failed = 0;
    for (int i = 0; i < count; ++i) {
        unsigned short value = 0;
        const auto start = Clock::now();
        const int rc = DALUSDK_GetLedBrightness(handle, 0, &value);
        const auto took = Clock::now() - start;
        if (rc != 0) ++failed;
        nanos.push_back(std::chrono::duration_cast<std::chrono::nanoseconds>(took).count());
    }
    DALUSDK_DestroyHandle(handle);
    for (long long n : nanos) std::printf("%lld\n", n);
    return failed == 0 ? 0 : 1;
}
