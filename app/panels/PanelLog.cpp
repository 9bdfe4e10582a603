#include "panels/PanelLog.h"

#include "LogTimestamp.h"

#include <cstdio>

void panelLogDebug(const char *func)
{
    fprintf(stdout, "%s[debug] <%s> \n", logTimestamp(), func);
}

void panelLogDebugArg(const char *func, const char *name, int value)
{
    fprintf(stdout, "%s[debug] <%s> %s:%d\n", logTimestamp(), func, name, value);
}
