// One SCPI connection's state and the running of its lines: the error queue,
// the status registers, the password lock, the answers. No sockets: the
// server feeds it lines and sends what it answers, so tests drive it with a
// fake device.
#ifndef LIGHTD_SCPI_SESSION_H
#define LIGHTD_SCPI_SESSION_H

#include <array>
#include <cstdint>
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

// The bits of the status registers (README.md, "Status registers").
namespace scpi_status {
// Standard Event Status Register (*ESR?, *ESE).
constexpr unsigned kOperationComplete = 1u << 0;
constexpr unsigned kQueryError = 1u << 2;
constexpr unsigned kDeviceError = 1u << 3;
constexpr unsigned kExecutionError = 1u << 4;
constexpr unsigned kCommandError = 1u << 5;
// Status byte (*STB?, *SRE).
constexpr unsigned kErrorQueue = 1u << 2;
constexpr unsigned kQuestionableSummary = 1u << 3;
constexpr unsigned kMessageAvailable = 1u << 4;
constexpr unsigned kEventSummary = 1u << 5;
constexpr unsigned kRequestService = 1u << 6;
constexpr unsigned kOperationSummary = 1u << 7;
// STATus:QUEStionable.
constexpr unsigned kQuesTemperature = 1u << 4;  // summary of STATus:QUEStionable:TEMPerature
constexpr unsigned kQuesDeviceLost = 1u << 9;
// STATus:QUEStionable:TEMPerature: bit n is SOURce<n+1>'s over-temperature alarm.
// STATus:OPERation.
constexpr unsigned kOperTtlOutput = 1u << 8;
constexpr unsigned kOperInternalOutput = 1u << 9;
}  // namespace scpi_status

// What a session needs of the device; DeviceService in the daemon.
class ScpiDevice {
public:
    using Done = std::function<void(const Outcome &)>;
    virtual ~ScpiDevice() = default;
    virtual const DeviceState &state() const = 0;
    virtual void apply(std::vector<Setting> settings, Done done) = 0;
    virtual void trigger(Done done) = 0;
    // Reads the model and the four temperatures from the device itself.
    virtual void selfTest(Done done) = 0;
    // DALUSDK_GetSdkVersion's number, e.g. 20100.
    virtual unsigned libraryVersion() const = 0;
};

// One SCPI status register with its transition filters.
struct ScpiStatusRegister {
    uint16_t condition = 0;
    uint16_t event = 0;
    uint16_t enable = 0;
    uint16_t positive = 0x7FFF;
    uint16_t negative = 0;

    // New condition bits latch in the event register through the filters.
    void setCondition(uint16_t bits) {
        event |= static_cast<uint16_t>((bits & ~condition & positive) | (condition & ~bits & negative));
        condition = bits;
    }
    bool summary() const { return (event & enable) != 0; }
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
    // The one error that does not stop a line is a failed *TST?: it answers
    // 1 and queues -330, which is then the line's one error.
    void execute(std::string_view line, std::function<void(std::string)> answered);

    // Queues an error; `detail` follows the standard text after ';'. Sets
    // the error's class bit in the Standard Event Status Register.
    void queueError(int code, const std::string &detail = {});
    // Takes the device's conditions (alarms, connection, trigger outputs)
    // into the status registers; the server calls it after every change, and
    // every line starts with it.
    void updateStatus();
    // The status byte as *STB? reads it, with no answers pending.
    unsigned statusByte() const { return statusByte(false); }
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
    unsigned statusByte(bool messageAvailable) const;
    void presetStatus();

    ScpiDevice &m_device;
    std::string m_token;
    bool m_unlocked;
    std::deque<std::pair<int, std::string>> m_errors;
    unsigned m_esr = 0;
    unsigned m_ese = 0;
    unsigned m_sre = 0;
    std::array<ScpiStatusRegister, 3> m_status{};  // by StatusRegister
};

}  // namespace lightd

#endif
