// GET /api/v1/state through lightd's HTTP server, over loopback, with 32
// keep-alive clients: latency (median, p99) and requests per second. The
// device side is the real one (device thread, library, pseudo-terminal, the
// virtual light source), and the frames the light source receives per second
// are counted before and during the load: the HTTP load must not change them.
//
//   http_bench [--clients 32] [--seconds 5] [--poll-ms 250]
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/write.hpp>

#include "DeviceService.h"
#include "HttpServer.h"
#include "VirtualLightSource.h"

namespace net = boost::asio;
using Clock = std::chrono::steady_clock;

namespace {

struct ClientResult {
    std::vector<double> latenciesUs;
    uint64_t errors = 0;
};

// A lean client, so that the figures show the server rather than a client's
// parser: one request text sent as is, the answer read up to its length.
bool readAnswer(net::ip::tcp::socket &socket, std::string &buffer, bool *ok) {
    size_t headerEnd;
    while ((headerEnd = buffer.find("\r\n\r\n")) == std::string::npos) {
        char chunk[4096];
        buffer.append(chunk, socket.read_some(net::buffer(chunk)));
    }
    const size_t lengthAt = buffer.find("Content-Length: ");
    if (lengthAt == std::string::npos || lengthAt > headerEnd)
        return false;
    const size_t total = headerEnd + 4 + std::strtoul(buffer.c_str() + lengthAt + 16, nullptr, 10);
    while (buffer.size() < total) {
        char chunk[4096];
        buffer.append(chunk, socket.read_some(net::buffer(chunk)));
    }
    *ok = buffer.compare(0, 15, "HTTP/1.1 200 OK") == 0 && total > headerEnd + 4;
    buffer.erase(0, total);
    return true;
}

void runClient(uint16_t port, Clock::time_point end, ClientResult *result) {
    try {
        net::io_context io;
        net::ip::tcp::socket socket(io);
        socket.connect({net::ip::make_address("127.0.0.1"), port});
        socket.set_option(net::ip::tcp::no_delay(true));
        const std::string request = "GET /api/v1/state HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
        std::string buffer;
        while (Clock::now() < end) {
            const auto start = Clock::now();
            net::write(socket, net::buffer(request));
            bool ok = false;
            if (!readAnswer(socket, buffer, &ok))
                throw std::runtime_error("an answer without Content-Length");
            const auto took = Clock::now() - start;
            if (!ok)
                ++result->errors;
            result->latenciesUs.push_back(std::chrono::duration<double, std::micro>(took).count());
        }
    } catch (const std::exception &e) {
        std::fprintf(stderr, "http_bench: client: %s\n", e.what());
        ++result->errors;
    }
}

double percentile(std::vector<double> &sorted, double p) {
    if (sorted.empty())
        return 0;
    const size_t i = std::min(sorted.size() - 1, static_cast<size_t>(p * static_cast<double>(sorted.size())));
    return sorted[i];
}

double framesPerSecond(const VirtualLightSource &sim, std::chrono::milliseconds span) {
    const uint64_t before = sim.requestsHandled();
    const auto start = Clock::now();
    std::this_thread::sleep_for(span);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return static_cast<double>(sim.requestsHandled() - before) / seconds;
}

}  // namespace

int main(int argc, char **argv) {
    int clients = 32;
    int seconds = 5;
    int pollMs = 250;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!std::strcmp(argv[i], "--clients"))
            clients = std::atoi(argv[i + 1]);
        else if (!std::strcmp(argv[i], "--seconds"))
            seconds = std::atoi(argv[i + 1]);
        else if (!std::strcmp(argv[i], "--poll-ms"))
            pollMs = std::atoi(argv[i + 1]);
    }

    VirtualLightSource sim;
    if (!sim.start()) {
        std::fprintf(stderr, "http_bench: %s\n", sim.errorText().c_str());
        return 1;
    }
    net::io_context loop(1);
    lightd::DeviceService::Options deviceOptions;
    deviceOptions.port = sim.portPath();
    deviceOptions.pollInterval = std::chrono::milliseconds(pollMs);
    lightd::DeviceService device(loop, deviceOptions);
    lightd::http::HttpServer::Options httpOptions;
    httpOptions.port = 0;
    lightd::http::HttpServer server(loop, device, httpOptions);
    std::string error;
    if (!server.start(error)) {
        std::fprintf(stderr, "http_bench: %s\n", error.c_str());
        return 1;
    }
    device.start();
    std::thread loopThread([&] { loop.run(); });

    // Wait for the port to be open and read, then for the traffic to settle.
    const auto openBy = Clock::now() + std::chrono::seconds(10);
    std::atomic<bool> connected{false};
    while (!connected && Clock::now() < openBy) {
        net::post(loop, [&] { connected = device.state().connected; });
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (!connected) {
        std::fprintf(stderr, "http_bench: the device did not connect\n");
        return 1;
    }
    const double idleFrames = framesPerSecond(sim, std::chrono::milliseconds(3000));

    // One client alone first: the latency of the path itself, no queueing.
    ClientResult single;
    runClient(server.port(), Clock::now() + std::chrono::seconds(2), &single);
    std::sort(single.latenciesUs.begin(), single.latenciesUs.end());
    std::printf("GET /api/v1/state, 1 keep-alive client: median %.3f ms, p99 %.3f ms (%zu requests)\n",
                percentile(single.latenciesUs, 0.5) / 1000.0, percentile(single.latenciesUs, 0.99) / 1000.0,
                single.latenciesUs.size());

    std::vector<ClientResult> results(static_cast<size_t>(clients));
    std::vector<std::thread> threads;
    const uint64_t framesBefore = sim.requestsHandled();
    const auto loadStart = Clock::now();
    const auto end = loadStart + std::chrono::seconds(seconds);
    for (int i = 0; i < clients; ++i)
        threads.emplace_back(runClient, server.port(), end, &results[static_cast<size_t>(i)]);
    for (auto &t : threads)
        t.join();
    const double loadSeconds = std::chrono::duration<double>(Clock::now() - loadStart).count();
    const double loadFrames = static_cast<double>(sim.requestsHandled() - framesBefore) / loadSeconds;

    std::vector<double> all;
    uint64_t errors = 0;
    for (auto &r : results) {
        all.insert(all.end(), r.latenciesUs.begin(), r.latenciesUs.end());
        errors += r.errors;
    }
    std::sort(all.begin(), all.end());

    std::printf("GET /api/v1/state, %d keep-alive clients over loopback, %.1f s\n", clients, loadSeconds);
    std::printf("  requests:        %zu (%.0f per second), errors %llu\n", all.size(),
                static_cast<double>(all.size()) / loadSeconds, static_cast<unsigned long long>(errors));
    std::printf("  latency median:  %.3f ms\n", percentile(all, 0.5) / 1000.0);
    std::printf("  latency p99:     %.3f ms\n", percentile(all, 0.99) / 1000.0);
    std::printf("device frames per second (poll every %d ms): %.1f idle, %.1f under load\n", pollMs, idleFrames,
                loadFrames);

    net::post(loop, [&] {
        server.stop();
        device.stop();
    });
    loopThread.join();
    return 0;
}
