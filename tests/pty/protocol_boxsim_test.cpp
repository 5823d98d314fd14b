// The protocol exports of the real library over a pseudo-terminal, against
// the simulated box running as its own process.
#include <gtest/gtest.h>

#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "pty_support.h"
#include "zrqapi.h"

namespace {

class ProtocolOverPty : public ::testing::Test {
protected:
    void SetUp() override
    {
#ifndef ZRQ_BOXSIM
        GTEST_SKIP() << "zrq-boxsim is not built in this tree";
#endif
        ASSERT_TRUE(root_.ok());
        root_.Use();
    }

    void TearDown() override
    {
        NirekRemove();
        StopBox();
    }

    // Starts the simulator with its link at COM1 and opens the port on it.
    void StartBox(std::vector<std::string> options = {})
    {
        ASSERT_TRUE(sim_.StartOn(root_, 1, options)) << "zrq-boxsim did not start";
        ASSERT_EQ(NirekInstall(1), 0);
    }

    void StopBox()
    {
        sim_.Stop();
    }

    ScratchRoot root_ {"proto"};
    BoxSimProcess sim_;
};

TEST_F(ProtocolOverPty, ProbeFindsAProtocolBox)
{
    StartBox();
    EXPECT_EQ(NirekGetBoxState(), 0);
    EXPECT_EQ(NirekSync(0), 0);
}

TEST_F(ProtocolOverPty, ProbeFindsABoxAtItsPromptWhichThenSynchronises)
{
    StartBox({"--prompt"});
    EXPECT_EQ(NirekGetBoxState(), 2);
    EXPECT_EQ(NirekSync(0), 0);
}

TEST_F(ProtocolOverPty, ProbeGivesUpOnASilentBoxWithinItsBound)
{
    StartBox({"--silent"});
    double start = MonotonicSeconds();
    EXPECT_EQ(NirekGetBoxState(), 3);
    double elapsed = MonotonicSeconds() - start;
    EXPECT_GE(elapsed, 1.5);
    EXPECT_LT(elapsed, 2 * 1.6);
}

TEST_F(ProtocolOverPty, QueriesReturnTheBoxIdentityAndPositions)
{
    // Per channel Z, Y, R, X.
    StartBox({"--id", "QV-07  A", "--step-info", "0x00100003,0x00080001,0x00040001,0x00020005",
        "--vunit", "100,200,300,400"});
    ASSERT_EQ(NirekSync(0), 0);
    char id[13];
    EXPECT_EQ(NirekGetSavedID(id), 0);
    EXPECT_STREQ(id, "QV-07  A");
    const uint32_t steps[] = {0x00100003u, 0x00080001u, 0x00040001u, 0x00020005u};
    for (int channel = 0; channel < 4; ++channel) {
        EXPECT_EQ(NirekGetInfo(26, channel), steps[channel]) << channel;
        EXPECT_EQ(NirekGetInfo(27, channel), 100u * (channel + 1)) << channel;
    }
    // Slots at power-up hold X, Y, Z; an absolute move is read back per slot.
    ASSERT_EQ(NirekXYZabs(2048, -1024, 3072), 0);
    ASSERT_EQ(NirekWaitHalt(), 0);
    EXPECT_EQ(static_cast<int32_t>(NirekGetInfo(25, 0)), 2048);
    EXPECT_EQ(static_cast<int32_t>(NirekGetInfo(12, 0)), -1024);
    EXPECT_EQ(static_cast<int32_t>(NirekGetInfo(13, 0)), 3072);
    EXPECT_EQ(static_cast<int32_t>(NirekGetInfo(2, 1)), -1024);
}

TEST_F(ProtocolOverPty, LazyHomeWhoseAckServedAsRunStateIsNotReportedHomed)
{
    StartBox();
    ASSERT_EQ(NirekSync(0), 0);
    ASSERT_EQ(NirekXYabs(40960, 40960), 0);
    NirekSetWaitMode(0);
    EXPECT_EQ(NirekHome(-1), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // the acknowledgement arrives
    NirekGetState();  // takes the acknowledgement as the run state
    double start = MonotonicSeconds();
    EXPECT_EQ(NirekHomed(), 0);  // homeStatus still holds the preset
    EXPECT_LT(MonotonicSeconds() - start, 0.05);
    // The box itself homes all the same.
    double until = MonotonicSeconds() + 20;
    while (NirekGetState() == 1 && MonotonicSeconds() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(NirekGetState(), 0);
    EXPECT_EQ(NirekGetInfo(25, 0), 0u);

    // Read through NirekHomed instead, the acknowledgement reports success.
    EXPECT_EQ(NirekHome(-1), 0);
    EXPECT_EQ(NirekHomed(), 1);
}

TEST_F(ProtocolOverPty, BoxAnswersAndStopsWhileItMoves)
{
    StartBox();
    ASSERT_EQ(NirekSync(0), 0);
    // 40,000 steps at the default 4,000 a second: 10 s of motion, with a
    // wait-for-halt whose acknowledgement the box holds until the end.
    NirekSetWaitMode(0);
    ASSERT_EQ(NirekXrel(40000 * 1024), 0);
    ASSERT_EQ(NirekWaitHalt(), 0);
    EXPECT_EQ(NirekGetBoxState(), 0);
    EXPECT_EQ(Kap_InitOnCom(1), 0) << Kap_GetErrorString();
    EXPECT_EQ(NirekGetState(), 1);  // still moving

    NirekSetWaitMode(0);
    ASSERT_EQ(NirekWaitHalt(), 0);
    double start = MonotonicSeconds();
    EXPECT_EQ(NirekEstop(), 0);
    EXPECT_LT(MonotonicSeconds() - start, 3.0);  // no wait for the held acknowledgement (9 s)
    EXPECT_EQ(NirekGetState(), 0);
    int32_t stopped = static_cast<int32_t>(NirekGetInfo(2, 3));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(static_cast<int32_t>(NirekGetInfo(2, 3)), stopped);
    EXPECT_GT(stopped, 0);
    EXPECT_LT(stopped, 40000 * 1024);
}

}  // namespace
