// Curves to chords, program bounds and placement, and the choice of parser.
#include <ctype.h>
#include <errno.h>
#include <math.h>
#include <string.h>
#include <strings.h>

#include <algorithm>
#include <fstream>
#include <sstream>

#include "tools/job/job.h"

namespace job {

// The sagitta of a chord over angle a on radius r is r(1 - cos(a/2)); the
// largest a that keeps it within the tolerance sets the number of chords.
void FlattenArc(double cx, double cy, double radius, double startAngle, double sweep,
    double tolerance, std::vector<Point>* out)
{
    int count = 1;
    if (radius > tolerance) {
        double most = 2.0 * acos(1.0 - tolerance / radius);
        double n = ceil(fabs(sweep) / most - 1e-9);
        count = static_cast<int>(std::max(1.0, std::min(n, static_cast<double>(kMostChords))));
    }
    for (int i = 1; i <= count; ++i) {
        double a = startAngle + sweep * i / count;
        Point p;
        p.x = cx + radius * cos(a);
        p.y = cy + radius * sin(a);
        out->push_back(p);
    }
}

namespace {

double Length(double x, double y)
{
    return sqrt(x * x + y * y);
}

// Uniform steps in t: a chord's error is at most h^2/8 times the largest
// second derivative, which the control points bound.
int CurveSteps(double secondDerivative, double tolerance)
{
    if (secondDerivative <= 0 || tolerance <= 0)
        return 1;
    double n = ceil(sqrt(secondDerivative / (8.0 * tolerance)) - 1e-9);
    return static_cast<int>(std::max(1.0, std::min(n, static_cast<double>(kMostChords))));
}

}  // namespace

void FlattenCubic(const Point& p0, const Point& p1, const Point& p2, const Point& p3,
    double tolerance, std::vector<Point>* out)
{
    double m = std::max(Length(p0.x - 2 * p1.x + p2.x, p0.y - 2 * p1.y + p2.y),
        Length(p1.x - 2 * p2.x + p3.x, p1.y - 2 * p2.y + p3.y));
    int n = CurveSteps(6.0 * m, tolerance);
    for (int i = 1; i <= n; ++i) {
        double t = static_cast<double>(i) / n, u = 1 - t;
        Point p;
        p.x = u * u * u * p0.x + 3 * u * u * t * p1.x + 3 * u * t * t * p2.x + t * t * t * p3.x;
        p.y = u * u * u * p0.y + 3 * u * u * t * p1.y + 3 * u * t * t * p2.y + t * t * t * p3.y;
        out->push_back(i == n ? p3 : p);
    }
}

void FlattenQuadratic(
    const Point& p0, const Point& p1, const Point& p2, double tolerance, std::vector<Point>* out)
{
    double m = Length(p0.x - 2 * p1.x + p2.x, p0.y - 2 * p1.y + p2.y);
    int n = CurveSteps(2.0 * m, tolerance);
    for (int i = 1; i <= n; ++i) {
        double t = static_cast<double>(i) / n, u = 1 - t;
        Point p;
        p.x = u * u * p0.x + 2 * u * t * p1.x + t * t * p2.x;
        p.y = u * u * p0.y + 2 * u * t * p1.y + t * t * p2.y;
        out->push_back(i == n ? p2 : p);
    }
}

bool ProgramBounds(const Program& program, Point* low, Point* high)
{
    bool any = false;
    for (const Action& a : program.actions) {
        if (a.kind != ActionKind::Move)
            continue;
        if (!any) {
            *low = *high = a.to;
            any = true;
        }
        low->x = std::min(low->x, a.to.x);
        low->y = std::min(low->y, a.to.y);
        low->z = std::min(low->z, a.to.z);
        high->x = std::max(high->x, a.to.x);
        high->y = std::max(high->y, a.to.y);
        high->z = std::max(high->z, a.to.z);
    }
    return any;
}

void PlaceProgram(Program* program, double scale, double dx, double dy)
{
    for (Action& a : program->actions) {
        if (a.kind != ActionKind::Move)
            continue;
        a.to.x = a.to.x * scale + dx;
        a.to.y = a.to.y * scale + dy;
    }
}

namespace {

bool EndsWith(const std::string& text, const char* suffix)
{
    size_t n = strlen(suffix);
    return text.size() >= n && strcasecmp(text.c_str() + text.size() - n, suffix) == 0;
}

// What a file holds when its name does not say: SVG is XML with an svg
// element; G-code starts, after blanks and comments, with a word letter.
InputFormat FormatOfText(const std::string& text)
{
    size_t at = text.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
    at = text.find_first_not_of(" \t\r\n", at);
    if (at == std::string::npos)
        return InputFormat::ByName;
    if (text[at] == '<')
        return text.find("<svg", at) != std::string::npos ? InputFormat::Svg : InputFormat::ByName;
    const char* starts = "GMNOTFSXYZ%(;$";
    char first = static_cast<char>(toupper(static_cast<unsigned char>(text[at])));
    return strchr(starts, first) != nullptr ? InputFormat::Gcode : InputFormat::ByName;
}

}  // namespace

bool ParseFile(
    const std::string& path, const ParseOptions& options, Program* program, std::string* error)
{
    InputFormat format = options.format;
    if (format == InputFormat::ByName) {
        if (EndsWith(path, ".svg"))
            format = InputFormat::Svg;
        for (const char* e : {".gcode", ".gco", ".g", ".nc", ".ngc", ".cnc", ".tap", ".txt"})
            if (EndsWith(path, e))
                format = InputFormat::Gcode;
    }
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        *error = path + ": cannot read: " + strerror(errno);
        return false;
    }
    // The parsers hold the whole file; the XML parser takes an int length.
    file.seekg(0, std::ios::end);
    if (file.tellg() > kMostFileBytes) {
        *error = path + ": larger than " + std::to_string(kMostFileBytes >> 20) + " MB";
        return false;
    }
    file.seekg(0, std::ios::beg);
    std::ostringstream text;
    text << file.rdbuf();
    if (format == InputFormat::ByName)
        format = FormatOfText(text.str());
    if (format == InputFormat::ByName) {
        *error = path
            + ": unknown kind of file: neither G-code nor SVG by its name or content"
              " (--format gcode|svg)";
        return false;
    }
    return format == InputFormat::Svg ? ParseSvg(text.str(), path, options, program, error)
                                      : ParseGcode(text.str(), path, options, program, error);
}

}  // namespace job
