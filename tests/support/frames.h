// Wire frames built by hand, independently of the library's encoder, so that
// tests compare the codec against a second reading of the format.
#ifndef LIGHTKIT_TESTS_SUPPORT_FRAMES_H
#define LIGHTKIT_TESTS_SUPPORT_FRAMES_H

#include <cstdint>
#include <vector>

using Bytes = std::vector<uint8_t>;

// 55 AA, code high and low, length, payload, checksum of code to payload, FA.
inline Bytes frameOf(uint16_t cmd, const Bytes &payload) {
    Bytes f = {0x55, 0xAA, static_cast<uint8_t>(cmd >> 8), static_cast<uint8_t>(cmd & 0xFF),
               static_cast<uint8_t>(payload.size())};
    uint8_t sum = static_cast<uint8_t>(f[2] + f[3] + f[4]);
    for (uint8_t b : payload) {
        f.push_back(b);
        sum = static_cast<uint8_t>(sum + b);
    }
    f.push_back(sum);
    f.push_back(0xFA);
    return f;
}

// The command code a frame carries.
inline uint16_t frameCmd(const Bytes &frame) { return static_cast<uint16_t>((frame[2] << 8) | frame[3]); }

#endif
