// Counter conversions, deadlines across the wrap, and the abort keys.
#include <gtest/gtest.h>

#include "platform/fake.h"
#include "serial/timing.h"
#include "support/reset.h"

namespace {

class Timing : public ::testing::Test {
protected:
    void SetUp() override { ResetLibraryState(); }
};

struct ConversionCase {
    uint64_t frequency;
    int32_t ms;
    uint32_t ticks;
};

TEST_F(Timing, MillisecondsToTicksIsExactFloorAtAnyFrequency)
{
    const ConversionCase cases[] = {
        {3579545, 55, 196874}, {3579545, 2, 7159}, {3579545, 60000, 214772700}, {3579545, 0, 0},
        {10000000, 60000, 600000000},  // wraps a 32-bit product
        {10000000, 999, 9990000}, {1000000, 60000, 60000000}, {1, 60000, 60},  // before TimerInit
    };
    for (const ConversionCase& c : cases) {
        FakeSetCounterFrequency(c.frequency);
        ASSERT_EQ(TimerInit(), 0);
        EXPECT_EQ(MsToTicks(c.ms), c.ticks) << c.frequency << " Hz, " << c.ms << " ms";
    }
}

TEST_F(Timing, TicksToMillisecondsIsExactFloorAtAnyFrequency)
{
    const struct {
        uint64_t frequency;
        uint32_t ticks;
        uint32_t ms;
    } cases[] = {
        {3579545, 196874, 54},
        {3579545, 3579545, 1000},
        {10000000, 4000000000u, 400000},  // (t mod f) * 1000 would wrap 32 bits
        {10000000, 9999999, 999},
        {1000000, 1999, 1},
    };
    for (const auto& c : cases) {
        FakeSetCounterFrequency(c.frequency);
        ASSERT_EQ(TimerInit(), 0);
        EXPECT_EQ(TicksToMs(c.ticks), c.ms) << c.frequency << " Hz, " << c.ticks << " ticks";
    }
}

TEST_F(Timing, TimerInitSetsSlackAndFailsWithoutCounter)
{
    FakeSetCounterFrequency(3579545);
    EXPECT_EQ(TimerInit(), 0);
    EXPECT_EQ(g_timing.counterFrequency, 3579545u);
    FakeSetCounterMissing(true);
    EXPECT_EQ(TimerInit(), 1);
    EXPECT_EQ(g_timing.counterFrequency, 1u);
}

TEST_F(Timing, DeadlineComparesThroughSignedDifferenceAcrossWrap)
{
    FakeSetCounterFrequency(1000000);
    ASSERT_EQ(TimerInit(), 0);
    FakeSetReadCostNanos(0);
    // Put the low 32 bits of the counter 1 ms before they wrap.
    FakeSetClockMicros(0x100000000ull * 3 - 1000);
    Deadline deadline;
    SetDeadline(&deadline, 5);
    EXPECT_LT(deadline, 5000u);  // the deadline itself has wrapped
    EXPECT_EQ(DeadlinePassed(deadline), 0);
    FakeAdvanceMicros(4999);
    EXPECT_EQ(DeadlinePassed(deadline), 0);
    FakeAdvanceMicros(1);
    EXPECT_EQ(DeadlinePassed(deadline), 1);  // equal counts as passed
    FakeAdvanceMicros(1000);
    EXPECT_EQ(DeadlinePassed(deadline), 1);
}

TEST_F(Timing, DelayWaitsItsTimeInVirtualTime)
{
    FakeSetCounterFrequency(3579545);
    ASSERT_EQ(TimerInit(), 0);
    uint64_t start = FakeClockMicros();
    DelayMs(60000);
    uint64_t took = FakeClockMicros() - start;
    EXPECT_GE(took, 60000000u);
    EXPECT_LT(took, 60001000u);
    start = FakeClockMicros();
    DelayMs(0);
    EXPECT_LT(FakeClockMicros() - start, 10u);
}

TEST_F(Timing, CtrlAltAbortNeedsBothKeys)
{
    const struct {
        bool ctrl, alt;
        int32_t abort;
    } cases[] = {{false, false, 0}, {true, false, 0}, {false, true, 0}, {true, true, 1}};
    for (const auto& c : cases) {
        FakeHoldKeys(c.ctrl, c.alt);
        EXPECT_EQ(CtrlAltAbort(nullptr), c.abort) << c.ctrl << c.alt;
    }
}

}  // namespace
