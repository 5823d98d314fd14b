// One G-code line run against the modal state: motion modes, units,
// distance modes, planes, G28/G30/G53/G92, the drilling cycles' words,
// dwell, and the words whose meaning depends on the tool.
#include <math.h>

#include <string>
#include <vector>

#include "tools/job/gcode_internal.h"

namespace job {
namespace gcode {

namespace {

// Servo pens: M300 S30 lowers, S50 lifts.
const int kServoUp = 50;

bool IsArc(int motion)
{
    return motion == 2 || motion == 3;
}

bool IsCycle(int motion)
{
    return motion == 73 || motion >= 81;
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

}  // namespace

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

}  // namespace gcode
}  // namespace job
