#include "cmdpkg.h"

#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

#include "sdk_log.h"

namespace {

enum ParserState : uint8_t {
    kWaitStart1 = 0,
    kWaitStart2 = 1,
    kCmdHigh = 2,
    kCmdLow = 3,
    kLength = 4,
    kPayload = 5,
    kChecksum = 6,
    kEnd = 7,
};

constexpr uint8_t kStart1 = 0x55;
constexpr uint8_t kStart2 = 0xAA;
constexpr uint8_t kEndByte = 0xFA;

struct RecvQueue;
using QueuePushFn = void (*)(RecvQueue *queue, const CmdPkg *pkg, CmdPkgDeadline arrivedAt);
using QueuePopFn = void (*)(RecvQueue *queue);

struct RecvQueue {
    uint64_t writeIndex;
    uint64_t readIndex;
    uint64_t count;
    QueuePushFn push;
    QueuePopFn pop;
    CmdPkg slots[kCmdPkgQueueSlots];
    CmdPkgDeadline arrivedAt[kCmdPkgQueueSlots];
};

// When eight records wait, the newest is dropped: the oldest win.
void queuePush(RecvQueue *queue, const CmdPkg *pkg, CmdPkgDeadline arrivedAt) {
    if (queue->count + 1 > kCmdPkgQueueSlots) return;
    queue->slots[queue->writeIndex] = *pkg;
    queue->arrivedAt[queue->writeIndex] = arrivedAt;
    queue->writeIndex = (queue->writeIndex + 1) % kCmdPkgQueueSlots;
    queue->count += 1;
}

void queuePop(RecvQueue *queue) {
    queue->readIndex = (queue->readIndex + 1) % kCmdPkgQueueSlots;
    queue->count -= 1;
}

}  // namespace

struct CmdPkgCodec {
    // Parser: touched only by the one thread that feeds bytes.
    CmdPkg assembling;
    uint8_t state;
    uint8_t checksum;
    uint8_t payloadIndex;

    // Queue: shared between the feeding thread and the requesting thread,
    // so push, pop and clear all hold `lock`; `queued` wakes a waiting request.
    RecvQueue queue;
    std::mutex lock;
    std::condition_variable queued;
};

static void resetParser(CmdPkgCodec *codec) {
    std::memset(&codec->assembling, 0, sizeof codec->assembling);
    codec->state = kWaitStart1;
    codec->checksum = 0;
    codec->payloadIndex = 0;
}

CmdPkgCodec *CMDPKG_Create() {
    CmdPkgCodec *codec = new (std::nothrow) CmdPkgCodec();  // value-initialised: all zero
    if (codec == nullptr) {
        SDK_LOG_ERROR("CMDPKG_Create", "Malloc param failed!");
        return nullptr;
    }
    codec->queue.push = queuePush;
    codec->queue.pop = queuePop;
    return codec;
}

int CMDPKG_Destroy(CmdPkgCodec *handle) {
    if (handle == nullptr) {
        SDK_LOG_NULL("CMDPKG_Destroy", "handle");
        return -1;
    }
    delete handle;
    return 0;
}

int CMDPKG_CreateBytes(const CmdPkg *inpkg, uint8_t *outdata) {
    if (inpkg == nullptr) {
        SDK_LOG_NULL("CMDPKG_CreateBytes", "inpkg");
        return -1;
    }
    if (outdata == nullptr) {
        SDK_LOG_NULL("CMDPKG_CreateBytes", "outdata");
        return -1;
    }
    // The frame length must fit in outdata[0] and the frame in the 256-byte buffer.
    if (inpkg->len > kCmdPkgMaxEncodeLen) {
        SDK_LogPrintf("[error] <%s:%d> %s (%d > %d) err!\n", "CMDPKG_CreateBytes", __LINE__, "inpkg->len",
                      (int)inpkg->len, kCmdPkgMaxEncodeLen);
        return -1;
    }
    const int len = inpkg->len;
    outdata[1] = kStart1;
    outdata[2] = kStart2;
    outdata[3] = (uint8_t)(inpkg->cmd >> 8);
    outdata[4] = (uint8_t)(inpkg->cmd & 0xFF);
    outdata[5] = (uint8_t)len;
    std::memcpy(outdata + 6, inpkg->data, (size_t)len);
    uint8_t sum = 0;
    for (int i = 3; i <= 5 + len; ++i) sum = (uint8_t)(sum + outdata[i]);
    outdata[6 + len] = sum;
    outdata[7 + len] = kEndByte;
    outdata[0] = (uint8_t)(len + 7);
    return 0;
}

static void handRecordOn(CmdPkgCodec *codec) {
    const CmdPkgDeadline now = std::chrono::steady_clock::now();
    {
        std::lock_guard<std::mutex> guard(codec->lock);
        codec->queue.push(&codec->queue, &codec->assembling, now);
    }
    codec->queued.notify_all();
}

int CMDPKG_RecvByte(CmdPkgCodec *handle, uint8_t byte) {
    if (handle == nullptr) {
        SDK_LOG_NULL("CMDPKG_RecvByte", "handle");
        return -1;
    }
    CmdPkgCodec *c = handle;
    switch (c->state) {
    case kWaitStart1:
        if (byte == kStart1) c->state = kWaitStart2;
        else resetParser(c);
        break;
    case kWaitStart2:
        if (byte == kStart2) c->state = kCmdHigh;
        else if (byte == kStart1) c->state = kWaitStart2;  // a run of 0x55: the last one counts
        else resetParser(c);
        break;
    case kCmdHigh:
        c->assembling.cmd = (uint16_t)(byte << 8);
        c->checksum = byte;
        c->state = kCmdLow;
        break;
    case kCmdLow:
        c->assembling.cmd = (uint16_t)(c->assembling.cmd | byte);
        c->checksum = (uint8_t)(c->checksum + byte);
        c->state = kLength;
        break;
    case kLength:
        // A length that cannot fit the record cannot be a frame of ours.
        if (byte > kCmdPkgDataSize) {
            resetParser(c);
            break;
        }
        c->assembling.len = byte;
        c->checksum = (uint8_t)(c->checksum + byte);
        c->payloadIndex = 0;
        c->state = byte == 0 ? kChecksum : kPayload;
        break;
    case kPayload:
        c->assembling.data[c->payloadIndex] = byte;
        c->payloadIndex = (uint8_t)(c->payloadIndex + 1);
        c->checksum = (uint8_t)(c->checksum + byte);
        if (c->payloadIndex >= c->assembling.len) c->state = kChecksum;
        break;
    case kChecksum:
        // A bad checksum byte is dropped even when it is 0x55.
        if (byte == c->checksum) c->state = kEnd;
        else resetParser(c);
        break;
    case kEnd:
        if (byte == kEndByte) handRecordOn(c);
        resetParser(c);
        break;
    default:
        resetParser(c);
        break;
    }
    return 0;
}

static bool popLocked(CmdPkgCodec *codec, CmdPkg *outpkg, CmdPkgDeadline *arrivedAt = nullptr) {
    if (codec->queue.count == 0) return false;
    *outpkg = codec->queue.slots[codec->queue.readIndex];
    if (arrivedAt != nullptr) *arrivedAt = codec->queue.arrivedAt[codec->queue.readIndex];
    codec->queue.pop(&codec->queue);
    return true;
}

int CMDPKG_RecvOnePackage(CmdPkgCodec *handle, CmdPkg *outpkg) {
    if (handle == nullptr) {
        SDK_LOG_NULL("CMDPKG_RecvOnePackage", "handle");
        return -1;
    }
    if (outpkg == nullptr) {
        SDK_LOG_NULL("CMDPKG_RecvOnePackage", "outpkg");
        return -1;
    }
    std::lock_guard<std::mutex> guard(handle->lock);
    return popLocked(handle, outpkg) ? 0 : -1;
}

int CMDPKG_WaitRecvOnePackage(CmdPkgCodec *handle, CmdPkg *outpkg, CmdPkgDeadline deadline,
                              CmdPkgDeadline *arrivedAt) {
    if (handle == nullptr) {
        SDK_LOG_NULL("CMDPKG_WaitRecvOnePackage", "handle");
        return -1;
    }
    if (outpkg == nullptr) {
        SDK_LOG_NULL("CMDPKG_WaitRecvOnePackage", "outpkg");
        return -1;
    }
    std::unique_lock<std::mutex> guard(handle->lock);
    handle->queued.wait_until(guard, deadline, [handle] { return handle->queue.count > 0; });
    return popLocked(handle, outpkg, arrivedAt) ? 0 : -1;
}

int CMDPKG_RecvQueueClear(CmdPkgCodec *handle) {
    if (handle == nullptr) {
        SDK_LOG_NULL("CMDPKG_RecvQueueClear", "handle");
        return -1;
    }
    std::lock_guard<std::mutex> guard(handle->lock);
    handle->queue.readIndex = handle->queue.writeIndex;
    handle->queue.count = 0;
    return 0;
}

int CMDPKG_QueueCount(CmdPkgCodec *handle) {
    if (handle == nullptr) {
        SDK_LOG_NULL("CMDPKG_QueueCount", "handle");
        return -1;
    }
    std::lock_guard<std::mutex> guard(handle->lock);
    return (int)handle->queue.count;
}
