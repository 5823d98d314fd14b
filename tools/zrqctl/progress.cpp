#include "progress.h"

#include <errno.h>
#include <math.h>
#include <stdio.h>
#include <time.h>

#include "command.h"
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
    switch (g_target.kind) {
    case Target::None:
    case Target::XY:
    case Target::XYZ:
        Kap_GetRtPos(&x, &y, nullptr);
        if (g_target.kind == Target::XYZ)
            Kap_GetMachinePosition(nullptr, nullptr, &z);
        text = "X=" + FormatDistance(x) + " Y=" + FormatDistance(y);
        if (g_target.kind == Target::XYZ)
            text += " Z=" + FormatDistance(z);
        left = hypot(static_cast<double>(g_target.x) - x, static_cast<double>(g_target.y) - y);
        if (g_target.kind == Target::XYZ)
            left = hypot(left, static_cast<double>(g_target.z) - z);
        break;
    case Target::Z:
        Kap_GetMachinePosition(nullptr, nullptr, &z);
        text = "Z=" + FormatDistance(z);
        left = fabs(static_cast<double>(g_target.z) - z);
        break;
    case Target::R:
        Kap_GetRotorPosition(&r);
        text = "R=" + FormatDistance(r);
        left = fabs(static_cast<double>(g_target.r) - r);
        break;
    }
    text += std::string(" ") + UnitName();
    if (g_target.kind != Target::None)
        text += ", " + FormatDistance(static_cast<int32_t>(llround(left))) + " to go";
    return text;
}

}  // namespace

Target g_target;

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
    double lastLine = start;
    bool shown = false;
    while (Kap_InMotion()) {
        double now = Now();
        if (now - start > kWaitLimitSeconds) {
            if (shown && g_options.progressLine)
                printf("\n");
            fprintf(stderr, "zrqctl: %s%s: still in motion after %d s\n", command.where.c_str(),
                command.spec->name, kWaitLimitSeconds);
            return kExitTempFail;
        }
        if (g_options.progressLine) {
            printf("\r\033[K  moving: %s", ProgressText().c_str());
            fflush(stdout);
            shown = true;
        } else if (now - lastLine >= 1.0) {
            printf("  moving: %s\n", ProgressText().c_str());
            fflush(stdout);
            lastLine = now;
        }
        SleepMicros(kWaitPollMicros);
    }
    if (shown)
        printf("\r\033[K");
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
