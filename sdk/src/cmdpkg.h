// Packet codec: one command record <-> one wire frame, and the receive parser
// with its eight-slot queue.
//
// Frame: 55 AA cmdHi cmdLo len payload[len] sum FA, where sum is the low byte
// of cmdHi + cmdLo + len + payload. No escaping.
#ifndef DALU_CMDPKG_H
#define DALU_CMDPKG_H

#include <chrono>
#include <cstdint>

constexpr int kCmdPkgDataSize = 249;      // payload room of one record
constexpr int kCmdPkgFrameBufSize = 256;  // encoder output: length byte + frame
constexpr int kCmdPkgMaxEncodeLen = kCmdPkgFrameBufSize - 8;  // 248
constexpr int kCmdPkgQueueSlots = 8;

struct CmdPkg {
    uint16_t cmd;
    uint8_t len;
    uint8_t data[kCmdPkgDataSize];  // zero at and beyond len
};

struct CmdPkgCodec;  // opaque; one per device link

using CmdPkgDeadline = std::chrono::steady_clock::time_point;

// Returns a new codec, or null when memory runs out.
CmdPkgCodec *CMDPKG_Create();
int CMDPKG_Destroy(CmdPkgCodec *handle);

// Writes the frame length (len + 7) to outdata[0] and the frame to
// outdata[1..]. outdata holds 256 bytes. A record with len above 248 would not
// fit and is refused with -1.
int CMDPKG_CreateBytes(const CmdPkg *inpkg, uint8_t *outdata);

// Advances the receive parser by one byte; a completed frame is queued.
int CMDPKG_RecvByte(CmdPkgCodec *handle, uint8_t byte);

// Moves the oldest queued record to outpkg; -1 (silently) when none waits.
int CMDPKG_RecvOnePackage(CmdPkgCodec *handle, CmdPkg *outpkg);

// As CMDPKG_RecvOnePackage, but first waits until a record is queued or the
// deadline passes. Wakes as soon as the parser queues a record. When
// arrivedAt is given it gets the time the record's last byte was parsed: a
// record may wait in the queue long after it came.
int CMDPKG_WaitRecvOnePackage(CmdPkgCodec *handle, CmdPkg *outpkg, CmdPkgDeadline deadline,
                              CmdPkgDeadline *arrivedAt = nullptr);

// Drops every queued record; a frame half received stays in the parser.
int CMDPKG_RecvQueueClear(CmdPkgCodec *handle);

// Number of records waiting (for tests and tools); -1 for null.
int CMDPKG_QueueCount(CmdPkgCodec *handle);

#endif
