// The dumb terminal of the real library with its console on one
// pseudo-terminal and the box end of its serial line on another.
#include <gtest/gtest.h>

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>

#include "pty_support.h"
#include "zrqapi.h"

namespace {

using Clock = std::chrono::steady_clock;

class TerminalOnPty : public ::testing::Test {
protected:
    std::string root;
    int boxMaster = -1;
    int boxSlave = -1;
    int console = -1;
    pid_t child = -1;

    void SetUp() override
    {
        char pattern[] = "/tmp/zrq-term-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root = pattern;
        char slaveName[128];
        if (openpty(&boxMaster, &boxSlave, slaveName, nullptr, nullptr) != 0)
            GTEST_SKIP() << "no pseudo-terminal to be had: " << strerror(errno);
        ASSERT_EQ(mkdir((root + "/dev").c_str(), 0755), 0);
        ASSERT_EQ(symlink(slaveName, (root + "/dev/com1").c_str()), 0);
    }

    void TearDown() override
    {
        if (child > 0 && waitpid(child, nullptr, WNOHANG) == 0) {
            kill(child, SIGKILL);
            waitpid(child, nullptr, 0);
        }
        for (int fd : {boxMaster, boxSlave, console})
            if (fd >= 0)
                close(fd);
        if (!root.empty()) {
            unlink((root + "/dev/com1").c_str());
            rmdir((root + "/dev").c_str());
            rmdir(root.c_str());
        }
    }

    // Starts body in a child whose standard input and output are a fresh
    // pseudo-terminal (console holds its master). Output processing is off,
    // so what the child writes arrives byte for byte.
    void StartOnConsole(std::function<int()> body)
    {
        struct termios tio;
        memset(&tio, 0, sizeof tio);
        tio.c_iflag = ICRNL;
        tio.c_lflag = ICANON | ECHO | ISIG | IEXTEN;
        tio.c_cflag = CS8 | CREAD;
        tio.c_cc[VINTR] = 3;
        tio.c_cc[VEOF] = 4;
        tio.c_cc[VMIN] = 1;
        cfsetispeed(&tio, B38400);
        cfsetospeed(&tio, B38400);
        child = forkpty(&console, nullptr, &tio, nullptr);
        ASSERT_GE(child, 0) << strerror(errno);
        if (child == 0) {
            setenv("ZRQAPI_ROOT", root.c_str(), 1);
            _exit(body());
        }
    }

    // A child with the given descriptors as standard input and output.
    int RunRedirected(const char* inPath, const char* outPath, std::function<int()> body)
    {
        pid_t pid = fork();
        if (pid == 0) {
            setenv("ZRQAPI_ROOT", root.c_str(), 1);
            int in = open(inPath, O_RDONLY);
            int out = open(outPath, O_WRONLY);
            dup2(in, 0);
            dup2(out, 1);
            _exit(body() & 0xff);
        }
        return WaitExit(pid, 10000);
    }

    void Type(const std::string& keys)
    {
        ASSERT_EQ(write(console, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
    }
};

const char kBanner[] = "\nCtrl-A to quit.\n\n";
const char kClosing[] = "\nEnd DumbTerminal\n\n";

TEST_F(TerminalOnPty, KeysGoOutAndReceivedBytesComeBackUntranslated)
{
    StartOnConsole([] { return Kap_DumbTerminal(1); });
    std::string shown;
    ReadUntil(console, kBanner, 5000, &shown);
    ASSERT_EQ(shown, kBanner);

    Type("AT\r\x03z");  // Enter stays 13; Ctrl-C is a key like any other
    std::string wire;
    ReadUntil(boxMaster, "z", 5000, &wire);
    EXPECT_EQ(wire, "AT\r\x03z");

    const std::string reply("OK\r\n>\x00\xff", 7);
    ASSERT_EQ(write(boxMaster, reply.data(), reply.size()), 7);
    ReadUntil(console, reply, 5000, &shown);
    EXPECT_EQ(shown, kBanner + reply) << "nothing echoed, added or translated";

    Type("\x01");
    ReadUntil(console, kClosing, 5000, &shown);
    EXPECT_EQ(shown, kBanner + reply + kClosing);
    EXPECT_EQ(WaitExit(child, 5000), 0);
}

TEST_F(TerminalOnPty, CtrlBBreaksTheLineWithoutSendingAByte)
{
    StartOnConsole([] { return Kap_DumbTerminal(1); });
    std::string shown;
    ReadUntil(console, kBanner, 5000, &shown);
    Clock::time_point typed = Clock::now();
    Type("a\x02"
         "b");
    std::string wire;
    ReadUntil(boxMaster, "b", 5000, &wire);
    EXPECT_EQ(wire, "ab");
    // The break holds the line for 100 ms before the next key is read.
    EXPECT_GE(Clock::now() - typed, std::chrono::milliseconds(100));
    Type("\x01");
    EXPECT_EQ(WaitExit(child, 5000), 0);
}

TEST_F(TerminalOnPty, CtrlAEndsAtOnceWhileReceivedBytesWait)
{
    StartOnConsole([] { return Kap_DumbTerminal(1); });
    std::string shown;
    ReadUntil(console, kBanner, 5000, &shown);
    // Both the bytes and the key are waiting when the terminal next looks.
    ASSERT_EQ(kill(child, SIGSTOP), 0);
    std::string flood(1000, 'x');
    ASSERT_EQ(write(boxMaster, flood.data(), flood.size()), 1000);
    Type("\x01");
    ASSERT_EQ(kill(child, SIGCONT), 0);
    ReadUntil(console, kClosing, 5000, &shown);
    EXPECT_EQ(WaitExit(child, 5000), 0);
    ASSERT_GE(shown.size(), sizeof kBanner - 1 + sizeof kClosing - 1);
    size_t bytesShown = shown.size() - (sizeof kBanner - 1) - (sizeof kClosing - 1);
    EXPECT_LE(bytesShown, 1u) << shown;
}

TEST_F(TerminalOnPty, ConsoleIsRestoredOnQuitAndOnTermination)
{
    for (bool killed : {false, true}) {
        StartOnConsole([] { return Kap_DumbTerminal(1); });
        std::string shown;
        ReadUntil(console, kBanner, 5000, &shown);
        struct termios tio;
        ASSERT_EQ(tcgetattr(console, &tio), 0);
        EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG), 0u) << "raw while running";
        if (killed) {
            ASSERT_EQ(kill(child, SIGTERM), 0);
            EXPECT_EQ(WaitExit(child, 5000), -SIGTERM) << "the signal still ends the process";
        } else {
            Type("\x01");
            EXPECT_EQ(WaitExit(child, 5000), 0);
        }
        ASSERT_EQ(tcgetattr(console, &tio), 0);
        EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG), static_cast<tcflag_t>(ICANON | ECHO | ISIG))
            << (killed ? "after SIGTERM" : "after Ctrl-A");
        EXPECT_NE(tio.c_iflag & ICRNL, 0u);
        close(console);
        console = -1;
        child = -1;
    }
}

TEST_F(TerminalOnPty, FailedOpenPrintsTheSystemReasonAndTheClosingLine)
{
    const struct {
        const char* name;
        int (*body)();
        const char* reason;
    } cases[] = {
        {"held by the library", [] { return NirekInstall(1) == 0 ? Kap_DumbTerminal(1) : 99; },
            "Device or resource busy"},
        {"port out of range", [] { return Kap_DumbTerminal(9); }, "Port number must be 1 to 8"},
    };
    for (const auto& c : cases) {
        StartOnConsole(c.body);
        std::string shown;
        ReadUntil(console, kClosing, 5000, &shown);
        EXPECT_EQ(shown, std::string("\n?ComInstall failed: \n") + c.reason + "\n\n\n" + kClosing)
            << c.name;
        EXPECT_EQ(WaitExit(child, 5000), 0) << c.name;
        close(console);
        console = -1;
        child = -1;
    }
}

TEST_F(TerminalOnPty, InputThatIsNoTerminalEndsAtItsEnd)
{
    EXPECT_EQ(RunRedirected("/dev/null", "/dev/null", [] { return Kap_DumbTerminal(1); }), 0);
}

TEST_F(TerminalOnPty, UnwritableOutputIsReportedAsMinusOne)
{
    if (access("/dev/full", W_OK) != 0)
        GTEST_SKIP() << "no /dev/full";
    EXPECT_EQ(RunRedirected("/dev/null", "/dev/full", [] { return Kap_DumbTerminal(9); }), 0xff);
    EXPECT_EQ(RunRedirected("/dev/null", "/dev/full", [] { return Kap_DumbTerminal(1); }), 0xff);
}

}  // namespace
