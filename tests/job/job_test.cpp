// Job parsers and planner against hand-computed points, frames and refusals.
#include <gtest/gtest.h>

#include <math.h>
#include <string.h>

#include <algorithm>

#include <string>
#include <vector>

#include "tools/job/job.h"

namespace {

using job::Action;
using job::ActionKind;
using job::Point;
using job::Program;

const double kNear = 1e-9;

// The older rows are written in inches; a file without G20/G21 is read in
// millimetres unless the operator says otherwise.
job::ParseOptions Inch()
{
    job::ParseOptions options;
    options.inchesAssumed = true;
    return options;
}
const double kR45 = 0.70710678118654752;

// One move as the tests write them: where to, and whether the tool is on.
struct Move {
    double x, y;
    bool drawn;
};

std::vector<Move> Moves(const Program& program)
{
    std::vector<Move> moves;
    bool on = false;
    for (const Action& a : program.actions) {
        if (a.kind == ActionKind::ToolOn)
            on = true;
        else if (a.kind == ActionKind::ToolOff)
            on = false;
        else if (a.kind == ActionKind::Move)
            moves.push_back({a.to.x, a.to.y, on});
    }
    return moves;
}

// Rows pick moves by index (negative counts from the end) and give the
// expected point; count is the number of moves, or -1 when not checked.
struct Expect {
    int index;
    double x, y;
};

struct ParseRow {
    const char* name;
    std::string text;
    int count;
    std::vector<Expect> points;
};

void CheckRow(const ParseRow& row, const Program& program)
{
    std::vector<Move> moves = Moves(program);
    if (row.count >= 0) {
        EXPECT_EQ(static_cast<int>(moves.size()), row.count) << row.name;
    }
    for (const Expect& e : row.points) {
        int i = e.index < 0 ? static_cast<int>(moves.size()) + e.index : e.index;
        ASSERT_TRUE(i >= 0 && i < static_cast<int>(moves.size())) << row.name << " #" << e.index;
        EXPECT_NEAR(moves[i].x, e.x, 1e-6) << row.name << " #" << e.index;
        EXPECT_NEAR(moves[i].y, e.y, 1e-6) << row.name << " #" << e.index;
    }
}

// Each row read as SVG and checked.
template<size_t N> void ParseAndCheck(const ParseRow (&rows)[N])
{
    for (const ParseRow& row : rows) {
        Program program;
        std::string error;
        ASSERT_TRUE(job::ParseSvg(row.text, "t.svg", {}, &program, &error))
            << row.name << ": " << error;
        CheckRow(row, program);
    }
}

// A quarter turn at radius 1 in within 0.001 in takes 18 chords of 5 degrees
// (2 acos(0.999) = 5.125 degrees at most); a full turn 71.
TEST(JobGcode, WordsModesAndArcsGiveTheHandComputedPoints)
{
    const ParseRow rows[] = {
        {"inch absolute then relative", "G20 G90\nG0 X1 Y2\nG91 G1 X0.5 Y-1 F10\n", 2,
            {{0, 1, 2}, {1, 1.5, 1}}},
        {"millimetres", "G21\nG0 X25.4 Y-50.8", 1, {{0, 1, -2}}},
        {"G92 shifts what follows", "G0 X1 Y1\nG92 X0 Y0\nG0 X1", 2, {{1, 2, 1}}},
        {"comments, N and checksum", "%\nN10 G0 X1 (a move) Y2 ; rest\nN20 G0 X3*33\n%", 2,
            {{0, 1, 2}, {1, 3, 2}}},
        {"lower case, blanks inside words", "g0 x 1 y -2", 1, {{0, 1, -2}}},
        {"G3 I J quarter turn", "G0 X1 Y0\nG3 X0 Y1 I-1 J0 F10", 19,
            {{1, cos(M_PI / 36), sin(M_PI / 36)}, {9, kR45, kR45}, {-1, 0, 1}}},
        {"G2 R short arc, centre (1,0)", "G0 X0 Y0\nG2 X1 Y1 R1 F10", 19,
            {{9, 1 - kR45, kR45}, {-1, 1, 1}}},
        {"G3 R negative: three quarters", "G0 X0 Y0\nG3 X1 Y1 R-1 F10", 1 + 53, {{-1, 1, 1}}},
        {"G2 full circle", "G0 X1 Y0\nG2 X1 Y0 I-1 J0 F10", 1 + 71, {{-1, 1, 0}}},
        {"M2 ends the program", "G0 X1\nM2\nG0 X5\nnonsense", 1, {{0, 1, 0}}},
        {"a vast arc stops at the chord bound", "G0 X0 Y0\nG2 X0 Y0 I-100000000 J0 F10",
            1 + job::kMostChords, {{-1, 0, 0}}},
    };
    for (const ParseRow& row : rows) {
        Program program;
        std::string error;
        ASSERT_TRUE(job::ParseGcode(row.text, "t.gcode", Inch(), &program, &error))
            << row.name << ": " << error;
        CheckRow(row, program);
    }
}

TEST(JobGcode, ArcsStayOnTheirCircleWithinTheTolerance)
{
    Program program;
    std::string error;
    // Clockwise three quarters the long way round: it dips to y = -1.
    ASSERT_TRUE(job::ParseGcode("G0 X0 Y0\nG2 X1 Y-1 R-1 F10", "t.gcode", Inch(), &program, &error))
        << error;
    Point low, high;
    ASSERT_TRUE(job::ProgramBounds(program, &low, &high));
    EXPECT_NEAR(high.y, 1.0, 0.001);  // centre (1, 0), over the top
    for (const Move& m : Moves(program))
        EXPECT_NEAR(hypot(m.x - 1, m.y), 1.0, 1e-9);
}

// A program as one line of text: "-x,y" a travel move, "+x,y" a drawn one
// (pen down, laser on), ",z" when Z is an axis, "@f" the feed of a feed move
// in in/min, "w" a dwell in seconds, "P" a pause.
std::string Trace(const Program& program)
{
    std::string trace;
    bool on = false;
    auto number = [](double v) {
        char text[32];
        snprintf(text, sizeof text, "%g", nearbyint(v * 10000) / 10000 + 0.0);
        return std::string(text);
    };
    for (const Action& a : program.actions) {
        std::string item;
        switch (a.kind) {
        case ActionKind::ToolOn: on = true; break;
        case ActionKind::ToolOff: on = false; break;
        case ActionKind::Move:
            item = (on ? "+" : "-") + number(a.to.x) + "," + number(a.to.y)
                + (program.usesZ ? "," + number(a.to.z) : "")
                + (a.feed > 0 ? "@" + number(a.feed) : "");
            break;
        case ActionKind::Dwell: item = "w" + number(a.seconds); break;
        case ActionKind::Pause: item = "P"; break;
        case ActionKind::Home: item = "H"; break;
        }
        if (!item.empty())
            trace += (trace.empty() ? "" : " ") + item;
    }
    return trace + (on ? " (tool left on)" : "");
}

enum ToolChoice { kAuto, kPen, kLaser, kMill };

job::ParseOptions Options(ToolChoice tool)
{
    job::ParseOptions options;
    options.toolGiven = tool != kAuto;
    options.tool = tool == kLaser ? job::Tool::Laser
        : tool == kMill           ? job::Tool::Mill
                                  : job::Tool::Pen;
    return options;
}

// Each fault found on real programs, as a few lines with the moves, the pen
// and the laser they must give.
TEST(JobGcode, RealProgramDialectGivesTheMovesPenAndLaserItMeans)
{
    const struct {
        const char* name;
        const char* text;
        ToolChoice tool;
        const char* trace;
    } rows[] = {
        {"laser: off on G0, on S0, on M5, and without S",
            "G20\nM3\nG1 X1 F10\nS100\nG0 X2\nG1 X3\nG1 X4 S0\nG1 X5 S50\nM5\nG1 X6\nM4 S9\n"
            "G3 X7 Y1 I0 J1\nG0 X8",
            kLaser, "-1,0@10 -2,0 +3,0@10 -4,0@10 +5,0@10 -6,0@10 ... +7,1@10 -8,1"},
        {"laser: a program that ends with it on leaves it off", "G20\nM3 S1\nG1 X1 F10\nM2", kLaser,
            "+1,0@10"},
        {"G4 with a move on its line: the dwell, then the move; G4 S in seconds",
            "G20\r\nG4 P0.1 G0 X1 Y1\rG4 S2\n/G0 X2", kAuto, "w0.1 -1,1 w2 -2,1"},
        {"G28 G91 Z0 lifts Z to the reference and leaves X and Y",
            "G20\nG0 X1 Y2 Z3\nG28 G91 Z0\nG90 G28 X0.5", kAuto, "-1,2,3 -1,2,0 -0.5,2,0 -0,2,0"},
        {"G28 after G92 goes to machine zero; G28.1 moves the reference",
            "G20\nG0 X1\nG92 X0\nG0 X1\nG28\nG0 X3\nG28.1\nG0 X0\nG30 Y0\nG28 X1", kAuto,
            "-1,0 -2,0 -0,0 -4,0 -1,0 -2,0 -4,0"},
        {"G53 is in machine coordinates, for its line only",
            "G20\nG0 X1 Y1\nG92 X0 Y0\nG53 G0 X3\nG0 X1", kAuto, "-1,1 -3,1 -2,1"},
        {"no G20 or G21: millimetres", "G0 X25.4 Y-50.8", kAuto, "-1,-2"},
        {"an F before G21 is read in millimetres where the move uses it",
            "F254\nG20\nG1 X1\nG21\nG1 X50.8", kAuto, "+1,0@254 +2,0@10"},
        {"G18 and G19 arcs stay in their planes (no Y or X in them)",
            "G20\nG0 X1 Y0 Z0\nG18 G2 X0 Z1 I-1 K0 F10\nG19 G3 Y-1 Z0 J0 K-1", kAuto,
            "-1,0,0 ... -0.7071,0,0.7071@10 ... -0,0,1@10 ... -0,-0.7071,0.7071@10 ... "
            "-0,-1,0@10"},
        {"harmless words are listed, not refused",
            "\xEF\xBB\xBF%\nO1000 (part)\nG20 G64 G61 G40 G49 G54 G94 G80 G17\nT1\n"
            "M8 M7 (air)\nG0 X1 F5 S1000\nG2 X2 Y1 I1 J0 K0 F10\nG43 H1 M9\n%",
            kAuto, "-1,0 ... +2,1@10"},
        {"F on a rapid move is the modal feed", "G20\nG0 X1 F5\nG1 X2", kAuto, "-1,0 +2,0@5"},
        {"G1 without any F takes the job's feed", "G20\nG1 X1", kAuto, "+1,0"},
        {"pen: M3 lowers it, but never on travel", "G20\nM3\nG0 X1\nG1 X2 F10\nG0 X3\nG1 X4", kPen,
            "-1,0 +2,0@10 -3,0 +4,0@10"},
        {"pen: Z below --pen-z is down; Z is not sent",
            "G20\nG0 Z1\nG0 X1\nG1 Z-0.1 F10\nG1 X2\nG0 Z1\nG1 X3", kPen, "-1,0 +2,0@10 -3,0@10"},
        {"pen: servo words (S below 50 down)",
            "G21\nM300 S30\nG1 X25.4 F254\nM300 S50\nG1 X50.8\nM300 S5\nG1 X76.2\nM300 S255\n"
            "G4 P150",
            kAuto, "+1,0@10 -2,0@10 +3,0@10 w0.15"},
        {"pen: a file without pen words draws with G1", "G20\nG0 X1\nG1 X2 F10\nG0 X3", kAuto,
            "-1,0 +2,0@10 -3,0"},
        {"mill: the spindle through G0 at safe height", "G20\nM3 S1000\nG0 Z1\nG0 X1\nG1 Z-1 F5",
            kAuto, "+0,0,1 +1,0,1 +1,0,-1@5"},
        {"M6 and M0 pause, M1 only with --optional-stop",
            "G20\nT2 M6 (drill)\nG0 X1\nM1\nM0 (flip)\nG0 X2", kAuto, "P -1,0 P -2,0"},
        {"drilling: G81 and G82 at R and back to the first Z (G98)",
            "G20\nG0 Z1\nG98 G82 X1 Y1 Z-0.1 R0.1 P0.5 F5\nX2\nG80\nZ2", kAuto,
            "-0,0,1 -1,1,1 -1,1,0.1 -1,1,-0.1@5 w0.5 -1,1,1 -2,1,1 -2,1,0.1 -2,1,-0.1@5 w0.5 "
            "-2,1,1 -2,1,2"},
        {"pecks: G83 back to R between pecks, G99 ends at R",
            "G20\nG0 Z1\nG99 G83 X1 Z-0.25 R0.1 Q0.2 F5", kAuto,
            "-0,0,1 -1,0,1 -1,0,0.1 -1,0,-0.1@5 -1,0,0.1 -1,0,-0.09 -1,0,-0.25@5 -1,0,0.1"},
        {"a subprogram runs where it is called",
            "G20\nO100 sub\n  G91 G0 X1\n  G90\nO100 endsub\nG0 X5\nO100 call\nO100 call", kAuto,
            "-5,0 -6,0 -7,0"},
    };
    for (const auto& row : rows) {
        Program program;
        std::string error;
        ASSERT_TRUE(job::ParseGcode(row.text, "t.gcode", Options(row.tool), &program, &error))
            << row.name << ": " << error;
        std::string trace = Trace(program);
        // "..." in the expectation stands for the chords of an arc.
        std::string want = row.trace;
        size_t gap = want.find(" ... ");
        if (gap == std::string::npos) {
            EXPECT_EQ(trace, want) << row.name;
            continue;
        }
        std::string head = want.substr(0, gap);
        EXPECT_EQ(trace.compare(0, head.size(), head), 0) << row.name << "\n  got: " << trace;
        for (size_t from = gap + 5, next; from < want.size(); from = next + 5) {
            next = want.find(" ... ", from);
            std::string part = want.substr(from, next == std::string::npos ? next : next - from);
            EXPECT_NE(trace.find(" " + part), std::string::npos)
                << row.name << ": " << part << "\n  got: " << trace;
            if (next == std::string::npos)
                break;
        }
    }
}

TEST(JobGcode, IgnoredWordsAndAssumptionsAreListedForThePlan)
{
    Program program;
    std::string error;
    ASSERT_TRUE(job::ParseGcode("\xEF\xBB\xBF%\nO1000 (part)\nG64 G61 G54 G94 G97\nT1 M6\nM8 M7\n"
                                "G0 X1 F5 S1000\nG2 X2 Y1 I1 J0 K0 F10\nG43 H1 M9\nM1\nG64\n%",
        "t.gcode", {}, &program, &error))
        << error;
    const std::vector<std::pair<std::string, long>> ignored
        = {{"byte-order mark", 1}, {"%", 2}, {"O (program number)", 1}, {"G64", 2}, {"G61", 1},
            {"G54", 1}, {"G94", 1}, {"G97", 1}, {"T1", 1}, {"M8", 1}, {"M7", 1},
            {"S (spindle speed)", 1}, {"K0", 1}, {"M9", 1}, {"M1 (without --optional-stop)", 1}};
    EXPECT_EQ(program.ignored, ignored);
    EXPECT_EQ(program.notes,
        (std::vector<std::string> {"tool pen (the file moves no Z): pen down on G1/G2/G3 (the "
                                   "file has no pen words), up on G0",
            "units mm (assumed: the file sets neither G20 nor G21)",
            "G43 H1: tool length offset taken as zero (no tool table here)"}));
    EXPECT_EQ(program.messages, (std::vector<std::string> {"M6 tool change, tool 1"}));
    job::Plan plan;
    ASSERT_TRUE(job::MakePlan(program, job::PlanOptions(), &plan));
    EXPECT_NE(job::Summary(plan, "in")
                  .find("ignored: byte-order mark, % \u00d72, O (program "
                        "number), G64 \u00d72, G61"),
        std::string::npos)
        << job::Summary(plan, "in");
}

// Words that would move the tool elsewhere are refused even when the
// operator lets unknown words pass.
TEST(JobGcode, WordsThatChangeThePathAreRefusedEvenWithIgnoreUnknown)
{
    const struct {
        const char* text;
        const char* message;
    } rows[] = {
        {"G0 X4.5e-17", "t.gcode:1:4: 'X4.5e-17': a number with an exponent"},
        {"G0 X1,5 Y2", "t.gcode:1:4: 'X1,5': a decimal comma"},
        {"G18 G2 X1 Z1 I1 J1 F1", "t.gcode:1:17: 'J1': an arc in this plane takes no J"},
        {"G41 X1", "t.gcode:1:1: unsupported word 'G41'"},
        {"G2 X1 Y0 I0.5 P2 F1", "t.gcode:1:15: 'P2': arcs of more than one turn"},
        {"G0 A1", "t.gcode:1:4: 'A1': the box has no such axis"},
        {"G1 X1 F0", "t.gcode:1:1: G1 at feed 0 (F0 on line 1)"},
        {"O100 if [1 GT 0]", "t.gcode:1:1: 'O100 if [1 GT 0]': only subprograms without"},
        {"O100 call", "t.gcode:1:1: 'O100 call' of no subprogram defined before"},
        {"$H", "t.gcode:1:1: controller command '$H'"},
        {"G81 X1 Y1 F1", "t.gcode:1:1: a drilling cycle needs Z and R"},
        {"G0 X1\nG0 Y", "t.gcode:2:4: 'Y' has no number"},
        {"G20\nM300 S30", "t.gcode:2:1: unsupported word 'M300'"},  // a mill's file
        {"G20\nG0 Z1\nG83 X1 Z-1 R0 Q0.000001 F5",
            "t.gcode:3:1: a pecking cycle of more than 100000 pecks"},
    };
    for (bool ignoreUnknown : {false, true}) {
        for (const auto& row : rows) {
            // Without a tool: read as a mill's and as a pen's, and the
            // reading that got further names the refusal.
            job::ParseOptions options = Options(strstr(row.text, "G83") ? kAuto : kMill);
            options.ignoreUnknown = ignoreUnknown;
            Program program;
            std::string error;
            bool ok = job::ParseGcode(row.text, "t.gcode", options, &program, &error);
            if (ignoreUnknown && strstr(row.message, "M300") != nullptr) {
                EXPECT_TRUE(ok) << error;  // a word of no meaning to a mill: passed over
                continue;
            }
            EXPECT_FALSE(ok) << row.text;
            EXPECT_EQ(error.compare(0, strlen(row.message), row.message), 0)
                << row.text << "\n  got: " << error;
        }
    }
}

// Quarter turns at radius 1 around the origin in each plane, and a helix:
// every chord end on the circle, the middle one where the arc bulges.
TEST(JobGcode, ArcsInAllThreePlanesBulgeTheRightWay)
{
    const struct {
        const char* name;
        const char* text;
        Point middle;      // the point half way along the arc
        int plane;         // 0 XY, 1 ZX, 2 YZ: the axes of the circle
        double riseAlong;  // the helix's rise on the third axis
    } rows[] = {
        {"G17 G3 counter-clockwise seen from +Z", "G0 X1 Y0 Z0\nG17 G3 X0 Y1 I-1 J0 F10",
            {kR45, kR45, 0}, 0, 0},
        {"G17 G2 the long way round", "G0 X1 Y0 Z0\nG17 G2 X0 Y1 I-1 J0 F10", {-kR45, -kR45, 0}, 0,
            0},
        {"G18 G2 clockwise seen from +Y", "G0 X1 Y0 Z0\nG18 G2 X0 Z1 I-1 K0 F10", {kR45, 0, kR45},
            1, 0},
        {"G18 G2 by R", "G0 X1 Y0 Z0\nG18 G2 X0 Z1 R1 F10", {kR45, 0, kR45}, 1, 0},
        {"G18 G3 the long way round", "G0 X1 Y0 Z0\nG18 G3 X0 Z1 I-1 K0 F10", {-kR45, 0, -kR45}, 1,
            0},
        {"G19 G3 counter-clockwise seen from +X", "G0 X0 Y1 Z0\nG19 G3 Y0 Z1 J-1 K0 F10",
            {0, kR45, kR45}, 2, 0},
        {"G19 G2 by R the long way (R negative)", "G0 X0 Y1 Z0\nG19 G2 Y0 Z1 R-1 F10",
            {0, -kR45, -kR45}, 2, 0},
        {"G90.1: I and J are the centre itself", "G0 X1 Y0 Z0\nG90.1 G3 X0 Y1 I0 J0 F10",
            {kR45, kR45, 0}, 0, 0},
        {"G17 helix rises along Z", "G0 X1 Y0 Z0\nG3 X0 Y1 Z1 I-1 J0 F10", {kR45, kR45, 0.5}, 0, 1},
    };
    for (const auto& row : rows) {
        Program program;
        std::string error;
        job::ParseOptions options = Options(kMill);
        options.inchesAssumed = true;
        ASSERT_TRUE(job::ParseGcode(row.text, "t.gcode", options, &program, &error))
            << row.name << ": " << error;
        std::vector<Point> points;
        for (const Action& a : program.actions)
            if (a.kind == ActionKind::Move)
                points.push_back(a.to);
        ASSERT_GT(points.size(), 10u) << row.name;
        size_t n = points.size() - 1;  // the chords after the first G0
        for (size_t k = 1; k <= n; ++k) {
            const Point& p = points[k];
            double radius = row.plane == 0 ? hypot(p.x, p.y)
                : row.plane == 1           ? hypot(p.x, p.z)
                                           : hypot(p.y, p.z);
            EXPECT_NEAR(radius, 1.0, 1e-9) << row.name << " #" << k;
            double along = row.plane == 0 ? p.z : row.plane == 1 ? p.y : p.x;
            EXPECT_NEAR(along, row.riseAlong * k / n, 1e-9) << row.name << " #" << k;
        }
        // An even number of chords has a point at the middle of the sweep.
        const Point& mid = points[(n + 1) / 2];
        if (n % 2 == 0) {
            EXPECT_NEAR(mid.x, row.middle.x, 1e-9) << row.name;
            EXPECT_NEAR(mid.y, row.middle.y, 1e-9) << row.name;
            EXPECT_NEAR(mid.z, row.middle.z, 1e-9) << row.name;
        } else {
            // Otherwise the chord over it lies on the same side.
            EXPECT_LT(
                hypot(mid.x - row.middle.x, hypot(mid.y - row.middle.y, mid.z - row.middle.z)), 0.1)
                << row.name;
        }
    }
}

TEST(JobGcode, RefusalsNameFileLineColumnAndWord)
{
    const struct {
        const char* text;
        const char* message;
    } rows[] = {
        {"G38.2 X1", "t.gcode:1:1: unsupported word 'G38.2'"},
        {"G0 X1 M42", "t.gcode:1:7: unsupported word 'M42'"},
        {"G0 X1 X2", "t.gcode:1:7: 'X' given twice"},
        {"G0 X", "t.gcode:1:4: 'X' has no number"},
        {"G1 X1 F10 (open", "t.gcode:1:11: comment '(' is not closed on its line"},
        {"G0 X1 #1", "t.gcode:1:7: unexpected '#'"},
        {"G2 X1 Y1 F10", "t.gcode:1:1: G2 and G3 need I J K, or R"},
        {"G0 X0 Y0\nG2 X3 Y0 R1 F1", "t.gcode:2:10: R is less than half the distance"},
        {"G0 X1\nG2 X0 Y2 I-1 J0 F1", "t.gcode:2:10: arc end point is not on its circle"},
        {"G0 X1 I1", "t.gcode:1:7: I, J, K and R belong to G2 and G3"},
        {"G0 X1\nG0 X2\nG0 X3 Y", "t.gcode:3:7: 'Y' has no number"},
    };
    for (const auto& row : rows) {
        Program program;
        std::string error;
        EXPECT_FALSE(job::ParseGcode(row.text, "t.gcode", Inch(), &program, &error)) << row.text;
        EXPECT_EQ(error.compare(0, strlen(row.message), row.message), 0)
            << row.text << "\n  got: " << error;
    }
}

TEST(JobGcode, IgnoreUnknownListsWhatItSkipped)
{
    job::ParseOptions options;
    options.ignoreUnknown = true;
    Program program;
    std::string error;
    ASSERT_TRUE(job::ParseGcode("G0 X1 M42\nD2 M50\nG0 X2", "t.gcode", options, &program, &error));
    EXPECT_EQ(program.skipped,
        (std::vector<std::string> {"t.gcode:1:7: M42", "t.gcode:2:1: D2", "t.gcode:2:4: M50"}));
    EXPECT_EQ(Moves(program).size(), 2u);
}

// Uniform steps in t: t = 1/2 is a sample when the count is even.
TEST(JobCurves, FlattenedCurvesPassTheirHandComputedPointsAndStayWithinTolerance)
{
    std::vector<Point> cubic, quad, arc;
    Point p0 {0, 0}, p1 {0, 1}, p2 {1, 1}, p3 {1, 0};
    // max |P0 - 2P1 + P2| = sqrt 2: n = ceil(sqrt(6 sqrt2 / (8 x 0.0011))) = 32.
    job::FlattenCubic(p0, p1, p2, p3, 0.0011, &cubic);
    ASSERT_EQ(cubic.size(), 32u);
    EXPECT_NEAR(cubic[15].x, 0.5, kNear);
    EXPECT_NEAR(cubic[15].y, 0.75, kNear);
    // |P0 - 2P1 + P2| = 4: n = ceil(sqrt(8 / 0.008)) = 32; B(1/2) = (1, 1).
    job::FlattenQuadratic({0, 0}, {1, 2}, {2, 0}, 0.001, &quad);
    ASSERT_EQ(quad.size(), 32u);
    EXPECT_NEAR(quad[15].x, 1.0, kNear);
    EXPECT_NEAR(quad[15].y, 1.0, kNear);
    job::FlattenArc(0, 0, 1, 0, M_PI / 2, 0.001, &arc);
    ASSERT_EQ(arc.size(), 18u);
    EXPECT_NEAR(arc[8].x, kR45, kNear);
    // Every point of the true cubic lies within the tolerance of a chord.
    std::vector<Point> line = {p0};
    line.insert(line.end(), cubic.begin(), cubic.end());
    for (int k = 0; k <= 1000; ++k) {
        double t = k / 1000.0, u = 1 - t;
        double x = 3 * u * t * t + t * t * t, y = 3 * u * u * t + 3 * u * t * t;
        double best = 1e9;
        for (size_t i = 1; i < line.size(); ++i) {
            double ax = line[i - 1].x, ay = line[i - 1].y;
            double bx = line[i].x - ax, by = line[i].y - ay;
            double s = std::max(
                0.0, std::min(1.0, ((x - ax) * bx + (y - ay) * by) / (bx * bx + by * by)));
            best = std::min(best, hypot(x - ax - s * bx, y - ay - s * by));
        }
        EXPECT_LE(best, 0.0011) << "t = " << t;
    }
}

// A 10 x 10 in page with a viewBox of 10 x 10: one user unit is an inch,
// and machine y = 10 - svg y.
std::string Page(const std::string& body)
{
    return "<?xml version=\"1.0\"?>\n<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"10in\" "
           "height=\"10in\" viewBox=\"0 0 10 10\">\n"
        + body + "\n</svg>\n";
}

TEST(JobSvg, ShapesPathsTransformsAndUnitsGiveTheHandComputedPoints)
{
    const ParseRow rows[] = {
        {"path lines, relative, close",
            "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"2in\" height=\"1in\" "
            "viewBox=\"0 0 200 100\"><path d=\"M10 10 L110 10 l0 50 h-100 z\"/></svg>",
            5, {{0, 0.1, 0.9}, {1, 1.1, 0.9}, {2, 1.1, 0.4}, {3, 0.1, 0.4}, {4, 0.1, 0.9}}},
        {"millimetres",
            "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"100mm\" height=\"50mm\" "
            "viewBox=\"0 0 100 50\"><line x1=\"0\" y1=\"0\" x2=\"25.4\" y2=\"0\"/></svg>",
            2, {{0, 0, 50 / 25.4}, {1, 1, 50 / 25.4}}},
        {"no viewBox: px are 1/96 in",
            "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"96\" height=\"96\">"
            "<line x1=\"48\" y1=\"0\" x2=\"96\" y2=\"48\"/></svg>",
            2, {{0, 0.5, 1}, {1, 1, 0.5}}},
        {"nested transforms",
            Page("<g transform=\"translate(1,0)\"><g transform=\"scale(2)\">"
                 "<line x1=\"1\" y1=\"2\" x2=\"3\" y2=\"2\"/></g></g>"),
            2, {{0, 3, 6}, {1, 7, 6}}},
        {"viewBox narrower than the page: centred, uniform",
            "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"20in\" height=\"10in\" "
            "viewBox=\"0 0 10 10\"><line x1=\"0\" y1=\"0\" x2=\"10\" y2=\"10\"/></svg>",
            2, {{0, 5, 10}, {1, 15, 0}}},
        {"width alone: the height follows the viewBox",
            "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"1in\" viewBox=\"0 0 96 48\">"
            "<line x1=\"0\" y1=\"0\" x2=\"96\" y2=\"48\"/></svg>",
            2, {{0, 0, 0.5}, {1, 1, 0}}},
        {"skewX and one-number scale",
            Page("<line transform=\"skewX(45) scale(2)\" x1=\"0\" y1=\"0\" x2=\"0\" y2=\"1\"/>"), 2,
            {{0, 0, 10}, {1, 2, 8}}},
        {"rotate about a point",
            Page("<line transform=\"rotate(90 5 5)\" x1=\"6\" y1=\"5\" "
                 "x2=\"7\" y2=\"5\"/>"),
            2, {{0, 5, 4}, {1, 5, 3}}},
        {"matrix",
            Page("<line transform=\"matrix(1 0 0 1 2 3)\" x1=\"0\" y1=\"0\" x2=\"1\" "
                 "y2=\"0\"/>"),
            2, {{0, 2, 7}, {1, 3, 7}}},
        {"rect", Page("<rect x=\"1\" y=\"1\" width=\"2\" height=\"1\"/>"), 5,
            {{0, 1, 9}, {1, 3, 9}, {2, 3, 8}, {3, 1, 8}, {4, 1, 9}}},
        {"polygon closes, polyline does not",
            Page("<polygon points=\"0,0 1,0 1,1\"/><polyline points=\"2 0 3 0 3 1\"/>"), 7,
            {{3, 0, 10}, {4, 2, 10}, {6, 3, 9}}},
        {"half-circle arc, sweep 1 bulges up on the page",
            Page("<path d=\"M0 5 A1 1 0 0 1 2 5\"/>"), 1 + 36, {{18, 1, 6}, {-1, 2, 5}}},
        {"rounded rect: the top right corner's middle",
            Page("<rect width=\"4\" height=\"2\" rx=\"1\"/>"), -1,
            {{0, 1, 10}, {1, 3, 10}, {10, 3 + kR45, 10 - (1 - kR45)}}},
        {"relative moves and lines", Page("<path d=\"m1 1 l1 0 m1 1 l0 1\"/>"), 4,
            {{0, 1, 9}, {1, 2, 9}, {2, 3, 8}, {3, 3, 7}}},
        {"quadratic and smooth quadratic", Page("<path d=\"M0 0 Q1 2 2 0 T4 0\"/>"), -1,
            {{16, 1, 9}, {-1, 4, 10}}},
        {"defs and display none are not drawn",
            Page("<defs><line x1=\"0\" y1=\"0\" x2=\"1\" y2=\"1\"/></defs>"
                 "<line display=\"none\" x1=\"0\" y1=\"0\" x2=\"1\" y2=\"1\"/>"
                 "<line x1=\"0\" y1=\"0\" x2=\"1\" y2=\"0\"/>"),
            2, {{1, 1, 10}}},
    };
    ParseAndCheck(rows);
}

TEST(JobSvg, PenIsUpBetweenSubpathsAndShapes)
{
    Program program;
    std::string error;
    ASSERT_TRUE(job::ParseSvg(Page("<path d=\"M0 0 L1 0 M2 0 L3 0\"/><circle cx=\"5\" cy=\"5\" "
                                   "r=\"1\"/>"),
        "t.svg", {}, &program, &error));
    std::vector<Move> moves = Moves(program);
    ASSERT_EQ(moves.size(), 4u + 1 + 71);
    const bool drawn[] = {false, true, false, true, false, true};
    for (int i = 0; i < 6; ++i)
        EXPECT_EQ(moves[i].drawn, drawn[i]) << i;
    for (size_t i = 5; i < moves.size(); ++i)
        EXPECT_NEAR(hypot(moves[i].x - 5, moves[i].y - 5), 1.0, 1e-9);
    EXPECT_EQ(program.actions.back().kind, ActionKind::ToolOff);
}

TEST(JobSvg, RefusalsNameFileLineAndColumn)
{
    const struct {
        std::string text;
        const char* message;
    } rows[] = {
        {Page("<path d=\"M0 0 Q1\"/>"), "t.svg:3:1: path d: 'Q' needs 4 numbers"},
        {Page("<path d=\"L1 1\"/>"), "t.svg:3:1: path d: path data must begin with M"},
        {Page("<path d=\"M0 0 L1 1 Z 5 5\"/>"), "t.svg:3:1: path d: numbers after 'Z'"},
        {Page("<line transform=\"spin(3)\"/>"), "t.svg:3:1: transform='spin(3)' is not understood"},
        {Page("<text>hi</text>"), "t.svg:3:1: <text> cannot be drawn"},
        {Page("<line x1=\"1ft\"/>"), "t.svg:3:1: x1='1ft' has an unknown unit 'ft'"},
        {Page("<line>"), "t.svg:4:3: mismatched tag"},
        {"<html/>", "t.svg:1:1: not an SVG document"},
    };
    for (const auto& row : rows) {
        Program program;
        std::string error;
        EXPECT_FALSE(job::ParseSvg(row.text, "t.svg", {}, &program, &error)) << row.text;
        EXPECT_EQ(error.compare(0, strlen(row.message), row.message), 0)
            << row.text << "\n  got: " << error;
    }
}

std::string Svg(const std::string& attributes, const std::string& body)
{
    return "<svg xmlns=\"http://www.w3.org/2000/svg\" xmlns:xlink=\"http://www.w3.org/1999/xlink\" "
        + attributes + ">" + body + "</svg>";
}

// What an editor shows is what is drawn: one document per behaviour, with
// the moves it gives (Page: 1 user unit = 1 in, Y turned over at 10 in).
TEST(JobSvg, TheDocumentIsDrawnAsARendererShowsIt)
{
    const std::string line = "<line x1=\"0\" y1=\"1\" x2=\"2\" y2=\"1\"/>";
    const ParseRow rows[] = {
        {"style display:none, visibility:hidden and opacity 0 are not drawn",
            Page("<line style=\"display:none\" x1=\"0\" y1=\"0\" x2=\"1\" y2=\"0\"/>"
                 "<line visibility=\"hidden\" x1=\"0\" y1=\"0\" x2=\"1\" y2=\"0\"/>"
                 "<g style=\"opacity:0\"><line x1=\"0\" y1=\"0\" x2=\"1\" y2=\"0\"/></g>"
                + line),
            2, {{0, 0, 9}, {1, 2, 9}}},
        {"a class of the sheet hides; an id selector outranks it",
            Page("<style>.st0{display:none} #keep.st0{display:inline}</style>"
                 "<g class=\"st0\"><line x1=\"5\" y1=\"5\" x2=\"6\" y2=\"5\"/></g>"
                 "<line id=\"keep\" class=\"st0\" x1=\"0\" y1=\"1\" x2=\"2\" y2=\"1\"/>"),
            2, {{0, 0, 9}, {1, 2, 9}}},
        {"!important in the sheet beats the style attribute",
            Page("<style>line.x{display:none !important}</style>"
                 "<line class=\"x\" style=\"display:inline\" x1=\"5\" y1=\"5\" x2=\"6\" y2=\"5\"/>"
                + line),
            2, {{1, 2, 9}}},
        {"descendant and child selectors",
            Page("<style>g.layer path{display:none} g>line{visibility:hidden}</style>"
                 "<g class=\"layer\"><g><path d=\"M5 5 H6\"/></g><line x1=\"5\" y1=\"5\" "
                 "x2=\"6\" y2=\"5\"/></g>"
                + line),
            2, {{1, 2, 9}}},
        {"visibility inherits, and a child may show itself again",
            Page("<g visibility=\"hidden\"><line x1=\"5\" y1=\"5\" x2=\"6\" y2=\"5\"/>"
                 "<line visibility=\"visible\" x1=\"0\" y1=\"1\" x2=\"2\" y2=\"1\"/></g>"),
            2, {{1, 2, 9}}},
        {"hidden text, empty text and a hidden image refuse nothing",
            Page("<g style=\"display:none\"><text>notes</text><image href=\"a.png\"/></g>"
                 "<text> </text><image visibility=\"hidden\" width=\"1\" height=\"1\"/>"
                + line),
            2, {}},
        {"use of a symbol: x, y, width, height and its viewBox",
            Page("<defs><symbol id=\"s\" viewBox=\"0 0 10 10\"><line x1=\"0\" y1=\"0\" x2=\"10\" "
                 "y2=\"0\"/></symbol></defs><use xlink:href=\"#s\" x=\"1\" y=\"1\" width=\"2\" "
                 "height=\"2\"/>"),
            2, {{0, 1, 9}, {1, 3, 9}}},
        {"use of a shape, translated by x and y, twice",
            Page("<defs><path id=\"p\" d=\"M0 0 H1\"/></defs><use href=\"#p\" x=\"1\" y=\"1\"/>"
                 "<use href=\"#p\" transform=\"translate(0 2)\" x=\"1\"/>"),
            4, {{0, 1, 9}, {1, 2, 9}, {2, 1, 8}, {3, 2, 8}}},
        {"nested svg: its place, size and viewBox, xMinYMin",
            Page("<svg x=\"1\" y=\"1\" width=\"4\" height=\"2\" viewBox=\"0 0 1 1\" "
                 "preserveAspectRatio=\"xMinYMin\"><line x1=\"0\" y1=\"0\" x2=\"1\" "
                 "y2=\"0\"/></svg>"),
            2, {{0, 1, 9}, {1, 3, 9}}},
        {"nested svg centred by default",
            Page("<svg x=\"1\" y=\"1\" width=\"4\" height=\"2\" viewBox=\"0 0 1 1\">"
                 "<line x1=\"0\" y1=\"0\" x2=\"1\" y2=\"0\"/></svg>"),
            2, {{0, 2, 9}, {1, 4, 9}}},
        {"preserveAspectRatio none stretches the root",
            Svg("width=\"2in\" height=\"1in\" viewBox=\"0 0 1 1\" preserveAspectRatio=\"none\"",
                "<line x1=\"0\" y1=\"0\" x2=\"1\" y2=\"1\"/>"),
            2, {{0, 0, 1}, {1, 2, 0}}},
        {"switch: the first child whose conditions hold",
            Page("<switch><line systemLanguage=\"fr\" x1=\"5\" y1=\"5\" x2=\"6\" y2=\"5\"/>"
                 "<line requiredFeatures=\"http://www.w3.org/TR/SVG11/feature#Extensibility\" "
                 "x1=\"5\" "
                 "y1=\"5\" x2=\"6\" y2=\"5\"/>"
                 "<line requiredExtensions=\"http://example.org/x\" x1=\"5\" y1=\"5\" x2=\"6\" "
                 "y2=\"5\"/>"
                + line + "<line x1=\"5\" y1=\"5\" x2=\"6\" y2=\"5\"/></switch>"),
            2, {{1, 2, 9}}},
        {"clip-path cuts a line to the clip shape",
            Page("<clipPath id=\"c\"><rect x=\"1\" y=\"0\" width=\"3\" height=\"5\"/></clipPath>"
                 "<line clip-path=\"url(#c)\" x1=\"0\" y1=\"1\" x2=\"10\" y2=\"1\"/>"),
            2, {{0, 1, 9}, {1, 4, 9}}},
        {"clip-path in objectBoundingBox units, on a group",
            Page("<clipPath id=\"c\" clipPathUnits=\"objectBoundingBox\"><rect y=\"-0.5\" "
                 "width=\"0.5\" "
                 "height=\"2\"/></clipPath><g style=\"clip-path:url(#c)\"><line x1=\"0\" y1=\"1\" "
                 "x2=\"4\" y2=\"1\"/><line x1=\"0\" y1=\"2\" x2=\"4\" y2=\"2\"/></g>"),
            4, {{0, 0, 9}, {1, 2, 9}, {2, 0, 8}, {3, 2, 8}}},
        {"a marker at the end, turned along the path (auto)",
            Page("<marker id=\"m\" orient=\"auto\" markerUnits=\"userSpaceOnUse\" "
                 "overflow=\"visible\">"
                 "<path d=\"M0 0 H1\"/></marker><path marker-end=\"url(#m)\" d=\"M1 5 V3\"/>"
                 "<path visibility=\"hidden\" marker-end=\"url(#m)\" d=\"M5 5 V3\"/>"),
            4, {{2, 1, 7}, {3, 1, 8}}},
        {"auto-start-reverse turns the start marker back",
            Page("<marker id=\"m\" orient=\"auto-start-reverse\" markerUnits=\"userSpaceOnUse\" "
                 "overflow=\"visible\"><path d=\"M0 0 H1\"/></marker>"
                 "<path style=\"marker-start:url(#m)\" d=\"M1 1 H3\"/>"),
            4, {{2, 1, 9}, {3, 0, 9}}},
        {"stroke-dasharray cuts the line into its dashes",
            Page("<line stroke-dasharray=\"1\" x1=\"0\" y1=\"1\" x2=\"4\" y2=\"1\"/>"), 4,
            {{0, 0, 9}, {1, 1, 9}, {2, 2, 9}, {3, 3, 9}}},
        {"stroke-dashoffset from a style sheet, inherited",
            Page("<style>g{stroke-dasharray:1,1;stroke-dashoffset:0.5}</style><g><line x1=\"0\" "
                 "y1=\"1\" x2=\"4\" y2=\"1\"/></g>"),
            6, {{0, 0, 9}, {1, 0.5, 9}, {2, 1.5, 9}, {3, 2.5, 9}, {4, 3.5, 9}, {5, 4, 9}}},
        {"rect rx=0 with ry: square corners",
            Page("<rect x=\"1\" y=\"1\" width=\"2\" height=\"2\" rx=\"0\" ry=\"0.5\"/>"), 5,
            {{0, 1, 9}, {1, 3, 9}, {2, 3, 7}, {3, 1, 7}, {4, 1, 9}}},
        {"rect ry alone rounds both ways, clamped to half the side",
            Page("<rect width=\"4\" height=\"2\" ry=\"5\"/>"), -1, {{0, 2, 10}, {1, 2, 10}}},
        {"units inside the drawing",
            Svg("width=\"1in\" height=\"1in\"",
                "<line x1=\"0\" y1=\"0\" x2=\"12.7mm\" y2=\"0.25in\"/>"),
            2, {{1, 0.5, 0.75}}},
        {"root width 100%: the viewBox's size",
            Svg("width=\"100%\" height=\"100%\" viewBox=\"0 0 96 192\"",
                "<line x1=\"0\" y1=\"0\" x2=\"96\" y2=\"0\"/>"),
            2, {{0, 0, 2}, {1, 1, 2}}},
        {"Inkscape 0.48: 90 user units an inch",
            Svg("xmlns:inkscape=\"http://www.inkscape.org/namespaces/inkscape\" "
                "inkscape:version=\"0.48.4 r9939\" width=\"180\" height=\"90\"",
                "<line x1=\"0\" y1=\"0\" x2=\"90\" y2=\"0\"/>"),
            2, {{0, 0, 1}, {1, 1, 1}}},
        {"a sheet's comments, @media blocks, selector lists and what it cannot match",
            Page("<style>/* .a{display:none} */ @media print { line{display:none} } "
                 ".b, #c {display:none} line[x1]{display:none} rect.d{display:none}</style>"
                 "<line class=\"a\" x1=\"0\" y1=\"1\" x2=\"2\" y2=\"1\"/>"
                 "<line class=\"b\" x1=\"5\" y1=\"5\" x2=\"6\" y2=\"5\"/>"
                 "<line id=\"c\" x1=\"5\" y1=\"5\" x2=\"6\" y2=\"5\"/>"
                 "<line class=\"d\" x1=\"0\" y1=\"2\" x2=\"2\" y2=\"2\"/>"),
            4, {{0, 0, 9}, {1, 2, 9}, {2, 0, 8}, {3, 2, 8}}},
        {"root preserveAspectRatio xMaxYMax slice",
            Svg("width=\"2in\" height=\"1in\" viewBox=\"0 0 1 1\" "
                "preserveAspectRatio=\"xMaxYMax slice\"",
                "<line x1=\"0\" y1=\"0\" x2=\"1\" y2=\"1\"/>"),
            2, {{0, 0, 2}, {1, 2, 0}}},
        {"use of an svg: the use's width and height over the svg's",
            Page("<defs><svg id=\"s\" viewBox=\"0 0 1 1\" width=\"5\" height=\"5\"><line x1=\"0\" "
                 "y1=\"0.5\" x2=\"1\" y2=\"0.5\"/></svg></defs><use href=\"#s\" x=\"1\" y=\"1\" "
                 "width=\"2\" height=\"2\"/>"),
            2, {{0, 1, 8}, {1, 3, 8}}},
        {"nested svg clips to its viewport unless overflow is visible",
            Page("<svg x=\"1\" y=\"1\" width=\"2\" height=\"2\"><line x1=\"-1\" y1=\"1\" x2=\"5\" "
                 "y2=\"1\"/></svg><svg overflow=\"visible\" x=\"1\" y=\"1\" width=\"2\" "
                 "height=\"2\"><line x1=\"-1\" y1=\"2\" x2=\"5\" y2=\"2\"/></svg>"),
            4, {{0, 1, 8}, {1, 3, 8}, {2, 0, 7}, {3, 6, 7}}},
        {"a marker's viewBox and refX, scaled by the stroke width",
            Page("<marker id=\"m\" viewBox=\"0 0 10 10\" markerWidth=\"2\" markerHeight=\"2\" "
                 "refX=\"10\" refY=\"5\" orient=\"0\" overflow=\"visible\"><path d=\"M0 5 H10\"/>"
                 "</marker><path stroke-width=\"0.5\" marker-start=\"url(#m)\" d=\"M1 1 H2\"/>"),
            4, {{0, 1, 9}, {1, 2, 9}, {2, 0, 9}, {3, 1, 9}}},
        {"clip-rule evenodd leaves a hole; the pieces keep the line's order",
            Page("<clipPath id=\"c\"><path clip-rule=\"evenodd\" d=\"M0 0 H10 V10 H0 Z M4 0 H6 V10 "
                 "H4 Z\"/></clipPath><line clip-path=\"url(#c)\" x1=\"-1\" y1=\"1\" x2=\"11\" "
                 "y2=\"1\"/>"),
            4, {{0, 0, 9}, {1, 4, 9}, {2, 6, 9}, {3, 10, 9}}},
        {"a mask cuts as its shapes do",
            Page("<mask id=\"k\"><rect x=\"2\" y=\"0\" width=\"2\" height=\"5\" fill=\"white\"/>"
                 "</mask><line mask=\"url(#k)\" x1=\"0\" y1=\"1\" x2=\"10\" y2=\"1\"/>"),
            2, {{0, 2, 9}, {1, 4, 9}}},
        {"a group's clip and its child's both cut",
            Page("<clipPath id=\"a\"><rect x=\"1\" y=\"0\" width=\"6\" height=\"5\"/></clipPath>"
                 "<clipPath id=\"b\"><rect x=\"3\" y=\"0\" width=\"6\" height=\"5\"/></clipPath>"
                 "<g clip-path=\"url(#a)\"><line clip-path=\"url(#b)\" x1=\"0\" y1=\"1\" x2=\"10\" "
                 "y2=\"1\"/></g>"),
            2, {{0, 3, 9}, {1, 7, 9}}},
        {"lengths in percent of the viewport and in em",
            Page("<line x1=\"10%\" y1=\"1\" x2=\"1em\" y2=\"1\"/>"), 2, {{0, 1, 9}, {1, 16, 9}}},
        {"an encoding expat does not know (its text is never drawn)",
            "<?xml version=\"1.0\" encoding=\"windows-1251\"?>"
                + Page("<title>\xcf\xf0\xe8</title>" + line).substr(22),
            2, {{1, 2, 9}}},
        {"an undeclared prefix is read with names as written", Page("<foo:bar/>" + line), 2,
            {{1, 2, 9}}},
    };
    ParseAndCheck(rows);
}

// The cascade's order, one question per row: is the line drawn?
TEST(JobSvg, TheCascadeDecidesAsAViewerDoes)
{
    const std::string line = "<line x1=\"0\" y1=\"1\" x2=\"2\" y2=\"1\" ";
    const struct {
        const char* name;
        std::string body;
        bool drawn;
    } rows[] = {
        {"a sheet over a presentation attribute",
            "<style>line{display:inline}</style>" + line + "display=\"none\"/>", true},
        {"the style attribute over a sheet",
            "<style>line{display:none}</style>" + line + "style=\"display:inline\"/>", true},
        {"equal specificity: the later rule",
            "<style>.a{display:none} .b{display:inline}</style>" + line + "class=\"a b\"/>", true},
        {"equal specificity, the other way round",
            "<style>.b{display:inline} .a{display:none}</style>" + line + "class=\"a b\"/>", false},
        {"an id over a class, whatever the order",
            "<style>#i{display:none} .a{display:inline}</style>" + line + "id=\"i\" class=\"a\"/>",
            false},
        {"!important in the style attribute over !important in a sheet",
            "<style>line{display:none !important}</style>" + line
                + "style=\"display:inline !important\"/>",
            true},
        {"visibility inherit takes the parent's",
            "<g visibility=\"hidden\">" + line + "visibility=\"inherit\"/></g>", false},
        {"a child combinator does not reach a grandchild",
            "<style>g>line{display:none}</style><g><a>" + line + "/></a></g>", true},
        {"a class on the universal selector",
            "<style>*.h{display:none}</style>" + line + "class=\"h\"/>", false},
        {"display:none on a group hides what a child would show",
            "<g style=\"display:none\">" + line + "style=\"display:inline\"/></g>", false},
        {"a clip path named in quotes (one that leaves nothing)",
            "<clipPath id=\"c\"><rect x=\"5\" width=\"1\" height=\"2\"/></clipPath>" + line
                + "style=\"clip-path:url('#c')\"/>",
            false},
    };
    for (const auto& row : rows) {
        Program program;
        std::string error;
        ASSERT_TRUE(job::ParseSvg(Page(row.body), "t.svg", {}, &program, &error))
            << row.name << ": " << error;
        EXPECT_EQ(!Moves(program).empty(), row.drawn) << row.name;
    }
    // The marker shorthand of a sheet puts the marker on every vertex.
    Program program;
    std::string error;
    ASSERT_TRUE(job::ParseSvg(Page("<style>path{marker:url(#m)}</style><marker id=\"m\" "
                                   "markerUnits=\"userSpaceOnUse\" overflow=\"visible\"><path "
                                   "d=\"M0 0 H0.5\"/></marker><path d=\"M1 1 H2 H3\"/>"),
        "t.svg", {}, &program, &error))
        << error;
    EXPECT_EQ(Moves(program).size(), 3u + 3 * 2);
}

// What a pen cannot draw is refused, or skipped with --ignore-unknown, and
// its frame (a flowRoot's region) is never drawn.
TEST(JobSvg, TextAndImagesAreRefusedOrSkippedWithoutTheirFrames)
{
    const struct {
        std::string body;
        const char* message;
    } rows[] = {
        {"<flowRoot><flowRegion><rect width=\"5\" height=\"5\"/></flowRegion>"
         "<flowPara>Hello</flowPara></flowRoot>",
            "t.svg:3:1: <flowRoot> cannot be drawn (convert text to paths"},
        {"<g><text x=\"1\"><tspan>Hi</tspan></text></g>", "t.svg:3:4: <text> cannot be drawn"},
        {"<image width=\"1\" height=\"1\" href=\"a.png\"/>", "t.svg:3:1: <image> cannot be drawn"},
        {"<foreignObject width=\"1\" height=\"1\"><p>x</p></foreignObject>",
            "t.svg:3:1: <foreignObject> cannot be drawn"},
        {"<rect width=\"1,5\" height=\"1\"/>", "t.svg:3:1: width='1,5' has a decimal comma"},
        {"<g id=\"v\"><use href=\"#v\"/></g>", "t.svg:3:11: <use> refers to itself"},
    };
    for (const auto& row : rows) {
        Program program;
        std::string error;
        EXPECT_FALSE(job::ParseSvg(Page(row.body), "t.svg", {}, &program, &error)) << row.body;
        EXPECT_EQ(error.compare(0, strlen(row.message), row.message), 0)
            << row.body << "\n  got: " << error;
    }
    job::ParseOptions skip;
    skip.ignoreUnknown = true;
    Program program;
    std::string error;
    ASSERT_TRUE(job::ParseSvg(Page(rows[0].body + rows[2].body), "t.svg", skip, &program, &error));
    EXPECT_TRUE(Moves(program).empty());
    ASSERT_EQ(program.skipped.size(), 2u);
    EXPECT_EQ(program.skipped[0], "t.svg:3:1: <flowRoot>");
    // Clones of clones: eleven levels of ten, 10^11 elements, are refused
    // (and quickly: the count stops them, not the points).
    std::string levels = "<defs><g id=\"a\"><path d=\"M0 0\"/></g>";
    for (char c = 'b'; c <= 'l'; ++c) {
        levels += std::string("<g id=\"") + c + "\">";
        for (int i = 0; i < 10; ++i)
            levels += std::string("<use href=\"#") + static_cast<char>(c - 1) + "\"/>";
        levels += "</g>";
    }
    EXPECT_FALSE(
        job::ParseSvg(Page(levels + "</defs><use href=\"#l\"/>"), "t.svg", {}, &program, &error));
    EXPECT_NE(error.find(": more than 1000000 elements to draw"), std::string::npos) << error;
}

// Layers: the root's groups, named by label or id; hidden ones measured
// when listed; --layer picks them in its own order.
TEST(JobSvg, LayersAreTheRootsGroups)
{
    std::string text
        = Svg("xmlns:inkscape=\"http://www.inkscape.org/namespaces/inkscape\" width=\"10in\" "
              "height=\"10in\" viewBox=\"0 0 10 10\"",
            "<g inkscape:label=\"a\"><path d=\"M0 0 H1\"/></g><g id=\"b\"><path d=\"M0 1 H3\"/></g>"
            "<g inkscape:label=\"c\" style=\"display:none\"><path d=\"M0 2 H2\"/><text>x</text></g>"
            "<g inkscape:label=\"d\"><text>words</text></g>");
    job::ParseOptions options;
    options.listLayers = true;
    Program program;
    std::string error;
    // Listing refuses nothing: the text it cannot draw is listed.
    ASSERT_TRUE(job::ParseSvg(text, "t.svg", options, &program, &error)) << error;
    ASSERT_EQ(program.layers.size(), 4u);
    ASSERT_EQ(program.skipped.size(), 1u);
    const char* names[] = {"a", "b", "c"};
    const double lengths[] = {1, 3, 2};
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(program.layers[i].name, names[i]);
        EXPECT_NEAR(program.layers[i].drawnInches, lengths[i], 1e-9);
        EXPECT_EQ(program.layers[i].visible, i != 2);
    }
    EXPECT_EQ(program.layers[2].begin, program.layers[2].end);
    EXPECT_EQ(Moves(program).size(), 4u);
    options.listLayers = false;
    EXPECT_FALSE(job::ParseSvg(text, "t.svg", options, &program, &error));
    options.layers = {"b", "a"};
    ASSERT_TRUE(job::ParseSvg(text, "t.svg", options, &program, &error)) << error;
    std::vector<Move> moves = Moves(program);
    ASSERT_EQ(moves.size(), 4u);
    EXPECT_NEAR(moves[1].x, 3, 1e-9);
    EXPECT_NEAR(moves[3].x, 1, 1e-9);
    options.layers = {"z"};
    EXPECT_FALSE(job::ParseSvg(text, "t.svg", options, &program, &error));
    EXPECT_EQ(error, "t.svg: no layer 'z' (layers: a, b, c, d)");
}

// --optimize: the same segments (either way round), less travel, layers in
// their order, and strokes whose ends meet drawn in one go.
TEST(JobOptimize, ShorterTravelSameStrokesLayersKept)
{
    // Layer one: four strokes far apart in a bad order, two of them meeting
    // end to end; layer two: one stroke back at the start.
    std::string text = Svg("width=\"10in\" height=\"10in\" viewBox=\"0 0 10 10\"",
        "<g><path d=\"M0 10 H1\"/><path d=\"M9 10 H8\"/><path d=\"M1 10 H2\"/>"
        "<path d=\"M7 10 H6\"/></g><g><path d=\"M0 0 H1\"/></g>");
    Program program;
    std::string error;
    ASSERT_TRUE(job::ParseSvg(text, "t.svg", {}, &program, &error)) << error;
    auto segments = [](const Program& p) {
        std::vector<std::vector<double>> list;
        std::vector<Move> moves = Moves(p);
        for (size_t i = 1; i < moves.size(); ++i)
            if (moves[i].drawn) {
                double a[2] = {moves[i - 1].x, moves[i - 1].y}, b[2] = {moves[i].x, moves[i].y};
                if (std::make_pair(a[0], a[1]) > std::make_pair(b[0], b[1]))
                    std::swap(a, b);
                list.push_back({a[0], a[1], b[0], b[1]});
            }
        std::sort(list.begin(), list.end());
        return list;
    };
    auto before = segments(program);
    job::OptimizeReport report;
    ASSERT_TRUE(job::OptimizeTravel(&program, Point(), &report));
    EXPECT_EQ(segments(program), before);
    EXPECT_NEAR(report.travelBefore, 0 + 8 + 7 + 5 + hypot(6, 10), 1e-3);
    // 0 to the first, joined to the third, 4 to (6,0) backwards, 1 to
    // (8,0) backwards, then to the last layer's nearer end (1,10).
    EXPECT_NEAR(report.travelAfter, 0 + 4 + 1 + hypot(8, 10), 1e-3);
    EXPECT_EQ(report.joined, 1);
    ASSERT_EQ(program.layers.size(), 2u);
    std::vector<Move> moves = Moves(program);
    EXPECT_NEAR(moves.back().x, 0, 1e-9);
    EXPECT_NEAR(program.actions[program.layers[1].begin].to.x, 1, 1e-9);
    // Not pen strokes alone: left as it was.
    Program gcode;
    ASSERT_TRUE(job::ParseGcode("G0 X1\nG4 P1\n", "t.gcode", {}, &gcode, &error));
    EXPECT_FALSE(job::OptimizeTravel(&gcode, Point(), &report));
}

TEST(JobPlan, DotsAreCountedAndRingedInThePreview)
{
    Program program;
    std::string error;
    ASSERT_TRUE(job::ParseSvg(
        Page("<path d=\"M1 1 l0 0 M2 2 h0.00001\"/>"), "t.svg", {}, &program, &error));
    job::Plan plan;
    ASSERT_TRUE(job::MakePlan(program, job::PlanOptions(), &plan));
    EXPECT_EQ(plan.dots, 2);
    std::string svg = job::PreviewSvg(plan, Point());
    EXPECT_NE(svg.find("<circle cx=\"1.0000\" cy=\"-9.0000\""), std::string::npos) << svg;
    EXPECT_NE(job::Summary(plan, "in").find(", dots 2\n"), std::string::npos);
}

// The box of the simulator's defaults: 12,500 x 10^-8 in a step (8,192,000
// counts an inch), velocity unit 16,384 (speed value = steps a second).
job::PlanOptions BoxOptions()
{
    job::PlanOptions options;
    options.machine.stepX = options.machine.stepY = options.machine.stepZ = 12500;
    options.machine.vunitY = 16384;
    return options;
}

TEST(JobPlan, CountsSpeedsAndFramesFollowTheLibrarysRules)
{
    EXPECT_EQ(job::CountsOf(10000, 2500), 40960002);
    EXPECT_EQ(job::CountsOf(-10000, 2500), -40960002);
    EXPECT_EQ(job::CountsOf(-1, 2500), -4096);
    EXPECT_EQ(job::SpeedValue(100, BoxOptions().machine), 13333);  // 100 x 8000 / 60
    const struct {
        int32_t dx, dy, dz;
        char letter;
        int bytes;
    } rows[] = {
        {100, -2, 0, 'C', 5},
        {32767, -32767, 0, 'C', 5},
        {32768, 1, 0, 'r', 9},
        {-32768, 0, 0, 'x', 5},
        {0, 40000, 0, 'y', 5},
        {0, 0, 0, 'C', 5},
        {1, 2, 3, 'L', 7},
        {0, 0, 5, 'L', 7},
        {1, 2, 40000, 'K', 13},
    };
    for (const auto& row : rows) {
        uint8_t letter = 0, bytes = 0;
        job::RelativeFrame(row.dx, row.dy, row.dz, &letter, &bytes);
        EXPECT_EQ(letter, row.letter) << row.dx << " " << row.dy << " " << row.dz;
        EXPECT_EQ(bytes, row.bytes) << row.dx << " " << row.dy << " " << row.dz;
    }
}

std::string Letters(const job::Plan& plan)
{
    std::string letters;
    for (const job::Op& op : plan.ops)
        letters += op.letter ? static_cast<char>(op.letter) : '.';
    return letters;
}

TEST(JobPlan, ASquareIsPlannedFrameByFrame)
{
    Program program;
    std::string error;
    // 0.001 in is 8,192 counts: compact; 0.5 in is 4,096,000: long.
    ASSERT_TRUE(job::ParseGcode("G0 X1 Y1\nM3\nG1 X1.001 F60\nG1 Y1.5\nG1 X1\nM5\nG0 X0 Y0",
        "t.gcode", Inch(), &program, &error));
    job::Plan plan;
    ASSERT_TRUE(job::MakePlan(program, BoxOptions(), &plan));
    std::string letters = Letters(plan);
    // Pen up, rapid speed, absolute start, pen down, feed, 'C', 'y', 'C',
    // pen up, rapid speed, 'r' back to the origin.
    EXPECT_EQ(letters, "UsaDsCyCUsr");
    EXPECT_EQ(plan.ops[5].dx, 8192);
    EXPECT_EQ(plan.ops[6].dy, 4096000);
    EXPECT_EQ(plan.frames, 11);
    EXPECT_EQ(plan.compactFrames, 2);
    EXPECT_EQ(plan.bytesToBox, 1 + 3 + 9 + 1 + 3 + 5 + 5 + 5 + 1 + 3 + 9);
    EXPECT_EQ(plan.segments, 5);
    EXPECT_NEAR(plan.drawnInches, 0.502, 1e-9);
    EXPECT_NEAR(plan.travelInches, sqrt(2.0) + hypot(1.0, 1.5), 1e-9);
    EXPECT_EQ(plan.low[0], 0);
    EXPECT_EQ(plan.high[0], 10010);
    EXPECT_EQ(plan.high[1], 15000);
    // Every frame and its acknowledgement, ten bits a byte at 38400 baud.
    EXPECT_NEAR(plan.wireSeconds, (45 + 11) / 3840.0, 1e-12);
    // Moves at their feeds: travel at 100 in/min, drawing at 60.
    EXPECT_NEAR(plan.motionSeconds, (sqrt(2.0) + hypot(1.0, 1.5)) * 0.6 + 0.502, 1e-9);
    EXPECT_GE(plan.estimateSeconds, plan.motionSeconds);
}

// Z makes three-axis frames, and the first of them selects the axes again
// (3D mode) with the spacing's two parameters: 4 + 7 + 7 bytes.
TEST(JobPlan, ThirdAxisLaserDwellAndHomeTakeTheirFrames)
{
    Program program;
    std::string error;
    ASSERT_TRUE(job::ParseGcode(
        "G0 X0 Y0 Z0\nG1 Z-0.001 F10\nG1 X1 Z0\nG4 P2\nG28", "t.gcode", Inch(), &program, &error));
    job::Plan plan;
    ASSERT_TRUE(job::MakePlan(program, BoxOptions(), &plan));
    // G28 is a rapid move to machine zero, not the homing cycle.
    EXPECT_EQ(Letters(plan), "UsHsLK.sx");
    EXPECT_EQ(plan.frames, 8 + 3);
    EXPECT_EQ(plan.bytesToBox, 1 + 3 + 13 + 18 + 3 + 7 + 13 + 3 + 5);
    EXPECT_EQ(plan.ops[4].dz, -8192);
    EXPECT_EQ(plan.ops[6].value, 2000);
    // The dwell waits for the moves before it: the estimate holds them, the
    // two seconds and the way home.
    EXPECT_GE(plan.estimateSeconds, plan.motionSeconds + 2.0);

    ASSERT_TRUE(
        job::ParseGcode("G0 X1\nM3 S100\nG1 X2 F10\nM5", "t.gcode", Inch(), &program, &error));
    job::PlanOptions laser = BoxOptions();
    laser.tool = job::Tool::Laser;
    ASSERT_TRUE(job::MakePlan(program, laser, &plan));
    // Pen up and laser off first, then the laser where the job says.
    EXPECT_EQ(Letters(plan), "Upsapsxp");  // one axis alone: 'x'
}

// Speeds in mils a minute: 15 mm/min is 591 mil/min, speed value 79 on the
// simulator's axis (78.74 exact: 0.3 % off, where whole in/min gave 1).
TEST(JobPlan, FeedsGoOutInMilsAMinuteAndMovesWithoutFTakeTheJobsFeed)
{
    const struct {
        const char* text;
        int32_t mils;
    } rows[] = {
        {"G21\nG1 X10 F15", 591},
        {"G21\nG1 X10 F10", 394},
        {"G20\nG1 X1", 20000},  // --feed's default, 20 in/min
        {"G21\nG1 X10 F10000", 393701},
    };
    for (const auto& row : rows) {
        Program program;
        std::string error;
        ASSERT_TRUE(job::ParseGcode(row.text, "t.gcode", {}, &program, &error)) << error;
        job::Plan plan;
        ASSERT_TRUE(job::MakePlan(program, BoxOptions(), &plan)) << row.text;
        auto speed = std::find_if(plan.ops.begin(), plan.ops.end(),
            [](const job::Op& op) { return op.kind == job::OpKind::Speed; });
        ASSERT_NE(speed, plan.ops.end()) << row.text;
        EXPECT_EQ(speed->value, row.mils) << row.text;
        double exact = row.mils / 1000.0 * 8000 / 60;  // steps a second
        EXPECT_NEAR(job::SpeedValueMils(row.mils, BoxOptions().machine), exact, 0.5) << row.text;
    }
    EXPECT_EQ(job::SpeedValueMils(591, BoxOptions().machine), 79);
}

// A pause puts the laser off before it and back on for the next drawn move;
// --no-pause leaves the step out and counts it.
TEST(JobPlan, APauseIsAStepWithTheToolOffAndItsMessage)
{
    Program program;
    std::string error;
    ASSERT_TRUE(job::ParseGcode("G20\nM3 S1\nG1 X1 F10\nM0 (turn the sheet)\nG1 X2", "t.gcode",
        Options(kLaser), &program, &error))
        << error;
    job::PlanOptions options = BoxOptions();
    options.tool = job::Tool::Laser;
    job::Plan plan;
    ASSERT_TRUE(job::MakePlan(program, options, &plan));
    EXPECT_EQ(Letters(plan), "Uppsap.pxp");
    ASSERT_EQ(plan.ops[6].kind, job::OpKind::Pause);
    EXPECT_EQ(plan.ops[6].line, 4);
    EXPECT_EQ(plan.messages, (std::vector<std::string> {"M0 program stop: turn the sheet"}));
    // The pause waits for the move before it.
    EXPECT_GE(plan.ops[6].doneAt, plan.ops[4].doneAt);
    options.pauses = false;
    ASSERT_TRUE(job::MakePlan(program, options, &plan));
    EXPECT_EQ(Letters(plan), "Uppsaxp");
    EXPECT_EQ(plan.pausesRunThrough, 1);
    EXPECT_NE(
        job::Summary(plan, "in").find("pauses: 1 run through (--no-pause)"), std::string::npos);
}

TEST(JobPlan, RangeRefusalsComeBeforeAnythingIsSent)
{
    const struct {
        const char* text;
        bool stepsKnown;
        const char* refusal;  // nullptr: the plan is accepted
    } rows[] = {
        {"G0 X300", false, nullptr},  // fits 32 bits of tenths of a mil
        {"G0 X300", true, "1:1: X 300.0000 in is beyond the box's 32-bit counts (+-262.144"},
        {"G0 X-300", true, "1:1: X -300.0000 in is beyond the box's 32-bit counts"},
        {"G0 X250\nG0 X-250", true, "2:1: one move longer than 32 bits of counts"},
        {"G0 Y300000", false, "1:1: Y 300000.0000 in is beyond 32 bits of tenths of a mil"},
        {"G1 X1 F500", true, "1:1: feed 500.0000 in/min is beyond the box's 16-bit speed"},
        {"G1 X1 F491", true, nullptr},  // 65,466 steps a second
        {"G1 X1 F0.2", true, nullptr},  // 27 steps a second
        {"G1 X1 F0.003", true, "1:1: feed 0.0030 in/min is below the box's slowest speed"},
        {"G1 X1 F0.0004", false, "1:1: feed 0.0004 in/min: the box takes 0.001 in/min"},
    };
    for (const auto& row : rows) {
        Program program;
        std::string error;
        ASSERT_TRUE(job::ParseGcode(row.text, "t.gcode", Inch(), &program, &error)) << error;
        job::PlanOptions options = row.stepsKnown ? BoxOptions() : job::PlanOptions();
        job::Plan plan;
        bool ok = job::MakePlan(program, options, &plan);
        if (row.refusal == nullptr) {
            EXPECT_TRUE(ok) << row.text << ": " << (plan.refusals.empty() ? "" : plan.refusals[0]);
            continue;
        }
        ASSERT_FALSE(ok) << row.text;
        EXPECT_EQ(plan.refusals[0].compare(0, strlen(row.refusal), row.refusal), 0)
            << row.text << "\n  got: " << plan.refusals[0];
    }
}

TEST(JobPreview, DrawnAndTravelPathsCarryThePlannedPoints)
{
    Program program;
    std::string error;
    ASSERT_TRUE(job::ParseGcode(
        "G0 X1 Y1\nM3\nG1 X2 F10\nM5\nG0 X0 Y0", "t.gcode", Inch(), &program, &error));
    job::Plan plan;
    ASSERT_TRUE(job::MakePlan(program, BoxOptions(), &plan));
    std::string svg = job::PreviewSvg(plan, Point());
    EXPECT_NE(svg.find("id=\"drawn\" fill=\"none\" stroke=\"black\""), std::string::npos);
    EXPECT_NE(svg.find("d=\"M1.0000 -1.0000 L2.0000 -1.0000\""), std::string::npos) << svg;
    EXPECT_NE(svg.find(" M0.0000 0.0000 L1.0000 -1.0000 M2.0000 -1.0000 L0.0000 0.0000\""),
        std::string::npos)
        << svg;
    // The preview is itself a drawing this parser reads back.
    Program back;
    ASSERT_TRUE(job::ParseSvg(svg, "p.svg", {}, &back, &error)) << error;
}

}  // namespace
