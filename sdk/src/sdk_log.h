// The library's log lines. Each helper prints one of the fixed line formats,
// so no function spells a format twice. Every line goes through
// SDK_LogPrintf, which sends it to standard output or, when the embedding
// program has set one, to its log handler (DALUSDK_SetLogHandler).
#ifndef DALU_SDK_LOG_H
#define DALU_SDK_LOG_H

#include "DALU_LightKit.h"

#if defined(__GNUC__)
#define SDK_PRINTF_FORMAT(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define SDK_PRINTF_FORMAT(fmt, args)
#endif

// Formats one whole line (ending in '\n') and hands it to the current
// destination. Returns the number of characters of the line.
int SDK_LogPrintf(const char *format, ...) SDK_PRINTF_FORMAT(1, 2);

// Replaces the destination of every later line; null restores standard output.
void SDK_SetLogHandler(DALUSDK_LogHandler handler, void *userData);

// "[error] <func:line> name == null!"
#define SDK_LOG_NULL(func, name) \
    SDK_LogPrintf("[error] <%s:%d> %s == null!\n", (func), __LINE__, (name))

// "[error] <func:line> text" for the fixed one-liners ("Malloc param failed!").
#define SDK_LOG_ERROR(func, text) \
    SDK_LogPrintf("[error] <%s:%d> %s\n", (func), __LINE__, (text))

// "[error] <func:line> op, ret (n) err!"
#define SDK_LOG_RET(func, op, ret) \
    SDK_LogPrintf("[error] <%s:%d> %s, ret (%d) err!\n", (func), __LINE__, (op), (int)(ret))

// "[error] <func:line> value >= bound err!"
#define SDK_LOG_BOUND(func, value, bound) \
    SDK_LogPrintf("[error] <%s:%d> %u >= %u err!\n", (func), __LINE__, (unsigned)(value), (unsigned)(bound))

// "[error] <func:line> value out range (lo ~ hi) err!"
#define SDK_LOG_RANGE(func, value, lo, hi)                                            \
    SDK_LogPrintf("[error] <%s:%d> %u out range (%u ~ %u) err!\n", (func), __LINE__, \
                  (unsigned)(value), (unsigned)(lo), (unsigned)(hi))

#endif
