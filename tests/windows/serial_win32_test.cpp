// The Win32 serial transport over a null-modem pair of COM ports (under wine:
// two COM links to the ends of one socat pty pair, set up by
// scripts/test_windows.sh). The test holds the far end itself, through the
// virtual light source's Windows port code, and plays the device.
//
//   LIGHTKIT_WIN_PAIR  "NEAR,FAR": the port the library opens and its far
//                      end (for example COM11,COM12)
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "DALU_LightKit.h"
#include "VirtualLightSource.h"
#include "fake_device.h"
#include "sim_port.h"
#include "uart.h"
#include "stdout_capture.h"
#include "win_test_util.h"

namespace {

class NullModem : public ::testing::Test {
protected:
    void SetUp() override {
        const std::string pair = portFromEnvironment("LIGHTKIT_WIN_PAIR");
        const size_t comma = pair.find(',');
        if (comma != std::string::npos) {
            m_near = pair.substr(0, comma);
            m_far = pair.substr(comma + 1);
        }
        if (m_near.empty() || m_far.empty())
            GTEST_SKIP() << "needs LIGHTKIT_WIN_PAIR=NEAR,FAR (a null-modem pair); run scripts/test_windows.sh";
    }
    void TearDown() override {
        if (m_farPort != nullptr) SimPort_Close(m_farPort);
    }

    // Opens the far end raw, as the device would hold it.
    SimPort *farEnd() {
        if (m_farPort == nullptr) {
            std::string error;
            m_farPort = SimPort_Open(m_far, &error);
            EXPECT_NE(m_farPort, nullptr) << error;
        }
        return m_farPort;
    }

    // Reads exactly n bytes at the far end, or what came before the deadline.
    Bytes readFar(size_t n) {
        Bytes out;
        waitUntil([&] {
            uint8_t buf[512];
            const int got = SimPort_Read(farEnd(), buf, (int)std::min(sizeof buf, n - out.size()), 50);
            if (got > 0) out.insert(out.end(), buf, buf + got);
            return out.size() >= n || got < 0;
        });
        return out;
    }

    // Reads at the near end through the transport until n bytes came.
    Bytes readNear(UartPort *port, size_t n) {
        Bytes out;
        waitUntil([&] {
            uint8_t buf[64];
            uint32_t got = 0;
            EXPECT_EQ(UART_RecvBytes(port, buf, sizeof buf, &got), 0);
            out.insert(out.end(), buf, buf + got);
            return out.size() >= n;
        });
        return out;
    }

    std::string m_near;
    std::string m_far;
    SimPort *m_farPort = nullptr;
};

Bytes everyByteValue() {
    Bytes all(256);
    for (int i = 0; i < 256; ++i) all[i] = (uint8_t)i;
    return all;
}

}  // namespace

TEST(Win32Port, OpenFailuresNameThePathAndTheOsError) {
    // What the OS itself says about the device that is not a serial port, so
    // the expected code is the one Windows (or wine) gives for it. The first
    // port step, setting the driver queues, already fails there.
    HANDLE nul = CreateFileA("\\\\.\\NUL", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(nul, INVALID_HANDLE_VALUE);
    ASSERT_FALSE(SetupComm(nul, 1024, 1024));
    const int notAPortError = (int)GetLastError();
    CloseHandle(nul);

    const std::string longName(600, 'x');
    struct Case {
        std::string name;
        std::string line;
    } cases[] = {
        {"COM99", "[error] <UART_Open:N> CreateFile (\"\\\\.\\COM99\") failed with error 2."},
        // COM10 and above exist only behind the \\.\ prefix; a missing one says so.
        {"COM250", "[error] <UART_Open:N> CreateFile (\"\\\\.\\COM250\") failed with error 2."},
        // The path is cut to 126 characters and never overruns its buffer.
        {longName, "[error] <UART_Open:N> CreateFile (\"\\\\.\\" + std::string(122, 'x') + "\") failed with error 2."},
        {"NUL", "[error] <UART_Open:N> SetupComm failed with error " + std::to_string(notAPortError) + "."},
    };
    for (const Case &c : cases) {
        StdoutCapture capture;
        EXPECT_EQ(DALUSDK_CreateHandle(c.name.c_str()), nullptr) << c.name;
        const auto lines = capture.lines();
        ASSERT_EQ(lines.size(), 2u) << c.name;
        EXPECT_EQ(withoutLineNumber(lines[0]), c.line);
        EXPECT_EQ(withoutLineNumber(lines[1]), "[error] <DOCMD_Create:N> UART_Open failed!");
    }
}

TEST(Win32Port, NullArgumentsAreRefusedWithTheirNames) {
    uint8_t buffer[4] = {};
    uint32_t received = 7;
    int sent = 7;
    struct Case {
        const char *line;
        int (*call)(uint8_t *, uint32_t *, int *);
    } cases[] = {
        {"[error] <UART_Close:N> handle == null!", [](uint8_t *, uint32_t *, int *) { return UART_Close(nullptr); }},
        {"[error] <UART_RecvBytes:N> handle == null!",
         [](uint8_t *b, uint32_t *r, int *) { return UART_RecvBytes(nullptr, b, 1, r); }},
        {"[error] <UART_SendBytes:N> handle == null!",
         [](uint8_t *b, uint32_t *, int *s) { return UART_SendBytes(nullptr, b, 1, s); }},
        {"[error] <UART_CancelRecv:N> handle == null!",
         [](uint8_t *, uint32_t *, int *) { return UART_CancelRecv(nullptr); }},
    };
    for (const Case &c : cases) {
        StdoutCapture capture;
        EXPECT_EQ(c.call(buffer, &received, &sent), -1) << c.line;
        const auto lines = capture.lines();
        ASSERT_EQ(lines.size(), 1u) << c.line;
        EXPECT_EQ(withoutLineNumber(lines[0]), c.line);
    }
    StdoutCapture capture;
    EXPECT_EQ(UART_Open(nullptr), nullptr);
    EXPECT_EQ(withoutLineNumber(capture.text()), "[error] <UART_Open:N> comName == null!\n");
}

TEST_F(NullModem, BufferIsTestedAfterThePort) {
    UartPort *port = UART_Open(m_near.c_str());
    ASSERT_NE(port, nullptr);
    uint32_t received = 7;
    int sent = 7;
    {
        StdoutCapture capture;
        EXPECT_EQ(UART_RecvBytes(port, nullptr, 1, &received), -1);
        EXPECT_EQ(UART_SendBytes(port, nullptr, 1, &sent), -1);
        const auto lines = capture.lines();
        ASSERT_EQ(lines.size(), 2u);
        EXPECT_EQ(withoutLineNumber(lines[0]), "[error] <UART_RecvBytes:N> buffer == null!");
        EXPECT_EQ(withoutLineNumber(lines[1]), "[error] <UART_SendBytes:N> buffer == null!");
    }
    EXPECT_EQ(UART_Close(port), 0);
}

TEST_F(NullModem, EveryByteValuePassesUnchangedBothWays) {
    UartPort *port = UART_Open(m_near.c_str());
    ASSERT_NE(port, nullptr);
    ASSERT_NE(farEnd(), nullptr);
    const Bytes all = everyByteValue();  // XON, XOFF, CR, LF, 0x00 and 0xFF included

    int sent = -1;
    ASSERT_EQ(UART_SendBytes(port, all.data(), (int)all.size(), &sent), 0);
    EXPECT_EQ(sent, 256);
    EXPECT_EQ(readFar(256), all);

    ASSERT_EQ(SimPort_Write(farEnd(), all.data(), (int)all.size()), 256);
    EXPECT_EQ(readNear(port, 256), all);
    EXPECT_EQ(UART_Close(port), 0);
}

// Windows keeps a port's state from one open to the next. Another program
// left software flow control (and more) on: XOFF and XON must still pass as
// data both ways, as must every other byte value.
TEST_F(NullModem, EveryByteValuePassesWhateverStateThePortWasLeftIn) {
    const std::string path = "\\\\.\\" + m_near;
    auto portState = [&path](DCB *dcb) {
        HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (h == INVALID_HANDLE_VALUE) return false;
        std::memset(dcb, 0, sizeof(*dcb));
        dcb->DCBlength = sizeof(*dcb);
        const bool ok = GetCommState(h, dcb) != 0;
        CloseHandle(h);
        return ok;
    };
    {
        HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        DCB dcb = {};
        dcb.DCBlength = sizeof(dcb);
        ASSERT_TRUE(GetCommState(h, &dcb));
        dcb.fOutX = TRUE;
        dcb.fInX = TRUE;
        dcb.fErrorChar = TRUE;
        dcb.ErrorChar = '?';
        dcb.fNull = TRUE;
        dcb.fAbortOnError = TRUE;
        EXPECT_TRUE(SetCommState(h, &dcb)) << GetLastError();
        CloseHandle(h);
    }
    DCB left = {};
    ASSERT_TRUE(portState(&left));
    ASSERT_TRUE(left.fOutX && left.fInX) << "the port did not keep the state it was left in";

    UartPort *port = UART_Open(m_near.c_str());
    ASSERT_NE(port, nullptr);
    ASSERT_NE(farEnd(), nullptr);
    const Bytes all = everyByteValue();
    ASSERT_EQ(UART_SendBytes(port, all.data(), (int)all.size(), nullptr), 0);
    EXPECT_EQ(readFar(256), all);
    ASSERT_EQ(SimPort_Write(farEnd(), all.data(), (int)all.size()), 256);
    EXPECT_EQ(readNear(port, 256), all);
    // And once more, now that an XOFF has come in: nothing is held back.
    ASSERT_EQ(UART_SendBytes(port, all.data(), (int)all.size(), nullptr), 0);
    EXPECT_EQ(readFar(256), all);
    EXPECT_EQ(UART_Close(port), 0);
}

TEST_F(NullModem, QuietReadWaitsUntilCancelledAndWritesPassIt) {
    UartPort *port = UART_Open(m_near.c_str());
    ASSERT_NE(port, nullptr);
    ASSERT_NE(farEnd(), nullptr);
    std::atomic<int> result{-2};
    std::atomic<uint32_t> received{99};
    std::thread reader([&] {
        uint8_t buf[256];
        uint32_t got = 99;
        result = UART_RecvBytes(port, buf, sizeof buf, &got);
        received = got;
    });
    // A frame goes out while the read waits on the quiet line (given time
    // to be waiting: a write that queued behind it would never finish).
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const Bytes frame = frameOf(0x0406, {});
    EXPECT_EQ(UART_SendBytes(port, frame.data(), (int)frame.size(), nullptr), 0);
    EXPECT_EQ(readFar(frame.size()), frame);
    EXPECT_EQ(result.load(), -2) << "a read on a quiet line returned by itself";
    EXPECT_EQ(UART_CancelRecv(port), 0);
    reader.join();
    EXPECT_EQ(result.load(), 0);
    EXPECT_EQ(received.load(), 0u);
    // Cancelled for good: later reads return at once, with nothing.
    uint8_t buf[256];
    for (int wanted : {1, 256, 0}) {
        uint32_t got = 99;
        EXPECT_EQ(UART_RecvBytes(port, buf, wanted, &got), 0) << wanted;
        EXPECT_EQ(got, 0u) << wanted;
    }
    EXPECT_EQ(UART_RecvBytes(port, buf, 1, nullptr), 0);  // the count is optional
    EXPECT_EQ(UART_Close(port), 0);
}

TEST_F(NullModem, SendCountIsOptionalAndEmptySendsWriteNothing) {
    UartPort *port = UART_Open(m_near.c_str());
    ASSERT_NE(port, nullptr);
    ASSERT_NE(farEnd(), nullptr);
    const Bytes frame = frameOf(0x8001, {});
    EXPECT_EQ(UART_SendBytes(port, frame.data(), (int)frame.size(), nullptr), 0);
    int sent = 99;
    EXPECT_EQ(UART_SendBytes(port, frame.data(), 0, &sent), 0);
    EXPECT_EQ(sent, 0);
    // Only the one frame crossed the line: a second frame sent now comes
    // straight after it.
    const Bytes marker = {0xA5};
    EXPECT_EQ(UART_SendBytes(port, marker.data(), 1, nullptr), 0);
    Bytes expected = frame;
    expected.push_back(0xA5);
    EXPECT_EQ(readFar(expected.size()), expected);
    EXPECT_EQ(UART_Close(port), 0);
}

TEST_F(NullModem, FrameNotWrittenWholeIsAFailedSend) {
    // Nobody reads the far end, so the line's buffers fill up and the 1 ms
    // write time-out cuts the write short.
    UartPort *port = UART_Open(m_near.c_str());
    ASSERT_NE(port, nullptr);
    const Bytes big(4 << 20, 0x5A);
    int sent = -1;
    std::string text;
    {
        StdoutCapture capture;
        EXPECT_EQ(UART_SendBytes(port, big.data(), (int)big.size(), &sent), -1);
        text = capture.text();
    }
    EXPECT_GT(sent, 0);
    EXPECT_LT(sent, (int)big.size());
    EXPECT_EQ(withoutLineNumber(text), "[error] <UART_SendBytes:N> WriteFile failed with error 1460.\n");
    EXPECT_EQ(UART_Close(port), 0);
    // Drain what did get through, so that later tests start on a quiet line.
    ASSERT_NE(farEnd(), nullptr);
    int quietReads = 0;
    waitUntil([&] {
        uint8_t buf[4096];
        quietReads = SimPort_Read(farEnd(), buf, sizeof buf, 100) > 0 ? 0 : quietReads + 1;
        return quietReads >= 3;
    }, 60000);
}

TEST_F(NullModem, SecondOpenOfAHeldPortIsRefused) {
    if (runningUnderWine()) GTEST_SKIP() << "wine does not enforce exclusive opens of serial devices";
    UartPort *first = UART_Open(m_near.c_str());
    ASSERT_NE(first, nullptr);
    {
        StdoutCapture capture;
        EXPECT_EQ(UART_Open(m_near.c_str()), nullptr);
        EXPECT_EQ(withoutLineNumber(capture.text()),
                  "[error] <UART_Open:N> CreateFile (\"\\\\.\\" + m_near + "\") failed with error 5.\n");
    }
    EXPECT_EQ(UART_Close(first), 0);
    UartPort *again = UART_Open(m_near.c_str());
    EXPECT_NE(again, nullptr);
    if (again != nullptr) UART_Close(again);
}

TEST_F(NullModem, HandlesOpenAndCloseOverAndOver) {
    // Each destroy joins the receive thread and closes the port, so the
    // next create finds it free and the link works at once.
    ASSERT_NE(farEnd(), nullptr);
    for (int i = 0; i < 10; ++i) {
        void *h = DALUSDK_CreateHandle(m_near.c_str());
        ASSERT_NE(h, nullptr) << i;
        ASSERT_EQ(DALUSDK_ModeTrigger_OnTrigger(h), 0) << i;
        EXPECT_EQ(readFar(7), frameOf(0x0406, {})) << i;
        EXPECT_EQ(DALUSDK_DestroyHandle(h), 0) << i;
    }
}

// The library over the pair against the virtual light source serving the
// far end with its Windows port code.
class LightSourceOverPair : public NullModem {
protected:
    void SetUp() override {
        NullModem::SetUp();
        if (IsSkipped()) return;
        SimOptions opts;
        opts.port = m_far;
        opts.fixedTemps = true;
        m_sim.reset(new VirtualLightSource(opts));
        ASSERT_TRUE(m_sim->start()) << m_sim->errorText();
        m_handle = DALUSDK_CreateHandle(m_near.c_str());
        ASSERT_NE(m_handle, nullptr);
    }
    void TearDown() override {
        if (m_handle != nullptr) {
            EXPECT_EQ(DALUSDK_DestroyHandle(m_handle), 0);
        }
        if (m_sim) m_sim->stop();
        NullModem::TearDown();
    }

    std::unique_ptr<VirtualLightSource> m_sim;
    void *m_handle = nullptr;
};

TEST_F(LightSourceOverPair, WritesArriveByteExactAndReadsComeBack) {
    m_sim->setFixedTemperature(2, -12.5f, false);
    m_sim->setFixedTemperature(3, 61.25f, true);

    ASSERT_EQ(DALUSDK_SetLedBrightness(m_handle, 2, 77), 0);
    ASSERT_EQ(DALUSDK_ModeTtl_SetDelayTime(m_handle, 5000), 0);
    ASSERT_TRUE(m_sim->waitForFrames(2, 5000));
    const auto frames = m_sim->receivedFrames();
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].cmd, 0x0102);
    EXPECT_EQ(Bytes(frames[0].data, frames[0].data + frames[0].len), (Bytes{0x02, 0x00, 0x4D}));
    EXPECT_EQ(frames[1].cmd, 0x0202);
    EXPECT_EQ(Bytes(frames[1].data, frames[1].data + frames[1].len), (Bytes{0x13, 0x88}));

    unsigned short brightness = 0;
    EXPECT_EQ(DALUSDK_GetLedBrightness(m_handle, 2, &brightness), 0);
    EXPECT_EQ(brightness, 77);
    unsigned int model = 0;
    EXPECT_EQ(DALUSDK_GetDeviceModel(m_handle, &model), 0);
    EXPECT_EQ(model, 0xFFAA0400u);

    struct {
        int ledId;
        float temp;
        unsigned char over;
    } temps[] = {{2, -12.5f, 0}, {3, 61.25f, 1}};
    for (const auto &t : temps) {
        float temp = 0;
        unsigned char over = 9;
        EXPECT_EQ(DALUSDK_GetLedTempStatus(m_handle, t.ledId, &temp, &over), 0) << t.ledId;
        EXPECT_FLOAT_EQ(temp, t.temp) << t.ledId;
        EXPECT_EQ(over, t.over) << t.ledId;
    }
}

TEST_F(LightSourceOverPair, SilentDeviceGetsFiveSendsAndTheTimeoutLine) {
    SimFaults faults;
    faults.silent = true;
    m_sim->setFaults(faults);
    int mode = -1;
    StdoutCapture capture;
    EXPECT_EQ(DALUSDK_GetWorkMode(m_handle, &mode), -1);
    const auto lines = capture.lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "[info ] <DOCMD_SendAndWaitRecvCmd> recv cmd(0x8001) timeout.");
    EXPECT_EQ(withoutLineNumber(lines[1]), "[error] <DOCMD_GetWorkMode:N> DOCMD_SendAndWaitRecvCmd, ret (-1) err!");
    ASSERT_TRUE(m_sim->waitForFrames(5, 5000));
    const auto frames = m_sim->receivedFrames();
    ASSERT_EQ(frames.size(), 5u);
    for (const CmdPkg &f : frames) EXPECT_EQ(f.cmd, 0x8001);
}

TEST_F(LightSourceOverPair, NoiseAndUnaskedFramesDoNotDisturbReads) {
    SimFaults faults;
    faults.noiseBytesPerSec = 2000;
    faults.unsolicitedPerSec = 50;
    m_sim->setFaults(faults);
    for (unsigned short value : {0, 1, 2500, 5000}) {
        ASSERT_EQ(DALUSDK_ModeTrigger_SetHighTime(m_handle, value), 0);
        unsigned short back = 0xFFFF;
        EXPECT_EQ(DALUSDK_ModeTrigger_GetHighTime(m_handle, &back), 0) << value;
        EXPECT_EQ(back, value);
    }
}

TEST(SimPortWin32, NamesAreNeededAndMissingPortsNameTheError) {
    std::string error;
    EXPECT_EQ(SimPort_Open("", &error), nullptr);
    EXPECT_EQ(error, "a COM port name is needed on Windows (for example COM11)");
    EXPECT_EQ(SimPort_Open("COM99", &error), nullptr);
    EXPECT_EQ(error, "CreateFile (\"\\\\.\\COM99\") failed with error 2");
}

TEST_F(NullModem, SimPortWakeEndsAWaitingRead) {
    ASSERT_NE(farEnd(), nullptr);
    std::atomic<int> result{-2};
    std::thread reader([&] {
        uint8_t buf[16];
        result = SimPort_Read(farEnd(), buf, sizeof buf, 60000);
    });
    // Wake until the reader is seen to return; a wake sent before the read
    // started is kept for it, so this cannot miss.
    EXPECT_TRUE(waitUntil([&] {
        SimPort_Wake(farEnd());
        return result.load() != -2;
    }));
    reader.join();
    EXPECT_EQ(result.load(), 0);
}
