#include "docmd_link.h"

#include <algorithm>
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

using Clock = std::chrono::steady_clock;

// The protocol has no sequence number: an answer is matched on its code
// alone. When a request gets its answer only after sending again (the device
// answered late, or lost an answer), the answers to its other sends may still
// come, and the next request with the same code would take the first of them
// for its own. So the link remembers, per code, how many answers may still
// come and until when (the last send plus the whole request window: an
// answer slower than that never lets a request succeed). The next request
// with that code, before its first send, lets them come in and drops them,
// since nothing it asked can have been answered yet; it sends once they are
// all in, or once none can come any more. Answers of the code that other
// requests see meanwhile count off too.
// A device may also repeat its answers. The first request with the code of
// the link's first answer finds out: it waits until a repeat gap has passed
// since that answer and looks for a copy of it (requests with other codes
// cannot mistake such a copy for their answer, so they only note one they
// happen to see). On a device that repeats, a record identical to
// the previous one of its code and taken right after it is dropped and counts
// for nothing, and a request identical to the one just answered first waits
// until the gap has passed without a record of its code, so that a copy still
// on its way cannot pass as its answer; a request that differs (another
// channel) is not held up, as the channel echo tells those answers apart.
// A device that answers the first send in time and once costs no wait but
// that one look, at most a repeat gap once per link, and only when a request
// with the first answer's code follows it that closely. A request that got no
// answer at all leaves nothing due: its device answers slower than the
// window, if at all, and no rule without sequence numbers can tell such
// answers apart.
constexpr auto kLateAnswerWindow = std::chrono::milliseconds(kRequestAttempts * kPollsPerAttempt * kPollIntervalMs);
// A poll takes one record per 10 ms slot, so two copies that arrived together
// are taken up to a slot apart.
constexpr auto kRepeatGap = std::chrono::milliseconds(3 * kPollIntervalMs);
// Codes with answers still due at one time: a request leaves some only after
// sending again 100 ms later, so at most six are live within one window. The
// other slots serve the short repeat gaps; they are reused first.
constexpr int kLateAnswerSlots = 8;

struct LateAnswers {
    uint16_t cmd = 0;
    uint8_t due = 0;             // answers still to come
    Clock::time_point until;     // live while now < until
    uint32_t lastDigest = 0;     // the last record of this code taken
    Clock::time_point lastAt;
    uint32_t requestDigest = 0;  // the request that was answered
};

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
    // Touched by the requesting thread only (requests do not overlap).
    LateAnswers late[kLateAnswerSlots];
    bool repeatsAnswers = false;  // the device was seen sending an answer twice
    bool firstAnswerSeen = false;
    bool firstAnswerLookedAt = false;
    uint16_t firstAnswerCmd = 0;
    uint32_t firstAnswerDigest = 0;
    Clock::time_point firstAnswerAt;
};

namespace {

uint32_t digestOf(const CmdPkg &pkg) {
    // FNV-1a over what goes on the wire; a collision only costs a resend.
    uint32_t h = 2166136261u;
    auto mix = [&h](uint8_t byte) { h = (h ^ byte) * 16777619u; };
    mix(static_cast<uint8_t>(pkg.cmd >> 8));
    mix(static_cast<uint8_t>(pkg.cmd));
    mix(pkg.len);
    for (int i = 0; i < pkg.len && i < kCmdPkgDataSize; ++i) mix(pkg.data[i]);
    return h;
}

LateAnswers *liveSlotOf(DeviceLink *link, uint16_t cmd, Clock::time_point now) {
    for (LateAnswers &slot : link->late) {
        if (slot.cmd == cmd && now < slot.until) return &slot;
    }
    return nullptr;
}

// True when `pkg` is a repeat or a late answer to an earlier request of its
// code (then one fewer is due); false when it may be a fresh answer.
bool consumeLateAnswer(DeviceLink *link, const CmdPkg &pkg, Clock::time_point now) {
    LateAnswers *slot = liveSlotOf(link, pkg.cmd, now);
    if (slot == nullptr) return false;
    const uint32_t digest = digestOf(pkg);
    const bool repeat = link->repeatsAnswers && digest == slot->lastDigest && now - slot->lastAt < kRepeatGap;
    slot->lastDigest = digest;
    slot->lastAt = now;
    if (repeat) return true;
    if (slot->due == 0) return false;
    --slot->due;
    return true;
}

// Until the link has looked for it, a copy of its first answer shows that
// the device repeats its answers.
void noteFirstAnswerCopy(DeviceLink *link, const CmdPkg &pkg) {
    if (link->firstAnswerSeen && !link->firstAnswerLookedAt && pkg.cmd == link->firstAnswerCmd &&
        digestOf(pkg) == link->firstAnswerDigest)
        link->repeatsAnswers = true;
}

// A record taken before a request's first send: stale in any case, and maybe
// a copy of the link's first answer.
void dropStaleRecord(DeviceLink *link, const CmdPkg &pkg, Clock::time_point now) {
    noteFirstAnswerCopy(link, pkg);
    consumeLateAnswer(link, pkg, now);
}

// Once per link, at the first request with the code of its first answer: a
// repeat gap after that answer, a device that repeats its answers has sent
// the copy.
void lookForRepeatedFirstAnswer(DeviceLink *link, uint16_t cmd) {
    if (!link->firstAnswerSeen || link->firstAnswerLookedAt || cmd != link->firstAnswerCmd) return;
    const auto deadline = link->firstAnswerAt + kRepeatGap;
    CmdPkg stale;
    while (Clock::now() < deadline) {
        if (CMDPKG_WaitRecvOnePackage(link->codec, &stale, deadline) == 0) dropStaleRecord(link, stale, Clock::now());
    }
    link->firstAnswerLookedAt = true;
}

// Before the first send of `request` (answered under `cmd`): waits until the
// answers still due to earlier requests of that code are in and, for the
// request just answered, until the line has been free of the code for a
// repeat gap; or until none can come any more. Every record taken meanwhile
// is stale: nothing has been asked yet.
void awaitLateAnswers(DeviceLink *link, uint16_t cmd, uint32_t requestDigest) {
    CmdPkg stale;
    for (;;) {
        const auto now = Clock::now();
        const LateAnswers *slot = liveSlotOf(link, cmd, now);
        if (slot == nullptr) return;
        const auto quietAt = slot->lastAt + kRepeatGap;
        if (slot->due == 0 && (slot->requestDigest != requestDigest || now >= quietAt)) return;
        const auto deadline = slot->due > 0 ? slot->until : std::min(slot->until, quietAt);
        if (CMDPKG_WaitRecvOnePackage(link->codec, &stale, deadline) == 0) dropStaleRecord(link, stale, Clock::now());
    }
}

// After a request that made sends. On success `answer` was taken at
// `answeredAt` and `due` answers to the other sends may still come until
// `until`; the slot lives at least a repeat gap. On failure nothing is kept.
void rememberLateAnswers(DeviceLink *link, uint16_t cmd, uint32_t requestDigest, const CmdPkg *answer,
                         Clock::time_point answeredAt, int due, Clock::time_point until) {
    const auto now = Clock::now();
    LateAnswers *target = nullptr;
    for (LateAnswers &slot : link->late) {
        if (slot.cmd == cmd && now < slot.until) target = &slot;
    }
    if (answer != nullptr && !link->firstAnswerSeen) {
        link->firstAnswerSeen = true;
        link->firstAnswerCmd = cmd;
        link->firstAnswerDigest = digestOf(*answer);
        link->firstAnswerAt = answeredAt;
    }
    // Nothing to wait for later: no answer, or one answer to one send from a
    // device that does not repeat itself.
    if (answer == nullptr || (due <= 0 && !link->repeatsAnswers)) {
        if (target != nullptr) target->until = Clock::time_point{};
        return;
    }
    if (target == nullptr) {
        // A free slot, else one that only guards a repeat gap, else the one
        // that expires first.
        for (LateAnswers &slot : link->late) {
            if (slot.until <= now) {
                target = &slot;
                break;
            }
            const bool better = target == nullptr || (slot.due == 0 && target->due > 0) ||
                                ((slot.due == 0) == (target->due == 0) && slot.until < target->until);
            if (better) target = &slot;
        }
    }
    target->cmd = cmd;
    target->due = static_cast<uint8_t>(due);
    target->until = due > 0 ? until : answeredAt + kRepeatGap;
    target->lastDigest = digestOf(*answer);
    target->lastAt = answeredAt;
    target->requestDigest = requestDigest;
}

}  // namespace

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
        SDK_LogPrintf("[error] <%s:%d> %s, ret (%d) err!\n", func, __LINE__, "CMDPKG_CreateBytes", ret);
        return -1;
    }
    return frame[0];
}

static int sendFrame(const char *func, DeviceLink *link, const uint8_t *frame) {
    int ret = link->send(frame + 1, frame[0], link->userData);
    if (ret != 0) {
        SDK_LogPrintf("[error] <%s:%d> %s, ret (%d) err!\n", func, __LINE__, "SendBytes", ret);
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
    // attempts: a late reply to an earlier send still counts. The records
    // dropped here are looked at first, as they may be late answers; those
    // of this code still due are waited out before the first send.
    CmdPkg stale;
    for (int i = 0; i < kCmdPkgQueueSlots && CMDPKG_RecvOnePackage(handle->codec, &stale) == 0; ++i)
        dropStaleRecord(handle, stale, Clock::now());
    CMDPKG_RecvQueueClear(handle->codec);
    const uint16_t cmd = static_cast<uint16_t>(recvCmd);
    lookForRepeatedFirstAnswer(handle, cmd);
    const uint32_t requestDigest = digestOf(*inpkg);
    awaitLateAnswers(handle, cmd, requestDigest);

    const auto poll = std::chrono::milliseconds(kPollIntervalMs);
    int sends = 0;
    Clock::time_point lastSentAt;
    Clock::time_point answeredAt;
    int result = -1;
    bool sendFailed = false;
    for (int attempt = 0; attempt < kRequestAttempts && result != 0; ++attempt) {
        if (sendFrame("DOCMD_SendAndWaitRecvCmd", handle, frame) != 0) {
            sendFailed = true;
            break;
        }
        // Ten polls on fixed 10 ms slots after the send. A poll takes at most
        // one record, but it takes it the moment it is queued rather than at
        // the end of its slot.
        const auto sentAt = Clock::now();
        ++sends;
        lastSentAt = sentAt;
        for (int i = 0; i < kPollsPerAttempt; ++i) {
            const auto slotStart = sentAt + i * poll;
            if (Clock::now() < slotStart) std::this_thread::sleep_until(slotStart);
            if (CMDPKG_WaitRecvOnePackage(handle->codec, outpkg, slotStart + poll) != 0) continue;
            answeredAt = Clock::now();
            if (outpkg->cmd != recvCmd) noteFirstAnswerCopy(handle, *outpkg);
            if (consumeLateAnswer(handle, *outpkg, answeredAt) || outpkg->cmd != recvCmd) continue;
            result = 0;
            break;
        }
    }
    if (sends > 0) {
        // Every send but the one answered may still be answered.
        rememberLateAnswers(handle, cmd, requestDigest, result == 0 ? outpkg : nullptr, answeredAt, sends - 1,
                            lastSentAt + kLateAnswerWindow);
    }
    if (result == 0 || sendFailed) return result;
    SDK_LogPrintf("[info ] <%s> recv cmd(0x%04x) timeout.\n", "DOCMD_SendAndWaitRecvCmd", recvCmd);
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
