#pragma once

// The panels' log lines on standard output. Each starts with logTimestamp()
// and names the qualified slot that writes it.

// "<ts>[debug] <func> \n"
void panelLogDebug(const char *func);
// "<ts>[debug] <func> name:value\n", the argument of a value or state slot.
void panelLogDebugArg(const char *func, const char *name, int value);
