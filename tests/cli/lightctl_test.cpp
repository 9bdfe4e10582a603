// lightctl as a user runs it: the built program against the virtual light
// source, checked by exit code, standard output and error, and the device's
// state and received frames afterwards.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <fstream>
#include <regex>
#include <sstream>

#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <unistd.h>

#include "VirtualLightSource.h"
#include "child_process.h"
#include "frames.h"

using nlohmann::json;

namespace {

// A state every field of which differs from the defaults and from the others.
SimDeviceState presetState() {
    SimDeviceState s;
    s.workMode = 2;
    s.globalEnable = 1;
    s.ledChecked[1] = 1;
    s.ledBrightness[0] = 10;
    s.ledBrightness[1] = 40;
    s.ttlOutputEnable = 1;
    s.ttlDelayMs = 250;
    s.edgeDelayMs = 12;
    s.edgePulseMs[2] = 300;
    s.trigOutputEnable = 1;
    s.trigDelayMs = 5;
    s.trigHighMs = 100;
    s.trigLowMs = 200;
    s.trigPulseNum = 7;
    return s;
}

std::string stateText(const SimDeviceState &s) {
    std::ostringstream o;
    o << "mode " << +s.workMode << " global " << +s.globalEnable << " leds";
    for (int i = 0; i < 4; ++i) o << ' ' << +s.ledChecked[i] << '/' << s.ledBrightness[i];
    o << " ttl " << +s.ttlOutputEnable << '/' << s.ttlDelayMs << " edge " << s.edgeDelayMs;
    for (int i = 0; i < 4; ++i) o << '/' << s.edgePulseMs[i];
    o << " internal " << +s.trigOutputEnable << '/' << s.trigDelayMs << '/' << s.trigHighMs << '/' << s.trigLowMs
      << '/' << +s.trigPulseNum << " triggers " << s.triggerCount;
    return o.str();
}

// "0102:01 00 28": command code, then the payload.
std::string frameText(const CmdPkg &p) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "%04X:", p.cmd);
    std::string text = buf;
    for (int i = 0; i < p.len; ++i) {
        std::snprintf(buf, sizeof buf, i == 0 ? "%02X" : " %02X", p.data[i]);
        text += buf;
    }
    return text;
}

class LightctlTest : public ::testing::Test {
protected:
    void SetUp() override {
        SimOptions options;
        options.fixedTemps = true;
        sim = std::make_unique<VirtualLightSource>(options);
        ASSERT_TRUE(sim->start()) << sim->errorText();
        sim->setFixedTemperature(1, 30.5f, false);
        sim->setFixedTemperature(2, -2.0f, false);
        sim->setFixedTemperature(3, 70.0f, true);
        reset();
    }

    void reset() {
        sim->setFaults({});
        sim->setState(presetState());
        sim->clearReceivedFrames();
    }

    ChildResult run(std::vector<std::string> args, const std::string &input = {}) {
        args.insert(args.begin(), {"--port", sim->portPath()});
        return runLightctl(args, input);
    }

    // The frames that reached the device. A frame of our own goes last, so
    // that whatever the child wrote before it exited has been taken in. It
    // is written on a plainly opened port: the library's open flushes the
    // line, and on a pty that reaches bytes the source has not read yet.
    std::vector<std::string> framesSent() {
        // A code the device ignores and lightctl never sends.
        const Bytes marker = frameOf(0x7E7E, {0x4D});
        const int fd = open(sim->portPath().c_str(), O_RDWR | O_NOCTTY);
        EXPECT_GE(fd, 0);
        EXPECT_EQ(write(fd, marker.data(), marker.size()), static_cast<ssize_t>(marker.size()));
        close(fd);
        // Since the last call: its marker and what came before it are let go.
        std::vector<std::string> frames;
        for (size_t n = 1; sim->waitForFrames(n, 5000); ++n) {
            frames.clear();
            for (const CmdPkg &p : sim->receivedFrames()) frames.push_back(frameText(p));
            if (!frames.empty() && frames.back() == "7E7E:4D") {
                sim->clearReceivedFrames();
                frames.pop_back();
                return frames;
            }
        }
        ADD_FAILURE() << "the marker frame did not arrive";
        return frames;
    }

    std::unique_ptr<VirtualLightSource> sim;
};

const std::string kChannelHeader = "Channel  Name    Enable  Brightness  Temperature  Alarm\n";

TEST_F(LightctlTest, ShowCommandsPrintTheDeviceValues) {
    const struct {
        std::vector<std::string> args;
        std::string out;
    } cases[] = {
        {{"info"}, "Model:     0xFFAA0400 (4-colour)\nFirmware:  1.2.3 (0x00010203)\nSDK:       2.1.0 (20100)\n"},
        {{"mode"}, "edge\n"},
        {{"led", "1"}, kChannelHeader + "1        LED480  on      40 %        30.50 C      -\n"},
        {{"led", "led640"}, kChannelHeader + "3        LED640  off     0 %         70.00 C      ALARM\n"},
        {{"ttl"}, "output on, delay 250 ms\n"},
        {{"edge"}, "delay 12 ms, pulse LED385 0 ms, LED480 0 ms, LED550 300 ms, LED640 0 ms\n"},
        {{"internal"}, "output on, delay 5 ms, high 100 ms, low 200 ms, count 7\n"},
        {{"status"},
         "Global enable:  on\nWork mode:      edge (2)\n\n" + kChannelHeader +
             "0        LED385  off     10 %        25.00 C      -\n"
             "1        LED480  on      40 %        30.50 C      -\n"
             "2        LED550  off     0 %         -2.00 C      -\n"
             "3        LED640  off     0 %         70.00 C      ALARM\n\n"
             "TTL:       output on, delay 250 ms\n"
             "Edge:      delay 12 ms, pulse LED385 0 ms, LED480 0 ms, LED550 300 ms, LED640 0 ms\n"
             "Internal:  output on, delay 5 ms, high 100 ms, low 200 ms, count 7\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.args[0]);
        reset();
        ChildResult r = run(c.args);
        EXPECT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(stateText(sim->state()), stateText(presetState()));
    }
}

TEST_F(LightctlTest, SetCommandsChangeTheDeviceAndPrintNothing) {
    const struct {
        std::vector<std::string> args;
        void (*change)(SimDeviceState &);
        std::vector<std::string> frames;
    } cases[] = {
        {{"off"}, [](SimDeviceState &s) { s.globalEnable = 0; }, {"0002:00"}},
        {{"on"}, [](SimDeviceState &s) { s.globalEnable = 1; }, {"0002:01"}},
        {{"mode", "TTL"}, [](SimDeviceState &s) { s.workMode = 1; }, {"0001:01"}},
        {{"mode", "sequence"}, [](SimDeviceState &s) { s.workMode = 4; }, {"0001:04"}},
        // Values before switching on; switching off before the values.
        {{"led", "LED385", "on", "--brightness", "100"},
         [](SimDeviceState &s) { s.ledChecked[0] = 1, s.ledBrightness[0] = 100; },
         {"0102:00 00 64", "0101:00 01"}},
        {{"led", "1", "off", "-b", "5"},
         [](SimDeviceState &s) { s.ledChecked[1] = 0, s.ledBrightness[1] = 5; },
         {"0101:01 00", "0102:01 00 05"}},
        {{"led", "1", "off"}, [](SimDeviceState &s) { s.ledChecked[1] = 0; }, {"0101:01 00"}},
        {{"led", "3", "-b", "0"}, [](SimDeviceState &s) { s.ledBrightness[3] = 0; }, {"0102:03 00 00"}},
        {{"ttl", "--output", "off", "--delay", "5000"},
         [](SimDeviceState &s) { s.ttlOutputEnable = 0, s.ttlDelayMs = 5000; },
         {"0201:00", "0202:13 88"}},
        {{"ttl", "--output", "on", "--delay", "7"},
         [](SimDeviceState &s) { s.ttlOutputEnable = 1, s.ttlDelayMs = 7; },
         {"0202:00 07", "0201:01"}},
        {{"edge", "--delay", "010", "--pulse", "led480=20", "--pulse", "3=4"},
         [](SimDeviceState &s) { s.edgeDelayMs = 10, s.edgePulseMs[1] = 20, s.edgePulseMs[3] = 4; },
         {"0301:00 0A", "0302:01 00 14", "0302:03 00 04"}},
        {{"internal", "--output", "off", "--delay", "1", "--high", "2", "--low", "3", "--count", "100"},
         [](SimDeviceState &s) { s.trigOutputEnable = 0, s.trigDelayMs = 1, s.trigHighMs = 2, s.trigLowMs = 3, s.trigPulseNum = 100; },
         {"0401:00", "0402:00 01", "0403:00 02", "0404:00 03", "0405:64"}},
        {{"internal", "--count", "2", "--output", "on"},
         [](SimDeviceState &s) { s.trigOutputEnable = 1, s.trigPulseNum = 2; },
         {"0405:02", "0401:01"}},
        {{"trigger"}, [](SimDeviceState &s) { s.triggerCount = 1; }, {"0406:"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.args[0]);
        reset();
        ChildResult r = run(c.args);
        EXPECT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(framesSent(), c.frames);
        SimDeviceState expected = presetState();
        c.change(expected);
        EXPECT_EQ(stateText(sim->state()), stateText(expected));
    }
}

TEST_F(LightctlTest, UsageErrorsExitTwoAndSendNothing) {
    const struct {
        std::vector<std::string> args;
        std::string err;  // the whole line, as a regex
    } cases[] = {
        {{"frobnicate"}, "unknown command 'frobnicate' \\(see lightctl --help\\)"},
        {{}, "A subcommand is required.*"},
        {{"led"}, "channel is required.*"},
        {{"led", "4"},
         "channel: '4' is not a channel \\(0..3, LED385, LED480, LED550, LED640\\) \\(see lightctl led --help\\)"},
        {{"led", "LED999", "on"}, "channel: 'LED999' is not a channel.*"},
        {{"led", "0", "maybe"}, "state: .*maybe.*"},
        {{"led", "0", "on", "-b", "12abc"}, "--brightness: '12abc' is not a whole number.*"},
        {{"led", "0", "on", "-b", "101"}, "--brightness: 101 is out of range \\(0 to 100\\).*"},
        {{"led", "0", "on", "extra"}, "The following argument was not expected: extra.*"},
        {{"led", "0", "-b", "0x10"}, "--brightness: '0x10' is not a whole number.*"},
        {{"mode", "fast"}, "mode: .*fast.*"},
        {{"ttl", "--delay", "5001"}, "--delay: 5001 is out of range \\(0 to 5000\\).*"},
        {{"ttl", "--delay=-1"}, "--delay: -1 is out of range \\(0 to 5000\\).*"},
        {{"ttl", "--output", "yes"}, "--output: .*yes.*"},
        {{"edge", "--pulse", "4=10"}, "--pulse: '4' is not a channel.*"},
        {{"edge", "--pulse", "0=abc"}, "--pulse: 'abc' is not a whole number.*"},
        {{"edge", "--pulse", "0"}, "--pulse: '0' is not CH=MS.*"},
        {{"internal", "--count", "101"}, "--count: 101 is out of range \\(0 to 100\\).*"},
        {{"internal", "--high", "1.5"}, "--high: '1.5' is not a whole number.*"},
        {{"watch", "--interval", "0"}, "--interval: 0 is out of range \\(0.01 to 86400 seconds\\).*"},
        // With a count, so that a watch that wrongly starts still ends.
        {{"watch", "--count", "2", "--interval", "nan"},
         "--interval: 'nan' is not a number of seconds \\(see lightctl watch --help\\)"},
        {{"watch", "--count", "2", "--interval", "inf"}, "--interval: 'inf' is not a number of seconds.*"},
        {{"watch", "--count", "2", "--interval=-inf"}, "--interval: '-inf' is not a number of seconds.*"},
        {{"watch", "--count", "2", "--interval=-1"}, "--interval: -1 is out of range.*"},
        {{"watch", "--count", "0"}, "--count: 0 is out of range.*"},
        {{"run", "/nonexistent/script"}, "cannot read script /nonexistent/script: no such file or directory"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.args.empty() ? "(none)" : c.args[0] + (c.args.size() > 1 ? " " + c.args[1] : ""));
        reset();
        ChildResult r = run(c.args);
        EXPECT_EQ(r.exitCode, 2);
        EXPECT_EQ(r.out, "");
        EXPECT_TRUE(std::regex_match(r.err, std::regex("lightctl: " + c.err + "\n"))) << r.err;
        EXPECT_EQ(framesSent(), std::vector<std::string>{});
    }
}

TEST_F(LightctlTest, APortIsNeededExceptForPorts) {
    ChildResult none = runLightctl({"info"});
    EXPECT_EQ(none.exitCode, 2);
    EXPECT_EQ(none.err, "lightctl: no port given: use --port PORT, --server URL or set LIGHTKIT_PORT\n");

    ChildResult fromEnv = runLightctl({"--json", "mode"}, "", {"LIGHTKIT_PORT=" + sim->portPath()});
    EXPECT_EQ(fromEnv.exitCode, 0) << fromEnv.err;
    EXPECT_EQ(json::parse(fromEnv.out), json({{"mode", "edge"}}));

    ChildResult ports = runLightctl({"--json", "ports"});
    EXPECT_EQ(ports.exitCode, 0) << ports.err;
    EXPECT_TRUE(json::parse(ports.out).is_array()) << ports.out;
}

TEST_F(LightctlTest, AMissingPortExitsThree) {
    ChildResult r = runLightctl({"--port", "/dev/lightctl-no-such-port", "info"});
    EXPECT_EQ(r.exitCode, 3);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "lightctl: cannot open /dev/lightctl-no-such-port: no such file or directory\n");
    // -v shows the library's own lines, unchanged, before lightctl's.
    ChildResult verbose = runLightctl({"-v", "--port", "/dev/lightctl-no-such-port", "info"});
    EXPECT_EQ(verbose.exitCode, 3);
    EXPECT_EQ(std::regex_replace(verbose.err, std::regex(":\\d+>"), ":N>"),
              "[error] <UART_Open:N> CreateFile (\"/dev/lightctl-no-such-port\") failed with error 2.\n"
              "[error] <DOCMD_Create:N> UART_Open failed!\n"
              "lightctl: cannot open /dev/lightctl-no-such-port: no such file or directory\n");
}

TEST_F(LightctlTest, ASilentDeviceExitsOneWithTheLibrarysReason) {
    SimFaults silent;
    silent.silent = true;
    const struct {
        std::vector<std::string> args;
        int exitCode;
        std::string err;
    } cases[] = {
        {{"info"}, 1, "lightctl: info: reading the device model failed: recv cmd(0xff00) timeout.\n"},
        {{"--json", "status"}, 1, "lightctl: status: reading the device model failed: recv cmd(0xff00) timeout.\n"},
        {{"led", "2"}, 1, "lightctl: led: reading the channel enable failed: recv cmd(0x8101) timeout.\n"},
        // Writes wait for no answer.
        {{"off"}, 0, ""},
        // With -v the library's own lines come first, on standard error only
        // (their source line numbers are the library's business).
        {{"-v", "mode"}, 1,
         "[info ] <DOCMD_SendAndWaitRecvCmd> recv cmd(0x8001) timeout.\n"
         "[error] <DOCMD_GetWorkMode:N> DOCMD_SendAndWaitRecvCmd, ret (-1) err!\n"
         "lightctl: mode: reading the work mode failed: recv cmd(0x8001) timeout.\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.args.back());
        reset();
        sim->setFaults(silent);
        ChildResult r = run(c.args);
        EXPECT_EQ(r.exitCode, c.exitCode);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(std::regex_replace(r.err, std::regex(":\\d+>"), ":N>"), c.err);
    }
}

TEST_F(LightctlTest, JsonOutputCarriesEveryValue) {
    ChildResult status = run({"--json", "status"});
    ASSERT_EQ(status.exitCode, 0) << status.err;
    // The state document, in lightd's names.
    const json s = json::parse(status.out);
    EXPECT_EQ(s["enabled"], true);
    EXPECT_EQ(s["mode"], "edge");
    EXPECT_EQ(s["connected"], true);
    EXPECT_EQ(s["port"], sim->portPath());
    EXPECT_EQ(s["model"], 0xFFAA0400u);
    EXPECT_EQ(s["model_name"], "4-colour");
    EXPECT_EQ(s["firmware_version"], 0x00010203);
    EXPECT_EQ(s["sdk_version"], 20100);
    ASSERT_EQ(s["channels"].size(), 4u);
    EXPECT_EQ(s["channels"][1], json({{"index", 1}, {"name", "LED480"}, {"enabled", true}, {"brightness", 40},
                                      {"temperature", 30.5}, {"over_temperature", false}, {"pulse_ms", 0}}));
    EXPECT_EQ(s["channels"][2]["temperature"], -2.0);
    EXPECT_EQ(s["channels"][2]["pulse_ms"], 300);
    EXPECT_EQ(s["channels"][3]["over_temperature"], true);
    EXPECT_EQ(s["ttl"], json({{"output_enabled", true}, {"delay_ms", 250}}));
    EXPECT_EQ(s["edge"], json({{"delay_ms", 12}}));
    EXPECT_EQ(s["internal"], json({{"output_enabled", true}, {"delay_ms", 5}, {"high_ms", 100}, {"low_ms", 200},
                                   {"pulse_count", 7}}));
    ChildResult edge = run({"--json", "edge"});
    EXPECT_EQ(json::parse(edge.out), json({{"delay_ms", 12}, {"pulse_ms", {0, 0, 300, 0}}}));

    // --json may also follow the command.
    ChildResult info = run({"info", "--json"});
    ASSERT_EQ(info.exitCode, 0) << info.err;
    EXPECT_EQ(json::parse(info.out), json({{"model", 0xFFAA0400u}, {"model_hex", "0xFFAA0400"},
                                           {"model_name", "4-colour"}, {"firmware_version", 0x00010203},
                                           {"firmware", "1.2.3"}, {"sdk_version", 20100}, {"sdk", "2.1.0"}}));

    ChildResult watch = run({"--json", "watch", "--count", "3", "--interval", "0.01"});
    ASSERT_EQ(watch.exitCode, 0) << watch.err;
    std::istringstream lines(watch.out);
    std::string line;
    int samples = 0;
    for (; std::getline(lines, line); ++samples) {
        const json w = json::parse(line);
        EXPECT_TRUE(std::regex_match(w["time"].get<std::string>(),
                                     std::regex("\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}")));
        EXPECT_EQ(w["channels"][3],
                  json({{"index", 3}, {"name", "LED640"}, {"temperature", 70.0}, {"over_temperature", true}}));
    }
    EXPECT_EQ(samples, 3);
}

TEST_F(LightctlTest, WatchPrintsOneLinePerSampleAndEndsOnCtrlC) {
    const std::string stamp = "\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3}";
    ChildResult text = run({"watch", "--count", "2", "--interval", "0.01"});
    EXPECT_EQ(text.exitCode, 0) << text.err;
    const std::string textLine =
        stamp + "  LED385  25.00 C  LED480  30.50 C  LED550  -2.00 C  LED640  70.00 C ALARM\n";
    EXPECT_TRUE(std::regex_match(text.out, std::regex(textLine + textLine))) << text.out;

    ChildResult csv = run({"watch", "--csv", "--count", "1"});
    EXPECT_EQ(csv.exitCode, 0) << csv.err;
    EXPECT_TRUE(std::regex_match(
        csv.out, std::regex("time,LED385_celsius,LED385_alarm,LED480_celsius,LED480_alarm,LED550_celsius,"
                            "LED550_alarm,LED640_celsius,LED640_alarm\n" +
                            stamp + ",25.00,0,30.50,0,-2.00,0,70.00,1\n")))
        << csv.out;

    ChildProcess endless({"--port", sim->portPath(), "watch", "--interval", "0.05"});
    ASSERT_TRUE(endless.readUntil([](const std::string &out) { return out.find('\n') != std::string::npos; }));
    endless.signal(SIGINT);
    ChildResult r = endless.finish();
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out.back(), '\n');
}

// A watch whose reader went away ends at once and frees the port, whether
// the pipe's signal kills it or, ignored (as under systemd), the write fails.
TEST_F(LightctlTest, WatchEndsWhenItsReaderIsGoneAndFreesThePort) {
    for (const bool ignoreSigpipe : {true, false}) {
        SCOPED_TRACE(ignoreSigpipe ? "SIGPIPE ignored" : "SIGPIPE default");
        ChildOutput output;
        output.ignoreSigpipe = ignoreSigpipe;
        ChildProcess watch({"--port", sim->portPath(), "watch", "--interval", "0.05"}, "", {}, output);
        ASSERT_TRUE(watch.readUntil([](const std::string &out) { return out.find('\n') != std::string::npos; }));

        ChildResult busy = run({"info"});
        EXPECT_EQ(busy.exitCode, 3);
        EXPECT_EQ(busy.err, "lightctl: cannot open " + sim->portPath() +
                                ": the port is in use by another program (lightd?)\n");

        watch.closeOutput();
        // Both streams end when it exits; one still polling after 20 s is killed.
        watch.readUntil([](const std::string &) { return false; });
        watch.signal(SIGKILL);
        ChildResult r = watch.finish();
        if (ignoreSigpipe) {
            EXPECT_EQ(r.exitCode, 4);
            EXPECT_EQ(r.err, "lightctl: watch: cannot write standard output: broken pipe\n");
        } else {
            EXPECT_EQ(r.exitCode, -1) << "not ended by its signal";
        }
        EXPECT_EQ(run({"mode"}).exitCode, 0) << "the port is still held";
    }
}

// Output that cannot be written is a failure, with its reason, never a 0.
TEST_F(LightctlTest, UnwritableOutputExitsFour) {
    const std::vector<std::vector<std::string>> cases = {
        {"info"}, {"--json", "status"}, {"ports"}, {"watch", "--count", "1"}, {"--json", "run", "-"}};
    for (const auto &args : cases) {
        SCOPED_TRACE(args[0] + " " + args[1 % args.size()]);
        std::vector<std::string> full = {"--port", sim->portPath()};
        full.insert(full.end(), args.begin(), args.end());
        ChildOutput output;
        output.path = "/dev/full";
        ChildResult r = ChildProcess(full, "mode\n", {}, output).finish();
        EXPECT_EQ(r.exitCode, 4);
        EXPECT_TRUE(std::regex_match(r.err, std::regex("lightctl: (\\S+: )*cannot write standard output: "
                                                       "no space left on device\n")))
            << r.err;
    }
}

TEST_F(LightctlTest, RunExecutesAScriptOnOneHandle) {
    const std::string script =
        "# switch on and show\n"
        "off\n"
        "mode internal   # inline comment\n"
        "\n"
        "led LED550 on --brightness 55\n"
        "internal --count 3\n"
        "mode\n"
        "led 2\n";
    const std::string path = ::testing::TempDir() + "lightctl_test_script.txt";
    std::ofstream(path) << script;
    const std::string expectedOut = "internal\n" + kChannelHeader + "2        LED550  on      55 %        -2.00 C      -\n";
    SimDeviceState expected = presetState();
    expected.globalEnable = 0;
    expected.workMode = 3;
    expected.ledChecked[2] = 1;
    expected.ledBrightness[2] = 55;
    expected.trigPulseNum = 3;

    for (const bool fromStdin : {false, true}) {
        SCOPED_TRACE(fromStdin ? "stdin" : "file");
        reset();
        ChildResult r = fromStdin ? run({"run", "-"}, script) : run({"run", path});
        EXPECT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(r.out, expectedOut);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(stateText(sim->state()), stateText(expected));
    }
    std::remove(path.c_str());
}

TEST_F(LightctlTest, RunChecksTheWholeScriptFirstAndStopsAtTheFirstFailure) {
    reset();
    ChildResult bad = run({"run", "-"}, "off\nmode internal\nled 9 on\n");
    EXPECT_EQ(bad.exitCode, 2);
    EXPECT_EQ(bad.err, "lightctl: <stdin>:3: channel: '9' is not a channel (0..3, LED385, LED480, LED550, LED640)\n");
    EXPECT_EQ(framesSent(), std::vector<std::string>{});

    ChildResult nested = run({"run", "-"}, "on\nrun -\n");
    EXPECT_EQ(nested.exitCode, 2);
    EXPECT_EQ(nested.err, "lightctl: <stdin>:2: unknown command 'run'\n");

    // The options of lightctl itself go before run and apply to every line.
    ChildResult global = run({"run", "-"}, "on\nstatus --json\n");
    EXPECT_EQ(global.exitCode, 2);
    EXPECT_EQ(global.err, "lightctl: <stdin>:2: --json is an option of lightctl itself: give it before run "
                          "(lightctl --json run -)\n");
    EXPECT_EQ(framesSent(), std::vector<std::string>{});
    ChildResult json = run({"--json", "run", "-"}, "mode\n");
    EXPECT_EQ(json.exitCode, 0) << json.err;
    EXPECT_EQ(json.out, "{\"mode\":\"edge\"}\n");

    // A silent device fails the read; the write after it is sent only with --keep-going.
    SimFaults silent;
    silent.silent = true;
    const std::string script = "mode ttl\nmode\noff\n";
    const struct {
        std::vector<std::string> args;
        std::vector<std::string> frames;
    } cases[] = {{{"run", "-"}, {"0001:01", "8001:", "8001:", "8001:", "8001:", "8001:"}},
                 {{"run", "--keep-going", "-"}, {"0001:01", "8001:", "8001:", "8001:", "8001:", "8001:", "0002:00"}}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.args.size());
        reset();
        sim->setFaults(silent);
        ChildResult r = run(c.args, script);
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "lightctl: <stdin>:2: mode: reading the work mode failed: recv cmd(0x8001) timeout.\n");
        EXPECT_EQ(framesSent(), c.frames);
    }
}

TEST_F(LightctlTest, HelpOnEveryLevelAndVersion) {
    const std::vector<std::string> commands = {"ports", "info",     "status",  "on",    "off", "mode", "led",
                                               "ttl",   "edge",     "internal", "trigger", "watch", "run"};
    ChildResult top = runLightctl({"--help"});
    EXPECT_EQ(top.exitCode, 0);
    for (const std::string &command : commands) {
        SCOPED_TRACE(command);
        EXPECT_NE(top.out.find("  " + command + " "), std::string::npos);
        ChildResult r = runLightctl({command, "--help"});
        EXPECT_EQ(r.exitCode, 0);
        EXPECT_NE(r.out.find("\nUsage: lightctl " + command + " [OPTIONS]"), std::string::npos) << r.out;
    }
    ChildResult version = runLightctl({"--version"});
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_EQ(version.out, "lightctl 2.1.0 (DALU_LightKit 20100)\n");
}

}  // namespace

TEST_F(LightctlTest, ApplyRestoresASavedStatusAndABadDocumentSendsNothing) {
    const ChildResult saved = run({"--json", "status"});
    ASSERT_EQ(saved.exitCode, 0) << saved.err;
    for (const std::vector<std::string> &change :
         {std::vector<std::string>{"off"}, {"led", "1", "off", "-b", "3"}, {"mode", "normal"}, {"ttl", "--delay", "9"}})
        ASSERT_EQ(run(change).exitCode, 0);
    ASSERT_NE(stateText(sim->state()), stateText(presetState()));
    sim->clearReceivedFrames();
    // From standard input: the saved document restores the set-up, the
    // global enable last.
    const ChildResult apply = run({"apply", "-"}, saved.out);
    EXPECT_EQ(apply.exitCode, 0) << apply.err;
    const std::vector<std::string> frames = framesSent();
    ASSERT_FALSE(frames.empty());
    EXPECT_EQ(frames.back(), "0002:01");  // global enable on, after everything else
    EXPECT_EQ(stateText(sim->state()), stateText(presetState()));

    const struct {
        std::string document;
        std::string err;
    } bad[] = {
        {R"({"enabled": false, "channels": [{"index": 0, "brightness": 101}]})",
         "lightctl: apply: -: LED385 brightness must be 0..100, not 101"},
        {R"({"enabled": 1})", "lightctl: apply: -: enabled must be true or false"},
        {R"({"enabled": false, "enabled": true})", "lightctl: apply: -: the field \"enabled\" is given twice"},
        {R"({"ttl": {"delay_ms": 9}, "colour": "red"})", "lightctl: apply: -: unknown field \"colour\""},
        {"not json", "lightctl: apply: -: .*"},
    };
    for (const auto &b : bad) {
        SCOPED_TRACE(b.document);
        sim->clearReceivedFrames();
        const ChildResult r = run({"apply", "-"}, b.document);
        EXPECT_EQ(r.exitCode, 2);
        EXPECT_TRUE(std::regex_search(r.err, std::regex("^" + b.err))) << r.err;
        EXPECT_EQ(framesSent(), std::vector<std::string>{});
    }
}
