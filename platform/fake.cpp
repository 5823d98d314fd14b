// Fake backend for tests: virtual time and a line that tests script or that
// an in-process box answers. Nothing here touches the operating system.
#include "platform/fake.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <deque>
#include <mutex>

namespace {

struct ScheduledByte {
    uint64_t dueMicros;
    uint8_t value;
};

struct FakeState {
    uint64_t nowNanos = 1000000000ull;  // away from zero, so nothing depends on it
    uint64_t frequency = 1000000;
    bool counterMissing = false;
    uint64_t readCostNanos = 1000;
    uint64_t counterReads = 0;
    bool portExists[9] = {false, true, true, true, true, true, true, true, true};
    bool portOpen[9] = {};
    PlatHandle nextHandle = 100;
    PlatHandle openDevice[9] = {-1, -1, -1, -1, -1, -1, -1, -1, -1};
    FakePeer peer;
    bool peerAttached = false;
    std::deque<ScheduledByte> rx;
    std::vector<uint8_t> sent;
    int breaks = 0;
    int failWrites = 0;
    bool failConfigure = false;
    bool hungUp = false;
    bool stalled = false;
    bool ctrl = false;
    bool alt = false;
    int32_t lastError = 0;
    std::string consoleInput;
    std::string consoleOutput;
};

FakeState s;

// Real, so that tests may drive the library from several threads; kept out
// of FakeState, which FakeReset replaces while no call runs.
std::recursive_mutex s_exportLock;
std::mutex s_lineLock;
void (*s_waitHook)() = nullptr;
std::atomic<uint64_t> s_bytesTaken {0};
int s_lockDepth = 0;
uint64_t s_lockEntries = 0;

uint64_t NowMicros()
{
    return s.nowNanos / 1000u;
}

int Fail(int32_t error)
{
    s.lastError = error;
    return 0;
}

int PortOf(PlatHandle device)
{
    for (int i = 1; i <= 8; ++i)
        if (s.openDevice[i] == device)
            return i;
    return 0;
}

uint64_t NextDueMicros(bool* any)
{
    *any = false;
    uint64_t due = UINT64_MAX;
    if (!s.rx.empty()) {
        *any = true;
        due = s.rx.front().dueMicros;
    }
    uint64_t peerDue = 0;
    if (s.peerAttached && s.peer.nextDue != nullptr && s.peer.nextDue(s.peer.context, &peerDue)) {
        *any = true;
        if (peerDue < due)
            due = peerDue;
    }
    return due;
}

}  // namespace

void FakeReset()
{
    s = FakeState();
    s_waitHook = nullptr;
    s_bytesTaken = 0;
}

void FakeSetCounterFrequency(uint64_t hertz)
{
    s.frequency = hertz;
}

void FakeSetCounterMissing(bool missing)
{
    s.counterMissing = missing;
}

void FakeSetClockMicros(uint64_t micros)
{
    s.nowNanos = micros * 1000u;
}

uint64_t FakeClockMicros()
{
    return NowMicros();
}

void FakeAdvanceMicros(uint64_t micros)
{
    s.nowNanos += micros * 1000u;
}

void FakeSetReadCostNanos(uint64_t nanos)
{
    s.readCostNanos = nanos;
}

uint64_t FakeCounterReads()
{
    return s.counterReads;
}

void FakeSetPortExists(int32_t portNumber, bool exists)
{
    if (portNumber >= 1 && portNumber <= 8)
        s.portExists[portNumber] = exists;
}

bool FakePortOpen(int32_t portNumber)
{
    return portNumber >= 1 && portNumber <= 8 && s.portOpen[portNumber];
}

void FakeAttachPeer(const FakePeer& peer)
{
    s.peer = peer;
    s.peerAttached = true;
}

void FakeDetachPeer()
{
    s.peer = FakePeer();
    s.peerAttached = false;
}

void FakeQueueRx(const std::vector<uint8_t>& bytes, uint64_t atMicros)
{
    for (uint8_t b : bytes)
        s.rx.push_back({atMicros, b});
}

void FakeQueueRxNow(const std::vector<uint8_t>& bytes)
{
    FakeQueueRx(bytes, NowMicros());
}

size_t FakeRxPending()
{
    return s.rx.size();
}

const std::vector<uint8_t>& FakeSent()
{
    return s.sent;
}

std::string HexBytes(const std::vector<uint8_t>& bytes)
{
    std::string text;
    char hex[4];
    for (size_t i = 0; i < bytes.size(); ++i) {
        snprintf(hex, sizeof hex, i ? " %02X" : "%02X", bytes[i]);
        text += hex;
    }
    return text;
}

std::string FakeSentHex()
{
    return HexBytes(s.sent);
}

void FakeClearSent()
{
    s.sent.clear();
}

int FakeBreaksSent()
{
    return s.breaks;
}

void FakeFailNextWrites(int count)
{
    s.failWrites = count;
}

void FakeFailConfigure(bool fail)
{
    s.failConfigure = fail;
}

void FakeHangUp(bool hungUp)
{
    s.hungUp = hungUp;
}

void FakeStallLine(bool stalled)
{
    s.stalled = stalled;
}

int FakeLockDepth()
{
    return s_lockDepth;
}

uint64_t FakeLockEntries()
{
    return s_lockEntries;
}

void FakeHoldKeys(bool ctrl, bool alt)
{
    s.ctrl = ctrl;
    s.alt = alt;
}

void FakeSetWaitHook(void (*hook)())
{
    s_waitHook = hook;
}

uint64_t FakeBytesTaken()
{
    return s_bytesTaken.load();
}

void FakeConsoleType(const std::string& keys)
{
    s.consoleInput += keys;
}

std::string FakeConsoleOutput()
{
    return s.consoleOutput;
}

// ---- the platform interface ----

const int32_t kPlatErrorLineStalled = kFakeErrorStalled;

void PlatLockEnter()
{
    s_exportLock.lock();
    if (s_lockDepth++ == 0)
        ++s_lockEntries;
}

void PlatLockLeave()
{
    --s_lockDepth;
    s_exportLock.unlock();
}

void PlatLineEnter()
{
    s_lineLock.lock();
}

void PlatLineLeave()
{
    s_lineLock.unlock();
}

int PlatSerialOpen(int32_t portNumber, PlatHandle* device)
{
    if (portNumber < 1 || portNumber > 8 || !s.portExists[portNumber])
        return Fail(kFakeErrorNoDevice);
    if (s.portOpen[portNumber])
        return Fail(kFakeErrorBusy);
    s.portOpen[portNumber] = true;
    *device = s.nextHandle++;
    s.openDevice[portNumber] = *device;
    return 1;
}

int PlatSerialConfigure(PlatHandle)
{
    return s.failConfigure ? Fail(kFakeErrorIo) : 1;
}

void PlatSerialSetupQueues(PlatHandle) { }

int PlatSerialSetBaud(PlatHandle, uint32_t)
{
    return 1;
}

int PlatSerialSetFormat(PlatHandle, int, int, int)
{
    return 1;
}

int PlatSerialRead(PlatHandle device, uint8_t* buffer, uint32_t max, uint32_t* got)
{
    *got = 0;
    if (PortOf(device) == 0)
        return Fail(6);  // invalid handle
    if (s.hungUp)
        return Fail(kFakeErrorIo);
    uint64_t now = NowMicros();
    while (*got < max && !s.rx.empty() && s.rx.front().dueMicros <= now) {
        buffer[(*got)++] = s.rx.front().value;
        s.rx.pop_front();
    }
    if (*got < max && s.peerAttached && s.peer.transmit != nullptr)
        *got += s.peer.transmit(s.peer.context, now, buffer + *got, max - *got);
    return 1;
}

int PlatSerialWrite(PlatHandle device, const uint8_t* bytes, uint32_t n, uint32_t* written)
{
    *written = 0;
    if (PortOf(device) == 0)
        return Fail(6);
    if (s.failWrites > 0) {
        --s.failWrites;
        return Fail(kFakeErrorIo);
    }
    if (s.hungUp)
        return Fail(kFakeErrorIo);
    if (s.stalled) {
        // The line takes nothing: the write gives up after the stall bound.
        s.nowNanos += static_cast<uint64_t>(kPlatWriteStallMicros) * 1000u;
        return Fail(kPlatErrorLineStalled);
    }
    s.sent.insert(s.sent.end(), bytes, bytes + n);
    s_bytesTaken += n;
    if (s.peerAttached && s.peer.receive != nullptr)
        s.peer.receive(s.peer.context, bytes, n, NowMicros());
    *written = n;
    return 1;
}

void PlatSerialBreak(PlatHandle, int on)
{
    if (on)
        ++s.breaks;
    if (s.peerAttached && s.peer.lineBreak != nullptr)
        s.peer.lineBreak(s.peer.context, on, NowMicros());
}

void PlatSerialClearErrors(PlatHandle, uint32_t* flags)
{
    *flags = 0;
}

void PlatSerialClose(PlatHandle device)
{
    int port = PortOf(device);
    if (port != 0) {
        s.portOpen[port] = false;
        s.openDevice[port] = -1;
    }
}

int PlatSerialOwned(PlatHandle)
{
    return 1;
}

// Jumps virtual time to the next byte due, or by the whole slice.
int PlatSerialWaitReadable(PlatHandle, uint32_t maxMicros)
{
    if (s_waitHook != nullptr)
        s_waitHook();
    uint64_t now = NowMicros();
    uint64_t until = now + maxMicros;
    bool any = false;
    uint64_t due = NextDueMicros(&any);
    if (any && due <= now)
        return 1;
    if (any && due < until)
        until = due;
    s.nowNanos = until * 1000u;
    return any && due <= until;
}

int PlatEventCreate(PlatHandle* event)
{
    *event = s.nextHandle++;
    return 1;
}

void PlatEventClose(PlatHandle) { }

int32_t PlatLastError()
{
    return s.lastError;
}

size_t PlatErrorMessage(int32_t code, char* buffer, size_t size)
{
    const char* text = nullptr;
    if (code == kFakeErrorNoDevice)
        text = "The system cannot find the file specified.";
    else if (code == kFakeErrorBusy)
        text = "Access is denied.";
    else if (code == kFakeErrorIo)
        text = "The request could not be performed because of an I/O device error.";
    else if (code == kFakeErrorStalled)
        text = "A serial I/O operation completed because the time-out period expired.";
    if (text == nullptr || size == 0) {
        if (size)
            buffer[0] = '\0';
        return 0;
    }
    snprintf(buffer, size, "%s", text);
    return strlen(buffer);
}

int PlatCounterFrequency(uint64_t* ticksPerSecond)
{
    if (s.counterMissing)
        return 0;
    *ticksPerSecond = s.frequency;
    return 1;
}

uint64_t PlatCounterNow()
{
    ++s.counterReads;
    s.nowNanos += s.readCostNanos;
    // Split at whole seconds: nanoseconds times a 10 MHz rate overflows 64 bits.
    uint64_t seconds = s.nowNanos / 1000000000u;
    uint64_t nanos = s.nowNanos % 1000000000u;
    return seconds * s.frequency + nanos * s.frequency / 1000000000u;
}

void PlatSleepMicros(uint32_t micros)
{
    s.nowNanos += static_cast<uint64_t>(micros) * 1000u;
}

uint32_t PlatSleepSlackMs()
{
    return 0;
}

int16_t PlatKeyState(PlatKey key)
{
    bool down = key == kPlatKeyAlt ? s.alt : s.ctrl;
    return down ? static_cast<int16_t>(0x8001) : 1;
}

void PlatConsoleBegin() { }

void PlatConsoleEnd() { }

int PlatConsoleKeyHit()
{
    return !s.consoleInput.empty();
}

int PlatConsoleGetKey()
{
    if (s.consoleInput.empty())
        return 1;
    unsigned char c = static_cast<unsigned char>(s.consoleInput[0]);
    s.consoleInput.erase(0, 1);
    return c;
}

void PlatConsolePutChar(int c)
{
    s.consoleOutput += static_cast<char>(c);
}
