// The commands of lightctl. Each command is declared once as a CLI11
// subcommand whose options check every value before anything is sent; a
// successful parse leaves behind an Invocation, which then runs against an
// open device. The top-level program and the `run` scripts share this table.
#ifndef LIGHTCTL_COMMANDS_H
#define LIGHTCTL_COMMANDS_H

#include <functional>
#include <iosfwd>
#include <stdexcept>
#include <string>

#include <CLI/CLI.hpp>

class LightDevice;

enum ExitCode { kExitOk = 0, kExitDevice = 1, kExitUsage = 2, kExitPort = 3, kExitOutput = 4 };

// Standard output took a write short or refused it (a reader that went away
// while SIGPIPE is ignored, a full disk); what() says why.
class OutputError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Throws OutputError when `out` failed a write; the reason is errno's.
void checkOutput(std::ostream &out);

// What a command runs against.
struct Session {
    bool json = false;
    std::ostream *out = nullptr;
    LightDevice *device = nullptr;  // null when no command needs one
};

// A parsed command, ready to run. run() throws DeviceError when a device call
// fails and OutputError when its output cannot be written.
struct Invocation {
    std::string name;
    bool needsDevice = false;
    std::function<void(Session &)> run;
};

// Adds every command except `run` to `app`; the callback of the command that
// is parsed stores it in *parsed.
void addCommands(CLI::App &app, Invocation *parsed);

#endif
