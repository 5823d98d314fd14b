// The dumb terminal leaves the operator's console as it found it however the
// process ends: by each termination signal and by each crash signal.
#include <gtest/gtest.h>

#include <errno.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "pty_support.h"
#include "zrqapi.h"

namespace {

#if defined(__SANITIZE_ADDRESS__)
const bool kSanitizerHandlesCrashes = true;
#else
const bool kSanitizerHandlesCrashes = false;
#endif

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
        std::string seen;
        ASSERT_NE(ReadUntil(console, "Ctrl-A to quit.", 5000, &seen).find("Ctrl-A to quit."),
            std::string::npos);
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
        // A process killed while it held the line leaves the pseudo-terminal
        // exclusive; as any holder may, the box side lifts it for the next run.
        ioctl(boxSlave, TIOCNXCL);
    }
    close(boxMaster);
    close(boxSlave);
    unlink((root + "/dev/com1").c_str());
    rmdir((root + "/dev").c_str());
    rmdir(root.c_str());
}

}  // namespace
