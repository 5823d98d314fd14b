// zrqctl run as a program: argument parsing with units, exit codes, script
// files, and what it prints, against a line the test holds or the simulator.
#include <gtest/gtest.h>

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "pty_support.h"
#include "zrqctl_support.h"

#ifdef ZRQ_ZRQCTL

namespace {

TEST_F(ZrqctlOnSilentLine, BadInputNamesTheArgumentExits64AndSendsNothing)
{
    std::string script
        = File("bad.zrq", "# a script\ninit\n\nmove-xy 1in 2in  # fine\nmove-z 1yd\n");
    const struct {
        const char* args;
        const char* complaint;
    } cases[] = {
        {"init move-xy 1ft 2", "move-xy: X '1ft': unknown unit 'ft'"},
        {"init move-xy 1in", "move-xy: missing Y"},
        {"init move-xy 1in pos", "move-xy: missing Y"},
        {"init move-xy in 2", "move-xy: X 'in': not a number"},
        {"init move-xy 1.2.3in 2", "move-xy: X '1.2.3in'"},
        {"init move-z 214748.3648in", "move-z: Z '214748.3648in': out of range"},
        {"init move-z -214748.36485in", "out of range"},
        {"init move-r 5454610mm", "move-r: R '5454610mm': out of range"},
        {"init jog-pos 2147483648", "jog-pos: DIST '2147483648': out of range"},
        {"init jump 3", "unknown command 'jump'"},
        {"init velocity fast", "velocity: IPM 'fast': not a whole number"},
        {"init velocity 20.5", "velocity: IPM '20.5': not a whole number"},
        {"init velocity -3", "velocity: IPM '-3': must be 0 to"},
        {"init spacing 65536 1mil", "spacing: COUNT '65536': must be 0 to 65535"},
        {"init param 12 99999999999", "param: VALUE '99999999999': out of range"},
        {"init pen sideways", "pen: 'sideways': must be up|down"},
        {"init jog w", "jog: 'w': must be x|y|z|r"},
        {"init --com", "init: --com needs a port number"},
        {"init --com=COM1", "init: --com 'COM1': not a whole number"},
        {"--units cm init", "--units 'cm': must be in, mm or tmil"},
        {"--frobnicate init", "unknown option '--frobnicate'"},
        {"init run", "run: missing FILE"},
        {"", "no command given"},
    };
    for (const auto& c : cases) {
        Outcome o = Run(c.args);
        EXPECT_EQ(o.status, 64) << c.args;
        EXPECT_NE(o.err.find(c.complaint), std::string::npos) << c.args << "\n" << o.err;
        EXPECT_NE(o.err.find("usage: zrqctl"), std::string::npos) << c.args;
        EXPECT_EQ(o.out, "") << c.args;
        EXPECT_EQ(BytesOnLine(), "") << c.args;
    }
    Outcome o = RunZrqctl(root, {"init", "run", script});
    EXPECT_EQ(o.status, 64);
    EXPECT_NE(o.err.find(script + ":5: move-z: Z '1yd': unknown unit 'yd'"), std::string::npos)
        << o.err;
    EXPECT_EQ(BytesOnLine(), "");

    o = Run("run /nonexistent/file");
    EXPECT_EQ(o.status, 66) << "sysexits: cannot open input";
    EXPECT_NE(o.err.find("/nonexistent/file"), std::string::npos);
}

TEST_F(ZrqctlOnSilentLine, SilentBoxFailsInitWithItsCodeAndMessage)
{
    Outcome o = Run("init pos");
    EXPECT_EQ(o.status, 8);
    EXPECT_EQ(o.err.substr(0, o.err.find('\n') + 1),
        "zrqctl: init: Motion controller is not responding.\n");
    // What to try next: a box still running a move answers no probe.
    EXPECT_NE(o.err.find("still be running a move"), std::string::npos) << o.err;
    EXPECT_NE(o.err.find("zrqctl estop"), std::string::npos) << o.err;
    EXPECT_NE(o.err.find("zrqctl doctor"), std::string::npos) << o.err;
    EXPECT_EQ(o.out, "");
    EXPECT_FALSE(BytesOnLine().empty()) << "the probe went out on the configured port";
}

TEST_F(ZrqctlTest, ExitCodesCarryTheLibraryResult)
{
    const struct {
        const char* args;
        int status;
        const char* message;
    } cases[] = {
        {"init", 3, "zrqctl: init: Can't read c:\\qorin\\qorin.cfg or c:\\qv\\main.cfg\n"},
        {"init --com 9", 7, "zrqctl: init: Can't open COM port\n"},
        {"pos", 10, "zrqctl: pos: Not initialized\n"},
        {"move-xy 1in 1in", 10, "zrqctl: move-xy: Not initialized\n"},
        {"jog-pos 5", 1, "zrqctl: jog-pos: Command Failed\n"},
        {"state", 10, "zrqctl: state: Not initialized (run init first)\n"},
    };
    for (const auto& c : cases) {
        Outcome o = Run(c.args);
        EXPECT_EQ(o.status, c.status) << c.args;
        EXPECT_EQ(o.err.substr(0, strlen(c.message)), c.message) << c.args;
    }
}

TEST_F(ZrqctlTest, VersionAndHelp)
{
    Outcome o = Run("version");
    EXPECT_EQ(o.status, 0);
    EXPECT_NE(o.out.find("API 2.1"), std::string::npos) << o.out;
    o = Run("--help");
    EXPECT_EQ(o.status, 0);
    for (const char* word : {"move-xy", "jog-pos", "--units", "in, mm", "tenths of a mil"})
        EXPECT_NE(o.out.find(word), std::string::npos) << word;
}

}  // namespace

#endif

#if defined(ZRQ_ZRQCTL) && defined(ZRQ_BOXSIM)

namespace {

std::string LastLine(const std::string& text)
{
    size_t end = text.size() > 0 && text.back() == '\n' ? text.size() - 1 : text.size();
    size_t start = text.rfind('\n', end == 0 ? 0 : end - 1);
    return text.substr(start == std::string::npos ? 0 : start + 1);
}

TEST_F(ZrqctlOnBoxSim, PositionAfterAMoveIsPrintedInTheUnitAskedFor)
{
    StartBox();
    const struct {
        const char* args;
        const char* printed;
    } cases[] = {
        {"--units tmil init velocity 400 move-xy 1in 0.5in wait pos finish",
            "position X=10000 Y=5000 Z=0 tmil\n"},
        {"init velocity 400 move-xy 25.4mm 500mil wait pos finish",
            "position X=1.0000 Y=0.5000 Z=0.0000 in\n"},
        // Read back, -1.5in comes to -14999 tenth-mils: the library's conversion
        // adds its half unit before truncating, whatever the sign.
        {"--units mm init velocity 400 move-xy 2500 -1.5in wait pos finish",
            "position X=6.35000 Y=-38.09746 Z=0.00000 mm\n"},
        {"--units in init velocity 400 mode 3d move-xyz 0.25in 0.75in 0.1in wait pos finish",
            "position X=0.2500 Y=0.7500 Z=0.1000 in\n"},
    };
    for (const auto& c : cases) {
        Outcome o = Run(c.args);
        EXPECT_EQ(o.status, 0) << c.args << "\n" << o.err;
        EXPECT_EQ(LastLine(o.out), c.printed) << c.args;
        // Waiting without a terminal prints plain lines, never a carriage return.
        EXPECT_EQ(o.out.find('\r'), std::string::npos) << c.args;
    }
}

TEST_F(ZrqctlOnBoxSim, LostAcknowledgementExits75)
{
    // Initialisation is acknowledged 44 times (the probe, the configuration
    // sequence, the default selection); the 45th is the pen's.
    StartBox({"--drop-ack", "45"});
    Outcome o = Run("timeout 5 init pen down pos");
    EXPECT_EQ(o.status, 75) << o.err;
    EXPECT_EQ(o.err, "zrqctl: pen: the box did not acknowledge in time\n");
    EXPECT_EQ(o.out, "") << "nothing after the failure runs";
}

TEST_F(ZrqctlOnBoxSim, ScriptFileRunsInOrderAndStopsAtTheFirstFailure)
{
    StartBox();
    std::string good = File("good.zrq",
        "# draw a line\n"
        "init\n"
        "velocity 120   # fast\n"
        "\n"
        "pen down\n"
        "move-xy 0.2in 0.1in\n"
        "wait\n"
        "pos\n"
        "home\n"
        "wait\n"
        "pos\n"
        "finish\n");
    Outcome o = RunZrqctl(root, {"--units", "tmil", "run", good});
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(o.out, "position X=2000 Y=1000 Z=0 tmil\nposition X=0 Y=0 Z=0 tmil\n");

    std::string bad = File("bad.zrq", "init\njog-pos 5\npos\n");
    o = RunZrqctl(root, {"run", bad, "pos"});
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(o.err, "zrqctl: " + bad + ":2: jog-pos: Command Failed\n");
    EXPECT_EQ(o.out, "") << "nothing after the failure runs";
}

TEST_F(ZrqctlOnBoxSim, VerboseShowsEachCommandAndWaitingMovesReportWhereTheyStopped)
{
    StartBox();
    Outcome o = Run("-v --wait --units tmil init move-xy 800 400 finish");
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_NE(o.out.find("> init\n"), std::string::npos) << o.out;
    EXPECT_NE(o.out.find("> move-xy 800 400\n"), std::string::npos) << o.out;
    EXPECT_NE(o.out.find("stopped: X=800 Y=400 tmil, 0 to go\n"), std::string::npos) << o.out;
    EXPECT_NE(o.out.find("> finish\n"), std::string::npos) << o.out;
}

}  // namespace

#endif
