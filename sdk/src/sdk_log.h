// The library's log lines. Each helper prints one of the fixed line formats on
// standard output, so no function spells a format twice.
#ifndef DALU_SDK_LOG_H
#define DALU_SDK_LOG_H

#include <cstdio>

// "[error] <func:line> name == null!"
#define SDK_LOG_NULL(func, name) \
    std::printf("[error] <%s:%d> %s == null!\n", (func), __LINE__, (name))

// "[error] <func:line> text" for the fixed one-liners ("Malloc param failed!").
#define SDK_LOG_ERROR(func, text) \
    std::printf("[error] <%s:%d> %s\n", (func), __LINE__, (text))

// "[error] <func:line> op, ret (n) err!"
#define SDK_LOG_RET(func, op, ret) \
    std::printf("[error] <%s:%d> %s, ret (%d) err!\n", (func), __LINE__, (op), (int)(ret))

// "[error] <func:line> value >= bound err!"
#define SDK_LOG_BOUND(func, value, bound) \
    std::printf("[error] <%s:%d> %u >= %u err!\n", (func), __LINE__, (unsigned)(value), (unsigned)(bound))

// "[error] <func:line> value out range (lo ~ hi) err!"
#define SDK_LOG_RANGE(func, value, lo, hi)                                            \
    std::printf("[error] <%s:%d> %u out range (%u ~ %u) err!\n", (func), __LINE__, \
                (unsigned)(value), (unsigned)(lo), (unsigned)(hi))

#endif
