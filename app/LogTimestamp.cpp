#include "LogTimestamp.h"

#include <cstdio>

void formatLogTimestamp(char *buffer, std::size_t size, int year, int month, int day,
                        int hour, int minute, int second, int millisecond)
{
    std::snprintf(buffer, size, "%04d-%02d-%02d %02d:%02d:%02d.%03d ",
                  year, month, day, hour, minute, second, millisecond);
}
