// The emergency stop from another thread while a call waits, a box that dies
// (noticed once, nothing made up afterwards) and a stop that could not be
// written, on the fake line with virtual time.
#include <gtest/gtest.h>

#include <stdint.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "include/zrqapi.h"
#include "machine/machine.h"
#include "platform/fake.h"
#include "protocol/protocol.h"
#include "support/line_double.h"
#include "support/reset.h"
#include "unit/machine_box.h"
#include "unit/protocol_box.h"

namespace {

const uint64_t kMilli = 1000;
const uint64_t kSecond = 1000000;

// The stop thread, started from inside the first wait of the running call.
std::thread s_stopper;
std::atomic<bool> s_stopStarted {false};
std::atomic<int32_t> s_stopResult {-1};
uint64_t s_stopAtMicros = 0;

void StopFromAnotherThreadOnce()
{
    if (s_stopStarted.exchange(true))
        return;
    uint64_t before = FakeBytesTaken();
    s_stopper = std::thread([] { s_stopResult = NirekEstop(); });
    // The waiting call holds the export lock; the stop must reach the line
    // all the same. Virtual time stands still meanwhile.
    auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (FakeBytesTaken() < before + kEstopCount) {
        if (std::chrono::steady_clock::now() > giveUp)
            return;  // the stop is held back: s_stopAtMicros stays 0 and the test fails
        std::this_thread::yield();
    }
    s_stopAtMicros = FakeClockMicros();
}

class Stop : public ::testing::Test {
protected:
    void SetUp() override
    {
        ResetLibraryState();
        s_stopStarted = false;
        s_stopResult = -1;
    }
    void TearDown() override
    {
        FakeSetWaitHook(nullptr);
        if (s_stopper.joinable())
            s_stopper.join();
        NirekRemove();
        FakeDetachPeer();
    }
};

TEST_F(Stop, StopFromAnotherThreadPassesAWaitingCallWhichThenFails)
{
    LineDouble line;
    line.dropAcks = 1;  // the first frame's acknowledgement is lost
    AttachLineDouble(&line);
    ASSERT_EQ(NirekInstall(1), 0);
    FakeSetWaitHook(StopFromAnotherThreadOnce);
    uint64_t start = FakeClockMicros();
    EXPECT_EQ(NirekParam(1, 1), ZRQ_ACK_TIMEOUT);
    uint64_t failedAt = FakeClockMicros();
    s_stopper.join();
    FakeSetWaitHook(nullptr);
    ASSERT_TRUE(s_stopStarted);
    // On the wire within the first slice of the wait, not after its minute;
    // the waiting call gave up within one more slice and resynchronised
    // nothing itself: the bytes after the stop are the stop's own sync.
    EXPECT_LT(s_stopAtMicros - start, 50 * kMilli);
    EXPECT_LT(failedAt - s_stopAtMicros, 20 * kMilli);
    EXPECT_EQ(s_stopResult, 0);
    EXPECT_EQ(FakeSentHex(), "70 00 01 00 00 00 01 " + RepeatHex("60", 16) + " " + SyncHex());
    EXPECT_FALSE(g_link.dead);
    // The stop ended that call only: the next one runs normally.
    FakeClearSent();
    EXPECT_EQ(NirekParam(2, 2), 0);
    EXPECT_EQ(FakeSentHex(), "70 00 02 00 00 00 02");
}

TEST_F(Stop, StopThatCouldNotBeWrittenSaysSoAndSendsNoSync)
{
    const struct {
        const char* name;
        bool open;
        int failWrites;
        bool stalled;
    } cases[] = {
        {"one byte refused", true, 1, false},
        {"all refused", true, 16, false},
        {"stalled line", true, 0, true},
        {"port not open", false, 0, false},
    };
    for (const auto& c : cases) {
        ResetLibraryState();
        TestBox box;
        box.Attach();
        if (c.open) {
            ASSERT_EQ(NirekInstall(1), 0) << c.name;
        }
        FakeFailNextWrites(c.failWrites);
        FakeStallLine(c.stalled);
        EXPECT_EQ(NirekEstop(), ZRQ_STOP_NOT_SENT) << c.name;
        EXPECT_EQ(FakeSentHex().find("7F"), std::string::npos) << c.name;
        NirekRemove();
    }
}

class DeadBox : public ::testing::Test {
protected:
    void SetUp() override
    {
        ResetLibraryState();
        box.Attach();
        ASSERT_EQ(Kap_InitOnCom(1), 0);
        NirekSetTimeout(10);  // 1 s
        box.silent = true;
    }
    void TearDown() override { FakeDetachPeer(); }

    double SecondsSince(uint64_t start) const
    {
        return static_cast<double>(FakeClockMicros() - start) / 1e6;
    }

    MachineBox box;
};

TEST_F(DeadBox, TheFirstLostReplyCostsOneTimeOutAndItsSyncThenEverythingFailsAtOnce)
{
    uint64_t start = FakeClockMicros();
    EXPECT_EQ(Kap_MoveXY(100, 100), 1);
    // One time-out and 32 unanswered synchronisation attempts.
    EXPECT_NEAR(SecondsSince(start), 1 + 32 * 0.202, 0.5);
    EXPECT_TRUE(g_link.dead);

    const struct {
        const char* name;
        int32_t (*call)();
        int32_t result;
    } calls[] = {
        {"Kap_MoveXY", [] { return Kap_MoveXY(200, 200); }, 1},
        {"Kap_MoveZ", [] { return Kap_MoveZ(5); }, 1},
        {"Kap_InMotion", [] { return Kap_InMotion(); }, ZRQ_ACK_TIMEOUT},
        {"NirekParam", [] { return NirekParam(1, 1); }, ZRQ_ACK_TIMEOUT},
        {"NirekGetState", [] { return NirekGetState(); }, ZRQ_ACK_TIMEOUT},
        {"Kap_Finish", [] { return Kap_Finish(); }, 1},
    };
    for (const auto& c : calls) {
        FakeClearSent();
        uint64_t callStart = FakeClockMicros();
        EXPECT_EQ(c.call(), c.result) << c.name;
        EXPECT_LT(FakeClockMicros() - callStart, 10 * kMilli) << c.name;
        EXPECT_EQ(FakeSentHex(), "") << c.name;
    }
    EXPECT_EQ(NirekIsInstalled(), 0);
    // Opening the port again forgets the verdict.
    box.silent = false;
    ASSERT_EQ(NirekInstall(1), 0);
    EXPECT_FALSE(g_link.dead);
    EXPECT_EQ(NirekParam(1, 1), 0);
}

TEST_F(DeadBox, PositionReadsFailWithTheirOutputsUntouched)
{
    const struct {
        const char* name;
        int32_t (*call)(int32_t*, int32_t*, int32_t*);
    } reads[] = {
        {"Kap_GetMachinePosition",
            [](int32_t* x, int32_t* y, int32_t* z) { return Kap_GetMachinePosition(x, y, z); }},
        {"Kap_GetRtPos", [](int32_t* x, int32_t* y, int32_t* z) { return Kap_GetRtPos(x, y, z); }},
        {"Kap_GetRotorPosition",
            [](int32_t* r, int32_t*, int32_t*) { return Kap_GetRotorPosition(r); }},
    };
    // The first read finds the box silent (one time-out for the first byte,
    // the others answered at once or not at all); then the link is marked
    // dead by a lost acknowledgement, and the reads fail without waiting.
    for (bool linkDead : {false, true}) {
        if (linkDead) {
            EXPECT_EQ(NirekParam(1, 1), ZRQ_ACK_TIMEOUT);
            ASSERT_TRUE(g_link.dead);
        }
        for (const auto& r : reads) {
            int32_t x = 7, y = 8, z = 9;
            uint64_t start = FakeClockMicros();
            EXPECT_EQ(r.call(&x, &y, &z), ZRQ_ACK_TIMEOUT) << r.name;
            EXPECT_EQ(x, 7) << r.name;
            EXPECT_EQ(y, 8) << r.name;
            EXPECT_EQ(z, 9) << r.name;
            EXPECT_LT(SecondsSince(start), linkDead ? 0.01 : 1.5) << r.name;
        }
    }
}

TEST_F(DeadBox, AStopAfterTheLinkDiedStillWritesItsBytesAndReportsTheFailure)
{
    EXPECT_EQ(NirekParam(1, 1), ZRQ_ACK_TIMEOUT);
    ASSERT_TRUE(g_link.dead);
    FakeClearSent();
    uint64_t start = FakeClockMicros();
    EXPECT_EQ(NirekEstop(), 1);
    EXPECT_EQ(FakeSentHex(), RepeatHex("60", 16));
    EXPECT_LT(SecondsSince(start), 0.01);
}

}  // namespace
