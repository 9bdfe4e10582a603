// The virtual light source for lightd's tests written in Python (the PyVISA
// session, the HTTP side): serves a pseudo-terminal and answers one-line
// commands on standard input, so a test can look at what the device was told
// and put faults on the line.
//
//   port                 -> /dev/pts/N
//   state                -> one JSON object: every setting the device holds
//   frames               -> valid frames received so far
//   writes               -> the write frames since the last "writes", as
//                           "CMD:DATA" in hex, space-separated ("-" for none)
//   temp LED C ALARM     -> fixes a channel's temperature and alarm; "ok"
//   silent 0|1           -> the device stops (or resumes) answering; "ok"
//   unplug / plug        -> the port vanishes / a new one is served; "ok"
//   quit
#include <cstdio>
#include <iostream>
#include <sstream>
#include <string>

#include <nlohmann/json.hpp>

#include "VirtualLightSource.h"

namespace {

nlohmann::json stateJson(const VirtualLightSource &sim) {
    const SimDeviceState s = sim.state();
    nlohmann::json channels = nlohmann::json::array();
    for (int i = 0; i < kSimChannels; ++i)
        channels.push_back({{"enabled", s.ledChecked[i]}, {"brightness", s.ledBrightness[i]}, {"pulse_ms", s.edgePulseMs[i]}});
    return {{"mode", s.workMode},
            {"enabled", s.globalEnable},
            {"channels", channels},
            {"ttl", {{"output_enabled", s.ttlOutputEnable}, {"delay_ms", s.ttlDelayMs}}},
            {"edge", {{"delay_ms", s.edgeDelayMs}}},
            {"internal",
             {{"output_enabled", s.trigOutputEnable},
              {"delay_ms", s.trigDelayMs},
              {"high_ms", s.trigHighMs},
              {"low_ms", s.trigLowMs},
              {"pulse_count", s.trigPulseNum}}},
            {"triggers", s.triggerCount},
            {"frames", sim.requestsHandled()}};
}

}  // namespace

int main() {
    SimOptions options;
    options.fixedTemps = true;
    VirtualLightSource sim(options);
    if (!sim.start()) {
        std::cerr << "sim_probe: " << sim.errorText() << "\n";
        return 1;
    }
    std::string line;
    while (std::getline(std::cin, line)) {
        std::istringstream words(line);
        std::string command;
        words >> command;
        if (command == "port") {
            std::cout << sim.portPath() << std::endl;
        } else if (command == "state") {
            std::cout << stateJson(sim).dump() << std::endl;
        } else if (command == "frames") {
            std::cout << sim.requestsHandled() << std::endl;
        } else if (command == "writes") {
            std::string out;
            for (const CmdPkg &f : sim.receivedFrames()) {
                if (f.cmd >= 0x8000) continue;  // reads: how a tool reads is its own business
                char head[8];
                std::snprintf(head, sizeof head, "%04X:", f.cmd);
                out += (out.empty() ? "" : " ") + std::string(head);
                for (int i = 0; i < f.len; ++i) {
                    char byte[3];
                    std::snprintf(byte, sizeof byte, "%02X", f.data[i]);
                    out += byte;
                }
            }
            sim.clearReceivedFrames();
            std::cout << (out.empty() ? "-" : out) << std::endl;
        } else if (command == "temp") {
            int led = 0;
            float celsius = 0;
            int alarm = 0;
            words >> led >> celsius >> alarm;
            sim.setFixedTemperature(led, celsius, alarm != 0);
            std::cout << "ok" << std::endl;
        } else if (command == "silent") {
            int on = 0;
            words >> on;
            SimFaults faults = sim.faults();
            faults.silent = on != 0;
            sim.setFaults(faults);
            std::cout << "ok" << std::endl;
        } else if (command == "unplug") {
            sim.stop();
            std::cout << "ok" << std::endl;
        } else if (command == "plug") {
            std::cout << (sim.start() ? "ok" : sim.errorText()) << std::endl;
        } else if (command == "quit") {
            break;
        } else {
            std::cout << "unknown command" << std::endl;
        }
    }
    return 0;
}
