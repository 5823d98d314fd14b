#include "progress.h"

#include <errno.h>
#include <math.h>
#include <stdio.h>
#include <time.h>

#include "command.h"
#include "stop.h"
#include "units.h"
#include "zrqapi.h"
#include "zrqctl.h"

namespace {

const int kWaitPollMicros = 100000;
const int kWaitLimitSeconds = 600;

// Where the axes of the last move are, and how far they still have to go.
std::string ProgressText()
{
    int32_t x = 0, y = 0, z = 0, r = 0;
    double left = 0;
    std::string text;
    int32_t failed = 0;
    switch (g_target.kind) {
    case Target::None:
    case Target::XY:
    case Target::XYZ:
        failed = Kap_GetRtPos(&x, &y, nullptr);
        if (g_target.kind == Target::XYZ && failed == 0)
            failed = Kap_GetMachinePosition(nullptr, nullptr, &z);
        text = "X=" + FormatDistance(x) + " Y=" + FormatDistance(y);
        if (g_target.kind == Target::XYZ)
            text += " Z=" + FormatDistance(z);
        left = hypot(static_cast<double>(g_target.x) - x, static_cast<double>(g_target.y) - y);
        if (g_target.kind == Target::XYZ)
            left = hypot(left, static_cast<double>(g_target.z) - z);
        break;
    case Target::Z:
        failed = Kap_GetMachinePosition(nullptr, nullptr, &z);
        text = "Z=" + FormatDistance(z);
        left = fabs(static_cast<double>(g_target.z) - z);
        break;
    case Target::R:
        failed = Kap_GetRotorPosition(&r);
        text = "R=" + FormatDistance(r);
        left = fabs(static_cast<double>(g_target.r) - r);
        break;
    }
    // A position the box did not give is not shown as zero.
    if (failed != 0)
        return "position unknown (the box did not answer)";
    text += std::string(" ") + UnitName();
    if (g_target.kind != Target::None)
        text += ", " + FormatDistance(static_cast<int32_t>(llround(left))) + " to go";
    return text;
}

// On a pipe a run file's progress is a plain line now and then, counted over
// the whole file, so a job of many short moves still reports.
const double kPipeLineSecondsInRun = 5.0;

struct RunClock {
    int file = 0;  // the run file being timed, 0 none
    double started = 0;
    double lastLine = 0;  // a plain progress line was printed
};

RunClock g_runClock;

std::string Clock(double seconds)
{
    long whole = static_cast<long>(seconds + 0.5);
    char text[32];
    if (whole >= 3600)
        snprintf(text, sizeof text, "%ld:%02ld:%02ld", whole / 3600, whole / 60 % 60, whole % 60);
    else
        snprintf(text, sizeof text, "%ld:%02ld", whole / 60, whole % 60);
    return text;
}

// "line 3 of 40, 0:12 elapsed, about 2:28 left: " in a run file, else "".
// The estimate assumes the lines to come take as long as those done.
std::string RunText(const Command& command)
{
    if (command.runFile == 0 || command.runFile != g_runClock.file)
        return "";
    double elapsed = Now() - g_runClock.started;
    std::string text = "line " + std::to_string(command.runLine) + " of "
        + std::to_string(command.runLines) + ", " + Clock(elapsed) + " elapsed";
    int done = command.runLine - 1;
    if (done > 0)
        text += ", about " + Clock(elapsed / done * (command.runLines - done)) + " left";
    return text + ": ";
}

}  // namespace

Target g_target;

void NoteCommandStart(const Command& command)
{
    if (command.runFile != 0 && command.runFile != g_runClock.file) {
        g_runClock.file = command.runFile;
        g_runClock.started = Now();
        g_runClock.lastLine = g_runClock.started;
    }
}

void SleepMicros(long micros)
{
    struct timespec ts = {micros / 1000000, (micros % 1000000) * 1000};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) { }
}

double Now()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

int WaitUntilStopped(const Command& command)
{
    double start = Now();
    bool inRun = command.runFile != 0 && command.runFile == g_runClock.file;
    double& lastLine = inRun ? g_runClock.lastLine : start;
    double interval = inRun ? kPipeLineSecondsInRun : 1.0;
    bool shown = false;
    int32_t state;
    while ((state = Kap_InMotion()) != 0) {
        if (StopRequested())
            return StopNow();
        if (state == ZRQ_ACK_TIMEOUT) {
            if (shown && g_options.progressLine)
                printf("\n");
            StopNoteOpenLine(false);
            fprintf(stderr,
                "zrqctl: %s%s: the box did not answer while it moved: stopped waiting, position "
                "unknown\n",
                command.where.c_str(), command.spec->name);
            return kExitTempFail;
        }
        double now = Now();
        if (now - start > kWaitLimitSeconds) {
            if (shown && g_options.progressLine)
                printf("\n");
            StopNoteOpenLine(false);
            fprintf(stderr, "zrqctl: %s%s: still in motion after %d s\n", command.where.c_str(),
                command.spec->name, kWaitLimitSeconds);
            return kExitTempFail;
        }
        if (g_options.progressLine) {
            printf("\r\033[K  %smoving: %s", RunText(command).c_str(), ProgressText().c_str());
            fflush(stdout);
            shown = true;
            StopNoteOpenLine(true);
        } else if (now - lastLine >= interval) {
            printf("  %smoving: %s\n", RunText(command).c_str(), ProgressText().c_str());
            fflush(stdout);
            lastLine = now;
        }
        SleepMicros(kWaitPollMicros);
    }
    if (shown)
        printf("\r\033[K");
    StopNoteOpenLine(false);
    if (shown || g_options.verbose)
        printf("  stopped: %s\n", ProgressText().c_str());
    fflush(stdout);
    return 0;
}

int AfterMove(const Command& command, int code)
{
    if (code != 0 || !g_options.waitMoves)
        return code;
    return WaitUntilStopped(command);
}
