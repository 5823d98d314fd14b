// The seam between the core and the operating system. The core (serial/,
// protocol/, machine/, terminal/) includes this header and never an OS header;
// the build links exactly one backend: posix.cpp, win32.cpp or fake.cpp.
#ifndef ZRQ_PLATFORM_PLATFORM_H
#define ZRQ_PLATFORM_PLATFORM_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

// An open device or event. -1 is the unset value, as INVALID_HANDLE_VALUE is.
typedef intptr_t PlatHandle;
const PlatHandle kPlatNoHandle = -1;

// Results of the calls below follow the Win32 habit: non-zero is success,
// zero is failure with the reason left for PlatLastError().

// Serial device. PlatSerialOpen opens COM1..COM8 exclusively for reading and
// writing without waiting for carrier; the caller has already checked the number.
int PlatSerialOpen(int32_t portNumber, PlatHandle* device);
// Raw line, DTR raised, RTS low, no flow control, reads that return at once.
int PlatSerialConfigure(PlatHandle device);
// Queue sizes 4096 in, 1024 out where the system has such a notion.
void PlatSerialSetupQueues(PlatHandle device);
// Baud rate and frame; parity 0 = none, stopBits 0 = one stop bit.
int PlatSerialSetBaud(PlatHandle device, uint32_t baud);
int PlatSerialSetFormat(PlatHandle device, int parity, int byteSize, int stopBits);
// Reads what has already arrived, at most max bytes; never waits.
int PlatSerialRead(PlatHandle device, uint8_t* buffer, uint32_t max, uint32_t* got);
// Writes n bytes synchronously. A line that takes nothing for
// kPlatWriteStallMicros fails the write with kPlatErrorLineStalled, so a
// stalled line costs a bounded time instead of a hang.
int PlatSerialWrite(PlatHandle device, const uint8_t* bytes, uint32_t n, uint32_t* written);
const uint32_t kPlatWriteStallMicros = 500000;
extern const int32_t kPlatErrorLineStalled;
void PlatSerialBreak(PlatHandle device, int on);
// Clears the line error state and reports its flags.
void PlatSerialClearErrors(PlatHandle device, uint32_t* flags);
void PlatSerialClose(PlatHandle device);
// 1 while this process may use the device: 0 in a child forked after the
// open (the line stays the parent's) and once the process has begun to exit
// or unload the library (the line has been given back).
int PlatSerialOwned(PlatHandle device);
// Blocks until a byte may be read, the line fails, or maxMicros pass, and
// never returns early over and over on a failed line. The Windows backend
// built with ZRQ_WIN_BUSY_POLL (a benchmark's reference) returns at once.
// Returns 1 when something is ready, 0 otherwise.
int PlatSerialWaitReadable(PlatHandle device, uint32_t maxMicros);

// The process-wide recursive lock that every export holds while it runs, so
// that callers on several threads take turns.
void PlatLockEnter();
void PlatLockLeave();
// A short, non-recursive lock held only around each device write, read and
// open or close, never across a wait: the emergency stop takes it from any
// thread without the export lock, so its bytes never land inside a frame
// and never wait behind a call that waits for a reply.
void PlatLineEnter();
void PlatLineLeave();

// The token that stands for the open state beside the device handle.
int PlatEventCreate(PlatHandle* event);
void PlatEventClose(PlatHandle event);

// The system's code for the last failed call, and its message text.
int32_t PlatLastError();
// Writes the system's text for code into buffer (NUL-terminated); returns its
// length, or 0 when the system has no text for the code.
size_t PlatErrorMessage(int32_t code, char* buffer, size_t size);

// High-resolution counter.
int PlatCounterFrequency(uint64_t* ticksPerSecond);
uint64_t PlatCounterNow();
void PlatSleepMicros(uint32_t micros);
// How close to a deadline a wait stops sleeping and polls the counter instead:
// the system sleep's own granularity.
uint32_t PlatSleepSlackMs();

// Keyboard state in GetAsyncKeyState's form: the sign bit of the 16-bit
// result is set while the key is down.
enum PlatKey { kPlatKeyAlt, kPlatKeyCtrl };
int16_t PlatKeyState(PlatKey key);

// Console of the dumb terminal. Begin puts it in unechoed single-key mode,
// End restores it; both are safe to call when standard input is no terminal.
void PlatConsoleBegin();
void PlatConsoleEnd();
int PlatConsoleKeyHit();
int PlatConsoleGetKey();
void PlatConsolePutChar(int c);

// File paths: maps the system's fixed drive-letter paths ("c:\qorin\...")
// onto the local file system. Returns 0 when the mapped path does not fit.
int PlatMapPath(const char* path, char* mapped, size_t size);
// The directory that stands for drive c: where there are no drives.
const char* PlatRoot();
// 1 when the system opens a file of this name (no folder) as a device in any
// folder, as Windows does with COM1.mpm or CON.txt; else 0.
int PlatFileNameIsDevice(const char* name);
// Opens a mapped path for binary reading when it names a regular file, without
// ever waiting: a FIFO or a device reads as a file that cannot be opened.
FILE* PlatOpenRegularFile(const char* mapped);
// Creates (or empties) a regular file for the wire trace, without ever
// waiting: a FIFO, a terminal or a device is refused, as a write to it could
// block the library or fail unseen. On failure returns nullptr with *error
// the system's code, or 0 when the name is no regular file.
FILE* PlatCreateTraceFile(const char* path, int32_t* error);
// Room for a mapped path: the longest path the system can open.
const size_t kPlatMaxPath = 4096;

#endif
