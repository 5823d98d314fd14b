// Finding the port: ports tells each COM name's path and what is wrong with
// it, doctor walks from the configuration to the box, and a port that will
// not open is named with the system's reason.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <pty.h>
#include <signal.h>
#include <sys/file.h>
#include <unistd.h>

#include <string>

#include "pty_support.h"
#include "zrqctl_support.h"

#if defined(ZRQ_ZRQCTL) && defined(ZRQ_BOXSIM)

namespace {

class ZrqctlPorts : public ZrqctlOnBoxSim {
protected:
    void SetUp() override
    {
        ZrqctlOnBoxSim::SetUp();
        StartBox();  // COM2
        // No COM name may reach a real port of the machine running the tests.
        for (int n : {1, 3, 6, 7, 8})
            ASSERT_EQ(symlink("/nonexistent/ttyUSB9", Com(n).c_str()), 0);
        File("plain-file", "not a tty\n");
        // COM5: a terminal this process holds locked, as a running program would.
        char name[128];
        ASSERT_EQ(openpty(&heldMaster, &heldSlave, name, nullptr, nullptr), 0);
        ASSERT_EQ(flock(heldSlave, LOCK_EX | LOCK_NB), 0);
        ASSERT_EQ(symlink(name, Com(5).c_str()), 0);
        ASSERT_EQ(symlink((root + "/plain-file").c_str(), Com(4).c_str()), 0);
    }

    void TearDown() override
    {
        close(heldMaster);
        close(heldSlave);
        ZrqctlOnBoxSim::TearDown();
    }

    std::string Com(int n) { return root + "/dev/com" + std::to_string(n); }

    int heldMaster = -1;
    int heldSlave = -1;
};

TEST_F(ZrqctlPorts, PortsNamesEachPathAndWhatIsWrongWithIt)
{
    Outcome o = Run("ports --probe");
    EXPECT_EQ(o.status, 0) << o.err;
    const std::string lines[] = {
        "COM3 (" + Com(3) + " -> /nonexistent/ttyUSB9): the link points to nothing",
        "COM4 (" + Com(4) + " -> " + root + "/plain-file): not a serial device",
        "): in use by process " + std::to_string(getpid()) + " (zrq_pty_tests)\n",
        "COM2 (" + Com(2) + " -> " + sim.path()
            + "): tty, read and write allowed, free; box runs the protocol (state 0), "
              "identifier ZRQBOX.1\n",
    };
    for (const std::string& line : lines)
        EXPECT_NE(o.out.find(line), std::string::npos) << line << "\n" << o.out;

    // The same reason where an open fails, after the library's own message. A
    // link to nothing is never taken for the on-board port of the same number
    // (COM1 would be /dev/ttyS0, present on many machines).
    for (int n : {1, 3}) {
        o = Run("init --com " + std::to_string(n));
        EXPECT_EQ(o.status, 7) << n;
        EXPECT_EQ(o.err,
            "zrqctl: init: Can't open COM port\nzrqctl: COM" + std::to_string(n) + " (" + Com(n)
                + " -> /nonexistent/ttyUSB9): the link points to nothing (No such file or "
                  "directory) — is the adapter plugged in?\n");
    }
    // The library's terminal prints its own complaint and returns; zrqctl
    // adds the path and reason and does not report success.
    o = Run("terminal 4");
    EXPECT_EQ(o.status, 7);
    EXPECT_NE(o.out.find("ComInstall failed"), std::string::npos) << o.out;
    EXPECT_NE(o.err.find("zrqctl: terminal: COM4 (" + Com(4) + " -> " + root
                  + "/plain-file): not a serial device"),
        std::string::npos)
        << o.err;
}

// A monitor program that reads the line without a lock is named; a root too
// long for a path opens nothing, not the on-board port; a busy port is 7 for
// the hex terminal as for the library's.
TEST_F(ZrqctlPorts, UnlockedReadersLongRootsAndBusyTerminalsAreToldApart)
{
    pid_t reader = fork();
    if (reader == 0) {
        int fd = open(sim.path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        pause();
        _exit(fd >= 0 ? 0 : 1);
    }
    usleep(200000);
    Outcome o = Run("ports");
    kill(reader, SIGKILL);
    WaitExit(reader, 5000);
    EXPECT_NE(o.out.find("COM2 (" + Com(2) + " -> " + sim.path() + "): open in process "
                  + std::to_string(reader) + " (zrq_pty_tests), which takes no lock"),
        std::string::npos)
        << o.out;

    std::string longRoot = root + "/" + std::string(4100, 'r');
    o = RunZrqctl(root, {"--root", longRoot, "ports"});
    EXPECT_NE(o.out.find("COM1 (under a too long ZRQAPI_ROOT): ZRQAPI_ROOT is too long"),
        std::string::npos)
        << o.out;
    EXPECT_EQ(o.out.find("/dev/ttyS"), std::string::npos) << o.out;

    o = Run("terminal 5 --hex");
    EXPECT_EQ(o.status, 7) << o.err;
    EXPECT_NE(o.err.find("in use by process " + std::to_string(getpid())), std::string::npos)
        << o.err;

    // A port mapped to a network server is no local line: refused, nothing opened.
    std::string mapping = Com(6);
    unlink(mapping.c_str());
    FILE* f = fopen(mapping.c_str(), "w");
    ASSERT_NE(f, nullptr);
    fputs("tcp://127.0.0.1:9\n", f);
    fclose(f);
    o = Run("terminal 6 --hex");
    unlink(mapping.c_str());
    EXPECT_EQ(o.status, 7) << o.err;
    EXPECT_NE(o.err.find("COM6 is mapped to tcp://127.0.0.1:9"), std::string::npos) << o.err;
}

TEST_F(ZrqctlPorts, DoctorPassesOnAWorkingSetupAndSaysWhatToDoOtherwise)
{
    Outcome o = Run("doctor");
    EXPECT_EQ(o.status, 0) << o.out;
    for (const char* step : {"gives COM2", "probe: the box runs the protocol", "synchronisation",
             "identifier \"ZRQBOX.1\"", "all checks passed"})
        EXPECT_NE(o.out.find(step), std::string::npos) << step << "\n" << o.out;

    const struct {
        const char* config;
        const char* failure;
        const char* todo;
    } cases[] = {
        {"3 COMPORT adapter\n", "the link points to nothing", "docs/serial-setup.md"},
        {"4 COMPORT file\n", "not a serial device", "zrqctl ports"},
        {"9 COMPORT box\n", "COM9 is not a port the library opens", "must be 1 to 8"},
        {"2 COMPORTS\n", "no configuration file names a port", "3 COMPORT controller"},
    };
    for (const auto& c : cases) {
        File("qorin/qorin.cfg", c.config);
        o = Run("doctor");
        EXPECT_EQ(o.status, 1) << c.config;
        EXPECT_NE(o.out.find("FAIL  "), std::string::npos) << o.out;
        EXPECT_NE(o.out.find(c.failure), std::string::npos) << o.out;
        EXPECT_NE(o.out.find(c.todo), std::string::npos) << o.out;
    }
}

}  // namespace

#endif
