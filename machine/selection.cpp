// Which channel sits in the controller's selectable slot, the sample spacing
// that goes with it, and the speed setting.
#include "include/zrqapi.h"
#include "machine/keyline.h"
#include "machine/machine.h"
#include "serial/entry.h"

namespace {

const int32_t kMaxSampleCount = 0xFFFF;
const int32_t kVelocityDivisor = 3840;

}  // namespace

int32_t SelectAxes(int32_t channel, int32_t third)
{
    MachineState& m = g_machine;
    if (channel == m.selectedChannel && third == m.selectedThird)
        return 0;
    int32_t step = m.axisStep[channel];
    // Without a valid step the spacing cannot be converted; nothing goes out.
    if (StepOutOfRange(step))
        return 1;
    int32_t r = NirekSelectXYZ2(kAxisChannelX, channel, third);
    Trace("\nSelectXYZ(%d,%d,%d)", kAxisChannelX, channel, third);
    m.selectedStep = step;
    // The spacing is counted along the axis now in the slot. One too long to
    // count on this axis is not sent rather than sent wrapped.
    if (CountsFit(m.sampleSpacing, m.selectedStep))
        NirekSetPulseSpacing(m.sampleCount, TenthMilsToCounts(m.sampleSpacing, m.selectedStep));
    m.selectedChannel = channel;
    m.selectedThird = third;
    if (r != 0) {
        m.selectedChannel = -1;
        m.selectedThird = -1;
    }
    return r;
}

int32_t SelectDefaultAxes()
{
    return SelectAxes(kAxisChannelY, g_machine.mode3d == 1 ? kAxisChannelZ : kNoAxisChannel);
}

int32_t SelectSingleAxis(int32_t channel)
{
    bool withZ = g_machine.mode3d == 1 && channel != kAxisChannelZ;
    return SelectAxes(channel, withZ ? kAxisChannelZ : kNoAxisChannel);
}

extern "C" {

ZRQ_API(int32_t) Kap_SetSampleSpacing(int32_t count, int32_t tenthMils)
{
    ExportCall call;
    MachineState& m = g_machine;
    m.sampleCount = count;
    m.sampleSpacing = tenthMils;
    SetError(kMsgCommandFailed);
    Trace("\n>>Kap_SetSampleSpacing(%ld,%ld) ", static_cast<long>(count),
        static_cast<long>(tenthMils));
    if (count > kMaxSampleCount)
        return 1;
    if (NirekIsInstalled() == 0) {
        SetError(kMsgNotInitialized);
        return 10;
    }
    int32_t yStep = m.axisStep[kAxisChannelY];
    if (!CountsFit(tenthMils, yStep))
        return 1;
    return NirekSetPulseSpacing(count, TenthMilsToCounts(tenthMils, yStep));
}

ZRQ_API(int32_t) Kap_Velocity(int32_t ipm)
{
    ExportCall call;
    SetError(kMsgCommandFailed);
    // The product keeps its low 32 bits, as the controller's speed tables expect.
    uint32_t product = static_cast<uint32_t>(ipm) * static_cast<uint32_t>(g_machine.velocityFactor);
    int32_t v = WrapToInt32(product) / kVelocityDivisor;
    Trace("\n>>Kap_Velocity: IPM=%d, Vups=%d ", ipm, v);
    if (NirekIsInstalled() == 0) {
        SetError(kMsgNotInitialized);
        return 10;
    }
    // Only the low 16 bits go out: a speed beyond them would reach the
    // controller as some other speed. The factor comes from the Y step, which
    // holds no valid value until an initialisation succeeded.
    if (StepOutOfRange(g_machine.axisStep[kAxisChannelY])
        || !SpeedValueFits(ipm, g_machine.velocityFactor))
        return 1;
    return NirekSpeed(v);
}

}  // extern "C"
