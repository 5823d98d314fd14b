// A line that stops taking bytes (a bridge whose far end stopped reading, a
// wedged adapter) costs a bounded time per call, in virtual time.
#include <gtest/gtest.h>

#include <functional>

#include "include/zrqapi.h"
#include "platform/fake.h"
#include "protocol/protocol.h"
#include "support/reset.h"
#include "support/temp_root.h"
#include "unit/machine_box.h"

namespace {

class StalledLine : public ::testing::Test {
protected:
    void SetUp() override
    {
        ResetLibraryState();
        box.Attach();
        root.Write("qorin/qorin.cfg", "1 COMPORT \n");
    }
    void TearDown() override
    {
        NirekRemove();
        FakeDetachPeer();
    }

    TempRoot root;
    MachineBox box;
};

TEST_F(StalledLine, EachCallPaysOneStallBoundAtMost)
{
    const struct {
        const char* name;
        std::function<int32_t()> call;
        int32_t result;
        double limitSeconds;  // twice what the call's own waits add up to
    } cases[] = {
        // Half a second of acknowledgement wait, then 32 sync echo waits.
        {"wait-mode parameter, time-out 5",
            [] {
                NirekInstall(1);
                NirekSetTimeout(5);
                FakeStallLine(true);
                return NirekParam(1, 1);
            },
            ZRQ_ACK_TIMEOUT, 2 * (0.5 + 6.5)},
        // The probe's 1 s, the break and the prompt's 0.5 s.
        {"initialisation",
            [] {
                FakeStallLine(true);
                return Kap_Init();
            },
            ZRQ_NOT_RESPONDING, 2 * 1.6},
    };
    for (const auto& c : cases) {
        ResetLibraryState();
        box = MachineBox();
        box.Attach();
        uint64_t start = FakeClockMicros();
        EXPECT_EQ(c.call(), c.result) << c.name;
        double seconds = static_cast<double>(FakeClockMicros() - start) / 1e6;
        EXPECT_LT(seconds, c.limitSeconds) << c.name;
        EXPECT_EQ(g_link.lastError, kFakeErrorStalled) << c.name;
    }
}

TEST_F(StalledLine, AStalledLineIsDeadUntilTheApplicationSynchronisesAgain)
{
    ASSERT_EQ(NirekInstall(1), 0);
    NirekSetTimeout(5);
    FakeStallLine(true);
    ASSERT_EQ(NirekParam(1, 1), ZRQ_ACK_TIMEOUT);
    // Neither the acknowledgement nor the resynchronisation came: the next
    // call fails at once without trying the line.
    EXPECT_TRUE(g_link.dead);
    NirekSetWaitMode(0);
    uint64_t start = FakeClockMicros();
    EXPECT_EQ(NirekPenUpNow(), ZRQ_ACK_TIMEOUT);
    EXPECT_LT(FakeClockMicros() - start, 1000u);
    // Once it takes bytes again, the application's own synchronisation
    // finds the box and the link works.
    FakeStallLine(false);
    EXPECT_EQ(NirekSync(0), 0);
    EXPECT_FALSE(g_link.dead);
    NirekSetWaitMode(1);
    FakeClearSent();
    EXPECT_EQ(NirekParam(2, 2), 0);
    EXPECT_EQ(FakeSentHex(), "70 00 02 00 00 00 02");
}

}  // namespace
