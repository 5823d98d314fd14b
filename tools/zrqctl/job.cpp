// The job command: plan the whole file, show the plan, refuse what the box
// cannot do before the first byte, then stream the moves in lazy mode as
// relative moves (compact frames wherever they fit) and check where the
// machine ended up.
#include "job.h"

#include <ctype.h>
#include <math.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>

#include "command.h"
#include "handlers.h"
#include "stop.h"
#include "tools/job/run.h"
#include "units.h"
#include "zrqapi.h"
#include "zrqctl.h"

namespace {

const int kExitDataError = 65;  // sysexits: the job itself is at fault
const int kExitCantCreate = 73;

double Now()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// A refusal of the plan with the file's name: "FILE:LINE:COLUMN: why" where
// the reader named the word, "FILE: line LINE: why" otherwise.
std::string Refusal(const std::string& path, const std::string& refusal)
{
    bool placed = !refusal.empty() && isdigit(static_cast<unsigned char>(refusal[0]));
    return path + (placed ? ":" : ": ") + refusal;
}

int FirstPauseLine(const job::Plan& plan)
{
    for (const job::Op& op : plan.ops)
        if (op.kind == job::OpKind::Pause)
            return op.line;
    return 0;
}

std::string Distance(double tenthMils)
{
    char text[48];
    if (g_options.units == Unit::Millimetre)
        snprintf(text, sizeof text, "%.3f mm", tenthMils * 0.00254);
    else if (g_options.units == Unit::TenthMil)
        snprintf(text, sizeof text, "%.1f tmil", tenthMils);
    else
        snprintf(text, sizeof text, "%.4f in", tenthMils / 10000);
    return text;
}

// A bar with segment N of M, elapsed and time left, redrawn at most ten
// times a second. The box queues what it is sent, so N is the segments the
// plan expects finished by now (never more than were sent), not the sent ones.
struct Progress {
    bool enabled = false;
    const job::Plan* plan = nullptr;
    double started = 0, lastShown = -1;
    size_t cursor = 0;  // first op of the plan not yet expected done
    long finished = 0;

    static void Hook(long sent, long total, void* context)
    {
        static_cast<Progress*>(context)->Show(sent, total);
    }

    void Show(long sent, long total)
    {
        if (!enabled)
            return;
        double now = Now();
        if (now - lastShown < 0.1)
            return;
        lastShown = now;
        double elapsed = now - started;
        for (; cursor < plan->ops.size() && plan->ops[cursor].doneAt <= elapsed; ++cursor)
            if (plan->ops[cursor].kind == job::OpKind::Move
                || plan->ops[cursor].kind == job::OpKind::MoveAbs)
                ++finished;
        long shown = std::min(finished, sent);
        // The bar fills with time: a circle's short chords go by faster than a wall.
        const int width = 30;
        double part = plan->estimateSeconds > 0 ? elapsed / plan->estimateSeconds : 1;
        int filled = static_cast<int>(width * std::min(1.0, part));
        // Past the estimate nothing is known to be left: say how far past.
        double left = plan->estimateSeconds - elapsed;
        std::string remaining = left >= 0.5
            ? std::to_string(static_cast<long>(left + 0.5)) + " s left"
            : std::to_string(static_cast<long>(-left + 0.5)) + " s past the estimate";
        printf("\r\033[K[%s%s] segment %ld of %ld, %.0f s, %s",
            std::string(static_cast<size_t>(filled), '#').c_str(),
            std::string(static_cast<size_t>(width - filled), '.').c_str(), shown, total, elapsed,
            remaining.c_str());
        fflush(stdout);
    }
    void End()
    {
        if (enabled && lastShown >= 0)
            printf("\r\033[K");
    }
};

// What came of the emergency stop a failed run sent.
const char* StopReport(int32_t result)
{
    if (result == ZRQ_STOP_NOT_SENT)
        return "the emergency stop could NOT be written to the line";
    return result == 0 ? "emergency stop sent" : "emergency stop sent, not answered";
}

// A warning, with the distance, when the drawing leaves the page its file
// gives (with --fit or --origin it is placed anew, and the page is moot).
void DrawingOffPage(
    const job::Program& program, const job::Point& low, const job::Point& high, JobRequest* request)
{
    if (program.pageWidth <= 0 || program.pageHeight <= 0 || request->fit || request->origin)
        return;
    double out
        = std::max({0.0, -low.x, -low.y, high.x - program.pageWidth, high.y - program.pageHeight});
    if (out > 0.0005)
        request->warnings.push_back("the drawing leaves its page ("
            + Distance(program.pageWidth * 10000) + " x " + Distance(program.pageHeight * 10000)
            + ") by up to " + Distance(out * 10000));
}

// --pause-between-layers: the job's pause (pen up, Enter goes on) before
// each layer that has drawing before it. Layers' ranges stay theirs, each
// with its pause.
void PauseBetweenLayers(job::Program* program)
{
    std::vector<size_t> at;  // old indices the pauses go before
    std::vector<job::Action> pauses;
    for (const job::Layer& layer : program->layers) {
        if (layer.begin == layer.end || layer.begin == 0)
            continue;
        job::Action pause;
        pause.kind = job::ActionKind::Pause;
        pause.line = layer.line;
        pause.message = static_cast<int>(program->messages.size());
        program->messages.push_back("layer '" + layer.name + "' next: change the pen");
        at.push_back(layer.begin);
        pauses.push_back(pause);
    }
    if (at.empty())
        return;
    std::vector<job::Action> actions;
    actions.reserve(program->actions.size() + at.size());
    size_t k = 0;
    for (size_t i = 0; i <= program->actions.size(); ++i) {
        for (; k < at.size() && at[k] == i; ++k)
            actions.push_back(pauses[k]);
        if (i < program->actions.size())
            actions.push_back(program->actions[i]);
    }
    // An index moves on by the pauses put before it.
    auto moved = [&](size_t x) {
        return x + static_cast<size_t>(std::lower_bound(at.begin(), at.end(), x) - at.begin());
    };
    for (job::Layer& layer : program->layers) {
        layer.begin = moved(layer.begin);
        layer.end = moved(layer.end);
    }
    program->actions.swap(actions);
}

}  // namespace

bool PrepareJob(Command* c, std::string* why, int* status)
{
    auto request = std::make_shared<JobRequest>();
    job::ParseOptions parse;
    request->path = c->texts[static_cast<size_t>(c->args[0])];
    if (!ReadOptions(*c, request.get(), &parse, why)) {
        *why = "job: " + *why;
        *status = kExitUsage;
        return false;
    }
    if (!job::ParseFile(request->path, parse, &request->program, why)) {
        *status = kExitDataError;
        return false;
    }
    job::Program& program = request->program;
    job::Point low, high;
    if (job::ProgramBounds(program, &low, &high)) {
        DrawingOffPage(program, low, high, request.get());
        double scale = request->scale;
        if (request->fit) {
            double w = high.x - low.x, h = high.y - low.y;
            double sx = w > 0 ? request->fitWidth / 10000.0 / w : 1e300;
            double sy = h > 0 ? request->fitHeight / 10000.0 / h : 1e300;
            scale = std::min(sx, sy) < 1e300 ? std::min(sx, sy) : 1;
        }
        // The chord tolerance holds on the machine: curves are flattened
        // again, finer by the scale (bounds and placement stay as they were).
        if (scale != 1) {
            job::ParseOptions scaled = parse;
            scaled.tolerance = parse.tolerance / scale;
            if (!job::ParseFile(request->path, scaled, &program, why)) {
                *status = kExitDataError;
                return false;
            }
        }
        // The drawing's lower-left corner goes to the origin (0,0 with --fit).
        bool place = request->fit || request->origin;
        double ox = request->originX / 10000.0, oy = request->originY / 10000.0;
        job::PlaceProgram(
            &program, scale, place ? ox - low.x * scale : 0, place ? oy - low.y * scale : 0);
    }
    if (request->optimize && !job::OptimizeTravel(&program, job::Point(), &request->optimized)) {
        *why = "job: --optimize: " + request->path + " is not pen strokes alone";
        *status = kExitUsage;
        return false;
    }
    if (request->pauseBetweenLayers)
        PauseBetweenLayers(&program);
    // What can be refused without the box (32 bits of tenths of a mil,
    // feeds) is refused now, before any command of the line runs.
    job::PlanOptions options;
    options.feedIpm = request->feedIpm;
    options.rapidIpm = request->rapidIpm;
    options.tool = request->toolGiven ? request->tool : program.tool;
    options.pauses = !request->noPause;
    job::Plan plan;
    if (!job::MakePlan(program, options, &plan)) {
        *why = "job: " + request->path + ": refused; nothing was sent";
        for (const std::string& r : plan.refusals)
            *why += "\n  " + Refusal(request->path, r);
        *status = kExitDataError;
        return false;
    }
    // Nobody could answer a pause: refused before the port opens.
    if (!request->dryRun && !plan.messages.empty() && !isatty(STDIN_FILENO)) {
        *why = "job: " + request->path + ": " + std::to_string(plan.messages.size())
            + " pause(s), the first at line " + std::to_string(FirstPauseLine(plan))
            + ", and standard input is no terminal to go on from; --no-pause runs through "
              "them; nothing was sent";
        *status = kExitDataError;
        return false;
    }
    c->job = request;
    return true;
}

namespace {

// At a pause: the box has stopped and the tool is off. Enter goes on; a
// stop signal ends the wait (the stream then sends the emergency stop).
bool WaitAtPause(const std::string& message, int line, void* context)
{
    Progress* progress = static_cast<Progress*>(context);
    progress->End();
    double began = Now();
    printf("job: paused at line %d: %s\n  the box has stopped, tool off; Enter goes on, "
           "Ctrl-C stops\n",
        line, message.c_str());
    fflush(stdout);
    volatile sig_atomic_t* stop = StopFlag();
    bool ended = false;
    while (!*stop) {
        struct pollfd in = {STDIN_FILENO, POLLIN, 0};
        if (ended || poll(&in, 1, 100) <= 0) {
            if (ended)
                usleep(100000);
            continue;
        }
        char ch = 0;
        ssize_t n = read(STDIN_FILENO, &ch, 1);
        if (n == 1 && ch == '\n')
            break;
        ended = n == 0;  // end of input: only a stop signal ends this wait
    }
    // The progress bar counts from the start of the moves, not the pause.
    progress->started += Now() - began;
    progress->lastShown = -1;
    return !*stop;
}

}  // namespace

int RunJob(const Command& c)
{
    const JobRequest& request = *c.job;
    const std::string& where = c.where;
    const char* unit = g_options.units == Unit::Millimetre ? "mm" : "in";
    for (const std::string& s : request.program.skipped)
        printf("job: skipped %s\n", s.c_str());
    for (const std::string& w : request.warnings)
        printf("job: warning: %s\n", w.c_str());
    if (request.listLayers) {
        printf("job %s: %zu layers\n", request.path.c_str(), request.program.layers.size());
        for (const job::Layer& layer : request.program.layers)
            printf("  %-24s %-7s drawn %s (line %d)\n", ("'" + layer.name + "'").c_str(),
                layer.visible ? "visible" : "hidden", Distance(layer.drawnInches * 10000).c_str(),
                layer.line);
        return 0;
    }
    if (request.optimize)
        printf("optimize: pen-up travel in the file's order %s, optimised %s (%ld strokes, %ld "
               "joined)\n",
            Distance(request.optimized.travelBefore * 10000).c_str(),
            Distance(request.optimized.travelAfter * 10000).c_str(), request.optimized.strokes,
            request.optimized.joined);

    job::PlanOptions options;
    options.feedIpm = request.feedIpm;
    options.rapidIpm = request.rapidIpm;
    options.tool = request.toolGiven ? request.tool : request.program.tool;
    options.pauses = !request.noPause;
    options.machine.stepX = request.steps[0];
    options.machine.stepY = request.steps[1];
    options.machine.stepZ = request.steps[2];
    bool linked = NirekIsInstalled() != 0;
    if (linked) {
        // The box's own description of its axes, unless the operator gave
        // the steps of a box that reports none.
        job::Machine box = job::ReadMachine();
        if (options.machine.stepX == 0) {
            options.machine.stepX = box.stepX;
            options.machine.stepY = box.stepY;
            options.machine.stepZ = box.stepZ;
        }
        options.machine.vunitY = box.vunitY;
        int32_t x = 0, y = 0, z = 0;
        if (Kap_GetMachinePosition(&x, &y, &z) == 0) {
            options.start.x = x / 10000.0;
            options.start.y = y / 10000.0;
            options.start.z = z / 10000.0;
        }
    }
    job::Plan plan;
    bool accepted = job::MakePlan(request.program, options, &plan);
    printf("job %s\n%s", request.path.c_str(), job::Summary(plan, unit).c_str());
    if (!request.previewPath.empty()) {
        std::ofstream preview(request.previewPath, std::ios::binary);
        preview << job::PreviewSvg(plan, options.start);
        if (!preview.good()) {
            fprintf(stderr, "zrqctl: %sjob: cannot write %s\n", where.c_str(),
                request.previewPath.c_str());
            return kExitCantCreate;
        }
        printf("preview %s\n", request.previewPath.c_str());
    }
    fflush(stdout);
    if (!accepted) {
        for (const std::string& r : plan.refusals)
            fprintf(stderr, "zrqctl: %sjob: %s\n", where.c_str(), Refusal(request.path, r).c_str());
        fprintf(stderr, "zrqctl: %sjob: refused; nothing was sent\n", where.c_str());
        return kExitDataError;
    }
    if (request.dryRun)
        return 0;
    if (!linked) {
        fprintf(stderr, "zrqctl: %sjob: Not initialized (run init first)\n", where.c_str());
        return ZRQ_NOT_INITIALIZED;
    }
    if (!plan.countsKnown) {
        fprintf(stderr,
            "zrqctl: %sjob: the box reports no step size; give them with --steps X,Y[,Z]\n",
            where.c_str());
        return kExitDataError;
    }

    // A stop signal ends the stream before the next operation; the stop
    // module then sends the emergency stop and reports.
    Progress progress;
    progress.enabled = g_options.progressLine;
    progress.plan = &plan;
    progress.started = Now();
    job::RunReport report
        = job::StreamPlan(plan, StopFlag(), Progress::Hook, &progress, WaitAtPause, &progress);
    progress.End();
    switch (report.end) {
    case job::RunEnd::Done: break;
    case job::RunEnd::Interrupted:
        fprintf(stderr, "zrqctl: %sjob: interrupted after %ld of %ld segments\n", where.c_str(),
            report.segments, plan.segments);
        return StopNow();
    case job::RunEnd::Failed:
        fprintf(stderr, "zrqctl: %sjob: %s%s at segment %ld of %ld (%d: %s); %s\n", where.c_str(),
            report.line > 0 ? ("line " + std::to_string(report.line) + ": ").c_str() : "",
            report.result == ZRQ_ACK_TIMEOUT ? "the box did not answer" : "the box refused",
            report.segments, plan.segments, report.result,
            report.result == ZRQ_ACK_TIMEOUT ? "no answer"
                : Kap_GetErrorString()       ? Kap_GetErrorString()
                                             : "",
            StopReport(report.stopResult));
        return report.result > 0 && report.result < 256 ? report.result : kExitTempFail;
    case job::RunEnd::StillMoving:
        fprintf(stderr, "zrqctl: %sjob: the box did not stop moving; %s\n", where.c_str(),
            StopReport(report.stopResult));
        return kExitTempFail;
    }

    // Where the plan ends and where the box says it is.
    int32_t end[3] = {0, 0, 0};
    for (const job::Op& op : plan.ops)
        if (op.kind == job::OpKind::Move || op.kind == job::OpKind::MoveAbs
            || op.kind == job::OpKind::Home) {
            end[0] = op.x, end[1] = op.y, end[2] = op.z;
        }
    int32_t got[3] = {0, 0, 0};
    if (Kap_GetMachinePosition(&got[0], &got[1], &got[2]) != 0) {
        fprintf(stderr, "zrqctl: %sjob: the final position could not be read\n", where.c_str());
        return kExitTempFail;
    }
    double seconds = Now() - progress.started;
    const int32_t steps[3] = {options.machine.stepX, options.machine.stepY, options.machine.stepZ};
    bool off = false;
    std::string difference;
    for (int i = 0; i < (plan.usesZ ? 3 : 2); ++i) {
        double d = static_cast<double>(got[i]) - end[i];
        // One step is step / 10^4 tenths of a mil.
        off = off || fabs(d) * 10000 > steps[i];
        difference += std::string(i ? " " : "") + "XYZ"[i] + "=" + Distance(d);
    }
    printf("job done in %.1f s (estimate %.1f s); final position off the plan by %s\n", seconds,
        plan.estimateSeconds, difference.c_str());
    if (off) {
        fprintf(stderr, "zrqctl: %sjob: the machine ended more than a step away from the plan\n",
            where.c_str());
        return 1;
    }
    return 0;
}
