// Serial transport on the Win32 communications API.
//
// The port is opened for synchronous I/O with a 1 ms read time-out: a read
// returns after at most about 1 ms with whatever has arrived, which paces the
// receive thread and lets it see its stop flag without any cancel call.
// Windows runs the requests on a synchronous handle one after the other, so a
// write from the requesting thread waits behind the reader's ReadFile for at
// most one read time-out (1 ms, rounded up to the system timer's tick); no
// lock is needed.
#include "uart.h"

#include <cstdio>
#include <cstring>
#include <new>

#include <windows.h>

#include "sdk_log.h"

struct UartPort {
    HANDLE handle;
};

namespace {

constexpr int kPathBufferSize = 128;
constexpr DWORD kDriverQueueSize = 1024;

// ReadIntervalTimeout, ReadTotalTimeoutMultiplier, ReadTotalTimeoutConstant,
// WriteTotalTimeoutMultiplier, WriteTotalTimeoutConstant (ms).
constexpr COMMTIMEOUTS kTimeouts = {1, 0, 1, 0, 1};

// "[error] <func:line> step failed with error n." for the Win32 steps that
// end a call; `error` is the GetLastError code taken right after the step.
#define UART_LOG_FAILED(func, step, error) \
    SDK_LogPrintf("[error] <%s:%d> %s failed with error %d.\n", (func), __LINE__, (step), (int)(error))

// After a failed read or write. A line error (framing, overrun, parity)
// that a driver latched fails every later read and write until it is
// cleared; where nothing is latched, clearing changes nothing.
void clearCommError(HANDLE handle) {
    DWORD errors = 0;
    ClearCommError(handle, &errors, nullptr);
}

}  // namespace

UartPort *UART_Open(const char *comName) {
    if (comName == nullptr) {
        SDK_LOG_NULL("UART_Open", "comName");
        return nullptr;
    }
    // "COM12" -> "\\.\COM12": the only form that reaches COM10 and above. A
    // longer name is cut to the buffer (126 characters of path at most).
    char path[kPathBufferSize];
    std::memset(path, 0, sizeof(path));
    std::snprintf(path, kPathBufferSize - 1, "\\\\.\\%s", comName);

    // No sharing: a port that another program holds fails here.
    HANDLE handle = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        SDK_LogPrintf("[error] <%s:%d> CreateFile (\"%s\") failed with error %d.\n", "UART_Open", __LINE__, path,
                      (int)error);
        return nullptr;
    }

    // The receive thread is paced by the read time-out and destroy relies on
    // it to end the thread's read, so a port that refuses these is not used.
    if (!SetupComm(handle, kDriverQueueSize, kDriverQueueSize)) {
        const DWORD error = GetLastError();
        UART_LOG_FAILED("UART_Open", "SetupComm", error);
        CloseHandle(handle);
        return nullptr;
    }
    COMMTIMEOUTS timeouts = kTimeouts;
    if (!SetCommTimeouts(handle, &timeouts)) {
        const DWORD error = GetLastError();
        UART_LOG_FAILED("UART_Open", "SetCommTimeouts", error);
        CloseHandle(handle);
        return nullptr;
    }

    DCB dcb;
    std::memset(&dcb, 0, sizeof(dcb));
    dcb.DCBlength = sizeof(dcb);
    if (!GetCommState(handle, &dcb)) {
        const DWORD error = GetLastError();
        UART_LOG_FAILED("UART_Open", "GetCommState", error);
        CloseHandle(handle);
        return nullptr;
    }
    // Windows keeps a port's state from one open to the next, so whatever the
    // last program left (XON/XOFF, handshaking, dropped zero bytes, abort on
    // error, error replacement) is switched off here: the protocol is binary
    // and every byte value must pass. DTR and RTS are on, as a plain open
    // gives them, without handshaking.
    dcb.BaudRate = CBR_115200;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = TRUE;
    dcb.fParity = FALSE;
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fErrorChar = FALSE;
    dcb.fNull = FALSE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fAbortOnError = FALSE;
    if (!SetCommState(handle, &dcb)) {
        const DWORD error = GetLastError();
        UART_LOG_FAILED("UART_Open", "SetCommState", error);
        CloseHandle(handle);
        return nullptr;
    }
    PurgeComm(handle, PURGE_TXCLEAR | PURGE_RXCLEAR);

    UartPort *port = new (std::nothrow) UartPort{handle};
    if (port == nullptr) {
        SDK_LOG_ERROR("UART_Open", "Malloc param failed!");
        CloseHandle(handle);
        return nullptr;
    }
    return port;
}

int UART_Close(UartPort *handle) {
    if (handle == nullptr) {
        SDK_LOG_NULL("UART_Close", "handle");
        return -1;
    }
    CloseHandle(handle->handle);
    delete handle;
    return 0;
}

int UART_RecvBytes(UartPort *handle, uint8_t *buffer, int count, uint32_t *recvCount) {
    if (handle == nullptr) {
        SDK_LOG_NULL("UART_RecvBytes", "handle");
        return -1;
    }
    if (buffer == nullptr) {
        SDK_LOG_NULL("UART_RecvBytes", "buffer");
        return -1;
    }
    if (recvCount != nullptr) *recvCount = 0;
    if (count <= 0) return 0;

    DWORD received = 0;
    if (!ReadFile(handle->handle, buffer, (DWORD)count, &received, nullptr)) {
        clearCommError(handle->handle);
        return -1;
    }
    if (recvCount != nullptr) *recvCount = (uint32_t)received;
    return 0;
}

int UART_SendBytes(UartPort *handle, const uint8_t *buffer, int count, int *sendCount) {
    if (handle == nullptr) {
        SDK_LOG_NULL("UART_SendBytes", "handle");
        return -1;
    }
    if (buffer == nullptr) {
        SDK_LOG_NULL("UART_SendBytes", "buffer");
        return -1;
    }
    if (sendCount != nullptr) *sendCount = 0;
    if (count <= 0) return 0;

    DWORD written = 0;
    const bool ok = WriteFile(handle->handle, buffer, (DWORD)count, &written, nullptr) != 0;
    const DWORD error = ok ? 0 : GetLastError();
    if (!ok) clearCommError(handle->handle);
    if (sendCount != nullptr) *sendCount = (int)written;
    if (!ok) {
        UART_LOG_FAILED("UART_SendBytes", "WriteFile", error);
        return -1;
    }
    if (written < (DWORD)count) {
        // The write time-out cut the frame short. The device would see a
        // truncated frame, so this is a failed send, not a success.
        UART_LOG_FAILED("UART_SendBytes", "WriteFile", ERROR_TIMEOUT);
        return -1;
    }
    return 0;
}

int UART_CancelRecv(UartPort *handle) {
    if (handle == nullptr) {
        SDK_LOG_NULL("UART_CancelRecv", "handle");
        return -1;
    }
    // Nothing to wake: a read never lasts longer than the 1 ms time-out.
    return 0;
}
