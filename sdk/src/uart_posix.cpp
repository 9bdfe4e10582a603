// Serial transport on POSIX terminals (Linux serial ports, USB adapters,
// pseudo-terminals).
//
// The reader blocks in poll() on the port and on a wake-up pipe, so a quiet
// link costs no CPU and UART_CancelRecv ends a read at once (the Windows
// port does the same with an overlapped read and a cancel event). Writes and reads use the same
// descriptor from two threads; the kernel does not make a write wait for a
// read, so no lock is needed.
#include "uart.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <new>

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <termios.h>
#include <unistd.h>

#include "sdk_log.h"

struct UartPort {
    int fd;
    int wakeRead;   // readable once UART_CancelRecv was called
    int wakeWrite;
};

namespace {

constexpr int kPathBufferSize = 128;
// The Windows port's write time-out is 1 ms, but its driver queue takes a
// whole frame at once; a terminal's queue may be full for longer, so a frame
// gets this long to leave before the send counts as failed.
constexpr int kWriteDeadlineMs = 100;

// "ttyUSB0" -> "/dev/ttyUSB0"; a name with a '/' is a path already.
void portPath(const char *comName, char *path) {
    std::memset(path, 0, kPathBufferSize);
    const char *prefix = std::strchr(comName, '/') != nullptr ? "" : "/dev/";
    std::snprintf(path, kPathBufferSize - 1, "%s%s", prefix, comName);
}

void configureRaw(termios *tio) {
    // 115200 8N1, every byte passed unchanged: no echo, no line editing, no
    // signals, no XON/XOFF, no CR/NL translation, no output processing.
    tio->c_iflag &= ~(tcflag_t)(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY);
    tio->c_oflag &= ~(tcflag_t)OPOST;
    tio->c_lflag &= ~(tcflag_t)(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    tio->c_cflag &= ~(tcflag_t)(CSIZE | PARENB | CSTOPB);
    tio->c_cflag |= CS8 | CREAD | CLOCAL;
    tio->c_cc[VMIN] = 0;
    tio->c_cc[VTIME] = 0;
    cfsetispeed(tio, B115200);
    cfsetospeed(tio, B115200);
}

void closeQuietly(int fd) {
    if (fd >= 0) ::close(fd);
}

}  // namespace

UartPort *UART_Open(const char *comName) {
    if (comName == nullptr) {
        SDK_LOG_NULL("UART_Open", "comName");
        return nullptr;
    }
    char path[kPathBufferSize];
    portPath(comName, path);

    int fd = ::open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        SDK_LogPrintf("[error] <%s:%d> CreateFile (\"%s\") failed with error %d.\n", "UART_Open", __LINE__, path, errno);
        return nullptr;
    }
    // Exclusive, as the Windows port is opened without sharing. The lock
    // belongs to this open and dies with the process, however it ends; it
    // also stops root. TIOCEXCL is not used: it stays on the tty after a
    // killed process for as long as anything else (the device end of a
    // pseudo-terminal, a socat pair) holds it open, and then refuses every
    // later open by a non-root user.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        SDK_LogPrintf("[error] <%s:%d> CreateFile (\"%s\") failed with error %d.\n", "UART_Open", __LINE__, path, errno);
        closeQuietly(fd);
        return nullptr;
    }

    termios tio;
    if (::tcgetattr(fd, &tio) != 0) {
        SDK_LogPrintf("[error] <%s:%d> GetCommState failed with error %d.\n", "UART_Open", __LINE__, errno);
        closeQuietly(fd);
        return nullptr;
    }
    configureRaw(&tio);
    if (::tcsetattr(fd, TCSANOW, &tio) != 0) {
        SDK_LogPrintf("[error] <%s:%d> SetCommState failed with error %d.\n", "UART_Open", __LINE__, errno);
        closeQuietly(fd);
        return nullptr;
    }
    ::tcflush(fd, TCIOFLUSH);

    int wake[2];
    if (::pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0) {
        SDK_LogPrintf("[error] <%s:%d> pipe failed with error %d.\n", "UART_Open", __LINE__, errno);
        closeQuietly(fd);
        return nullptr;
    }
    UartPort *port = new (std::nothrow) UartPort{fd, wake[0], wake[1]};
    if (port == nullptr) {
        SDK_LOG_ERROR("UART_Open", "Malloc param failed!");
        closeQuietly(wake[0]);
        closeQuietly(wake[1]);
        closeQuietly(fd);
        return nullptr;
    }
    return port;
}

int UART_Close(UartPort *handle) {
    if (handle == nullptr) {
        SDK_LOG_NULL("UART_Close", "handle");
        return -1;
    }
    closeQuietly(handle->fd);  // also releases the lock
    closeQuietly(handle->wakeRead);
    closeQuietly(handle->wakeWrite);
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

    pollfd fds[2] = {{handle->fd, POLLIN, 0}, {handle->wakeRead, POLLIN, 0}};
    int ready = ::poll(fds, 2, -1);
    if (ready < 0) return errno == EINTR ? 0 : -1;
    if (fds[1].revents != 0) return 0;  // cancelled
    if (fds[0].revents & (POLLERR | POLLNVAL)) return -1;
    ssize_t n = ::read(handle->fd, buffer, (size_t)count);
    if (n < 0) return (errno == EAGAIN || errno == EINTR) ? 0 : -1;
    // End of file (the far end of a pseudo-terminal went away) is an error
    // here: the device cannot talk to us any more.
    if (n == 0) return -1;
    if (recvCount != nullptr) *recvCount = (uint32_t)n;
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
    int written = 0;
    int error = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWriteDeadlineMs);
    while (written < count) {
        ssize_t n = ::write(handle->fd, buffer + written, (size_t)(count - written));
        if (n > 0) {
            written += (int)n;
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) {
            error = errno;
            break;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            error = ETIMEDOUT;
            break;
        }
        pollfd pfd = {handle->fd, POLLOUT, 0};
        ::poll(&pfd, 1, (int)left.count());
    }
    if (sendCount != nullptr) *sendCount = written;
    if (written < count) {
        SDK_LogPrintf("[error] <%s:%d> WriteFile failed with error %d.\n", "UART_SendBytes", __LINE__, error);
        return -1;
    }
    return 0;
}

int UART_CancelRecv(UartPort *handle) {
    if (handle == nullptr) {
        SDK_LOG_NULL("UART_CancelRecv", "handle");
        return -1;
    }
    const uint8_t wake = 1;
    // The pipe stays readable from now on, so every later read returns at once.
    ssize_t n = ::write(handle->wakeWrite, &wake, 1);
    (void)n;
    return 0;
}
