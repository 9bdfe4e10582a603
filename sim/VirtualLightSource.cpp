#include "VirtualLightSource.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>

#include "sim_port.h"

namespace {

constexpr int kPendingSlots = 64;      // answers held back by the lateMs fault
constexpr int kIdleWaitMs = 50;        // longest poll when nothing is scheduled
constexpr int kErrorBackoffMs = 20;    // after a port error, before trying again
constexpr int kMaxNoiseBurst = 64;       // per pass of the serving loop
constexpr int kMaxUnsolicitedBurst = 16;

struct Pending {
    bool used = false;
    SimClock::time_point due;
    uint8_t frame[kCmdPkgFrameBufSize];
};

// Frame bytes as "55 AA 80 02 00 82 FA", for the frame log.
void printFrame(const char *tag, const uint8_t *bytes, int count, const char *note) {
    char line[3 * kCmdPkgFrameBufSize + 64];
    int at = std::snprintf(line, sizeof line, "%s", tag);
    for (int i = 0; i < count && at < static_cast<int>(sizeof line) - 4; ++i) {
        at += std::snprintf(line + at, sizeof line - at, " %02X", bytes[i]);
    }
    std::printf("%s%s\n", line, note);
    std::fflush(stdout);
}

int msUntil(SimClock::time_point now, SimClock::time_point t) {
    if (t <= now) return 0;
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(t - now).count() + 1;
    return ms > kIdleWaitMs ? kIdleWaitMs : static_cast<int>(ms);
}

SimClock::duration periodOf(int perSec) {
    return std::chrono::duration_cast<SimClock::duration>(std::chrono::duration<double>(1.0 / perSec));
}

}  // namespace

struct VirtualLightSource::Impl {
    explicit Impl(const SimOptions &o) : opts(o), device(o.model, o.version, SimClock::now()) {
        device.setFaults(o.faults);
        device.setFixedMode(o.fixedTemps);
        history.resize(kFrameHistory);
        noiseState = o.noiseSeed != 0 ? o.noiseSeed : 1;
    }

    void serve();
    void handleBytes(const uint8_t *bytes, int count, SimClock::time_point now);
    void schedule(const uint8_t *frame, SimClock::time_point due);
    void sendDue(SimClock::time_point now);
    void sendTimed(SimClock::time_point now);
    SimClock::time_point nextWake(SimClock::time_point now) const;
    void writeFrame(const uint8_t *frame, const char *note, bool isAnswer);
    uint8_t nextNoiseByte();

    const SimOptions opts;

    std::mutex lifecycle;  // start/stop
    std::thread thread;
    std::atomic<bool> stopFlag{false};
    std::atomic<bool> isRunning{false};
    SimPort *port = nullptr;      // set and cleared under mu; used by the serving thread
    CmdPkgCodec *codec = nullptr; // fed by the serving thread only

    // Guarded by mu.
    mutable std::mutex mu;
    mutable std::condition_variable framesCv;
    SimDevice device;
    std::vector<CmdPkg> history;  // ring of kFrameHistory
    size_t framesSinceClear = 0;
    std::string path;
    std::string error;
    Pending pending[kPendingSlots];
    SimClock::time_point nextUnsolicited{};
    SimClock::time_point nextNoise{};
    uint32_t noiseState;

    std::atomic<uint64_t> answers{0};
    std::atomic<uint64_t> requests{0};
    std::atomic<uint64_t> dropped{0};
    std::atomic<uint64_t> unsolicited{0};
    std::atomic<uint64_t> noise{0};
};

void VirtualLightSource::Impl::writeFrame(const uint8_t *frame, const char *note, bool isAnswer) {
    const int n = frame[0];
    const int written = SimPort_Write(port, frame + 1, n);
    if (opts.logFrames) printFrame("tx", frame + 1, n, written == n ? note : " (line full, cut)");
    if (isAnswer && written == n) answers.fetch_add(1, std::memory_order_relaxed);
}

void VirtualLightSource::Impl::schedule(const uint8_t *frame, SimClock::time_point due) {
    for (Pending &p : pending) {
        if (!p.used) {
            p.used = true;
            p.due = due;
            std::memcpy(p.frame, frame, kCmdPkgFrameBufSize);
            return;
        }
    }
    if (opts.logFrames) printFrame("drop", frame + 1, frame[0], " (too many late answers)");
}

void VirtualLightSource::Impl::sendDue(SimClock::time_point now) {
    // Oldest due first, so answers keep their order even when lateMs changes.
    while (true) {
        Pending *best = nullptr;
        for (Pending &p : pending) {
            if (p.used && p.due <= now && (best == nullptr || p.due < best->due)) best = &p;
        }
        if (best == nullptr) return;
        writeFrame(best->frame, "", true);
        best->used = false;
    }
}

uint8_t VirtualLightSource::Impl::nextNoiseByte() {
    // xorshift32: cheap and reproducible from the seed.
    noiseState ^= noiseState << 13;
    noiseState ^= noiseState >> 17;
    noiseState ^= noiseState << 5;
    return static_cast<uint8_t>(noiseState >> 24);
}

void VirtualLightSource::Impl::sendTimed(SimClock::time_point now) {
    const SimFaults &f = device.faults();
    if (f.unsolicitedPerSec <= 0) {
        nextUnsolicited = {};
    } else if (nextUnsolicited == SimClock::time_point{}) {
        nextUnsolicited = now + periodOf(f.unsolicitedPerSec);
    } else if (now >= nextUnsolicited) {
        // Catch up on everything due since the last pass: the poll sleeps in
        // whole milliseconds, high rates need several frames per pass.
        const SimClock::duration period = periodOf(f.unsolicitedPerSec);
        for (int k = 0; k < kMaxUnsolicitedBurst && nextUnsolicited <= now; ++k) {
            CmdPkg pkg;
            device.nextUnsolicited(&pkg);
            uint8_t frame[kCmdPkgFrameBufSize] = {};
            CMDPKG_CreateBytes(&pkg, frame);
            writeFrame(frame, " (unsolicited)", false);
            unsolicited.fetch_add(1, std::memory_order_relaxed);
            nextUnsolicited += period;
        }
        if (nextUnsolicited < now) nextUnsolicited = now + period;  // no flood after a stall
    }

    if (f.noiseBytesPerSec <= 0) {
        nextNoise = {};
    } else if (nextNoise == SimClock::time_point{}) {
        nextNoise = now + periodOf(f.noiseBytesPerSec);
    } else if (now >= nextNoise) {
        const SimClock::duration period = periodOf(f.noiseBytesPerSec);
        int count = 0;
        uint8_t bytes[kMaxNoiseBurst];
        while (nextNoise <= now && count < kMaxNoiseBurst) {
            bytes[count++] = nextNoiseByte();
            nextNoise += period;
        }
        if (nextNoise < now) nextNoise = now + period;
        const int written = SimPort_Write(port, bytes, count);
        if (written > 0) {
            noise.fetch_add(static_cast<uint64_t>(written), std::memory_order_relaxed);
            if (opts.logFrames) printFrame("noise", bytes, written, "");
        }
    }
}

SimClock::time_point VirtualLightSource::Impl::nextWake(SimClock::time_point now) const {
    SimClock::time_point t = now + std::chrono::milliseconds(kIdleWaitMs);
    for (const Pending &p : pending) {
        if (p.used && p.due < t) t = p.due;
    }
    if (nextUnsolicited != SimClock::time_point{} && nextUnsolicited < t) t = nextUnsolicited;
    if (nextNoise != SimClock::time_point{} && nextNoise < t) t = nextNoise;
    return t;
}

void VirtualLightSource::Impl::handleBytes(const uint8_t *bytes, int count, SimClock::time_point now) {
    for (int i = 0; i < count; ++i) {
        CMDPKG_RecvByte(codec, bytes[i]);
        // Taken one by one: a burst of requests must not overflow the codec's
        // eight slots.
        CmdPkg req;
        if (CMDPKG_RecvOnePackage(codec, &req) != 0) continue;

        requests.fetch_add(1, std::memory_order_relaxed);
        history[framesSinceClear % kFrameHistory] = req;
        ++framesSinceClear;
        framesCv.notify_all();
        if (opts.logFrames) {
            uint8_t frame[kCmdPkgFrameBufSize] = {};
            CMDPKG_CreateBytes(&req, frame);
            printFrame("rx", frame + 1, frame[0], "");
        }

        SimAnswer answer;
        const SimRequestKind kind = device.handle(req, now, &answer);
        if (answer.dropped) dropped.fetch_add(1, std::memory_order_relaxed);
        if (opts.logFrames) {
            if (kind == SimRequestKind::Unknown) {
                std::printf("unknown cmd 0x%04x ignored\n", req.cmd);
            } else if (kind == SimRequestKind::Malformed) {
                std::printf("bad request cmd 0x%04x len %u ignored\n", req.cmd, req.len);
            } else if (answer.dropped) {
                std::printf("answer to cmd 0x%04x dropped\n", req.cmd);
            }
            std::fflush(stdout);
        }
        const int late = device.faults().lateMs;
        for (int k = 0; k < answer.frameCount; ++k) {
            if (late > 0) schedule(answer.frames[k], now + std::chrono::milliseconds(late));
            else writeFrame(answer.frames[k], "", true);
        }
    }
}

void VirtualLightSource::Impl::serve() {
    uint8_t buf[256];
    while (!stopFlag.load()) {
        SimClock::time_point wake;
        {
            std::lock_guard<std::mutex> lock(mu);
            wake = nextWake(SimClock::now());
        }
        const int n = SimPort_Read(port, buf, sizeof buf, msUntil(SimClock::now(), wake));
        if (n < 0) {
            // The line failed (an existing port that went away); keep serving
            // whatever comes back, without spinning.
            std::this_thread::sleep_for(std::chrono::milliseconds(kErrorBackoffMs));
            continue;
        }
        std::lock_guard<std::mutex> lock(mu);
        const SimClock::time_point now = SimClock::now();
        handleBytes(buf, n, now);
        sendDue(now);
        sendTimed(now);
    }
}

VirtualLightSource::VirtualLightSource(SimOptions opts) : m_impl(new Impl(opts)) {}

VirtualLightSource::~VirtualLightSource() { stop(); }

bool VirtualLightSource::start() {
    Impl &d = *m_impl;
    std::lock_guard<std::mutex> life(d.lifecycle);
    if (d.isRunning.load()) {
        std::lock_guard<std::mutex> lock(d.mu);
        d.error = "already running";
        return false;
    }
    std::string error;
    SimPort *port = SimPort_Open(d.opts.port, &error);
    CmdPkgCodec *codec = port ? CMDPKG_Create() : nullptr;
    if (port != nullptr && codec == nullptr) error = "CMDPKG_Create failed";
    {
        std::lock_guard<std::mutex> lock(d.mu);
        d.error = error;
        if (codec == nullptr) {
            SimPort_Close(port);
            return false;
        }
        d.path = SimPort_Path(port);
        d.port = port;
        for (Pending &p : d.pending) p.used = false;
        d.nextUnsolicited = {};
        d.nextNoise = {};
    }
    d.codec = codec;
    d.stopFlag.store(false);
    d.thread = std::thread([&d] { d.serve(); });
    d.isRunning.store(true);
    return true;
}

void VirtualLightSource::stop() {
    Impl &d = *m_impl;
    std::lock_guard<std::mutex> life(d.lifecycle);
    if (!d.isRunning.load()) return;
    d.stopFlag.store(true);
    SimPort *port = nullptr;
    {
        std::lock_guard<std::mutex> lock(d.mu);
        SimPort_Wake(d.port);
        port = d.port;
    }
    d.thread.join();
    {
        std::lock_guard<std::mutex> lock(d.mu);
        d.port = nullptr;
        d.path.clear();
    }
    SimPort_Close(port);
    CMDPKG_Destroy(d.codec);
    d.codec = nullptr;
    d.isRunning.store(false);
}

bool VirtualLightSource::running() const { return m_impl->isRunning.load(); }

std::string VirtualLightSource::errorText() const {
    std::lock_guard<std::mutex> lock(m_impl->mu);
    return m_impl->error;
}

std::string VirtualLightSource::portPath() const {
    std::lock_guard<std::mutex> lock(m_impl->mu);
    return m_impl->path;
}

void VirtualLightSource::setFaults(const SimFaults &faults) {
    std::lock_guard<std::mutex> lock(m_impl->mu);
    m_impl->device.setFaults(faults);
    SimPort_Wake(m_impl->port);  // rates may have changed: plan the next wake afresh
}

SimFaults VirtualLightSource::faults() const {
    std::lock_guard<std::mutex> lock(m_impl->mu);
    return m_impl->device.faults();
}

void VirtualLightSource::setFixedTemperature(int ledId, float celsius, bool overTemp) {
    std::lock_guard<std::mutex> lock(m_impl->mu);
    m_impl->device.tick(SimClock::now());
    m_impl->device.setFixedTemperature(ledId, celsius, overTemp);
}

SimTemperature VirtualLightSource::temperature(int ledId) const {
    std::lock_guard<std::mutex> lock(m_impl->mu);
    m_impl->device.tick(SimClock::now());
    return m_impl->device.temperature(ledId);
}

SimDeviceState VirtualLightSource::state() const {
    std::lock_guard<std::mutex> lock(m_impl->mu);
    return m_impl->device.state();
}

void VirtualLightSource::setState(const SimDeviceState &state) {
    std::lock_guard<std::mutex> lock(m_impl->mu);
    m_impl->device.tick(SimClock::now());
    m_impl->device.setState(state);
}

std::vector<CmdPkg> VirtualLightSource::receivedFrames() const {
    const Impl &d = *m_impl;
    std::lock_guard<std::mutex> lock(d.mu);
    const size_t n = d.framesSinceClear < kFrameHistory ? d.framesSinceClear : kFrameHistory;
    std::vector<CmdPkg> out;
    out.reserve(n);
    for (size_t i = d.framesSinceClear - n; i < d.framesSinceClear; ++i) out.push_back(d.history[i % kFrameHistory]);
    return out;
}

void VirtualLightSource::clearReceivedFrames() {
    std::lock_guard<std::mutex> lock(m_impl->mu);
    m_impl->framesSinceClear = 0;
}

bool VirtualLightSource::waitForFrames(size_t n, int timeoutMs) const {
    const Impl &d = *m_impl;
    std::unique_lock<std::mutex> lock(d.mu);
    return d.framesCv.wait_for(lock, std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs),
                               [&d, n] { return d.framesSinceClear >= n; });
}

uint64_t VirtualLightSource::answersSent() const { return m_impl->answers.load(); }

uint64_t VirtualLightSource::requestsHandled() const { return m_impl->requests.load(); }

SimCounters VirtualLightSource::counters() const {
    SimCounters c;
    c.framesReceived = m_impl->requests.load();
    c.answersSent = m_impl->answers.load();
    c.answersDropped = m_impl->dropped.load();
    c.unsolicitedSent = m_impl->unsolicited.load();
    c.noiseBytesSent = m_impl->noise.load();
    return c;
}
