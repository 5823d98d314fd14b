// The command set: moves, pen, axis selection, speed and modes, the pulse
// train, and the parameter wrappers. Each export is one frame or a fixed short
// run of frames; the result is the framing's (0, or 256 after a lost
// acknowledgement in wait mode).
#include "include/zrqapi.h"
#include "protocol/protocol.h"
#include "serial/entry.h"

// Numbered controller parameters written by the wrappers.
static const int32_t kParamPulseLead = 12;  // always written first by a wrapper
static const int32_t kParamTrainRatio2 = 13;
static const int32_t kParamEncoderValue = 24;
static const int32_t kParamTrainRatio3 = 35;
static const int32_t kParamPulseDuty = 38;
static const int32_t kParamSampleCount = 51;
static const int32_t kParamPulseEnable = 52;
static const int32_t kParamMinPulse = 67;

// Largest distance a compact relative move carries; -32768 goes long.
static const int32_t kCompactLimit = 32767;

static bool FitsCompact(int32_t d)
{
    return d >= -kCompactLimit && d <= kCompactLimit;
}

// The pen command is a full command of its own; what it returned does not stop
// the move, and penNow is left alone, so every long-form move repeats it for as
// long as the wanted and commanded states differ.
void SyncPen()
{
    if (g_protocol.penWanted == g_protocol.penNow)
        return;
    SimpleCommand(g_protocol.penWanted == 1 ? kCmdPenDown : kCmdPenUp);
}

static int32_t LongMove1(uint8_t letter, int32_t value)
{
    SyncPen();
    BeginCommand(letter);
    PutLong32(value);
    return FinishCommand();
}

static int32_t ChannelMove(uint8_t letter, int32_t channel, int32_t value)
{
    SyncPen();
    BeginCommand(letter);
    PutByte(channel);
    PutLong32(value);
    return FinishCommand();
}

static int32_t FlagCommand(uint8_t letter, int32_t on)
{
    BeginCommand(letter);
    PutByte(on != 0 ? 1 : 0);
    return FinishCommand();
}

extern "C" {

ZRQ_API(int32_t) NirekXrel(int32_t d)
{
    ExportCall call;
    return LongMove1(kCmdXrel, d);
}

ZRQ_API(int32_t) NirekYrel(int32_t d)
{
    ExportCall call;
    return LongMove1(kCmdYrel, d);
}

ZRQ_API(int32_t) NirekXabs(int32_t p)
{
    ExportCall call;
    return LongMove1(kCmdXabs, p);
}

ZRQ_API(int32_t) NirekYabs(int32_t p)
{
    ExportCall call;
    return LongMove1(kCmdYabs, p);
}

ZRQ_API(int32_t) Nirek1abs(int32_t channel, int32_t p)
{
    ExportCall call;
    return ChannelMove(kCmd1abs, channel, p);
}

ZRQ_API(int32_t) Nirek1rel(int32_t channel, int32_t d)
{
    ExportCall call;
    return ChannelMove(kCmd1rel, channel, d);
}

ZRQ_API(int32_t) NirekXYrel(int32_t dx, int32_t dy)
{
    ExportCall call;
    // Compact moves skip the pen step.
    if (FitsCompact(dx) && FitsCompact(dy)) {
        BeginCommand(kCmdXYrelCompact);
        PutWord16(dx);
        PutWord16(dy);
        return FinishCommand();
    }
    if (dx == 0)
        return NirekYrel(dy);
    if (dy == 0)
        return NirekXrel(dx);
    SyncPen();
    BeginCommand(kCmdXYrelLong);
    PutLong32(dx);
    PutLong32(dy);
    return FinishCommand();
}

ZRQ_API(int32_t) NirekXYZrel(int32_t dx, int32_t dy, int32_t dz)
{
    ExportCall call;
    if (dz == 0)
        return NirekXYrel(dx, dy);
    // Zero distances stay in the three-axis frame; there is no single-axis fall-back here.
    if (FitsCompact(dx) && FitsCompact(dy) && FitsCompact(dz)) {
        BeginCommand(kCmdXYZrelCompact);
        PutWord16(dx);
        PutWord16(dy);
        PutWord16(dz);
        return FinishCommand();
    }
    SyncPen();
    BeginCommand(kCmdXYZrelLong);
    PutLong32(dx);
    PutLong32(dy);
    PutLong32(dz);
    return FinishCommand();
}

ZRQ_API(int32_t) NirekXYabs(int32_t x, int32_t y)
{
    ExportCall call;
    SyncPen();
    BeginCommand(kCmdXYabs);
    PutLong32(x);
    PutLong32(y);
    return FinishCommand();
}

ZRQ_API(int32_t) NirekXYZabs(int32_t x, int32_t y, int32_t z)
{
    ExportCall call;
    SyncPen();
    BeginCommand(kCmdXYZabs);
    PutLong32(x);
    PutLong32(y);
    PutLong32(z);
    return FinishCommand();
}

// The commanded state is recorded before the frame, so it stands even when the
// acknowledgement is then lost.
ZRQ_API(int32_t) NirekPenUpNow(void)
{
    ExportCall call;
    g_protocol.penNow = 0;
    return SimpleCommand(kCmdPenUp);
}

ZRQ_API(int32_t) NirekPenDownNow(void)
{
    ExportCall call;
    g_protocol.penNow = 1;
    return SimpleCommand(kCmdPenDown);
}

// Only the wanted state changes; the next long-form move carries it out.
ZRQ_API(int32_t) NirekPenUp(void)
{
    ExportCall call;
    g_protocol.penWanted = 0;
    return 0;
}

ZRQ_API(int32_t) NirekPenDown(void)
{
    ExportCall call;
    g_protocol.penWanted = 1;
    return 0;
}

ZRQ_API(int32_t) NirekSelectY(int32_t a)
{
    ExportCall call;
    BeginCommand(kCmdSelectY);
    PutByte(a);
    return FinishCommand();
}

ZRQ_API(int32_t) NirekSelectXY(int32_t a, int32_t b)
{
    ExportCall call;
    BeginCommand(kCmdSelectXY);
    PutByte(a);
    PutByte(b);
    return FinishCommand();
}

ZRQ_API(int32_t) NirekSelectXYZ2(int32_t a, int32_t b, int32_t c)
{
    ExportCall call;
    BeginCommand(kCmdSelectXYZ);
    PutByte(a);
    PutByte(b);
    PutByte(c);
    return FinishCommand();
}

ZRQ_API(int32_t) NirekWaitHalt(void)
{
    ExportCall call;
    return SimpleCommand(kCmdWaitHalt);
}

ZRQ_API(int32_t) NirekTrainBegin(void)
{
    ExportCall call;
    return SimpleCommand(kCmdTrainBegin);
}

// Ending a pulse train is the same frame as waiting for a halt.
ZRQ_API(int32_t) NirekTrainEnd(void)
{
    ExportCall call;
    return SimpleCommand(kCmdWaitHalt);
}

ZRQ_API(int32_t) NirekVector(int32_t on)
{
    ExportCall call;
    return FlagCommand(kCmdVector, on);
}

ZRQ_API(int32_t) NirekSpeed(int32_t v)
{
    ExportCall call;
    BeginCommand(kCmdSpeed);
    PutWord16(v);
    return FinishCommand();
}

ZRQ_API(int32_t) Nirek1Speed(int32_t channel, int32_t v)
{
    ExportCall call;
    BeginCommand(kCmd1Speed);
    PutByte(channel);
    PutWord16(v);
    return FinishCommand();
}

ZRQ_API(int32_t) NirekTestMode(int32_t on)
{
    ExportCall call;
    return FlagCommand(kCmdTestMode, on);
}

ZRQ_API(int32_t) NirekSetMinPulse(int32_t v)
{
    ExportCall call;
    return NirekParam(kParamMinPulse, v);
}

ZRQ_API(int32_t) NirekSetPulseDuty(int32_t v)
{
    ExportCall call;
    return NirekParam(kParamPulseDuty, v);
}

ZRQ_API(int32_t) NirekSetPulseEnable(int32_t on)
{
    ExportCall call;
    return NirekParam(kParamPulseEnable, on != 0 ? 1 : 0);
}

// The sample count is not sent when the spacing was not taken.
ZRQ_API(int32_t) NirekSetPulseSpacing(int32_t count, int32_t spacing)
{
    ExportCall call;
    int32_t result = NirekParam(kParamPulseLead, spacing);
    if (result != 0)
        return result;
    return NirekParam(kParamSampleCount, count);
}

ZRQ_API(int32_t) NirekSetTrainRatio(int32_t a, int32_t b, int32_t c)
{
    ExportCall call;
    NirekParam(kParamPulseLead, a);
    NirekParam(kParamTrainRatio2, b);
    return NirekParam(kParamTrainRatio3, c);
}

ZRQ_API(int32_t) NirekSetEncoder(int32_t encoder, int32_t value)
{
    ExportCall call;
    NirekParam(kParamPulseLead, encoder);
    return NirekParam(kParamEncoderValue, value);
}

}  // extern "C"
