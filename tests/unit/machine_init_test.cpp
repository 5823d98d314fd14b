// Initialisation and shutdown against a scripted box: result codes and their
// messages, the configuration sequence on the wire, MPM files, traces.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <functional>
#include <string>

#include "include/zrqapi.h"
#include "machine/machine.h"
#include "platform/fake.h"
#include "protocol/protocol.h"
#include "support/reset.h"
#include "support/temp_root.h"
#include "unit/machine_box.h"

namespace {

const char kGoodMpm[] = "46 MPM.VER version for identifier suffix 1A\n"
                        "12500 X.STEPDIST 8000 steps per inch\n"
                        "12500 Y.STEPDIST 8000 steps per inch\n"
                        "25000 Z.STEPDIST 4000 steps per inch\n"
                        "100000 R.STEPDIST 1000 steps per inch\n"
                        "655360 X.FLAGS bits 16 to 19 hold 10, unit 16384\n"
                        "655360 Y.FLAGS unit 16384\n"
                        "0 Z.FLAGS unit 16\n"
                        "131072 R.FLAGS bits 16 to 19 hold 2, unit 64\n";

class MachineInit : public ::testing::Test {
public:
    void SetUp() override
    {
        ResetLibraryState();
        box.Attach();
    }
    void TearDown() override { FakeDetachPeer(); }

    // The controller leaves X undescribed, so the MPM file is read.
    void UseMpm(const std::string& identifier)
    {
        box.info[27 << 8 | kAxisChannelX] = 0;
        box.identifier = identifier;
    }

    TempRoot root;
    MachineBox box;
};

std::string ExpectedConfiguration()
{
    std::string s;
    auto add = [&s](const std::string& frame) { s += (s.empty() ? "" : " | ") + frame; };
    for (int32_t v : {0, 1, 3}) {
        add(MachineBox::Param(12, v));
        add(MachineBox::Param(53, 1));
    }
    for (int k = 0; k <= 16; ++k)
        add(MachineBox::Param(54, 0x100 + k * 0x10000));
    add(MachineBox::Param(55, 0));
    add(MachineBox::Param(68, 0));
    add("55");
    add(MachineBox::Param(52, 1));
    add(MachineBox::Param(38, 1));
    add(MachineBox::Param(67, 0));
    add("6D 00");
    for (int n = 0; n <= 3; ++n)
        add(MachineBox::Param(34, n * 256 + 1));
    for (int a : {2, 1}) {
        add(MachineBox::Param(12, a));
        add(MachineBox::Param(13, 256));
        add(MachineBox::Param(35, 1));
    }
    // The default selection and the spacing that goes with it.
    add("50 03 01 04");
    add(MachineBox::Param(12, 0));
    add(MachineBox::Param(51, 0));
    return s;
}

TEST_F(MachineInit, SendsTheConfigurationSequenceAndSelectsTheDefaultPair)
{
    Kap_3dMode();
    Kap_SetWaitMode(0);
    ASSERT_EQ(Kap_InitOnCom(2), 0);
    EXPECT_EQ(box.FramesFrom(0).substr(0, 8 * 11 - 3),
        "53 1B 03 | 53 1B 01 | 53 1B 00 | 53 1B 02 | 53 1A 03 | 53 1A 01 | 53 1A 00 | 53 1A 02");
    EXPECT_EQ(box.CommandsFrom(0), ExpectedConfiguration());
    EXPECT_EQ(NirekIsInstalled(), 1);
    EXPECT_TRUE(FakePortOpen(2));
    EXPECT_EQ(g_protocol.waitMode, 1);
    EXPECT_EQ(g_machine.mode3d, 0);
    EXPECT_EQ(g_machine.selectedChannel, kAxisChannelY);
    EXPECT_EQ(g_machine.selectedThird, kNoAxisChannel);
    EXPECT_EQ(g_machine.velocityFactor, 512000);
    EXPECT_EQ(Kap_GetErrorString(), nullptr);  // success sets no message
    for (int32_t step : g_machine.axisStep)
        EXPECT_EQ(step, 12500);
}

struct FailureCase {
    const char* name;
    std::function<void(MachineInit&)> arrange;
    int32_t port;
    int32_t result;
    const char* message;
    int32_t installedAfter;
    const char* trace;  // the failure's own trace line
};

TEST_F(MachineInit, EachFailureGivesItsCodeMessageAndChannelState)
{
    const FailureCase cases[] = {
        {"no performance counter", [](MachineInit&) { FakeSetCounterMissing(true); }, 1, 2,
            "Performance counter unsupported", 0, "?No performance counter\n"},
        {"no configuration file", [](MachineInit&) {}, -1, 3,
            "Can't read c:\\qorin\\qorin.cfg or c:\\qv\\main.cfg", 0, "?Can't read config\n"},
        {"configuration without the key",
            [](MachineInit& t) { t.root.Write("qorin/qorin.cfg", "3 COMPORT"); }, -1, 3,
            "Can't read c:\\qorin\\qorin.cfg or c:\\qv\\main.cfg", 0, "?Can't read config\n"},
        {"port 0", [](MachineInit&) {}, 0, 7, "Can't open COM port", 0, "?Can't open COM0\n"},
        {"port 9", [](MachineInit&) {}, 9, 7, "Can't open COM port", 0, "?Can't open COM9\n"},
        {"port -2", [](MachineInit&) {}, -2, 7, "Can't open COM port", 0, "?Can't open COM-2\n"},
        {"missing device", [](MachineInit&) { FakeSetPortExists(4, false); }, 4, 7,
            "Can't open COM port", 0, "?Can't open COM4\n"},
        {"silent box", [](MachineInit& t) { t.box.silent = true; }, 1, 8,
            "Motion controller is not responding.", 0, "?Box is dead\n"},
        {"box that stops synchronising", [](MachineInit& t) { t.box.syncAnswers = 6; }, 1, 9,
            "Can't synchronize", 0, "?Can't SYNC\n"},
        {"no MPM file", [](MachineInit& t) { t.UseMpm("K12.1A"); }, 1, 5, "Can't read MPM file", 0,
            "?ReadMpm: Can't read MPM file\n"},
        {"MPM without R step",
            [](MachineInit& t) {
                t.UseMpm("K12.1A");
                std::string text = kGoodMpm;
                text.erase(text.find("100000 R.STEPDIST"), 38);
                t.root.Write("qorin/mpm/K12.mpm", text);
            },
            1, 6, "Bad MPM file", 0, "?ReadMpm: Bad MPM file\n"},
        {"MPM of another version",
            [](MachineInit& t) {
                t.UseMpm("K12.1A");
                t.root.Write("qorin/mpm/K12.mpm", "45 MPM.VER \n");
            },
            1, 10, "Wrong MPM version", 0, "?ReadMpm: Wrong MPM version\n"},
        {"Y step not reported", [](MachineInit& t) { t.box.info[26 << 8 | kAxisChannelY] = 0; }, 1,
            11, "Bad motion parameters", 0, "?Bad motion parameters\n"},
        {"R unit not reported", [](MachineInit& t) { t.box.info[27 << 8 | kAxisChannelR] = 0; }, 1,
            11, "Bad motion parameters", 0, "?Bad motion parameters\n"},
        {"step word without divisor",
            [](MachineInit& t) { t.box.info[26 << 8 | kAxisChannelZ] = 0x0000FFFF; }, 1, 11,
            "Bad motion parameters", 0, "?Bad motion parameters\n"},
    };
    for (const FailureCase& c : cases) {
        ResetLibraryState();
        box = MachineBox();
        box.Attach();
        root.Remove("qorin/qorin.cfg");
        root.Remove("qorin/mpm/K12.mpm");
        c.arrange(*this);
        Kap_SetDebugMask(1);
        testing::internal::CaptureStdout();
        int32_t result = Kap_InitOnCom(c.port);
        std::string trace = testing::internal::GetCapturedStdout();
        EXPECT_EQ(result, c.result) << c.name;
        ASSERT_NE(Kap_GetErrorString(), nullptr) << c.name;
        EXPECT_STREQ(Kap_GetErrorString(), c.message) << c.name;
        EXPECT_EQ(NirekIsInstalled(), c.installedAfter) << c.name;
        EXPECT_NE(trace.find(c.trace), std::string::npos) << c.name << ": " << trace;
        EXPECT_EQ(trace.find("Init succeeded"), std::string::npos) << c.name;
        EXPECT_EQ(g_machine.jogActive, 0) << c.name;
    }
}

TEST_F(MachineInit, ConfigurationFailuresSendNothingAndLeaveAnOpenChannelOpen)
{
    ASSERT_EQ(Kap_InitOnCom(1), 0);
    size_t framesBefore = box.frames.size();
    FakeClearSent();
    EXPECT_EQ(Kap_InitOnCom(-1), 3);
    EXPECT_EQ(FakeSentHex(), "");
    EXPECT_EQ(box.frames.size(), framesBefore);
    EXPECT_EQ(NirekIsInstalled(), 1);
}

TEST_F(MachineInit, PortComesFromTheFirstConfigurationThatHasIt)
{
    const struct {
        const char* qorin;  // null: no file
        const char* qv;
        int32_t port;
        const char* mpmDir;
    } cases[] = {
        {"3 COMPORT controller on COM3\n", "5 COMPORT \n", 3, "c:\\qorin\\mpm\\"},
        {nullptr, "5 COMPORT \n", 5, "c:\\qv\\mpm\\"},
        {"3 COMPORT\n", "6 COMPORT \n", 6, "c:\\qv\\mpm\\"},
    };
    for (const auto& c : cases) {
        ResetLibraryState();
        box = MachineBox();
        box.Attach();
        UseMpm("K12.1A");
        root.Remove("qorin/qorin.cfg");
        root.Remove("qv/main.cfg");
        if (c.qorin)
            root.Write("qorin/qorin.cfg", c.qorin);
        root.Write("qv/main.cfg", c.qv);
        root.Write("qorin/mpm/K12.mpm", kGoodMpm);
        root.Write("qv/mpm/K12.mpm", kGoodMpm);
        Kap_SetDebugMask(1);
        testing::internal::CaptureStdout();
        EXPECT_EQ(Kap_Init(), 0);
        std::string trace = testing::internal::GetCapturedStdout();
        EXPECT_TRUE(FakePortOpen(c.port)) << c.port;
        EXPECT_NE(trace.find(std::string("\n>>MPM name: ") + c.mpmDir + "K12.mpm, version: 46 "),
            std::string::npos)
            << trace;
    }
}

TEST_F(MachineInit, MpmFileNamesAndVersionsFollowTheIdentifier)
{
    const struct {
        const char* identifier;
        const char* file;  // under qorin/mpm/
        const char* version;
        int32_t result;
        bool deviceName = false;  // Windows would open the device, not a file
    } cases[] = {
        {"K12.1A", "K12.mpm", "46", 0},
        {"K12", "K12.mpm", "-1", 0},
        {"K12.", "K12.mpm", "0", 0},
        {"K.1.2", "K.mpm", "1226", 0},
        {"", ".mpm", "-1", 0},  // a box that answers no identifier query
        {"K12.1A", "K12.mpm", "45", 10},
        {"a/b.1", "a/b.mpm", "1", 5},  // the identifier may not leave the directory
        {"C:K12", "K12.mpm", "-1", 5},
        {"..\\K12", "K12.mpm", "-1", 5},
        // Names Windows opens as devices, whatever the extension, are refused
        // there even where a file exists; elsewhere they are plain file names.
        {"COM2.1", "COM2.mpm", "1", 0, true},
        {"COM1.1", "COM1.mpm", "1", 0, true},
        {"nul", "nul.mpm", "-1", 0, true},
        {"Con .1", "Con .mpm", "1", 0, true},
        {"CON.1A", "CON.mpm", "46", 0, true},
        {"LPT0", "LPT0.mpm", "-1", 0, true},
        {"AUX .Z", "AUX .mpm", "35", 0, true},
        {"CONIN$", "CONIN$.mpm", "-1", 0, true},
        {"conout$.2", "conout$.mpm", "2", 0, true},
        {"COM\xB9.1", "COM\xB9.mpm", "1", 0, true},         // superscript one, Windows-1252
        {"lpt\xC2\xB3", "lpt\xC2\xB3.mpm", "-1", 0, true},  // superscript three, UTF-8
        {"COM", "COM.mpm", "-1", 0},
        {"COMX.1", "COMX.mpm", "1", 0},
        {"COM10.1", "COM10.mpm", "1", 0},
        {"CONIN.1", "CONIN.mpm", "1", 0},
    };
#ifdef _WIN32
    const bool devicesRefused = true;
#else
    const bool devicesRefused = false;
#endif
    for (const auto& c : cases) {
        ResetLibraryState();
        box = MachineBox();
        box.Attach();
        UseMpm(c.identifier);
        root.Remove("qorin/mpm/K12.mpm");
        root.Remove("qorin/mpm/K.mpm");
        root.Remove("qorin/mpm/.mpm");
        std::string text = kGoodMpm;
        text.replace(0, 2, c.version);
        std::string file = c.file;
#ifdef _WIN32
        const bool writable = file.find('/') == std::string::npos && !c.deviceName;
#else
        const bool writable = file.find('/') == std::string::npos;
#endif
        if (writable)
            root.Write("qorin/mpm/" + file, text);
        const int32_t expected = c.deviceName && devicesRefused ? 5 : c.result;
        EXPECT_EQ(Kap_InitOnCom(1), expected) << c.identifier;
        if (expected != 0)
            continue;
        // The file's values replace the controller's for every axis.
        EXPECT_EQ(g_machine.axisStep[kAxisChannelX], 12500) << c.identifier;
        EXPECT_EQ(g_machine.axisStep[kAxisChannelZ], 25000) << c.identifier;
        EXPECT_EQ(g_machine.axisStep[kAxisChannelR], 100000) << c.identifier;
        EXPECT_EQ(g_machine.xVunit, 16384u);
        EXPECT_EQ(g_machine.zVunit, 16u);
        EXPECT_EQ(g_machine.rVunit, 64u);
    }
}

TEST_F(MachineInit, RefusedIdentifierTracesItsMpmNameLikeAnyOther)
{
    UseMpm("a/b.1");
    Kap_SetDebugMask(1);
    testing::internal::CaptureStdout();
    EXPECT_EQ(Kap_InitOnCom(1), 5);
    std::string trace = testing::internal::GetCapturedStdout();
    EXPECT_NE(trace.find("\n>>MPM name: c:\\qorin\\mpm\\a/b.mpm, version: 1 "
                         "?ReadMpm: Can't read MPM file\n"),
        std::string::npos)
        << trace;
}

TEST_F(MachineInit, MpmFileWithoutAFlagsKeyIsBad)
{
    UseMpm("K12.1A");
    std::string text = kGoodMpm;
    text.erase(text.find("0 Z.FLAGS"), 17);
    root.Write("qorin/mpm/K12.mpm", text);
    EXPECT_EQ(Kap_InitOnCom(1), 6);
    EXPECT_STREQ(Kap_GetErrorString(), "Bad MPM file");
    EXPECT_EQ(g_machine.zVunit, 0u);
}

TEST_F(MachineInit, FailedMpmLeavesWhatItReadAndMinusOneForMissingSteps)
{
    UseMpm("K12.1A");
    root.Write("qorin/mpm/K12.mpm", "46 MPM.VER \n777 Y.STEPDIST \n0 X.FLAGS \n");
    EXPECT_EQ(Kap_InitOnCom(1), 6);
    EXPECT_EQ(g_machine.axisStep[kAxisChannelX], -1);
    EXPECT_EQ(g_machine.axisStep[kAxisChannelY], 777);
    EXPECT_EQ(g_machine.xVunit, 16u);
}

TEST_F(MachineInit, StepFromInfoDividesLowHalfByHighHalf)
{
    ASSERT_EQ(NirekInstall(1), 0);
    const struct {
        uint32_t word;
        int32_t step;
    } cases[] = {{0, 0}, {0x00080001, 12500}, {0x00640019, 25000},
        {0x0001A7F8, 5032704},  // 4,300,000,000 keeps its low 32 bits
        {0x0000FFFF, 0}, {0xFFFFFFFF, 100000}, {0x00010000, 0}};
    for (const auto& c : cases) {
        box.info[26 << 8 | 2] = c.word;
        EXPECT_EQ(StepFromInfo(2), c.step) << std::hex << c.word;
    }
}

TEST_F(MachineInit, VerboseTraceOfASuccessfulInitialisation)
{
    box.info[27 << 8 | kAxisChannelR] = 64;
    box.info[26 << 8 | kAxisChannelZ] = 0x00640019;
    Kap_SetDebugMask(1);
    testing::internal::CaptureStdout();
    ASSERT_EQ(Kap_InitOnCom(1), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
        "\n>>Kap_InitOnCom(1)  BoxState=0   Synced "
        "\n>>xVunit=16384, yVunit=16384, zVunit=16384, rVunit=64"
        "\n>>xStep=12500, yStep=12500, zStep=25000, rStep=12500 "
        " Setting params \nSelectXYZ(3,1,4)\n>>TenthMils=0, 22.10=0   Init succeeded\n");
}

TEST_F(MachineInit, ErrorStringSurvivesALaterSuccessAndFinishSetsCommandFailed)
{
    EXPECT_EQ(Kap_GetErrorString(), nullptr);
    EXPECT_EQ(Kap_InitOnCom(9), 7);
    EXPECT_EQ(Kap_InitOnCom(1), 0);
    EXPECT_STREQ(Kap_GetErrorString(), "Can't open COM port");
    size_t before = box.frames.size();
    EXPECT_EQ(Kap_Finish(), 0);
    EXPECT_EQ(box.FramesFrom(before),
        MachineBox::Param(34, 0) + " | " + MachineBox::Param(34, 256) + " | "
            + MachineBox::Param(34, 512) + " | " + MachineBox::Param(34, 768));
    EXPECT_STREQ(Kap_GetErrorString(), "Command Failed");
    EXPECT_EQ(NirekIsInstalled(), 0);
    EXPECT_FALSE(FakePortOpen(1));
    // Shutdown keeps what initialisation learnt.
    EXPECT_EQ(g_machine.axisStep[kAxisChannelY], 12500);
    EXPECT_EQ(g_machine.selectedChannel, kAxisChannelY);
}

TEST_F(MachineInit, BoxThatFallsSilentMidwayEndsWithinTheDocumentedWaits)
{
    box.silentAfterFrames = 3;  // after three unit queries
    uint64_t start = FakeClockMicros();
    EXPECT_EQ(Kap_InitOnCom(1), 5);  // units and steps 0, then no identifier, no ".mpm"
    EXPECT_EQ(NirekIsInstalled(), 0);
    // Eight remaining queries, each 60 s for the first byte and 3 x 100 ms.
    EXPECT_LT(FakeClockMicros() - start, 9 * 60400000ull);
}

TEST_F(MachineInit, FinishOnAChannelThatNeverOpenedWaitsOutOneAcknowledgement)
{
    // One time-out and a synchronisation that gets no echo (32 attempts of a
    // 2 ms drain and a 200 ms wait); the link is then dead and the other
    // three parameters fail at once. The failure is reported.
    FakeDetachPeer();
    ASSERT_EQ(Kap_InitOnCom(9), 7);
    const struct {
        int32_t timeout;
        double seconds;
    } cases[] = {{600, 60 + 32 * 0.202}, {1, 0.1 + 32 * 0.202}};
    for (const auto& c : cases) {
        NirekSetTimeout(c.timeout);
        uint64_t start = FakeClockMicros();
        EXPECT_EQ(Kap_Finish(), 1);
        double elapsed = static_cast<double>(FakeClockMicros() - start) / 1e6;
        EXPECT_NEAR(elapsed, c.seconds, 0.5) << c.timeout;
    }
}

#ifndef _WIN32
// A FIFO would hold initialisation until some writer came; /dev/zero would
// be read for ever without a line end. Neither is a file to read.
TEST_F(MachineInit, KeyFilesThatAreNoRegularFilesReadAsUnreadableAtOnce)
{
    const struct {
        const char* file;
        bool fifo;  // else a link to /dev/zero
        int32_t port;
        int32_t result;
    } cases[] = {
        {"qorin/qorin.cfg", true, -1, 3},
        {"qorin/qorin.cfg", false, -1, 3},
        {"qorin/mpm/K12.mpm", true, 1, 5},
        {"qorin/mpm/K12.mpm", false, 1, 5},
    };
    for (const auto& c : cases) {
        ResetLibraryState();
        box = MachineBox();
        box.Attach();
        UseMpm("K12.1A");
        std::string path = root.File(c.file);
        root.Remove(c.file);
        ASSERT_EQ(c.fifo ? mkfifo(path.c_str(), 0600) : symlink("/dev/zero", path.c_str()), 0);
        EXPECT_EQ(Kap_InitOnCom(c.port), c.result) << c.file << (c.fifo ? " FIFO" : " /dev/zero");
        root.Remove(c.file);
    }
}
#endif

TEST_F(MachineInit, SmallExportsWorkBeforeInitialisation)
{
    int32_t major = 0, minor = 0;
    EXPECT_EQ(Kap_GetApiVersion(&major, &minor), 0);
    EXPECT_EQ(major, 2);
    EXPECT_EQ(minor, 1);
    minor = 9;
    EXPECT_EQ(Kap_GetApiVersion(nullptr, &minor), 0);
    EXPECT_EQ(minor, 1);
    EXPECT_EQ(Kap_GetApiVersion(nullptr, nullptr), 0);
    EXPECT_EQ(Kap_TestCall(12345), 12345);
    EXPECT_EQ(Kap_3dMode(), 0);
    EXPECT_EQ(g_machine.mode3d, 1);
    EXPECT_EQ(Kap_2dMode(), 0);
    EXPECT_EQ(g_machine.mode3d, 0);
    EXPECT_EQ(Kap_SetWaitMode(0), 1);
    EXPECT_EQ(Kap_SetWaitMode(5), 0);

    const struct {
        int32_t mask;
        int32_t previous;
        int32_t verbose;
        int32_t protocolMask;
    } masks[] = {{3, 0, 1, 2}, {1, 1, 1, 0}, {2, 1, 0, 2}, {-1, 0, 1, 2}, {0, 1, 0, 0}};
    for (const auto& m : masks) {
        EXPECT_EQ(Kap_SetDebugMask(m.mask), m.previous) << m.mask;
        EXPECT_EQ(g_machine.verbose, m.verbose) << m.mask;
        EXPECT_EQ(g_protocol.traceMask, m.protocolMask) << m.mask;
    }
    EXPECT_EQ(FakeSentHex(), "");
}

}  // namespace
