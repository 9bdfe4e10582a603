// Device link and request engine: the record behind every DALUSDK_ handle.
#ifndef DALU_DOCMD_LINK_H
#define DALU_DOCMD_LINK_H

#include <cstdint>

#include "cmdpkg.h"

// Sends one frame; 0 means sent.
using DOCMD_SendFunc = int (*)(const uint8_t *bytes, int count, void *userData);

struct DeviceLink;  // opaque outside docmd_link.cpp

// Request timing: at most kRequestAttempts sends, each followed by
// kPollsPerAttempt polls of kPollIntervalMs.
constexpr int kRequestAttempts = 5;
constexpr int kPollsPerAttempt = 10;
constexpr int kPollIntervalMs = 10;

// Serial mode: opens the port, creates the codec, starts the receive thread.
DeviceLink *DOCMD_Create(const char *comName);
// Caller-driven mode: frames go to sendCallback, bytes come in by DOCMD_RecvBytes.
DeviceLink *DOCMD_Create2(DOCMD_SendFunc sendCallback, void *userData);
// Releases whatever the link holds (either mode).
int DOCMD_Destroy(DeviceLink *handle);
// Releases a caller-driven link (codec and link only).
int DOCMD_Destroy2(DeviceLink *handle);
// True when the link owns a serial port and its receive thread: such a link
// must not be given to DOCMD_Destroy2 or DOCMD_RecvBytes.
bool DOCMD_IsSerial(const DeviceLink *handle);

// Feeds received bytes, in order, to the link's parser.
int DOCMD_RecvBytes(DeviceLink *handle, const uint8_t *buffer, uint32_t count);

// Encodes and sends pkg once; does not wait for any reply.
int DOCMD_SendPackage(DeviceLink *handle, const CmdPkg *pkg);

// Sends inpkg and waits for a reply whose cmd equals recvCmd (see the timing
// constants above). 0 with the reply in outpkg, else -1.
int DOCMD_SendAndWaitRecvCmd(DeviceLink *handle, const CmdPkg *inpkg, CmdPkg *outpkg, uint32_t recvCmd);

// Receive thread body and serial-mode send function.
int DOCMD_UartRecvThread(void *pParam);
int DOCMD_UartSendBytes(const uint8_t *bytes, int count, void *pParam);

#endif
