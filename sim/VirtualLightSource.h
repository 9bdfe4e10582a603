// VirtualLightSource: the light source at the far end of the serial line, as
// an in-process test fixture. It serves a pseudo-terminal that it creates
// (or an existing port), parses requests with its own codec and answers them
// as the device does, on a serving thread of its own.
//
// Use:
//   VirtualLightSource sim;                  // defaults: model 0xFFAA0400
//   ASSERT_TRUE(sim.start());                // false + errorText() on failure
//   void *h = DALUSDK_CreateHandle(sim.portPath().c_str());
//   ...
//   DALUSDK_DestroyHandle(h);
//   sim.stop();                              // or let the destructor do it
//
// Threads: every public member may be called from any thread at any time;
// faults and state may be changed while requests are in flight. Calling
// stop() while a library handle is open is an "unplug": the pty vanishes and
// the library's reads fail from then on.
#ifndef LIGHTSIM_VIRTUAL_LIGHT_SOURCE_H
#define LIGHTSIM_VIRTUAL_LIGHT_SOURCE_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "SimDevice.h"

// Counted from construction on, across stop() and start().
struct SimCounters {
    uint64_t framesReceived = 0;   // valid frames
    uint64_t answersSent = 0;      // answer frames written to the line
    uint64_t answersDropped = 0;   // answers eaten by the dropEvery fault
    uint64_t unsolicitedSent = 0;  // frames nobody asked for
    uint64_t noiseBytesSent = 0;   // random bytes written between frames
};

struct SimOptions {
    uint32_t model = kSimDefaultModel;
    uint32_t version = kSimDefaultVersion;
    bool fixedTemps = false;  // temperatures stay at 25.00 C until set
    bool logFrames = false;   // "rx ..." / "tx ..." lines on standard output
    SimFaults faults;
    std::string port;         // empty: create a pseudo-terminal
    // Line noise is reproducible. Seed 1 gives no 55 AA pair in its first
    // 20000 bytes, so that noise alone never opens a frame in the library's
    // parser; other seeds may, and then cost answers.
    uint32_t noiseSeed = 1;
};

class VirtualLightSource {
public:
    // Most recent frames kept by receivedFrames(); older ones are let go so
    // that long runs stay flat in memory (the count in waitForFrames is not
    // capped).
    static constexpr size_t kFrameHistory = 4096;

    explicit VirtualLightSource(SimOptions opts = {});
    ~VirtualLightSource();  // stops
    VirtualLightSource(const VirtualLightSource &) = delete;
    VirtualLightSource &operator=(const VirtualLightSource &) = delete;

    // Opens the port and starts serving. False (see errorText) on failure or
    // when already running. May be called again after stop(): a new pty.
    bool start();
    // Stops serving and closes the port; the library sees the far end vanish.
    void stop();
    bool running() const;
    std::string errorText() const;

    // What to pass to DALUSDK_CreateHandle ("/dev/pts/N"); empty when stopped.
    std::string portPath() const;

    void setFaults(const SimFaults &faults);
    SimFaults faults() const;

    // Switches the source to fixed temperatures: channel `ledId` (0..3) now
    // reports exactly `celsius` (to 0.01, limited to the wire's int16 range)
    // and `overTemp`. The other channels keep what they report now.
    void setFixedTemperature(int ledId, float celsius, bool overTemp);
    SimTemperature temperature(int ledId) const;

    SimDeviceState state() const;
    void setState(const SimDeviceState &state);

    // Valid frames received since start or the last clear, oldest first
    // (at most kFrameHistory of them).
    std::vector<CmdPkg> receivedFrames() const;
    void clearReceivedFrames();
    // Waits until at least n frames were received since the last clear.
    bool waitForFrames(size_t n, int timeoutMs) const;

    uint64_t answersSent() const;     // answer frames written to the line
    uint64_t requestsHandled() const; // valid frames received since construction
    SimCounters counters() const;

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

#endif
