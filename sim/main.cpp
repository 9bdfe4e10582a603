// lightsim: the virtual light source as a program. Serves a pseudo-terminal
// (or --port PATH) until Ctrl-C or SIGTERM.
#include <atomic>
#include <chrono>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "VirtualLightSource.h"

namespace {

volatile std::sig_atomic_t g_stop = 0;

void onSignal(int) { g_stop = 1; }

const char kHelp[] =
    "Usage: lightsim [options]\n"
    "\n"
    "The virtual light source: answers the light source's serial protocol so that\n"
    "the library, LightConsole and the tests run without hardware. By default it\n"
    "creates a pseudo-terminal and prints the name to open, for example\n"
    "  lightsim: serving /dev/pts/5 (model 0xffaa0400, version 0x00010203)\n"
    "Stop it with Ctrl-C or SIGTERM.\n"
    "\n"
    "Line and identity:\n"
    "  --port PATH          serve this existing serial port (raw 115200 8N1), for\n"
    "                       example one end of a socat pty pair, instead of a new pty\n"
    "  --model N            device model, decimal or 0x hex (default 0xFFAA0400;\n"
    "                       0xFFAA0800 is the eight-colour model; any 32-bit value)\n"
    "  --version N          software version (default 0x00010203, i.e. 1.2.3)\n"
    "  --fixed-temps LIST   fixed temperatures in degrees C for channels 0, 1, ...,\n"
    "                       e.g. 25.00,30.5,-2,70 (channels not listed: 25.00); the\n"
    "                       alarm follows the 60.00 C threshold unless a value ends\n"
    "                       in :1 (alarm) or :0 (no alarm).\n"
    "                       Without it channels warm with their brightness and cool\n"
    "                       to 25.00 C; the alarm rises above 60.00 C and clears\n"
    "                       below 55.00 C.\n"
    "  --log-frames         print one line per frame in and out, in hex\n"
    "\n"
    "Faults:\n"
    "  --silent             answer nothing (writes are still applied)\n"
    "  --late MS            send every answer MS milliseconds late\n"
    "  --drop-every N       drop every Nth answer\n"
    "  --wrong-ledid        per-channel answers echo the next channel's index\n"
    "  --wrong-length       answers carry one extra payload byte\n"
    "  --bad-checksum       answers carry a wrong checksum\n"
    "  --answer-twice       every answer is sent twice\n"
    "  --wrong-code         answers carry a command code nobody asked for\n"
    "  --unsolicited N      send N valid frames per second that nobody asked for\n"
    "  --noise N            send N random bytes per second between frames\n"
    "  --noise-seed N       seed of the random bytes (default 1)\n"
    "\n"
    "  -h, --help           show this text\n";

// Decimal, or hexadecimal with 0x; never octal, so "010203" means 10203.
bool parseU32(const char *text, uint32_t *out) {
    if (text == nullptr || *text == '\0' || *text == '-' || *text == '+') return false;
    const bool hex = text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    char *end = nullptr;
    errno = 0;
    const unsigned long long v = std::strtoull(hex ? text + 2 : text, &end, hex ? 16 : 10);
    if (errno != 0 || end == (hex ? text + 2 : text) || *end != '\0' || v > 0xFFFFFFFFull) return false;
    *out = static_cast<uint32_t>(v);
    return true;
}

bool parseCount(const char *text, int *out) {
    uint32_t v = 0;
    if (!parseU32(text, &v) || v > 1000000u) return false;
    *out = static_cast<int>(v);
    return true;
}

int usageError(const char *what, const char *arg) {
    std::fprintf(stderr, "lightsim: %s%s%s\nTry 'lightsim --help'.\n", what, arg ? ": " : "", arg ? arg : "");
    return 2;
}

}  // namespace

int main(int argc, char **argv) {
    SimOptions opts;
    SimTemperature fixed[kSimChannels];
    int fixedCount = 0;

    for (int i = 1; i < argc; ++i) {
        const char *a = argv[i];
        const char *next = i + 1 < argc ? argv[i + 1] : nullptr;
        auto needs = [&](bool ok) {
            if (ok) ++i;
            return ok;
        };
        if (!std::strcmp(a, "-h") || !std::strcmp(a, "--help")) {
            std::fputs(kHelp, stdout);
            return 0;
        } else if (!std::strcmp(a, "--port")) {
            if (!needs(next != nullptr && *next != '\0')) return usageError("--port needs a path", nullptr);
            opts.port = next;
        } else if (!std::strcmp(a, "--model")) {
            if (!needs(parseU32(next, &opts.model))) return usageError("--model needs a 32-bit number", next);
        } else if (!std::strcmp(a, "--version")) {
            if (!needs(parseU32(next, &opts.version))) return usageError("--version needs a 32-bit number", next);
        } else if (!std::strcmp(a, "--fixed-temps")) {
            if (!needs(SimParseFixedTemps(next, fixed, &fixedCount)))
                return usageError("--fixed-temps needs 1 to 4 temperatures like 25.00,30.5,-2,70:0", next);
            opts.fixedTemps = true;
        } else if (!std::strcmp(a, "--log-frames")) {
            opts.logFrames = true;
        } else if (!std::strcmp(a, "--silent")) {
            opts.faults.silent = true;
        } else if (!std::strcmp(a, "--late")) {
            if (!needs(parseCount(next, &opts.faults.lateMs))) return usageError("--late needs milliseconds", next);
        } else if (!std::strcmp(a, "--drop-every")) {
            if (!needs(parseCount(next, &opts.faults.dropEvery))) return usageError("--drop-every needs a count", next);
        } else if (!std::strcmp(a, "--wrong-ledid")) {
            opts.faults.wrongLedId = true;
        } else if (!std::strcmp(a, "--wrong-length")) {
            opts.faults.wrongLength = true;
        } else if (!std::strcmp(a, "--bad-checksum")) {
            opts.faults.badChecksum = true;
        } else if (!std::strcmp(a, "--answer-twice")) {
            opts.faults.answerTwice = true;
        } else if (!std::strcmp(a, "--wrong-code")) {
            opts.faults.wrongCode = true;
        } else if (!std::strcmp(a, "--unsolicited")) {
            if (!needs(parseCount(next, &opts.faults.unsolicitedPerSec)))
                return usageError("--unsolicited needs frames per second", next);
        } else if (!std::strcmp(a, "--noise")) {
            if (!needs(parseCount(next, &opts.faults.noiseBytesPerSec)))
                return usageError("--noise needs bytes per second", next);
        } else if (!std::strcmp(a, "--noise-seed")) {
            if (!needs(parseU32(next, &opts.noiseSeed))) return usageError("--noise-seed needs a number", next);
        } else {
            return usageError("unknown option", a);
        }
    }

    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);

    VirtualLightSource sim(opts);
    for (int ch = 0; ch < fixedCount; ++ch) {
        sim.setFixedTemperature(ch, fixed[ch].centi / 100.0f, fixed[ch].overTemp);
    }
    if (!sim.start()) {
        std::fprintf(stderr, "lightsim: cannot serve %s: %s\n",
                     opts.port.empty() ? "a pseudo-terminal" : opts.port.c_str(), sim.errorText().c_str());
        return 1;
    }
    std::printf("lightsim: serving %s (model 0x%08x, version 0x%08x)\n", sim.portPath().c_str(), opts.model,
                opts.version);
    std::fflush(stdout);

    // Signal handlers may only set a flag; this loop notices it.
    while (!g_stop) std::this_thread::sleep_for(std::chrono::milliseconds(50));

    sim.stop();
    std::printf("lightsim: stopped after %llu requests, %llu answers\n",
                static_cast<unsigned long long>(sim.requestsHandled()),
                static_cast<unsigned long long>(sim.answersSent()));
    std::fflush(stdout);
    return 0;
}
