// Moves, pen, homing, jogging and position readback in tenths of a mil.
#include "include/zrqapi.h"
#include "machine/machine.h"
#include "protocol/protocol.h"
#include "serial/entry.h"

namespace {

// Information selectors of the position reads.
const int32_t kInfoChannelPosition = 2;
const int32_t kInfoSecondSlot = 12;
const int32_t kInfoThirdSlot = 13;
const int32_t kInfoFirstSlot = 25;

const int32_t kJogEncoderX = 4;
const int32_t kJogEncoderOther = 5;
const int32_t kHomeAllAxes = -1;

// Failure message, trace line and installation test shared by most calls.
// Returns 0 when the call may go on, else 10.
int32_t RequireInstalled()
{
    if (NirekIsInstalled() != 0)
        return 0;
    SetError(kMsgNotInitialized);
    return 10;
}

int32_t MoveSingleAxis(int32_t channel, int32_t position)
{
    int32_t step = g_machine.axisStep[channel];
    // Checked before the selection, so a refused move sends nothing at all.
    if (!CountsFit(position, step))
        return 1;
    if (SelectSingleAxis(channel) != 0)
        return 1;
    int32_t counts = TenthMilsToCounts(position, step);
    return Nirek1abs(channel, counts) != 0 ? 1 : 0;
}

int32_t JogBegin(int32_t channel)
{
    MachineState& m = g_machine;
    if (m.jogActive == 1)
        Kap_JogEnd();
    if (RequireInstalled() != 0)
        return 10;
    m.jogActive = 1;
    m.jogUsesEncoder5 = channel == kAxisChannelX ? 0 : 1;
    m.jogStep = m.axisStep[channel];
    // X always sits in the first slot; a Y jog drives whatever the selectable slot holds.
    if (channel == kAxisChannelZ || channel == kAxisChannelR)
        SelectSingleAxis(channel);
    NirekTrainBegin();
    return 0;
}

// Positions are signed counts carried in the unsigned information value.
// Returns 0, or the failing query's result with *counts left alone; after a
// failure the remaining reads of the same export are not sent.
int32_t ReadPosition(int32_t selector, int32_t argument, int32_t* counts, int32_t* failed)
{
    if (*failed != 0)
        return *failed;
    uint32_t value = 0;
    *failed = GetInfo(selector, argument, &value);
    if (*failed == 0)
        *counts = WrapToInt32(value);
    return *failed;
}

}  // namespace

extern "C" {

ZRQ_API(int32_t) Kap_PenUp(void)
{
    ExportCall call;
    Trace("\n>>Kap_PenUp() ");
    return NirekPenUpNow();
}

ZRQ_API(int32_t) Kap_PenDown(void)
{
    ExportCall call;
    Trace("\n>>Kap_PenDown() ");
    return NirekPenDownNow();
}

ZRQ_API(int32_t) Kap_Home(void)
{
    ExportCall call;
    SetError(kMsgCommandFailed);
    Trace("\n>>Kap_Home() ");
    if (RequireInstalled() != 0)
        return 10;
    NirekHome(kHomeAllAxes);
    return NirekHomed() != 0 ? 0 : 1;
}

ZRQ_API(int32_t) Kap_InMotion(void)
{
    ExportCall call;
    if (NirekIsInstalled() == 0)
        return 0;
    // A box that does not answer is reported as such, never as stopped.
    int32_t state = NirekGetState();
    return state == ZRQ_ACK_TIMEOUT ? state : state == 1 ? 1 : 0;
}

ZRQ_API(int32_t) Kap_LaserOn(int32_t on)
{
    ExportCall call;
    SetError(kMsgCommandFailed);
    Trace("\n>>Begin Kap_LaserOn(%d) ", on);
    if (RequireInstalled() != 0)
        return 10;
    NirekSetPulseEnable(on);
    return 0;
}

ZRQ_API(int32_t) Kap_MoveXY(int32_t x, int32_t y)
{
    ExportCall call;
    const MachineState& m = g_machine;
    SetError(kMsgCommandFailed);
    Trace("\n>>Kap_MoveXY(%ld,%ld)  ", static_cast<long>(x), static_cast<long>(y));
    if (RequireInstalled() != 0)
        return 10;
    if (!CountsFit(x, m.axisStep[kAxisChannelX]) || !CountsFit(y, m.axisStep[kAxisChannelY]))
        return 1;
    if (SelectDefaultAxes() != 0)
        return 1;
    int32_t yCounts = TenthMilsToCounts(y, m.axisStep[kAxisChannelY]);
    int32_t xCounts = TenthMilsToCounts(x, m.axisStep[kAxisChannelX]);
    return NirekXYabs(xCounts, yCounts) != 0 ? 1 : 0;
}

ZRQ_API(int32_t) Kap_MoveXYZ(int32_t x, int32_t y, int32_t z)
{
    ExportCall call;
    const MachineState& m = g_machine;
    SetError(kMsgCommandFailed);
    Trace("\n>>Kap_MoveXYZ(%ld,%ld,%ld)  ", static_cast<long>(x), static_cast<long>(y),
        static_cast<long>(z));
    if (RequireInstalled() != 0)
        return 10;
    if (!CountsFit(x, m.axisStep[kAxisChannelX]) || !CountsFit(y, m.axisStep[kAxisChannelY])
        || !CountsFit(z, m.axisStep[kAxisChannelZ]))
        return 1;
    if (SelectDefaultAxes() != 0)
        return 1;
    int32_t zCounts = TenthMilsToCounts(z, m.axisStep[kAxisChannelZ]);
    int32_t yCounts = TenthMilsToCounts(y, m.axisStep[kAxisChannelY]);
    int32_t xCounts = TenthMilsToCounts(x, m.axisStep[kAxisChannelX]);
    return NirekXYZabs(xCounts, yCounts, zCounts) != 0 ? 1 : 0;
}

ZRQ_API(int32_t) Kap_MoveZ(int32_t z)
{
    ExportCall call;
    SetError(kMsgCommandFailed);
    Trace("\n>>Kap_MoveZ(%ld) ", static_cast<long>(z));
    if (RequireInstalled() != 0)
        return 10;
    return MoveSingleAxis(kAxisChannelZ, z);
}

ZRQ_API(int32_t) Kap_MoveR(int32_t r)
{
    ExportCall call;
    SetError(kMsgCommandFailed);
    Trace("\n>>Kap_MoveR(%ld) ", static_cast<long>(r));
    if (RequireInstalled() != 0)
        return 10;
    return MoveSingleAxis(kAxisChannelR, r);
}

ZRQ_API(int32_t) Kap_Move4Axis(int32_t r)
{
    ExportCall call;
    return Kap_MoveR(r);
}

ZRQ_API(int32_t) Kap_JogBeginX(void)
{
    ExportCall call;
    SetError(kMsgCommandFailed);
    Trace("\n>>Kap_JogBeginX()\n");
    return JogBegin(kAxisChannelX);
}

ZRQ_API(int32_t) Kap_JogBeginY(void)
{
    ExportCall call;
    SetError(kMsgCommandFailed);
    Trace("\n>>Kap_JogBeginY()\n");
    return JogBegin(kAxisChannelY);
}

ZRQ_API(int32_t) Kap_JogBeginZ(void)
{
    ExportCall call;
    SetError(kMsgCommandFailed);
    Trace("\n>>Kap_JogBeginZ()\n");
    return JogBegin(kAxisChannelZ);
}

ZRQ_API(int32_t) Kap_JogBeginR(void)
{
    ExportCall call;
    SetError(kMsgCommandFailed);
    Trace("\n>>Kap_JogBeginR()\n");
    return JogBegin(kAxisChannelR);
}

ZRQ_API(int32_t) Kap_JogSetPosition(int32_t position)
{
    ExportCall call;
    const MachineState& m = g_machine;
    SetError(kMsgCommandFailed);
    Trace("\n>>Kap_JogSetPosition(%ld)\n", static_cast<long>(position));
    if (m.jogActive == 0)
        return 1;
    if (RequireInstalled() != 0)
        return 10;
    if (!CountsFit(position, m.jogStep))
        return 1;
    // The encoder counts a quarter of the 22.10 value; C++ division truncates toward zero.
    int32_t encoderValue = TenthMilsToCounts(position, m.jogStep) / 4;
    int32_t encoder = m.jogUsesEncoder5 == 1 ? kJogEncoderOther : kJogEncoderX;
    return NirekSetEncoder(encoder, encoderValue);
}

ZRQ_API(int32_t) Kap_JogEnd(void)
{
    ExportCall call;
    MachineState& m = g_machine;
    SetError(kMsgCommandFailed);
    Trace("\n>>Kap_JogEnd()\n");
    if (RequireInstalled() != 0)
        return 10;
    if (m.jogActive == 1) {
        m.jogActive = 0;
        NirekTrainEnd();
        // Y back in the selectable slot restores the default pair.
        SelectSingleAxis(kAxisChannelY);
    }
    return 0;
}

ZRQ_API(int32_t) Kap_GetRtPos(int32_t* x, int32_t* y, int32_t* z)
{
    ExportCall call;
    const MachineState& m = g_machine;
    SetError(kMsgCommandFailed);
    // The trace shows the output addresses as numbers.
    Trace("\n>>Kap_GetRtPos(%ld,%ld,%ld) ", static_cast<long>(reinterpret_cast<intptr_t>(x)),
        static_cast<long>(reinterpret_cast<intptr_t>(y)),
        static_cast<long>(reinterpret_cast<intptr_t>(z)));
    if (RequireInstalled() != 0)
        return 10;
    // Read in the box's order, stored only when every read answered.
    int32_t failed = 0;
    int32_t first = 0;
    int32_t second = 0;
    int32_t third = 0;
    ReadPosition(kInfoFirstSlot, 0, &first, &failed);
    if (y != nullptr)
        ReadPosition(kInfoSecondSlot, 0, &second, &failed);
    if (z != nullptr)
        ReadPosition(kInfoThirdSlot, 0, &third, &failed);
    if (failed != 0)
        return failed;
    if (x != nullptr)
        *x = CountsToTenthMils(first, m.axisStep[kAxisChannelX]);
    if (y != nullptr)
        *y = CountsToTenthMils(second, m.selectedStep);
    if (z != nullptr)
        *z = CountsToTenthMils(third, m.axisStep[kAxisChannelZ]);
    return 0;
}

ZRQ_API(int32_t) Kap_GetMachinePosition(int32_t* x, int32_t* y, int32_t* z)
{
    ExportCall call;
    const MachineState& m = g_machine;
    SetError(kMsgCommandFailed);
    Trace("\n>>Kap_GetMachinePosition(%ld,%ld,%ld) ",
        static_cast<long>(reinterpret_cast<intptr_t>(x)),
        static_cast<long>(reinterpret_cast<intptr_t>(y)),
        static_cast<long>(reinterpret_cast<intptr_t>(z)));
    if (RequireInstalled() != 0)
        return 10;
    int32_t failed = 0;
    int32_t first = 0;
    int32_t second = 0;
    ReadPosition(kInfoFirstSlot, 0, &first, &failed);
    ReadPosition(kInfoSecondSlot, 0, &second, &failed);
    int32_t yCounts = second;
    int32_t zCounts = second;
    if (y != nullptr && m.selectedChannel != kAxisChannelY)
        ReadPosition(kInfoChannelPosition, kAxisChannelY, &yCounts, &failed);
    if (z != nullptr && m.selectedChannel != kAxisChannelZ)
        ReadPosition(kInfoChannelPosition, kAxisChannelZ, &zCounts, &failed);
    if (failed != 0)
        return failed;
    if (x != nullptr)
        *x = CountsToTenthMils(first, m.axisStep[kAxisChannelX]);
    if (y != nullptr)
        *y = CountsToTenthMils(yCounts, m.axisStep[kAxisChannelY]);
    if (z != nullptr)
        *z = CountsToTenthMils(zCounts, m.axisStep[kAxisChannelZ]);
    return 0;
}

ZRQ_API(int32_t) Kap_GetRotorPosition(int32_t* r)
{
    ExportCall call;
    const MachineState& m = g_machine;
    Trace("\n>>Kap_GetRotorPosition(%ld) ", static_cast<long>(reinterpret_cast<intptr_t>(r)));
    if (RequireInstalled() != 0)
        return 10;
    if (r == nullptr)
        return 0;
    int32_t failed = 0;
    int32_t counts = 0;
    if (m.selectedChannel == kAxisChannelR) {
        int32_t first = 0;
        ReadPosition(kInfoFirstSlot, 0, &first, &failed);  // the slot reads come in order
        ReadPosition(kInfoSecondSlot, 0, &counts, &failed);
    } else {
        ReadPosition(kInfoChannelPosition, kAxisChannelR, &counts, &failed);
    }
    if (failed != 0)
        return failed;
    *r = CountsToTenthMils(counts, m.axisStep[kAxisChannelR]);
    return 0;
}

ZRQ_API(int32_t) Kap_Get4AxisPosition(int32_t* r)
{
    ExportCall call;
    return Kap_GetRotorPosition(r);
}

}  // extern "C"
