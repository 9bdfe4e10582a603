// Every export on the wrong side of every bound and with every pointer null:
// -1 (or null), exactly the one expected line, and nothing sent. Run over a
// caller-driven handle whose send function answers reads as a device would,
// so the accepted edge of every bound is shown to go through.
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <functional>
#include <string>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "DALU_LightKit.h"
#include "hostile_util.h"
#include "stdout_capture.h"

namespace {

// Answers every read with a frame of the right length, echoing the channel.
struct Responder {
    void *handle = nullptr;
    int sends = 0;
};

int answerLength(unsigned code) {
    switch (code) {
    case 0xFF00: case 0xFE00: case 0x9000: return 4;
    case 0x8102: case 0x9001: case 0x8302: return 3;
    case 0x8101: case 0x9002: case 0x8202: case 0x8301: case 0x8402: case 0x8403: case 0x8404: return 2;
    case 0x8001: case 0x8002: case 0x8201: case 0x8401: case 0x8405: return 1;
    default: return -1;  // a write: no answer
    }
}

int respond(const unsigned char *bytes, int count, void *userData) {
    Responder *r = static_cast<Responder *>(userData);
    r->sends += 1;
    if (count < 7) return 0;
    const unsigned code = static_cast<unsigned>(bytes[2]) << 8 | bytes[3];
    const int len = answerLength(code);
    if (len < 0) return 0;
    std::vector<unsigned char> f = {0x55, 0xAA, bytes[2], bytes[3], static_cast<unsigned char>(len)};
    for (int i = 0; i < len; ++i) f.push_back(i == 0 && bytes[4] == 1 ? bytes[5] : 0x01);
    unsigned char sum = 0;
    for (size_t i = 2; i < f.size(); ++i) sum = static_cast<unsigned char>(sum + f[i]);
    f.push_back(sum);
    f.push_back(0xFA);
    return DALUSDK_PushRecvBytes(r->handle, f.data(), static_cast<int>(f.size()));
}

// Arguments of one call. Output pointers are either all valid or all null.
struct Call {
    void *h;
    int index;  // ledId or mode
    unsigned value;
    bool nullOut;
};

struct Outputs {
    unsigned u32 = 0;
    unsigned char u8 = 0;
    unsigned char u8b = 0;
    unsigned short u16 = 0;
    float f = 0;
    int i = 0;
};

struct Export {
    const char *name;
    unsigned bound;      // 4 for ledId, 5 for mode, 0 when none
    unsigned max;        // highest accepted value, 0 when the value is unbounded
    unsigned valueMask;  // 0xFFFF or 0xFF: the width of the value argument
    const char *outName; // first output pointer's name, null for writes
    std::function<int(const Call &, Outputs &)> fn;
};

template <typename T>
T *out(const Call &c, T &v) {
    return c.nullOut ? nullptr : &v;
}

const std::vector<Export> &exportsTable() {
    using C = const Call &;
    using O = Outputs &;
    static const std::vector<Export> table = {
        {"DALUSDK_GetDeviceModel", 0, 0, 0, "model", [](C c, O o) { return DALUSDK_GetDeviceModel(c.h, out(c, o.u32)); }},
        {"DALUSDK_GetDeviceSofewareVersion", 0, 0, 0, "version",
         [](C c, O o) { return DALUSDK_GetDeviceSofewareVersion(c.h, out(c, o.u32)); }},
        {"DALUSDK_SetGlobalEnable", 0, 0, 0xFF, nullptr,
         [](C c, O) { return DALUSDK_SetGlobalEnable(c.h, (unsigned char)c.value); }},
        {"DALUSDK_GetGlobalEnable", 0, 0, 0, "enable", [](C c, O o) { return DALUSDK_GetGlobalEnable(c.h, out(c, o.u8)); }},
        {"DALUSDK_SetWorkMode", 5, 0, 0, nullptr, [](C c, O) { return DALUSDK_SetWorkMode(c.h, c.index); }},
        {"DALUSDK_GetWorkMode", 0, 0, 0, "mode", [](C c, O o) { return DALUSDK_GetWorkMode(c.h, out(c, o.i)); }},
        {"DALUSDK_SetLedChecked", 4, 0, 0xFF, nullptr,
         [](C c, O) { return DALUSDK_SetLedChecked(c.h, c.index, (unsigned char)c.value); }},
        {"DALUSDK_GetLedChecked", 4, 0, 0, "checked",
         [](C c, O o) { return DALUSDK_GetLedChecked(c.h, c.index, out(c, o.u8)); }},
        {"DALUSDK_SetLedBrightness", 4, 100, 0xFFFF, nullptr,
         [](C c, O) { return DALUSDK_SetLedBrightness(c.h, c.index, (unsigned short)c.value); }},
        {"DALUSDK_GetLedBrightness", 4, 0, 0, "value",
         [](C c, O o) { return DALUSDK_GetLedBrightness(c.h, c.index, out(c, o.u16)); }},
        {"DALUSDK_GetLedTempStatus", 4, 0, 0, "temp",
         [](C c, O o) { return DALUSDK_GetLedTempStatus(c.h, c.index, out(c, o.f), out(c, o.u8)); }},
        {"DALUSDK_GetLedTempValue", 4, 0, 0, "temp",
         [](C c, O o) { return DALUSDK_GetLedTempValue(c.h, c.index, out(c, o.f)); }},
        {"DALUSDK_GetLedTempOver", 4, 0, 0, "status",
         [](C c, O o) { return DALUSDK_GetLedTempOver(c.h, c.index, out(c, o.u8)); }},
        {"DALUSDK_ModeTtl_SetOutputEnable", 0, 0, 0xFF, nullptr,
         [](C c, O) { return DALUSDK_ModeTtl_SetOutputEnable(c.h, (unsigned char)c.value); }},
        {"DALUSDK_ModeTtl_GetOutputEnable", 0, 0, 0, "enable",
         [](C c, O o) { return DALUSDK_ModeTtl_GetOutputEnable(c.h, out(c, o.u8)); }},
        {"DALUSDK_ModeTtl_SetDelayTime", 0, 5000, 0xFFFF, nullptr,
         [](C c, O) { return DALUSDK_ModeTtl_SetDelayTime(c.h, (unsigned short)c.value); }},
        {"DALUSDK_ModeTtl_GetDelayTime", 0, 0, 0, "delayMs",
         [](C c, O o) { return DALUSDK_ModeTtl_GetDelayTime(c.h, out(c, o.u16)); }},
        {"DALUSDK_ModeEdge_SetDelayTime", 0, 5000, 0xFFFF, nullptr,
         [](C c, O) { return DALUSDK_ModeEdge_SetDelayTime(c.h, (unsigned short)c.value); }},
        {"DALUSDK_ModeEdge_GetDelayTime", 0, 0, 0, "delayMs",
         [](C c, O o) { return DALUSDK_ModeEdge_GetDelayTime(c.h, out(c, o.u16)); }},
        {"DALUSDK_ModeEdge_SetPulseTime", 4, 5000, 0xFFFF, nullptr,
         [](C c, O) { return DALUSDK_ModeEdge_SetPulseTime(c.h, c.index, (unsigned short)c.value); }},
        {"DALUSDK_ModeEdge_GetPulseTime", 4, 0, 0, "widthMs",
         [](C c, O o) { return DALUSDK_ModeEdge_GetPulseTime(c.h, c.index, out(c, o.u16)); }},
        {"DALUSDK_ModeTrigger_SetOutputEnable", 0, 0, 0xFF, nullptr,
         [](C c, O) { return DALUSDK_ModeTrigger_SetOutputEnable(c.h, (unsigned char)c.value); }},
        {"DALUSDK_ModeTrigger_GetOutputEnable", 0, 0, 0, "enable",
         [](C c, O o) { return DALUSDK_ModeTrigger_GetOutputEnable(c.h, out(c, o.u8)); }},
        {"DALUSDK_ModeTrigger_SetDelayTime", 0, 5000, 0xFFFF, nullptr,
         [](C c, O) { return DALUSDK_ModeTrigger_SetDelayTime(c.h, (unsigned short)c.value); }},
        {"DALUSDK_ModeTrigger_GetDelayTime", 0, 0, 0, "delayMs",
         [](C c, O o) { return DALUSDK_ModeTrigger_GetDelayTime(c.h, out(c, o.u16)); }},
        {"DALUSDK_ModeTrigger_SetHighTime", 0, 5000, 0xFFFF, nullptr,
         [](C c, O) { return DALUSDK_ModeTrigger_SetHighTime(c.h, (unsigned short)c.value); }},
        {"DALUSDK_ModeTrigger_GetHighTime", 0, 0, 0, "widthMs",
         [](C c, O o) { return DALUSDK_ModeTrigger_GetHighTime(c.h, out(c, o.u16)); }},
        {"DALUSDK_ModeTrigger_SetLowTime", 0, 5000, 0xFFFF, nullptr,
         [](C c, O) { return DALUSDK_ModeTrigger_SetLowTime(c.h, (unsigned short)c.value); }},
        {"DALUSDK_ModeTrigger_GetLowTime", 0, 0, 0, "widthMs",
         [](C c, O o) { return DALUSDK_ModeTrigger_GetLowTime(c.h, out(c, o.u16)); }},
        {"DALUSDK_ModeTrigger_SetPulseNum", 0, 100, 0xFF, nullptr,
         [](C c, O) { return DALUSDK_ModeTrigger_SetPulseNum(c.h, (unsigned char)c.value); }},
        {"DALUSDK_ModeTrigger_GetPulseNum", 0, 0, 0, "num",
         [](C c, O o) { return DALUSDK_ModeTrigger_GetPulseNum(c.h, out(c, o.u8)); }},
        {"DALUSDK_ModeTrigger_OnTrigger", 0, 0, 0, nullptr, [](C c, O) { return DALUSDK_ModeTrigger_OnTrigger(c.h); }},
    };
    return table;
}

std::string nullLine(const std::string &func, const std::string &arg) {
    return "[error] <" + func + ":N> " + arg + " == null!\n";
}

std::string boundLine(const std::string &func, unsigned value, unsigned bound) {
    return "[error] <" + func + ":N> " + std::to_string(value) + " >= " + std::to_string(bound) + " err!\n";
}

std::string rangeLine(const std::string &func, unsigned value, unsigned max) {
    return "[error] <" + func + ":N> " + std::to_string(value) + " out range (0 ~ " + std::to_string(max) + ") err!\n";
}

struct Row {
    std::string what;
    const Export *ex;
    Call call;
    int rc;
    std::string line;  // expected output, line numbers as N
    int sends;
};

// Every refusal the frame knows, plus the accepted edges of every bound.
std::vector<Row> rowsFor(void *h) {
    std::vector<Row> rows;
    for (const Export &e : exportsTable()) {
        const int bound = static_cast<int>(e.bound);
        const int badIndices[] = {bound, bound + 1, -1, -4, INT_MIN, INT_MAX};
        const unsigned bigValue = e.valueMask != 0 ? e.valueMask : 0;
        // A null handle wins over every other fault in the same call.
        rows.push_back({"null handle", &e, {nullptr, 99, bigValue, true}, -1, nullLine(e.name, "handle"), 0});
        if (e.bound != 0) {
            for (int bad : badIndices) {
                // The index is reported before a bad value or a null output.
                rows.push_back({"index " + std::to_string(bad), &e, {h, bad, bigValue, true}, -1,
                                boundLine(e.name, static_cast<unsigned>(bad), e.bound), 0});
            }
        }
        if (e.max != 0) {
            for (unsigned bad : {e.max + 1, e.valueMask}) {
                rows.push_back({"value " + std::to_string(bad), &e, {h, 0, bad, false}, -1, rangeLine(e.name, bad, e.max), 0});
            }
        }
        if (e.outName != nullptr) {
            rows.push_back({"null output", &e, {h, 0, 0, true}, -1, nullLine(e.name, e.outName), 0});
        }
        const int hiIndex = e.bound != 0 ? static_cast<int>(e.bound) - 1 : 0;
        const unsigned hiValue = e.max != 0 ? e.max : e.valueMask;
        rows.push_back({"highest accepted", &e, {h, hiIndex, hiValue, false}, 0, "", 1});
        rows.push_back({"lowest accepted", &e, {h, 0, 0, false}, 0, "", 1});
    }
    return rows;
}

class HostileArgs : public ::testing::Test {
protected:
    void SetUp() override {
        m_handle = DALUSDK_CreateHandle2(respond, &m_responder);
        ASSERT_NE(m_handle, nullptr);
        m_responder.handle = m_handle;
    }
    void TearDown() override { EXPECT_EQ(DALUSDK_DestroyHandle2(m_handle), 0); }

    Responder m_responder;
    void *m_handle = nullptr;
};

TEST_F(HostileArgs, EveryExportRefusesEveryBadArgumentWithItsLineAndSendsNothing) {
    const std::vector<Row> rows = rowsFor(m_handle);
    ASSERT_GT(rows.size(), 150u);
    for (const Row &row : rows) {
        SCOPED_TRACE(std::string(row.ex->name) + ": " + row.what);
        Outputs o;
        m_responder.sends = 0;
        int rc;
        std::string text;
        {
            StdoutCapture cap;
            rc = row.ex->fn(row.call, o);
            text = cap.text();
        }
        EXPECT_EQ(rc, row.rc);
        EXPECT_EQ(withoutLineNumbers(text), row.line);
        EXPECT_EQ(m_responder.sends, row.sends);
    }
}

TEST_F(HostileArgs, TempStatusChecksTempThenStatus) {
    float temp = 0;
    unsigned char status = 0;
    StdoutCapture cap;
    EXPECT_EQ(DALUSDK_GetLedTempStatus(m_handle, 0, &temp, nullptr), -1);
    EXPECT_EQ(DALUSDK_GetLedTempStatus(m_handle, 0, nullptr, &status), -1);
    const std::string text = cap.text();
    cap.restore();
    EXPECT_EQ(withoutLineNumbers(text),
              nullLine("DALUSDK_GetLedTempStatus", "status") + nullLine("DALUSDK_GetLedTempStatus", "temp"));
    EXPECT_EQ(m_responder.sends, 0);
}

TEST_F(HostileArgs, HandleFamilyRefusesNullsNegativeCountsAndSerialHandles) {
    static const unsigned char bytes[] = {0x55, 0xAA};
    struct Case {
        const char *what;
        std::function<int()> call;
        int rc;
        std::string line;
    };
    void *h = m_handle;
    // A serial handle on a pseudo-terminal that nobody answers: the two
    // caller-driven-only exports refuse it.
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    void *serial = DALUSDK_CreateHandle(ptsname(master));
    ASSERT_NE(serial, nullptr);
    const std::string serialRefused = " handle is a serial-port handle!\n";
    const Case cases[] = {
        {"destroy null", [] { return DALUSDK_DestroyHandle(nullptr); }, -1, nullLine("DALUSDK_DestroyHandle", "handle")},
        {"destroy2 null", [] { return DALUSDK_DestroyHandle2(nullptr); }, -1, nullLine("DALUSDK_DestroyHandle2", "handle")},
        {"push null handle", [] { return DALUSDK_PushRecvBytes(nullptr, bytes, 2); }, -1,
         nullLine("DALUSDK_PushRecvBytes", "handle")},
        {"push null handle and buffer", [] { return DALUSDK_PushRecvBytes(nullptr, nullptr, -1); }, -1,
         nullLine("DALUSDK_PushRecvBytes", "handle")},
        {"push null buffer", [h] { return DALUSDK_PushRecvBytes(h, nullptr, 2); }, -1,
         nullLine("DALUSDK_PushRecvBytes", "buffer")},
        {"push count -1", [h] { return DALUSDK_PushRecvBytes(h, bytes, -1); }, -1,
         "[error] <DALUSDK_PushRecvBytes:N> -1 < 0 err!\n"},
        {"push count INT_MIN", [h] { return DALUSDK_PushRecvBytes(h, bytes, INT_MIN); }, -1,
         "[error] <DALUSDK_PushRecvBytes:N> " + std::to_string(INT_MIN) + " < 0 err!\n"},
        {"push count 0", [h] { return DALUSDK_PushRecvBytes(h, bytes, 0); }, 0, ""},
        {"destroy2 serial", [serial] { return DALUSDK_DestroyHandle2(serial); }, -1,
         "[error] <DALUSDK_DestroyHandle2:N>" + serialRefused},
        {"push serial", [serial] { return DALUSDK_PushRecvBytes(serial, bytes, 2); }, -1,
         "[error] <DALUSDK_PushRecvBytes:N>" + serialRefused},
        {"push serial null buffer", [serial] { return DALUSDK_PushRecvBytes(serial, nullptr, -1); }, -1,
         "[error] <DALUSDK_PushRecvBytes:N>" + serialRefused},
        {"destroy serial", [serial] { return DALUSDK_DestroyHandle(serial); }, 0, ""},
        {"version null", [] { return DALUSDK_GetSdkVersion(nullptr); }, -1, nullLine("DALUSDK_GetSdkVersion", "version")},
        {"create null name", [] { return DALUSDK_CreateHandle(nullptr) == nullptr ? -1 : 0; }, -1,
         nullLine("DALUSDK_CreateHandle", "comName")},
        {"create2 null callback", [] { return DALUSDK_CreateHandle2(nullptr, nullptr) == nullptr ? -1 : 0; }, -1,
         "[error] <DOCMD_Create2:N> Args err, sendCallback is null!\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        int rc;
        std::string text;
        {
            StdoutCapture cap;
            rc = c.call();
            text = cap.text();
        }
        EXPECT_EQ(rc, c.rc);
        EXPECT_EQ(withoutLineNumbers(text), c.line);
    }
    close(master);
    // The refused pushes fed nothing: a read still finds its answer whole.
    unsigned model = 0;
    EXPECT_EQ(DALUSDK_GetDeviceModel(m_handle, &model), 0);
    EXPECT_EQ(model, 0x01010101u);
    EXPECT_EQ(m_responder.sends, 1);
}

// Port names that are no serial port: null, one clear line per failing step,
// and no descriptor left behind.
TEST(HostilePortNames, RefusedWithTheFailingStepAndNothingLeaked) {
    char fileName[] = "/tmp/hostile_port_XXXXXX";
    const int fileFd = mkstemp(fileName);
    ASSERT_GE(fileFd, 0);
    close(fileFd);
    const std::string longName(300, 'x');
    const std::string longPath = "/tmp/" + longName;
    const std::string odd = "%s%n%x\t\x01\xff COM3";

    auto createLine = [](const std::string &path, int err) {
        return "[error] <UART_Open:N> CreateFile (\"" + path + "\") failed with error " + std::to_string(err) + ".\n" +
               "[error] <DOCMD_Create:N> UART_Open failed!\n";
    };
    const std::string notATerminal = "[error] <UART_Open:N> GetCommState failed with error " + std::to_string(ENOTTY) +
                                     ".\n[error] <DOCMD_Create:N> UART_Open failed!\n";
    struct Case {
        std::string name;
        std::string lines;
    };
    // Paths are cut to the 126 characters the port's path buffer holds.
    const Case cases[] = {
        {"", createLine("/dev/", EISDIR)},
        {longName, createLine(("/dev/" + longName).substr(0, 126), ENOENT)},
        {longPath, createLine(longPath.substr(0, 126), ENOENT)},
        {odd, createLine("/dev/" + odd, ENOENT)},
        {"ttyDoesNotExist9", createLine("/dev/ttyDoesNotExist9", ENOENT)},
        {"/tmp", createLine("/tmp", EISDIR)},
        {fileName, notATerminal},
        {"/dev/null", notATerminal},
        {"null", notATerminal},
    };
    const size_t fdsBefore = openFdCount();
    for (const Case &c : cases) {
        SCOPED_TRACE("port name \"" + c.name + "\"");
        void *h;
        std::string text;
        {
            StdoutCapture cap;
            h = DALUSDK_CreateHandle(c.name.c_str());
            text = cap.text();
        }
        EXPECT_EQ(h, nullptr);
        if (h != nullptr) DALUSDK_DestroyHandle(h);
        EXPECT_EQ(withoutLineNumbers(text), c.lines);
    }
    EXPECT_EQ(openFdCount(), fdsBefore);
    unlink(fileName);
}

}  // namespace
