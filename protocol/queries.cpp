// Exchanges in which the box tells the library something: 32-bit information
// values, the stored identifier, the run state, and the outcome of homing and
// ramp preparation kept in a status word until it is asked for.
#include <stdio.h>
#include <string.h>

#include "include/zrqapi.h"
#include "protocol/protocol.h"
#include "serial/entry.h"

// The handshake bytes after the first are answered at once by a live box.
static const int32_t kInfoNextTimeout = 1;  // tenths
static const int32_t kInfoSelectorId1 = 8;
static const int32_t kInfoSelectorId2 = 12;
static const int32_t kInfoSelectorId3 = 13;
static const int kIdLength = 12;
static const int32_t kStateNotBusyBit = 0x02;
static const int32_t kParamMakeRamps = 1;

int32_t InfoHandshake(uint32_t* value)
{
    static const uint8_t kAsk[4] = {kInfoOpen, kInfoNext, kInfoNext, kInfoClose};
    int32_t saved = g_protocol.protocolTimeout;
    int32_t result = 0;
    *value = 0;
    for (int i = 0; i < 4; ++i) {
        ComPutByte(&g_link, kAsk[i]);
        int32_t reply = QueryReadByte();
        // The byte after the first comes at once from a live box.
        g_protocol.protocolTimeout = kInfoNextTimeout;
        if (reply == NoByte) {
            result = ZRQ_ACK_TIMEOUT;
            reply = 0;
        }
        *value = (*value << 8) | static_cast<uint32_t>(reply);
    }
    g_protocol.protocolTimeout = saved;
    return result;
}

int32_t GetInfo(int32_t selector, int32_t index, uint32_t* value)
{
    *value = 0;
    if (ComUnusable(&g_link))
        return ZRQ_ACK_TIMEOUT;
    BeginCommand(kCmdInfo);
    PutByte(selector);
    PutByte(index);
    // No acknowledgement follows an information request: the handshake takes its place.
    SendFrame();
    return InfoHandshake(value);
}

int32_t StatusSucceeded(int32_t* word)
{
    int32_t status = NkGetStatus(word);
    if (g_protocol.traceMask != 0) {
        printf(" NkGetStatus=0x%x ", static_cast<unsigned>(status));
        fflush(stdout);
    }
    return (status & 1) == 0 ? 1 : 0;
}

// Each word arrives most significant byte first, but holds its four
// characters in the opposite order.
static void PutIdGroup(char* group, uint32_t word)
{
    for (int i = 0; i < 4; ++i)
        group[i] = static_cast<char>((word >> (8 * i)) & 0xFF);
}

extern "C" {

ZRQ_API(uint32_t) NirekGetInfo(int32_t selector, int32_t index)
{
    ExportCall call;
    uint32_t value = 0;
    GetInfo(selector, index, &value);
    return value;
}

ZRQ_API(int32_t) NirekGetSavedID(char* text)
{
    ExportCall call;
    // Built locally and copied out, so that a null buffer is never written;
    // the queries still run, keeping the exchange with the box the same.
    char id[kIdLength + 1];
    PutIdGroup(id, NirekGetInfo(kInfoSelectorId1, 0));
    PutIdGroup(id + 4, NirekGetInfo(kInfoSelectorId2, 0));
    PutIdGroup(id + 8, NirekGetInfo(kInfoSelectorId3, 0));
    id[kIdLength] = '\0';
    for (int i = kIdLength - 1; i >= 0 && id[i] == ' '; --i)
        id[i] = '\0';
    if (text != nullptr)
        memcpy(text, id, sizeof id);
    return 0;
}

ZRQ_API(int32_t) NirekGetState(void)
{
    ExportCall call;
    int32_t available = ComAvail(&g_link);
    // Lazy mode: while the last command's acknowledgement is outstanding the box is busy.
    if (g_protocol.ackPending == 1 && available == 0)
        return 1;
    // An acknowledgement that has already arrived serves as the status byte.
    if (g_protocol.ackPending == 0)
        ComPutByte(&g_link, kStateQuery);
    int32_t status = QueryReadByte();
    g_protocol.ackPending = 0;
    // No answer is neither busy nor idle: a caller polling for the end of a
    // move must not take a dead box for a stopped one.
    if (status == NoByte)
        return ZRQ_ACK_TIMEOUT;
    return (status & kStateNotBusyBit) != 0 ? 0 : 1;
}

ZRQ_API(int32_t) NirekHome(int32_t a)
{
    ExportCall call;
    // The previous acknowledgement is read first, so it cannot land in homeStatus.
    SettlePendingAck();
    g_protocol.resultSlot = &g_protocol.homeStatus;
    g_protocol.homeStatus = -1;
    BeginCommand(kCmdHome);
    PutByte(a);
    return FinishCommand();
}

ZRQ_API(int32_t) NirekHome1(int32_t a, int32_t flag, int32_t b, int32_t c)
{
    ExportCall call;
    SettlePendingAck();
    g_protocol.resultSlot = &g_protocol.homeStatus;
    BeginCommand(kCmdHome1);
    PutByte(a);
    PutByte(flag != 0 ? 1 : 0);
    PutLong32(b);
    PutLong32(c);
    return FinishCommand();
}

ZRQ_API(int32_t) NirekHomed(void)
{
    ExportCall call;
    return StatusSucceeded(&g_protocol.homeStatus);
}

ZRQ_API(int32_t) NirekMakeRamps(void)
{
    ExportCall call;
    SettlePendingAck();
    g_protocol.resultSlot = &g_protocol.rampStatus;
    return NirekParam(kParamMakeRamps, 0);
}

ZRQ_API(int32_t) NirekMakeRampsWorked(void)
{
    ExportCall call;
    return StatusSucceeded(&g_protocol.rampStatus);
}

}  // extern "C"
