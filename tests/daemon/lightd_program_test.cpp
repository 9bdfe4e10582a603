// The lightd program over TCP against the virtual light source: options,
// signals, clients that misbehave, a silent device, an unplugged port.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <random>
#include <regex>
#include <sstream>

#include "VirtualLightSource.h"
#include "daemon_test_util.h"

namespace {

using lightd_test::Child;
using lightd_test::LineClient;
using lightd_test::PortLink;
using lightd_test::waitUntil;

// What answerOf gives for a line that answers nothing.
const std::string kNothing = "<nothing>";

// The answer of one line, or kNothing: a SYSTem:VERSion? sent behind it
// marks where the line's answer would have been.
std::string answerOf(LineClient &client, const std::string &line, int timeoutMs = 5000) {
    const std::string first = client.query(line + "\nSYST:VERS?", timeoutMs);
    if (first == "1999.0") return kNothing;
    const std::string marker = client.line(timeoutMs);
    if (marker != "1999.0") ADD_FAILURE() << line << " answered " << first << ", then " << marker;
    return first;
}

SimOptions fixedTemps() {
    SimOptions o;
    o.fixedTemps = true;
    return o;
}

class LightdProgram : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(sim.start()) << sim.errorText();
        ASSERT_TRUE(link.pointTo(sim.portPath()));
    }

    // Starts lightd on any free port; the port comes from its first line.
    void startLightd(std::vector<std::string> extra = {}) {
        std::vector<std::string> args = {LIGHTD_PROGRAM, "--device", link.path(), "--scpi-port", "0",
                                         "--http-port", "0", "--poll-ms", "100", "--no-announce"};
        args.insert(args.end(), extra.begin(), extra.end());
        lightd = std::make_unique<Child>(args);
        ASSERT_TRUE(lightd->started());
        const std::string first = lightd->line();
        std::smatch m;
        ASSERT_TRUE(std::regex_match(first, m, std::regex("lightd: SCPI on (\\S+) port (\\d+), device (.*)"))) << first;
        EXPECT_EQ(m[3].str(), link.path());
        port = static_cast<uint16_t>(std::stoi(m[2].str()));
        const std::string second = lightd->line();
        ASSERT_TRUE(std::regex_match(second, std::regex("lightd: HTTP on (\\S+) port (\\d+), web page from (.*)")))
            << second;
        if (waitForDevice) {
            EXPECT_EQ(lightd->line(), "lightd: device " + link.path() + " connected (model 0xFFAA0400, version 66051)");
        }
    }

    // Asks until the answer is `expected` (the device state catches up).
    bool answersEventually(LineClient &client, const std::string &query, const std::string &expected,
                           int timeoutMs = 10000) {
        std::string last;
        const bool ok = waitUntil([&] { return (last = answerOf(client, query, 2000)) == expected; }, timeoutMs);
        if (!ok) ADD_FAILURE() << query << " answered " << last;
        return ok;
    }

    VirtualLightSource sim{fixedTemps()};
    PortLink link;
    std::unique_ptr<Child> lightd;
    uint16_t port = 0;
    bool waitForDevice = true;
};

TEST_F(LightdProgram, ServesScpiAndStopsCleanlyOnSigtermAndSigint) {
    for (int sig : {SIGTERM, SIGINT}) {
        startLightd();
        LineClient client(port);
        ASSERT_TRUE(client.connected());
        EXPECT_EQ(client.query("*IDN?"), "DALU,4-colour,0,1.2.3/2.1.0");
        LineClient idle(port);  // a client still connected at the end
        ASSERT_TRUE(idle.connected());
        EXPECT_EQ(lightd->finish(sig), 0);
        EXPECT_EQ(lightd->line(), sig == SIGTERM ? "lightd: SIGTERM, stopping" : "lightd: SIGINT, stopping");
        EXPECT_EQ(idle.line(), "<eof>");
        LineClient refused(port);  // nothing listens any more
        EXPECT_FALSE(refused.connected());
    }
}

TEST_F(LightdProgram, QueriesOfSettingsNeverReachTheDevice) {
    startLightd();
    LineClient client(port);
    ASSERT_EQ(client.query("SOUR1:POW 33;POW?"), "33");
    ASSERT_TRUE(waitUntil([&] { return sim.state().ledBrightness[0] == 33; }));
    sim.clearReceivedFrames();
    for (int i = 0; i < 200; ++i) ASSERT_EQ(client.query("SOUR1:POW?;:OUTP?;SOUR:MODE?"), "33;1;NORM");
    for (const CmdPkg &f : sim.receivedFrames()) EXPECT_EQ(f.cmd, 0x9000) << std::hex << f.cmd;  // the poll only
}

struct BadStart {
    std::vector<std::string> args;
    int status;
    const char *line;
};

TEST(LightdOptions, RefusesToStartWithoutWhatItNeeds) {
    const std::string tokenFile = "/tmp/lightd-test-token-" + std::to_string(::getpid());
    { std::ofstream(tokenFile) << "  \n"; }
    const BadStart rows[] = {
        {{"--device", "/dev/null", "--listen", "0.0.0.0"}, 2,
         "lightd: listening on 0.0.0.0 (not loopback) needs --token or --token-file; refusing to start"},
        {{"--device", "/dev/null", "--listen", "192.168.1.2"}, 2,
         "lightd: listening on 192.168.1.2 (not loopback) needs --token or --token-file; refusing to start"},
        {{"--device", "/dev/null", "--token", ""}, 2, "lightd: the token is empty"},
        {{"--device", "/dev/null", "--token-file", tokenFile}, 2, "lightd: the token is empty"},
        {{"--device", "/dev/null", "--listen", "not-an-address", "--token", "t", "--scpi-port", "0"}, 1,
         "lightd: SCPI: not an IP address: not-an-address"},
    };
    for (const BadStart &row : rows) {
        std::vector<std::string> args = {LIGHTD_PROGRAM};
        args.insert(args.end(), row.args.begin(), row.args.end());
        Child c(args);
        EXPECT_EQ(c.line(), row.line);
        EXPECT_EQ(c.finish(0), row.status);
    }
    std::remove(tokenFile.c_str());
}

TEST(LightdOptions, UsageErrorsExitTwoWithOneLineAndHelpAndVersionZero) {
    struct Row {
        std::vector<std::string> args;
        int status;
        std::string firstLine;  // its beginning
    };
    const Row rows[] = {
        {{}, 2, "lightd: --device is required"},
        {{"--device", "/dev/null", "--bogus"}, 2, "lightd: The following argument was not expected: --bogus"},
        {{"--device", "/dev/null", "--poll-ms", "10"}, 2, "lightd: --poll-ms: Value 10 not in range"},
        {{"--device", "/dev/null", "--poll-ms", "soon"}, 2, "lightd: --poll-ms: Value soon not in range"},
        {{"--device", "/dev/null", "--idle-timeout", "86401"}, 2, "lightd: --idle-timeout: Value 86401 not in range"},
        {{"--version"}, 0, "lightd 2."},
        {{"--help"}, 0, "lightd: owns the light source's serial port"},
    };
    for (const Row &row : rows) {
        std::vector<std::string> args = {LIGHTD_PROGRAM};
        args.insert(args.end(), row.args.begin(), row.args.end());
        Child c(args);
        const std::string first = c.line();
        EXPECT_EQ(first.substr(0, row.firstLine.size()), row.firstLine) << first;
        if (row.status == 2) {
            EXPECT_EQ(c.line(), "Run 'lightd --help' for the options.");
        }
        EXPECT_EQ(c.finish(0), row.status) << first;
    }
}

TEST_F(LightdProgram, PortInUseIsAClearError) {
    startLightd();
    Child second({LIGHTD_PROGRAM, "--device", link.path(), "--scpi-port", std::to_string(port), "--http-port", "0"});
    EXPECT_EQ(second.line().rfind("lightd: SCPI: cannot listen on 127.0.0.1 port " + std::to_string(port) + ": ", 0),
              0u);
    EXPECT_EQ(second.finish(0), 1);
}

// The library's lines stay as they are; lightd's log adds the plain reason.
TEST_F(LightdProgram, DeviceThatWillNotOpenIsLoggedInPlainWords) {
    startLightd();
    Child second({LIGHTD_PROGRAM, "--device", link.path(), "--scpi-port", "0", "--http-port", "0", "--no-announce"});
    std::string logged;
    for (std::string line; logged.empty() && !(line = second.line()).empty();) {
        if (line.rfind("lightd: device ", 0) == 0) logged = line;
    }
    EXPECT_NE(logged.find("failed with error " + std::to_string(EWOULDBLOCK) + "."), std::string::npos) << logged;
    const std::string plain = "UART_Open failed!: the port is in use by another program";
    EXPECT_TRUE(logged.size() > plain.size() && logged.substr(logged.size() - plain.size()) == plain) << logged;
    EXPECT_EQ(second.finish(SIGTERM), 0);
}

TEST_F(LightdProgram, TokenFromAFileProtectsChangesUntilGiven) {
    const std::string tokenFile = "/tmp/lightd-test-token2-" + std::to_string(::getpid());
    { std::ofstream(tokenFile) << "s3cret\n"; }
    startLightd({"--listen", "0.0.0.0", "--token-file", tokenFile});
    LineClient client(port);
    EXPECT_EQ(answerOf(client, "SOUR1:POW 5;POW?"), kNothing);
    EXPECT_EQ(client.query("SYST:ERR?"), "-203,\"Command protected;send SYSTem:PASSword first\"");
    EXPECT_EQ(client.query("SYST:PASS \"s3cret\";:SOUR1:POW 5;POW?"), "5");
    EXPECT_TRUE(waitUntil([&] { return sim.state().ledBrightness[0] == 5; }));
    LineClient other(port);  // the password is per connection
    EXPECT_EQ(answerOf(other, "OUTP OFF;OUTP?"), kNothing);
    EXPECT_EQ(other.query("OUTP?"), "1");
    std::remove(tokenFile.c_str());
}

TEST_F(LightdProgram, SilentClientDelaysNobody) {
    startLightd();
    LineClient silent(port);
    LineClient halfLine(port);
    ASSERT_TRUE(halfLine.send("SOUR1:PO"));
    LineClient client(port);
    for (int i = 0; i < 100; ++i) ASSERT_EQ(client.query("*OPC?", 2000), "1");
    ASSERT_TRUE(halfLine.send("W?\n"));
    EXPECT_EQ(halfLine.line(), "0");
    EXPECT_EQ(silent.query("*OPC?"), "1");
}

TEST_F(LightdProgram, MegabyteOfGarbageLeavesEveryConnectionUsable) {
    startLightd();
    LineClient garbage(port);
    LineClient client(port);
    std::mt19937 random(7);
    std::string bytes(1 << 20, '\0');
    for (char &b : bytes) {
        b = static_cast<char>(random() & 0xFF);
        if (b == '?') b = '!';  // garbage asks nothing, so nothing comes back
    }
    std::thread sender([&] { garbage.send(bytes); });
    for (int i = 0; i < 50; ++i) ASSERT_EQ(client.query("SOUR1:POW?", 2000), "0");
    sender.join();
    EXPECT_EQ(garbage.query("\n*CLS;*IDN?", 10000), "DALU,4-colour,0,1.2.3/2.1.0");
    EXPECT_EQ(garbage.query("SYST:ERR?"), "0,\"No error\"");
    EXPECT_EQ(sim.state().ledBrightness[0], 0);
}

TEST_F(LightdProgram, LineOverOneKibibyteIsRefusedAndTheConnectionGoesOn) {
    startLightd();
    LineClient client(port);
    EXPECT_EQ(client.query(std::string(1025, 'A') + "\n*OPC?"), "1");
    EXPECT_EQ(client.query("SYST:ERR?"), "-223,\"Too much data;line longer than 1024 bytes\"");
    EXPECT_EQ(client.query(std::string(1019, ' ') + "*OPC?"), "1");  // exactly 1024 bytes
    EXPECT_EQ(client.query("SYST:ERR?"), "0,\"No error\"");
}

// What a web page can make a browser send to the SCPI port, and variants.
TEST_F(LightdProgram, HttpOnTheScpiPortIsClosedWithNothingRun) {
    SimDeviceState off;
    off.globalEnable = 0;
    sim.setState(off);
    startLightd();
    const std::string body = "\nOUTP ON;:SOUR1:STAT ON;POW 100\n";
    const std::string rows[] = {
        // fetch("http://127.0.0.1:5025/", {method: "POST", mode: "no-cors", body})
        "POST / HTTP/1.1\r\nHost: 127.0.0.1:5025\r\nConnection: keep-alive\r\nContent-Length: " +
            std::to_string(body.size()) +
            "\r\nOrigin: http://evil.example\r\nContent-Type: text/plain;charset=UTF-8\r\n\r\n" + body,
        "GET /" + std::string(2000, 'a') + " HTTP/1.1\r\n\r\n" + body,  // over the line limit, no Host
        "Origin: http://evil.example\r\n" + body,                          // a header line alone
        "*IDN?\nHost: x\n" + body,  // behind an SCPI line
    };
    for (const std::string &bytes : rows) {
        LineClient browser(port);
        ASSERT_TRUE(browser.send(bytes));
        std::string line;
        do {
            line = browser.line();
        } while (line == "DALU,4-colour,0,1.2.3/2.1.0");  // the last row's *IDN? may have run
        EXPECT_EQ(line, "<eof>") << bytes.substr(0, 40);
    }
    sim.clearReceivedFrames();
    LineClient client(port);
    ASSERT_EQ(client.query("SOUR2:POW 7;POW?"), "7");  // behind anything else sent to the device
    std::vector<CmdPkg> writes;
    // The light source notes a frame after it has answered it.
    waitUntil([&] {
        writes.clear();
        for (const CmdPkg &f : sim.receivedFrames()) {
            if (f.cmd != 0x9000) writes.push_back(f);  // the temperature poll
        }
        return !writes.empty();
    });
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0].cmd, 0x0102);
    EXPECT_EQ(std::vector<uint8_t>(writes[0].data, writes[0].data + writes[0].len), (std::vector<uint8_t>{1, 0, 7}));
    EXPECT_EQ(sim.state().globalEnable, 0);
    EXPECT_EQ(sim.state().ledChecked[0], 0);
    EXPECT_EQ(sim.state().ledBrightness[0], 0);
}

TEST_F(LightdProgram, SilentClientIsClosedAfterTheIdleTimeoutAndItsPlaceComesBack) {
    startLightd({"--idle-timeout", "1", "--max-clients", "2"});
    LineClient talking(port);
    ASSERT_EQ(talking.query("*OPC?"), "1");
    LineClient silent(port);
    LineClient refused(port);  // one over the limit
    EXPECT_EQ(refused.line(), "ERROR: lightd: too many clients (limit 2), connection closed");
    // The talking client connected first: had its activity not counted, it
    // would be closed first.
    bool closed = false;
    for (int i = 0; i < 50 && !closed; ++i) {
        ASSERT_EQ(talking.query("*OPC?"), "1");
        closed = silent.line(200) == "<eof>";
    }
    ASSERT_TRUE(closed);
    LineClient next(port);
    EXPECT_EQ(next.query("*OPC?"), "1");
    EXPECT_EQ(talking.query("*OPC?"), "1");
}

// The timer field ("tr:tm->when") of lightd's end of a loopback connection
// in /proc/net/tcp, or "" when there is no such connection.
std::string serverEndTimer(uint16_t serverPort, uint16_t clientPort) {
    char ours[8], theirs[8];
    std::snprintf(ours, sizeof ours, ":%04X", serverPort);
    std::snprintf(theirs, sizeof theirs, ":%04X", clientPort);
    std::ifstream table("/proc/net/tcp");
    std::string line;
    std::getline(table, line);  // the heading
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state, queues, timer;
        fields >> slot >> local >> remote >> state >> queues >> timer;
        const auto endsWith = [](const std::string &text, const char *tail) {
            return text.size() >= 5 && text.compare(text.size() - 5, 5, tail) == 0;
        };
        if (endsWith(local, ours) && endsWith(remote, theirs)) return timer;
    }
    return "";
}

// The kernel's view of lightd's end of the connection: its keep-alive timer
// is armed, for a minute rather than the system's default two hours.
TEST_F(LightdProgram, ScpiConnectionsProbeTheirClientsWithKeepAlive) {
    startLightd();
    LineClient client(port);
    ASSERT_EQ(client.query("*OPC?"), "1");
    std::string timer;
    waitUntil([&] { return (timer = serverEndTimer(port, client.localPort())).rfind("02:", 0) == 0; });
    ASSERT_EQ(timer.substr(0, 3), "02:") << timer;  // 02: the keep-alive timer
    EXPECT_LE(std::stol(timer.substr(3), nullptr, 16), 60 * ::sysconf(_SC_CLK_TCK)) << timer;
}

TEST_F(LightdProgram, ClientsOverTheLimitAreToldAndClosed) {
    startLightd({"--max-clients", "2"});
    auto first = std::make_unique<LineClient>(port);
    LineClient second(port);
    ASSERT_EQ(first->query("*OPC?"), "1");
    ASSERT_EQ(second.query("*OPC?"), "1");
    LineClient third(port);
    EXPECT_EQ(third.line(), "ERROR: lightd: too many clients (limit 2), connection closed");
    EXPECT_EQ(third.line(), "<eof>");
    first.reset();
    EXPECT_TRUE(waitUntil([&] {
        LineClient next(port);
        return next.query("*OPC?", 2000) == "1";
    }));
}

TEST_F(LightdProgram, SilentDeviceIsAHardwareErrorUntilItAnswersAgain) {
    startLightd();
    LineClient client(port);
    ASSERT_EQ(client.query("SOUR2:POW 12;POW?"), "12");
    SimFaults silent;
    silent.silent = true;
    sim.setFaults(silent);
    ASSERT_TRUE(waitUntil([&] { return answerOf(client, "*CLS;SOUR2:POW?", 2000) == kNothing; }, 10000));
    const std::string error = client.query("SYST:ERR?");
    EXPECT_EQ(error.rfind("-240,\"Hardware error;device not connected: ", 0), 0u) << error;
    EXPECT_NE(error.find("timeout."), std::string::npos) << error;
    EXPECT_EQ(answerOf(client, "SOUR2:POW 13;*OPC?"), kNothing);
    EXPECT_EQ(client.query("SYST:ERR?").rfind("-240,", 0), 0u);
    EXPECT_EQ(sim.state().ledBrightness[1], 12);  // nothing sent while disconnected

    sim.setFaults(SimFaults{});
    answersEventually(client, "SOUR2:POW?", "12");
    EXPECT_EQ(client.query("SOUR2:POW 13;POW?"), "13");
}

TEST_F(LightdProgram, VerboseShowsTheLibraryLinesAndTheClients) {
    startLightd({"-v"});
    {
        LineClient client(port);
        ASSERT_EQ(client.query("*OPC?"), "1");
    }
    SimFaults silent;
    silent.silent = true;
    sim.setFaults(silent);
    std::vector<std::string> lines;
    const std::string timeout = "lightd: library: [info ] <DOCMD_SendAndWaitRecvCmd> recv cmd(0x9000) timeout.";
    ASSERT_TRUE(waitUntil([&] {
        lines.push_back(lightd->line(200));
        return lines.back() == timeout;
    }, 10000));
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const std::string &l) {
        return std::regex_match(l, std::regex("lightd: SCPI client 127\\.0\\.0\\.1:\\d+ closed"));
    }));
    EXPECT_TRUE(std::regex_match(lines.front(), std::regex("lightd: SCPI client 127\\.0\\.0\\.1:\\d+ connected")))
        << lines.front();
}

TEST_F(LightdProgram, PtyClosedAndServedAgainAtTheSamePathIsReadAgain) {
    startLightd();
    LineClient client(port);
    ASSERT_EQ(client.query("SOUR3:POW 40;POW?"), "40");
    sim.stop();
    link.remove();
    ASSERT_TRUE(waitUntil([&] { return answerOf(client, "*CLS;SOUR3:POW?", 2000) == kNothing; }, 10000));
    EXPECT_EQ(client.query("SYST:ERR?").rfind("-240,\"Hardware error;device not connected: ", 0), 0u);

    SimDeviceState changed;  // the device came back with other settings
    changed.ledBrightness[2] = 77;
    changed.workMode = 1;
    sim.setState(changed);
    ASSERT_TRUE(sim.start()) << sim.errorText();
    ASSERT_TRUE(link.pointTo(sim.portPath()));
    answersEventually(client, "SOUR3:POW?", "77");
    EXPECT_EQ(client.query("SOUR:MODE?"), "TTL");
}

}  // namespace
