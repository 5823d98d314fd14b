// Fault injection: the real library over a pseudo-terminal against
// zrq-boxsim with one fault at a time. Each row drives the calls that meet
// the fault, checks their results and that each returns within twice its
// documented bound, then clears the fault and proves the link is usable again:
// the next command succeeds and the positions read back are every move the
// box was sent, counted exactly once.
#ifdef ZRQ_BOXSIM

#include <gtest/gtest.h>

#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "pty_support.h"
#include "zrqapi.h"

namespace {

void SleepSeconds(double s)
{
    std::this_thread::sleep_for(std::chrono::microseconds(static_cast<int64_t>(s * 1e6)));
}

// Documented costs, in seconds. A synchronisation that finds no echo runs 32
// attempts of a drain (2 ms at least) and a 200 ms wait.
const double kSyncFails = 32 * (0.002 + 0.2);
const double kSyncAnswered = 0.05;
const double kProbe = 1.6;  // no answer to 'G' (1 s), the break, the prompt exchange

// Twice the bound, with a floor for scheduling noise on a shared machine.
double Allowance(double bound)
{
    return bound < 0.25 ? bound + 0.5 : 2 * bound;
}

enum class Clear {
    Itself,   // the fault ends on its own (a single lost byte, a prompt left)
    Signal,   // zrq-boxsim drops its fault options on SIGUSR1 and keeps its state
    Restart,  // a new zrq-boxsim on the same link; the port is opened again
};

class FaultRun;

struct FaultCase {
    const char* name;
    std::vector<std::string> options;
    int32_t timeoutTenths;
    // The calls that meet the fault; they check their own results and bounds.
    void (*meet)(FaultRun& run);
    // What the box has moved (X, Y counts) by the end of meet().
    int32_t movedX, movedY;
    Clear clear;
    // Stale replies may still be on their way: synchronise before going on.
    bool resyncAfterClear;
};

class FaultRun {
public:
    explicit FaultRun(const FaultCase& c)
        : case_(c)
    {
    }

    // Runs one call; checks its result and that it took no longer than twice
    // bound (and at least atLeast seconds). Returns the result.
    template<typename Call>
    int32_t Timed(const char* what, double bound, Call call, double atLeast = 0.0)
    {
        double start = MonotonicSeconds();
        int32_t result = call();
        double elapsed = MonotonicSeconds() - start;
        EXPECT_LE(elapsed, Allowance(bound)) << what << " took " << elapsed << " s";
        EXPECT_GE(elapsed, atLeast) << what << " returned early";
        return result;
    }

    double AckTimeout() const { return case_.timeoutTenths / 10.0; }

    pid_t boxPid = -1;

private:
    const FaultCase& case_;
};

void SilentBox(FaultRun& run)
{
    double bound = run.AckTimeout() + kSyncFails;
    EXPECT_EQ(run.Timed(
                  "move", bound, [] { return NirekXYrel(1024, 1024); },
                  run.AckTimeout() + 32 * 0.2 - 0.1),
        256);
}

void BoxAtPrompt(FaultRun& run)
{
    EXPECT_EQ(run.Timed("probe", kProbe, [] { return NirekGetBoxState(); }), 2);
    EXPECT_EQ(run.Timed("sync", kSyncAnswered, [] { return NirekSync(0); }), 0);
}

void BoxStuckAtPrompt(FaultRun& run)
{
    EXPECT_EQ(run.Timed("probe", kProbe, [] { return NirekGetBoxState(); }), 2);
    EXPECT_EQ(run.Timed("sync", kSyncFails, [] { return NirekSync(0); }), 1);
}

void SingleLostAckWaitMode(FaultRun& run)
{
    ASSERT_EQ(NirekSync(0), 0);
    EXPECT_EQ(run.Timed(
                  "move", run.AckTimeout() + kSyncAnswered, [] { return NirekXYrel(1024, 1024); },
                  run.AckTimeout()),
        256);
}

void SingleLostAckLazyMode(FaultRun& run)
{
    ASSERT_EQ(NirekSync(0), 0);
    NirekSetWaitMode(0);
    EXPECT_EQ(run.Timed("move", kSyncAnswered, [] { return NirekXYrel(1024, 1024); }), 0);
    // The loss is found when the next command starts: time-out, resync, send;
    // that command reports the lost acknowledgement.
    EXPECT_EQ(run.Timed(
                  "next move", run.AckTimeout() + kSyncAnswered,
                  [] { return NirekXYrel(1024, 1024); }, run.AckTimeout()),
        256);
    NirekSetWaitMode(1);
}

void RandomLostAcks(FaultRun& run)
{
    ASSERT_EQ(NirekSync(0), 0);
    double bound = run.AckTimeout() + kSyncAnswered;
    int timeouts = 0;
    for (int i = 0; i < 400; ++i) {
        NirekSetWaitMode(i < 200 ? 1 : 0);
        int32_t r = run.Timed("move", bound, [] { return NirekXYrel(1024, -1024); });
        EXPECT_TRUE(r == 0 || r == 256) << r;
        timeouts += r == 256;
    }
    NirekSetWaitMode(1);
    // Seed 7 loses at least one acknowledgement among the first 200.
    EXPECT_GE(timeouts, 1);
}

void LateAckInsideTimeout(FaultRun& run)
{
    ASSERT_EQ(NirekSync(0), 0);
    EXPECT_EQ(run.Timed(
                  "move", run.AckTimeout(), [] { return NirekXYrel(1024, 1024); }, 0.3),
        0);
}

void LateAckBeyondTimeout(FaultRun& run)
{
    ASSERT_EQ(NirekSync(0), 0);
    // The late byte arrives during the synchronisation and only spoils one attempt.
    EXPECT_EQ(run.Timed(
                  "move", run.AckTimeout() + 0.8 + kSyncAnswered,
                  [] { return NirekXYrel(1024, 1024); }, run.AckTimeout()),
        256);
}

void LateEchoInsideWindow(FaultRun& run)
{
    EXPECT_EQ(run.Timed(
                  "sync", 0.12 + kSyncAnswered, [] { return NirekSync(0); }, 0.12),
        0);
    EXPECT_EQ(run.Timed(
                  "move", run.AckTimeout() + 0.12 + kSyncAnswered,
                  [] { return NirekXYrel(1024, 1024); }, run.AckTimeout()),
        256);
}

void LateEchoBeyondWindow(FaultRun& run)
{
    // An echo that comes after its attempt must never pass for the next one.
    EXPECT_EQ(run.Timed("sync", kSyncFails, [] { return NirekSync(0); }), 1);
    EXPECT_EQ(run.Timed("move", run.AckTimeout(), [] { return NirekXYrel(1024, 1024); }), 0);
}

void NoiseBursts(FaultRun& run)
{
    for (int i = 0; i < 60; ++i) {
        int32_t r
            = run.Timed("move", run.AckTimeout() + kSyncFails, [] { return NirekXYrel(1024, 0); });
        EXPECT_TRUE(r == 0 || r == 256) << r;
    }
}

void WrongEchoes(FaultRun& run)
{
    EXPECT_EQ(run.Timed("sync", kSyncFails, [] { return NirekSync(0); }), 1);
    // Acknowledgements are not echoes: commands still go through.
    EXPECT_EQ(run.Timed("move", run.AckTimeout(), [] { return NirekXYrel(1024, 1024); }), 0);
}

void BoxVanishesMidCommand(FaultRun& run)
{
    ASSERT_EQ(NirekSync(0), 0);
    pid_t pid = run.boxPid;
    std::thread killer([pid] {
        SleepSeconds(0.3);
        kill(pid, SIGKILL);
    });
    EXPECT_EQ(
        run.Timed("move", run.AckTimeout() + kSyncFails, [] { return NirekXYrel(1024, 1024); }),
        256);
    killer.join();
}

const FaultCase kFaultCases[] = {
    // The link is dead after the silent spell: the application's own
    // synchronisation finds the box again.
    {"SilentBox", {"--silent"}, 5, SilentBox, 0, 0, Clear::Signal, true},
    {"BoxAtPrompt", {"--prompt"}, 5, BoxAtPrompt, 0, 0, Clear::Itself, false},
    {"BoxStuckAtPrompt", {"--stuck-at-prompt"}, 5, BoxStuckAtPrompt, 0, 0, Clear::Signal, true},
    {"SingleLostAckWaitMode", {"--drop-ack", "1"}, 5, SingleLostAckWaitMode, 1024, 1024,
        Clear::Itself, false},
    {"SingleLostAckLazyMode", {"--drop-ack", "1"}, 5, SingleLostAckLazyMode, 2048, 2048,
        Clear::Itself, false},
    {"RandomOnePercentLostAcks", {"--drop-ack-prob", "0.01", "--seed", "7"}, 2, RandomLostAcks,
        400 * 1024, -400 * 1024, Clear::Signal, false},
    {"LateAckInsideTimeout", {"--ack-delay", "300"}, 5, LateAckInsideTimeout, 1024, 1024,
        Clear::Signal, false},
    {"LateAckBeyondTimeout", {"--ack-delay", "800"}, 5, LateAckBeyondTimeout, 1024, 1024,
        Clear::Signal, false},
    {"LateSyncEchoInsideWindow", {"--sync-echo-delay", "120", "--drop-ack", "1"}, 5,
        LateEchoInsideWindow, 1024, 1024, Clear::Signal, false},
    {"LateSyncEchoBeyondWindow", {"--sync-echo-delay", "300"}, 5, LateEchoBeyondWindow, 1024, 1024,
        Clear::Signal, true},
    {"NoiseBursts", {"--noise", "0.2", "--seed", "3"}, 3, NoiseBursts, 60 * 1024, 0, Clear::Signal,
        true},
    {"WrongSyncEchoes", {"--echo-n"}, 5, WrongEchoes, 1024, 1024, Clear::Signal, true},
    {"BoxVanishesMidCommandAndComesBack", {"--ack-delay", "2000"}, 10, BoxVanishesMidCommand, 0, 0,
        Clear::Restart, false},
};

class FaultInjection : public ::testing::TestWithParam<FaultCase> {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(root_.ok());
        root_.Use();
        savedTimeout_ = NirekSetTimeout(600);
        NirekSetTimeout(savedTimeout_);
        NirekSetWaitMode(1);
    }

    void TearDown() override
    {
        NirekRemove();
        NirekSetTimeout(savedTimeout_);
        NirekSetWaitMode(1);
        sim_.Stop();
    }

    void StartBox(const std::vector<std::string>& options)
    {
        ASSERT_TRUE(sim_.StartOn(root_, 1, options)) << "zrq-boxsim did not start";
        ASSERT_EQ(NirekInstall(1), 0);
    }

    ScratchRoot root_ {"faults"};
    BoxSimProcess sim_;
    int32_t savedTimeout_ = 600;
};

TEST_P(FaultInjection, ResultsAndBoundsHoldAndTheLinkRecovers)
{
    const FaultCase& c = GetParam();
    ASSERT_NO_FATAL_FAILURE(StartBox(c.options));
    NirekSetTimeout(c.timeoutTenths);

    FaultRun run(c);
    run.boxPid = sim_.pid();
    c.meet(run);
    if (HasFatalFailure())
        return;

    switch (c.clear) {
    case Clear::Itself: break;
    case Clear::Signal:
        ASSERT_EQ(kill(sim_.pid(), SIGUSR1), 0);
        SleepSeconds(0.05);
        break;
    case Clear::Restart: {
        sim_.Wait(10.0);  // the box was killed inside meet()
        NirekRemove();
        unlink(root_.ComLink(1).c_str());  // a killed box leaves its link behind
        ASSERT_NO_FATAL_FAILURE(StartBox({}));
        ASSERT_EQ(NirekSync(0), 0);
        break;
    }
    }
    if (c.resyncAfterClear) {
        SleepSeconds(0.4);  // longer than any delayed reply still on its way
        ASSERT_EQ(NirekSync(0), 0);
    }

    EXPECT_EQ(
        run.Timed("move after the fault", run.AckTimeout(), [] { return NirekXYrel(2048, -3072); }),
        0);
    EXPECT_EQ(NirekWaitHalt(), 0);
    EXPECT_EQ(static_cast<int32_t>(NirekGetInfo(25, 0)), c.movedX + 2048);
    EXPECT_EQ(static_cast<int32_t>(NirekGetInfo(12, 0)), c.movedY - 3072);
}

INSTANTIATE_TEST_SUITE_P(Table, FaultInjection, ::testing::ValuesIn(kFaultCases),
    [](const ::testing::TestParamInfo<FaultCase>& info) { return std::string(info.param.name); });

}  // namespace

#endif
