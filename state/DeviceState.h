// The daemon's copy of the light source and the writes it can make.
// Shared by the SCPI and HTTP front ends; plain data, no library calls.
#ifndef LIGHTD_DEVICE_STATE_H
#define LIGHTD_DEVICE_STATE_H

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace lightd {

constexpr int kChannelCount = 4;
// "LED385", "LED480", "LED550", "LED640", indexed by channel.
extern const char *const kChannelNames[kChannelCount];
// The index of a channel name in any case ("led550" is 2); -1 for others.
int channelIndexByName(std::string_view name);

enum class WorkMode : uint8_t { Normal = 0, Ttl = 1, Edge = 2, Internal = 3, Sequence = 4 };

struct ChannelState {
    bool enabled = false;
    uint16_t brightness = 0;        // percent, 0..100
    uint16_t pulseMs = 0;           // edge-mode pulse width
    float temperature = 0.0f;       // degrees C, from the last poll
    bool overTemperature = false;
    bool temperatureKnown = false;  // false until a poll has read this channel
};

// Settings are read in full when the port opens and updated after every
// write that succeeds; temperatures and alarms come from the poll.
struct DeviceState {
    bool connected = false;
    std::string port;
    std::string lastError;  // the library's reason when the connection was lost or could not be made
    int64_t connectedSinceMs = 0;  // Unix time the port was opened and read; 0 while not connected
    uint32_t model = 0;
    uint32_t firmwareVersion = 0;
    bool enabled = false;
    uint8_t mode = 0;  // as the device reports it
    std::array<ChannelState, kChannelCount> channels{};
    struct {
        bool outputEnabled = false;
        uint16_t delayMs = 0;
    } ttl;
    struct {
        uint16_t delayMs = 0;
    } edge;
    struct {
        bool outputEnabled = false;
        uint16_t delayMs = 0;
        uint16_t highMs = 0;
        uint16_t lowMs = 0;
        uint8_t pulseCount = 0;
    } internal;
};

// "4-colour", "8-colour" or "unknown".
const char *modelName(uint32_t model);
// The device's version 0x00010203 as "1.2.3".
std::string firmwareText(uint32_t version);

// One write the device takes.
enum class Field {
    GlobalEnable,    // value 0/1
    WorkMode,        // 0..4
    ChannelEnable,   // channel 0..3, value 0/1
    Brightness,      // channel 0..3, value 0..100
    PulseWidth,      // channel 0..3, value 0..5000 ms
    TtlOutput,       // 0/1
    TtlDelay,        // 0..5000 ms
    EdgeDelay,       // 0..5000 ms
    InternalOutput,  // 0/1
    InternalDelay,   // 0..5000 ms
    InternalHigh,    // 0..5000 ms
    InternalLow,     // 0..5000 ms
    InternalCount,   // 0..100
};

struct Setting {
    Field field;
    int channel;  // 0..3 for the per-channel fields, -1 otherwise
    unsigned value;
};

// True when the setting's channel and value are within the device's ranges.
// Both front ends check every setting with this before anything is sent.
bool settingInRange(const Setting &setting);
// The largest value a field takes (1 for the on/off fields).
unsigned settingMaximum(Field field);

// The result of a device operation, delivered on the event loop.
struct Outcome {
    enum class Status { Ok, NotConnected, DeviceFailed };
    Status status = Status::Ok;
    std::string reason;  // for DeviceFailed: the library's own line(s)
    bool ok() const { return status == Status::Ok; }
};

}  // namespace lightd

#endif
