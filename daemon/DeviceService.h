// The one owner of the light source inside lightd.
//
// A device thread makes every library call, in order: it opens the port, reads
// every setting, polls temperatures and alarms every poll interval, applies
// writes, and reopens the port after it is lost. Everything else runs on the
// event loop: the front ends read the cached DeviceState and queue writes;
// results and change events come back to the loop by posting, so no lock is
// shared with network sessions.
#ifndef LIGHTD_DEVICE_SERVICE_H
#define LIGHTD_DEVICE_SERVICE_H

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>

#include "DeviceState.h"

namespace lightd {

class DeviceService {
public:
    struct Options {
        std::string port;                                  // as DALUSDK_CreateHandle names ports
        std::chrono::milliseconds pollInterval{1000};      // temperature poll
        std::chrono::milliseconds reopenInterval{1000};    // between attempts while the port is gone
        bool verbose = false;                              // the library's lines to standard error
    };
    enum class Event {
        State,         // a setting, the connection or the identity changed
        Temperatures,  // a poll finished
    };
    using Listener = std::function<void(Event, const DeviceState &)>;
    using Done = std::function<void(const Outcome &)>;
    struct Counters {
        uint64_t deviceCalls = 0;
        uint64_t deviceFailures = 0;
    };

    DeviceService(boost::asio::io_context &loop, Options options);
    ~DeviceService();  // stops the device thread and destroys the handle
    DeviceService(const DeviceService &) = delete;
    DeviceService &operator=(const DeviceService &) = delete;

    // Starts the device thread. Returns at once; the first State event
    // follows when the port is open and read (or the connection failed).
    void start();
    // Stops the device thread; pending operations complete with NotConnected.
    void stop();

    // Loop thread only from here on.
    const DeviceState &state() const;
    // Applies the settings in order, stopping at the first failure; the state
    // copy is updated after each write that succeeds; then one State event.
    // Settings must already have passed settingInRange().
    void apply(std::vector<Setting> settings, Done done);
    // Fires one internal trigger.
    void trigger(Done done);
    // Reads the model and the four temperatures from the device (not the
    // copy); the copy takes the temperatures, then one Temperatures event.
    void selfTest(Done done);
    // Listeners run on the loop thread after every change and every poll.
    int subscribe(Listener listener);
    void unsubscribe(int id);
    Counters counters() const;

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

}  // namespace lightd

#endif
