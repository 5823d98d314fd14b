#include "serial/comport.h"

#include "serial/entry.h"
#include "serial/wiretrace.h"

void ComReset(ComPort* port, int32_t portNumber)
{
    port->dead = false;
    port->portHandle = kPlatNoHandle;
    port->eventHandle = kPlatNoHandle;
    port->count = 0;
    port->readPos = 0;
    port->portNumber = portNumber;
    port->stalledCall = 0;
}

void ComRemove(ComPort* port)
{
    // Under the line lock: a stop on another thread never writes to a
    // descriptor being closed (or already reused).
    PlatLineEnter();
    if (port->portHandle != kPlatNoHandle)
        WireTrace(kWireClose, port->portNumber, nullptr, 0);
    if (port->eventHandle != kPlatNoHandle)
        PlatEventClose(port->eventHandle);
    if (port->portHandle != kPlatNoHandle)
        PlatSerialClose(port->portHandle);
    ComReset(port, port->portNumber);
    PlatLineLeave();
}

int32_t ComIsInstalled(const ComPort* port)
{
    return port->portHandle != kPlatNoHandle && port->eventHandle != kPlatNoHandle;
}

int32_t ComInstall(ComPort* port)
{
    if (port->portNumber < kComFirstPort || port->portNumber > kComLastPort) {
        port->lastError = -1;
        return 1;
    }
    ComRemove(port);
    PlatHandle device;
    PlatLineEnter();
    int opened = PlatSerialOpen(port->portNumber, &device);
    if (opened)
        port->portHandle = device;
    PlatLineLeave();
    if (!opened) {
        port->lastError = PlatLastError();
        return 1;
    }
    PlatHandle event;
    int eventOk = PlatEventCreate(&event);
    if (eventOk)
        port->eventHandle = event;
    if (!eventOk || ComConfigure(port) != 0) {
        port->lastError = PlatLastError();
        ComRemove(port);
        return 1;
    }
    ComSetBaud(port, kComBaud);
    ComSetFormat(port, 0, 8, 0);
    PlatLineEnter();
    WireTrace(kWireOpen, port->portNumber, nullptr, 0);
    PlatLineLeave();
    return 0;
}

int32_t ComConfigure(ComPort* port)
{
    ComCheckError(port, 0);
    PlatSerialSetupQueues(port->portHandle);
    if (!PlatSerialConfigure(port->portHandle)) {
        port->lastError = PlatLastError();
        return 1;
    }
    return 0;
}

void ComCheckError(ComPort* port, int ok)
{
    if (ok)
        return;
    port->lastError = PlatLastError();
    if (port->portHandle != kPlatNoHandle)
        PlatSerialClearErrors(port->portHandle, &port->commErrors);
}

bool ComUnusable(const ComPort* port)
{
    // A line this process no longer owns (a forked child's copy, or one
    // given back as the process exits) fails like a dead one.
    return port->dead || (CallStopped() && !port->ignoresStop)
        || (port->portHandle != kPlatNoHandle && !PlatSerialOwned(port->portHandle));
}

// With the line lock held.
static int WriteHeld(ComPort* port, const uint8_t* bytes, uint32_t n)
{
    uint32_t written = 0;
    int ok = port->portHandle != kPlatNoHandle
        && PlatSerialWrite(port->portHandle, bytes, n, &written);
    if (port->portHandle != kPlatNoHandle)
        WireTrace(kWireWrite, port->portNumber, bytes, ok ? n : written);
    ComCheckError(port, ok);
    return ok;
}

void ComWrite(ComPort* port, const uint8_t* bytes, uint32_t n)
{
    // Writes are not retried, and once the line has stalled the rest of the
    // call's writes fail at once: a stalled line costs one bound per call,
    // not one per write. A dead link and a stopped call send nothing more.
    uint64_t call = CurrentExportCall();
    if (call != 0 && port->stalledCall == call) {
        port->lastError = kPlatErrorLineStalled;
        return;
    }
    if (ComUnusable(port))
        return;
    PlatLineEnter();
    int ok = WriteHeld(port, bytes, n);
    PlatLineLeave();
    if (!ok && port->lastError == kPlatErrorLineStalled)
        port->stalledCall = call;
}

uint32_t ComWriteStop(ComPort* port, uint8_t value, uint32_t count)
{
    uint32_t written = 0;
    PlatLineEnter();
    for (uint32_t i = 0; i < count; ++i)
        written += WriteHeld(port, &value, 1) ? 1 : 0;
    PlatLineLeave();
    return written;
}

void ComPutByte(ComPort* port, int32_t b)
{
    uint8_t byte = static_cast<uint8_t>(b);
    ComWrite(port, &byte, 1);
}

int32_t ComAvail(ComPort* port)
{
    if (port->readPos != port->count)
        return 1;
    port->readPos = 0;
    port->count = 0;
    PlatLineEnter();
    int ok = port->portHandle != kPlatNoHandle
        && PlatSerialRead(port->portHandle, port->rxBuffer, kComRxBufferSize, &port->count);
    if (!ok)
        port->count = 0;
    WireTrace(kWireRead, port->portNumber, port->rxBuffer, port->count);
    ComCheckError(port, ok);
    PlatLineLeave();
    return port->count != 0;
}

int32_t ComGetByte(ComPort* port)
{
    if (!ComAvail(port))
        return 0;
    return port->rxBuffer[port->readPos++];
}

void ComPurge(ComPort* port)
{
    if (port->portHandle != kPlatNoHandle)
        PlatSerialSetupQueues(port->portHandle);
    port->readPos = 0;
    port->count = 0;
    if (port->portHandle != kPlatNoHandle)
        PlatSerialClearErrors(port->portHandle, &port->commErrors);
}

void ComBreak(ComPort* port)
{
    if (ComUnusable(port))
        return;
    PlatSleepMicros(50000);
    PlatLineEnter();
    WireTrace(kWireBreak, port->portNumber, nullptr, 0);
    if (port->portHandle != kPlatNoHandle)
        PlatSerialBreak(port->portHandle, 1);
    PlatLineLeave();
    PlatSleepMicros(50000);
    PlatLineEnter();
    if (port->portHandle != kPlatNoHandle)
        PlatSerialBreak(port->portHandle, 0);
    PlatLineLeave();
}

void ComSetBaud(ComPort* port, uint32_t rate)
{
    if (port->portHandle != kPlatNoHandle)
        PlatSerialSetBaud(port->portHandle, rate);
}

void ComSetFormat(ComPort* port, int parity, int byteSize, int stopBits)
{
    if (port->portHandle != kPlatNoHandle)
        PlatSerialSetFormat(port->portHandle, parity, byteSize, stopBits);
}
