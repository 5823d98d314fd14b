// G-code lines read into words: letters, numbers as the file writes them
// (refusing the forms that would be read as another number), comments,
// and the lines that are no blocks; and the messages about them.
#include <ctype.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "tools/job/gcode_internal.h"

namespace job {
namespace gcode {

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

}  // namespace gcode
}  // namespace job
