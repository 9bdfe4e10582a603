#include "cmdpkg.h"

#include <gtest/gtest.h>

#include <cstring>
#include <thread>
#include <vector>

#include "stdout_capture.h"

namespace {

using Bytes = std::vector<uint8_t>;

CmdPkg record(uint16_t cmd, Bytes payload) {
    CmdPkg pkg;
    std::memset(&pkg, 0, sizeof pkg);
    pkg.cmd = cmd;
    pkg.len = (uint8_t)payload.size();
    std::copy(payload.begin(), payload.end(), pkg.data);
    return pkg;
}

Bytes encode(const CmdPkg &pkg) {
    uint8_t out[kCmdPkgFrameBufSize] = {};
    EXPECT_EQ(CMDPKG_CreateBytes(&pkg, out), 0);
    return Bytes(out + 1, out + 1 + out[0]);
}

struct Codec {
    CmdPkgCodec *c = CMDPKG_Create();
    ~Codec() { CMDPKG_Destroy(c); }
    void feed(const Bytes &bytes) {
        for (uint8_t b : bytes) ASSERT_EQ(CMDPKG_RecvByte(c, b), 0);
    }
    std::vector<CmdPkg> drain() {
        std::vector<CmdPkg> out;
        CmdPkg pkg;
        while (CMDPKG_RecvOnePackage(c, &pkg) == 0) out.push_back(pkg);
        return out;
    }
};

Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes &p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

bool payloadZeroBeyondLen(const CmdPkg &pkg) {
    for (int i = pkg.len; i < kCmdPkgDataSize; ++i)
        if (pkg.data[i] != 0) return false;
    return true;
}

}  // namespace

TEST(CmdPkgEncode, WorkedExamplesAreByteExact) {
    struct Case {
        uint16_t cmd;
        Bytes payload;
        Bytes frame;
    } cases[] = {
        {0x0102, {0x00, 0x00, 0x64}, {0x55, 0xAA, 0x01, 0x02, 0x03, 0x00, 0x00, 0x64, 0x6A, 0xFA}},
        {0x0001, {0x02}, {0x55, 0xAA, 0x00, 0x01, 0x01, 0x02, 0x04, 0xFA}},
        {0x0001, {}, {0x55, 0xAA, 0x00, 0x01, 0x00, 0x01, 0xFA}},
        {0x0102, {0x03, 0xFF, 0xFF}, {0x55, 0xAA, 0x01, 0x02, 0x03, 0x03, 0xFF, 0xFF, 0x07, 0xFA}},
        // 0x55, 0xAA and 0xFA travel unescaped inside a frame.
        {0xFA55, {0xAA, 0xFA}, {0x55, 0xAA, 0xFA, 0x55, 0x02, 0xAA, 0xFA, 0xF5, 0xFA}},
    };
    for (const Case &c : cases) {
        uint8_t out[kCmdPkgFrameBufSize] = {};
        CmdPkg pkg = record(c.cmd, c.payload);
        ASSERT_EQ(CMDPKG_CreateBytes(&pkg, out), 0);
        EXPECT_EQ(out[0], c.frame.size());
        EXPECT_EQ(Bytes(out + 1, out + 1 + out[0]), c.frame) << std::hex << c.cmd;
    }
}

TEST(CmdPkgEncode, RefusesNullArgumentsAndOversizedPayload) {
    uint8_t out[kCmdPkgFrameBufSize] = {};
    CmdPkg pkg = record(0x0001, {});
    StdoutCapture capture;
    EXPECT_EQ(CMDPKG_CreateBytes(nullptr, out), -1);
    EXPECT_EQ(CMDPKG_CreateBytes(&pkg, nullptr), -1);
    pkg.len = 249;  // would need a 257-byte buffer
    std::memset(out, 0xEE, sizeof out);
    EXPECT_EQ(CMDPKG_CreateBytes(&pkg, out), -1);
    EXPECT_EQ(out[0], 0xEE) << "a refused record writes nothing";
    auto lines = capture.lines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(withoutLineNumber(lines[0]), "[error] <CMDPKG_CreateBytes:N> inpkg == null!");
    EXPECT_EQ(withoutLineNumber(lines[1]), "[error] <CMDPKG_CreateBytes:N> outdata == null!");

    pkg.len = 248;  // the largest that fits: frame of 255 bytes
    EXPECT_EQ(CMDPKG_CreateBytes(&pkg, out), 0);
    EXPECT_EQ(out[0], 255);
    EXPECT_EQ(out[255], 0xFA);
}

TEST(CmdPkgParse, ValidFrameQueuesOneRecordWhicheverWayItIsSplit) {
    const Bytes frame = encode(record(0x9000, {0x02, 0x09, 0xC4, 0x01}));
    for (size_t split = 0; split <= frame.size(); ++split) {
        Codec codec;
        codec.feed(Bytes(frame.begin(), frame.begin() + (long)split));
        codec.feed(Bytes(frame.begin() + (long)split, frame.end()));
        auto got = codec.drain();
        ASSERT_EQ(got.size(), 1u) << "split at " << split;
        EXPECT_EQ(got[0].cmd, 0x9000);
        EXPECT_EQ(got[0].len, 4);
        EXPECT_EQ(Bytes(got[0].data, got[0].data + 4), (Bytes{0x02, 0x09, 0xC4, 0x01}));
        EXPECT_TRUE(payloadZeroBeyondLen(got[0]));
    }
}

TEST(CmdPkgParse, ResynchronisesAsTheStateTableSays) {
    const Bytes a = encode(record(0x8001, {0x03}));
    const Bytes b = encode(record(0x8002, {}));
    Bytes badSum = a;
    badSum[badSum.size() - 2] ^= 0x01;
    Bytes badEnd = a;
    badEnd.back() = 0xFB;
    Bytes sumIs55 = encode(record(0x0050, {0x02}));  // 0x00 + 0x50 + 0x01 + 0x02 = 0x53
    sumIs55[sumIs55.size() - 2] = 0x55;              // wrong, and a start byte
    struct Case {
        const char *name;
        Bytes stream;
        std::vector<uint16_t> expected;
    } cases[] = {
        {"two frames back to back", cat({a, b}), {0x8001, 0x8002}},
        {"run of 0x55 before 0xAA", cat({{0x55, 0x55}, Bytes(a.begin() + 1, a.end())}), {0x8001}},
        {"garbage before a frame", cat({{0x00, 0xAA, 0xFA, 0x13}, a}), {0x8001}},
        {"wrong checksum, then a good frame", cat({badSum, b}), {0x8002}},
        {"wrong end byte, then a good frame", cat({badEnd, b}), {0x8002}},
        {"wrong checksum byte 0x55 starts nothing", cat({sumIs55, Bytes(b.begin() + 1, b.end())}), {}},
        {"0x55 then a non-AA byte", cat({{0x55, 0x01}, b}), {0x8002}},
        {"length above the record's room is dropped", cat({{0x55, 0xAA, 0x12, 0x34, 0xFA}, b}), {0x8002}},
    };
    for (const Case &c : cases) {
        Codec codec;
        codec.feed(c.stream);
        std::vector<uint16_t> got;
        for (const CmdPkg &p : codec.drain()) got.push_back(p.cmd);
        EXPECT_EQ(got, c.expected) << c.name;
    }
}

TEST(CmdPkgParse, LongestRecordFillsItWithoutOverrun) {
    Bytes payload(249);
    for (size_t i = 0; i < payload.size(); ++i) payload[i] = (uint8_t)(i * 7);
    uint8_t sum = (uint8_t)(0x12 + 0x34 + 249);
    for (uint8_t b : payload) sum = (uint8_t)(sum + b);
    Codec codec;
    codec.feed(cat({{0x55, 0xAA, 0x12, 0x34, 249}, payload, {sum, 0xFA}}));
    auto got = codec.drain();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].len, 249);
    EXPECT_EQ(Bytes(got[0].data, got[0].data + 249), payload);
}

TEST(CmdPkgQueue, NinthRecordIsLostAndTheEightComeOutInOrder) {
    Codec codec;
    for (uint16_t i = 0; i < 9; ++i) codec.feed(encode(record(0x0100 + i, {(uint8_t)i})));
    EXPECT_EQ(CMDPKG_QueueCount(codec.c), 8);
    auto got = codec.drain();
    ASSERT_EQ(got.size(), 8u);
    for (uint16_t i = 0; i < 8; ++i) {
        EXPECT_EQ(got[i].cmd, 0x0100 + i);
        EXPECT_EQ(got[i].data[0], i);
    }
    // The ring wraps: after the drain it takes eight more.
    for (uint16_t i = 0; i < 5; ++i) codec.feed(encode(record(0x0200 + i, {})));
    got = codec.drain();
    ASSERT_EQ(got.size(), 5u);
    EXPECT_EQ(got[4].cmd, 0x0204);
}

TEST(CmdPkgQueue, ClearInMidFrameKeepsTheFrameBeingReceived) {
    Codec codec;
    const Bytes a = encode(record(0x8001, {0x01}));
    const Bytes b = encode(record(0x8002, {0x00}));
    codec.feed(a);
    codec.feed(Bytes(b.begin(), b.begin() + 4));
    ASSERT_EQ(CMDPKG_RecvQueueClear(codec.c), 0);
    EXPECT_EQ(CMDPKG_QueueCount(codec.c), 0);
    codec.feed(Bytes(b.begin() + 4, b.end()));
    auto got = codec.drain();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].cmd, 0x8002);
}

TEST(CmdPkgQueue, EmptyQueuePopIsSilentAndNullsAreReported) {
    Codec codec;
    CmdPkg pkg;
    StdoutCapture capture;
    EXPECT_EQ(CMDPKG_RecvOnePackage(codec.c, &pkg), -1);
    EXPECT_EQ(capture.text(), "");

    StdoutCapture nulls;
    EXPECT_EQ(CMDPKG_RecvOnePackage(nullptr, nullptr), -1);
    EXPECT_EQ(CMDPKG_RecvOnePackage(codec.c, nullptr), -1);
    EXPECT_EQ(CMDPKG_RecvQueueClear(nullptr), -1);
    EXPECT_EQ(CMDPKG_RecvByte(nullptr, 0x55), -1);
    EXPECT_EQ(CMDPKG_Destroy(nullptr), -1);
    std::vector<std::string> expected = {
        "[error] <CMDPKG_RecvOnePackage:N> handle == null!", "[error] <CMDPKG_RecvOnePackage:N> outpkg == null!",
        "[error] <CMDPKG_RecvQueueClear:N> handle == null!", "[error] <CMDPKG_RecvByte:N> handle == null!",
        "[error] <CMDPKG_Destroy:N> handle == null!"};
    auto lines = nulls.lines();
    ASSERT_EQ(lines.size(), expected.size());
    for (size_t i = 0; i < lines.size(); ++i) EXPECT_EQ(withoutLineNumber(lines[i]), expected[i]);
}

TEST(CmdPkgQueue, WaitWakesWhenAnotherThreadQueuesARecord) {
    Codec codec;
    const Bytes frame = encode(record(0x8001, {0x02}));
    std::thread feeder([&] { codec.feed(frame); });
    CmdPkg pkg;
    // A generous deadline: the wait must end with the record, not at the deadline.
    int ret = CMDPKG_WaitRecvOnePackage(codec.c, &pkg, std::chrono::steady_clock::now() + std::chrono::seconds(10));
    feeder.join();
    ASSERT_EQ(ret, 0);
    EXPECT_EQ(pkg.cmd, 0x8001);
    EXPECT_EQ(CMDPKG_WaitRecvOnePackage(codec.c, &pkg, std::chrono::steady_clock::now()), -1);
}

TEST(CmdPkgQueue, PushPopAndClearAreSafeAcrossThreads) {
    Codec codec;
    const Bytes frame = encode(record(0x0101, {0x01, 0x01}));
    std::thread feeder([&] {
        for (int i = 0; i < 2000; ++i) codec.feed(frame);
    });
    int popped = 0;
    CmdPkg pkg;
    for (int i = 0; i < 4000; ++i) {
        if (CMDPKG_RecvOnePackage(codec.c, &pkg) == 0) {
            ++popped;
            ASSERT_EQ(pkg.cmd, 0x0101);
            ASSERT_TRUE(payloadZeroBeyondLen(pkg));
        }
        if (i % 97 == 0) CMDPKG_RecvQueueClear(codec.c);
        ASSERT_LE(CMDPKG_QueueCount(codec.c), 8);
    }
    feeder.join();
    EXPECT_LE(popped, 2000);
}
