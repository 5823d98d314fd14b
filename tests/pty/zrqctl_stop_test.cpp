// Stop means stop: a signal during a session halts the box before zrqctl
// exits, and estop needs no init.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>

#include "pty_support.h"
#include "zrqctl_support.h"

#if defined(ZRQ_ZRQCTL) && defined(ZRQ_BOXSIM)

namespace {

std::string ReadWhole(const std::string& path)
{
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

// X of "position X=... tmil" in zrqctl's output, or -1.
long PrintedX(const std::string& out)
{
    size_t at = out.rfind("position X=");
    return at == std::string::npos ? -1 : atol(out.c_str() + at + 11);
}

class ZrqctlStop : public ZrqctlOnBoxSim {
protected:
    std::string log;

    void SetUp() override
    {
        ZrqctlOnBoxSim::SetUp();
        log = root + "/box.log";
        StartBox({"--log", log});
    }

    // Where the box is now, read by a fresh run; -1 when that fails.
    long BoxX()
    {
        Outcome o = Run("--units tmil init pos");
        EXPECT_EQ(o.status, 0) << o.err;
        return PrintedX(o.out);
    }
};

// 5 in at 10 in/min would take 30 s; the stop comes within the first second.
const char kLongMove[] = "--wait init velocity 10 move-xy 5in 0";

TEST_F(ZrqctlStop, EachStopSignalDuringAMoveSendsTheEmergencyStopAndTheBoxHalts)
{
    const struct {
        int signal;
        int status;
    } cases[] = {{SIGINT, 130}, {SIGTERM, 143}, {SIGHUP, 129}};
    for (const auto& c : cases) {
        ZrqctlProcess ctl;
        ASSERT_TRUE(ctl.Start(root, Words(kLongMove)));
        ASSERT_TRUE(ctl.WaitForOutput("moving:", 20000)) << ctl.out;
        kill(ctl.pid(), c.signal);
        EXPECT_EQ(ctl.Wait(20000), c.status) << c.signal << "\n" << ctl.err;
        EXPECT_NE(ctl.err.find("emergency stop sent; the box stopped"), std::string::npos)
            << ctl.err;
        long stoppedAt = BoxX();
        EXPECT_GT(stoppedAt, 0);
        EXPECT_LT(stoppedAt, 25000) << "the move ran on to 5 in";
        usleep(500000);
        EXPECT_EQ(BoxX(), stoppedAt) << "the box is still moving";
        // Home again for the next case.
        EXPECT_EQ(Run("--wait init velocity 400 move-xy 0 0").status, 0);
    }
    std::string text = ReadWhole(log);
    size_t stops = 0;
    for (size_t at = 0; (at = text.find("emergency stop", at)) != std::string::npos; ++at)
        ++stops;
    EXPECT_EQ(stops, 3u) << text;
}

TEST_F(ZrqctlStop, EstopWithoutInitHaltsAMovingBox)
{
    // This run sends the move and ends; the box moves on by itself.
    Outcome o = Run("init velocity 10 move-xy 5in 0");
    ASSERT_EQ(o.status, 0) << o.err;
    usleep(500000);
    o = Run("estop");
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(o.out, "estop: emergency stop sent on COM2; the box is stopped\n");
    EXPECT_NE(ReadWhole(log).find("emergency stop"), std::string::npos);
    long stoppedAt = BoxX();
    EXPECT_LT(stoppedAt, 25000) << "the move ran on to 5 in";
    usleep(500000);
    EXPECT_EQ(BoxX(), stoppedAt) << "the box is still moving";

    // --port names the port when no file does; a port that cannot open says why.
    o = Run("estop --port 7");
    EXPECT_EQ(o.status, 7);
    EXPECT_NE(o.err.find("zrqctl: estop: Can't open COM port\nzrqctl: COM7 (/dev/ttyS6): "),
        std::string::npos)
        << o.err;
    std::filesystem::remove(root + "/qorin/qorin.cfg");
    o = Run("estop");
    EXPECT_EQ(o.status, 3);
    EXPECT_NE(o.err.find("give --port N"), std::string::npos) << o.err;
}

double SecondsSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The library waits a minute for an acknowledgement the box never sends; the
// stop does not wait with it.
TEST_F(ZrqctlStop, InterruptWhileAnAcknowledgementIsLostStopsAtOnce)
{
    StopBox();
    StartBox({"--log", log, "--drop-ack", "25"});
    ZrqctlProcess ctl;
    ASSERT_TRUE(ctl.Start(root, Words("-v init velocity 10 move-xy 5in 0")));
    ASSERT_TRUE(ctl.WaitForOutput("> init", 10000));
    usleep(1500000);  // initialisation is waiting for the lost acknowledgement
    ASSERT_EQ(ReadWhole(log).find("emergency stop"), std::string::npos);
    kill(ctl.pid(), SIGINT);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(ctl.Wait(20000), 130) << ctl.err;
    EXPECT_LT(SecondsSince(start), 3.0) << ctl.err;
    EXPECT_NE(ReadWhole(log).find("emergency stop"), std::string::npos);
    EXPECT_NE(ctl.err.find("emergency stop sent"), std::string::npos) << ctl.err;
}

TEST_F(ZrqctlStop, DoubleInterruptFiftyMillisecondsApartStillStopsTheBox)
{
    for (int run = 0; run < 3; ++run) {
        size_t stopsBefore = 0;
        std::string before = ReadWhole(log);
        for (size_t at = 0; (at = before.find("emergency stop", at)) != std::string::npos; ++at)
            ++stopsBefore;
        ZrqctlProcess ctl;
        ASSERT_TRUE(ctl.Start(root, Words(kLongMove)));
        ASSERT_TRUE(ctl.WaitForOutput("moving:", 20000)) << ctl.out;
        kill(ctl.pid(), SIGINT);
        usleep(50000);
        kill(ctl.pid(), SIGINT);
        EXPECT_EQ(ctl.Wait(20000), 130) << ctl.err;
        EXPECT_EQ(ctl.err.find("not told to stop"), std::string::npos) << ctl.err;
        std::string after = ReadWhole(log);
        size_t stops = 0;
        for (size_t at = 0; (at = after.find("emergency stop", at)) != std::string::npos; ++at)
            ++stops;
        EXPECT_GT(stops, stopsBefore) << "run " << run;
        long stoppedAt = BoxX();
        usleep(300000);
        EXPECT_EQ(BoxX(), stoppedAt) << "the box is still moving";
        EXPECT_EQ(Run("--wait init velocity 400 move-xy 0 0").status, 0);
    }
}

// estop from a second terminal while another zrqctl drives the box: the
// holder is asked to stop, lets go of the port, and the box halts.
TEST_F(ZrqctlStop, EstopAsksAnotherZrqctlHoldingThePortToStop)
{
    ZrqctlProcess holder;
    ASSERT_TRUE(holder.Start(root, Words(kLongMove)));
    ASSERT_TRUE(holder.WaitForOutput("moving:", 20000)) << holder.out;
    Outcome o = Run("estop");
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_NE(o.out.find("asked it to stop (SIGINT)"), std::string::npos) << o.out;
    EXPECT_NE(o.out.find("emergency stop sent on COM2; the box is stopped"), std::string::npos)
        << o.out;
    EXPECT_EQ(holder.Wait(20000), 130) << holder.err;
    long stoppedAt = BoxX();
    usleep(300000);
    EXPECT_EQ(BoxX(), stoppedAt) << "the box is still moving";
}

// A box that dies while a --wait move runs: the wait ends after one time-out
// and its resynchronisation, says why, and shows no made-up position.
TEST_F(ZrqctlStop, ABoxThatDiesDuringAWaitEndsItWithinATimeOut)
{
    ZrqctlProcess ctl;
    ASSERT_TRUE(ctl.Start(root, Words("--wait init timeout 10 velocity 10 move-xy 5in 0")));
    ASSERT_TRUE(ctl.WaitForOutput("moving:", 20000)) << ctl.out;
    StopBox();
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(ctl.Wait(30000), 75) << ctl.err;
    EXPECT_LT(SecondsSince(start), 12.0) << ctl.err;
    EXPECT_NE(ctl.err.find("the box did not answer while it moved"), std::string::npos) << ctl.err;
    EXPECT_EQ(ctl.out.find("X=0 Y=0"), std::string::npos) << ctl.out;
}

// A trace into a FIFO that nobody reads would block every write to the box:
// estop sends the stop without the trace; any other run refuses before the
// port opens.
TEST_F(ZrqctlStop, ATraceIntoAFifoNobodyReadsNeverHoldsTheStopBack)
{
    std::string fifo = root + "/wire.fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    auto start = std::chrono::steady_clock::now();
    Outcome o = Run("--trace-wire " + fifo + " estop");
    EXPECT_LT(SecondsSince(start), 5.0);
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_NE(o.err.find("the stop goes out without a trace"), std::string::npos) << o.err;
    EXPECT_NE(ReadWhole(log).find("emergency stop"), std::string::npos);
    std::string before = ReadWhole(log);
    o = Run("--trace-wire " + fifo + " init");
    EXPECT_EQ(o.status, 73) << o.err;
    EXPECT_EQ(ReadWhole(log), before) << "something was sent";
}

// A box that dies in the middle of a job: one time-out and one failed
// resynchronisation, then the job ends with the reason and where it was.
TEST_F(ZrqctlStop, ABoxThatDiesMidJobEndsTheJobWithinATimeOut)
{
    std::string gcode = "G0 X0 Y0\nM3\n";
    for (int i = 1; i <= 400; ++i)
        gcode += "G1 X" + std::to_string(i % 2) + " Y" + std::to_string(i / 100.0) + " F20\n";
    File("long.gcode", gcode);
    ZrqctlProcess ctl;
    ASSERT_TRUE(ctl.Start(root, Words("init timeout 10 job " + root + "/long.gcode")));
    for (int i = 0; i < 400 && ReadWhole(log).find(" r ") == std::string::npos; ++i)
        usleep(50000);
    ASSERT_NE(ReadWhole(log).find(" r "), std::string::npos) << "the job never began";
    StopBox();
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(ctl.Wait(30000), 75) << ctl.err;
    EXPECT_LT(SecondsSince(start), 12.0) << ctl.err;
    EXPECT_NE(ctl.err.find("the box did not answer at segment"), std::string::npos) << ctl.err;
}

}  // namespace

#endif

#ifdef ZRQ_ZRQCTL

namespace {

// Init on a line that never answers spends seconds in the library's waits.
// The stop goes out at once all the same, passing the wait, and a second
// Ctrl-C quits at once but never before the stop is out.
TEST_F(ZrqctlOnSilentLine, SecondInterruptNeverCancelsTheStop)
{
    ZrqctlProcess ctl;
    ASSERT_TRUE(ctl.Start(root, Words("-v init")));
    ASSERT_TRUE(ctl.WaitForOutput("> init", 10000));
    usleep(300000);  // the port is open and the probe waits
    kill(ctl.pid(), SIGINT);
    usleep(50000);
    kill(ctl.pid(), SIGINT);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(ctl.Wait(20000), 130);
    double seconds
        = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_LT(seconds, 5.0) << "the stop waited behind the library's wait";
    EXPECT_NE(ctl.err.find("zrqctl: stopping"), std::string::npos) << ctl.err;
    EXPECT_NE(ctl.err.find("emergency stop sent"), std::string::npos) << ctl.err;
    EXPECT_EQ(ctl.err.find("not told to stop"), std::string::npos) << ctl.err;
    // The sixteen stop bytes reached the line.
    std::string line = BytesOnLine();
    EXPECT_NE(line.find(std::string(16, '\x60')), std::string::npos);
}

// A FIFO where the configuration file should be is no file to read: estop
// and doctor say so at once instead of waiting for a writer.
TEST_F(ZrqctlOnSilentLine, AFifoAsTheConfigurationIsNotWaitedFor)
{
    std::string config = root + "/qorin/qorin.cfg";
    ASSERT_EQ(unlink(config.c_str()), 0);
    ASSERT_EQ(mkfifo(config.c_str(), 0644), 0);
    for (const char* command : {"estop", "doctor"}) {
        auto start = std::chrono::steady_clock::now();
        Outcome o = Run(command);
        EXPECT_LT(
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), 5.0)
            << command;
        EXPECT_NE(o.status, 0) << command;
    }
    EXPECT_EQ(Run("estop").status, 3);
}

}  // namespace

#endif
