/*
 * DALU_LightKit: control library for the four-channel LED light source.
 *
 * Return codes
 *   Every function returns 0 on success and -1 on any failure: a null handle
 *   or pointer, an index or value out of range, memory exhausted, a request
 *   that could not be encoded or sent, no matching reply in time, or a reply
 *   whose length or channel does not match the request. The create functions
 *   return a handle, or null on failure. The cause of a failure is written as
 *   one line on standard output.
 *
 * Handles and ownership
 *   A handle is created by DALUSDK_CreateHandle (serial port, with a receive
 *   thread inside the library) or DALUSDK_CreateHandle2 (the caller moves the
 *   bytes: frames go out through sendCallback, received bytes come in through
 *   DALUSDK_PushRecvBytes). DALUSDK_DestroyHandle releases handles of both
 *   kinds; DALUSDK_DestroyHandle2 is for caller-driven handles only. A handle
 *   must not be used after it is destroyed.
 *   The port name is read only during the create call. Output variables are
 *   the caller's; a read writes them only as each function says, and a caller
 *   must not use them after a -1.
 *
 * Threads
 *   The library keeps no global state: different handles may be used from
 *   different threads at once. Calls on one handle must not overlap, and a
 *   destroy call must not overlap any other call on the same handle.
 *   Writes (Set*, OnTrigger) return after one send; reads (Get*) block until
 *   the reply arrives or about half a second without one (five sends, each
 *   followed by a 100 ms wait). After a device answered late or not at all,
 *   a read that asks what the earlier one asked first waits until the
 *   earlier one's answers can no longer come (0.6 s after its last send, or
 *   longer for a device seen answering later), so that none of them passes
 *   as its reply. sendCallback runs on the requesting thread,
 *   inside the request. DALUSDK_PushRecvBytes is for caller-driven handles
 *   only and may be called from any one thread while a request waits.
 *
 * Log lines
 *   By default each line goes to standard output. DALUSDK_SetLogHandler sends
 *   them to a function of the program's own instead (process-wide). The
 *   handler runs on the thread that produced the line: the calling thread for
 *   a call's own lines, a handle's receive thread for that thread's lines;
 *   so it may run on several threads at once and must be thread-safe itself.
 *   A line is delivered whole, exactly once, to the handler that was set when
 *   it was produced, or to standard output.
 */
#ifndef DALU_LIGHTKIT_H
#define DALU_LIGHTKIT_H

#if defined(_WIN32)
#  if defined(DALU_LIGHTKIT_BUILD)
#    define DALUSDK_API __declspec(dllexport)
#  elif defined(DALU_LIGHTKIT_STATIC)
#    define DALUSDK_API
#  else
#    define DALUSDK_API __declspec(dllimport)
#  endif
#else
#  if defined(DALU_LIGHTKIT_BUILD)
#    define DALUSDK_API __attribute__((visibility("default")))
#  else
#    define DALUSDK_API
#  endif
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Library version reported by DALUSDK_GetSdkVersion. */
#define DALUSDK_VERSION 20100

/* Sends one encoded frame of `count` bytes; returns 0 when it was sent. */
typedef int (*DALUSDK_SendCallback)(const unsigned char *bytes, int count, void *userData);

/* Receives each line the library would print, without its trailing newline.
 * `line` is valid only during the call. */
typedef void (*DALUSDK_LogHandler)(const char *line, void *userData);

/* ---- Handles -------------------------------------------------------- */

/* Opens the serial port `comName` ("COM3", "ttyUSB0", "/dev/pts/4") at 115200 8N1. */
DALUSDK_API void *DALUSDK_CreateHandle(const char *comName);
/* Creates a caller-driven handle; `userData` is passed back to sendCallback. */
DALUSDK_API void *DALUSDK_CreateHandle2(DALUSDK_SendCallback sendCallback, void *userData);
/* Stops the receive thread, closes the port and frees the handle (either kind). */
DALUSDK_API int DALUSDK_DestroyHandle(void *handle);
/* Frees a caller-driven handle; a serial-port handle is refused with -1. */
DALUSDK_API int DALUSDK_DestroyHandle2(void *handle);
/* Feeds `count` received bytes to a caller-driven handle's parser; a
 * serial-port handle is refused with -1. */
DALUSDK_API int DALUSDK_PushRecvBytes(void *handle, const unsigned char *buffer, int count);
/* Stores the library version (20100); needs no handle. */
DALUSDK_API int DALUSDK_GetSdkVersion(unsigned int *version);

/* ---- Log lines -------------------------------------------------------- */

/* Sends the library's lines to `handler` instead of standard output; NULL
 * restores standard output. Returns 0. Process-wide; may be called while
 * other threads log: it returns once the lines already on their way are
 * delivered, however many threads keep logging (new lines wait for it).
 * When it returns, no line is being delivered to the previous handler any
 * more, so its userData may be freed. The handler must not call
 * DALUSDK_SetLogHandler itself. */
DALUSDK_API int DALUSDK_SetLogHandler(DALUSDK_LogHandler handler, void *userData);

/* ---- Device and work mode ------------------------------------------- */

/* Reads the device model (0xFFAA0400 four-colour, 0xFFAA0800 eight-colour). */
DALUSDK_API int DALUSDK_GetDeviceModel(void *handle, unsigned int *model);
/* Reads the device software version. */
DALUSDK_API int DALUSDK_GetDeviceSofewareVersion(void *handle, unsigned int *version);
/* Writes the global enable byte as passed. */
DALUSDK_API int DALUSDK_SetGlobalEnable(void *handle, unsigned char enable);
/* Reads the global enable as 0 or 1. */
DALUSDK_API int DALUSDK_GetGlobalEnable(void *handle, unsigned char *enable);
/* Writes the work mode: 0 standard, 1 TTL, 2 edge, 3 internal trigger, 4 sequence. */
DALUSDK_API int DALUSDK_SetWorkMode(void *handle, int mode);
/* Reads the work mode byte as the device sends it (0..255). */
DALUSDK_API int DALUSDK_GetWorkMode(void *handle, int *mode);

/* ---- LED channels (ledId 0..3) --------------------------------------- */

/* Switches a channel on (nonzero) or off (0). */
DALUSDK_API int DALUSDK_SetLedChecked(void *handle, int ledId, unsigned char checked);
/* Reads a channel's enable as 0 or 1. */
DALUSDK_API int DALUSDK_GetLedChecked(void *handle, int ledId, unsigned char *checked);
/* Sets a channel's brightness, 0..100 percent. */
DALUSDK_API int DALUSDK_SetLedBrightness(void *handle, int ledId, unsigned short value);
/* Reads a channel's brightness as the device sends it. */
DALUSDK_API int DALUSDK_GetLedBrightness(void *handle, int ledId, unsigned short *value);
/* Reads a channel's temperature (degrees) and over-temperature alarm (0/1) in one exchange. */
DALUSDK_API int DALUSDK_GetLedTempStatus(void *handle, int ledId, float *temp, unsigned char *status);
/* Reads a channel's temperature in degrees. */
DALUSDK_API int DALUSDK_GetLedTempValue(void *handle, int ledId, float *temp);
/* Reads a channel's over-temperature flag as 0 or 1. */
DALUSDK_API int DALUSDK_GetLedTempOver(void *handle, int ledId, unsigned char *status);

/* ---- TTL trigger mode ----------------------------------------------- */

/* Writes the TTL output enable byte as passed. */
DALUSDK_API int DALUSDK_ModeTtl_SetOutputEnable(void *handle, unsigned char enable);
/* Reads the TTL output enable as 0 or 1. */
DALUSDK_API int DALUSDK_ModeTtl_GetOutputEnable(void *handle, unsigned char *enable);
/* Writes the TTL delay, 0..5000 ms. */
DALUSDK_API int DALUSDK_ModeTtl_SetDelayTime(void *handle, unsigned short delayMs);
/* Reads the TTL delay in ms. */
DALUSDK_API int DALUSDK_ModeTtl_GetDelayTime(void *handle, unsigned short *delayMs);

/* ---- Edge trigger mode ---------------------------------------------- */

/* Writes the edge delay, 0..5000 ms. */
DALUSDK_API int DALUSDK_ModeEdge_SetDelayTime(void *handle, unsigned short delayMs);
/* Reads the edge delay in ms. */
DALUSDK_API int DALUSDK_ModeEdge_GetDelayTime(void *handle, unsigned short *delayMs);
/* Writes one channel's pulse width, 0..5000 ms. */
DALUSDK_API int DALUSDK_ModeEdge_SetPulseTime(void *handle, int ledId, unsigned short widthMs);
/* Reads one channel's pulse width in ms. */
DALUSDK_API int DALUSDK_ModeEdge_GetPulseTime(void *handle, int ledId, unsigned short *widthMs);

/* ---- Internal trigger mode ------------------------------------------ */

/* Writes the internal-trigger output enable byte as passed. */
DALUSDK_API int DALUSDK_ModeTrigger_SetOutputEnable(void *handle, unsigned char enable);
/* Reads the internal-trigger output enable as 0 or 1. */
DALUSDK_API int DALUSDK_ModeTrigger_GetOutputEnable(void *handle, unsigned char *enable);
/* Writes the internal-trigger delay, 0..5000 ms. */
DALUSDK_API int DALUSDK_ModeTrigger_SetDelayTime(void *handle, unsigned short delayMs);
/* Reads the internal-trigger delay in ms. */
DALUSDK_API int DALUSDK_ModeTrigger_GetDelayTime(void *handle, unsigned short *delayMs);
/* Writes the pulse high time, 0..5000 ms. */
DALUSDK_API int DALUSDK_ModeTrigger_SetHighTime(void *handle, unsigned short widthMs);
/* Reads the pulse high time in ms. */
DALUSDK_API int DALUSDK_ModeTrigger_GetHighTime(void *handle, unsigned short *widthMs);
/* Writes the low time between pulses, 0..5000 ms. */
DALUSDK_API int DALUSDK_ModeTrigger_SetLowTime(void *handle, unsigned short widthMs);
/* Reads the low time between pulses in ms. */
DALUSDK_API int DALUSDK_ModeTrigger_GetLowTime(void *handle, unsigned short *widthMs);
/* Writes the pulse count, 0..100. */
DALUSDK_API int DALUSDK_ModeTrigger_SetPulseNum(void *handle, unsigned char num);
/* Reads the pulse count as the device sends it. */
DALUSDK_API int DALUSDK_ModeTrigger_GetPulseNum(void *handle, unsigned char *num);
/* Fires one trigger. */
DALUSDK_API int DALUSDK_ModeTrigger_OnTrigger(void *handle);

#ifdef __cplusplus
}
#endif

#endif /* DALU_LIGHTKIT_H */
