// Serial transport on the Win32 communications API.
//
// The port is opened for overlapped I/O. A read waits, with no driver
// time-out, for its first byte or for UART_CancelRecv, then returns once the
// line has been quiet for 1 ms, so a frame usually arrives in one piece and
// the receive thread takes no CPU while the line is quiet. A write runs
// beside a pending read instead of queueing behind it.
//
// Built with LIGHTKIT_UART_POLLED_READS, the port is synchronous with a 1 ms
// read time-out instead: the receive thread then wakes every millisecond and
// a write waits behind the read in progress. That build exists only to
// measure the two against each other.
#include "uart.h"

#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>

#include <windows.h>

#include "sdk_log.h"

struct UartPort {
    HANDLE handle = INVALID_HANDLE_VALUE;
    HANDLE readDone = nullptr;   // completion of the read in progress
    HANDLE cancel = nullptr;     // manual-reset: once set, every read returns at once
    HANDLE writeDone = nullptr;  // completion of the write in progress
    std::mutex writeLock;        // one write (and writeDone) at a time
};

namespace {

constexpr int kPathBufferSize = 128;
constexpr DWORD kDriverQueueSize = 1024;

#ifdef LIGHTKIT_UART_POLLED_READS
constexpr bool kOverlapped = false;
#else
constexpr bool kOverlapped = true;
#endif

// ReadIntervalTimeout, ReadTotalTimeoutMultiplier, ReadTotalTimeoutConstant,
// WriteTotalTimeoutMultiplier, WriteTotalTimeoutConstant (ms). Overlapped
// reads have no total time-out: the wait for the first byte ends with data
// or with the cancel event. The "return at the first byte" setting
// (MAXDWORD, MAXDWORD, n) is not used: wine waits out n with it.
constexpr COMMTIMEOUTS kTimeouts = kOverlapped ? COMMTIMEOUTS{1, 0, 0, 0, 1} : COMMTIMEOUTS{1, 0, 1, 0, 1};

// The driver's 1 ms write time-out ends a write the far end does not take;
// this only guards against a driver that ignores it.
constexpr DWORD kWriteWaitMs = 100;

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

void releasePort(UartPort *port) {
    if (port->handle != INVALID_HANDLE_VALUE) CloseHandle(port->handle);
    for (HANDLE event : {port->readDone, port->cancel, port->writeDone}) {
        if (event != nullptr) CloseHandle(event);
    }
    delete port;
}

// Ends an overlapped operation that is still pending; returns the bytes it
// moved before it stopped, which are the caller's as if it had completed.
DWORD cancelAndCollect(HANDLE handle, OVERLAPPED *ov) {
    CancelIoEx(handle, ov);
    DWORD moved = 0;
    GetOverlappedResult(handle, ov, &moved, TRUE);
    return moved;
}

// Runs one read or write; false with the error code when it failed.
// Overlapped, a read waits for data or the cancel event, a write for its
// completion or kWriteWaitMs.
bool transfer(UartPort *port, bool isRead, void *buffer, DWORD count, DWORD *moved, DWORD *error) {
    *moved = 0;
    *error = 0;
    if (!kOverlapped) {
        const BOOL ok = isRead ? ReadFile(port->handle, buffer, count, moved, nullptr)
                               : WriteFile(port->handle, buffer, count, moved, nullptr);
        if (!ok) *error = GetLastError();
        return ok != 0;
    }
    OVERLAPPED ov;
    std::memset(&ov, 0, sizeof(ov));
    ov.hEvent = isRead ? port->readDone : port->writeDone;
    ResetEvent(ov.hEvent);
    const BOOL started = isRead ? ReadFile(port->handle, buffer, count, nullptr, &ov)
                                : WriteFile(port->handle, buffer, count, nullptr, &ov);
    if (!started && GetLastError() != ERROR_IO_PENDING) {
        *error = GetLastError();
        return false;
    }
    HANDLE events[2] = {ov.hEvent, port->cancel};
    const DWORD wait = isRead ? WaitForMultipleObjects(2, events, FALSE, INFINITE)
                              : WaitForSingleObject(ov.hEvent, kWriteWaitMs);
    if (wait != WAIT_OBJECT_0) {
        *moved = cancelAndCollect(port->handle, &ov);
        return true;
    }
    if (!GetOverlappedResult(port->handle, &ov, moved, FALSE)) {
        *error = GetLastError();
        return false;
    }
    return true;
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
    HANDLE handle = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                kOverlapped ? FILE_FLAG_OVERLAPPED : 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        SDK_LogPrintf("[error] <%s:%d> CreateFile (\"%s\") failed with error %d.\n", "UART_Open", __LINE__, path,
                      (int)error);
        return nullptr;
    }

    // The receive thread's reads rely on these time-outs, so a port that
    // refuses them is not used.
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

    UartPort *port = new (std::nothrow) UartPort;
    if (port == nullptr) {
        SDK_LOG_ERROR("UART_Open", "Malloc param failed!");
        CloseHandle(handle);
        return nullptr;
    }
    port->handle = handle;
    if (kOverlapped) {
        port->readDone = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        port->cancel = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        port->writeDone = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        if (port->readDone == nullptr || port->cancel == nullptr || port->writeDone == nullptr) {
            const DWORD error = GetLastError();
            UART_LOG_FAILED("UART_Open", "CreateEvent", error);
            releasePort(port);
            return nullptr;
        }
    }
    return port;
}

int UART_Close(UartPort *handle) {
    if (handle == nullptr) {
        SDK_LOG_NULL("UART_Close", "handle");
        return -1;
    }
    releasePort(handle);
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
    DWORD error = 0;
    if (!transfer(handle, true, buffer, (DWORD)count, &received, &error)) {
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
    DWORD error = 0;
    bool ok;
    {
        std::lock_guard<std::mutex> guard(handle->writeLock);
        ok = transfer(handle, false, const_cast<uint8_t *>(buffer), (DWORD)count, &written, &error);
    }
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
    // Polled, a read never lasts longer than its 1 ms time-out. Overlapped,
    // the event stays set, so a read that starts after this call returns at
    // once too, with whatever had arrived.
    if (handle->cancel != nullptr) SetEvent(handle->cancel);
    return 0;
}
