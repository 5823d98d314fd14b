// The library as an application uses it: Kap_Init through a configuration
// file, moves and positions, Kap_Finish, against zrq-boxsim over a
// pseudo-terminal.
#include <gtest/gtest.h>

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "pty_support.h"
#include "zrqapi.h"

namespace {

#ifdef ZRQ_BOXSIM

class MachineEndToEnd : public ::testing::Test {
protected:
    void SetUp() override
    {
        int probe = posix_openpt(O_RDWR | O_NOCTTY);
        if (probe < 0)
            GTEST_SKIP() << "no pseudo-terminal to be had: " << strerror(errno);
        close(probe);
        ASSERT_TRUE(root.ok());
        dir = root.path();
        root.Write("qorin/qorin.cfg", "1 COMPORT controller on COM1\r\n");
        root.Use();
    }
    void TearDown() override { unsetenv("ZRQAPI_ROOT"); }

    static void WaitForHalt()
    {
        for (int i = 0; i < 500 && Kap_InMotion() == 1; ++i)
            usleep(10000);
        ASSERT_EQ(Kap_InMotion(), 0);
    }

    ScratchRoot root {"machine"};
    std::string dir;
};

TEST_F(MachineEndToEnd, InitMoveReadBackAndFinish)
{
    BoxSimProcess sim;
    ASSERT_TRUE(sim.Start({"--link", dir + "/dev/com1", "--step-info",
        "0x00640019,0x00080001,0x00280001,0x00080001"}));
    ASSERT_EQ(Kap_Init(), 0) << Kap_GetErrorString();
    ASSERT_EQ(Kap_Velocity(300), 0);  // 40,000 steps a second on an 8,000-step inch

    const struct {
        int32_t x, y, z, r;
    } targets[] = {{5000, -2500, 1000, -300}, {-1234, 4321, -20, 2500}};
    for (const auto& t : targets) {
        ASSERT_EQ(Kap_MoveXY(t.x, t.y), 0);
        ASSERT_EQ(Kap_MoveZ(t.z), 0);
        ASSERT_EQ(Kap_MoveR(t.r), 0);
        WaitForHalt();
        int32_t x = 0, y = 0, z = 0, r = 0;
        ASSERT_EQ(Kap_GetMachinePosition(&x, &y, &z), 0);
        ASSERT_EQ(Kap_GetRotorPosition(&r), 0);
        // Reads round a negative position up to one tenth-mil toward zero.
        EXPECT_LE(abs(x - t.x), 1) << t.x;
        EXPECT_LE(abs(y - t.y), 1) << t.y;
        EXPECT_LE(abs(z - t.z), 1) << t.z;
        EXPECT_LE(abs(r - t.r), 1) << t.r;
    }
    ASSERT_EQ(Kap_MoveXY(100, 200), 0);
    WaitForHalt();
    int32_t x = 0, y = 0;
    ASSERT_EQ(Kap_GetRtPos(&x, &y, nullptr), 0);
    EXPECT_EQ(x, 100);
    EXPECT_EQ(y, 200);
    EXPECT_EQ(Kap_Finish(), 0);
    EXPECT_EQ(NirekIsInstalled(), 0);
    EXPECT_STREQ(Kap_GetErrorString(), "Command Failed");
}

TEST_F(MachineEndToEnd, SilentBoxIsReportedAndTheLineClosed)
{
    BoxSimProcess sim;
    ASSERT_TRUE(sim.Start({"--link", dir + "/dev/com1", "--silent"}));
    EXPECT_EQ(Kap_Init(), 8);
    EXPECT_STREQ(Kap_GetErrorString(), "Motion controller is not responding.");
    EXPECT_EQ(NirekIsInstalled(), 0);
}

#else

TEST(MachineEndToEnd, NeedsTheBoxSimulator)
{
    GTEST_SKIP() << "zrq-boxsim is not built here (ZRQ_BOXSIM undefined)";
}

#endif

}  // namespace
