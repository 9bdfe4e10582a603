// POSIX side of the line: a pseudo-terminal created here, or an existing
// serial port. A pipe wakes a poll() in progress.
#include "sim_port.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

struct SimPort {
    int fd = -1;        // pty master, or the serial port
    int slaveFd = -1;   // pty only: keeps the slave open, see SimPort_Open
    int wakeRead = -1;
    int wakeWrite = -1;
    bool restore = false;
    termios saved{};
    std::string path;
};

namespace {

std::string errnoText(const char *what, const std::string &name) {
    std::string s = what;
    if (!name.empty()) s += " (\"" + name + "\")";
    s += ": ";
    s += std::strerror(errno);
    return s;
}

// Raw 8N1, no echo, no translation of any byte, reads return what is there.
bool makeRaw(int fd, bool setSpeed) {
    termios t{};
    if (tcgetattr(fd, &t) != 0) return false;
    cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    t.c_cflag &= ~(CSTOPB | PARENB | CRTSCTS);
    t.c_iflag &= ~(IXON | IXOFF | IXANY);
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    if (setSpeed) {
        cfsetispeed(&t, B115200);
        cfsetospeed(&t, B115200);
    }
    return tcsetattr(fd, TCSANOW, &t) == 0;
}

void closeFd(int *fd) {
    if (*fd >= 0) {
        close(*fd);
        *fd = -1;
    }
}

void freePort(SimPort *p) {
    closeFd(&p->slaveFd);
    closeFd(&p->fd);
    closeFd(&p->wakeRead);
    closeFd(&p->wakeWrite);
    delete p;
}

bool openPty(SimPort *p, std::string *error) {
    p->fd = posix_openpt(O_RDWR | O_NOCTTY);
    if (p->fd < 0) {
        *error = errnoText("posix_openpt", "");
        return false;
    }
    char name[128];
    if (grantpt(p->fd) != 0 || unlockpt(p->fd) != 0 || ptsname_r(p->fd, name, sizeof name) != 0) {
        *error = errnoText("grantpt/unlockpt/ptsname", "");
        return false;
    }
    p->path = name;
    // Holding the slave open ourselves keeps the master from reporting a
    // hang-up (POLLHUP, EIO) whenever no client has it open, which would
    // make the serving loop spin before the library connects or between
    // two of its handles.
    p->slaveFd = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (p->slaveFd < 0) {
        *error = errnoText("open", p->path);
        return false;
    }
    // One termios serves both ends of a pty: raw here means raw for the client.
    if (!makeRaw(p->slaveFd, false) || !makeRaw(p->fd, false)) {
        *error = errnoText("tcsetattr", p->path);
        return false;
    }
    return true;
}

bool openExisting(SimPort *p, const std::string &name, std::string *error) {
    p->fd = open(name.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (p->fd < 0) {
        *error = errnoText("open", name);
        return false;
    }
    if (!isatty(p->fd)) {
        errno = ENOTTY;
        *error = errnoText("open", name);
        return false;
    }
    if (tcgetattr(p->fd, &p->saved) == 0) p->restore = true;
    if (!makeRaw(p->fd, true)) {
        *error = errnoText("tcsetattr", name);
        return false;
    }
    tcflush(p->fd, TCIOFLUSH);
    p->path = name;
    return true;
}

}  // namespace

SimPort *SimPort_Open(const std::string &name, std::string *error) {
    std::string scratch;
    if (error == nullptr) error = &scratch;
    SimPort *p = new SimPort;
    int wake[2];
    if (pipe(wake) != 0) {
        *error = errnoText("pipe", "");
        freePort(p);
        return nullptr;
    }
    p->wakeRead = wake[0];
    p->wakeWrite = wake[1];
    fcntl(p->wakeRead, F_SETFL, O_NONBLOCK);
    fcntl(p->wakeWrite, F_SETFL, O_NONBLOCK);
    const bool ok = name.empty() ? openPty(p, error) : openExisting(p, name, error);
    if (!ok) {
        freePort(p);
        return nullptr;
    }
    fcntl(p->fd, F_SETFL, fcntl(p->fd, F_GETFL) | O_NONBLOCK);
    return p;
}

void SimPort_Close(SimPort *port) {
    if (port == nullptr) return;
    if (port->restore) tcsetattr(port->fd, TCSANOW, &port->saved);
    freePort(port);
}

std::string SimPort_Path(const SimPort *port) { return port ? port->path : std::string(); }

int SimPort_Read(SimPort *port, uint8_t *buffer, int cap, int timeoutMs) {
    if (port == nullptr || buffer == nullptr || cap <= 0) return -1;
    pollfd fds[2] = {{port->fd, POLLIN, 0}, {port->wakeRead, POLLIN, 0}};
    const int n = poll(fds, 2, timeoutMs < 0 ? 0 : timeoutMs);
    if (n < 0) return errno == EINTR ? 0 : -1;
    if (fds[1].revents & POLLIN) {
        uint8_t drain[64];
        while (read(port->wakeRead, drain, sizeof drain) > 0) {
        }
    }
    if ((fds[0].revents & (POLLIN | POLLHUP | POLLERR)) == 0) return 0;
    const ssize_t got = read(port->fd, buffer, static_cast<size_t>(cap));
    // A terminal whose far end hung up polls readable and reads end-of-file
    // for ever: report it as an error so that the caller backs off.
    if (got == 0) return (fds[0].revents & (POLLHUP | POLLERR)) ? -1 : 0;
    if (got > 0) return static_cast<int>(got);
    return (errno == EAGAIN || errno == EINTR) ? 0 : -1;
}

int SimPort_Write(SimPort *port, const uint8_t *buffer, int count) {
    if (port == nullptr || buffer == nullptr || count < 0) return -1;
    int done = 0;
    while (done < count) {
        const ssize_t n = write(port->fd, buffer + done, static_cast<size_t>(count - done));
        if (n > 0) {
            done += static_cast<int>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && errno == EAGAIN) {
            break;  // the far end is not reading: the rest is lost
        } else {
            return -1;
        }
    }
    return done;
}

void SimPort_Wake(SimPort *port) {
    if (port == nullptr) return;
    const uint8_t one = 1;
    ssize_t ignored = write(port->wakeWrite, &one, 1);  // a full pipe already wakes
    (void)ignored;
}
