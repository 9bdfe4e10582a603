// lightd: the one owner of a light source's serial port, serving it to many
// clients over the network: SCPI on a raw TCP socket, and HTTP (JSON API,
// event stream, metrics, the web page).
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/address.hpp>

#include "Announcer.h"
#include "DeviceService.h"
#include "HttpApi.h"
#include "HttpServer.h"
#include "Platform.h"
#include "ScpiServer.h"

namespace {

struct Config {
    std::string device;
    std::string listen = "127.0.0.1";
    uint16_t scpiPort = 5025;
    uint16_t httpPort = 8080;
    std::string webRoot;
    unsigned httpHeaderTimeoutMs = 10000;
    unsigned httpIdleTimeoutMs = 30000;
    unsigned idleTimeoutS = 300;
    unsigned pollMs = 1000;
    size_t maxClients = 16;
    std::string token;
    std::string tokenFile;
    std::vector<std::string> allowedHosts;
    bool announce = true;
    bool verbose = false;
};

bool isLoopback(const std::string &address) {
    boost::system::error_code ec;
    const auto parsed = boost::asio::ip::make_address(address, ec);
    return !ec && parsed.is_loopback();
}

// The token is the file's first line, without surrounding white space.
bool readTokenFile(const std::string &path, std::string *token) {
    std::ifstream in(path);
    if (!in) return false;
    std::string line;
    std::getline(in, line);
    const auto first = line.find_first_not_of(" \t\r");
    const auto last = line.find_last_not_of(" \t\r");
    *token = first == std::string::npos ? std::string() : line.substr(first, last - first + 1);
    return true;
}

}  // namespace

int main(int argc, char **argv) {
    Config config;
    CLI::App app{"lightd: owns the light source's serial port and serves it to many clients\n"
                 "(SCPI on a raw TCP socket). See lightd(1)."};
    app.add_option("--device", config.device, "serial port, as the library names ports (ttyUSB0, /dev/pts/5)")
        ->required();
    app.add_option("--listen", config.listen, "address to listen on; not loopback needs a token")
        ->capture_default_str();
    app.add_option("--scpi-port", config.scpiPort, "TCP port of the SCPI server (0: any free port)")
        ->capture_default_str();
    app.add_option("--http-port", config.httpPort, "TCP port of the HTTP server (0: any free port)")
        ->capture_default_str();
    app.add_option("--web-root", config.webRoot, "folder of the web page (default: ../share/lightd/web from lightd)");
    app.add_option("--http-header-timeout-ms", config.httpHeaderTimeoutMs,
                   "time a client has to send a whole HTTP request")
        ->check(CLI::Range(100u, 600000u))
        ->capture_default_str();
    app.add_option("--http-idle-timeout-ms", config.httpIdleTimeoutMs,
                   "time a kept-alive HTTP connection may stay idle")
        ->check(CLI::Range(100u, 3600000u))
        ->capture_default_str();
    app.add_option("--idle-timeout", config.idleTimeoutS,
                   "seconds an SCPI client may send nothing before it is closed (0: never)")
        ->check(CLI::Range(0u, 86400u))
        ->capture_default_str();
    app.add_option("--poll-ms", config.pollMs, "temperature poll interval in ms")
        ->check(CLI::Range(50u, 3600000u))
        ->capture_default_str();
    app.add_option("--max-clients", config.maxClients, "clients served at once")
        ->check(CLI::Range(size_t{1}, size_t{10000}))
        ->capture_default_str();
    auto *tokenOption = app.add_option("--token", config.token, "password for the commands that change the device");
    app.add_option("--token-file", config.tokenFile, "file whose first line is the password")
        ->check(CLI::ExistingFile)
        ->excludes(tokenOption);
    app.add_option("--allow-host", config.allowedHosts,
                   "a further host name that HTTP clients may call lightd by (repeatable); localhost, the "
                   "machine's name and the listen address are always served");
    app.add_flag("!--no-announce", config.announce,
                 "do not announce lightd on the local network (DNS-SD through Avahi)");
    app.add_flag("-v,--verbose", config.verbose, "the library's lines and the connections on standard error");
    app.set_version_flag("--version", std::string("lightd ") + LIGHTD_VERSION);
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp &) {
        std::fputs(app.help().c_str(), stdout);
        return 0;
    } catch (const CLI::CallForVersion &) {
        std::printf("%s\n", app.version().c_str());
        return 0;
    } catch (const CLI::ParseError &e) {
        // One line and status 2 for every usage error, as the man page says.
        std::fprintf(stderr, "lightd: %s\nRun 'lightd --help' for the options.\n", e.what());
        return 2;
    }

    // A log line to a reader that has gone (lightd | tee, tee ended) must
    // not end the daemon; failed writes of log lines are ignored.
    lightd::ignoreBrokenPipes();

    if (!config.tokenFile.empty() && !readTokenFile(config.tokenFile, &config.token)) {
        std::fprintf(stderr, "lightd: cannot read the token file %s\n", config.tokenFile.c_str());
        return 2;
    }
    if ((!config.tokenFile.empty() || app.count("--token") > 0) && config.token.empty()) {
        std::fprintf(stderr, "lightd: the token is empty\n");
        return 2;
    }
    if (config.listen == "localhost") config.listen = "127.0.0.1";
    if (!isLoopback(config.listen) && config.token.empty()) {
        std::fprintf(stderr,
                     "lightd: listening on %s (not loopback) needs --token or --token-file; refusing to start\n",
                     config.listen.c_str());
        return 2;
    }

    boost::asio::io_context loop(1);

    lightd::DeviceService::Options deviceOptions;
    deviceOptions.port = config.device;
    deviceOptions.pollInterval = std::chrono::milliseconds(config.pollMs);
    deviceOptions.verbose = config.verbose;
    lightd::DeviceService device(loop, deviceOptions);

    lightd::ListenOptions listen;
    listen.address = config.listen;
    listen.maxClients = config.maxClients;
    listen.token = config.token;
    listen.verbose = config.verbose;

    lightd::ListenOptions scpiListen = listen;
    scpiListen.port = config.scpiPort;
    scpiListen.idleTimeout = std::chrono::seconds(config.idleTimeoutS);
    lightd::ScpiServer scpi(loop, device, scpiListen);
    std::string error;
    if (!scpi.start(&error)) {
        std::fprintf(stderr, "lightd: SCPI: %s\n", error.c_str());
        return 1;
    }

    lightd::http::HttpServer::Options httpOptions;
    httpOptions.address = config.listen;
    httpOptions.port = config.httpPort;
    httpOptions.token = config.token;
    httpOptions.allowedHosts = config.allowedHosts;
    httpOptions.pollMs = config.pollMs;
    httpOptions.webRoot = config.webRoot.empty() ? lightd::defaultWebRoot(argv[0]) : config.webRoot;
    httpOptions.headerTimeout = std::chrono::milliseconds(config.httpHeaderTimeoutMs);
    httpOptions.idleTimeout = std::chrono::milliseconds(config.httpIdleTimeoutMs);
    // Room for the SCPI clients, the port and the loop; beyond that, a new
    // HTTP connection is told 503 rather than left waiting for a descriptor.
    const size_t descriptors = lightd::raiseDescriptorLimit();
    const size_t reserved = config.maxClients + 64;
    httpOptions.maxConnections =
        std::min<size_t>(httpOptions.maxConnections, descriptors > reserved * 2 ? descriptors - reserved : reserved);
    httpOptions.verbose = config.verbose;
    httpOptions.scpiClients = [&scpi] { return static_cast<int64_t>(scpi.clientCount()); };
    lightd::http::HttpServer http(loop, device, httpOptions);
    if (!http.start(error)) {
        std::fprintf(stderr, "lightd: HTTP: %s\n", error.c_str());
        return 1;
    }

    std::unique_ptr<lightd::Announcer> announcer;
    if (config.announce) {
        lightd::AnnounceInfo info;
        info.listenAddress = config.listen;
        info.scpiPort = scpi.boundPort();
        info.httpPort = http.port();
        info.devicePort = config.device;
        announcer = std::make_unique<lightd::Announcer>(std::move(info), [](const std::string &line) {
            std::printf("%s\n", line.c_str());
            std::fflush(stdout);
        });
    }

    // One line per change of the connection, for the journal.
    bool reported = false;
    bool wasConnected = false;
    device.subscribe([&](lightd::DeviceService::Event event, const lightd::DeviceState &state) {
        if (event != lightd::DeviceService::Event::State || (reported && state.connected == wasConnected)) return;
        reported = true;
        wasConnected = state.connected;
        if (announcer && state.connected)
            announcer->update(lightd::http::modelName(state.model), lightd::http::firmwareText(state.firmwareVersion));
        if (state.connected) {
            std::printf("lightd: device %s connected (model 0x%08X, version %u)\n", state.port.c_str(),
                        static_cast<unsigned>(state.model), static_cast<unsigned>(state.firmwareVersion));
        } else {
            std::printf("lightd: device %s not connected: %s\n", state.port.c_str(), state.lastError.c_str());
        }
        std::fflush(stdout);
    });

    device.start();
    std::printf("lightd: SCPI on %s port %u, device %s\n", config.listen.c_str(), scpi.boundPort(),
                config.device.c_str());
    std::printf("lightd: HTTP on %s port %u, web page from %s\n", config.listen.c_str(), http.port(),
                httpOptions.webRoot.c_str());
    std::fflush(stdout);

    lightd::StopRequests stopRequests(loop, [&](const char *why) {
        std::printf("lightd: %s, stopping\n", why);
        std::fflush(stdout);
        scpi.stop();
        http.stop();
        device.stop();
    });
    // Every handler guards its own work; should one throw all the same, the
    // daemon says so and goes on serving.
    for (;;) {
        try {
            loop.run();
            break;
        } catch (const std::exception &e) {
            std::fprintf(stderr, "lightd: internal error, going on: %s\n", e.what());
        }
    }
    return 0;
}
