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

// The protocol has no sequence number: an answer carries its request's code
// and, for a channel, the channel, but nothing tells which send it answers.
// So the link tags each read it sends: what was asked and when each send
// went out. An answer is first offered to the earlier reads that could have
// asked for it and may still be answered, oldest first (the device answers
// in order); only an answer that none of them claims is the reply to the
// read in flight. A read's sends may be answered until a window (plus a
// margin) after its last send, or, once the device has answered later than
// that, until its slowest answer seen (plus the margin) after it. That holds
// for a read that got no answer at all too: its device may just be slow.
// Before its first send a read waits until the earlier reads that asked the
// same thing can no longer be answered (all their answers are in, or their
// time is up): an answer to one of them that came after the link had let it
// go would pass as the new read's. Reads of other channels are not held up,
// as the channel echo tells their answers apart. The one case no rule
// without sequence numbers can tell apart: a read's first answer that comes
// after the read's time is up, which looks like a device that lost that
// read's answers and answers the next one.
// A device may also send every answer twice. The first read with the code
// of the link's first answer waits until a repeat gap has passed since that
// answer came and looks for a copy of it (reads of other codes cannot take
// such a copy for their answer, so they only note one they happen to see).
// A record identical to the last answer of its code that arrives within the
// gap after it is a copy and counts for nothing, and a read identical to one
// just answered first waits out the gap, so that a copy on its way cannot
// pass as its reply. Every rule uses the time a record arrived, not the time
// it was taken from the queue.
constexpr auto kLateAnswerWindow = std::chrono::milliseconds(kRequestAttempts * kPollsPerAttempt * kPollIntervalMs);
// Added to the window or the slowest answer seen: the device's and a loaded
// machine's jitter, which decides between waiting a little long and taking
// an old answer for a new one.
constexpr auto kLateAnswerMargin = std::chrono::milliseconds(kPollsPerAttempt * kPollIntervalMs);
// The slowest answer time learnt; bounds the wait after a very slow device.
constexpr auto kSlowestAnswerCap = 4 * kLateAnswerWindow;
// A poll takes one record per 10 ms slot, so two copies that arrived together
// may be taken a slot apart; the gap is between their arrivals.
constexpr auto kRepeatGap = std::chrono::milliseconds(3 * kPollIntervalMs);
// Reads remembered at once. One that may still be answered stays so for
// about a second at most, and reads that ask the same thing wait for each
// other, so few are live at a time; the others only keep copies apart.
constexpr int kAskedReads = 8;
// Payload bytes of a read kept: a read asks at most for one channel, and its
// answer repeats them first.
constexpr int kAskBytes = 4;

// One read sent: what was asked and when each send went out.
struct AskedRead {
    uint16_t cmd = 0;  // the code its answers carry
    uint8_t askLen = 0;
    uint8_t ask[kAskBytes] = {};
    uint8_t sends = 0;
    uint8_t answers = 0;  // matched to it; copies are not counted
    Clock::time_point sentAt[kRequestAttempts];
    uint32_t lastDigest = 0;  // its last answer, to know a copy of it
    Clock::time_point lastAt;  // when that answer arrived
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
    AskedRead asked[kAskedReads];
    Clock::duration slowestAnswer{0};
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

Clock::duration answerHorizon(const DeviceLink *link) {
    return std::max<Clock::duration>(kLateAnswerWindow, link->slowestAnswer) + kLateAnswerMargin;
}

int dueOf(const AskedRead &r) { return r.sends > r.answers ? r.sends - r.answers : 0; }

Clock::time_point lastSendOf(const AskedRead &r) { return r.sentAt[r.sends - 1]; }

// True while an answer to one of r's sends may still come.
bool mayStillBeAnswered(const DeviceLink *link, const AskedRead &r, Clock::time_point at) {
    return dueOf(r) > 0 && at < lastSendOf(r) + answerHorizon(link);
}

// True when `answer` could be the answer to r: its code, and the channel echoed.
bool couldAnswer(const AskedRead &r, const CmdPkg &answer) {
    return r.sends > 0 && r.cmd == answer.cmd && answer.len >= r.askLen &&
           std::memcmp(answer.data, r.ask, r.askLen) == 0;
}

bool asksSame(const AskedRead &r, uint16_t cmd, const CmdPkg &request) {
    const int len = std::min<int>(request.len, kAskBytes);
    return r.sends > 0 && r.cmd == cmd && r.askLen == len && std::memcmp(r.ask, request.data, len) == 0;
}

void noteAnswerTime(DeviceLink *link, Clock::duration took) {
    if (took > link->slowestAnswer) link->slowestAnswer = std::min<Clock::duration>(took, kSlowestAnswerCap);
}

void matchAnswer(DeviceLink *link, AskedRead &r, const CmdPkg &answer, Clock::time_point at) {
    if (r.answers < r.sends) ++r.answers;
    // In order, the k-th answer is to the k-th send or a later one: timing it
    // from the k-th send errs on the slow side.
    noteAnswerTime(link, at - r.sentAt[r.answers - 1]);
    r.lastDigest = digestOf(answer);
    r.lastAt = at;
}

// A copy of the last answer of its code. A record that only looks like one
// may still be the reply to the read in flight, so there the rule needs a
// device known to repeat; for stale records it holds always, which at worst
// keeps an earlier read waiting for an answer that does not come.
bool isCopy(const DeviceLink *link, const CmdPkg &record, Clock::time_point at, bool knownToRepeat) {
    if (knownToRepeat && !link->repeatsAnswers) return false;
    const uint32_t digest = digestOf(record);
    for (const AskedRead &r : link->asked) {
        if (r.answers > 0 && r.cmd == record.cmd && r.lastDigest == digest && at >= r.lastAt &&
            at - r.lastAt < kRepeatGap)
            return true;
    }
    return false;
}

// Offers an answer to the earlier reads that may still be answered and could
// have asked for it, oldest first. True when one took it.
bool claimedByEarlier(DeviceLink *link, const CmdPkg &answer, Clock::time_point at, const AskedRead *current) {
    AskedRead *oldest = nullptr;
    for (AskedRead &r : link->asked) {
        if (&r == current || !couldAnswer(r, answer) || !mayStillBeAnswered(link, r, at)) continue;
        if (oldest == nullptr || r.sentAt[0] < oldest->sentAt[0]) oldest = &r;
    }
    if (oldest == nullptr) return false;
    matchAnswer(link, *oldest, answer, at);
    return true;
}

// Until the link has looked for it, a copy of its first answer shows that
// the device repeats its answers.
void noteFirstAnswerCopy(DeviceLink *link, const CmdPkg &pkg, Clock::time_point at) {
    if (link->firstAnswerSeen && !link->firstAnswerLookedAt && pkg.cmd == link->firstAnswerCmd &&
        at - link->firstAnswerAt < kRepeatGap && digestOf(pkg) == link->firstAnswerDigest)
        link->repeatsAnswers = true;
}

// A record that cannot be the reply to the read in flight: it came before its
// first send, or carries another code. It may be a copy or a late answer; one
// that no read may still claim shows the device answers later than the link
// thought, timed from the last read it could belong to, which then waits
// for the rest of its answers.
void settleStale(DeviceLink *link, const CmdPkg &record, Clock::time_point at) {
    noteFirstAnswerCopy(link, record, at);
    if (isCopy(link, record, at, false) || claimedByEarlier(link, record, at, nullptr)) return;
    AskedRead *latest = nullptr;
    for (AskedRead &r : link->asked) {
        if (couldAnswer(r, record) && dueOf(r) > 0 && (latest == nullptr || lastSendOf(r) > lastSendOf(*latest)))
            latest = &r;
    }
    if (latest != nullptr) matchAnswer(link, *latest, record, at);
}

// Once per link, at the first read with the code of its first answer: a
// repeat gap after that answer came, a device that repeats has sent the copy.
void lookForRepeatedFirstAnswer(DeviceLink *link, uint16_t cmd) {
    if (!link->firstAnswerSeen || link->firstAnswerLookedAt || cmd != link->firstAnswerCmd) return;
    const auto deadline = link->firstAnswerAt + kRepeatGap;
    CmdPkg stale;
    Clock::time_point at;
    while (Clock::now() < deadline) {
        if (CMDPKG_WaitRecvOnePackage(link->codec, &stale, deadline, &at) == 0) settleStale(link, stale, at);
    }
    link->firstAnswerLookedAt = true;
}

// Before a read's first send: waits until no earlier read that asked the same
// thing may still be answered and, where its answer may have a copy on the
// way (a device that repeats, or one that was sent more than once), until a
// repeat gap has passed since its last answer. Every record taken meanwhile
// is stale: nothing has been asked yet.
void awaitEarlierAnswers(DeviceLink *link, uint16_t cmd, const CmdPkg &request) {
    CmdPkg stale;
    Clock::time_point at;
    for (;;) {
        const auto now = Clock::now();
        Clock::time_point until = now;
        for (const AskedRead &r : link->asked) {
            if (!asksSame(r, cmd, request)) continue;
            if (mayStillBeAnswered(link, r, now)) until = std::max(until, lastSendOf(r) + answerHorizon(link));
            if ((link->repeatsAnswers || r.sends > 1) && r.answers > 0) until = std::max(until, r.lastAt + kRepeatGap);
        }
        if (until <= now) return;
        if (CMDPKG_WaitRecvOnePackage(link->codec, &stale, until, &at) == 0) settleStale(link, stale, at);
    }
}

// The slot for a new read: the one whose last use ends first (a read that
// may still be answered, or an answer whose copy may still come).
AskedRead *slotForNewRead(DeviceLink *link) {
    AskedRead *best = nullptr;
    Clock::time_point bestEnd;
    for (AskedRead &r : link->asked) {
        Clock::time_point end = r.lastAt + kRepeatGap;
        if (dueOf(r) > 0) end = std::max(end, lastSendOf(r) + answerHorizon(link));
        if (best == nullptr || end < bestEnd) {
            best = &r;
            bestEnd = end;
        }
    }
    *best = AskedRead{};
    return best;
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
    // dropped here are looked at first, as they may be late answers.
    CmdPkg stale;
    Clock::time_point at;
    for (int i = 0; i < kCmdPkgQueueSlots && CMDPKG_WaitRecvOnePackage(handle->codec, &stale, Clock::time_point{}, &at) == 0;
         ++i)
        settleStale(handle, stale, at);
    CMDPKG_RecvQueueClear(handle->codec);
    const uint16_t cmd = static_cast<uint16_t>(recvCmd);
    lookForRepeatedFirstAnswer(handle, cmd);
    awaitEarlierAnswers(handle, cmd, *inpkg);

    AskedRead *read = slotForNewRead(handle);
    read->cmd = cmd;
    read->askLen = static_cast<uint8_t>(std::min<int>(inpkg->len, kAskBytes));
    std::memcpy(read->ask, inpkg->data, read->askLen);

    const auto poll = std::chrono::milliseconds(kPollIntervalMs);
    int result = -1;
    bool sendFailed = false;
    for (int attempt = 0; attempt < kRequestAttempts && result != 0; ++attempt) {
        // Tagged before the send: a caller-driven device may answer within it.
        const auto sentAt = Clock::now();
        read->sentAt[read->sends++] = sentAt;
        if (sendFrame("DOCMD_SendAndWaitRecvCmd", handle, frame) != 0) {
            --read->sends;
            sendFailed = true;
            break;
        }
        // Ten polls on fixed 10 ms slots after the send. A poll takes at most
        // one record, but it takes it the moment it is queued rather than at
        // the end of its slot.
        for (int i = 0; i < kPollsPerAttempt; ++i) {
            const auto slotStart = sentAt + i * poll;
            if (Clock::now() < slotStart) std::this_thread::sleep_until(slotStart);
            if (CMDPKG_WaitRecvOnePackage(handle->codec, outpkg, slotStart + poll, &at) != 0) continue;
            if (outpkg->cmd != recvCmd) {
                settleStale(handle, *outpkg, at);
                continue;
            }
            if (isCopy(handle, *outpkg, at, true) || claimedByEarlier(handle, *outpkg, at, read)) continue;
            matchAnswer(handle, *read, *outpkg, at);
            result = 0;
            break;
        }
    }
    if (result == 0 && !handle->firstAnswerSeen) {
        handle->firstAnswerSeen = true;
        handle->firstAnswerCmd = cmd;
        handle->firstAnswerDigest = digestOf(*outpkg);
        handle->firstAnswerAt = at;
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
