// lightctl: the light source from the command line.
//
// Exit codes: 0 success, 1 a device call failed, 2 a usage error (found
// before anything is sent), 3 the port could not be opened (or lightd, with
// --server, cannot be reached), 4 standard output could not be written.
// Standard output carries only results; errors are one line each on
// standard error.
#include <cerrno>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "commands.h"
#include "SerialPorts.h"
#include "device.h"
#include "remote_device.h"

namespace {

struct ScriptCommand {
    std::string where;  // "FILE:LINE: " for script lines, empty otherwise
    Invocation invocation;
};

// CLI11 takes an unknown command for a stray argument and then misses the command.
std::string parseErrorText(const CLI::App &app, const CLI::ParseError &e) {
    if (app.get_subcommands().empty() && !app.remaining().empty())
        return "unknown command '" + app.remaining().front() + "'";
    return e.what();
}

// Where a usage error's reader finds the right words: the command's own help.
std::string helpHint(const CLI::App &app) {
    const auto commands = app.get_subcommands();
    return commands.empty() ? "lightctl --help" : "lightctl " + commands.front()->get_name() + " --help";
}

// The options of lightctl itself, which apply to a whole script rather than to one line of it.
std::string globalOptionIn(const std::string &line) {
    std::istringstream words(line);
    for (std::string word; words >> word;) {
        const std::string name = word.substr(0, word.find('='));
        if (name == "--json" || name == "-v" || name == "--verbose" || name == "--port") return name;
    }
    return {};
}

int usageError(const std::string &message) {
    std::cerr << "lightctl: " << message << '\n';
    return kExitUsage;
}

// Reads and parses a whole script, so that a usage error on any line stops
// it before its first command is sent. False (with *error) on the first bad line.
bool parseScript(const std::string &path, std::vector<ScriptCommand> *commands, std::string *error) {
    std::ifstream file;
    std::istream *in = &std::cin;
    const std::string name = path == "-" ? "<stdin>" : path;
    if (path != "-") {
        errno = 0;
        file.open(path);
        if (!file) {
            const int code = errno;
            *error = "cannot read script " + path + (code != 0 ? ": " + plainErrnoText(code) : std::string());
            return false;
        }
        in = &file;
    }
    std::string line;
    for (int number = 1; std::getline(*in, line); ++number) {
        line = line.substr(0, line.find('#'));
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.find_first_not_of(" \t") == std::string::npos) continue;
        const std::string where = name + ":" + std::to_string(number) + ": ";
        const std::string global = globalOptionIn(line);
        if (!global.empty()) {
            *error = where + global + " is an option of lightctl itself: give it before run (lightctl " + global +
                     (global == "--port" ? " PORT" : "") + " run " + path + ")";
            return false;
        }
        CLI::App lineApp("", "lightctl");
        Invocation invocation;
        addCommands(lineApp, &invocation);
        lineApp.require_subcommand(1);
        try {
            lineApp.parse(line, false);
        } catch (const CLI::Success &) {
            *error = where + "help is not a script command";
            return false;
        } catch (const CLI::ParseError &e) {
            *error = where + parseErrorText(lineApp, e);
            return false;
        }
        commands->push_back({where, std::move(invocation)});
    }
    if (in->bad()) {
        *error = "cannot read script " + name;
        return false;
    }
    return true;
}

struct Target {
    std::string port;
    std::string server;  // http://host:port of a lightd; wins over the port
    std::string token;
};

int execute(const std::vector<ScriptCommand> &commands, const Target &target, bool json, bool verbose,
            bool keepGoing) {
    LogCapture capture(verbose);
    bool needsDevice = false;
    for (const ScriptCommand &c : commands) needsDevice = needsDevice || c.invocation.needsDevice;

    std::unique_ptr<LightDevice> device;
    if (needsDevice) {
        if (target.port.empty() && target.server.empty())
            return usageError("no port given: use --port PORT, --server URL or set LIGHTKIT_PORT");
        try {
            if (!target.server.empty())
                device = openRemoteDevice(target.server, target.token);
            else
                device = std::make_unique<PortDevice>(target.port);
        } catch (const PortError &e) {
            std::cerr << "lightctl: " << e.what() << '\n';
            return kExitPort;
        }
    }
    Session session{json, &std::cout, device.get()};
    int status = kExitOk;
    for (const ScriptCommand &c : commands) {
        try {
            c.invocation.run(session);
        } catch (const DeviceError &e) {
            std::cerr << "lightctl: " << c.where << c.invocation.name << ": " << e.what() << '\n';
            status = kExitDevice;
            if (!keepGoing) break;
        } catch (const OutputError &e) {
            // Nobody reads the results any more: stop, and let the port go.
            std::cerr << "lightctl: " << c.where << c.invocation.name << ": " << e.what() << '\n';
            return kExitOutput;
        }
    }
    return status;
}

}  // namespace

int main(int argc, char **argv) {
    CLI::App app("Controls the four-channel LED light source over its serial port.", "lightctl");
    Target target;
    bool json = false;
    bool verbose = false;
    app.add_option("--port", target.port, "Serial port (COM3, ttyUSB0, /dev/ttyUSB0)")->envname("LIGHTKIT_PORT");
    app.add_option("--server", target.server, "A lightd that owns the port, as http://HOST:PORT (instead of --port)")
        ->envname("LIGHTKIT_SERVER");
    app.add_option("--token", target.token, "lightd's token, when it has one")->envname("LIGHTKIT_TOKEN");
    app.add_flag("--json", json, "Print results as JSON");
    app.add_flag("-v,--verbose", verbose, "Copy the library's log lines to standard error");
    app.set_version_flag("--version", "lightctl " LIGHTCTL_VERSION " (DALU_LightKit " + std::to_string(sdkVersion()) + ")");
    app.require_subcommand(1);
    app.fallthrough();

    Invocation parsed;
    addCommands(app, &parsed);
    std::string scriptPath;
    bool keepGoing = false;
    CLI::App *run = app.add_subcommand("run", "Run the commands of FILE (- for standard input), one per line");
    run->add_option("file", scriptPath, "Script file, or - for standard input")->required();
    run->add_flag("--keep-going", keepGoing, "Go on after a failed command (exit code 1 at the end)");

    try {
        app.parse(argc, argv);
    } catch (const CLI::Success &e) {
        return app.exit(e);
    } catch (const CLI::ParseError &e) {
        return usageError(parseErrorText(app, e) + " (see " + helpHint(app) + ")");
    }

    std::vector<ScriptCommand> commands;
    if (run->parsed()) {
        std::string error;
        if (!parseScript(scriptPath, &commands, &error)) return usageError(error);
    } else {
        commands.push_back({"", std::move(parsed)});
    }
    const int status = execute(commands, target, json, verbose, keepGoing);
    if (status == kExitOutput) return status;
    try {
        std::cout.flush();
        checkOutput(std::cout);
    } catch (const OutputError &e) {
        std::cerr << "lightctl: " << e.what() << '\n';
        return kExitOutput;
    }
    return status;
}
