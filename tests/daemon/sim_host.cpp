// The virtual light source for tests written in other languages: serves a
// pty, prints "serving PATH", then takes commands on standard input, one per
// line, and answers each with one line:
//   state            the device state as key=value pairs
//   silent 1|0       the silent fault on or off
//   temp N C A       channel N (0..3) at C degrees, alarm A (0/1)
//   quit
#include <cstdio>
#include <iostream>
#include <sstream>
#include <string>

#include "VirtualLightSource.h"

namespace {

std::string list(const uint8_t *v) {
    std::ostringstream out;
    for (int i = 0; i < kSimChannels; ++i) out << (i ? "," : "") << static_cast<unsigned>(v[i]);
    return out.str();
}

std::string list(const uint16_t *v) {
    std::ostringstream out;
    for (int i = 0; i < kSimChannels; ++i) out << (i ? "," : "") << v[i];
    return out.str();
}

}  // namespace

int main() {
    SimOptions options;
    options.fixedTemps = true;
    VirtualLightSource sim(options);
    if (!sim.start()) {
        std::printf("error %s\n", sim.errorText().c_str());
        return 1;
    }
    std::printf("serving %s\n", sim.portPath().c_str());
    std::fflush(stdout);
    std::string line;
    while (std::getline(std::cin, line)) {
        std::istringstream in(line);
        std::string command;
        in >> command;
        if (command == "state") {
            const SimDeviceState s = sim.state();
            std::printf("global=%u mode=%u checked=%s brightness=%s pulse=%s ttl_output=%u ttl_delay=%u "
                        "edge_delay=%u int_output=%u int_delay=%u int_high=%u int_low=%u int_count=%u triggers=%u\n",
                        s.globalEnable, s.workMode, list(s.ledChecked).c_str(), list(s.ledBrightness).c_str(),
                        list(s.edgePulseMs).c_str(), s.ttlOutputEnable, s.ttlDelayMs, s.edgeDelayMs,
                        s.trigOutputEnable, s.trigDelayMs, s.trigHighMs, s.trigLowMs, s.trigPulseNum,
                        s.triggerCount);
        } else if (command == "silent") {
            int on = 0;
            in >> on;
            SimFaults faults;
            faults.silent = on != 0;
            sim.setFaults(faults);
            std::printf("ok\n");
        } else if (command == "temp") {
            int channel = 0, alarm = 0;
            float celsius = 0.0f;
            in >> channel >> celsius >> alarm;
            sim.setFixedTemperature(channel, celsius, alarm != 0);
            std::printf("ok\n");
        } else if (command == "quit") {
            break;
        } else {
            std::printf("unknown %s\n", command.c_str());
        }
        std::fflush(stdout);
    }
    sim.stop();
    return 0;
}
