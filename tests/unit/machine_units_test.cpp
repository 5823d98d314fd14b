// Position and speed conversions: rounding, sign handling and wrap-around.
#include <gtest/gtest.h>

#include "machine/machine.h"
#include "support/reset.h"

namespace {

class MachineUnits : public ::testing::Test {
protected:
    void SetUp() override { ResetLibraryState(); }
};

struct ConversionCase {
    int32_t in;
    int32_t step;
    int32_t out;
};

TEST_F(MachineUnits, TenthMilsToCountsAddsHalfTheInputBeforeTruncating)
{
    const ConversionCase cases[] = {
        {10000, 2500, 40960002}, {-10000, 2500, -40960002}, {1, 1000, 10240}, {-1, 2500, -4096},
        {0, 12500, 0}, {10000, 12500, 8192000}, {1, 10000000, 1}, {-1, 10000000, -1},
        // Beyond 2^31 counts the low 32 bits of the quotient come back.
        {INT32_MAX, 1000, WrapToInt32(uint64_t(int64_t(INT32_MAX) * 10240 + 1073741))},
        {5, 0, 0},  // no step: no division, nothing sensible to give but 0
    };
    for (const ConversionCase& c : cases)
        EXPECT_EQ(TenthMilsToCounts(c.in, c.step), c.out) << c.in << " / " << c.step;
}

TEST_F(MachineUnits, CountsToTenthMilsAddsPositiveHalfBeforeTruncating)
{
    const ConversionCase cases[] = {
        {40960002, 2500, 10000}, {-40960002, 2500, -9999}, {-4096, 2500, 0}, {5120, 1000, 1},
        {5119, 1000, 0}, {-14336, 1000, 0}, {-15360, 1000, -1}, {8192000, 12500, 10000},
        {INT32_MIN, 10000000, -2097151999}, {INT32_MAX, 10000000, 2097151999}, {123456, 0, 0},
        {7, -1, 0},  // a step left at -1 by a failed MPM file
    };
    for (const ConversionCase& c : cases)
        EXPECT_EQ(CountsToTenthMils(c.in, c.step), c.out) << c.in << " * " << c.step;
}

TEST_F(MachineUnits, RoundTripStaysWithinOneTenthMil)
{
    // Positions up to 20 inches keep the counts within 32 bits at every valid step.
    for (int32_t step : {1000, 2500, 12500, 25000, 100000, 5032704, 10000000}) {
        for (int32_t t : {0, 1, -1, 7, -7, 12345, -12345, 100000, -100000, 200000, -200000}) {
            int32_t back = CountsToTenthMils(TenthMilsToCounts(t, step), step);
            EXPECT_LE(std::abs(back - t), 1) << t << " step " << step;
        }
    }
}

TEST_F(MachineUnits, VelocityFactorFromYUnitAndStep)
{
    const struct {
        uint32_t yVunit;
        int32_t yStep;
        int32_t factor;
    } cases[] = {
        {16384, 12500, 512000},
        {64, 12500, 131072000},
        {2000000, 12500, 0},
        {1048576, 1000, 100000},
        {16, 1000, WrapToInt32(6553600000ull)},  // quotient above 2^32 keeps its low 32 bits
        {16384, -12500, -512000},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ComputeVelocityFactor(c.yVunit, c.yStep), c.factor) << c.yVunit << " " << c.yStep;
}

TEST_F(MachineUnits, OnlyValidStepsAndCountsWithin32BitsMayBeSent)
{
    const struct {
        int32_t tenthMils, step;
        bool fits;
    } cases[] = {
        {2097151897, 10000000, true},    // exactly INT32_MAX counts
        {2097151898, 10000000, false},   // one count beyond
        {-2097151898, 10000000, true},   // exactly INT32_MIN counts
        {-2097151899, 10000000, false},  // one count below
        {209715, 1000, true},
        {209716, 1000, false},
        {-209716, 1000, false},
        {0, 1000, true},
        {1, 0, false},
        {1, -1, false},
        {1, 999, false},
        {1, 10000001, false},
        {0, 0, false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(CountsFit(c.tenthMils, c.step), c.fits) << c.tenthMils << " / " << c.step;

    const struct {
        int32_t ipm, factor;
        bool fits;
    } speeds[] = {
        {491, 512000, true},
        {492, 512000, false},
        {0, 512000, true},
        {-1, 512000, false},
        {65535, 3840, true},
        {65536, 3840, false},
        {8389, 512000, false},  // the 32-bit product wraps to a speed that would fit
        {INT32_MIN, -1, false},
    };
    for (const auto& c : speeds)
        EXPECT_EQ(SpeedValueFits(c.ipm, c.factor), c.fits) << c.ipm << " x " << c.factor;
}

TEST_F(MachineUnits, WrapToInt32IsTwosComplement)
{
    EXPECT_EQ(WrapToInt32(0xFFFFFFFFull), -1);
    EXPECT_EQ(WrapToInt32(0x80000000ull), INT32_MIN);
    EXPECT_EQ(WrapToInt32(0x7FFFFFFFull), INT32_MAX);
    EXPECT_EQ(WrapToInt32(0x100000005ull), 5);
}

TEST_F(MachineUnits, ConversionsTraceOnlyWhileVerbose)
{
    testing::internal::CaptureStdout();
    TenthMilsToCounts(10000, 2500);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    g_machine.verbose = 1;
    testing::internal::CaptureStdout();
    TenthMilsToCounts(10000, 2500);
    CountsToTenthMils(-4096, 2500);
    fflush(stdout);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
        "\n>>TenthMils=10000, 22.10=40960002 \n>>22.10=-4096, TenthMils=0 ");
}

}  // namespace
