// Helpers of the virtual light source's tests: frames as hex text.
#ifndef LIGHTSIM_TESTS_SIM_TEST_UTIL_H
#define LIGHTSIM_TESTS_SIM_TEST_UTIL_H

#include <cstdint>
#include <cstdio>
#include <string>

#include "cmdpkg.h"

// A received record as its wire bytes, "55 AA 80 01 00 81 FA".
inline std::string frameHex(const CmdPkg &pkg) {
    uint8_t f[kCmdPkgFrameBufSize] = {};
    CMDPKG_CreateBytes(&pkg, f);
    std::string s;
    char hex[4];
    for (int i = 1; i <= f[0]; ++i) {
        std::snprintf(hex, sizeof hex, i == 1 ? "%02X" : " %02X", f[i]);
        s += hex;
    }
    return s;
}

#endif
