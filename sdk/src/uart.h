// Serial transport: the only layer that talks to the operating system's port
// interface. One implementation file per platform (uart_posix.cpp,
// uart_win32.cpp) provides these functions.
#ifndef DALU_UART_H
#define DALU_UART_H

#include <cstdint>

struct UartPort;  // opaque; owns the OS handle of one open port

// Opens `comName` exclusively at 115200 8N1 with raw bytes; null on failure
// (after a line naming the failing step and the OS error code).
UartPort *UART_Open(const char *comName);

// Closes the port and frees it. Only after the reader has stopped.
int UART_Close(UartPort *handle);

// Reads up to `count` bytes. Returns 0 with *recvCount = 0 when nothing
// arrived in time or the read was cancelled, -1 on a read error (no line).
// The read blocks until data arrives or UART_CancelRecv is called; once the
// first bytes are in, it returns when the line has been quiet for about 1 ms.
int UART_RecvBytes(UartPort *handle, uint8_t *buffer, int count, uint32_t *recvCount);

// Writes the whole buffer. A frame not written whole is a failure.
int UART_SendBytes(UartPort *handle, const uint8_t *buffer, int count, int *sendCount);

// Wakes a reader blocked in UART_RecvBytes so that it can see its stop flag;
// every later read returns at once too. Safe to call from another thread
// while a read is in progress.
int UART_CancelRecv(UartPort *handle);

#endif
