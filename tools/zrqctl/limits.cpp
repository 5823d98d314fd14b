#include "limits.h"

#include <stdio.h>
#include <string.h>

#include "command.h"
#include "config.h"
#include "handlers.h"
#include "units.h"
#include "zrqapi.h"
#include "zrqctl.h"

namespace {

// The library's conversion: counts = (t x 1024 x 10^4 + t / 2) / step.
const int64_t kCountsPerTenthMilTimesStep = 10240000;
const int64_t kStepScale = 100000;
const int64_t kVelocityNumerator = 0x100000;
const int64_t kVelocityScale = 100000000;
const int64_t kVelocityDivisor = 3840;
const int64_t kMaxSpeedWord = 0xFFFF;
const int64_t kCountsPerStep = 1024;
const int kIdentifierLength = 12;
// Init refuses steps outside these, so nothing else is ever in use.
const int32_t kSmallestStep = 1000;
const int32_t kLargestStep = 10000000;
const int32_t kInfoStep = 26;
const int32_t kInfoVunit = 27;
// Channel indices of the axes on the box: Z = 0, Y = 1, R = 2, X = 3.
const int32_t kChannel[kAxisCount] = {3, 1, 0, 2};
const char* const kAxisName[kAxisCount] = {"X", "Y", "Z", "R"};
const char* const kStepKey[kAxisCount]
    = {" X.STEPDIST ", " Y.STEPDIST ", " Z.STEPDIST ", " R.STEPDIST "};
const char kFlagsKeyY[] = " Y.FLAGS ";

int64_t Counts(int64_t tenthMils, int32_t step)
{
    return (tenthMils * kCountsPerTenthMilTimesStep + (tenthMils >> 1)) / step;
}

bool FitsInt32(int64_t value)
{
    return value >= INT32_MIN && value <= INT32_MAX;
}

// 1234567 as "1,234,567".
std::string Grouped(int64_t value)
{
    std::string digits = std::to_string(value < 0 ? -value : value);
    std::string text;
    for (size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0)
            text += ',';
        text += digits[i];
    }
    return (value < 0 ? "-" : "") + text;
}

// The largest distance whose count still fits.
int32_t LargestDistance(int32_t step)
{
    int64_t t = static_cast<int64_t>(INT32_MAX) * step / kCountsPerTenthMilTimesStep;
    while (FitsInt32(Counts(t + 1, step)))
        ++t;
    while (!FitsInt32(Counts(t, step)))
        --t;
    return static_cast<int32_t>(t);
}

int32_t StepFromWord(uint32_t word)
{
    uint32_t divisor = word >> 16;
    if (word == 0 || divisor == 0)
        return 0;
    int64_t step = (word & 0xFFFFu) * kStepScale / divisor;
    return step > INT32_MAX ? 0 : static_cast<int32_t>(step);
}

}  // namespace

MachineLimits ReadMachineLimits(bool portFromSecondConfig)
{
    MachineLimits limits;
    uint32_t xVunit = NirekGetInfo(kInfoVunit, kChannel[kAxisX]);
    limits.yVunit = NirekGetInfo(kInfoVunit, kChannel[kAxisY]);
    for (int axis = 0; axis < kAxisCount; ++axis)
        limits.step[axis] = StepFromWord(NirekGetInfo(kInfoStep, kChannel[axis]));
    if (xVunit == 0 || limits.step[kAxisX] == 0) {
        // The library took the axes from the MPM file named after the box.
        char id[80] = {};
        NirekGetSavedID(id);
        char* dot = strchr(id, '.');
        if (dot != nullptr)
            *dot = '\0';
        std::string file = ConfigRoot() + (portFromSecondConfig ? "/qv/mpm/" : "/qorin/mpm/")
            + std::string(id).substr(0, kIdentifierLength) + ".mpm";
        for (int axis = 0; axis < kAxisCount; ++axis)
            if (!ReadKeyValue(file, kStepKey[axis], &limits.step[axis]))
                return limits;
        int32_t flags = 0;
        if (!ReadKeyValue(file, kFlagsKeyY, &flags))
            return limits;
        limits.yVunit = 16u << ((static_cast<uint32_t>(flags) >> 16) & 15u);
    }
    for (int32_t step : limits.step)
        if (step < kSmallestStep || step > kLargestStep)
            return limits;
    if (limits.yVunit == 0)
        return limits;
    limits.velocityFactor = static_cast<int32_t>(
        (kVelocityNumerator / limits.yVunit) * kVelocityScale / limits.step[kAxisY]);
    limits.known = true;
    return limits;
}

std::string CheckDistance(const MachineLimits& limits, Axis axis, int32_t tenthMils)
{
    if (!limits.known)
        return "";
    int32_t step = limits.step[axis];
    int64_t counts = Counts(tenthMils, step);
    if (FitsInt32(counts))
        return "";
    return std::string(kAxisName[axis]) + " would need " + Grouped(counts / kCountsPerStep)
        + " steps; the box takes at most ±" + Grouped(INT32_MAX / kCountsPerStep) + " steps, ±"
        + FormatDistance(LargestDistance(step)) + " " + UnitName() + " on this axis";
}

std::string CheckVelocity(const MachineLimits& limits, int32_t ipm)
{
    if (!limits.known || limits.velocityFactor <= 0 || ipm <= 0)
        return "";
    int64_t factor = limits.velocityFactor;
    int64_t word = static_cast<int64_t>(ipm) * factor / kVelocityDivisor;
    int64_t fastest = (kMaxSpeedWord * kVelocityDivisor + kVelocityDivisor - 1) / factor;
    if (word > kMaxSpeedWord)
        return "the speed word would be " + Grouped(word) + " but holds at most "
            + Grouped(kMaxSpeedWord) + "; the fastest on this machine is " + Grouped(fastest)
            + " in/min";
    if (word == 0)
        return "comes to speed word 0 (no motion); the slowest this machine takes is "
            + Grouped((kVelocityDivisor + factor - 1) / factor) + " in/min";
    return "";
}

std::string CheckMoveXY(const MachineLimits& limits, const Command& c, CheckState*)
{
    std::string why = CheckDistance(limits, kAxisX, c.args[0]);
    return why.empty() ? CheckDistance(limits, kAxisY, c.args[1]) : why;
}

std::string CheckMoveXYZ(const MachineLimits& limits, const Command& c, CheckState* state)
{
    std::string why = CheckMoveXY(limits, c, state);
    return why.empty() ? CheckDistance(limits, kAxisZ, c.args[2]) : why;
}

std::string CheckMoveZ(const MachineLimits& limits, const Command& c, CheckState*)
{
    return CheckDistance(limits, kAxisZ, c.args[0]);
}

std::string CheckMoveR(const MachineLimits& limits, const Command& c, CheckState*)
{
    return CheckDistance(limits, kAxisR, c.args[0]);
}

// The library converts the spacing with Y's step.
std::string CheckSpacing(const MachineLimits& limits, const Command& c, CheckState*)
{
    return CheckDistance(limits, kAxisY, c.args[1]);
}

std::string CheckJog(const MachineLimits&, const Command& c, CheckState* state)
{
    state->jogAxis = c.args[0];  // x y z r, in the order of Axis
    return "";
}

std::string CheckJogPos(const MachineLimits& limits, const Command& c, CheckState* state)
{
    if (state->jogAxis < 0)
        return "";  // no jog begun in this run: the library refuses it anyway
    return CheckDistance(limits, static_cast<Axis>(state->jogAxis), c.args[0]);
}

std::string CheckSpeed(const MachineLimits& limits, const Command& c, CheckState*)
{
    return CheckVelocity(limits, c.args[0]);
}

bool AnyToCheck(const std::vector<Command>& commands, size_t first)
{
    for (size_t i = first; i < commands.size() && commands[i].spec->run != RunInit; ++i)
        if (commands[i].spec->check != nullptr)
            return true;
    return false;
}

int CheckCommands(const MachineLimits& limits, const std::vector<Command>& commands, size_t first)
{
    CheckState state;
    for (size_t i = first; i < commands.size() && commands[i].spec->run != RunInit; ++i) {
        const Command& c = commands[i];
        std::string why = c.spec->check ? c.spec->check(limits, c, &state) : "";
        if (!why.empty()) {
            fprintf(stderr, "zrqctl: %s%s: %s; nothing was sent\n", c.where.c_str(), c.text.c_str(),
                why.c_str());
            return kExitUsage;
        }
    }
    return 0;
}
