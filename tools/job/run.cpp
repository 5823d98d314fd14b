// The plan on the wire: relative moves in lazy mode, so the next frame goes
// out as soon as the previous one is acknowledged and the host never holds
// the line up.
#include "tools/job/run.h"

#include <errno.h>
#include <time.h>

#include "zrqapi.h"

namespace job {

namespace {

const int32_t kInfoStep = 26;
const int32_t kInfoVunit = 27;
const int32_t kChannelZ = 0, kChannelY = 1, kChannelX = 3;
const double kMotionWaitSeconds = 600;
const long kPollMicros = 50000;

double Now()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

void SleepMicros(long micros, volatile sig_atomic_t* interrupted)
{
    struct timespec ts = {micros / 1000000, (micros % 1000000) * 1000};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR && !*interrupted) { }
}

int32_t StepOfChannel(int32_t channel)
{
    uint32_t word = NirekGetInfo(kInfoStep, channel);
    uint32_t divisor = word >> 16;
    if (divisor == 0)
        return 0;
    return static_cast<int32_t>(static_cast<uint64_t>(word & 0xFFFFu) * 100000 / divisor);
}

struct Stream {
    const Plan& plan;
    volatile sig_atomic_t* interrupted;
    ProgressHook progress;
    void* context;
    PauseHook pause;
    void* pauseContext;
    RunReport report;

    void Progress()
    {
        if (progress != nullptr)
            progress(report.segments, plan.segments, context);
    }

    bool WaitForHalt()
    {
        double start = Now();
        int32_t state;
        while ((state = Kap_InMotion()) != 0) {
            // A box that does not answer is not one that still moves.
            if (state == ZRQ_ACK_TIMEOUT) {
                report.end = RunEnd::Failed;
                report.result = state;
                return false;
            }
            if (*interrupted) {
                report.end = RunEnd::Interrupted;
                return false;
            }
            if (Now() - start > kMotionWaitSeconds) {
                report.end = RunEnd::StillMoving;
                return false;
            }
            Progress();
            SleepMicros(kPollMicros, interrupted);
        }
        return true;
    }

    int32_t Tool(const Op& op)
    {
        bool on = op.kind == OpKind::ToolOn;
        if (op.letter == 'p')
            return Kap_LaserOn(on ? 1 : 0);
        // Wanted and commanded pen agree, so long-form moves carry no pen
        // letter of their own.
        if (on) {
            NirekPenDown();
            return NirekPenDownNow();
        }
        NirekPenUp();
        return NirekPenUpNow();
    }

    bool Send(const Op& op)
    {
        int32_t result = 0;
        switch (op.kind) {
        case OpKind::Speed: result = Kap_VelocityMils(op.value); break;
        case OpKind::ToolOn:
        case OpKind::ToolOff: result = Tool(op); break;
        case OpKind::MoveAbs:
            result = plan.usesZ ? Kap_MoveXYZ(op.x, op.y, op.z) : Kap_MoveXY(op.x, op.y);
            ++report.segments;
            break;
        case OpKind::Move:
            result = plan.usesZ ? NirekXYZrel(op.dx, op.dy, op.dz) : NirekXYrel(op.dx, op.dy);
            ++report.segments;
            break;
        case OpKind::Dwell:
            if (!WaitForHalt())
                return false;
            SleepMicros(op.value * 1000L, interrupted);
            break;
        case OpKind::Home: result = Kap_Home(); break;
        case OpKind::Pause:
            // The plan put the tool off before the pause; the box must have
            // done every move before it too.
            if (!WaitForHalt())
                return false;
            if (pause != nullptr
                && !pause(plan.messages[static_cast<size_t>(op.value)], op.line, pauseContext)) {
                report.end = RunEnd::Interrupted;
                return false;
            }
            break;
        }
        if (result != 0) {
            report.end = RunEnd::Failed;
            report.line = op.line;
            report.result = result;
            return false;
        }
        return true;
    }
};

}  // namespace

RunReport StreamPlan(const Plan& plan, volatile sig_atomic_t* interrupted, ProgressHook progress,
    void* context, PauseHook pause, void* pauseContext)
{
    Stream s {plan, interrupted, progress, context, pause, pauseContext, RunReport()};
    if (plan.usesZ)
        Kap_3dMode();
    int32_t waitMode = Kap_SetWaitMode(0);
    bool sent = true;
    for (const Op& op : plan.ops) {
        if (*interrupted) {
            s.report.end = RunEnd::Interrupted;
            sent = false;
            break;
        }
        if (!s.Send(op)) {
            sent = false;
            break;
        }
        s.Progress();
    }
    if (sent)
        s.WaitForHalt();
    // A call that failed because a stop signal's emergency stop ended it
    // was interrupted; the stop has been sent already.
    if (s.report.end == RunEnd::Failed && *interrupted)
        s.report.end = RunEnd::Interrupted;
    if (s.report.end == RunEnd::Failed || s.report.end == RunEnd::StillMoving)
        s.report.stopResult = NirekEstop();
    Kap_SetWaitMode(waitMode);
    return s.report;
}

Machine ReadMachine()
{
    Machine m;
    m.stepX = StepOfChannel(kChannelX);
    m.stepY = StepOfChannel(kChannelY);
    m.stepZ = StepOfChannel(kChannelZ);
    m.vunitY = NirekGetInfo(kInfoVunit, kChannelY);
    return m;
}

}  // namespace job
