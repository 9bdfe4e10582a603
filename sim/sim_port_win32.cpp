// The virtual light source's side of the line on Windows: it serves an
// existing COM port (one end of a null-modem pair); Windows has no
// pseudo-terminals to create.
//
// The port is opened for overlapped I/O so that the serving thread's read can
// wait with a time-out, be woken by another thread, and never hold up a write
// (a synchronous handle would run them one after the other).
#include "sim_port.h"

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

#include <windows.h>

struct SimPort {
    HANDLE handle = INVALID_HANDLE_VALUE;
    std::string name;
    DCB savedState;
    COMMTIMEOUTS savedTimeouts;
    HANDLE readDone = nullptr;   // completion of the read in progress
    HANDLE wake = nullptr;       // set by SimPort_Wake
    HANDLE writeDone = nullptr;  // completion of the write in progress
    std::mutex writeLock;        // one write (and writeDone) at a time
};

namespace {

// A write that the far end does not take within this time is cut short: the
// bytes are lost, as on a wire with nobody listening.
constexpr DWORD kWriteWaitMs = 100;

std::string windowsError(const char *step, DWORD code) {
    return std::string(step) + " failed with error " + std::to_string((unsigned long)code);
}

void closeEvent(HANDLE event) {
    if (event != nullptr) CloseHandle(event);
}

void releasePort(SimPort *port) {
    if (port->handle != INVALID_HANDLE_VALUE) CloseHandle(port->handle);
    closeEvent(port->readDone);
    closeEvent(port->wake);
    closeEvent(port->writeDone);
    delete port;
}

// Ends an overlapped operation that is still pending and returns the bytes it
// moved before it stopped.
DWORD cancelAndCollect(HANDLE handle, OVERLAPPED *ov) {
    CancelIoEx(handle, ov);
    DWORD moved = 0;
    GetOverlappedResult(handle, ov, &moved, TRUE);
    return moved;
}

}  // namespace

SimPort *SimPort_Open(const std::string &requested, std::string *error) {
    // Without a name, a null-modem pair that the environment names stands in
    // for a pseudo-terminal: LIGHTSIM_PAIR=COM12,COM11 serves COM12 and gives
    // COM11 as the port a client opens. Tests written for a pseudo-terminal
    // then run unchanged.
    std::string name = requested;
    std::string clientName;
    if (name.empty()) {
        const char *pair = std::getenv("LIGHTSIM_PAIR");
        const char *comma = pair != nullptr ? std::strchr(pair, ',') : nullptr;
        if (comma == nullptr || comma == pair || comma[1] == '\0') {
            if (error) *error = "a COM port name is needed on Windows (for example COM11)";
            return nullptr;
        }
        name.assign(pair, comma);
        clientName = comma + 1;
    }
    SimPort *port = new (std::nothrow) SimPort;
    if (port == nullptr) {
        if (error) *error = "out of memory";
        return nullptr;
    }
    port->name = clientName.empty() ? name : clientName;
    // "\\.\" reaches COM10 and above as well; a full device path is kept.
    const std::string path = name.compare(0, 2, "\\\\") == 0 ? name : "\\\\.\\" + name;
    port->handle = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                               FILE_FLAG_OVERLAPPED, nullptr);
    if (port->handle == INVALID_HANDLE_VALUE) {
        if (error) *error = windowsError(("CreateFile (\"" + path + "\")").c_str(), GetLastError());
        releasePort(port);
        return nullptr;
    }
    port->readDone = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    port->wake = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    port->writeDone = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (port->readDone == nullptr || port->wake == nullptr || port->writeDone == nullptr) {
        if (error) *error = windowsError("CreateEvent", GetLastError());
        releasePort(port);
        return nullptr;
    }

    std::memset(&port->savedState, 0, sizeof(port->savedState));
    port->savedState.DCBlength = sizeof(port->savedState);
    if (!GetCommState(port->handle, &port->savedState) || !GetCommTimeouts(port->handle, &port->savedTimeouts)) {
        if (error) *error = windowsError("GetCommState", GetLastError());
        releasePort(port);
        return nullptr;
    }
    // Raw 115200 8N1: no flow control, no character substitution, no abort
    // on line errors, every byte value passed.
    DCB dcb = port->savedState;
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
    if (!SetCommState(port->handle, &dcb)) {
        if (error) *error = windowsError("SetCommState", GetLastError());
        releasePort(port);
        return nullptr;
    }
    // A read waits for its first byte without a driver time-out (the caller's
    // time-out ends the wait) and returns once the line is quiet for 1 ms, so
    // a frame usually arrives in one piece. The "return on the first byte"
    // setting (MAXDWORD, MAXDWORD, n) is avoided: wine waits out n with it.
    COMMTIMEOUTS timeouts = {1, 0, 0, 0, kWriteWaitMs};
    if (!SetCommTimeouts(port->handle, &timeouts)) {
        if (error) *error = windowsError("SetCommTimeouts", GetLastError());
        SetCommState(port->handle, &port->savedState);
        releasePort(port);
        return nullptr;
    }
    PurgeComm(port->handle, PURGE_RXCLEAR | PURGE_TXCLEAR);
    return port;
}

void SimPort_Close(SimPort *port) {
    if (port == nullptr) return;
    CancelIoEx(port->handle, nullptr);
    SetCommTimeouts(port->handle, &port->savedTimeouts);
    SetCommState(port->handle, &port->savedState);
    releasePort(port);
}

std::string SimPort_Path(const SimPort *port) {
    return port == nullptr ? std::string() : port->name;
}

int SimPort_Read(SimPort *port, uint8_t *buffer, int cap, int timeoutMs) {
    if (port == nullptr || buffer == nullptr) return -1;
    if (cap <= 0) return 0;
    OVERLAPPED ov;
    std::memset(&ov, 0, sizeof(ov));
    ov.hEvent = port->readDone;
    ResetEvent(port->readDone);
    DWORD got = 0;
    if (ReadFile(port->handle, buffer, (DWORD)cap, &got, &ov)) return (int)got;
    if (GetLastError() != ERROR_IO_PENDING) return -1;

    HANDLE events[2] = {port->readDone, port->wake};
    const DWORD wait = WaitForMultipleObjects(2, events, FALSE, timeoutMs < 0 ? 0 : (DWORD)timeoutMs);
    if (wait == WAIT_OBJECT_0) {
        if (!GetOverlappedResult(port->handle, &ov, &got, FALSE)) return -1;
        return (int)got;
    }
    // Timed out or woken: stop the read, but keep whatever it already took.
    return (int)cancelAndCollect(port->handle, &ov);
}

int SimPort_Write(SimPort *port, const uint8_t *buffer, int count) {
    if (port == nullptr || buffer == nullptr) return -1;
    if (count <= 0) return 0;
    std::lock_guard<std::mutex> guard(port->writeLock);
    OVERLAPPED ov;
    std::memset(&ov, 0, sizeof(ov));
    ov.hEvent = port->writeDone;
    ResetEvent(port->writeDone);
    DWORD sent = 0;
    if (WriteFile(port->handle, buffer, (DWORD)count, &sent, &ov)) return (int)sent;
    if (GetLastError() != ERROR_IO_PENDING) return -1;
    if (WaitForSingleObject(port->writeDone, kWriteWaitMs) == WAIT_OBJECT_0) {
        if (!GetOverlappedResult(port->handle, &ov, &sent, FALSE)) return -1;
        return (int)sent;
    }
    return (int)cancelAndCollect(port->handle, &ov);
}

void SimPort_Wake(SimPort *port) {
    if (port != nullptr) SetEvent(port->wake);
}
