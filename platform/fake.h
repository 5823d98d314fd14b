// Control of the fake backend, for tests: a virtual counter, scripted or
// simulated serial lines, abort keys and a console that tests can drive.
#ifndef ZRQ_PLATFORM_FAKE_H
#define ZRQ_PLATFORM_FAKE_H

#include <stdint.h>

#include <string>
#include <vector>

#include "platform/platform.h"

// The far end of the line. Times are virtual microseconds.
struct FakePeer {
    void* context = nullptr;
    // Bytes the library wrote.
    void (*receive)(void* context, const uint8_t* bytes, uint32_t n, uint64_t nowMicros) = nullptr;
    // Bytes due at or before nowMicros, at most max; returns how many.
    uint32_t (*transmit)(void* context, uint64_t nowMicros, uint8_t* out, uint32_t max) = nullptr;
    // Earliest time at which a byte will be due; 0 when none is scheduled.
    int (*nextDue)(void* context, uint64_t* dueMicros) = nullptr;
    void (*lineBreak)(void* context, int on, uint64_t nowMicros) = nullptr;
};

// Error codes the fake reports (the Win32 values, so texts can be looked up).
const int32_t kFakeErrorNoDevice = 2;
const int32_t kFakeErrorBusy = 5;
const int32_t kFakeErrorIo = 1117;
const int32_t kFakeErrorStalled = 1121;  // a write that the line did not take in time

void FakeReset();

// Virtual time. Every counter reading advances it by the read cost, so a
// polling loop makes progress; sleeps and waits jump it forward.
void FakeSetCounterFrequency(uint64_t hertz);
void FakeSetCounterMissing(bool missing);
void FakeSetClockMicros(uint64_t micros);
uint64_t FakeClockMicros();
void FakeAdvanceMicros(uint64_t micros);
void FakeSetReadCostNanos(uint64_t nanos);
uint64_t FakeCounterReads();

// Serial lines: which COM numbers exist, the far end, scripted replies.
void FakeSetPortExists(int32_t portNumber, bool exists);
bool FakePortOpen(int32_t portNumber);
void FakeAttachPeer(const FakePeer& peer);
void FakeDetachPeer();
void FakeQueueRx(const std::vector<uint8_t>& bytes, uint64_t atMicros);
void FakeQueueRxNow(const std::vector<uint8_t>& bytes);
size_t FakeRxPending();
const std::vector<uint8_t>& FakeSent();
std::string FakeSentHex();
void FakeClearSent();
int FakeBreaksSent();
void FakeFailNextWrites(int count);
void FakeFailConfigure(bool fail);
// The far end goes away: reads fail as a hung-up line does.
void FakeHangUp(bool hungUp);
// The line stops taking bytes: each write costs the stall bound in virtual
// time and fails.
void FakeStallLine(bool stalled);

// The export lock: how deep it is held now, and how many times a thread that
// did not hold it has taken it since the process started.
int FakeLockDepth();
uint64_t FakeLockEntries();

// Abort keys.
void FakeHoldKeys(bool ctrl, bool alt);
// Called at the start of every wait for the line, on the waiting thread;
// nullptr for none. Lets a test act (start a thread, say) while a call waits.
void FakeSetWaitHook(void (*hook)());
// Bytes the line has taken since the last reset; safe to read from any thread.
uint64_t FakeBytesTaken();

// Console of the dumb terminal.
void FakeConsoleType(const std::string& keys);
std::string FakeConsoleOutput();

std::string HexBytes(const std::vector<uint8_t>& bytes);

#endif
