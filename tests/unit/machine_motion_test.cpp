// Moves, selection cache, pen step, jogging and position reads on the wire.
#include <gtest/gtest.h>

#include <string>

#include "include/zrqapi.h"
#include "machine/machine.h"
#include "platform/fake.h"
#include "protocol/protocol.h"
#include "support/reset.h"
#include "support/temp_root.h"
#include "unit/machine_box.h"

namespace {

std::string Long(int32_t value)
{
    char text[16];
    uint32_t v = static_cast<uint32_t>(value);
    snprintf(text, sizeof text, "%02X %02X %02X %02X", v >> 24, (v >> 16) & 0xFF, (v >> 8) & 0xFF,
        v & 0xFF);
    return text;
}

class MachineMotion : public ::testing::Test {
protected:
    void SetUp() override
    {
        ResetLibraryState();
        box.Attach();
    }
    void TearDown() override { FakeDetachPeer(); }

    // Initialised with X and Y steps of 12,500, Z 25,000 and R 2,500.
    void Init()
    {
        box.info[26 << 8 | kAxisChannelZ] = 0x00640019;
        box.info[26 << 8 | kAxisChannelR] = 0x00280001;
        ASSERT_EQ(Kap_InitOnCom(1), 0);
        mark = box.frames.size();
    }
    // Frames since the last look.
    std::string Sent()
    {
        std::string s = box.FramesFrom(mark);
        mark = box.frames.size();
        return s;
    }
    std::string Spacing(int32_t count, int32_t counts)
    {
        return MachineBox::Param(12, counts) + " | " + MachineBox::Param(51, count);
    }

    MachineBox box;
    size_t mark = 0;
};

TEST_F(MachineMotion, CallsThatNeedTheChannelRefuseBeforeInitialisation)
{
    int32_t x = 5;
    const struct {
        const char* name;
        int32_t (*call)(int32_t*);
    } calls[] = {
        {"MoveXY", [](int32_t*) { return Kap_MoveXY(1, 2); }},
        {"MoveXYZ", [](int32_t*) { return Kap_MoveXYZ(1, 2, 3); }},
        {"MoveZ", [](int32_t*) { return Kap_MoveZ(1); }},
        {"Move4Axis", [](int32_t*) { return Kap_Move4Axis(1); }},
        {"Home", [](int32_t*) { return Kap_Home(); }},
        {"LaserOn", [](int32_t*) { return Kap_LaserOn(1); }},
        {"JogBeginY", [](int32_t*) { return Kap_JogBeginY(); }},
        {"JogEnd", [](int32_t*) { return Kap_JogEnd(); }},
        {"GetRtPos", [](int32_t* p) { return Kap_GetRtPos(p, p, p); }},
        {"GetMachinePosition", [](int32_t* p) { return Kap_GetMachinePosition(p, p, p); }},
        {"Get4AxisPosition", [](int32_t* p) { return Kap_Get4AxisPosition(p); }},
        {"GetRotorPosition null", [](int32_t*) { return Kap_GetRotorPosition(nullptr); }},
        {"Velocity", [](int32_t*) { return Kap_Velocity(10); }},
        {"VelocityMils", [](int32_t*) { return Kap_VelocityMils(10000); }},
        {"SetSampleSpacing", [](int32_t*) { return Kap_SetSampleSpacing(1, 10); }},
    };
    for (const auto& c : calls) {
        EXPECT_EQ(c.call(&x), 10) << c.name;
        EXPECT_STREQ(Kap_GetErrorString(), "Not initialized") << c.name;
    }
    EXPECT_EQ(x, 5);
    // These answer without the channel.
    EXPECT_EQ(Kap_SetSampleSpacing(70000, 10), 1);
    EXPECT_STREQ(Kap_GetErrorString(), "Command Failed");
    EXPECT_EQ(Kap_JogSetPosition(5), 1);
    Kap_TestCall(0);
    EXPECT_EQ(Kap_InMotion(), 0);
    EXPECT_STREQ(Kap_GetErrorString(), "Command Failed");  // untouched by InMotion
    EXPECT_EQ(FakeSentHex(), "");
}

TEST_F(MachineMotion, MovesSendSelectionOnlyWhenThePairChanges)
{
    Init();
    // 10,000 tenth-mils at step 12,500 is 8,192,000 counts (+0: 5,000 / 12,500 truncates).
    EXPECT_EQ(Kap_MoveXY(10000, -10000), 0);
    EXPECT_EQ(Sent(), "44 | 61 " + Long(8192000) + " " + Long(-8192000));
    EXPECT_EQ(Kap_MoveXY(1, 2), 0);
    EXPECT_EQ(Sent(), "44 | 61 " + Long(819) + " " + Long(1638));
    Kap_PenDown();
    Sent();
    EXPECT_EQ(Kap_MoveXYZ(0, 0, 10000), 0);  // Z step 25,000
    EXPECT_EQ(Sent(), "48 " + Long(0) + " " + Long(0) + " " + Long(4096000));

    Kap_SetSampleSpacing(7, 100);
    EXPECT_EQ(Sent(), Spacing(7, 81920));  // converted with the Y step
    Kap_3dMode();
    EXPECT_EQ(Kap_MoveXY(0, 0), 0);
    EXPECT_EQ(Sent(), "50 03 01 00 | " + Spacing(7, 81920) + " | 61 " + Long(0) + " " + Long(0));

    EXPECT_EQ(Kap_MoveZ(-10000), 0);
    EXPECT_EQ(Sent(), "50 03 00 04 | " + Spacing(7, 40960) + " | 7A 00 " + Long(-4096000));
    EXPECT_EQ(Kap_MoveR(1), 0);  // R step 2,500: 1 tenth-mil is 4,096 counts
    EXPECT_EQ(Sent(), "50 03 02 00 | " + Spacing(7, 409600) + " | 7A 02 " + Long(4096));
    Kap_2dMode();
    EXPECT_EQ(Kap_Move4Axis(1), 0);
    EXPECT_EQ(Sent(), "50 03 02 04 | " + Spacing(7, 409600) + " | 7A 02 " + Long(4096));
    EXPECT_EQ(Kap_MoveR(2), 0);
    EXPECT_EQ(Sent(), "7A 02 " + Long(8192));
    EXPECT_EQ(Kap_PenUp(), 0);
    EXPECT_EQ(Kap_MoveXY(0, 0), 0);
    EXPECT_EQ(Sent(),
        "55 | 50 03 01 04 | " + Spacing(7, 81920) + " | 44 | 61 " + Long(0) + " " + Long(0));
    EXPECT_STREQ(Kap_GetErrorString(), "Command Failed");
}

TEST_F(MachineMotion, FailedSelectionInvalidatesTheCacheAndStopsTheMove)
{
    Init();
    Kap_3dMode();
    box.dropAckLetters = "P";
    EXPECT_EQ(Kap_MoveXY(1, 1), 1);
    EXPECT_EQ(g_machine.selectedChannel, -1);
    EXPECT_EQ(g_machine.selectedThird, -1);
    std::string sent = box.CommandsFrom(mark);
    EXPECT_EQ(sent.find("61 "), std::string::npos) << sent;
    EXPECT_NE(sent.find(MachineBox::Param(51, 0)), std::string::npos) << sent;  // spacing re-sent
    box.dropAckLetters = "";
    mark = box.frames.size();
    EXPECT_EQ(Kap_MoveXY(1, 1), 0);
    EXPECT_EQ(box.CommandsFrom(mark).substr(0, 11), "50 03 01 00");
}

TEST_F(MachineMotion, MoveWhoseAcknowledgementTimesOutReturnsOne)
{
    Init();
    box.dropAckLetters = "a";
    EXPECT_EQ(Kap_MoveXY(1, 1), 1);
    box.dropAckLetters = "";
    EXPECT_EQ(Kap_MoveXY(1, 1), 0);
}

TEST_F(MachineMotion, ZeroStepsNeverReachTheWire)
{
    // Opened directly: every step is still 0.
    ASSERT_EQ(NirekInstall(1), 0);
    FakeClearSent();
    EXPECT_EQ(Kap_MoveXY(10, 10), 1);
    EXPECT_EQ(Kap_MoveXYZ(10, 10, 10), 1);
    EXPECT_EQ(Kap_MoveZ(10), 1);
    EXPECT_EQ(Kap_MoveR(10), 1);
    EXPECT_EQ(Kap_SetSampleSpacing(1, 10), 1);
    EXPECT_STREQ(Kap_GetErrorString(), "Command Failed");
    EXPECT_EQ(Kap_JogBeginX(), 0);
    EXPECT_EQ(Kap_JogSetPosition(100), 1);
    EXPECT_EQ(box.CommandsFrom(0), "74");  // only the train itself
}

TEST_F(MachineMotion, StepsLeftByAFailedInitialisationNeverReachTheWire)
{
    // A box that does not describe X sends initialisation to the MPM file;
    // these files fail validation and leave their steps behind.
    const struct {
        const char* name;
        const char* mpm;
    } cases[] = {
        {"no step keys: every step -1",
            "46 MPM.VER \n655360 X.FLAGS \n655360 Y.FLAGS \n"
            "0 Z.FLAGS \n0 R.FLAGS \n"},
        {"steps just outside the range",
            "46 MPM.VER \n999 X.STEPDIST \n10000001 Y.STEPDIST \n999 Z.STEPDIST \n"
            "999 R.STEPDIST \n655360 X.FLAGS \n655360 Y.FLAGS \n0 Z.FLAGS \n0 R.FLAGS \n"},
    };
    TempRoot root;
    for (const auto& c : cases) {
        ResetLibraryState();
        box = MachineBox();
        box.Attach();
        box.info[27 << 8 | kAxisChannelX] = 0;
        box.identifier = "K12.1A";
        root.Write("qorin/mpm/K12.mpm", c.mpm);
        ASSERT_EQ(Kap_InitOnCom(1), 6) << c.name;
        g_machine.velocityFactor = 512000;  // as a previous initialisation left it
        ASSERT_EQ(NirekInstall(1), 0) << c.name;
        mark = box.frames.size();
        EXPECT_EQ(Kap_MoveR(1), 1) << c.name;
        EXPECT_EQ(Kap_MoveZ(1), 1) << c.name;
        EXPECT_EQ(Kap_MoveXY(1, 1), 1) << c.name;
        EXPECT_EQ(Kap_MoveXYZ(1, 1, 1), 1) << c.name;
        EXPECT_EQ(Kap_SetSampleSpacing(1, 10), 1) << c.name;
        EXPECT_EQ(Kap_Velocity(10), 1) << c.name;
        EXPECT_EQ(Kap_VelocityMils(10000), 1) << c.name;
        EXPECT_EQ(Kap_JogBeginR(), 0) << c.name;  // the selection is refused, not the jog
        EXPECT_EQ(Kap_JogSetPosition(100), 1) << c.name;
        EXPECT_EQ(Kap_JogEnd(), 0) << c.name;
        EXPECT_STREQ(Kap_GetErrorString(), "Command Failed") << c.name;
        EXPECT_EQ(Sent(), "74 | 47") << c.name;  // only the train itself
    }
}

TEST_F(MachineMotion, CountsBeyond32BitsAndSpeedsBeyondTheSpeedWordAreRefused)
{
    // X, Z and R at 100,000 steps an inch (step 1,000): 209,715 tenth-mils is
    // the farthest position whose count fits 32 bits. Y at 8,000 (12,500).
    for (int32_t channel : {kAxisChannelX, kAxisChannelZ, kAxisChannelR})
        box.info[26 << 8 | channel] = 0x00640001;
    ASSERT_EQ(Kap_InitOnCom(1), 0);
    ASSERT_EQ(g_machine.velocityFactor, 512000);  // 133.3 speed units an inch a minute
    Kap_PenDown();                                // the pen step is out of the way
    Sent();
    const struct {
        const char* name;
        int32_t (*call)();
        int32_t result;
        const char* sent;  // after the move's own selection, if any
    } cases[] = {
        {"XY: X a step too far", [] { return Kap_MoveXY(209716, 0); }, 1, ""},
        {"XY: X a step too far back", [] { return Kap_MoveXY(-209716, 0); }, 1, ""},
        {"XY: Y far beyond", [] { return Kap_MoveXY(0, INT32_MAX); }, 1, ""},
        {"XY: X at the limit", [] { return Kap_MoveXY(209715, 0); }, 0,
            "61 7F FF F8 68 00 00 00 00"},
        {"XYZ: Z too far", [] { return Kap_MoveXYZ(0, 0, 209716); }, 1, ""},
        {"Z too far", [] { return Kap_MoveZ(209716); }, 1, ""},
        {"R too far back", [] { return Kap_MoveR(-209716); }, 1, ""},
        {"R at the limit", [] { return Kap_MoveR(-209715); }, 0,
            "50 03 02 04 | 70 00 0C 00 00 00 00 | 70 00 33 00 00 00 00 | 7A 02 80 00 07 98"},
        {"spacing too long for Y", [] { return Kap_SetSampleSpacing(1, 2621440); }, 1, ""},
        {"spacing at the limit", [] { return Kap_SetSampleSpacing(1, 2621439); }, 0,
            "70 00 0C 7F FF FD 35 | 70 00 33 00 00 00 01"},
        {"speed of 492 in/min is 65,600", [] { return Kap_Velocity(492); }, 1, ""},
        {"negative speed", [] { return Kap_Velocity(-1); }, 1, ""},
        {"speed whose product wraps", [] { return Kap_Velocity(8389); }, 1, ""},
        {"speed of 491 in/min", [] { return Kap_Velocity(491); }, 0, "73 FF BA"},
        {"speed 0", [] { return Kap_Velocity(0); }, 0, "73 00 00"},
        // 133.3 speed values an inch a minute, rounded to the nearest value.
        {"fine speed of 15 mm/min (590.6 mil/min)", [] { return Kap_VelocityMils(591); }, 0,
            "73 00 4F"},
        {"fine speed at the top of the word", [] { return Kap_VelocityMils(491512); }, 0,
            "73 FF FF"},
        {"fine speed a value beyond the word", [] { return Kap_VelocityMils(491520); }, 1, ""},
        {"negative fine speed", [] { return Kap_VelocityMils(-1); }, 1, ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.call(), c.result) << c.name;
        EXPECT_STREQ(Kap_GetErrorString(), "Command Failed") << c.name;
        EXPECT_EQ(Sent(), c.sent) << c.name;
    }

    // A stored spacing too long for the axis coming into the slot is not
    // re-sent with the selection; the move itself goes.
    EXPECT_EQ(Kap_MoveZ(0), 0);
    EXPECT_EQ(Sent(), "50 03 00 04 | 7A 00 00 00 00 00");

    // Jog positions likewise.
    EXPECT_EQ(Kap_JogBeginX(), 0);
    Sent();
    EXPECT_EQ(Kap_JogSetPosition(209716), 1);
    EXPECT_EQ(Sent(), "");
    EXPECT_EQ(Kap_JogSetPosition(209715), 0);
    EXPECT_EQ(Sent(), MachineBox::Param(12, 4) + " | " + MachineBox::Param(24, 536870426));
}

TEST_F(MachineMotion, JogsUseTheirEncoderAndTruncateTowardZero)
{
    box.info[26 << 8 | kAxisChannelX] = 0x00010064;  // step 10,000,000
    Init();
    EXPECT_EQ(Kap_JogEnd(), 0);
    EXPECT_EQ(Sent(), "");
    EXPECT_EQ(Kap_JogBeginX(), 0);
    EXPECT_EQ(Sent(), "74");
    // -4,001 tenth-mils is -4,097 counts: -1,024 to the encoder, not -1,025.
    EXPECT_EQ(Kap_JogSetPosition(-4001), 0);
    EXPECT_EQ(Sent(), MachineBox::Param(12, 4) + " | " + MachineBox::Param(24, -1024));
    EXPECT_EQ(Kap_JogBeginY(), 0);  // ends the X jog first; Y is already selected
    EXPECT_EQ(Sent(), "47 | 74");
    EXPECT_EQ(Kap_JogSetPosition(1), 0);  // 819 counts / 4
    EXPECT_EQ(Sent(), MachineBox::Param(12, 5) + " | " + MachineBox::Param(24, 204));
    EXPECT_EQ(Kap_JogBeginZ(), 0);
    EXPECT_EQ(Sent(), "47 | 50 03 00 04 | " + Spacing(0, 0) + " | 74");
    EXPECT_EQ(Kap_JogSetPosition(-1), 0);  // Z step 25,000: -409 counts, -102
    EXPECT_EQ(Sent(), MachineBox::Param(12, 5) + " | " + MachineBox::Param(24, -102));
    EXPECT_EQ(Kap_JogEnd(), 0);
    EXPECT_EQ(Sent(), "47 | 50 03 01 04 | " + Spacing(0, 0));
    EXPECT_EQ(g_machine.jogActive, 0);
    EXPECT_EQ(Kap_JogSetPosition(1), 1);
    EXPECT_EQ(Sent(), "");
}

TEST_F(MachineMotion, PositionReadsFollowTheSelection)
{
    Init();
    box.slotInfo[12] = 4096000;  // whatever sits in the selectable slot
    box.slotInfo[13] = 409600;
    box.info[25 << 8] = static_cast<uint32_t>(-8192000);
    box.info[2 << 8 | 0] = 8192000;
    box.info[2 << 8 | 1] = 819200;
    box.info[2 << 8 | 2] = 40960;
    int32_t x = 0, y = 0, z = 0, r = 0;

    EXPECT_EQ(Kap_GetMachinePosition(&x, &y, &z), 0);
    EXPECT_EQ(Sent(), "53 19 00 | 53 0C 00 | 53 02 00");
    EXPECT_EQ(x, -9999);  // the positive half favours zero for negative values
    EXPECT_EQ(y, 5000);
    EXPECT_EQ(z, 20000);
    EXPECT_EQ(Kap_GetRtPos(&x, &y, &z), 0);
    EXPECT_EQ(Sent(), "53 19 00 | 53 0C 00 | 53 0D 00");
    EXPECT_EQ(y, 5000);
    EXPECT_EQ(z, 1000);
    EXPECT_EQ(Kap_GetRtPos(nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(Sent(), "53 19 00");
    EXPECT_EQ(Kap_GetRotorPosition(nullptr), 0);
    EXPECT_EQ(Sent(), "");
    EXPECT_EQ(Kap_Get4AxisPosition(&r), 0);
    EXPECT_EQ(Sent(), "53 02 02");
    EXPECT_EQ(r, 10);

    Kap_MoveZ(0);
    Sent();
    EXPECT_EQ(Kap_GetMachinePosition(&x, &y, &z), 0);
    EXPECT_EQ(Sent(), "53 19 00 | 53 0C 00 | 53 02 01");
    EXPECT_EQ(y, 1000);
    EXPECT_EQ(z, 10000);  // the slot value with the Z step
    EXPECT_EQ(Kap_GetRtPos(nullptr, &y, nullptr), 0);
    EXPECT_EQ(y, 10000);  // converted with the step of the channel in the slot

    Kap_MoveR(0);
    Sent();
    EXPECT_EQ(Kap_GetMachinePosition(&x, &y, &z), 0);
    EXPECT_EQ(Sent(), "53 19 00 | 53 0C 00 | 53 02 01 | 53 02 00");
    EXPECT_EQ(Kap_GetRotorPosition(&r), 0);
    EXPECT_EQ(Sent(), "53 19 00 | 53 0C 00");
    EXPECT_EQ(r, 1000);
}

TEST_F(MachineMotion, HomingMotionTestLaserAndSpeed)
{
    Init();
    EXPECT_EQ(Kap_Home(), 0);
    EXPECT_EQ(Sent(), "57 FF");
    box.homeAck = 0x03;
    EXPECT_EQ(Kap_Home(), 1);
    box.runState = 0x00;
    EXPECT_EQ(Kap_InMotion(), 1);
    box.runState = 0x02;
    EXPECT_EQ(Kap_InMotion(), 0);
    Sent();
    EXPECT_EQ(Kap_LaserOn(7), 0);
    EXPECT_EQ(Sent(), MachineBox::Param(52, 1));
    g_machine.velocityFactor = 1000;
    EXPECT_EQ(Kap_Velocity(100), 0);
    EXPECT_EQ(Kap_Velocity(-100), 1);  // no speed word holds a negative speed
    g_machine.velocityFactor = 3840;
    EXPECT_EQ(Kap_Velocity(123), 0);
    EXPECT_EQ(Sent(), "73 00 1A | 73 00 7B");
    EXPECT_EQ(Kap_SetSampleSpacing(-5, 1), 0);
    EXPECT_EQ(Sent(), Spacing(-5, 819));
}

TEST_F(MachineMotion, TracesNameTheCallAndItsArguments)
{
    Init();
    Kap_SetDebugMask(1);
    testing::internal::CaptureStdout();
    Kap_PenDown();
    Kap_MoveXY(1, -2);
    Kap_JogBeginR();
    Kap_JogSetPosition(3);
    Kap_LaserOn(0);
    Kap_Velocity(2);
    std::string trace = testing::internal::GetCapturedStdout();
    EXPECT_EQ(trace,
        "\n>>Kap_PenDown() "
        "\n>>Kap_MoveXY(1,-2)  \n>>TenthMils=-2, 22.10=-1638 \n>>TenthMils=1, 22.10=819 "
        "\n>>Kap_JogBeginR()\n\nSelectXYZ(3,2,4)\n>>TenthMils=0, 22.10=0 "
        "\n>>Kap_JogSetPosition(3)\n\n>>TenthMils=3, 22.10=12288 "
        "\n>>Begin Kap_LaserOn(0) "
        "\n>>Kap_Velocity: IPM=2, Vups=266 ");
}

}  // namespace
