// The plan: every action of a program as the operations the runner performs,
// with the frames they put on the wire, checked against what the box can
// take before the first byte is sent.
#include <math.h>
#include <stdio.h>

#include <algorithm>
#include <string>

#include "tools/job/job.h"

namespace job {

namespace {

const int64_t kCountsPerTenthMilTimesStep = 10240000;  // 1024 counts x 10^4
const int32_t kCompactLimit = 32767;
const size_t kMostRefusals = 10;
// Bytes of the frames other than relative moves.
const uint8_t kPenFrameBytes = 1;      // 'U' or 'D'
const uint8_t kParamFrameBytes = 7;    // 'p', 16-bit number, 32-bit value
const uint8_t kSpeedFrameBytes = 3;    // 's', 16-bit value
const uint8_t kAbsXYFrameBytes = 9;    // 'a'
const uint8_t kAbsXYZFrameBytes = 13;  // 'H'
const uint8_t kHomeFrameBytes = 2;     // 'W', axis mask
const uint8_t kSelectFrameBytes = 4;   // 'P', three channels

bool Fits(int64_t v)
{
    return v >= INT32_MIN && v <= INT32_MAX;
}

bool FitsCompact(int32_t d)
{
    return d >= -kCompactLimit && d <= kCompactLimit;
}

std::string Inches(double v)
{
    char text[32];
    snprintf(text, sizeof text, "%.4f", v);
    return text;
}

struct Planner {
    const PlanOptions& options;
    Plan& plan;
    bool toolOn = false;
    bool toolWanted = false;  // as the program last set it; a pause lifts the tool meanwhile
    bool placed = false;      // the box's counts are known from here on
    int32_t at[3] = {0, 0, 0};
    int64_t counts[3] = {0, 0, 0};
    int32_t speed = -1;
    double arrive = 0, done = 0;  // seconds: frames at the box, motion finished
    double wire = 0;              // seconds the line is busy
    long moreRefusals = 0;

    int column = 0;  // of the action being planned

    void Refuse(int line, const std::string& text)
    {
        if (plan.refusals.size() >= kMostRefusals) {
            ++moreRefusals;
            return;
        }
        std::string where = line <= 0 ? ""
            : column > 0              ? std::to_string(line) + ":" + std::to_string(column) + ": "
                                      : "line " + std::to_string(line) + ": ";
        plan.refusals.push_back(where + text);
    }

    // A frame and its acknowledgement; the next frame waits for the latter.
    void Send(Op op)
    {
        if (op.bytes > 0) {
            ++plan.frames;
            plan.bytesToBox += op.bytes;
            arrive += (op.bytes + 1) / kWireBytesPerSecond;
            wire += (op.bytes + 1) / kWireBytesPerSecond;
            if (op.letter == 'C' || op.letter == 'L')
                ++plan.compactFrames;
        }
        op.doneAt = std::max(done, arrive);
        plan.ops.push_back(op);
    }

    void Tool(bool on, int line)
    {
        if (on == toolOn)
            return;
        toolOn = on;
        // A dot: the pen went down and comes up where it went down.
        if (!on && !plan.ops.empty() && plan.ops.back().kind == OpKind::ToolOn)
            ++plan.dots;
        Op op;
        op.kind = on ? OpKind::ToolOn : OpKind::ToolOff;
        op.line = line;
        if (options.tool == Tool::Laser) {
            op.letter = 'p';
            op.bytes = kParamFrameBytes;
        } else {
            op.letter = on ? 'D' : 'U';
            op.bytes = kPenFrameBytes;
        }
        Send(op);
    }

    bool TenthMils(const Point& p, int line, int32_t out[3])
    {
        const double v[3] = {p.x, p.y, p.z};
        const char* names = "XYZ";
        bool ok = true;
        for (int i = 0; i < 3; ++i) {
            double t = nearbyint(v[i] * 10000);
            if (!(t >= INT32_MIN && t <= INT32_MAX)) {
                Refuse(line,
                    std::string(1, names[i]) + " " + Inches(v[i])
                        + " in is beyond 32 bits of tenths of a mil");
                ok = false;
                continue;
            }
            out[i] = static_cast<int32_t>(t);
        }
        return ok;
    }

    bool Counts(const int32_t t[3], int line, int64_t out[3])
    {
        const int32_t steps[3]
            = {options.machine.stepX, options.machine.stepY, options.machine.stepZ};
        const char* names = "XYZ";
        bool ok = true;
        for (int i = 0; i < 3; ++i) {
            if (i == 2 && !plan.usesZ) {
                out[i] = 0;
                continue;
            }
            out[i] = CountsOf(t[i], steps[i]);
            if (!Fits(out[i])) {
                double limit = static_cast<double>(INT32_MAX) * steps[i]
                    / static_cast<double>(kCountsPerTenthMilTimesStep) / 10000;
                Refuse(line,
                    std::string(1, names[i]) + " " + Inches(t[i] / 10000.0)
                        + " in is beyond the box's 32-bit counts (+-" + Inches(limit)
                        + " in at this step)");
                ok = false;
            }
        }
        return ok;
    }

    // Speeds go out in mils a minute, which the 16-bit speed word resolves
    // to 7.5 mil/min on an 8,000-steps-an-inch axis.
    void SetSpeed(double ipm, int line)
    {
        double mils = nearbyint(ipm * 1000);
        if (!(mils >= 1 && mils <= INT32_MAX)) {
            Refuse(line, "feed " + Inches(ipm) + " in/min: the box takes 0.001 in/min or more");
            return;
        }
        int32_t value = static_cast<int32_t>(mils);
        if (value == speed)
            return;
        if (plan.countsKnown && options.machine.vunitY != 0) {
            int64_t word = SpeedValueMils(value, options.machine);
            if (word > kMaxSpeedValue)
                Refuse(line,
                    "feed " + Inches(ipm) + " in/min is beyond the box's 16-bit speed (speed value "
                        + std::to_string(word) + " of at most 65535)");
            else if (word < 1)
                Refuse(line,
                    "feed " + Inches(ipm) + " in/min is below the box's slowest speed (value 1, "
                        + Inches(
                            1000.0 / static_cast<double>(SpeedValueMils(1000000, options.machine)))
                        + " in/min)");
        }
        speed = value;
        Op op;
        op.kind = OpKind::Speed;
        op.value = value;
        op.letter = 's';
        op.bytes = kSpeedFrameBytes;
        op.line = line;
        Send(op);
    }

    void Motion(double inches)
    {
        double seconds = speed > 0 ? inches * 60000.0 / speed : 0;
        plan.motionSeconds += seconds;
        done = std::max(done, arrive) + seconds;
    }

    void Bounds(const int32_t t[3])
    {
        bool first = plan.segments == 0;
        for (int i = 0; i < 3; ++i) {
            plan.low[i] = first ? t[i] : std::min(plan.low[i], t[i]);
            plan.high[i] = first ? t[i] : std::max(plan.high[i], t[i]);
        }
    }

    void Move(const Action& a)
    {
        int32_t target[3];
        if (!TenthMils(a.to, a.line, target))
            return;
        int64_t next[3] = {target[0], target[1], target[2]};
        if (plan.countsKnown && !Counts(target, a.line, next))
            return;
        bool same = next[0] == counts[0] && next[1] == counts[1] && next[2] == counts[2];
        if (placed && same) {
            for (int i = 0; i < 3; ++i)
                at[i] = target[i];
            return;  // shorter than the box's resolution
        }
        // After a pause the tool goes back to what the program wants.
        Tool(toolWanted, a.line);
        SetSpeed(a.rapid ? options.rapidIpm : (a.feed > 0 ? a.feed : options.feedIpm), a.line);
        Op op;
        op.x = target[0], op.y = target[1], op.z = target[2];
        // A mill's drawing is its cutting moves, whatever the spindle does.
        op.drawn = options.tool == Tool::Mill ? !a.rapid : toolOn;
        op.line = a.line;
        if (!placed) {
            op.kind = OpKind::MoveAbs;
            op.letter = plan.usesZ ? 'H' : 'a';
            op.bytes = plan.usesZ ? kAbsXYZFrameBytes : kAbsXYFrameBytes;
            if (plan.usesZ) {
                // 3D mode: the first XYZ move selects the axes again, with the
                // sample spacing's two parameters.
                plan.frames += 3;
                plan.bytesToBox += kSelectFrameBytes + 2 * kParamFrameBytes;
                arrive += (kSelectFrameBytes + 2 * kParamFrameBytes + 3) / kWireBytesPerSecond;
                wire += (kSelectFrameBytes + 2 * kParamFrameBytes + 3) / kWireBytesPerSecond;
            }
        } else {
            int64_t d[3] = {next[0] - counts[0], next[1] - counts[1], next[2] - counts[2]};
            if (!Fits(d[0]) || !Fits(d[1]) || !Fits(d[2])) {
                Refuse(a.line, "one move longer than 32 bits of counts");
                return;
            }
            op.kind = OpKind::Move;
            op.dx = static_cast<int32_t>(d[0]);
            op.dy = static_cast<int32_t>(d[1]);
            op.dz = static_cast<int32_t>(d[2]);
            RelativeFrame(op.dx, op.dy, op.dz, &op.letter, &op.bytes);
        }
        double inches = sqrt(pow(target[0] - at[0], 2) + pow(target[1] - at[1], 2)
                            + pow(target[2] - at[2], 2))
            / 10000.0;
        (op.drawn ? plan.drawnInches : plan.travelInches) += inches;
        Bounds(target);
        ++plan.segments;
        Send(op);
        Motion(inches);
        plan.ops.back().doneAt = done;
        for (int i = 0; i < 3; ++i) {
            at[i] = target[i];
            counts[i] = next[i];
        }
        placed = true;
    }

    void Home(const Action& a)
    {
        Op op;
        op.kind = OpKind::Home;
        op.letter = 'W';
        op.bytes = kHomeFrameBytes;
        op.line = a.line;
        Send(op);
        double inches = sqrt(pow(at[0], 2) + pow(at[1], 2) + pow(at[2], 2)) / 10000.0;
        plan.travelInches += inches;
        // Homing answers when it is over.
        done = std::max(done, arrive) + inches * 60.0 / options.rapidIpm;
        arrive = done;
        plan.ops.back().doneAt = done;
        for (int i = 0; i < 3; ++i)
            at[i] = 0, counts[i] = 0;
        placed = true;
    }

    // The stream stops once the box has done the moves before it; the tool
    // is off while the operator works.
    void Pause(const Action& a, const std::vector<std::string>& messages)
    {
        if (!options.pauses) {
            ++plan.pausesRunThrough;
            return;
        }
        Tool(false, a.line);
        Op op;
        op.kind = OpKind::Pause;
        op.line = a.line;
        op.value = static_cast<int32_t>(plan.messages.size());
        plan.messages.push_back(a.message >= 0 && static_cast<size_t>(a.message) < messages.size()
                ? messages[static_cast<size_t>(a.message)]
                : "pause");
        Send(op);
        done = std::max(done, arrive);
        arrive = done;
        plan.ops.back().doneAt = done;
    }

    void Dwell(const Action& a)
    {
        if (!(a.seconds >= 0 && a.seconds <= 3600)) {
            Refuse(a.line, "dwell of " + Inches(a.seconds) + " s (0 to 3600)");
            return;
        }
        Op op;
        op.kind = OpKind::Dwell;
        op.value = static_cast<int32_t>(lround(a.seconds * 1000));
        op.line = a.line;
        Send(op);
        // The dwell starts when the motion before it is over.
        done = std::max(done, arrive) + a.seconds;
        arrive = done;
        plan.ops.back().doneAt = done;
    }
};

}  // namespace

int64_t CountsOf(int32_t tenthMils, int32_t step)
{
    if (step == 0)
        return 0;
    int64_t t = tenthMils;
    return (t * kCountsPerTenthMilTimesStep + (t >> 1)) / step;
}

namespace {

int64_t VelocityFactor(const Machine& machine)
{
    return static_cast<int64_t>(0x100000u / machine.vunitY) * 100000000 / machine.stepY;
}

}  // namespace

int64_t SpeedValue(int32_t ipm, const Machine& machine)
{
    if (machine.vunitY == 0 || machine.stepY == 0)
        return 0;
    return static_cast<int64_t>(ipm) * VelocityFactor(machine) / 3840;
}

int64_t SpeedValueMils(int64_t milsPerMinute, const Machine& machine)
{
    if (machine.vunitY == 0 || machine.stepY == 0)
        return 0;
    return (milsPerMinute * VelocityFactor(machine) + 1920000) / 3840000;
}

void RelativeFrame(int32_t dx, int32_t dy, int32_t dz, uint8_t* letter, uint8_t* bytes)
{
    if (dz != 0) {
        bool compact = FitsCompact(dx) && FitsCompact(dy) && FitsCompact(dz);
        *letter = compact ? 'L' : 'K';
        *bytes = compact ? 7 : 13;
        return;
    }
    if (FitsCompact(dx) && FitsCompact(dy)) {
        *letter = 'C';
        *bytes = 5;
    } else if (dx == 0 || dy == 0) {
        *letter = dx == 0 ? 'y' : 'x';
        *bytes = 5;
    } else {
        *letter = 'r';
        *bytes = 9;
    }
}

bool MakePlan(const Program& program, const PlanOptions& options, Plan* plan)
{
    *plan = Plan();
    plan->usesZ = program.usesZ;
    const Machine& m = options.machine;
    plan->countsKnown = m.stepX != 0 && m.stepY != 0 && (!program.usesZ || m.stepZ != 0);
    Planner p {options, *plan};
    int32_t start[3];
    if (p.TenthMils(options.start, 0, start))
        for (int i = 0; i < 3; ++i)
            p.at[i] = start[i];
    // The pen goes up before the first travel, whatever the box was left
    // with; a laser is switched off as well.
    Op up;
    up.kind = OpKind::ToolOff;
    up.letter = 'U';
    up.bytes = kPenFrameBytes;
    p.Send(up);
    if (options.tool == Tool::Laser) {
        p.toolOn = true;
        p.Tool(false, 0);
    }
    for (const Action& a : program.actions) {
        p.column = a.column;
        switch (a.kind) {
        case ActionKind::Move: p.Move(a); break;
        case ActionKind::ToolOn:
        case ActionKind::ToolOff:
            p.toolWanted = a.kind == ActionKind::ToolOn;
            p.Tool(p.toolWanted, a.line);
            break;
        case ActionKind::Dwell: p.Dwell(a); break;
        case ActionKind::Home: p.Home(a); break;
        case ActionKind::Pause: p.Pause(a, program.messages); break;
        }
    }
    p.Tool(false, 0);
    if (p.moreRefusals > 0)
        plan->refusals.push_back("... and " + std::to_string(p.moreRefusals) + " more");
    plan->notes = program.notes;
    if (!program.ignored.empty()) {
        std::string ignored = "ignored:";
        for (size_t i = 0; i < program.ignored.size(); ++i) {
            ignored += (i ? ", " : " ") + program.ignored[i].first;
            if (program.ignored[i].second > 1)
                ignored += " \u00d7" + std::to_string(program.ignored[i].second);
        }
        plan->notes.push_back(ignored);
    }
    if (plan->pausesRunThrough > 0)
        plan->notes.push_back(
            "pauses: " + std::to_string(plan->pausesRunThrough) + " run through (--no-pause)");
    else if (!plan->messages.empty())
        plan->notes.push_back("pauses: " + std::to_string(plan->messages.size())
            + " (the run waits for Enter at each)");
    plan->wireSeconds = p.wire;
    plan->estimateSeconds = std::max(p.arrive, p.done);
    return plan->refusals.empty();
}

}  // namespace job
