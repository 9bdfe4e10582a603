// Runs arbitrary text through lightd's SCPI parser and a session over a fake
// device, as the server would (lines cut at '\n' and a '\r' before it, at
// most 1 KiB each, the connection closed at a line that looks like HTTP), and
// holds the session's promises on every input.
//
// Input: one flags byte, then the lines. Flags: bit 0 a token ("t") is
// configured, bit 1 the device is disconnected, bit 2 every write fails,
// bit 3 temperatures are not read yet.
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "FakeScpiDevice.h"
#include "ScpiParser.h"
#include "ScpiSession.h"

namespace {

[[noreturn]] void fail(const char *what) {
    std::fprintf(stderr, "fuzz_scpi: invariant broken: %s\n", what);
    std::abort();
}

void check(bool ok, const char *what) {
    if (!ok) fail(what);
}

constexpr size_t kMaxLine = 1024;

// True when the parser refuses the line (a command error in some unit).
bool checkUnits(std::string_view line) {
    bool refused = false;
    for (const lightd::ScpiUnit &unit : lightd::parseScpiLine(line)) {
        if (unit.error != 0) {
            check(unit.error < 0, "error codes are negative");
            refused = true;
            continue;
        }
        check(unit.def != nullptr, "a unit without error names its command");
        const bool suffixed = std::string_view(unit.def->pattern).find('#') != std::string_view::npos;
        check(suffixed ? unit.channel >= 0 && unit.channel < lightd::kChannelCount : unit.channel == -1,
              "channel present exactly for the SOURce# commands, within 0..3");
        if (unit.def->command == lightd::ScpiCommand::Setting && !unit.query)
            check(lightd::settingInRange(unit.setting()), "a parsed setting is in range");
    }
    return refused;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) { return 0; }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) return 0;
    const uint8_t flags = data[0];
    const std::string_view text(reinterpret_cast<const char *>(data + 1), size - 1);

    lightd::FakeScpiDevice device;
    const bool locked = (flags & 1) != 0;
    device.s.connected = (flags & 2) == 0;
    if (flags & 4) device.failWith = "[error] <UART_SendBytes:1> WriteFile failed with error 5.";
    if (flags & 8) {
        for (auto &c : device.s.channels) c.temperatureKnown = false;
    }
    lightd::ScpiSession session(device, locked ? "t" : "");

    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(start, end - start);
        start = end + 1;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (line.size() > kMaxLine) {
            if (lightd::looksLikeHttp(line.substr(0, kMaxLine))) break;
            session.queueError(lightd::scpi_error::kTooMuchData);
            continue;
        }
        const bool refused = checkUnits(line);
        if (lightd::looksLikeHttp(line)) {
            check(refused, "no valid SCPI line looks like HTTP");
            break;
        }
        const size_t sentBefore = device.applied.size();
        const int triggersBefore = device.triggers;
        const size_t errorsBefore = session.errorCount();
        int calls = 0;
        std::string answer;
        session.execute(line, [&](std::string a) {
            ++calls;
            answer = std::move(a);
        });
        check(calls == 1, "every line is answered exactly once");
        check(answer.find('\n') == std::string::npos, "an answer is one line");
        check(session.errorCount() <= lightd::ScpiSession::kErrorQueueSize, "error queue bounded");
        check(session.errorCount() <= errorsBefore + 1, "at most one error per line");
        if (refused) {
            check(device.applied.size() == sentBefore && device.triggers == triggersBefore,
                  "a refused line sends nothing");
            check(answer.empty(), "a refused line answers nothing");
        }
        // A failed *TST? answers 1 and queues its -330; nothing else answers and queues.
        std::string upperLine(line);
        for (char &c : upperLine) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        const bool selfTest = upperLine.find("*TST") != std::string::npos;
        if (!answer.empty() && !selfTest)
            check(session.errorCount() <= errorsBefore, "a line that answers queued no error");
        check(((session.statusByte() & lightd::scpi_status::kErrorQueue) != 0) == (session.errorCount() > 0),
              "the status byte's error bit follows the queue");
    }
    for (const lightd::Setting &s : device.applied) check(lightd::settingInRange(s), "only valid writes reach the device");
    if (!device.s.connected) check(device.applied.empty() && device.triggers == 0, "nothing sent while disconnected");
    if (locked && !session.unlocked())
        check(device.applied.empty() && device.triggers == 0, "nothing sent while locked");
    while (session.errorCount() > 0) {
        const std::string e = session.nextError();
        check(e.size() > 3 && e[0] == '-' && e.back() == '"', "errors read as code,\"text\"");
    }
    return 0;
}
