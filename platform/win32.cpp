// Win32 backend: the communications API, the performance counter and the
// asynchronous key state. Reads return at once; only a wait for a byte
// blocks, in the kernel, for at most one slice.
#include <windows.h>

#include <conio.h>
#include <io.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include "platform/net.h"
#include "platform/platform.h"

// A failed call of the network backend, with its reason where callers look.
static int NetFailed()
{
    SetLastError(static_cast<DWORD>(NetLastError()));
    return 0;
}

static const char* const ComPortNames[9]
    = {"?COM0", "COM1", "COM2", "COM3", "COM4", "COM5", "COM6", "COM7", "COM8"};

// The line-state record is read and written whole; its length field must say
// 28 bytes, as on every Windows, 32- or 64-bit.
static_assert(sizeof(DCB) == 28, "DCB layout of Windows");

// Windows itself refuses a second open of a COM port; Wine's serial emulation
// lets it through. So the library also claims the port by a named mutex while
// it holds it, and a second opener (the dumb terminal beside the link, another
// process) is refused under Wine too, with the error Windows gives.
struct PortClaim {
    HANDLE device = INVALID_HANDLE_VALUE;
    HANDLE claim = nullptr;
    // A byte that a wait took off the line; the next read hands it out first.
    bool held = false;
    uint8_t heldByte = 0;
    // The read time-out the port has now: 0 while setup's immediate one is
    // in place, MAXDWORD when a change failed, else the wait slice in ms.
    // Every COMMTIMEOUTS call costs Wine two server round trips, so the
    // wait's setting stays until a read has to give it up.
    DWORD sliceMs = 0;
};
static PortClaim s_claims[8];

static HANDLE ClaimPort(int32_t portNumber)
{
    char name[32];
    snprintf(name, sizeof name, "Local\\ZRQAPI.%s", ComPortNames[portNumber]);
    HANDLE claim = CreateMutexA(nullptr, FALSE, name);
    if (claim != nullptr && GetLastError() == ERROR_ALREADY_EXISTS) {
        CloseHandle(claim);
        return nullptr;
    }
    return claim;
}

static HANDLE AsHandle(PlatHandle handle)
{
    return reinterpret_cast<HANDLE>(handle);
}

static PortClaim* ClaimOf(HANDLE device)
{
    for (PortClaim& c : s_claims) {
        if (c.claim != nullptr && c.device == device)
            return &c;
    }
    return nullptr;
}

int PlatSerialOpen(int32_t portNumber, PlatHandle* device)
{
    if (portNumber < 1 || portNumber > 8) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return 0;
    }
    int net = NetSerialOpen(portNumber, device);
    if (net >= 0)
        return net ? 1 : NetFailed();
    // Share mode 0: the port is ours alone while it is open.
    HANDLE handle = CreateFileA(ComPortNames[portNumber], GENERIC_READ | GENERIC_WRITE, 0, nullptr,
        OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return 0;
    PortClaim* slot = nullptr;
    for (PortClaim& c : s_claims) {
        if (c.claim == nullptr) {
            slot = &c;
            break;
        }
    }
    HANDLE claim = slot != nullptr ? ClaimPort(portNumber) : nullptr;
    if (claim == nullptr) {
        CloseHandle(handle);
        SetLastError(ERROR_ACCESS_DENIED);
        return 0;
    }
    slot->device = handle;
    slot->claim = claim;
    *device = reinterpret_cast<PlatHandle>(handle);
    return 1;
}

void PlatSerialSetupQueues(PlatHandle device)
{
    if (NetOwns(device))
        return;
    SetupComm(AsHandle(device), 4096, 1024);
}

// The port's time-outs. Reads: interval MAXDWORD with total 0, 0 returns
// at once with what has arrived; total MAXDWORD, n returns at the first byte
// or after n ms (the wait's slice). Writes keep their stall bound either way.
static COMMTIMEOUTS PortTimeouts(DWORD readMultiplier, DWORD readConstant)
{
    COMMTIMEOUTS timeouts;
    timeouts.ReadIntervalTimeout = MAXDWORD;
    timeouts.ReadTotalTimeoutMultiplier = readMultiplier;
    timeouts.ReadTotalTimeoutConstant = readConstant;
    timeouts.WriteTotalTimeoutMultiplier = 1;
    timeouts.WriteTotalTimeoutConstant = kPlatWriteStallMicros / 1000u;
    return timeouts;
}

int PlatSerialConfigure(PlatHandle device)
{
    if (NetOwns(device))
        return 1;
    HANDLE handle = AsHandle(device);
    DCB dcb;
    memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(handle, &dcb))
        return 0;
    dcb.fBinary = 1;
    dcb.fParity = 0;
    dcb.fOutxCtsFlow = 0;
    dcb.fOutxDsrFlow = 0;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fDsrSensitivity = 0;
    dcb.fTXContinueOnXoff = 0;
    dcb.fOutX = 0;
    dcb.fInX = 0;
    dcb.fErrorChar = 0;
    dcb.fNull = 0;
    dcb.fRtsControl = RTS_CONTROL_DISABLE;
    dcb.fAbortOnError = 0;
    if (!SetCommState(handle, &dcb))
        return 0;
    // Reads return at once with whatever has arrived. A write may take a
    // millisecond a byte (four times what 38400 baud needs) plus the stall
    // bound: a wedged line fails the write instead of holding it for ever.
    COMMTIMEOUTS timeouts = PortTimeouts(0, 0);
    if (!SetCommTimeouts(handle, &timeouts))
        return 0;
    if (PortClaim* claim = ClaimOf(handle))
        claim->sliceMs = 0;
    SetCommMask(handle, EV_RXCHAR);
    return 1;
}

// The line state is written back only when it could be read.
int PlatSerialSetBaud(PlatHandle device, uint32_t baud)
{
    if (NetOwns(device))
        return NetSerialSetBaud(device, baud) ? 1 : NetFailed();
    DCB dcb;
    memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(AsHandle(device), &dcb))
        return 0;
    dcb.BaudRate = baud;
    dcb.DCBlength = sizeof dcb;
    return SetCommState(AsHandle(device), &dcb) ? 1 : 0;
}

int PlatSerialSetFormat(PlatHandle device, int parity, int byteSize, int stopBits)
{
    if (NetOwns(device))
        return NetSerialSetFormat(device, parity, byteSize, stopBits) ? 1 : NetFailed();
    DCB dcb;
    memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(AsHandle(device), &dcb))
        return 0;
    dcb.Parity = static_cast<BYTE>(parity);
    dcb.StopBits = static_cast<BYTE>(stopBits);
    dcb.ByteSize = static_cast<BYTE>(byteSize);
    dcb.DCBlength = sizeof dcb;
    return SetCommState(AsHandle(device), &dcb) ? 1 : 0;
}

// Under the wait's time-outs a read of the bytes already queued returns at
// once, so an ordinary read asks the queue first and reads only what is
// there, without putting the immediate time-outs back. A line that cannot be
// asked gets them back and an ordinary read, which reports its failure.
static void ReadQueuedOnly(PortClaim* claim, uint32_t* want)
{
    if (claim == nullptr || claim->sliceMs == 0)
        return;
    DWORD errors = 0;
    COMSTAT status;
    if (ClearCommError(claim->device, &errors, &status)) {
        if (status.cbInQue < *want)
            *want = status.cbInQue;
        return;
    }
    COMMTIMEOUTS immediate = PortTimeouts(0, 0);
    if (SetCommTimeouts(claim->device, &immediate))
        claim->sliceMs = 0;
}

int PlatSerialRead(PlatHandle device, uint8_t* buffer, uint32_t max, uint32_t* got)
{
    if (NetOwns(device))
        return NetSerialRead(device, buffer, max, got) ? 1 : NetFailed();
    PortClaim* claim = ClaimOf(AsHandle(device));
    uint32_t first = 0;
    if (claim != nullptr && claim->held && max > 0) {
        buffer[0] = claim->heldByte;
        claim->held = false;
        first = 1;
    }
    uint32_t want = max - first;
    if (want > 0)
        ReadQueuedOnly(claim, &want);
    DWORD n = 0;
    BOOL ok = want == 0 || ReadFile(AsHandle(device), buffer + first, want, &n, nullptr);
    if (!ok)
        n = 0;
    *got = first + n;
    // The byte the wait held is handed out even when the read behind it
    // failed; the failure shows on the next read.
    return ok || first != 0 ? 1 : 0;
}

const int32_t kPlatErrorLineStalled = ERROR_COUNTER_TIMEOUT;

int PlatSerialWrite(PlatHandle device, const uint8_t* bytes, uint32_t n, uint32_t* written)
{
    if (NetOwns(device))
        return NetSerialWrite(device, bytes, n, written) ? 1 : NetFailed();
    DWORD done = 0;
    BOOL ok = WriteFile(AsHandle(device), bytes, n, &done, nullptr);
    *written = done;
    if (!ok)
        return 0;
    // A write time-out completes the call with fewer bytes than asked.
    if (done < n) {
        SetLastError(ERROR_COUNTER_TIMEOUT);
        return 0;
    }
    return 1;
}

void PlatSerialBreak(PlatHandle device, int on)
{
    if (NetOwns(device))
        return NetSerialBreak(device, on);
    if (on)
        SetCommBreak(AsHandle(device));
    else
        ClearCommBreak(AsHandle(device));
}

void PlatSerialClearErrors(PlatHandle device, uint32_t* flags)
{
    *flags = 0;
    if (NetOwns(device))
        return;
    DWORD errors = 0;
    ClearCommError(AsHandle(device), &errors, nullptr);
    *flags = errors;
}

void PlatSerialClose(PlatHandle device)
{
    if (NetOwns(device))
        return NetSerialClose(device);
    HANDLE handle = AsHandle(device);
    // A held byte goes with the port, as the driver's queue does.
    for (PortClaim& c : s_claims) {
        if (c.claim != nullptr && c.device == handle) {
            CloseHandle(c.claim);
            c = PortClaim();
        }
    }
    CloseHandle(handle);
}

#ifdef ZRQ_WIN_BUSY_POLL
// The reference design's wait, kept for the benchmark: no sleep at all, the
// caller polls the receive buffer until its deadline.
int PlatSerialWaitReadable(PlatHandle, uint32_t)
{
    return 0;
}
#else
static void SleepSlice(uint32_t micros)
{
    Sleep((micros + 999u) / 1000u);
}

// Sleeps in the kernel until a byte arrives or the slice ends: a one-byte
// read with a total time-out of one slice, the byte it takes held for the
// next read. The time-outs stay for the next slice; ordinary reads still
// never wait, as they read only what is queued.
int PlatSerialWaitReadable(PlatHandle device, uint32_t maxMicros)
{
    if (NetOwns(device))
        return NetSerialWaitReadable(device, maxMicros);
    HANDLE handle = AsHandle(device);
    PortClaim* claim = device == kPlatNoHandle ? nullptr : ClaimOf(handle);
    if (claim == nullptr) {
        SleepSlice(maxMicros);
        return 0;
    }
    if (claim->held)
        return 1;
    // A hung-up line makes a time-limited read return at once, for ever;
    // ClearCommError failing is the sign, and the slice is slept instead.
    DWORD errors = 0;
    COMSTAT status;
    if (!ClearCommError(handle, &errors, &status)) {
        SleepSlice(maxMicros);
        return 0;
    }
    if (status.cbInQue > 0)
        return 1;
    DWORD sliceMs = (maxMicros + 999u) / 1000u;
    if (sliceMs == 0)
        sliceMs = 1;
    if (claim->sliceMs != sliceMs) {
        COMMTIMEOUTS waiting = PortTimeouts(MAXDWORD, sliceMs);
        if (!SetCommTimeouts(handle, &waiting)) {
            // What the port holds now is not known; reads take only what is
            // queued, which returns at once under either setting.
            claim->sliceMs = MAXDWORD;
            SleepSlice(maxMicros);
            return 0;
        }
        claim->sliceMs = sliceMs;
    }
    LARGE_INTEGER start, end, frequency;
    QueryPerformanceCounter(&start);
    uint8_t byte = 0;
    DWORD n = 0;
    BOOL ok = ReadFile(handle, &byte, 1, &n, nullptr);
    QueryPerformanceCounter(&end);
    if (ok && n == 1) {
        claim->heldByte = byte;
        claim->held = true;
        return 1;
    }
    // A read that gave nothing long before the slice ended did not wait;
    // sleep the rest so that no line state turns this into a spin.
    if (QueryPerformanceFrequency(&frequency) && frequency.QuadPart > 0) {
        uint64_t spent = static_cast<uint64_t>(end.QuadPart - start.QuadPart) * 1000000u
            / static_cast<uint64_t>(frequency.QuadPart);
        if (spent * 2 < maxMicros)
            SleepSlice(maxMicros - static_cast<uint32_t>(spent));
    }
    return 0;
}
#endif

// Made when the library loads, before any export can run; never deleted, as
// the process may still call in while it exits.
struct ExportLock {
    CRITICAL_SECTION section;
    ExportLock() { InitializeCriticalSection(&section); }
};
static ExportLock s_exportLock;

void PlatLockEnter()
{
    EnterCriticalSection(&s_exportLock.section);
}

void PlatLockLeave()
{
    LeaveCriticalSection(&s_exportLock.section);
}

static ExportLock s_lineLock;

void PlatLineEnter()
{
    EnterCriticalSection(&s_lineLock.section);
}

void PlatLineLeave()
{
    LeaveCriticalSection(&s_lineLock.section);
}

int PlatEventCreate(PlatHandle* event)
{
    HANDLE handle = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (handle == nullptr)
        return 0;
    *event = reinterpret_cast<PlatHandle>(handle);
    return 1;
}

void PlatEventClose(PlatHandle event)
{
    CloseHandle(AsHandle(event));
}

int32_t PlatLastError()
{
    return static_cast<int32_t>(GetLastError());
}

size_t PlatErrorMessage(int32_t code, char* buffer, size_t size)
{
    if (size == 0)
        return 0;
    buffer[0] = '\0';
    if (size_t detail = NetErrorMessage(code, buffer, size))
        return detail;
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
        static_cast<DWORD>(code), MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), buffer,
        static_cast<DWORD>(size), nullptr);
    if (n == 0) {
        buffer[0] = '\0';
        return 0;
    }
    // The system's texts end in CR LF; the caller prints its own line ends.
    while (n > 0 && (buffer[n - 1] == '\n' || buffer[n - 1] == '\r'))
        buffer[--n] = '\0';
    return n;
}

// Today's counters run at 10 MHz or more, where a Deadline (2^31 ticks) would
// span only 214 s. Dividing them down to at most 4,294,967 Hz keeps minutes of
// span and the old 32-bit conversions exact; the divisor is fixed per process.
static const uint64_t kMaxCounterFrequency = 4294967u;

static uint64_t CounterDivisor(uint64_t rawFrequency)
{
    return rawFrequency <= kMaxCounterFrequency
        ? 1
        : (rawFrequency + kMaxCounterFrequency - 1) / kMaxCounterFrequency;
}

int PlatCounterFrequency(uint64_t* ticksPerSecond)
{
    LARGE_INTEGER frequency;
    if (!QueryPerformanceFrequency(&frequency) || frequency.QuadPart <= 0)
        return 0;
    uint64_t raw = static_cast<uint64_t>(frequency.QuadPart);
    *ticksPerSecond = raw / CounterDivisor(raw);
    return 1;
}

uint64_t PlatCounterNow()
{
    LARGE_INTEGER frequency;
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    uint64_t divisor = 1;
    if (QueryPerformanceFrequency(&frequency) && frequency.QuadPart > 0)
        divisor = CounterDivisor(static_cast<uint64_t>(frequency.QuadPart));
    return static_cast<uint64_t>(now.QuadPart) / divisor;
}

void PlatSleepMicros(uint32_t micros)
{
    Sleep(micros / 1000u);
}

uint32_t PlatSleepSlackMs()
{
    return 55;
}

int16_t PlatKeyState(PlatKey key)
{
    return GetAsyncKeyState(key == kPlatKeyAlt ? VK_MENU : VK_CONTROL);
}

void PlatConsoleBegin() { }

void PlatConsoleEnd() { }

int PlatConsoleKeyHit()
{
    return _kbhit();
}

int PlatConsoleGetKey()
{
    return _getch();
}

void PlatConsolePutChar(int c)
{
    _putch(c);
}

const char* PlatRoot()
{
    return "c:";
}

int PlatMapPath(const char* path, char* mapped, size_t size)
{
    size_t n = strlen(path);
    if (n + 1 > size)
        return 0;
    memcpy(mapped, path, n + 1);
    return 1;
}

FILE* PlatOpenRegularFile(const char* mapped)
{
    // A name that reaches a device or a pipe is no file of ours.
    FILE* file = fopen(mapped, "rb");
    struct _stat st;
    if (file != nullptr && (_fstat(_fileno(file), &st) != 0 || (st.st_mode & _S_IFREG) == 0)) {
        fclose(file);
        return nullptr;
    }
    return file;
}

FILE* PlatCreateTraceFile(const char* path, int32_t* error)
{
    FILE* file = fopen(path, "wb");
    if (file == nullptr) {
        *error = static_cast<int32_t>(GetLastError());
        return nullptr;
    }
    // A pipe or a device (CON, COM1) is no file to trace into.
    if (GetFileType(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)))) != FILE_TYPE_DISK) {
        fclose(file);
        *error = 0;
        return nullptr;
    }
    return file;
}

int PlatSerialOwned(PlatHandle device)
{
    if (NetOwns(device))
        return NetSerialOwned(device);
    return 1;
}

// Unloading the DLL (FreeLibrary) with a port open closes it, so that the
// port is free again for the next opener, in this process or another. At
// process exit (reserved is set) the other threads are gone and the system
// closes the handles itself: nothing is touched then.
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved)
{
    if (reason == DLL_PROCESS_DETACH && reserved == nullptr)
        for (PortClaim& c : s_claims)
            if (c.claim != nullptr) {
                CloseHandle(c.device);
                CloseHandle(c.claim);
                c = PortClaim();
            }
    return TRUE;
}
