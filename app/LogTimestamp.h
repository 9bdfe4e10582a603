#ifndef LOGTIMESTAMP_H
#define LOGTIMESTAMP_H

#include <cstddef>

// The local-time prefix of every LightConsole log line:
// "YYYY-MM-DD hh:mm:ss.mmm " (24 characters, the last a blank).
// Returns one static buffer that each call overwrites: GUI thread only.
const char *logTimestamp();

// Formats the prefix from its fields into `buffer` (at most size - 1
// characters plus the terminator). Shared by the per-platform clocks.
void formatLogTimestamp(char *buffer, std::size_t size, int year, int month, int day,
                        int hour, int minute, int second, int millisecond);

#endif // LOGTIMESTAMP_H
