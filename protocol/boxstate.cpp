// The start-up probe that tells a box running the protocol from one at its
// prompt and from a dead one, and the emergency stop. Every byte here is
// written singly; no frame and no acknowledgement is involved.
#include <stdio.h>

#include "include/zrqapi.h"
#include "protocol/protocol.h"
#include "serial/entry.h"

// Results of NirekGetBoxState; 1 is never given.
static const int32_t kBoxRunsProtocol = 0;
static const int32_t kBoxAtPrompt = 2;
static const int32_t kBoxDead = 3;

// Fixed waits, in tenths, independent of the protocol time-out.
static const int32_t kProbeReplyTimeout = 10;
static const int32_t kPromptByteTimeout = 5;
static const int kPromptMaxBytes = 100;

int32_t WaitForPrompt()
{
    DrainInput();
    ComPutByte(&g_link, kPromptSlash);
    ComPutByte(&g_link, kCarriageReturn);
    int32_t previous = 0;
    for (int i = 0; i < kPromptMaxBytes; ++i) {
        int32_t iKey = ReadReply(kPromptByteTimeout);
        if (g_protocol.traceMask != 0) {
            printf(" iKey=%d ", iKey);
            fflush(stdout);
        }
        if (iKey == NoByte)
            break;
        // The first byte is paired with 0, so it can never complete the prompt alone.
        int32_t iResponse = previous * 256 + iKey;
        if (g_protocol.traceMask != 0) {
            printf(" iResponse=%d ", iResponse);
            fflush(stdout);
        }
        if (iResponse == kPromptPair) {
            // The rest of the prompt line must not reach the next exchange.
            DrainInput();
            return 1;
        }
        previous = iKey;
    }
    DrainInput();
    return 0;
}

extern "C" {

// The stop bytes go out before the export lock is taken, from whatever
// thread calls: a call that holds the lock while it waits for a reply would
// otherwise hold the stop back for its whole time-out. The line lock keeps
// them out of the middle of a frame. The running call then fails at once,
// and the resynchronisation waits for the lock like any other call.
ZRQ_API(int32_t) NirekEstop(void)
{
    uint32_t written = ComWriteStop(&g_link, kEstopByte, kEstopCount);
    RequestStop();
    // Nothing to resynchronise after a stop that did not go out; the caller
    // learns it without waiting for the running call to end.
    if (written != static_cast<uint32_t>(kEstopCount))
        return ZRQ_STOP_NOT_SENT;
    ExportCall call;
    // The running call may have closed the port meanwhile (a failed
    // initialisation does): nothing left to answer.
    if (!ComIsInstalled(&g_link))
        return 1;
    return NirekSync(0);
}

ZRQ_API(int32_t) NirekGetBoxState(void)
{
    ExportCall call;
    ProtocolTrace("\nNirekGetBoxState ");
    for (int i = 0; i < kSyncLeadCount; ++i)
        ComPutByte(&g_link, kSyncLead);
    DrainInput();
    ComPutByte(&g_link, kProbeLetter);
    int32_t reply = ReadReply(kProbeReplyTimeout);
    // A box that answers but will not synchronise is treated like a silent one.
    if ((reply & kReplyMissingBit) == 0 && NirekSync(1) == 0)
        return kBoxRunsProtocol;
    ComBreak(&g_link);
    ComPutByte(&g_link, kCarriageReturn);
    if (WaitForPrompt() == 1)
        return kBoxAtPrompt;
    ProtocolTrace(" Box is dead  ");
    return kBoxDead;
}

}  // extern "C"
