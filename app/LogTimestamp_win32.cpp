#include "LogTimestamp.h"

#include <windows.h>

const char *logTimestamp()
{
    static char buffer[256];

    SYSTEMTIME local;
    GetLocalTime(&local);
    formatLogTimestamp(buffer, sizeof(buffer) - 1, local.wYear, local.wMonth, local.wDay,
                       local.wHour, local.wMinute, local.wSecond, local.wMilliseconds);
    return buffer;
}
