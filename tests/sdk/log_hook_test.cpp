// The log hook: where the library's lines go, and that they arrive whole from
// several threads while the destination changes.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <future>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "DALU_LightKit.h"
#include "stdout_capture.h"

namespace {

// Collects the lines a handler receives, from any thread.
struct LineSink {
    std::mutex lock;
    std::vector<std::string> lines;

    static void receive(const char *line, void *userData) {
        auto *sink = static_cast<LineSink *>(userData);
        std::lock_guard<std::mutex> guard(sink->lock);
        sink->lines.emplace_back(line);
    }
};

// Restores standard output whatever a test did.
struct HookReset {
    ~HookReset() { DALUSDK_SetLogHandler(nullptr, nullptr); }
};

const std::string kNullLine = "[error] <DALUSDK_SetLedBrightness:N> handle == null!";
const std::string kRangeLine = "[error] <DALUSDK_SetLedBrightness:N> 101 out range (0 ~ 100) err!";

int dummySend(const unsigned char *, int, void *) { return 0; }

}  // namespace

TEST(LogHook, HandlerTakesTheLinesAndNullRestoresStandardOutput) {
    HookReset reset;
    void *handle = DALUSDK_CreateHandle2(dummySend, nullptr);
    ASSERT_NE(handle, nullptr);
    LineSink sink;
    StdoutCapture out;

    EXPECT_EQ(DALUSDK_SetLogHandler(LineSink::receive, &sink), 0);
    EXPECT_EQ(DALUSDK_SetLedBrightness(nullptr, 0, 1), -1);
    EXPECT_EQ(DALUSDK_SetLedBrightness(handle, 0, 101), -1);
    EXPECT_EQ(out.text(), "");
    EXPECT_EQ(withoutLineNumber(sink.lines), (std::vector<std::string>{kNullLine, kRangeLine}));

    EXPECT_EQ(DALUSDK_SetLogHandler(nullptr, &sink), 0);
    EXPECT_EQ(DALUSDK_SetLedBrightness(nullptr, 0, 1), -1);
    EXPECT_EQ(withoutLineNumbers(out.text()), kNullLine + "\n");
    EXPECT_EQ(sink.lines.size(), 2u);
    DALUSDK_DestroyHandle(handle);
}

// Every line of every thread arrives exactly once and whole, at the handler
// or on standard output, while the main thread keeps switching between two
// handlers and standard output.
TEST(LogHook, LinesArriveWholeFromSeveralThreadsWhileTheHandlerChanges) {
    HookReset reset;
    void *handle = DALUSDK_CreateHandle2(dummySend, nullptr);
    ASSERT_NE(handle, nullptr);
    constexpr int kLinesPerThread = 2000;
    LineSink first, second;
    StdoutCapture out;
    std::atomic<int> running{2};

    auto logNull = [&] {
        for (int i = 0; i < kLinesPerThread; ++i) DALUSDK_SetLedBrightness(nullptr, 0, 1);
        --running;
    };
    auto logRange = [&] {
        for (int i = 0; i < kLinesPerThread; ++i) DALUSDK_SetLedBrightness(handle, 0, 101);
        --running;
    };
    std::thread a(logNull), b(logRange);
    for (int turn = 0; running.load() > 0; ++turn) {
        switch (turn % 3) {
        case 0: DALUSDK_SetLogHandler(LineSink::receive, &first); break;
        case 1: DALUSDK_SetLogHandler(LineSink::receive, &second); break;
        default: DALUSDK_SetLogHandler(nullptr, nullptr); break;
        }
        std::this_thread::yield();
    }
    a.join();
    b.join();
    DALUSDK_SetLogHandler(nullptr, nullptr);

    std::map<std::string, int> seen;
    for (const auto &line : withoutLineNumber(first.lines)) ++seen[line];
    for (const auto &line : withoutLineNumber(second.lines)) ++seen[line];
    for (const auto &line : withoutLineNumber(out.lines())) ++seen[line];
    EXPECT_EQ(seen, (std::map<std::string, int>{{kNullLine, kLinesPerThread}, {kRangeLine, kLinesPerThread}}));
    DALUSDK_DestroyHandle(handle);
}

// A handler change while threads log without a pause, each line taking its
// handler 100 us: the change must not wait for a moment when no thread logs
// (there may be none), and once it has returned the old handler gets
// nothing. The bound is generous; the figure is printed.
TEST(LogHook, HandlerChangeReturnsWhileThreadsLogWithoutPause) {
    HookReset reset;
    struct SlowSink {
        std::atomic<bool> retired{false};
        std::atomic<long> lines{0};
        std::atomic<long> afterRetired{0};
        static void receive(const char *, void *userData) {
            auto *sink = static_cast<SlowSink *>(userData);
            if (sink->retired.load()) ++sink->afterRetired;
            ++sink->lines;
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
    };
    constexpr int kThreads = 4;
    SlowSink old, next;
    ASSERT_EQ(DALUSDK_SetLogHandler(SlowSink::receive, &old), 0);
    std::atomic<bool> stop{false};
    std::vector<std::thread> loggers;
    for (int i = 0; i < kThreads; ++i) {
        loggers.emplace_back([&stop] {
            while (!stop.load()) DALUSDK_SetLedBrightness(nullptr, 0, 1);
        });
    }
    while (old.lines.load() < 1000) std::this_thread::yield();

    using Clock = std::chrono::steady_clock;
    const auto asked = Clock::now();
    auto change = std::async(std::launch::async, [&old, &next] {
        DALUSDK_SetLogHandler(SlowSink::receive, &next);
        old.retired = true;
        return Clock::now();
    });
    const bool returned = change.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
    const long linesBefore = next.lines.load();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const long linesIn200ms = next.lines.load() - linesBefore;
    stop = true;
    for (std::thread &t : loggers) t.join();
    const double ms = std::chrono::duration<double, std::milli>(change.get() - asked).count();
    std::printf("DALUSDK_SetLogHandler with %d threads logging: returned after %.3f ms; "
                "%ld lines in 200 ms after it\n",
                kThreads, ms, linesIn200ms);
    EXPECT_TRUE(returned) << "still waiting after 10 s";
    EXPECT_EQ(old.afterRetired.load(), 0) << "the old handler got lines after the change returned";
    EXPECT_GT(next.lines.load(), 0);
}
