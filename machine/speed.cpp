// The path speed in thousandths of an inch a minute: the speed word has
// 16 bits, far finer than whole inches a minute (at 133 speed values an inch
// a minute, 15 mm/min was 0.59 in/min, sent as 1, 69 % fast).
#include "include/zrqapi.h"
#include "machine/keyline.h"
#include "machine/machine.h"
#include "serial/entry.h"

namespace {

const int64_t kMilsVelocityDivisor = 3840000;  // the in/min divisor, x 1000
const int64_t kMaxSpeedValue = 0xFFFF;

}  // namespace

extern "C" {

ZRQ_API(int32_t) Kap_VelocityMils(int32_t milsPerMinute)
{
    ExportCall call;
    SetError(kMsgCommandFailed);
    // Exact in 64 bits and rounded to the nearest speed value: nothing here
    // has to match a table built on a wrapped product.
    int64_t v = (static_cast<int64_t>(milsPerMinute) * g_machine.velocityFactor
                    + kMilsVelocityDivisor / 2)
        / kMilsVelocityDivisor;
    Trace("\n>>Kap_VelocityMils: MPM=%d, Vups=%ld ", milsPerMinute, static_cast<long>(v));
    if (NirekIsInstalled() == 0) {
        SetError(kMsgNotInitialized);
        return 10;
    }
    if (StepOutOfRange(g_machine.axisStep[kAxisChannelY]) || milsPerMinute < 0
        || v > kMaxSpeedValue)
        return 1;
    return NirekSpeed(static_cast<int32_t>(v));
}

}  // extern "C"
