// Feeds arbitrary byte streams to the receive parser and queue, interleaved
// with pops and clears, and holds every step against RefParser.
//
// Input: a sequence of operations. An operation byte below 0xC0 feeds the
// next (op % 64) + 1 input bytes to the parser; 0xC0 and above act on the
// queue: op % 4 == 0 pops one record, 1 clears, 2 drains, and 3 encodes a
// record (cmd high, cmd low, len, payload from the input) with
// CMDPKG_CreateBytes, checks the frame byte for byte and feeds it back.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "cmdpkg.h"
#include "fuzz_quiet.h"
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

// Encodes a record taken from the input, checks the bytes against the frame
// layout, and feeds the frame to both parsers.
size_t encodeAndFeed(const uint8_t *data, size_t size, CmdPkgCodec *codec, RefParser &ref) {
    CmdPkg pkg;
    std::memset(&pkg, 0, sizeof pkg);
    size_t used = 0;
    uint8_t head[3] = {0, 0, 0};
    for (; used < 3 && used < size; ++used) head[used] = data[used];
    pkg.cmd = static_cast<uint16_t>(head[0] << 8 | head[1]);
    pkg.len = head[2];
    const size_t room = pkg.len < kCmdPkgDataSize ? pkg.len : kCmdPkgDataSize;
    for (size_t k = 0; k < room && used < size; ++k, ++used) pkg.data[k] = data[used];

    uint8_t out[kCmdPkgFrameBufSize];
    std::memset(out, 0xEE, sizeof out);
    const int rc = CMDPKG_CreateBytes(&pkg, out);
    if (pkg.len > kCmdPkgMaxEncodeLen) {
        check(rc == -1, "a record too long for the buffer was encoded");
        for (uint8_t b : out) check(b == 0xEE, "a refused record touched the buffer");
        return used;
    }
    check(rc == 0, "CMDPKG_CreateBytes failed");
    const int n = pkg.len + 7;
    check(out[0] == n, "frame length byte");
    uint8_t sum = static_cast<uint8_t>(head[0] + head[1] + pkg.len);
    for (int k = 0; k < pkg.len; ++k) sum = static_cast<uint8_t>(sum + pkg.data[k]);
    check(out[1] == 0x55 && out[2] == 0xAA && out[3] == head[0] && out[4] == head[1] && out[5] == pkg.len,
          "frame head");
    check(std::memcmp(out + 6, pkg.data, pkg.len) == 0, "frame payload");
    check(out[6 + pkg.len] == sum && out[7 + pkg.len] == 0xFA, "frame checksum and end");
    for (int k = n + 1; k < kCmdPkgFrameBufSize; ++k) check(out[k] == 0xEE, "encoder wrote past the frame");
    for (int k = 1; k <= n; ++k) {
        CMDPKG_RecvByte(codec, out[k]);
        ref.feed(out[k]);
    }
    return used;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    silenceStdout();
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
                i += encodeAndFeed(data + i, size - i, codec, ref);
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
