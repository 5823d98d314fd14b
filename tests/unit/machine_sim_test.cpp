// The whole machine-control layer against the simulated box, in virtual time:
// what is moved is what is read back.
#ifdef ZRQ_HAVE_SIM

#include <gtest/gtest.h>

#include <stdlib.h>

#include "include/zrqapi.h"
#include "machine/machine.h"
#include "platform/fake.h"
#include "support/reset.h"
#include "support/sim_peer.h"
#include "support/temp_root.h"

namespace {

class MachineSim : public ::testing::Test {
protected:
    void SetUp() override { ResetLibraryState(); }
    void TearDown() override { DetachSimBox(); }

    // Lets virtual time run until the box reports it has stopped.
    void WaitForHalt()
    {
        for (int i = 0; i < 10000 && Kap_InMotion() == 1; ++i)
            FakeAdvanceMicros(10000);
        ASSERT_EQ(Kap_InMotion(), 0);
    }

    TempRoot root;
};

TEST_F(MachineSim, PositionsReadBackAsMovedWithinTheDocumentedRounding)
{
    BoxConfig config;
    config.stepInfo[kChannelZ] = 0x00640019;  // 25,000
    config.stepInfo[kChannelR] = 0x00280001;  // 2,500
    Box* box = AttachSimBox(config);
    root.Write("qorin/qorin.cfg", "1 COMPORT \n");
    ASSERT_EQ(Kap_Init(), 0);
    ASSERT_EQ(Kap_Velocity(300), 0);

    const struct {
        int32_t x, y, z, r;
    } targets[] = {{10000, -5000, 2500, -300}, {-12345, 777, -1, 40001}, {0, 0, 0, 0}};
    for (const auto& t : targets) {
        ASSERT_EQ(Kap_MoveXY(t.x, t.y), 0);
        ASSERT_EQ(Kap_MoveZ(t.z), 0);
        ASSERT_EQ(Kap_MoveR(t.r), 0);
        WaitForHalt();
        int32_t x = 0, y = 0, z = 0, r = 0;
        ASSERT_EQ(Kap_GetMachinePosition(&x, &y, &z), 0);
        ASSERT_EQ(Kap_GetRotorPosition(&r), 0);
        // Negative positions may come back one tenth-mil nearer zero.
        EXPECT_LE(abs(x - t.x), 1) << t.x;
        EXPECT_LE(abs(y - t.y), 1) << t.y;
        EXPECT_LE(abs(z - t.z), 1) << t.z;
        EXPECT_LE(abs(r - t.r), 1) << t.r;
        EXPECT_EQ(x, t.x < 0 ? t.x + 1 : t.x);
        EXPECT_EQ(box->Position(kChannelX), TenthMilsToCounts(t.x, 12500));
    }
    EXPECT_EQ(Kap_MoveXYZ(3000, 2000, 1000), 0);
    WaitForHalt();
    int32_t x = 0, y = 0, z = 0;
    ASSERT_EQ(Kap_GetRtPos(&x, &y, &z), 0);
    EXPECT_EQ(x, 3000);
    EXPECT_EQ(y, 2000);
    EXPECT_EQ(box->Slot(2), kNoAxis);  // 2D mode: the third slot holds nothing
    EXPECT_TRUE(box->PenDown());

    // A jog of X to 2,000 tenth-mils.
    ASSERT_EQ(Kap_JogBeginX(), 0);
    ASSERT_EQ(Kap_JogSetPosition(2000), 0);
    FakeAdvanceMicros(2000000);
    SimBoxCatchUp();
    ASSERT_EQ(Kap_JogEnd(), 0);
    ASSERT_EQ(Kap_GetRtPos(&x, nullptr, nullptr), 0);
    EXPECT_EQ(x, 2000);

    EXPECT_EQ(Kap_Home(), 0);
    WaitForHalt();
    ASSERT_EQ(Kap_GetMachinePosition(&x, &y, &z), 0);
    EXPECT_EQ(x, 0);
    EXPECT_EQ(y, 0);
    EXPECT_EQ(Kap_Finish(), 0);
    EXPECT_EQ(NirekIsInstalled(), 0);
    EXPECT_EQ(box->Param(34), 768);
}

TEST_F(MachineSim, ControllerWithoutStepInformationIsDescribedByItsMpmFile)
{
    BoxConfig config;
    config.identifier = "K12.1A";
    for (int ch = 0; ch < kChannelCount; ++ch) {
        config.stepInfo[ch] = 0;
        config.velocityUnit[ch] = 0;
    }
    AttachSimBox(config);
    root.Write("qorin/mpm/K12.mpm",
        "46 MPM.VER \r\n12500 X.STEPDIST \r\n12500 Y.STEPDIST \r\n25000 Z.STEPDIST \r\n"
        "100000 R.STEPDIST \r\n655360 X.FLAGS \r\n655360 Y.FLAGS \r\n0 Z.FLAGS \r\n"
        "131072 R.FLAGS \r\n\x1A");
    ASSERT_EQ(Kap_InitOnCom(1), 0);
    EXPECT_EQ(g_machine.axisStep[kChannelR], 100000);
    EXPECT_EQ(g_machine.rVunit, 64u);
    EXPECT_EQ(g_machine.velocityFactor, 512000);
    ASSERT_EQ(Kap_MoveZ(-2500), 0);
    WaitForHalt();
    int32_t z = 0;
    ASSERT_EQ(Kap_GetMachinePosition(nullptr, nullptr, &z), 0);
    EXPECT_EQ(z, -2499);
}

}  // namespace

#endif
