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

#include "zrqapi.h"

namespace {

#ifdef ZRQ_BOXSIM

// One zrq-boxsim process, ended with SIGTERM.
class SimProcess {
public:
    ~SimProcess()
    {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
        if (out_ >= 0)
            close(out_);
    }

    // Starts it and waits for the terminal path it prints first.
    bool Start(const std::vector<std::string>& options)
    {
        int out[2];
        if (pipe(out) != 0)
            return false;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(out[1], 1);
            close(out[0]);
            alarm(120);  // never outlive a hung test
            std::vector<std::string> args = options;
            args.insert(args.begin(), ZRQ_BOXSIM);
            std::vector<char*> argv;
            for (std::string& a : args)
                argv.push_back(&a[0]);
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(out[1]);
        out_ = out[0];
        std::string line;
        char c;
        pollfd pfd = {out_, POLLIN, 0};
        while (poll(&pfd, 1, 5000) > 0 && read(out_, &c, 1) == 1 && c != '\n')
            line += c;
        return !line.empty() && line[0] == '/';
    }

private:
    pid_t pid_ = -1;
    int out_ = -1;
};

class MachineEndToEnd : public ::testing::Test {
protected:
    void SetUp() override
    {
        int probe = posix_openpt(O_RDWR | O_NOCTTY);
        if (probe < 0)
            GTEST_SKIP() << "no pseudo-terminal to be had: " << strerror(errno);
        close(probe);
        char pattern[] = "/tmp/zrq-machine-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
        std::filesystem::create_directories(dir + "/dev");
        std::filesystem::create_directories(dir + "/qorin");
        std::ofstream(dir + "/qorin/qorin.cfg") << "1 COMPORT controller on COM1\r\n";
        setenv("ZRQAPI_ROOT", dir.c_str(), 1);
    }
    void TearDown() override
    {
        unsetenv("ZRQAPI_ROOT");
        std::error_code ignored;
        if (!dir.empty())
            std::filesystem::remove_all(dir, ignored);
    }

    static void WaitForHalt()
    {
        for (int i = 0; i < 500 && Kap_InMotion() == 1; ++i)
            usleep(10000);
        ASSERT_EQ(Kap_InMotion(), 0);
    }

    std::string dir;
};

TEST_F(MachineEndToEnd, InitMoveReadBackAndFinish)
{
    SimProcess sim;
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
    SimProcess sim;
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
