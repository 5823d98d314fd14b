// The G-code that CAM programs, laser tools and plotter generators write,
// read as a table of words: honoured (motion, planes, units, distance modes,
// G28/G30/G53/G92, dwell, tool and pause words), ignored (words that change
// nothing on this machine, listed in the plan) and refused with file:line:
// column. A word that changes where the tool goes is never skipped, not even
// with --ignore-unknown; only M words and letters of no known meaning are.
#include <ctype.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "tools/job/job.h"

namespace job {

namespace {

const double kMillimetre = 1.0 / 25.4;
// How far an arc's end may sit off its circle before the arc is refused:
// CAM output rounds its numbers, so a part of the radius is allowed as well.
const double kArcMismatch = 0.002;  // inches
const double kArcMismatchPart = 0.001;
// Servo pens: M300 S30 lowers, S50 lifts.
const int kServoUp = 50;

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

bool IsArc(int motion)
{
    return motion == 2 || motion == 3;
}

bool IsCycle(int motion)
{
    return motion == 73 || motion >= 81;
}

struct Context {
    const std::string* name;
    const ParseOptions* options;
    Program* program;
    std::string* error;
    Tool tool;
    const std::string* text;
    std::vector<struct Subprogram>* subs;
    bool feedDraws = false;  // pen: a file without pen words draws its feed moves
    bool penWords = false;   // pen: M3/M4/M5, M300 or a Z move seen
    int line = 0;
    int column = 1;  // of the word that drives the line's actions
};

bool Fail(Context& c, int column, const std::string& message)
{
    *c.error
        = *c.name + ":" + std::to_string(c.line) + ":" + std::to_string(column) + ": " + message;
    return false;
}

std::string Number(double v)
{
    char text[32];
    snprintf(text, sizeof text, "%g", v);
    return text;
}

// A word in its plain form, for the list of ignored words: G064 is G64.
std::string Plain(const Word& w)
{
    return std::string(1, w.letter) + Number(w.value);
}

void Ignore(Context& c, const std::string& what)
{
    for (auto& entry : c.program->ignored)
        if (entry.first == what) {
            ++entry.second;
            return;
        }
    c.program->ignored.emplace_back(what, 1);
}

void Note(Context& c, const std::string& text)
{
    for (const std::string& n : c.program->notes)
        if (n == text)
            return;
    c.program->notes.push_back(text);
}

bool IsAxis(char letter)
{
    return letter == 'X' || letter == 'Y' || letter == 'Z';
}

// Splits a line into words and the text of its comments; blanks, N and the
// checksum are dropped here.
bool ReadWords(Context& c, const std::string& line, std::vector<Word>* words, std::string* comment)
{
    size_t i = 0;
    while (i < line.size()) {
        char ch = line[i];
        if (ch == ';') {
            *comment += (comment->empty() ? "" : " ") + line.substr(i + 1);
            break;
        }
        if (ch == '(') {
            // CAM programs nest them: (Drill 4.5mm (R)).
            size_t close = i + 1;
            for (int depth = 1; close < line.size(); ++close) {
                depth += line[close] == '(' ? 1 : line[close] == ')' ? -1 : 0;
                if (depth == 0)
                    break;
            }
            if (close >= line.size())
                return Fail(c, static_cast<int>(i) + 1, "comment '(' is not closed on its line");
            *comment += (comment->empty() ? "" : " ") + line.substr(i + 1, close - i - 1);
            i = close + 1;
            continue;
        }
        if (isspace(static_cast<unsigned char>(ch))) {
            ++i;
            continue;
        }
        if (ch == '*')  // a checksum ends the line
            break;
        if (!isalpha(static_cast<unsigned char>(ch)))
            return Fail(c, static_cast<int>(i) + 1, std::string("unexpected '") + ch + "'");
        Word w;
        w.letter = static_cast<char>(toupper(static_cast<unsigned char>(ch)));
        w.column = static_cast<int>(i) + 1;
        size_t start = ++i;
        while (i < line.size() && line[i] == ' ')
            ++i;
        size_t numberAt = i;
        if (i < line.size() && (line[i] == '+' || line[i] == '-'))
            ++i;
        bool digits = false;
        while (
            i < line.size() && (isdigit(static_cast<unsigned char>(line[i])) || line[i] == '.')) {
            digits = digits || line[i] != '.';
            ++i;
        }
        // 4.5e-17 and 1,5 are no G-code numbers; read as far as they go they
        // would move the tool somewhere else (X 4.5, X 1).
        auto digitAt = [&](size_t k) {
            return k < line.size() && isdigit(static_cast<unsigned char>(line[k]));
        };
        if (digits && i < line.size() && (line[i] == 'e' || line[i] == 'E')
            && (digitAt(i + 1)
                || ((i + 1 < line.size() && (line[i + 1] == '-' || line[i + 1] == '+'))
                    && digitAt(i + 2)))) {
            size_t end = i + 1;
            while (end < line.size()
                && (isdigit(static_cast<unsigned char>(line[end])) || line[end] == '-'
                    || line[end] == '+'))
                ++end;
            return Fail(c, w.column,
                "'" + line.substr(w.column - 1, end - w.column + 1)
                    + "': a number with an exponent");
        }
        if (digits && i < line.size() && line[i] == ',' && digitAt(i + 1)) {
            size_t end = i + 1;
            while (digitAt(end))
                ++end;
            return Fail(c, w.column,
                "'" + line.substr(w.column - 1, end - w.column + 1) + "': a decimal comma");
        }
        w.text = std::string(1, w.letter) + line.substr(start, i - start);
        if (!digits) {
            if (!IsAxis(w.letter) || i != numberAt)
                return Fail(c, w.column, "'" + w.text + "' has no number");
            w.bare = true;
        } else {
            std::string number = line.substr(numberAt, i - numberAt);
            char* end = nullptr;
            w.value = strtod(number.c_str(), &end);
            if (end != number.c_str() + number.size() || !std::isfinite(w.value))
                return Fail(c, w.column, "'" + w.text + "' is not a number");
        }
        if (w.letter != 'N')
            words->push_back(w);
    }
    return true;
}

// A word this reader does not know: refused, or passed over and listed
// with --ignore-unknown.
bool Skip(Context& c, const Word& w)
{
    if (!c.options->ignoreUnknown)
        return Fail(c, w.column, "unsupported word '" + w.text + "'");
    c.program->skipped.push_back(
        *c.name + ":" + std::to_string(c.line) + ":" + std::to_string(w.column) + ": " + w.text);
    return true;
}

void AddAction(Context& c, ActionKind kind, double seconds = 0)
{
    Action a;
    a.kind = kind;
    a.seconds = seconds;
    a.line = c.line;
    a.column = c.column;
    c.program->actions.push_back(a);
}

void Output(Context& c, State& s, bool on)
{
    if (on == s.output)
        return;
    s.output = on;
    AddAction(c, on ? ActionKind::ToolOn : ActionKind::ToolOff);
}

bool ZIsAxis(const Context& c)
{
    return c.tool != Tool::Pen;
}

// One straight move to a point in program coordinates. The tool output is
// set first: a pen is down and a laser on only on drawn moves.
void AddMove(Context& c, State& s, const Point& to, bool rapid, double feed)
{
    bool zChanged = to.z != s.at.z;
    bool penHeight = !ZIsAxis(c) && zChanged;
    if (penHeight) {
        s.penDown = to.z + s.offset.z < c.options->penZ;
        c.penWords = true;
    }
    bool want = c.tool == Tool::Mill ? s.spindle
        : c.tool == Tool::Laser      ? !rapid && s.spindle && s.power > 0
                                     : !rapid && (s.penDown || c.feedDraws);
    Output(c, s, want);
    Action a;
    a.kind = ActionKind::Move;
    a.to.x = to.x + s.offset.x;
    a.to.y = to.y + s.offset.y;
    a.to.z = ZIsAxis(c) ? to.z + s.offset.z : 0;
    a.rapid = rapid;
    a.feed = rapid ? 0 : feed;
    a.line = c.line;
    a.column = c.column;
    if (ZIsAxis(c) && zChanged)
        c.program->usesZ = true;
    // Until the first move the parser does not know where the machine is; a
    // pen's change of height alone is no move.
    bool moves
        = to.x != s.at.x || to.y != s.at.y || (ZIsAxis(c) && zChanged) || (!s.placed && !penHeight);
    s.at = to;
    if (moves) {
        s.placed = true;
        c.program->actions.push_back(a);
    }
}

struct Arc {
    bool has[3] = {false, false, false};  // I J K
    double offset[3] = {0, 0, 0};
    bool hasR = false;
    double r = 0;
    int column = 0;
    int otherColumn = 0;
    double other = 0;
};

// The plane's two axes and the one along it, as indices of x y z.
void PlaneAxes(Plane plane, int* a, int* b, int* along)
{
    if (plane == kPlaneXY)
        *a = 0, *b = 1, *along = 2;
    else if (plane == kPlaneZX)
        *a = 2, *b = 0, *along = 1;
    else
        *a = 1, *b = 2, *along = 0;
}

double& Coord(Point& p, int i)
{
    return i == 0 ? p.x : i == 1 ? p.y : p.z;
}

double Coord(const Point& p, int i)
{
    return i == 0 ? p.x : i == 1 ? p.y : p.z;
}

bool AddArc(Context& c, State& s, const Point& to, const Arc& arc, bool clockwise, double feed)
{
    Point from = s.at;
    int ia, ib, iz;
    PlaneAxes(s.plane, &ia, &ib, &iz);
    double fa = Coord(from, ia), fb = Coord(from, ib);
    double ta = Coord(to, ia), tb = Coord(to, ib);
    double ca, cb;
    if (arc.hasR) {
        // The centre sits on the chord's bisector; a negative R asks for the
        // arc of more than half a turn.
        double da = ta - fa, db = tb - fb;
        double chord = hypot(da, db);
        double r = fabs(arc.r);
        if (chord == 0)
            return Fail(c, arc.column, "an R arc needs an end point other than its start");
        if (chord > 2 * r + kArcMismatch)
            return Fail(c, arc.column, "R is less than half the distance to the end point");
        double h = sqrt(std::max(0.0, r * r - chord * chord / 4));
        // Left of the chord for a counter-clockwise short arc.
        double side = (clockwise ? -1.0 : 1.0) * (arc.r < 0 ? -1.0 : 1.0);
        ca = (fa + ta) / 2 - side * h * db / chord;
        cb = (fb + tb) / 2 + side * h * da / chord;
    } else {
        double oa = arc.offset[ia], ob = arc.offset[ib];
        ca = s.arcAbsolute ? oa : fa + oa;
        cb = s.arcAbsolute ? ob : fb + ob;
    }
    double r0 = hypot(fa - ca, fb - cb);
    double r1 = hypot(ta - ca, tb - cb);
    if (r0 == 0)
        return Fail(c, arc.column, "arc centre on its start point");
    if (fabs(r1 - r0) > std::max(kArcMismatch, kArcMismatchPart * r0))
        return Fail(c, arc.column, "arc end point is not on its circle");
    double a0 = atan2(fb - cb, fa - ca);
    double sweep = atan2(tb - cb, ta - ca) - a0;
    if (clockwise) {
        while (sweep >= 0)
            sweep -= 2 * M_PI;
    } else {
        while (sweep <= 0)
            sweep += 2 * M_PI;
    }
    // A start and end that differ by a rounding error are a full circle only
    // when they coincide; a tiny sweep the other way round is not.
    if (fabs(fabs(sweep) - 2 * M_PI) < 1e-12 && (fa != ta || fb != tb))
        sweep = 0;
    std::vector<Point> points;
    FlattenArc(ca, cb, r0, a0, sweep, c.options->tolerance, &points);
    size_t n = points.size();
    double fz = Coord(from, iz), tz = Coord(to, iz);
    for (size_t k = 0; k < n; ++k) {
        Point p;
        Coord(p, ia) = k + 1 == n ? ta : points[k].x;
        Coord(p, ib) = k + 1 == n ? tb : points[k].y;
        Coord(p, iz) = fz + (tz - fz) * static_cast<double>(k + 1) / static_cast<double>(n);
        AddMove(c, s, p, false, feed);
    }
    s.at = to;
    return true;
}

int Code(double value)
{
    return static_cast<int>(lround(value * 10));
}

// G28 X: a bare axis letter names the axis that goes to its reference.
bool HomingLine(const std::vector<Word>& words)
{
    for (const Word& w : words)
        if (w.letter == 'G' && (Code(w.value) == 280 || Code(w.value) == 300))
            return true;
    return false;
}

bool IsCode(double value)
{
    return fabs(value * 10 - nearbyint(value * 10)) < 1e-6;
}

std::string PauseText(const std::string& what, const State& s, const std::string& comment)
{
    std::string text = what;
    if (s.tool >= 0)
        text += ", tool " + Number(s.tool);
    size_t first = comment.find_first_not_of(' ');
    if (first != std::string::npos)
        text += ": " + comment.substr(first);
    return text;
}

void AddPause(Context& c, const std::string& text)
{
    Action a;
    a.kind = ActionKind::Pause;
    a.line = c.line;
    a.column = c.column;
    a.message = static_cast<int>(c.program->messages.size());
    c.program->messages.push_back(text);
    c.program->actions.push_back(a);
}

// A drilling cycle at one hole, as a controller moves: up to R if below it,
// across, down to R, drill (in pecks for G73 and G83), dwell for G82, and back
// to R (G99) or to the Z before the cycles (G98).
void Cycle(Context& c, State& s, const Point& hole, double feed)
{
    const double kPeckClearance = 0.010;  // inches above the last peck
    double r = s.cycleR, bottom = s.cycleZ;
    Point p = s.at;
    if (p.z < r) {
        p.z = r;
        AddMove(c, s, p, true, 0);
    }
    p.x = hole.x, p.y = hole.y;
    AddMove(c, s, p, true, 0);
    p.z = r;
    AddMove(c, s, p, true, 0);
    bool pecks = s.motion == 73 || s.motion == 83;
    double depth = r;
    while (depth > bottom) {
        double next = pecks ? std::max(bottom, depth - s.cycleQ) : bottom;
        if (s.motion == 83 && depth != r) {
            p.z = depth + kPeckClearance;
            AddMove(c, s, p, true, 0);
        }
        p.z = next;
        AddMove(c, s, p, false, feed);
        depth = next;
        if (depth > bottom) {
            p.z = s.motion == 83 ? r : depth + kPeckClearance;
            AddMove(c, s, p, true, 0);
        }
    }
    if (s.motion == 82 && s.cycleP > 0)
        AddAction(c, ActionKind::Dwell, s.cycleP);
    p.z = s.retractToR ? r : std::max(s.initialZ, r);
    AddMove(c, s, p, true, 0);
}

// The words of one line, executed in the order a controller does: feed,
// power, tool, tool change, spindle, dwell, modes, then the motion, then the
// stops.
bool RunLine(Context& c, State& s, const std::vector<Word>& words, const std::string& comment)
{
    int motion = -1;
    int motionColumn = 0;
    bool setPosition = false, resetPosition = false, machine = false, toolLength = false;
    int home = -1, setHome = -1;  // 0: G28, 1: G30
    int stop = -1;                // M0, M1, M2, M30
    bool toolChange = false;
    int spindle = -1;  // 0 off, 1 on
    int servo = -1;
    bool dwell = false, blending = false, digitalOut = false, m114 = false;
    int dwellColumn = 1;
    c.column = words.empty() ? 1 : words[0].column;
    Arc arc;
    const Word* seen[26] = {};
    const Word* axisWord[3] = {};
    for (const Word& w : words) {
        int index = w.letter - 'A';
        if (w.letter != 'G' && w.letter != 'M') {
            if (seen[index] != nullptr)
                return Fail(c, w.column, "'" + std::string(1, w.letter) + "' given twice");
            seen[index] = &w;
        }
        if (w.bare && !HomingLine(words))
            return Fail(c, w.column, "'" + w.text + "' has no number");
        switch (w.letter) {
        case 'G': {
            if (!IsCode(w.value))
                return Fail(c, w.column, "unsupported word '" + w.text + "'");
            int g = Code(w.value);
            if (g == 0 || g == 10 || g == 20 || g == 30 || g == 730 || g == 810 || g == 820
                || g == 830) {
                if (motion >= 0)
                    return Fail(c, w.column, "two motion words on one line");
                motion = g / 10;
                motionColumn = w.column;
            } else if (g == 40) {
                dwell = true;
                dwellColumn = w.column;
            } else if (g == 170 || g == 180 || g == 190) {
                s.plane = g == 170 ? kPlaneXY : g == 180 ? kPlaneZX : kPlaneYZ;
            } else if (g == 200 || g == 210) {
                s.unit = g == 200 ? 1.0 : kMillimetre;
                s.unitWord = g / 10;
            } else if (g == 900 || g == 910) {
                s.relative = g == 910;
            } else if (g == 901 || g == 911) {
                s.arcAbsolute = g == 901;
            } else if (g == 920) {
                setPosition = true;
            } else if (g == 921) {
                resetPosition = true;
            } else if (g == 280 || g == 300) {
                home = g == 280 ? 0 : 1;
            } else if (g == 281 || g == 301) {
                setHome = g == 281 ? 0 : 1;
            } else if (g == 530) {
                machine = true;
            } else if (g == 430) {
                toolLength = true;
            } else if (g == 610 || g == 611 || g == 640) {
                blending = true;
                Ignore(c, Plain(w));
            } else if (g == 800 && IsCycle(s.motion)) {
                // The motion mode before the cycles holds again, as the CAM
                // posts that follow G80 with a bare Z expect.
                s.motion = s.motionBeforeCycle;
            } else if (g == 980 || g == 990) {
                s.retractToR = g == 990;
            } else if (g == 400 || g == 490 || g == 800 || g == 940 || g == 960 || g == 970
                || (g >= 540 && g <= 590 && g % 10 == 0)) {
                // Cancels of what is never on here, the one feed mode, the
                // spindle's speed modes, and work offsets that no word of a
                // job can set.
                Ignore(c, Plain(w));
            } else {
                // Every other G word changes how the tool moves.
                return Fail(c, w.column, "unsupported word '" + w.text + "'");
            }
            break;
        }
        case 'M': {
            if (!IsCode(w.value) || Code(w.value) % 10 != 0) {
                if (!Skip(c, w))
                    return false;
                break;
            }
            int m = Code(w.value) / 10;
            if (m == 0 || m == 1 || m == 2 || m == 30) {
                stop = m;
            } else if (m == 3 || m == 4) {
                spindle = 1;
            } else if (m == 5) {
                spindle = 0;
            } else if (m == 6) {
                toolChange = true;
            } else if (m == 7 || m == 8 || m == 9 || m == 17 || m == 18 || m == 84 || m == 48
                || m == 49) {
                // Coolant, stepper power, which this box keeps on, and the
                // operator's override switches, which it does not have.
                Ignore(c, Plain(w));
            } else if (m >= 62 && m <= 65) {
                digitalOut = true;  // outputs this machine does not have
                Ignore(c, Plain(w));
            } else if (m >= 100 && m <= 199) {
                // Programs of the user's controller (air assist and the like):
                // nothing here runs them.
                digitalOut = true;
                Ignore(c, Plain(w) + " (user-defined)");
            } else if (m == 114) {
                m114 = true;
                Ignore(c, Plain(w) + " (position report)");
            } else if (m == 300 && c.tool == Tool::Pen) {
                servo = 1;
            } else if (!Skip(c, w)) {
                return false;
            }
            break;
        }
        case 'X':
        case 'Y':
        case 'Z': axisWord[w.letter - 'X'] = &w; break;
        case 'F':
            if (w.value < 0)
                return Fail(c, w.column, "feed must not be negative");
            break;
        case 'I':
        case 'J':
        case 'K': {
            int k = w.letter - 'I';
            arc.has[k] = true;
            arc.offset[k] = w.value;
            arc.column = arc.column ? arc.column : w.column;
            break;
        }
        case 'R':
            arc.hasR = true;
            arc.r = w.value;
            arc.column = w.column;
            break;
        case 'S':
        case 'P':
        case 'H':
        case 'T':
        case 'O':
        case 'E':
        case 'Q': break;  // below, once the G and M words of the line are known
        case 'A':
        case 'B':
        case 'C':
        case 'U':
        case 'V':
        case 'W': return Fail(c, w.column, "'" + w.text + "': the box has no such axis");
        default:
            if (!Skip(c, w))
                return false;
        }
    }

    // The words whose meaning depends on the G and M words of the line.
    double dwellSeconds = -1;
    int lineMotion = motion >= 0 ? motion : s.motion;
    for (const Word& w : words) {
        switch (w.letter) {
        case 'P':
            if (dwell) {
                dwellSeconds = s.dwellMillis ? w.value / 1000 : w.value;
            } else if (IsCycle(lineMotion)) {
                s.cycleP = w.value;  // the dwell at the bottom, seconds
            } else if (IsArc(lineMotion)) {
                // The number of turns of an arc.
                if (w.value != 1)
                    return Fail(c, w.column, "'" + w.text + "': arcs of more than one turn");
            } else if (!blending && !digitalOut && !toolChange && !Skip(c, w)) {
                return false;
            }
            break;
        case 'Q':
            if (IsCycle(lineMotion))
                s.cycleQ = w.value * s.unit;  // the peck
            else if (!blending && !Skip(c, w))
                return false;
            break;
        case 'H':
            if (!toolLength)
                return Fail(c, w.column, "unsupported word '" + w.text + "'");
            Note(c, "G43 " + Plain(w) + ": tool length offset taken as zero (no tool table here)");
            break;
        case 'T':
            s.tool = w.value;
            Ignore(c, Plain(w));
            break;
        case 'O':
            if (words.size() > 1)
                return Fail(
                    c, w.column, "'" + w.text + "' with other words: subprograms are not run");
            Ignore(c, "O (program number)");
            break;
        case 'E':
            if (w.value != 0)
                return Fail(c, w.column, "unsupported word '" + w.text + "' (extrusion)");
            Ignore(c, "E0");
            break;
        case 'S':
            if (dwell && seen['P' - 'A'] == nullptr) {
                dwellSeconds = w.value;  // G4 S: seconds, as plotter firmware takes it
            } else if (servo >= 0) {
                // Servo angles below the lifted one lower the pen (S30, or
                // what the plotter was set to); S255 switches the servo off.
                servo = w.value < kServoUp ? 1 : 0;
            } else if (m114) {
                // M114 S1: the report's form
            } else if (c.tool == Tool::Laser) {
                s.power = w.value;
            } else {
                Ignore(c, "S (spindle speed)");
            }
            break;
        default: break;
        }
    }
    if (servo >= 0 && seen['S' - 'A'] == nullptr)
        return Fail(c, 1, "M300 needs S30 (pen down) or S50 (pen up)");
    if (servo >= 0) {
        s.penDown = servo == 1;
        c.penWords = true;
        // Plotter firmware of this dialect counts G4 P in milliseconds.
        if (!s.dwellMillis)
            Note(c, "G4 P in milliseconds (servo-pen file, M300)");
        s.dwellMillis = true;
    }
    if (toolLength && seen['H' - 'A'] == nullptr)
        Note(c, "G43: tool length offset taken as zero (no tool table here)");

    if (seen['F' - 'A'] != nullptr) {
        s.feed = seen['F' - 'A']->value;
        s.feedLine = c.line;
    }
    if (toolChange)
        AddPause(c, PauseText("M6 tool change", s, comment));
    if (spindle >= 0) {
        s.spindle = spindle == 1;
        if (c.tool == Tool::Pen)
            s.penDown = s.spindle;
        c.penWords = true;
    }
    if (c.tool == Tool::Mill)
        Output(c, s, s.spindle);
    else if (s.output && !(s.spindle && s.power > 0) && c.tool == Tool::Laser)
        Output(c, s, false);  // S0 or M5 switch the laser off at once
    else if (s.output && !s.penDown && c.tool == Tool::Pen)
        Output(c, s, false);
    if (dwell) {
        c.column = dwellColumn;
        if (dwellSeconds < 0)
            return Fail(c, dwellColumn, "G4 needs P (or S), the dwell in seconds");
        if (dwellSeconds > 0)
            AddAction(c, ActionKind::Dwell, dwellSeconds);
    }

    // The moves of the line are named by its motion word, else its first
    // axis word.
    if (motion >= 0) {
        c.column = motionColumn;
    } else {
        for (const Word& w : words)
            if (IsAxis(w.letter)) {
                c.column = w.column;
                break;
            }
    }
    // Axis values in the units and distance mode of this line.
    Point to = s.at;
    bool hasAxis = false;
    bool named[3] = {false, false, false};
    for (int i = 0; i < 3; ++i) {
        const Word* w = axisWord[i];
        if (w == nullptr)
            continue;
        named[i] = true;
        if (w->bare)
            continue;
        double v = w->value * s.unit;
        double& axis = Coord(to, i);
        if (setPosition) {
            double& at = Coord(s.at, i);
            Coord(s.offset, i) += at - v;
            at = v;
            to = s.at;
        } else if (machine) {
            axis = v - Coord(s.offset, i);
        } else {
            axis = s.relative ? axis + v : v;
        }
        hasAxis = true;
    }
    if (resetPosition) {
        s.at.x += s.offset.x, s.at.y += s.offset.y, s.at.z += s.offset.z;
        s.offset = Point();
        to = s.at;
    }
    if (setHome >= 0) {
        s.reference[setHome]
            = Point {s.at.x + s.offset.x, s.at.y + s.offset.y, s.at.z + s.offset.z};
    }

    double feed = s.feed > 0 ? s.feed * s.unit : 0;
    if (setPosition || resetPosition || setHome >= 0) {
        // no motion on these lines
    } else if (home >= 0) {
        // Through the point the axis words name, then to the reference
        // position in those axes only (all of them when none is named).
        bool any = named[0] || named[1] || named[2];
        if (hasAxis)
            AddMove(c, s, to, true, 0);
        Point ref = s.at;
        for (int i = 0; i < 3; ++i)
            if (!any || named[i])
                Coord(ref, i) = Coord(s.reference[home], i) - Coord(s.offset, i);
        AddMove(c, s, ref, true, 0);
    } else if (IsCycle(lineMotion)) {
        if (!ZIsAxis(c))
            return Fail(c, motionColumn, "a drilling cycle with the pen (Z is no axis)");
        if (s.relative || s.plane != kPlaneXY)
            return Fail(c, motionColumn, "a drilling cycle outside G90 and G17");
        if (!IsCycle(s.motion)) {
            s.initialZ = s.at.z;
            s.motionBeforeCycle = s.motion;
        }
        s.motion = lineMotion;
        if (arc.hasR) {
            s.cycleR = arc.r * s.unit;
            s.cycleRSet = true;
        }
        if (axisWord[2] != nullptr && !axisWord[2]->bare) {
            s.cycleZ = to.z;
            s.cycleZSet = true;
            to.z = s.at.z;
        }
        if (axisWord[0] != nullptr || axisWord[1] != nullptr) {
            if (!s.cycleZSet || !s.cycleRSet)
                return Fail(c, motionColumn, "a drilling cycle needs Z and R");
            if ((s.motion == 73 || s.motion == 83) && !(s.cycleQ > 0))
                return Fail(c, motionColumn, "a pecking cycle needs Q above 0");
            // A peck far shorter than the hole would make millions of moves.
            if ((s.motion == 73 || s.motion == 83)
                && (s.cycleR - s.cycleZ) / s.cycleQ > kMostChords)
                return Fail(c, motionColumn,
                    "a pecking cycle of more than " + std::to_string(kMostChords) + " pecks");
            if (s.feed == 0)
                return Fail(c, motionColumn, "a drilling cycle at feed 0");
            Cycle(c, s, to, feed);
        }
    } else {
        if (motion >= 0)
            s.motion = motion;
        else
            motionColumn = 1;
        bool hasArc = arc.has[0] || arc.has[1] || arc.has[2] || arc.hasR;
        if ((arc.has[0] || arc.has[1] || arc.has[2]) && arc.hasR)
            return Fail(c, arc.column, "an arc takes I J K or R, not both");
        if (hasArc && !IsArc(s.motion))
            return Fail(c, arc.column, "I, J, K and R belong to G2 and G3");
        if (machine && IsArc(s.motion))
            return Fail(c, motionColumn, "G53 with an arc");
        if (hasArc) {
            // The offset along the plane's normal must be zero: a helix
            // takes its rise from the axis word, not from K.
            int ia, ib, iz;
            PlaneAxes(s.plane, &ia, &ib, &iz);
            if (arc.has[iz]) {
                const Word* w = seen['I' - 'A' + iz];
                if (arc.offset[iz] != 0)
                    return Fail(c, w->column,
                        "'" + w->text + "': an arc in this plane takes no "
                            + std::string(1, static_cast<char>('I' + iz)));
                Ignore(c, std::string(1, static_cast<char>('I' + iz)) + "0");
            }
            for (double& o : arc.offset)
                o *= s.unit;
            arc.r *= s.unit;
        }
        bool arcWithOffsets = IsArc(s.motion) && (arc.has[0] || arc.has[1] || arc.has[2]);
        if (hasAxis || arcWithOffsets) {
            if (s.motion >= 1 && s.feed == 0)
                return Fail(c, motionColumn,
                    "G" + std::to_string(s.motion) + " at feed 0 (F0 on line "
                        + std::to_string(s.feedLine) + ")");
            if (s.motion <= 1) {
                AddMove(c, s, to, s.motion == 0, feed);
            } else {
                if (!hasArc)
                    return Fail(c, motionColumn, "G2 and G3 need I J K, or R");
                if (!AddArc(c, s, to, arc, s.motion == 2, feed))
                    return false;
            }
        }
    }

    if (stop == 0)
        AddPause(c, PauseText("M0 program stop", s, comment));
    else if (stop == 1 && c.options->optionalStop)
        AddPause(c, PauseText("M1 optional stop", s, comment));
    else if (stop == 1)
        Ignore(c, "M1 (without --optional-stop)");
    else if (stop == 2 || stop == 30)
        s.ended = true;
    return true;
}

bool StartsWith(const std::string& text, size_t at, const char* prefix)
{
    return text.compare(at, strlen(prefix), prefix) == 0;
}

// Lines that are not G-code blocks: '%' tape marks (with or without text),
// '//' and '# ' comment lines, and the controller's own '$' queries.
bool WholeLine(Context& c, const std::string& line, bool* handled)
{
    size_t at = line.find_first_not_of(" \t");
    *handled = true;
    if (at == std::string::npos)
        return true;
    if (line[at] == '%') {
        Ignore(c, "%");
        return true;
    }
    size_t after = line.find_first_not_of(" \t", at + 1);
    if (line[at] == '?' && (after == std::string::npos || line[after] == ';')) {
        Ignore(c, "?");  // a status query
        return true;
    }
    if (StartsWith(line, at, "//")
        || (line[at] == '#' && (at + 1 == line.size() || line[at + 1] == ' ')))
        return true;
    if (line[at] == '$') {
        size_t end = line.find_first_of(" \t;(", at);
        std::string word = line.substr(at, end == std::string::npos ? end : end - at);
        if (word == "$I" || word == "$G" || word == "$$" || word == "$#" || word == "$N") {
            Ignore(c, word);
            return true;
        }
        return Fail(c, static_cast<int>(at) + 1, "controller command '" + word + "'");
    }
    *handled = false;
    return true;
}

// A stretch of the file: the whole of it, or the body of a subprogram.
struct Lines {
    const std::string& text;
    size_t from, to;
    int firstLine;  // the number of the line before from
};

struct Subprogram {
    std::string number;
    size_t from, to;
    int firstLine;
};

// "O100 sub", "O100 endsub", "O100 call": the keyword and the number, or
// false for a line that is no subprogram control.
bool SubprogramWord(
    const std::string& line, std::string* number, std::string* keyword, std::string* rest)
{
    size_t at = line.find_first_not_of(" \t");
    if (at == std::string::npos || (line[at] != 'O' && line[at] != 'o'))
        return false;
    size_t digits = at + 1;
    while (digits < line.size() && isdigit(static_cast<unsigned char>(line[digits])))
        ++digits;
    size_t word = line.find_first_not_of(" \t", digits);
    if (digits == at + 1 || word == std::string::npos
        || !isalpha(static_cast<unsigned char>(line[word])))
        return false;
    size_t end = word;
    while (end < line.size() && isalpha(static_cast<unsigned char>(line[end])))
        ++end;
    *number = line.substr(at + 1, digits - at - 1);
    *keyword = line.substr(word, end - word);
    for (char& ch : *keyword)
        ch = static_cast<char>(tolower(static_cast<unsigned char>(ch)));
    size_t more = line.find_first_not_of(" \t", end);
    *rest = more == std::string::npos ? "" : line.substr(more);
    return true;
}

// Subprograms without arguments (sub, endsub, call), as CAM programs use
// them for a repeated pass; the other forms of control are refused.
const int kMostCallDepth = 10;

bool RunLines(Context& c, State& s, const Lines& lines, int depth);

// The line at *at, without its end (LF, CR LF or a lone CR); *at moves
// past it.
std::string NextLine(const Lines& lines, size_t* at)
{
    size_t end = lines.text.find_first_of("\r\n", *at);
    if (end == std::string::npos || end > lines.to)
        end = lines.to;
    std::string line = lines.text.substr(*at, end - *at);
    *at = end + 1;
    if (end < lines.to && lines.text[end] == '\r' && *at < lines.to && lines.text[*at] == '\n')
        ++*at;
    return line;
}

bool Call(
    Context& c, State& s, const std::vector<Subprogram>& subs, const std::string& number, int depth)
{
    for (const Subprogram& sub : subs)
        if (sub.number == number) {
            if (depth >= kMostCallDepth)
                return Fail(c, 1, "subprograms called more than 10 deep");
            int line = c.line;
            Lines body {*c.text, sub.from, sub.to, sub.firstLine};
            if (!RunLines(c, s, body, depth + 1))
                return false;
            c.line = line;
            return true;
        }
    return Fail(c, 1, "'O" + number + " call' of no subprogram defined before");
}

bool RunLines(Context& c, State& s, const Lines& lines, int depth)
{
    size_t at = lines.from;
    c.line = lines.firstLine;
    std::string number, keyword, rest;
    while (at < lines.to && !s.ended) {
        std::string line = NextLine(lines, &at);
        ++c.line;
        if (SubprogramWord(line, &number, &keyword, &rest)) {
            int column = static_cast<int>(line.find_first_not_of(" \t")) + 1;
            bool comment = rest.empty() || rest[0] == '(' || rest[0] == ';';
            if (keyword == "sub" && comment) {
                // The body runs where it is called, not where it stands.
                Subprogram sub {number, at, at, c.line};
                std::string n2, k2, r2;
                int bodyLines = 0;
                while (at < lines.to) {
                    sub.to = at;
                    std::string l = NextLine(lines, &at);
                    ++bodyLines;
                    if (SubprogramWord(l, &n2, &k2, &r2) && k2 == "endsub" && n2 == number)
                        break;
                }
                if (k2 != "endsub" || n2 != number)
                    return Fail(c, column, "'O" + number + " sub' without its endsub");
                c.line += bodyLines;
                c.subs->push_back(sub);
                continue;
            }
            if (keyword == "call" && comment) {
                if (!Call(c, s, *c.subs, number, depth))
                    return false;
                continue;
            }
            return Fail(c, column,
                "'O" + number + " " + keyword + (rest.empty() ? "" : " " + rest)
                    + "': only subprograms without arguments (sub, endsub, call) are run");
        }
        bool handled = false;
        if (!WholeLine(c, line, &handled))
            return false;
        if (handled)
            continue;
        // Block delete: the switch is off here, so the line runs.
        size_t first = line.find_first_not_of(" \t");
        if (line[first] == '/') {
            line[first] = ' ';
            Ignore(c, "/ (block delete off: the line runs)");
        }
        std::vector<Word> words;
        std::string comment;
        if (!ReadWords(c, line, &words, &comment) || !RunLine(c, s, words, comment))
            return false;
        if (c.program->actions.size() > kMostMoves)
            return Fail(c, 1, "more than " + std::to_string(kMostMoves) + " moves");
    }
    return true;
}

bool Parse(const std::string& text, const std::string& name, const ParseOptions& options, Tool tool,
    bool feedDraws, Program* program, std::string* error, bool* penWords = nullptr)
{
    *program = Program();
    program->tool = tool;
    std::vector<Subprogram> subs;
    Context c {&name, &options, program, error, tool, &text, &subs};
    c.feedDraws = feedDraws;
    State s;
    s.unit = options.inchesAssumed ? 1.0 : kMillimetre;
    size_t at = 0;
    if (StartsWith(text, 0, "\xEF\xBB\xBF")) {
        Ignore(c, "byte-order mark");
        at = 3;
    }
    Lines lines {text, at, text.size(), 0};
    if (!RunLines(c, s, lines, 0))
        return false;
    Output(c, s, false);
    const char* tools[] = {"pen", "laser", "mill"};
    if (penWords != nullptr)
        *penWords = c.penWords;
    std::string how = tool == Tool::Pen
        ? (feedDraws ? "pen down on G1/G2/G3 (the file has no pen words), up on G0"
                     : "pen down on drawn moves only, up on G0")
        : tool == Tool::Laser
        ? "laser on during G1/G2/G3 with M3/M4 and S above 0, off otherwise (S switches, "
          "power is not set)"
        : "Z is an axis, the tool output follows M3/M5";
    std::string why = options.toolGiven ? "--tool"
        : tool == Tool::Mill            ? "the file moves Z"
                                        : "the file moves no Z";
    program->notes.insert(program->notes.begin(),
        std::string("tool ") + tools[static_cast<int>(tool)] + " (" + why + "): " + how);
    std::string units = s.unitWord == 20 ? "units in (G20)"
        : s.unitWord == 21               ? "units mm (G21)"
        : options.inchesAssumed ? "units in (--units in; the file sets neither G20 nor G21)"
                                : "units mm (assumed: the file sets neither G20 nor G21)";
    program->notes.insert(program->notes.begin() + 1, units);
    return true;
}

}  // namespace

namespace {

// The line of a "name:line:column: why" message.
long LineOf(const std::string& message, const std::string& name)
{
    return strtol(message.c_str() + std::min(message.size(), name.size() + 1), nullptr, 10);
}

}  // namespace

bool ParseGcode(const std::string& text, const std::string& name, const ParseOptions& options,
    Program* program, std::string* error)
{
    Tool tool = options.tool;
    std::string millError;
    if (!options.toolGiven) {
        // No tool given: a file that moves Z is a mill's, any other a pen's
        // (servo-pen words are a pen's too).
        if (Parse(text, name, options, Tool::Mill, false, program, &millError) && program->usesZ)
            return true;
        tool = Tool::Pen;
    }
    bool penWords = false;
    if (!Parse(text, name, options, tool, false, program, error, &penWords)) {
        // Refused both ways: the reading that went further says why.
        if (!millError.empty() && LineOf(millError, name) >= LineOf(*error, name))
            *error = millError;
        return false;
    }
    // Plotter generators that write no pen words at all draw with G1.
    if (tool == Tool::Pen && !penWords)
        return Parse(text, name, options, tool, true, program, error);
    return true;
}

}  // namespace job
