// Framing, acknowledgement and link synchronisation.
#include <stdio.h>

#include "include/zrqapi.h"
#include "platform/platform.h"
#include "protocol/protocol.h"
#include "serial/entry.h"
#include "serial/timing.h"

ComPort g_link;
ProtocolState g_protocol;

// Longest slice a wait sleeps in the kernel before it looks at the abort keys.
static const uint32_t kWaitSliceMicros = 10000;
// Passes of the input drain, each after a 2 ms pause.
static const int kDrainPasses = 500;
static const int32_t kDrainPauseMs = 2;

void ProtocolTrace(const char* text)
{
    if (g_protocol.traceMask != 0) {
        // Written when it happens, also when standard output is a pipe or a file.
        fputs(text, stdout);
        fflush(stdout);
    }
}

void BeginCommand(uint8_t letter)
{
    SettlePendingAck();
    g_protocol.commandBuffer[0] = letter;
    g_protocol.frameCursor = 1;
    g_protocol.ackTimeout = g_protocol.protocolTimeout;
}

// The frame never outgrows its buffer: an argument that would not fit is dropped.
static void PutFrameByte(int32_t value)
{
    if (g_protocol.frameCursor < kCommandBufferSize)
        g_protocol.commandBuffer[g_protocol.frameCursor++] = static_cast<uint8_t>(value);
}

void PutByte(int32_t value)
{
    PutFrameByte(value);
}

void PutWord16(int32_t value)
{
    PutFrameByte(value >> 8);
    PutFrameByte(value);
}

void PutLong32(int32_t value)
{
    uint32_t bits = static_cast<uint32_t>(value);
    PutFrameByte(static_cast<int32_t>(bits >> 24));
    PutFrameByte(static_cast<int32_t>(bits >> 16));
    PutFrameByte(static_cast<int32_t>(bits >> 8));
    PutFrameByte(static_cast<int32_t>(bits));
}

void SendFrame()
{
    ComWrite(&g_link, g_protocol.commandBuffer, g_protocol.frameCursor);
}

int32_t FinishCommand()
{
    // A dead link or a stopped call sends nothing, and says so at once.
    if (ComUnusable(&g_link))
        return ZRQ_ACK_TIMEOUT;
    SendFrame();
    g_protocol.ackPending = 1;
    if (g_protocol.waitMode == 1 && SettlePendingAck() == 1)
        return ZRQ_ACK_TIMEOUT;
    // In lazy mode the acknowledgement this call lost was the previous
    // command's; the call that found it missing reports it all the same.
    uint64_t call = CurrentExportCall();
    if (g_protocol.waitMode == 0 && call != 0 && g_protocol.ackLostCall == call)
        return ZRQ_ACK_TIMEOUT;
    return 0;
}

int32_t SimpleCommand(uint8_t letter)
{
    BeginCommand(letter);
    return FinishCommand();
}

int32_t CollectAck()
{
    if (g_protocol.ackPending == 0)
        return 0;
    int32_t reply = ReadReply(g_protocol.ackTimeout);
    g_protocol.ackPending = 0;
    if (reply == NoByte) {
        ProtocolTrace(" Timeout ");
        return 1;
    }
    return 0;
}

int32_t SettlePendingAck()
{
    if (CollectAck() == 1) {
        g_protocol.ackLostCall = CurrentExportCall();
        // A stopped call leaves the resynchronisation to the stop itself;
        // a box that answers neither its acknowledgement nor the
        // resynchronisation is taken for dead until the port is reopened
        // (or an application's own NirekSync finds it again). The abort
        // keys end the waits too, but say nothing about the box.
        g_protocol.aborted = 0;
        if (!ComUnusable(&g_link) && NirekSync(0) != 0 && !CallStopped() && g_protocol.aborted == 0)
            g_link.dead = true;
        return 1;
    }
    return 0;
}

int32_t ReadReply(int32_t tenths)
{
    int32_t reply = NoByte;
    if (!ComUnusable(&g_link) && (ComAvail(&g_link) || WaitForByte(tenths)))
        reply = ComGetByte(&g_link);
    if (g_protocol.resultSlot != nullptr) {
        *g_protocol.resultSlot = reply;
        g_protocol.resultSlot = nullptr;
    }
    return reply;
}

// Tenths of a second to milliseconds. A negative time-out waits for nothing,
// and a long one is held within the span a Deadline can express.
static int32_t TimeoutMs(int32_t tenths)
{
    if (tenths <= 0)
        return 0;
    uint64_t frequency = g_timing.counterFrequency ? g_timing.counterFrequency : 1;
    uint64_t spanMs = 0x7FFFFFFFull * 1000u / frequency;
    uint64_t ms = static_cast<uint64_t>(tenths) * 100u;
    if (ms > spanMs)
        ms = spanMs;
    if (ms > 0x7FFFFFFFull)
        ms = 0x7FFFFFFF;
    return static_cast<int32_t>(ms);
}

// Sleeps in the kernel until the line may have a byte, for at most one slice,
// so the abort keys are still consulted while nothing arrives.
static void IdleUntilReadable(Deadline deadline)
{
    int32_t left = TicksLeft(deadline);
    if (left <= 0)
        return;
    uint64_t frequency = 1;
    if (!PlatCounterFrequency(&frequency) || frequency == 0)
        frequency = 1;
    uint64_t micros = static_cast<uint64_t>(left) * 1000000u / frequency;
    if (micros > kWaitSliceMicros)
        micros = kWaitSliceMicros;
    PlatSerialWaitReadable(g_link.portHandle, static_cast<uint32_t>(micros ? micros : 1));
}

int32_t WaitForByte(int32_t tenths)
{
    Deadline deadline;
    SetDeadline(&deadline, TimeoutMs(tenths));
    // The caller has just looked at the line and found nothing, so the first
    // pass goes straight to sleep: a device read here would only cost a
    // system call on every round trip. Bytes already buffered are still seen.
    bool looked = g_link.readPos == g_link.count;
    for (;;) {
        if (DeadlinePassed(deadline))
            return ComAvail(&g_link);
        if (!looked && ComAvail(&g_link))
            return 1;
        looked = false;
        // Checked every slice: a stop from another thread ends the wait.
        if (AbortHook(&deadline) != 0) {
            g_protocol.aborted = 1;
            return 0;
        }
        if (ComUnusable(&g_link))
            return 0;
        IdleUntilReadable(deadline);
    }
}

int32_t QueryReadByte()
{
    int32_t* saved = g_protocol.resultSlot;
    g_protocol.resultSlot = nullptr;
    int32_t reply = ReadReply(g_protocol.protocolTimeout);
    g_protocol.resultSlot = saved;
    g_protocol.ackPending = 0;
    return reply;
}

int32_t QueryRead()
{
    int32_t reply = QueryReadByte();
    return reply == NoByte ? 0 : reply;
}

int32_t NkGetStatus(int32_t* word)
{
    if (g_protocol.resultSlot == word)
        CollectAck();
    return *word;
}

void DrainInput()
{
    for (int pass = 0; pass < kDrainPasses; ++pass) {
        if (CallStopped())
            return;
        DelayMs(kDrainPauseMs);
        if (!ComAvail(&g_link))
            return;
        ComPurge(&g_link);
    }
}

extern "C" {

ZRQ_API(int32_t) NirekSync(int32_t flag)
{
    ExportCall call;
    ProtocolTrace(" sync() ");
    g_protocol.ackPending = 0;
    // The application's own synchronisation tries a dead link once more;
    // the library's inner ones (after a lost reply, after a stop) do not.
    if (OutermostCall() && !CallStopped())
        g_link.dead = false;
    if (ComUnusable(&g_link))
        return 1;
    for (int i = 0; i < kSyncLeadCount; ++i)
        ComPutByte(&g_link, kSyncLead);
    uint8_t letter = flag != 0 ? kSyncLetterN : kSyncLetter;
    for (int32_t n = kSyncFirstSequence; n <= kSyncLastSequence; ++n) {
        DrainInput();
        ComPutByte(&g_link, letter);
        ComPutByte(&g_link, n);
        if (ReadReply(kSyncEchoTimeout) == n + 1)
            return 0;
    }
    return 1;
}

ZRQ_API(int32_t) NirekParam(int32_t number, int32_t value)
{
    ExportCall call;
    BeginCommand(kCmdParam);
    PutWord16(number);
    PutLong32(value);
    return FinishCommand();
}

ZRQ_API(int32_t) NirekSetTimeout(int32_t tenths)
{
    ExportCall call;
    int32_t previous = g_protocol.protocolTimeout;
    g_protocol.protocolTimeout = tenths;
    return previous;
}

ZRQ_API(int32_t) NirekSetWaitMode(int32_t on)
{
    ExportCall call;
    int32_t previous = g_protocol.waitMode;
    g_protocol.waitMode = on != 0 ? 1 : 0;
    return previous;
}

ZRQ_API(int32_t) NirekSetDebugMask(int32_t mask)
{
    ExportCall call;
    int32_t previous = g_protocol.traceMask;
    g_protocol.traceMask = mask & kTraceProtocol;
    return previous;
}

ZRQ_API(int32_t) NirekInstall(int32_t port)
{
    ExportCall call;
    ComRemove(&g_link);
    ComReset(&g_link, port);
    if (TimerInit() != 0)
        return 1;
    if (ComInstall(&g_link) != 0)
        return 1;
    return 0;
}

ZRQ_API(int32_t) NirekIsInstalled(void)
{
    ExportCall call;
    return g_link.portHandle != kPlatNoHandle ? 1 : 0;
}

ZRQ_API(int32_t) NirekRemove(void)
{
    ExportCall call;
    ComRemove(&g_link);
    ProtocolTrace(" ComRemove ");
    return 0;
}

}  // extern "C"
