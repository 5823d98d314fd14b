// SVG shapes (path, line, polyline, polygon, rect, circle, ellipse) as the
// lines a pen draws, cut into dashes by stroke-dasharray.
#include <ctype.h>
#include <math.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tools/job/svg_internal.h"

namespace job {
namespace svg {

bool Geometry(Reader& r, int node, const Context& c, Pen* pen)
{
    const std::string& tag = r.N(node).tag;
    Pen& p = *pen;
    double w = c.viewWidth, h = c.viewHeight, o = Diagonal(c);
    if (tag == "path") {
        const char* d = svg::Attr(r.N(node), "d");
        std::string why;
        // A renderer draws what came before an error in the data; a plot
        // of half a drawing is worse than none.
        if (d != nullptr && !PathData(p, d, &why)) {
            r.Fail(node, "path d: " + why);
            return false;
        }
    } else if (tag == "line") {
        double x1, y1, x2, y2;
        if (!UserLength(r, node, "x1", w, 0, &x1) || !UserLength(r, node, "y1", h, 0, &y1)
            || !UserLength(r, node, "x2", w, 0, &x2) || !UserLength(r, node, "y2", h, 0, &y2))
            return false;
        p.MoveTo(x1, y1);
        p.Vertex();
        p.LineTo(x2, y2);
        p.Vertex();
    } else if (tag == "polyline" || tag == "polygon") {
        const char* s = svg::Attr(r.N(node), "points");
        double x, y;
        bool first = true;
        while (s != nullptr && ReadNumber(s, &x)) {
            if (!ReadNumber(s, &y))
                break;  // an odd number: the last one is ignored, as renderers do
            if (first)
                p.MoveTo(x, y);
            else
                p.LineTo(x, y);
            p.Vertex();
            first = false;
        }
        if (tag == "polygon" && !first) {
            p.Close();
            p.Vertex();
        }
    } else if (tag == "rect") {
        double x, y, rw, rh, rx, ry;
        if (!UserLength(r, node, "x", w, 0, &x) || !UserLength(r, node, "y", h, 0, &y)
            || !UserLength(r, node, "width", w, 0, &rw) || !UserLength(r, node, "height", h, 0, &rh)
            || !UserLength(r, node, "rx", w, -1, &rx) || !UserLength(r, node, "ry", h, -1, &ry))
            return false;
        if (rw <= 0 || rh <= 0)
            return true;  // not rendered
        // One radius given (or given as auto, here negative) stands for both;
        // then each is at most half its side. A zero radius squares both.
        if (rx < 0)
            rx = ry;
        if (ry < 0)
            ry = rx;
        rx = std::max(0.0, std::min(rx, rw / 2));
        ry = std::max(0.0, std::min(ry, rh / 2));
        if (rx == 0 || ry == 0)
            rx = ry = 0;
        p.MoveTo(x + rx, y);
        p.LineTo(x + rw - rx, y);
        if (rx > 0)
            EllipseArc(p, x + rw - rx, y + ry, rx, ry, 0, -M_PI / 2, M_PI / 2);
        p.LineTo(x + rw, y + rh - ry);
        if (rx > 0)
            EllipseArc(p, x + rw - rx, y + rh - ry, rx, ry, 0, 0, M_PI / 2);
        p.LineTo(x + rx, y + rh);
        if (rx > 0)
            EllipseArc(p, x + rx, y + rh - ry, rx, ry, 0, M_PI / 2, M_PI / 2);
        p.LineTo(x, y + ry);
        if (rx > 0)
            EllipseArc(p, x + rx, y + ry, rx, ry, 0, M_PI, M_PI / 2);
        p.Close();
    } else if (tag == "circle" || tag == "ellipse") {
        double cx, cy, rx, ry;
        if (!UserLength(r, node, "cx", w, 0, &cx) || !UserLength(r, node, "cy", h, 0, &cy))
            return false;
        if (tag == "circle") {
            if (!UserLength(r, node, "r", o, 0, &rx))
                return false;
            ry = rx;
        } else if (!UserLength(r, node, "rx", w, 0, &rx) || !UserLength(r, node, "ry", h, 0, &ry)) {
            return false;
        }
        if (rx <= 0 || ry <= 0)
            return true;
        p.MoveTo(cx + rx, cy);
        EllipseArc(p, cx, cy, rx, ry, 0, 0, 2 * M_PI);
    }
    return true;
}

namespace {

// stroke-dasharray: the lines cut into their dashes (user units), from
// stroke-dashoffset on. False (lines as they are) for none or a pattern that
// draws everything or nothing sensible.
bool Dash(Reader& r, const Context& c, std::vector<std::vector<Point>>* lines)
{
    if (c.dashes == "none" || c.dashes.empty())
        return false;
    std::vector<double> pattern;
    double total = 0;
    const char* s = c.dashes.c_str();
    std::string why;
    for (;;) {
        SkipSeparators(s);
        if (*s == '\0')
            break;
        const char* end = s;
        while (*end && *end != ',' && !isspace(static_cast<unsigned char>(*end)))
            ++end;
        double v;
        std::string item(s, end);
        if (!ParseLength(r, item.c_str(), Diagonal(c), &v, &why) || v < 0)
            return false;  // an invalid pattern is no pattern
        pattern.push_back(v);
        total += v;
        s = end;
    }
    if (pattern.empty() || !(total > 0))
        return false;
    if (pattern.size() % 2 == 1) {
        pattern.insert(pattern.end(), pattern.begin(), pattern.end());
        total *= 2;
    }
    double offset = 0;
    if (!ParseLength(r, c.dashOffset.c_str(), Diagonal(c), &offset, &why))
        offset = 0;
    // Dashes shorter than a ten-thousandth of the line's scale are a pattern
    // no pen could draw; the line is drawn whole.
    if (total < 1e-4)
        return false;
    std::vector<std::vector<Point>> dashed;
    for (const auto& line : *lines) {
        double phase = fmod(offset, total);
        if (phase < 0)
            phase += total;
        size_t k = 0;
        while (phase >= pattern[k]) {
            phase -= pattern[k];
            k = (k + 1) % pattern.size();
        }
        double left = pattern[k] - phase;  // of the current dash or gap
        bool on = k % 2 == 0;
        std::vector<Point> piece;
        if (on && !line.empty())
            piece.push_back(line[0]);
        for (size_t i = 1; i < line.size(); ++i) {
            Point a = line[i - 1];
            const Point& b = line[i];
            double length = hypot(b.x - a.x, b.y - a.y);
            while (length > left) {
                double t = left / length;
                Point cut;
                cut.x = a.x + (b.x - a.x) * t;
                cut.y = a.y + (b.y - a.y) * t;
                if (on) {
                    piece.push_back(cut);
                    dashed.push_back(piece);
                    piece.clear();
                } else {
                    piece.push_back(cut);
                }
                on = !on;
                length -= left;
                a = cut;
                k = (k + 1) % pattern.size();
                left = pattern[k];
            }
            left -= length;
            if (on)
                piece.push_back(b);
        }
        if (on && piece.size() >= 2)
            dashed.push_back(piece);
    }
    lines->swap(dashed);
    return true;
}

}  // namespace

void Shape(Reader& r, int node, const Context& c)
{
    Pen pen;
    double stretch = Stretch(c.ctm);
    pen.tolerance = stretch > 0 ? r.options->tolerance / stretch : r.options->tolerance;
    if (!Geometry(r, node, c, &pen))
        return;
    std::vector<std::vector<Point>> lines = pen.lines;
    Dash(r, c, &lines);
    if (c.visible)
        for (const auto& line : lines) {
            Stroke s;
            s.line = r.N(node).line;
            for (const Point& q : line)
                s.points.push_back(Apply(c.ctm, q.x, q.y));
            AddStroke(r, std::move(s));
        }
    const std::string& tag = r.N(node).tag;
    // A hidden path's markers are hidden with it.
    if (c.visible && (tag == "path" || tag == "line" || tag == "polyline" || tag == "polygon"))
        Markers(r, node, c, pen);
}

}  // namespace svg
}  // namespace job
