// One SCPI connection's state and the running of its lines: the error queue,
// the password lock, the answers. No sockets: the server feeds it lines and
// sends what it answers, so tests drive it with a fake device.
#ifndef LIGHTD_SCPI_SESSION_H
#define LIGHTD_SCPI_SESSION_H

#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "DeviceState.h"
#include "ScpiParser.h"

namespace lightd {

// What a session needs of the device; DeviceService in the daemon.
class ScpiDevice {
public:
    using Done = std::function<void(const Outcome &)>;
    virtual ~ScpiDevice() = default;
    virtual const DeviceState &state() const = 0;
    virtual void apply(std::vector<Setting> settings, Done done) = 0;
    virtual void trigger(Done done) = 0;
};

class ScpiSession {
public:
    // Errors kept per connection; one more replaces the newest with -350.
    static constexpr size_t kErrorQueueSize = 16;

    // An empty token: nothing is protected.
    ScpiSession(ScpiDevice &device, std::string token);

    // Runs one line (without its terminator). `answered` gets the line's
    // answers joined by ';' (empty: send nothing), after every command of the
    // line ran; it may be called before execute returns or later, from the
    // device's completions. One line at a time.
    //
    // A line either runs whole or fails with one queued error and answers
    // nothing: a command error anywhere refuses it before anything runs; an
    // execution error (device, lock, password) stops it at that command.
    // Partial answers would let a client read one query's value as another's.
    void execute(std::string_view line, std::function<void(std::string)> answered);

    // Queues an error; `detail` follows the standard text after ';'.
    void queueError(int code, const std::string &detail = {});
    // The oldest error as SYSTem:ERRor? answers it, "0,\"No error\"" when none.
    std::string nextError();
    size_t errorCount() const { return m_errors.size(); }
    bool unlocked() const { return m_unlocked; }

private:
    struct Run;
    enum class Step { Next, Waiting, Failed };
    void step(const std::shared_ptr<Run> &run);
    void fail(const std::shared_ptr<Run> &run);
    // Runs a unit; Waiting when it went to the device and step resumes later,
    // Failed when it queued an error.
    Step runUnit(const std::shared_ptr<Run> &run, const ScpiUnit &unit);
    bool needConnection();

    ScpiDevice &m_device;
    std::string m_token;
    bool m_unlocked;
    std::deque<std::pair<int, std::string>> m_errors;
};

}  // namespace lightd

#endif
