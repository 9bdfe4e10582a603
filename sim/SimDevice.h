// The virtual light source's device logic: the state that the writes set, the
// answers to the reads, the temperature model and the answer faults. No port,
// no thread and no lock: VirtualLightSource serialises every call.
#ifndef LIGHTSIM_SIM_DEVICE_H
#define LIGHTSIM_SIM_DEVICE_H

#include <chrono>
#include <cstdint>

#include "cmdpkg.h"

constexpr int kSimChannels = 4;

// Default identity: four-colour model, software version 1.2.3.
constexpr uint32_t kSimDefaultModel = 0xFFAA0400u;
constexpr uint32_t kSimDefaultVersion = 0x00010203u;

// Temperature model, in hundredths of a degree. A channel that is lit (its
// enable and the global enable on) heads for ambient + rise * brightness / 100
// with a first-order lag; an unlit one cools towards ambient.
constexpr int kSimAmbientCenti = 2500;       // 25.00 C
constexpr int kSimOverTempOnCenti = 6000;    // alarm rises above 60.00 C
constexpr int kSimOverTempOffCenti = 5500;   // and clears below 55.00 C
constexpr int kSimFullPowerRiseCenti = 5000; // 100 % brightness settles at 75.00 C
constexpr double kSimThermalTauSec = 20.0;   // first-order time constant

using SimClock = std::chrono::steady_clock;

// Everything a write sets. Values are kept exactly as sent, out-of-range ones
// included, so that a test can preset what a misbehaving device would report.
struct SimDeviceState {
    uint8_t workMode = 0;        // 0x0001 / 0x8001
    uint8_t globalEnable = 1;    // 0x0002 / 0x8002
    uint8_t ledChecked[kSimChannels] = {0, 0, 0, 0};       // 0x0101 / 0x8101
    uint16_t ledBrightness[kSimChannels] = {0, 0, 0, 0};   // 0x0102 / 0x8102
    uint8_t ttlOutputEnable = 0;  // 0x0201 / 0x8201
    uint16_t ttlDelayMs = 0;      // 0x0202 / 0x8202
    uint16_t edgeDelayMs = 0;     // 0x0301 / 0x8301
    uint16_t edgePulseMs[kSimChannels] = {0, 0, 0, 0};     // 0x0302 / 0x8302
    uint8_t trigOutputEnable = 0; // 0x0401 / 0x8401
    uint16_t trigDelayMs = 0;     // 0x0402 / 0x8402
    uint16_t trigHighMs = 0;      // 0x0403 / 0x8403
    uint16_t trigLowMs = 0;       // 0x0404 / 0x8404
    uint8_t trigPulseNum = 0;     // 0x0405 / 0x8405
    uint32_t triggerCount = 0;    // number of 0x0406 received
};

// Answer faults. All off by default.
struct SimFaults {
    bool silent = false;        // answer nothing (writes are still applied)
    int lateMs = 0;             // hold every answer back by this many ms
    int dropEvery = 0;          // drop the Nth, 2Nth, ... answer (0: none)
    bool wrongLedId = false;    // per-channel answers echo (ledId + 1) % 4
    bool wrongLength = false;   // answers carry one extra zero byte
    bool badChecksum = false;   // answers carry checksum + 1
    bool answerTwice = false;   // every answer is sent twice
    bool wrongCode = false;     // answers carry the request code XOR 0x4000
    int unsolicitedPerSec = 0;  // valid frames nobody asked for
    int noiseBytesPerSec = 0;   // random bytes between frames
};

struct SimTemperature {
    int16_t centi = kSimAmbientCenti;  // as sent on the wire
    bool overTemp = false;
};

// What one request makes the device send: up to two encoded frames (the
// second only with answerTwice), each in CMDPKG_CreateBytes layout (length
// byte, then the frame).
struct SimAnswer {
    int frameCount = 0;
    bool dropped = false;  // an answer was due but the dropEvery fault ate it
    uint8_t frames[2][kCmdPkgFrameBufSize];
};

enum class SimRequestKind { Write, Read, Unknown, Malformed };

class SimDevice {
public:
    SimDevice(uint32_t model, uint32_t version, SimClock::time_point now);

    // Applies a write or answers a read, with the faults in force. `now`
    // drives the temperature model.
    SimRequestKind handle(const CmdPkg &request, SimClock::time_point now, SimAnswer *answer);

    // The clean answer to a read (no faults): false for writes, unknown codes
    // and requests too short for their code or naming a channel above 3.
    bool answerFor(const CmdPkg &request, CmdPkg *reply) const;

    // Advances the temperature model to `now` (no-op in fixed mode).
    void tick(SimClock::time_point now);

    // Fixed mode: temperature and alarm stay exactly as set, per channel.
    void setFixedMode(bool fixed);
    bool fixedMode() const { return m_fixed; }
    void setFixedTemperature(int ledId, float celsius, bool overTemp);
    SimTemperature temperature(int ledId) const;

    const SimDeviceState &state() const { return m_state; }
    void setState(const SimDeviceState &state) { m_state = state; }
    const SimFaults &faults() const { return m_faults; }
    void setFaults(const SimFaults &faults);

    uint32_t model() const { return m_model; }
    uint32_t version() const { return m_version; }

    // The next unsolicited frame: the device announcing one of its settings
    // under a write code, which no read waits for.
    void nextUnsolicited(CmdPkg *pkg);

private:
    void applyWrite(const CmdPkg &request);
    static bool isWrite(uint16_t cmd);

    SimDeviceState m_state;
    SimFaults m_faults;
    uint32_t m_model;
    uint32_t m_version;
    bool m_fixed = false;
    double m_tempCenti[kSimChannels];
    bool m_over[kSimChannels] = {false, false, false, false};
    SimClock::time_point m_lastTick;
    uint64_t m_answersDue = 0;  // counts answers for dropEvery
    unsigned m_unsolicitedNext = 0;
};

// Parses "25.00,30.5,-2,70:0" (one to four values; "T:1" / "T:0" forces the
// alarm, otherwise it follows the 60.00 C threshold). False on bad input.
bool SimParseFixedTemps(const char *text, SimTemperature out[kSimChannels], int *count);

#endif
