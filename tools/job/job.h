// Jobs: a drawing or toolpath read from G-code or SVG, planned for the box
// before anything is sent. The parsers turn a file into a Program (absolute
// points in inches, tool switches, dwells); the planner turns a Program into
// a Plan (targets in tenths of a mil, relative moves in 22.10 counts, the
// frames they take on the wire, a run-time estimate and the refusals).
// Shared by zrqctl, the tests and the benchmark; no library calls here.
#ifndef ZRQ_TOOLS_JOB_JOB_H
#define ZRQ_TOOLS_JOB_JOB_H

#include <stdint.h>

#include <string>
#include <utility>
#include <vector>

namespace job {

struct Point {
    double x = 0, y = 0, z = 0;  // inches
};

// Pause: stop the stream once the box has done the moves before it, tool
// off, show the message and wait for the operator (tool change, program
// stop, a pause between layers).
enum class ActionKind { Move, ToolOn, ToolOff, Dwell, Home, Pause };

struct Action {
    ActionKind kind = ActionKind::Move;
    Point to;            // Move: absolute target
    bool rapid = false;  // Move: G0, or travel between SVG subpaths
    double feed = 0;     // Move: inches per minute; 0 = the job's default feed
    double seconds = 0;  // Dwell
    int line = 0;        // source line, for messages
    int column = 0;      // of the word that made it, when the reader knows it
    int message = -1;    // Pause: index into Program::messages
};

// A drawing's layer (an SVG file's top-level group): its actions are
// [begin, end) of the program's, empty when it is not drawn.
struct Layer {
    std::string name;
    bool visible = true;
    double drawnInches = 0;  // hidden ones too, when listed
    size_t begin = 0, end = 0;
    int line = 0;
};
// pen: the pen output, down only on drawn moves; laser: the laser output,
// on only on drawn moves with power; mill: Z is an axis and the tool output
// follows the spindle.
enum class Tool { Pen, Laser, Mill };

struct Program {
    std::vector<Action> actions;
    std::vector<Layer> layers;
    double pageWidth = 0, pageHeight = 0;  // inches; 0 when the file gives none
    std::vector<std::string> skipped;      // "file:line:col: WORD" of words passed over
    bool usesZ = false;
    Tool tool = Tool::Pen;
    std::vector<std::string> messages;  // of the pauses
    // For the plan: what was assumed ("units mm: ...") and the words that
    // change nothing here, with their counts, in order of first appearance.
    std::vector<std::string> notes;
    std::vector<std::pair<std::string, long>> ignored;
};

// Bounds on what a file can make of itself: chords of one curve (a radius
// far beyond any machine would ask for millions), and moves of a program.
const int kMostChords = 100000;
const size_t kMostMoves = 10000000;
const long kMostFileBytes = 256L << 20;

enum class InputFormat { ByName, Gcode, Svg };

struct ParseOptions {
    double tolerance = 0.001;  // largest chord error of a flattened curve, inches
    bool ignoreUnknown = false;
    std::vector<std::string> layers;  // SVG: only these layers, in this order
    bool listLayers = false;          // SVG: measure hidden layers too
    InputFormat format = InputFormat::ByName;
    // G-code: the tool, or none given (mill when the file moves Z, else pen).
    bool toolGiven = false;
    Tool tool = Tool::Pen;
    bool inchesAssumed = false;  // a file that sets neither G20 nor G21 (--units in)
    double penZ = 0;             // pen: below this Z (inches) the pen is down
    bool optionalStop = false;   // M1 pauses too
};

// Both return false with "file:line:column: message" in *error.
bool ParseGcode(const std::string& text, const std::string& name, const ParseOptions& options,
    Program* program, std::string* error);
bool ParseSvg(const std::string& text, const std::string& name, const ParseOptions& options,
    Program* program, std::string* error);
// G-code by the extensions .gcode .gco .g .nc .ngc .cnc .tap .txt, SVG by
// .svg (any case), anything else by its content, unless options.format says.
bool ParseFile(
    const std::string& path, const ParseOptions& options, Program* program, std::string* error);

// Flattening, exposed for the tests: points after the start, the last one
// exactly the end.
void FlattenArc(double cx, double cy, double radius, double startAngle, double sweep,
    double tolerance, std::vector<Point>* out);
void FlattenCubic(const Point& p0, const Point& p1, const Point& p2, const Point& p3,
    double tolerance, std::vector<Point>* out);
void FlattenQuadratic(
    const Point& p0, const Point& p1, const Point& p2, double tolerance, std::vector<Point>* out);

// Bounds of the moves of a program (travel included).
bool ProgramBounds(const Program& program, Point* low, Point* high);
// x' = x * scale + dx, y' = y * scale + dy on every move.
void PlaceProgram(Program* program, double scale, double dx, double dy);

// Travel optimisation: the strokes of each layer (layers keep their order)
// reordered and reversed to shorten pen-up travel from `from`, and strokes
// whose ends meet joined. False, with the program unchanged, for programs
// that are not pen strokes alone (travel, pen down, moves, pen up).
struct OptimizeReport {
    double travelBefore = 0, travelAfter = 0;  // inches
    long strokes = 0, joined = 0;
};
bool OptimizeTravel(Program* program, const Point& from, OptimizeReport* report);

// ---- the plan ----

// What the box is, once the link is up: steps in 10^-8 inch (0 = not known;
// the plan then stays in tenths of a mil) and the Y velocity unit.
struct Machine {
    int32_t stepX = 0, stepY = 0, stepZ = 0;
    uint32_t vunitY = 0;
};

struct PlanOptions {
    double feedIpm = 20;    // moves without a feed of their own
    double rapidIpm = 100;  // G0 and travel
    Tool tool = Tool::Pen;
    Point start;  // where the machine is before the job, inches
    Machine machine;
    bool pauses = true;  // false: run through the pauses (--no-pause)
};

enum class OpKind { Speed, ToolOn, ToolOff, MoveAbs, Move, Dwell, Home, Pause };

struct Op {
    OpKind kind = OpKind::Move;
    int32_t x = 0, y = 0, z = 0;     // target, tenths of a mil (moves, home)
    int32_t dx = 0, dy = 0, dz = 0;  // Move: relative, 22.10 counts
    bool drawn = false;
    int32_t value = 0;  // Speed: mils per minute; Dwell: milliseconds; Pause: message
    uint8_t letter = 0;
    uint8_t bytes = 0;  // frame bytes to the box
    int line = 0;
    double doneAt = 0;  // estimate: seconds from the start until the box has done it
};

struct Plan {
    std::vector<Op> ops;
    bool countsKnown = false;
    bool usesZ = false;
    int32_t low[3] = {0, 0, 0}, high[3] = {0, 0, 0};  // tenths of a mil
    double drawnInches = 0, travelInches = 0;
    long segments = 0;  // moves that go to the box
    long dots = 0;      // pen down and up with no move between (stipples, halftones)
    long frames = 0;
    long compactFrames = 0;
    long bytesToBox = 0;
    double wireSeconds = 0;    // the bytes to the box and their acknowledgements
    double motionSeconds = 0;  // the moves at their feeds
    double estimateSeconds = 0;
    // Empty when the job may run; each "LINE:COLUMN: why" (or "line LINE:
    // why" where the reader gives no column).
    std::vector<std::string> refusals;
    std::vector<std::string> messages;  // of the pauses
    long pausesRunThrough = 0;          // pauses left out (--no-pause)
    std::vector<std::string> notes;     // lines for the operator: tool, units, ignored words
};

bool MakePlan(const Program& program, const PlanOptions& options, Plan* plan);

// The 22.10 count of a position, as the library converts it (half the value
// is added before the division by the step).
int64_t CountsOf(int32_t tenthMils, int32_t step);
// Controller speed value for a speed in inches per minute (as Kap_Velocity)
// and in mils per minute (as Kap_VelocityMils).
int64_t SpeedValue(int32_t ipm, const Machine& machine);
int64_t SpeedValueMils(int64_t milsPerMinute, const Machine& machine);
// The relative move's frame, as NirekXYZrel chooses it: letter and bytes.
void RelativeFrame(int32_t dx, int32_t dy, int32_t dz, uint8_t* letter, uint8_t* bytes);

const double kWireBytesPerSecond = 3840.0;  // 38400 baud, ten bits a byte
const int32_t kMaxSpeedValue = 65535;       // the speed word is 16 bits

// The planned path as SVG: drawn moves black, travel red and dashed, in
// inches with Y up as on the machine.
std::string PreviewSvg(const Plan& plan, const Point& start);

// Text lines of the plan for the operator, in the unit given ("in" or "mm").
std::string Summary(const Plan& plan, const std::string& unit);

}  // namespace job

#endif
