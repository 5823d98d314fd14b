// What the G-code reader's parts share: the words of a line, the modal state
// they change and the context of the file being read. The reader's parts:
// gcode_words.cpp (lines into words, numbers, messages), gcode_motion.cpp (one
// line run against the modal state: motion, planes, homing, cycles),
// gcode_paths.cpp (arcs and drilling cycles as straight moves), gcode_tool.cpp
// (the tool output, moves and pauses) and gcode.cpp (the file, its
// subprograms and the choice of tool).
#ifndef ZRQ_TOOLS_JOB_GCODE_INTERNAL_H
#define ZRQ_TOOLS_JOB_GCODE_INTERNAL_H

#include <stddef.h>

#include <string>
#include <vector>

#include "tools/job/job.h"

namespace job {
namespace gcode {

const double kMillimetre = 1.0 / 25.4;

enum Plane { kPlaneXY, kPlaneZX, kPlaneYZ };

struct Word {
    char letter = 0;
    double value = 0;
    std::string text;   // as written, for messages
    int column = 0;     // 1-based
    bool bare = false;  // an axis letter without a number (G28 X)
};

struct State {
    int motion = 0;  // 0 1 2 3, or a drilling cycle: 73 81 82 83
    double unit = kMillimetre;
    bool relative = false;
    bool arcAbsolute = false;  // G90.1: I J K are a point, not an offset
    Plane plane = kPlaneXY;
    double feed = -1;  // as written, in the units where a move uses it; -1 none
    int feedLine = 0;
    Point at;              // program coordinates, inches
    Point offset;          // machine = program + offset (G92)
    Point reference[2];    // G28 and G30 positions, machine coordinates
    bool spindle = false;  // M3/M4
    double power = 0;      // last S
    bool penDown = false;  // pen wanted down (M3/M5, M300, Z below --pen-z)
    bool output = false;   // the tool output as the actions leave it
    bool ended = false;
    bool placed = false;
    int unitWord = 0;  // 20 or 21 once the file set its units
    double tool = -1;  // last T
    bool dwellMillis = false;
    // Drilling cycles: their words hold from one cycle line to the next.
    double cycleZ = 0, cycleR = 0, cycleP = 0, cycleQ = 0;
    bool cycleZSet = false, cycleRSet = false;
    bool retractToR = false;  // G99; G98 goes back to the Z before the cycles
    double initialZ = 0;
    int motionBeforeCycle = 0;
};

struct Subprogram {
    std::string number;
    size_t from, to;
    int firstLine;
};

struct Context {
    const std::string* name;
    const ParseOptions* options;
    Program* program;
    std::string* error;
    Tool tool;
    const std::string* text;
    std::vector<Subprogram>* subs;
    bool feedDraws = false;  // pen: a file without pen words draws its feed moves
    bool penWords = false;   // pen: M3/M4/M5, M300 or a Z move seen
    int line = 0;
    int column = 1;  // of the word that drives the line's actions
};

// ---- words and messages (gcode_words.cpp) ----

// False, with "file:line:column: message" as the error.
bool Fail(Context& c, int column, const std::string& message);
std::string Number(double v);
std::string Plain(const Word& w);
void Ignore(Context& c, const std::string& what);
void Note(Context& c, const std::string& text);
bool IsAxis(char letter);
bool ReadWords(Context& c, const std::string& line, std::vector<Word>* words, std::string* comment);
bool Skip(Context& c, const Word& w);
bool StartsWith(const std::string& text, size_t at, const char* prefix);
bool WholeLine(Context& c, const std::string& line, bool* handled);

// ---- the tool (gcode_tool.cpp) ----

void AddAction(Context& c, ActionKind kind, double seconds = 0);
void Output(Context& c, State& s, bool on);
bool ZIsAxis(const Context& c);
void AddMove(Context& c, State& s, const Point& to, bool rapid, double feed);
std::string PauseText(const std::string& what, const State& s, const std::string& comment);
void AddPause(Context& c, const std::string& text);

// ---- arcs and drilling cycles (gcode_paths.cpp) ----

struct Arc {
    bool has[3] = {false, false, false};  // I J K
    double offset[3] = {0, 0, 0};
    bool hasR = false;
    double r = 0;
    int column = 0;
    int otherColumn = 0;
    double other = 0;
};

void PlaneAxes(Plane plane, int* a, int* b, int* along);
double& Coord(Point& p, int i);
double Coord(const Point& p, int i);
bool AddArc(Context& c, State& s, const Point& to, const Arc& arc, bool clockwise, double feed);
void Cycle(Context& c, State& s, const Point& hole, double feed);

// ---- one line (gcode_motion.cpp) ----

bool RunLine(Context& c, State& s, const std::vector<Word>& words, const std::string& comment);

}  // namespace gcode
}  // namespace job

#endif
