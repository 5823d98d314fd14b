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

#include "zrqapi.h"

namespace {

double Now()
{
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

class ProtocolOverPty : public ::testing::Test {
protected:
    void SetUp() override
    {
#ifndef ZRQ_BOXSIM
        GTEST_SKIP() << "zrq-boxsim is not built in this tree";
#else
        char pattern[] = "/tmp/zrq-proto-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root_ = pattern;
        ASSERT_EQ(mkdir((root_ + "/dev").c_str(), 0755), 0);
        setenv("ZRQAPI_ROOT", root_.c_str(), 1);
#endif
    }

    void TearDown() override
    {
        NirekRemove();
        StopBox();
        if (!root_.empty()) {
            unlink((root_ + "/dev/com1").c_str());
            rmdir((root_ + "/dev").c_str());
            rmdir(root_.c_str());
        }
    }

    // Starts the simulator with its link at COM1 and opens the port on it.
    void StartBox(std::vector<std::string> options = {})
    {
#ifdef ZRQ_BOXSIM
        std::string link = root_ + "/dev/com1";
        std::vector<std::string> args = {ZRQ_BOXSIM, "--link", link};
        args.insert(args.end(), options.begin(), options.end());
        pid_ = fork();
        ASSERT_GE(pid_, 0);
        if (pid_ == 0) {
            std::vector<char*> argv;
            for (std::string& a : args)
                argv.push_back(&a[0]);
            argv.push_back(nullptr);
            if (freopen("/dev/null", "w", stdout) == nullptr)
                _exit(126);
            execv(argv[0], argv.data());
            _exit(127);
        }
        struct stat st;
        double until = Now() + 10;
        while (stat(link.c_str(), &st) != 0 && Now() < until) {
            int status = 0;
            ASSERT_EQ(waitpid(pid_, &status, WNOHANG), 0) << "zrq-boxsim exited early";
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        ASSERT_EQ(stat(link.c_str(), &st), 0) << "zrq-boxsim made no link at " << link;
        ASSERT_EQ(NirekInstall(1), 0);
#else
        (void)options;
#endif
    }

    void StopBox()
    {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            int status = 0;
            waitpid(pid_, &status, 0);
            pid_ = -1;
        }
    }

    std::string root_;
    pid_t pid_ = -1;
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
    double start = Now();
    EXPECT_EQ(NirekGetBoxState(), 3);
    double elapsed = Now() - start;
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
    double start = Now();
    EXPECT_EQ(NirekHomed(), 0);  // homeStatus still holds the preset
    EXPECT_LT(Now() - start, 0.05);
    // The box itself homes all the same.
    double until = Now() + 20;
    while (NirekGetState() == 1 && Now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(NirekGetState(), 0);
    EXPECT_EQ(NirekGetInfo(25, 0), 0u);

    // Read through NirekHomed instead, the acknowledgement reports success.
    EXPECT_EQ(NirekHome(-1), 0);
    EXPECT_EQ(NirekHomed(), 1);
}

}  // namespace
