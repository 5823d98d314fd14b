// One serial channel to the controller box: its handles, a small receive
// buffer that hands out bytes one at a time, and the last error seen.
#ifndef ZRQ_SERIAL_COMPORT_H
#define ZRQ_SERIAL_COMPORT_H

#include <stdint.h>

#include "platform/platform.h"

const uint32_t kComRxBufferSize = 32;
const uint32_t kComBaud = 38400;
const int32_t kComFirstPort = 1;
const int32_t kComLastPort = 8;

struct ComPort {
    uint32_t commErrors = 0;  // line error flags of the last clear; written only
    uint32_t count = 0;       // bytes the last device read put into rxBuffer
    uint32_t readPos = 0;     // next byte of rxBuffer to hand out
    int32_t portNumber = 0;   // COM port number, kept across close
    int32_t lastError = 0;    // system code of the last failure, -1 for a bad port number
    uint8_t rxBuffer[kComRxBufferSize] = {};
    PlatHandle portHandle = kPlatNoHandle;
    PlatHandle eventHandle = kPlatNoHandle;
    uint64_t stalledCall = 0;  // the export call in which a write stalled, or 0
    // Set when a reply was lost and the link could not be resynchronised;
    // until the port is opened again nothing more is sent and no wait starts.
    bool dead = false;
    // The dumb terminal's own channel: an emergency stop meant for the box's
    // link does not end a terminal session. Kept across reset and reopen.
    bool ignoresStop = false;
};

void ComReset(ComPort* port, int32_t portNumber);
void ComRemove(ComPort* port);
int32_t ComIsInstalled(const ComPort* port);
int32_t ComInstall(ComPort* port);
int32_t ComConfigure(ComPort* port);
void ComCheckError(ComPort* port, int ok);
void ComWrite(ComPort* port, const uint8_t* bytes, uint32_t n);
// The emergency stop's bytes, from any thread and without the export lock:
// written singly, also on a dead link or in a stopped call. Returns how many
// were written.
uint32_t ComWriteStop(ComPort* port, uint8_t value, uint32_t count);
// True when the running call must not wait for the box: the link is dead,
// the call was stopped, or the line is not this process's to use.
bool ComUnusable(const ComPort* port);
void ComPutByte(ComPort* port, int32_t b);
int32_t ComAvail(ComPort* port);
int32_t ComGetByte(ComPort* port);
void ComPurge(ComPort* port);
void ComBreak(ComPort* port);
void ComSetBaud(ComPort* port, uint32_t rate);
void ComSetFormat(ComPort* port, int parity, int byteSize, int stopBits);

#endif
