// zrqctl as a child process for the tests: run to the end, or started in the
// background to be signalled while it works.
#ifndef ZRQ_TESTS_PTY_ZRQCTL_SUPPORT_H
#define ZRQ_TESTS_PTY_ZRQCTL_SUPPORT_H

#include <gtest/gtest.h>

#include <errno.h>
#include <poll.h>
#include <pty.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "pty_support.h"

std::vector<std::string> Words(const std::string& text);

struct Outcome {
    int status = -1;  // exit code, or 128 + the signal that ended it
    std::string out;
    std::string err;
};

// Runs zrqctl --root=root with args; standard output and error are pipes.
Outcome RunZrqctl(const std::string& root, const std::vector<std::string>& args, int timeoutS = 60);

// zrqctl started with pipes on standard output and error, standard input
// from /dev/null; killed when the object goes if still running.
class ZrqctlProcess {
public:
    ZrqctlProcess() = default;
    ~ZrqctlProcess();
    ZrqctlProcess(const ZrqctlProcess&) = delete;
    ZrqctlProcess& operator=(const ZrqctlProcess&) = delete;

    // keys: standard input is a pipe the test writes with Type(), else /dev/null.
    bool Start(const std::string& root, const std::vector<std::string>& args, bool keys = false);
    void Type(const std::string& bytes);
    // Reads standard output until it holds want (or the time is up).
    bool WaitForOutput(const std::string& want, int timeoutMs);
    // Exit code (128 + the signal when killed), -1000 when it had to be
    // killed after timeoutMs; collects the rest of both outputs.
    int Wait(int timeoutMs);

    pid_t pid() const { return pid_; }
    std::string out;
    std::string err;

private:
    pid_t pid_ = -1;
    int outFd_ = -1;
    int errFd_ = -1;
    int keysFd_ = -1;
};

// ---- fixtures ----

inline void WriteFile(const std::string& path, const std::string& text)
{
    std::ofstream(path) << text;
}

class ZrqctlTest : public ::testing::Test {
protected:
    std::string root;

    void SetUp() override
    {
        char pattern[] = "/tmp/zrq-ctl-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root = pattern;
        std::filesystem::create_directories(root + "/dev");
        std::filesystem::create_directories(root + "/qorin");
    }

    void TearDown() override
    {
        std::error_code ignored;
        std::filesystem::remove_all(root, ignored);
    }

    std::string File(const std::string& name, const std::string& text)
    {
        std::string path = root + "/" + name;
        WriteFile(path, text);
        return path;
    }

    Outcome Run(const std::string& args) { return RunZrqctl(root, Words(args)); }
};

// A line whose far end the test holds and that never answers.
class ZrqctlOnSilentLine : public ZrqctlTest {
protected:
    int boxMaster = -1;
    int boxSlave = -1;

    void SetUp() override
    {
        ZrqctlTest::SetUp();
        char slaveName[128];
        if (openpty(&boxMaster, &boxSlave, slaveName, nullptr, nullptr) != 0)
            GTEST_SKIP() << "no pseudo-terminal to be had: " << strerror(errno);
        ASSERT_EQ(symlink(slaveName, (root + "/dev/com1").c_str()), 0);
        File("qorin/qorin.cfg", "1 COMPORT controller on COM1\n");
    }

    void TearDown() override
    {
        if (boxMaster >= 0)
            close(boxMaster);
        if (boxSlave >= 0)
            close(boxSlave);
        ZrqctlTest::TearDown();
    }

    std::string BytesOnLine()
    {
        std::string text;
        struct pollfd pfd = {boxMaster, POLLIN, 0};
        while (poll(&pfd, 1, 50) == 1 && (pfd.revents & POLLIN)) {
            char buffer[256];
            ssize_t n = read(boxMaster, buffer, sizeof buffer);
            if (n <= 0)
                break;
            text.append(buffer, static_cast<size_t>(n));
        }
        return text;
    }
};

#ifdef ZRQ_BOXSIM

// zrq-boxsim serving COM2 of the test's root; stopped with SIGTERM.
class ZrqctlOnBoxSim : public ZrqctlTest {
protected:
    BoxSimProcess sim;

    void StartBox(const std::vector<std::string>& extra = {})
    {
        std::vector<std::string> args = {"--link", root + "/dev/com2"};
        args.insert(args.end(), extra.begin(), extra.end());
        ASSERT_TRUE(sim.Start(args, true)) << "zrq-boxsim made no port";
        File("qorin/qorin.cfg", "2 COMPORT simulated box\n");
    }

    void StopBox() { sim.Stop(); }

    void TearDown() override
    {
        StopBox();
        ZrqctlTest::TearDown();
    }
};

#endif

#endif
