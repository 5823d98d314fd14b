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

#include "tools/job/gcode_internal.h"

namespace job {
namespace gcode {

namespace {

// A stretch of the file: the whole of it, or the body of a subprogram.
struct Lines {
    const std::string& text;
    size_t from, to;
    int firstLine;  // the number of the line before from
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
}  // namespace gcode

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
        if (gcode::Parse(text, name, options, Tool::Mill, false, program, &millError)
            && program->usesZ)
            return true;
        tool = Tool::Pen;
    }
    bool penWords = false;
    if (!gcode::Parse(text, name, options, tool, false, program, error, &penWords)) {
        // Refused both ways: the reading that went further says why.
        if (!millError.empty() && LineOf(millError, name) >= LineOf(*error, name))
            *error = millError;
        return false;
    }
    // Plotter generators that write no pen words at all draw with G1.
    if (tool == Tool::Pen && !penWords)
        return gcode::Parse(text, name, options, tool, true, program, error);
    return true;
}

}  // namespace job
