// COMn over a network serial server: rfc2217://HOST:PORT (Telnet with the
// COM-PORT option) or tcp://HOST:PORT (the line's bytes as they are). The
// POSIX and Windows backends hand a COM number to NetSerialOpen first and
// every call on a handle it returned to the calls below; failed calls leave
// their reason in NetLastError(), the system's code (errno or WSA/Win32).
#ifndef ZRQ_PLATFORM_NET_H
#define ZRQ_PLATFORM_NET_H

#include <stddef.h>
#include <stdint.h>

#include "platform/platform.h"

// The URL that maps COMn, from ZRQAPI_COMn, else (POSIX) from the first line
// of the regular file $ZRQAPI_ROOT/dev/comN. Returns 0 when COMn is not
// mapped; *source names where the URL came from.
int NetMapping(int32_t portNumber, char* url, size_t size, const char** source);

// -1: COMn is not mapped, the caller opens its own device. 1: open, the port
// set to 38400 8N1 without flow control. 0: failed.
int NetSerialOpen(int32_t portNumber, PlatHandle* device);
int NetOwns(PlatHandle device);
// 0 once the connection is gone, so that the call waiting on it fails at
// once and the link stays failed until reopened; 0 also in a child forked
// after the open, as the connection stays the parent's.
int NetSerialOwned(PlatHandle device);
int NetSerialRead(PlatHandle device, uint8_t* buffer, uint32_t max, uint32_t* got);
int NetSerialWrite(PlatHandle device, const uint8_t* bytes, uint32_t n, uint32_t* written);
int NetSerialSetBaud(PlatHandle device, uint32_t baud);
int NetSerialSetFormat(PlatHandle device, int parity, int byteSize, int stopBits);
void NetSerialBreak(PlatHandle device, int on);
void NetSerialClose(PlatHandle device);
int NetSerialWaitReadable(PlatHandle device, uint32_t maxMicros);
int32_t NetLastError();
// The text of the last open failure (its reason, host and port among it)
// when code is its code; else 0.
size_t NetErrorMessage(int32_t code, char* buffer, size_t size);

#endif
