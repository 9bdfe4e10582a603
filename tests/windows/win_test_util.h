// Helpers of the Windows serial tests: the ports the test command prepared,
// and a deadline loop.
#ifndef LIGHTKIT_TESTS_WIN_TEST_UTIL_H
#define LIGHTKIT_TESTS_WIN_TEST_UTIL_H

#include <chrono>
#include <cstdlib>
#include <string>

#include <windows.h>

// A port name the test command put in the environment, or "" when unset.
inline std::string portFromEnvironment(const char *variable) {
    const char *value = std::getenv(variable);
    return value == nullptr ? std::string() : std::string(value);
}

// True under wine, whose serial devices differ from Windows' in a few
// documented ways (no exclusive open).
inline bool runningUnderWine() {
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

// Polls `done` until it holds or the deadline passes; returns its last value.
template <typename Pred>
bool waitUntil(Pred done, int timeoutMs = 5000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        Sleep(1);
    }
    return true;
}

#endif
