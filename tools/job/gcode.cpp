// The G-code subset that CAM programs and plotter and laser tools write:
// G0 G1 G2 G3 G4 G17 G20 G21 G28 G90 G91 G92 G94 (and the G40 G49 G54 G80
// states they put in their headers, which change nothing here), M2 M3 M4 M5
// M30, F S N and * words, comments in ( ) and after ;. Anything else stops the
// job with its place in the file, unless the operator lets it be skipped.
#include <ctype.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>

#include "tools/job/job.h"

namespace job {

namespace {

const double kMillimetre = 1.0 / 25.4;
// How far an arc's end may sit off its circle before the arc is refused.
const double kArcMismatch = 0.002;  // inches

struct Word {
    char letter = 0;
    double value = 0;
    std::string text;  // as written, for messages
    int column = 0;    // 1-based
};

struct State {
    int motion = 0;  // 0, 1, 2, 3
    double unit = 1.0;
    bool relative = false;
    double feed = 0;  // inches per minute
    Point at;         // program coordinates, inches
    Point offset;     // machine = program + offset (G92)
    bool toolOn = false;
    bool ended = false;
};

struct Context {
    const std::string* name;
    const ParseOptions* options;
    Program* program;
    std::string* error;
    int line = 0;
};

bool Fail(Context& c, int column, const std::string& message)
{
    *c.error
        = *c.name + ":" + std::to_string(c.line) + ":" + std::to_string(column) + ": " + message;
    return false;
}

// Splits a line into words; comments, blanks, N and * are dropped here.
bool ReadWords(Context& c, const std::string& line, std::vector<Word>* words)
{
    size_t i = 0;
    while (i < line.size()) {
        char ch = line[i];
        if (ch == ';')
            break;
        if (ch == '(') {
            size_t close = line.find(')', i);
            if (close == std::string::npos)
                return Fail(c, static_cast<int>(i) + 1, "comment '(' is not closed on its line");
            i = close + 1;
            continue;
        }
        if (isspace(static_cast<unsigned char>(ch)) || (ch == '%' && words->empty())) {
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
        w.text = std::string(1, w.letter) + line.substr(start, i - start);
        if (!digits)
            return Fail(c, w.column, "'" + w.text + "' has no number");
        std::string number = line.substr(numberAt, i - numberAt);
        char* end = nullptr;
        w.value = strtod(number.c_str(), &end);
        if (end != number.c_str() + number.size() || !std::isfinite(w.value))
            return Fail(c, w.column, "'" + w.text + "' is not a number");
        if (w.letter != 'N')
            words->push_back(w);
    }
    return true;
}

bool Skip(Context& c, const Word& w)
{
    if (!c.options->ignoreUnknown)
        return Fail(c, w.column, "unsupported word '" + w.text + "'");
    c.program->skipped.push_back(
        *c.name + ":" + std::to_string(c.line) + ":" + std::to_string(w.column) + ": " + w.text);
    return true;
}

void AddMove(Context& c, const State& s, const Point& to, bool rapid)
{
    Action a;
    a.kind = ActionKind::Move;
    a.to.x = to.x + s.offset.x;
    a.to.y = to.y + s.offset.y;
    a.to.z = to.z + s.offset.z;
    a.rapid = rapid;
    a.feed = rapid ? 0 : s.feed;
    a.line = c.line;
    if (to.z != s.at.z)
        c.program->usesZ = true;
    c.program->actions.push_back(a);
}

void AddAction(Context& c, ActionKind kind, double seconds = 0)
{
    Action a;
    a.kind = kind;
    a.seconds = seconds;
    a.line = c.line;
    c.program->actions.push_back(a);
}

struct Arc {
    bool hasIJ = false, hasR = false;
    double i = 0, j = 0, r = 0;
    int column = 0;
};

bool AddArc(Context& c, State& s, const Point& to, const Arc& arc, bool clockwise)
{
    Point from = s.at;
    double cx, cy;
    if (arc.hasR) {
        // The centre sits on the chord's bisector; a negative R asks for the
        // arc of more than half a turn.
        double dx = to.x - from.x, dy = to.y - from.y;
        double chord = hypot(dx, dy);
        double r = fabs(arc.r);
        if (chord == 0)
            return Fail(c, arc.column, "an R arc needs an end point other than its start");
        if (chord > 2 * r + kArcMismatch)
            return Fail(c, arc.column, "R is less than half the distance to the end point");
        double h = sqrt(std::max(0.0, r * r - chord * chord / 4));
        // Left of the chord for a counter-clockwise short arc.
        double side = (clockwise ? -1.0 : 1.0) * (arc.r < 0 ? -1.0 : 1.0);
        cx = (from.x + to.x) / 2 - side * h * dy / chord;
        cy = (from.y + to.y) / 2 + side * h * dx / chord;
    } else {
        cx = from.x + arc.i;
        cy = from.y + arc.j;
    }
    double r0 = hypot(from.x - cx, from.y - cy);
    double r1 = hypot(to.x - cx, to.y - cy);
    if (r0 == 0)
        return Fail(c, arc.column, "arc centre on its start point");
    if (fabs(r1 - r0) > kArcMismatch)
        return Fail(c, arc.column, "arc end point is not on its circle");
    double a0 = atan2(from.y - cy, from.x - cx);
    double sweep = atan2(to.y - cy, to.x - cx) - a0;
    if (clockwise) {
        while (sweep >= 0)
            sweep -= 2 * M_PI;
    } else {
        while (sweep <= 0)
            sweep += 2 * M_PI;
    }
    // A start and end that differ by a rounding error are a full circle only
    // when they coincide; a tiny sweep the other way round is not.
    if (fabs(fabs(sweep) - 2 * M_PI) < 1e-12 && (from.x != to.x || from.y != to.y))
        sweep = 0;
    std::vector<Point> points;
    FlattenArc(cx, cy, r0, a0, sweep, c.options->tolerance, &points);
    points.back().x = to.x;
    points.back().y = to.y;
    size_t n = points.size();
    for (size_t k = 0; k < n; ++k) {
        Point p = points[k];
        p.z = from.z + (to.z - from.z) * static_cast<double>(k + 1) / static_cast<double>(n);
        AddMove(c, s, p, false);
    }
    return true;
}

bool Axis(const Word& w, State& s, Point* to, bool* any)
{
    double v = w.value * s.unit;
    double* axis = w.letter == 'X' ? &to->x : w.letter == 'Y' ? &to->y : &to->z;
    double base = w.letter == 'X' ? s.at.x : w.letter == 'Y' ? s.at.y : s.at.z;
    *axis = s.relative ? base + v : v;
    *any = true;
    return true;
}

bool RunLine(Context& c, State& s, const std::vector<Word>& words)
{
    Point to = s.at;
    bool hasAxis = false;
    int motion = -1;
    int motionColumn = 0;
    bool setPosition = false, home = false;
    double dwell = -1;
    bool dwellWord = false;
    Arc arc;
    const Word* seen[26] = {};
    for (const Word& w : words) {
        int index = w.letter - 'A';
        if (w.letter != 'G' && w.letter != 'M') {
            if (seen[index] != nullptr)
                return Fail(c, w.column, "'" + std::string(1, w.letter) + "' given twice");
            seen[index] = &w;
        }
        switch (w.letter) {
        case 'G': {
            double g = w.value;
            if (g == 0 || g == 1 || g == 2 || g == 3) {
                if (motion >= 0)
                    return Fail(c, w.column, "two motion words on one line");
                motion = static_cast<int>(g);
                motionColumn = w.column;
            } else if (g == 4) {
                dwellWord = true;
            } else if (g == 20) {
                s.unit = 1.0;
            } else if (g == 21) {
                s.unit = kMillimetre;
            } else if (g == 90) {
                s.relative = false;
            } else if (g == 91) {
                s.relative = true;
            } else if (g == 92) {
                setPosition = true;
            } else if (g == 28) {
                home = true;
            } else if (g == 17 || g == 94 || g == 40 || g == 49 || g == 54 || g == 80) {
                // States this subset is always in.
            } else if (!Skip(c, w)) {
                return false;
            }
            break;
        }
        case 'M': {
            double m = w.value;
            if (m == 3 || m == 4) {
                if (!s.toolOn)
                    AddAction(c, ActionKind::ToolOn);
                s.toolOn = true;
            } else if (m == 5) {
                if (s.toolOn)
                    AddAction(c, ActionKind::ToolOff);
                s.toolOn = false;
            } else if (m == 2 || m == 30) {
                s.ended = true;
            } else if (!Skip(c, w)) {
                return false;
            }
            break;
        }
        case 'X':
        case 'Y':
        case 'Z': break;  // after the G words, which may change units and modes
        case 'F':
            if (w.value <= 0)
                return Fail(c, w.column, "feed must be more than 0");
            break;
        case 'I':
        case 'J':
        case 'R': break;
        case 'P': dwell = w.value; break;
        case 'S': break;  // spindle or laser power: the box has no such setting
        default:
            if (!Skip(c, w))
                return false;
        }
    }
    // Units and distance modes of this line apply to its numbers.
    for (const Word& w : words) {
        switch (w.letter) {
        case 'X':
        case 'Y':
        case 'Z':
            if (setPosition) {
                double v = w.value * s.unit;
                double* at = w.letter == 'X' ? &s.at.x : w.letter == 'Y' ? &s.at.y : &s.at.z;
                double* off = w.letter == 'X' ? &s.offset.x
                    : w.letter == 'Y'         ? &s.offset.y
                                              : &s.offset.z;
                *off += *at - v;
                *at = v;
            } else {
                Axis(w, s, &to, &hasAxis);
            }
            break;
        case 'F': s.feed = w.value * s.unit; break;
        case 'I':
            arc.hasIJ = true;
            arc.i = w.value * s.unit;
            arc.column = arc.column ? arc.column : w.column;
            break;
        case 'J':
            arc.hasIJ = true;
            arc.j = w.value * s.unit;
            arc.column = arc.column ? arc.column : w.column;
            break;
        case 'R':
            arc.hasR = true;
            arc.r = w.value * s.unit;
            arc.column = w.column;
            break;
        default: break;
        }
    }
    if (dwellWord) {
        if (dwell < 0)
            return Fail(c, 1, "G4 needs P, the dwell in seconds");
        AddAction(c, ActionKind::Dwell, dwell);
        return true;
    }
    if (setPosition)
        return true;
    if (home) {
        // G28 goes through the point its axis words name, then home.
        if (hasAxis)
            AddMove(c, s, to, true);
        AddAction(c, ActionKind::Home);
        s.at.x = -s.offset.x;
        s.at.y = -s.offset.y;
        s.at.z = -s.offset.z;
        return true;
    }
    if (motion >= 0)
        s.motion = motion;
    else
        motionColumn = 1;
    if (arc.hasIJ && arc.hasR)
        return Fail(c, arc.column, "an arc takes I and J or R, not both");
    if ((arc.hasIJ || arc.hasR) && s.motion < 2)
        return Fail(c, arc.column, "I, J and R belong to G2 and G3");
    if (!hasAxis && !(s.motion >= 2 && arc.hasIJ))
        return true;
    if (s.motion >= 1 && s.feed <= 0)
        return Fail(c, motionColumn, "G" + std::to_string(s.motion) + " before any feed (F)");
    if (s.motion <= 1) {
        AddMove(c, s, to, s.motion == 0);
    } else {
        if (!arc.hasIJ && !arc.hasR)
            return Fail(c, motionColumn, "G2 and G3 need I and J, or R");
        if (!AddArc(c, s, to, arc, s.motion == 2))
            return false;
    }
    s.at = to;
    return true;
}

}  // namespace

bool ParseGcode(const std::string& text, const std::string& name, const ParseOptions& options,
    Program* program, std::string* error)
{
    *program = Program();
    Context c {&name, &options, program, error};
    State s;
    size_t at = 0;
    while (at <= text.size() && !s.ended) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(at, end - at);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        ++c.line;
        std::vector<Word> words;
        if (!ReadWords(c, line, &words) || !RunLine(c, s, words))
            return false;
        if (program->actions.size() > kMostMoves)
            return Fail(c, 1, "more than " + std::to_string(kMostMoves) + " moves");
        at = end + 1;
    }
    if (s.toolOn)
        AddAction(c, ActionKind::ToolOff);
    return true;
}

}  // namespace job
