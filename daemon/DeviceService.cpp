#include "DeviceService.h"

#include <atomic>
#include <cctype>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <thread>

#include <boost/asio/post.hpp>

#include "DALU_LightKit.h"

namespace lightd {

namespace {

using Clock = std::chrono::steady_clock;

std::atomic<bool> g_verbose{false};
// The lines of the call the device thread is making; null on other threads
// (the library's receive threads), whose lines are only shown with -v.
thread_local std::vector<std::string> *t_callLines = nullptr;
constexpr size_t kMaxLinesPerCall = 8;

// The library names the operating system's code of a failed open ("failed
// with error 2."); the log and the clients get its plain words after it.
std::string plainOpenReason(const std::vector<std::string> &lines) {
    static const std::string tag = "failed with error ";
    for (const std::string &line : lines) {
        const size_t at = line.find(tag);
        if (at == std::string::npos) continue;
        const int code = std::atoi(line.c_str() + at + tag.size());
        // The library locks the port it opens; a second open finds the lock taken.
        if (code == EWOULDBLOCK || code == EBUSY) return ": the port is in use by another program";
        std::string text = std::strerror(code);
        if (!text.empty()) text[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(text[0])));
        return ": " + text;
    }
    return {};
}

void onLibraryLine(const char *line, void *) {
    if (t_callLines != nullptr && t_callLines->size() < kMaxLinesPerCall) t_callLines->emplace_back(line);
    if (g_verbose.load(std::memory_order_relaxed)) std::fprintf(stderr, "lightd: library: %s\n", line);
}

const char kNotConnected[] = "device not connected";

}  // namespace

struct DeviceService::Impl {
    struct Job {
        bool trigger = false;
        bool selfTest = false;
        std::vector<Setting> settings;
        Done done;
    };

    Impl(boost::asio::io_context &loop_, Options options_) : loop(loop_), options(std::move(options_)) {
        state.port = options.port;
        device.port = options.port;
    }

    boost::asio::io_context &loop;
    const Options options;

    // Loop thread.
    DeviceState state;
    std::map<int, Listener> listeners;
    int nextListenerId = 1;
    // Posted completions check this, so none runs after the service is gone.
    std::shared_ptr<int> alive = std::make_shared<int>(0);

    // Shared between the loop and the device thread.
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<Job> jobs;
    bool stopping = false;
    std::thread thread;
    std::atomic<uint64_t> calls{0};
    std::atomic<uint64_t> failures{0};

    // Device thread.
    void *handle = nullptr;
    DeviceState device;
    std::vector<std::string> lines;
    bool announced = false;  // the first State event went out

    // ---- loop side ------------------------------------------------------

    void notify(Event event) {
        // A listener may unsubscribe (itself or another) while we iterate.
        const auto copy = listeners;
        for (const auto &entry : copy) {
            if (listeners.count(entry.first) != 0) entry.second(event, state);
        }
    }

    void enqueue(Job job) {
        {
            std::lock_guard<std::mutex> guard(mutex);
            if (!stopping && thread.joinable()) {
                jobs.push_back(std::move(job));
                wake.notify_one();
                return;
            }
        }
        finishLater(std::move(job.done), Outcome{Outcome::Status::NotConnected, kNotConnected});
    }

    void finishLater(Done done, Outcome outcome) {
        if (!done) return;
        std::weak_ptr<int> guard = alive;
        boost::asio::post(loop, [guard, done = std::move(done), outcome = std::move(outcome)] {
            if (!guard.expired()) done(outcome);
        });
    }

    // ---- device thread --------------------------------------------------

    // Hands the device thread's copy to the loop, then the completion (which
    // sees the new state), then the listeners.
    void publish(Event event, Done done = {}, Outcome outcome = {}) {
        std::weak_ptr<int> guard = alive;
        boost::asio::post(loop, [this, guard, event, snapshot = device, done = std::move(done),
                                 outcome = std::move(outcome)]() mutable {
            if (guard.expired()) return;
            state = std::move(snapshot);
            if (done) done(outcome);
            notify(event);
        });
    }

    template <typename Call>
    bool call(Call &&libraryCall) {
        lines.clear();
        t_callLines = &lines;
        const int rc = libraryCall();
        t_callLines = nullptr;
        calls.fetch_add(1, std::memory_order_relaxed);
        if (rc != 0) failures.fetch_add(1, std::memory_order_relaxed);
        return rc == 0;
    }

    std::string reason() const {
        std::string text;
        for (const auto &line : lines) {
            if (!text.empty()) text += "; ";
            text += line;
        }
        return text.empty() ? std::string("the library call failed") : text;
    }

    void closeHandle() {
        if (handle == nullptr) return;
        call([this] { return DALUSDK_DestroyHandle(handle); });
        handle = nullptr;
    }

    // The port is gone or the device silent: drop the handle and say so.
    void loseConnection(const std::string &why) {
        closeHandle();
        device.connected = false;
        device.connectedSinceMs = 0;
        device.lastError = why;
        for (auto &channel : device.channels) channel.temperatureKnown = false;
    }

    bool readSettings() {
        DeviceState &d = device;
        unsigned char byte = 0;
        unsigned short word = 0;
        int mode = 0;
        unsigned int model = 0, version = 0;
        auto readByte = [&](auto fn, bool &out) {
            if (!call([&] { return fn(handle, &byte); })) return false;
            out = byte != 0;
            return true;
        };
        auto readWord = [&](auto fn, uint16_t &out) {
            if (!call([&] { return fn(handle, &word); })) return false;
            out = word;
            return true;
        };
        if (!call([&] { return DALUSDK_GetDeviceModel(handle, &model); })) return false;
        if (!call([&] { return DALUSDK_GetDeviceSofewareVersion(handle, &version); })) return false;
        d.model = model;
        d.firmwareVersion = version;
        if (!readByte(DALUSDK_GetGlobalEnable, d.enabled)) return false;
        if (!call([&] { return DALUSDK_GetWorkMode(handle, &mode); })) return false;
        d.mode = static_cast<uint8_t>(mode);
        for (int led = 0; led < kChannelCount; ++led) {
            ChannelState &c = d.channels[led];
            if (!call([&] { return DALUSDK_GetLedChecked(handle, led, &byte); })) return false;
            c.enabled = byte != 0;
            if (!call([&] { return DALUSDK_GetLedBrightness(handle, led, &word); })) return false;
            c.brightness = word;
            if (!call([&] { return DALUSDK_ModeEdge_GetPulseTime(handle, led, &word); })) return false;
            c.pulseMs = word;
        }
        if (!readByte(DALUSDK_ModeTtl_GetOutputEnable, d.ttl.outputEnabled)) return false;
        if (!readWord(DALUSDK_ModeTtl_GetDelayTime, d.ttl.delayMs)) return false;
        if (!readWord(DALUSDK_ModeEdge_GetDelayTime, d.edge.delayMs)) return false;
        if (!readByte(DALUSDK_ModeTrigger_GetOutputEnable, d.internal.outputEnabled)) return false;
        if (!readWord(DALUSDK_ModeTrigger_GetDelayTime, d.internal.delayMs)) return false;
        if (!readWord(DALUSDK_ModeTrigger_GetHighTime, d.internal.highMs)) return false;
        if (!readWord(DALUSDK_ModeTrigger_GetLowTime, d.internal.lowMs)) return false;
        if (!call([&] { return DALUSDK_ModeTrigger_GetPulseNum(handle, &byte); })) return false;
        d.internal.pulseCount = byte;
        return true;
    }

    // Opens the port and reads everything, temperatures included, so that
    // the first State event already answers every query; false on failure.
    bool open() {
        bool ok = call([this] {
            handle = DALUSDK_CreateHandle(options.port.c_str());
            return handle != nullptr ? 0 : -1;
        });
        const std::string openReason = ok ? std::string() : plainOpenReason(lines);
        if (ok && !(readSettings() && readTemperatures())) {
            const std::string why = reason();
            loseConnection(why);
            lines.assign(1, why);
            ok = false;
        }
        if (!ok) {
            device.connected = false;
            device.lastError = reason() + openReason;
            if (!announced) {
                announced = true;
                publish(Event::State);
            }
            return false;
        }
        announced = true;
        device.connected = true;
        device.connectedSinceMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                                      std::chrono::system_clock::now().time_since_epoch())
                                      .count();
        device.lastError.clear();
        publish(Event::State);
        publish(Event::Temperatures);
        return true;
    }

    // Four reads, one per channel, whatever the number of clients.
    bool readTemperatures() {
        for (int led = 0; led < kChannelCount; ++led) {
            float temperature = 0.0f;
            unsigned char alarm = 0;
            if (!call([&] { return DALUSDK_GetLedTempStatus(handle, led, &temperature, &alarm); })) return false;
            ChannelState &c = device.channels[led];
            c.temperature = temperature;
            c.overTemperature = alarm != 0;
            c.temperatureKnown = true;
        }
        return true;
    }

    bool poll() {
        if (!readTemperatures()) {
            loseConnection(reason());
            publish(Event::State);
            return false;
        }
        publish(Event::Temperatures);
        return true;
    }

    bool write(const Setting &s) {
        DeviceState &d = device;
        const unsigned v = s.value;
        const int led = s.channel;
        const auto u8 = static_cast<unsigned char>(v);
        const auto u16 = static_cast<unsigned short>(v);
        switch (s.field) {
        case Field::GlobalEnable:
            if (!call([&] { return DALUSDK_SetGlobalEnable(handle, u8); })) return false;
            d.enabled = v != 0;
            return true;
        case Field::WorkMode:
            if (!call([&] { return DALUSDK_SetWorkMode(handle, static_cast<int>(v)); })) return false;
            d.mode = u8;
            return true;
        case Field::ChannelEnable:
            if (!call([&] { return DALUSDK_SetLedChecked(handle, led, u8); })) return false;
            d.channels[led].enabled = v != 0;
            return true;
        case Field::Brightness:
            if (!call([&] { return DALUSDK_SetLedBrightness(handle, led, u16); })) return false;
            d.channels[led].brightness = u16;
            return true;
        case Field::PulseWidth:
            if (!call([&] { return DALUSDK_ModeEdge_SetPulseTime(handle, led, u16); })) return false;
            d.channels[led].pulseMs = u16;
            return true;
        case Field::TtlOutput:
            if (!call([&] { return DALUSDK_ModeTtl_SetOutputEnable(handle, u8); })) return false;
            d.ttl.outputEnabled = v != 0;
            return true;
        case Field::TtlDelay:
            if (!call([&] { return DALUSDK_ModeTtl_SetDelayTime(handle, u16); })) return false;
            d.ttl.delayMs = u16;
            return true;
        case Field::EdgeDelay:
            if (!call([&] { return DALUSDK_ModeEdge_SetDelayTime(handle, u16); })) return false;
            d.edge.delayMs = u16;
            return true;
        case Field::InternalOutput:
            if (!call([&] { return DALUSDK_ModeTrigger_SetOutputEnable(handle, u8); })) return false;
            d.internal.outputEnabled = v != 0;
            return true;
        case Field::InternalDelay:
            if (!call([&] { return DALUSDK_ModeTrigger_SetDelayTime(handle, u16); })) return false;
            d.internal.delayMs = u16;
            return true;
        case Field::InternalHigh:
            if (!call([&] { return DALUSDK_ModeTrigger_SetHighTime(handle, u16); })) return false;
            d.internal.highMs = u16;
            return true;
        case Field::InternalLow:
            if (!call([&] { return DALUSDK_ModeTrigger_SetLowTime(handle, u16); })) return false;
            d.internal.lowMs = u16;
            return true;
        case Field::InternalCount:
            if (!call([&] { return DALUSDK_ModeTrigger_SetPulseNum(handle, u8); })) return false;
            d.internal.pulseCount = u8;
            return true;
        }
        return false;
    }

    void run(Job &job) {
        if (handle == nullptr) {
            finishLater(std::move(job.done), Outcome{Outcome::Status::NotConnected, notConnectedReason()});
            return;
        }
        Outcome outcome;
        if (job.selfTest) {
            unsigned int model = 0;
            if (!call([&] { return DALUSDK_GetDeviceModel(handle, &model); }) || !readTemperatures()) {
                outcome = failed();
                publish(Event::State, std::move(job.done), std::move(outcome));
                return;
            }
            publish(Event::Temperatures, std::move(job.done), std::move(outcome));
            return;
        }
        if (job.trigger) {
            if (!call([this] { return DALUSDK_ModeTrigger_OnTrigger(handle); })) outcome = failed();
        } else {
            for (const Setting &s : job.settings) {
                if (!settingInRange(s)) {
                    outcome = Outcome{Outcome::Status::DeviceFailed, "setting out of range"};
                    break;
                }
                if (!write(s)) {
                    outcome = failed();
                    break;
                }
            }
        }
        publish(Event::State, std::move(job.done), std::move(outcome));
    }

    // A write that could not be sent means the port is gone.
    Outcome failed() {
        Outcome outcome{Outcome::Status::DeviceFailed, reason()};
        loseConnection(outcome.reason);
        return outcome;
    }

    std::string notConnectedReason() const {
        return device.lastError.empty() ? std::string(kNotConnected)
                                        : std::string(kNotConnected) + ": " + device.lastError;
    }

    void threadMain() {
        auto nextOpen = Clock::now();
        auto nextPoll = Clock::now();
        for (;;) {
            std::deque<Job> batch;
            {
                std::unique_lock<std::mutex> guard(mutex);
                const auto deadline = handle != nullptr ? nextPoll : nextOpen;
                wake.wait_until(guard, deadline, [this] { return stopping || !jobs.empty(); });
                if (stopping) break;
                batch.swap(jobs);
            }
            for (Job &job : batch) run(job);

            const auto now = Clock::now();
            if (handle == nullptr) {
                if (now >= nextOpen) {
                    if (open()) {
                        nextPoll = Clock::now() + options.pollInterval;
                    } else {
                        nextOpen = Clock::now() + options.reopenInterval;
                    }
                }
            } else if (now >= nextPoll) {
                // The poll keeps its rhythm unless it fell behind by a whole interval.
                nextPoll += options.pollInterval;
                if (nextPoll < now) nextPoll = now + options.pollInterval;
                if (!poll()) nextOpen = Clock::now() + options.reopenInterval;
            }
        }
        closeHandle();
    }
};

DeviceService::DeviceService(boost::asio::io_context &loop, Options options)
    : m_impl(std::make_unique<Impl>(loop, std::move(options))) {}

DeviceService::~DeviceService() {
    stop();
    m_impl->alive.reset();
}

void DeviceService::start() {
    Impl &d = *m_impl;
    std::lock_guard<std::mutex> guard(d.mutex);
    if (d.thread.joinable()) return;
    if (d.options.verbose) g_verbose.store(true);
    // Library lines never reach standard output; a failed call's lines become its reason.
    DALUSDK_SetLogHandler(onLibraryLine, nullptr);
    d.stopping = false;
    d.thread = std::thread([&d] { d.threadMain(); });
}

void DeviceService::stop() {
    Impl &d = *m_impl;
    {
        std::lock_guard<std::mutex> guard(d.mutex);
        if (!d.thread.joinable()) return;
        d.stopping = true;
    }
    d.wake.notify_all();
    d.thread.join();
    std::deque<Impl::Job> left;
    {
        std::lock_guard<std::mutex> guard(d.mutex);
        left.swap(d.jobs);
    }
    for (auto &job : left) d.finishLater(std::move(job.done), Outcome{Outcome::Status::NotConnected, kNotConnected});
    d.state.connected = false;
    d.state.connectedSinceMs = 0;
}

const DeviceState &DeviceService::state() const { return m_impl->state; }

void DeviceService::apply(std::vector<Setting> settings, Done done) {
    Impl::Job job;
    job.settings = std::move(settings);
    job.done = std::move(done);
    m_impl->enqueue(std::move(job));
}

void DeviceService::trigger(Done done) {
    Impl::Job job;
    job.trigger = true;
    job.done = std::move(done);
    m_impl->enqueue(std::move(job));
}

void DeviceService::selfTest(Done done) {
    Impl::Job job;
    job.selfTest = true;
    job.done = std::move(done);
    m_impl->enqueue(std::move(job));
}

int DeviceService::subscribe(Listener listener) {
    const int id = m_impl->nextListenerId++;
    m_impl->listeners.emplace(id, std::move(listener));
    return id;
}

void DeviceService::unsubscribe(int id) { m_impl->listeners.erase(id); }

DeviceService::Counters DeviceService::counters() const {
    Counters c;
    c.deviceCalls = m_impl->calls.load(std::memory_order_relaxed);
    c.deviceFailures = m_impl->failures.load(std::memory_order_relaxed);
    return c;
}

}  // namespace lightd
