#include "docmd_link.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

#include "sdk_log.h"
#include "uart.h"

namespace {

// After a failed read (device unplugged, far end closed) the reader waits
// this long before trying again, so a dead port costs no CPU.
constexpr auto kReadErrorPause = std::chrono::milliseconds(50);
// Bytes taken from the port per read call.
constexpr int kRecvChunk = 256;

}  // namespace

struct DeviceLink {
    CmdPkgCodec *codec = nullptr;
    DOCMD_SendFunc send = nullptr;
    void *userData = nullptr;
    UartPort *port = nullptr;
    std::thread *recvThread = nullptr;
    std::atomic<uint8_t> stop{0};
    // Lets destroy cut short the reader's pause after a read error.
    std::mutex pauseLock;
    std::condition_variable pauseWake;
};

DeviceLink *DOCMD_Create(const char *comName) {
    DeviceLink *link = new (std::nothrow) DeviceLink();
    if (link == nullptr) {
        SDK_LOG_ERROR("DOCMD_Create", "Malloc param failed!");
        return nullptr;
    }
    link->send = DOCMD_UartSendBytes;
    link->userData = link;

    link->port = UART_Open(comName);
    if (link->port == nullptr) {
        SDK_LOG_ERROR("DOCMD_Create", "UART_Open failed!");
        delete link;
        return nullptr;
    }
    link->codec = CMDPKG_Create();
    if (link->codec == nullptr) {
        SDK_LOG_ERROR("DOCMD_Create", "CMDPKG_Create failed!");
        UART_Close(link->port);
        delete link;
        return nullptr;
    }
    link->stop.store(0);
    // std::thread reports failure by exception; it must not leave this layer.
    try {
        link->recvThread = new std::thread(DOCMD_UartRecvThread, link);
    } catch (const std::exception &) {
        link->recvThread = nullptr;
    }
    if (link->recvThread == nullptr) {
        SDK_LOG_ERROR("DOCMD_Create", "CreateThread failed!");
        CMDPKG_Destroy(link->codec);
        UART_Close(link->port);
        delete link;
        return nullptr;
    }
    return link;
}

DeviceLink *DOCMD_Create2(DOCMD_SendFunc sendCallback, void *userData) {
    if (sendCallback == nullptr) {
        SDK_LOG_ERROR("DOCMD_Create2", "Args err, sendCallback is null!");
        return nullptr;
    }
    DeviceLink *link = new (std::nothrow) DeviceLink();
    if (link == nullptr) {
        SDK_LOG_ERROR("DOCMD_Create2", "Malloc param failed!");
        return nullptr;
    }
    link->send = sendCallback;
    link->userData = userData;
    link->codec = CMDPKG_Create();
    if (link->codec == nullptr) {
        SDK_LOG_ERROR("DOCMD_Create2", "CMDPKG_Create failed!");
        delete link;
        return nullptr;
    }
    return link;
}

int DOCMD_Destroy(DeviceLink *handle) {
    if (handle == nullptr) {
        SDK_LOG_NULL("DOCMD_Destroy", "handle");
        return -1;
    }
    {
        std::lock_guard<std::mutex> guard(handle->pauseLock);
        handle->stop.store(1);
    }
    handle->pauseWake.notify_all();
    if (handle->recvThread != nullptr) {
        if (handle->port != nullptr) UART_CancelRecv(handle->port);
        handle->recvThread->join();
        delete handle->recvThread;
        handle->recvThread = nullptr;
    }
    if (handle->port != nullptr) {
        UART_Close(handle->port);
        handle->port = nullptr;
    }
    if (handle->codec != nullptr) {
        CMDPKG_Destroy(handle->codec);
        handle->codec = nullptr;
    }
    delete handle;
    return 0;
}

int DOCMD_Destroy2(DeviceLink *handle) {
    if (handle == nullptr) {
        SDK_LOG_NULL("DOCMD_Destroy2", "handle");
        return -1;
    }
    if (handle->codec != nullptr) CMDPKG_Destroy(handle->codec);
    delete handle;
    return 0;
}

bool DOCMD_IsSerial(const DeviceLink *handle) { return handle != nullptr && handle->port != nullptr; }

int DOCMD_RecvBytes(DeviceLink *handle, const uint8_t *buffer, uint32_t count) {
    if (handle == nullptr) {
        SDK_LOG_NULL("DOCMD_RecvBytes", "handle");
        return -1;
    }
    if (buffer == nullptr) {
        SDK_LOG_NULL("DOCMD_RecvBytes", "buffer");
        return -1;
    }
    for (uint32_t i = 0; i < count; ++i) CMDPKG_RecvByte(handle->codec, buffer[i]);
    return 0;
}

// Encodes pkg into frame (256 bytes). Returns the frame length, or -1.
static int encodeFrame(const char *func, const CmdPkg *pkg, uint8_t *frame) {
    std::memset(frame, 0, kCmdPkgFrameBufSize);
    int ret = CMDPKG_CreateBytes(pkg, frame);
    if (ret != 0) {
        std::printf("[error] <%s:%d> %s, ret (%d) err!\n", func, __LINE__, "CMDPKG_CreateBytes", ret);
        return -1;
    }
    return frame[0];
}

static int sendFrame(const char *func, DeviceLink *link, const uint8_t *frame) {
    int ret = link->send(frame + 1, frame[0], link->userData);
    if (ret != 0) {
        std::printf("[error] <%s:%d> %s, ret (%d) err!\n", func, __LINE__, "SendBytes", ret);
        return -1;
    }
    return 0;
}

int DOCMD_SendPackage(DeviceLink *handle, const CmdPkg *pkg) {
    if (handle == nullptr) {
        SDK_LOG_NULL("DOCMD_SendPackage", "handle");
        return -1;
    }
    if (pkg == nullptr) {
        SDK_LOG_NULL("DOCMD_SendPackage", "pkg");
        return -1;
    }
    uint8_t frame[kCmdPkgFrameBufSize];
    if (encodeFrame("DOCMD_SendPackage", pkg, frame) < 0) return -1;
    return sendFrame("DOCMD_SendPackage", handle, frame);
}

int DOCMD_SendAndWaitRecvCmd(DeviceLink *handle, const CmdPkg *inpkg, CmdPkg *outpkg, uint32_t recvCmd) {
    if (handle == nullptr) {
        SDK_LOG_NULL("DOCMD_SendAndWaitRecvCmd", "handle");
        return -1;
    }
    if (inpkg == nullptr) {
        SDK_LOG_NULL("DOCMD_SendAndWaitRecvCmd", "inpkg");
        return -1;
    }
    if (outpkg == nullptr) {
        SDK_LOG_NULL("DOCMD_SendAndWaitRecvCmd", "outpkg");
        return -1;
    }
    uint8_t frame[kCmdPkgFrameBufSize];
    if (encodeFrame("DOCMD_SendAndWaitRecvCmd", inpkg, frame) < 0) return -1;

    // Whatever arrived before this request is stale. Not cleared between
    // attempts: a late reply to an earlier send still counts.
    CMDPKG_RecvQueueClear(handle->codec);

    using Clock = std::chrono::steady_clock;
    const auto poll = std::chrono::milliseconds(kPollIntervalMs);
    for (int attempt = 0; attempt < kRequestAttempts; ++attempt) {
        if (sendFrame("DOCMD_SendAndWaitRecvCmd", handle, frame) != 0) return -1;
        // Ten polls on fixed 10 ms slots after the send. A poll takes at most
        // one record, but it takes it the moment it is queued rather than at
        // the end of its slot.
        const auto sentAt = Clock::now();
        for (int i = 0; i < kPollsPerAttempt; ++i) {
            const auto slotStart = sentAt + i * poll;
            if (Clock::now() < slotStart) std::this_thread::sleep_until(slotStart);
            if (CMDPKG_WaitRecvOnePackage(handle->codec, outpkg, slotStart + poll) == 0 && outpkg->cmd == recvCmd)
                return 0;
        }
    }
    std::printf("[info ] <%s> recv cmd(0x%04x) timeout.\n", "DOCMD_SendAndWaitRecvCmd", recvCmd);
    return -1;
}

int DOCMD_UartRecvThread(void *pParam) {
    if (pParam == nullptr) {
        SDK_LOG_NULL("DOCMD_UartRecvThread", "pParam");
        return -1;
    }
    DeviceLink *link = static_cast<DeviceLink *>(pParam);
    uint8_t buffer[kRecvChunk];
    while (link->stop.load() == 0) {
        uint32_t received = 0;
        if (UART_RecvBytes(link->port, buffer, kRecvChunk, &received) == 0) {
            for (uint32_t i = 0; i < received; ++i) CMDPKG_RecvByte(link->codec, buffer[i]);
            continue;
        }
        // A dead port fails every read at once: pause instead of spinning.
        // Requests then time out as with a silent device.
        std::unique_lock<std::mutex> guard(link->pauseLock);
        link->pauseWake.wait_for(guard, kReadErrorPause, [link] { return link->stop.load() != 0; });
    }
    return 0;
}

int DOCMD_UartSendBytes(const uint8_t *bytes, int count, void *pParam) {
    if (pParam == nullptr) {
        SDK_LOG_NULL("DOCMD_UartSendBytes", "pParam");
        return -1;
    }
    DeviceLink *link = static_cast<DeviceLink *>(pParam);
    return UART_SendBytes(link->port, bytes, count, nullptr);
}
