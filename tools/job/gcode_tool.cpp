// The tool a G-code file drives: its output (pen down, laser or spindle on)
// set before each move as the tool wants it, the moves, and the pauses.
#include <string>

#include "tools/job/gcode_internal.h"

namespace job {
namespace gcode {

void AddAction(Context& c, ActionKind kind, double seconds)
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

}  // namespace gcode
}  // namespace job
