// The dumb terminal leaves the operator's console as it found it however the
// process ends: by each termination signal and by each crash signal.
#include <gtest/gtest.h>

#include <errno.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "zrqapi.h"

namespace {

using Clock = std::chrono::steady_clock;

#if defined(__SANITIZE_ADDRESS__)
const bool kSanitizerHandlesCrashes = true;
#else
const bool kSanitizerHandlesCrashes = false;
#endif

bool WaitForText(int fd, const std::string& want, int timeoutMs)
{
    std::string text;
    Clock::time_point end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (text.find(want) == std::string::npos) {
        int left = static_cast<int>(
            std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count());
        struct pollfd pfd = {fd, POLLIN, 0};
        if (left <= 0 || poll(&pfd, 1, left) != 1)
            return false;
        char buffer[256];
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0)
            return false;
        text.append(buffer, static_cast<size_t>(n));
    }
    return true;
}

// The signal that ended pid as a negative number, its exit code otherwise,
// or -1000 when it had to be killed.
int WaitExit(pid_t pid, int timeoutMs)
{
    Clock::time_point end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (Clock::now() > end) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1000;
        }
        usleep(5000);
    }
    return WIFSIGNALED(status) ? -WTERMSIG(status) : WEXITSTATUS(status);
}

TEST(TerminalFaults, ConsoleIsRestoredWhateverSignalEndsTheProcess)
{
    char pattern[] = "/tmp/zrq-termfault-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    std::string root = pattern;
    int boxMaster = -1, boxSlave = -1;
    char slaveName[128];
    if (openpty(&boxMaster, &boxSlave, slaveName, nullptr, nullptr) != 0)
        GTEST_SKIP() << "no pseudo-terminal to be had: " << strerror(errno);
    ASSERT_EQ(mkdir((root + "/dev").c_str(), 0755), 0);
    ASSERT_EQ(symlink(slaveName, (root + "/dev/com1").c_str()), 0);

    const int signals[]
        = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE, SIGABRT, SIGSEGV, SIGBUS, SIGFPE, SIGILL};
    for (int signalNumber : signals) {
        SCOPED_TRACE(strsignal(signalNumber));
        struct termios cooked;
        memset(&cooked, 0, sizeof cooked);
        cooked.c_iflag = ICRNL;
        cooked.c_lflag = ICANON | ECHO | ISIG | IEXTEN;
        cooked.c_cflag = CS8 | CREAD;
        cooked.c_cc[VMIN] = 1;
        int console = -1;
        pid_t child = forkpty(&console, nullptr, &cooked, nullptr);
        ASSERT_GE(child, 0) << strerror(errno);
        if (child == 0) {
            struct rlimit noCore = {0, 0};
            setrlimit(RLIMIT_CORE, &noCore);  // the crash signals would dump core
            setenv("ZRQAPI_ROOT", root.c_str(), 1);
            _exit(Kap_DumbTerminal(1));
        }
        ASSERT_TRUE(WaitForText(console, "Ctrl-A to quit.", 5000));
        struct termios tio;
        ASSERT_EQ(tcgetattr(console, &tio), 0);
        EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG), 0u) << "raw while running";

        ASSERT_EQ(kill(child, signalNumber), 0);
        // The signal still ends the process; the sanitizer's crash handler,
        // which was there before, ends it its own way (abort or exit code).
        int ended = WaitExit(child, 5000);
        bool crash = signalNumber == SIGSEGV || signalNumber == SIGBUS || signalNumber == SIGFPE;
        if (crash && kSanitizerHandlesCrashes)
            EXPECT_TRUE(ended != 0 && ended != -1000) << ended;
        else
            EXPECT_EQ(ended, -signalNumber);
        ASSERT_EQ(tcgetattr(console, &tio), 0);
        EXPECT_EQ(
            tio.c_lflag & (ICANON | ECHO | ISIG), static_cast<tcflag_t>(ICANON | ECHO | ISIG));
        EXPECT_NE(tio.c_iflag & ICRNL, 0u);
        close(console);
    }
    close(boxMaster);
    close(boxSlave);
    unlink((root + "/dev/com1").c_str());
    rmdir((root + "/dev").c_str());
    rmdir(root.c_str());
}

}  // namespace
