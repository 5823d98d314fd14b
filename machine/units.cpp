// Conversions between tenths of a mil and the controller's 22.10 counts, and
// the speed factor derived from the Y axis.
#include "machine/keyline.h"
#include "machine/machine.h"

namespace {

const int64_t kCountsPerTenthMilTimesStep = 10240000;  // 1024 counts x 10^4
const int64_t kHalfCountsPerTenthMil = 5120000;
const uint32_t kVelocityNumerator = 0x100000;
const int64_t kVelocityScale = 100000000;
const int64_t kVelocityDivisor = 3840;
const int64_t kMaxSpeedValue = 0xFFFF;  // the speed word is 16 bits on the wire

// The count before narrowing to 32 bits; step must not be 0.
int64_t ExactCounts(int32_t tenthMils, int32_t step)
{
    int64_t t = tenthMils;
    // The addend is half the input value, not half the step: the
    // controller's tables were built with this rounding.
    return (t * kCountsPerTenthMilTimesStep + (t >> 1)) / step;
}

}  // namespace

int32_t TenthMilsToCounts(int32_t tenthMils, int32_t step)
{
    int32_t counts = 0;
    // A zero step exists only before a successful initialisation; callers
    // refuse to send in that state, and this keeps the division defined.
    if (step != 0)
        counts = WrapToInt32(static_cast<uint64_t>(ExactCounts(tenthMils, step)));
    Trace("\n>>TenthMils=%ld, 22.10=%ld ", static_cast<long>(tenthMils), static_cast<long>(counts));
    return counts;
}

bool CountsFit(int32_t tenthMils, int32_t step)
{
    // A step outside its range is one no successful initialisation left (0
    // before any, -1 after a failed MPM file): converting with it moves the
    // wrong distance, or the wrong way.
    if (StepOutOfRange(step))
        return false;
    int64_t counts = ExactCounts(tenthMils, step);
    return counts >= INT32_MIN && counts <= INT32_MAX;
}

int32_t CountsToTenthMils(int32_t counts, int32_t step)
{
    // Both factors are 32-bit, so the product and the addend fit in 64 bits.
    int64_t scaled = static_cast<int64_t>(counts) * step + kHalfCountsPerTenthMil;
    int32_t tenthMils = WrapToInt32(static_cast<uint64_t>(scaled / kCountsPerTenthMilTimesStep));
    Trace("\n>>22.10=%ld, TenthMils=%ld ", static_cast<long>(counts), static_cast<long>(tenthMils));
    return tenthMils;
}

int32_t ComputeVelocityFactor(uint32_t yVunit, int32_t yStep)
{
    if (yVunit == 0 || yStep == 0)
        return 0;
    uint32_t q = kVelocityNumerator / yVunit;
    int64_t product = static_cast<int64_t>(q) * kVelocityScale;
    return WrapToInt32(static_cast<uint64_t>(product / yStep));
}

bool SpeedValueFits(int32_t ipm, int32_t velocityFactor)
{
    // Exact, where the speed value proper keeps only 32 bits of the product:
    // whatever fits the speed word is computed the same both ways.
    int64_t v = static_cast<int64_t>(ipm) * velocityFactor / kVelocityDivisor;
    return v >= 0 && v <= kMaxSpeedValue;
}
