// Feeds arbitrary byte streams to the receive parser and queue, interleaved
// with pops and clears, and holds every step against RefParser.
//
// Input: a sequence of operations. An operation byte below 0xC0 feeds the
// next (op % 64) + 1 input bytes to the parser; 0xC0 and above act on the
// queue: op % 4 == 0 pops one record, 1 clears, 2 drains, 3 only checks.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "cmdpkg.h"
#include "ref_parser.h"

namespace {

[[noreturn]] void fail(const char *what) {
    std::fprintf(stderr, "fuzz_cmdpkg: invariant broken: %s\n", what);
    std::abort();
}

void check(bool ok, const char *what) {
    if (!ok) fail(what);
}

void checkCount(CmdPkgCodec *codec, RefParser &ref) {
    const int n = CMDPKG_QueueCount(codec);
    check(n >= 0 && n <= kCmdPkgQueueSlots, "queue count out of 0..8");
    check(static_cast<size_t>(n) == ref.queue().size(), "queue count differs from the reference");
}

void checkRecord(const CmdPkg &got, const CmdPkg &want) {
    for (int i = got.len; i < kCmdPkgDataSize; ++i) check(got.data[i] == 0, "payload not zero beyond len");
    check(got.cmd == want.cmd, "record cmd differs from the reference (order or content)");
    check(got.len == want.len, "record len differs from the reference");
    check(std::memcmp(got.data, want.data, sizeof got.data) == 0, "record payload differs from the reference");
}

// Pops one record from both and compares; returns false when both are empty.
bool popBoth(CmdPkgCodec *codec, RefParser &ref) {
    CmdPkg got;
    std::memset(&got, 0xA5, sizeof got);
    const int rc = CMDPKG_RecvOnePackage(codec, &got);
    if (ref.queue().empty()) {
        check(rc == -1, "pop from an empty queue did not give -1");
        return false;
    }
    check(rc == 0, "pop from a non-empty queue failed");
    checkRecord(got, ref.queue().front());
    ref.queue().pop_front();
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    // The library prints its lines on stdout; at fuzzing speed they only cost time.
    const int devnull = open("/dev/null", O_WRONLY);
    if (devnull >= 0) {
        dup2(devnull, STDOUT_FILENO);
        close(devnull);
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    CmdPkgCodec *codec = CMDPKG_Create();
    check(codec != nullptr, "CMDPKG_Create failed");
    RefParser ref;

    size_t i = 0;
    while (i < size) {
        const uint8_t op = data[i++];
        if (op < 0xC0) {
            const size_t n = static_cast<size_t>(op % 64) + 1;
            for (size_t k = 0; k < n && i < size; ++k, ++i) {
                check(CMDPKG_RecvByte(codec, data[i]) == 0, "CMDPKG_RecvByte failed");
                ref.feed(data[i]);
            }
        } else {
            switch (op % 4) {
            case 0:
                popBoth(codec, ref);
                break;
            case 1:
                check(CMDPKG_RecvQueueClear(codec) == 0, "CMDPKG_RecvQueueClear failed");
                ref.queue().clear();
                break;
            case 2:
                while (popBoth(codec, ref)) {
                }
                break;
            default:
                break;
            }
        }
        checkCount(codec, ref);
    }
    while (popBoth(codec, ref)) {
    }
    checkCount(codec, ref);
    check(CMDPKG_Destroy(codec) == 0, "CMDPKG_Destroy failed");
    return 0;
}
