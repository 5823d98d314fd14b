// SVG drawings as a renderer shows them, drawn with a pen: the shapes, with
// their transforms, viewports, clones, clip paths and markers; what is
// hidden by attribute or style is left out. The XML is read whole by expat
// into a tree first. Y grows down in SVG and up on the machine, so the page
// is turned over about its height: the drawing lands on the machine as it
// looks on the screen.
#include <ctype.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tools/job/job.h"
#include "tools/job/svg_internal.h"

namespace job {

namespace {

using namespace svg;

// ---- the document and its drawing ----

const double kDefaultUserPerInch = 96;
const int kMostNesting = 32;  // use, markers and viewports inside each other
const long kMostElements = 1000000;

struct Stroke {
    std::vector<Point> points;  // machine inches
    int line = 0;
};

// What an element hands down to its children.
struct Context {
    Matrix ctm;  // user space to machine inches
    bool visible = true;
    double viewWidth = 100, viewHeight = 100;  // the viewport, user units (percentages)
    double strokeWidth = 1;
    std::string markers[3];  // start, mid, end: "url(#id)" or empty
    std::string dashes = "none", dashOffset = "0";
};

struct Reader {
    const std::string* name = nullptr;
    const ParseOptions* options = nullptr;
    Program* program = nullptr;
    svg::Document doc;
    svg::Styles styles;
    std::string error;
    double userPerInch = kDefaultUserPerInch;
    std::vector<Stroke>* out = nullptr;
    size_t points = 0;
    long walked = 0;  // elements drawn, clones counted each time
    int depth = 0;
    bool measuring = false;    // drawing a hidden layer only to measure it
    std::vector<int> drawing;  // use targets and markers being drawn, against cycles

    const svg::Node& N(int node) const { return doc.nodes[static_cast<size_t>(node)]; }
    std::string Where(int node) const
    {
        return *name + ":" + std::to_string(N(node).line) + ":" + std::to_string(N(node).column);
    }
    void Fail(int node, const std::string& message)
    {
        if (error.empty())
            error = Where(node) + ": " + message;
    }
    std::string Style(int node, const char* property)
    {
        return svg::Specified(doc, &styles, node, property);
    }
};

// A length in user units: a unit other than px is converted, a percentage
// is of `whole`.
bool ParseLength(const Reader& r, const char* text, double whole, double* value, std::string* why)
{
    const char* s = text;
    if (!ReadNumber(s, value)) {
        *why = "is not a number";
        return false;
    }
    std::string unit(s);
    while (!unit.empty() && isspace(static_cast<unsigned char>(unit.back())))
        unit.pop_back();
    if (!unit.empty() && unit[0] == ',' && unit.size() > 1
        && isdigit(static_cast<unsigned char>(unit[1]))) {
        *why = "has a decimal comma (write a point)";
        return false;
    }
    const double u = r.userPerInch;
    static const char* kNames[] = {"", "px", "in", "mm", "cm", "pt", "pc", "em", "ex", "%"};
    const double factors[] = {1, 1, u, u / 25.4, u / 2.54, u / 72, u / 6, 16, 8, whole / 100};
    for (size_t i = 0; i < sizeof kNames / sizeof *kNames; ++i)
        if (unit == kNames[i]) {
            *value *= factors[i];
            return true;
        }
    *why = "has an unknown unit '" + unit + "'";
    return false;
}

// An attribute that is a length; fallback when absent.
bool UserLength(Reader& r, int node, const char* name, double whole, double fallback, double* value)
{
    const char* text = svg::Attr(r.N(node), name);
    *value = fallback;
    if (text == nullptr)
        return true;
    std::string why;
    if (!ParseLength(r, text, whole, value, &why)) {
        r.Fail(node, std::string(name) + "='" + text + "' " + why);
        return false;
    }
    return true;
}

double Diagonal(const Context& c)
{
    return sqrt((c.viewWidth * c.viewWidth + c.viewHeight * c.viewHeight) / 2);
}

// viewBox="x y w h" (false when absent or empty).
bool ViewBox(Reader& r, int node, double vb[4])
{
    const char* text = svg::Attr(r.N(node), "viewBox");
    if (text == nullptr)
        return false;
    const char* s = text;
    for (int i = 0; i < 4; ++i)
        if (!ReadNumber(s, &vb[i])) {
            r.Fail(node, std::string("viewBox='") + text + "' needs four numbers");
            return false;
        }
    return vb[2] > 0 && vb[3] > 0;
}

// The viewBox onto a width x height viewport, by preserveAspectRatio.
Matrix ViewBoxMatrix(const double vb[4], double width, double height, const char* aspect)
{
    std::string par = aspect ? aspect : "";
    double sx = width / vb[2], sy = height / vb[3];
    Matrix m;
    if (par.find("none") != std::string::npos) {
        m.a = sx, m.d = sy;
        m.e = -vb[0] * sx, m.f = -vb[1] * sy;
        return m;
    }
    double s = par.find("slice") != std::string::npos ? std::max(sx, sy) : std::min(sx, sy);
    double ax = 0.5, ay = 0.5;  // xMidYMid
    if (par.find("xMin") != std::string::npos)
        ax = 0;
    else if (par.find("xMax") != std::string::npos)
        ax = 1;
    if (par.find("YMin") != std::string::npos)
        ay = 0;
    else if (par.find("YMax") != std::string::npos)
        ay = 1;
    m.a = m.d = s;
    m.e = -vb[0] * s + (width - vb[2] * s) * ax;
    m.f = -vb[1] * s + (height - vb[3] * s) * ay;
    return m;
}

Matrix Translate(double x, double y)
{
    Matrix m;
    m.e = x, m.f = y;
    return m;
}

// The element an href points to, or -1.
int Target(const Reader& r, const char* href)
{
    if (href == nullptr)
        return -1;
    std::string ref = href;
    size_t b = ref.find_first_not_of(" \t\n\r");
    if (b != std::string::npos)
        ref = ref.substr(b);
    if (ref.compare(0, 4, "url(") == 0) {
        size_t close = ref.find(')');
        ref = ref.substr(4, close == std::string::npos ? std::string::npos : close - 4);
        while (!ref.empty() && (ref[0] == '\'' || ref[0] == '"' || ref[0] == ' '))
            ref.erase(0, 1);
        while (!ref.empty() && (ref.back() == '\'' || ref.back() == '"' || ref.back() == ' '))
            ref.pop_back();
    }
    if (ref.empty() || ref[0] != '#')
        return -1;
    auto it = r.doc.ids.find(ref.substr(1));
    return it == r.doc.ids.end() ? -1 : it->second;
}

void AddStroke(Reader& r, Stroke stroke)
{
    if (stroke.points.size() < 2)
        return;
    r.points += stroke.points.size();
    if (r.points > kMostMoves) {
        if (r.error.empty())
            r.error = *r.name + ": more than " + std::to_string(kMostMoves) + " moves";
        return;
    }
    r.out->push_back(std::move(stroke));
}

// Draws what `draw` draws, then keeps only its parts inside the polygons
// (machine inches).
template<typename Draw>
void Clipped(
    Reader& r, const std::vector<std::vector<Point>>& polygons, bool evenOdd, int line, Draw draw)
{
    std::vector<Stroke>* outer = r.out;
    std::vector<Stroke> inner;
    r.out = &inner;
    draw();
    r.out = outer;
    std::vector<std::vector<Point>> lines;
    for (Stroke& s : inner)
        lines.push_back(std::move(s.points));
    svg::ClipPolylines(polygons, evenOdd, &lines);
    for (auto& l : lines) {
        Stroke s;
        s.points = std::move(l);
        s.line = line;
        r.out->push_back(std::move(s));
    }
}

std::vector<Point> Rectangle(const Matrix& m, double x, double y, double w, double h)
{
    return {Apply(m, x, y), Apply(m, x + w, y), Apply(m, x + w, y + h), Apply(m, x, y + h)};
}

bool Geometry(Reader& r, int node, const Context& c, Pen* pen);
void Walk(Reader& r, int node, Context c, bool force = false);

// The clip path's polygons in machine inches for an element drawn in `c`;
// `box` is the element's bounding box in its user space (for
// clipPathUnits="objectBoundingBox").
std::vector<std::vector<Point>> ClipRegion(
    Reader& r, int clip, const Context& c, const double box[4], bool* evenOdd)
{
    std::vector<std::vector<Point>> polygons;
    Context inner = c;
    const char* units
        = svg::Attr(r.N(clip), r.N(clip).tag == "mask" ? "maskContentUnits" : "clipPathUnits");
    if (units && strcmp(units, "objectBoundingBox") == 0) {
        Matrix b;
        b.a = box[2], b.d = box[3], b.e = box[0], b.f = box[1];
        inner.ctm = Multiply(inner.ctm, b);
    }
    Matrix t;
    if (const char* transform = svg::Attr(r.N(clip), "transform"))
        if (ParseTransform(transform, &t))
            inner.ctm = Multiply(inner.ctm, t);
    *evenOdd = false;
    for (int child : r.N(clip).children) {
        int shape = child;
        Context sc = inner;
        if (!r.N(child).svg || r.Style(child, "display") == "none"
            || r.Style(child, "visibility") == "hidden")
            continue;
        if (r.N(child).tag == "use") {  // a clone of one shape
            shape = Target(r, svg::Attr(r.N(child), "xlink:href"));
            if (shape < 0)
                shape = Target(r, svg::Attr(r.N(child), "href"));
            if (shape < 0)
                continue;
            double x, y;
            UserLength(r, child, "x", c.viewWidth, 0, &x);
            UserLength(r, child, "y", c.viewHeight, 0, &y);
            if (const char* transform = svg::Attr(r.N(child), "transform"))
                if (ParseTransform(transform, &t))
                    sc.ctm = Multiply(sc.ctm, t);
            sc.ctm = Multiply(sc.ctm, Translate(x, y));
        }
        if (const char* transform = svg::Attr(r.N(shape), "transform"))
            if (ParseTransform(transform, &t))
                sc.ctm = Multiply(sc.ctm, t);
        Pen pen;
        pen.tolerance = r.options->tolerance / std::max(1e-12, Stretch(sc.ctm));
        if (!Geometry(r, shape, sc, &pen))
            continue;
        *evenOdd = *evenOdd || r.Style(shape, "clip-rule") == "evenodd";
        for (const auto& line : pen.lines) {
            std::vector<Point> polygon;
            for (const Point& p : line)
                polygon.push_back(Apply(sc.ctm, p.x, p.y));
            polygons.push_back(polygon);
        }
    }
    return polygons;
}

// Bounds of strokes in the user space of m.
void UserBox(const std::vector<Stroke>& strokes, const Matrix& m, double box[4])
{
    double det = m.a * m.d - m.b * m.c;
    double lo[2] = {1e300, 1e300}, hi[2] = {-1e300, -1e300};
    for (const Stroke& s : strokes)
        for (const Point& p : s.points) {
            double x = p.x - m.e, y = p.y - m.f;
            double u = det != 0 ? (m.d * x - m.c * y) / det : 0;
            double v = det != 0 ? (-m.b * x + m.a * y) / det : 0;
            lo[0] = std::min(lo[0], u), hi[0] = std::max(hi[0], u);
            lo[1] = std::min(lo[1], v), hi[1] = std::max(hi[1], v);
        }
    bool any = lo[0] <= hi[0];
    box[0] = any ? lo[0] : 0, box[1] = any ? lo[1] : 0;
    box[2] = any ? hi[0] - lo[0] : 0, box[3] = any ? hi[1] - lo[1] : 0;
}

// ---- shapes ----

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

double Direction(const std::vector<Point>& line, size_t from, size_t to, bool* known)
{
    *known = false;
    if (from >= line.size() || to >= line.size())
        return 0;
    double dx = line[to].x - line[from].x, dy = line[to].y - line[from].y;
    *known = dx != 0 || dy != 0;
    return atan2(dy, dx);
}

// Markers at the vertices of a path, line, polyline or polygon.
void Markers(Reader& r, int node, const Context& c, const Pen& pen)
{
    size_t count = pen.vertices.size();
    for (size_t k = 0; k < count; ++k) {
        int which = k == 0 ? 0 : k + 1 == count ? 2 : 1;
        int marker = Target(r, c.markers[which].c_str());
        if (marker < 0 || r.N(marker).tag != "marker")
            continue;
        if (std::find(r.drawing.begin(), r.drawing.end(), marker) != r.drawing.end()
            || r.depth >= kMostNesting)
            continue;
        const std::vector<Point>& line = pen.lines[pen.vertices[k].first];
        size_t i = pen.vertices[k].second;
        bool hasIn = false, hasOut = false;
        double in = i > 0 ? Direction(line, i - 1, i, &hasIn) : 0;
        double out = Direction(line, i, i + 1, &hasOut);
        double angle = 0;
        const char* orient = svg::Attr(r.N(marker), "orient");
        if (orient && strncmp(orient, "auto", 4) == 0) {
            if (which == 0)
                angle = hasOut ? out : in;
            else if (which == 2)
                angle = hasIn ? in : out;
            else if (hasIn && hasOut)
                angle = atan2(sin(in) + sin(out), cos(in) + cos(out));
            else
                angle = hasIn ? in : out;
            if (which == 0 && strcmp(orient, "auto-start-reverse") == 0)
                angle += M_PI;
        } else if (orient) {
            const char* s = orient;
            double degrees = 0;
            if (ReadNumber(s, &degrees))
                angle = degrees * M_PI / 180;
        }
        double mw, mh, refX, refY;
        UserLength(r, marker, "markerWidth", c.viewWidth, 3, &mw);
        UserLength(r, marker, "markerHeight", c.viewHeight, 3, &mh);
        UserLength(r, marker, "refX", c.viewWidth, 0, &refX);
        UserLength(r, marker, "refY", c.viewHeight, 0, &refY);
        if (mw <= 0 || mh <= 0)
            continue;
        double vb[4];
        Matrix view;
        Context mc;
        mc.viewWidth = mw, mc.viewHeight = mh;
        if (ViewBox(r, marker, vb)) {
            view = ViewBoxMatrix(vb, mw, mh, svg::Attr(r.N(marker), "preserveAspectRatio"));
            mc.viewWidth = vb[2], mc.viewHeight = vb[3];
        }
        Point ref = Apply(view, refX, refY);
        const char* units = svg::Attr(r.N(marker), "markerUnits");
        double scale = units && strcmp(units, "userSpaceOnUse") == 0 ? 1 : c.strokeWidth;
        Matrix place = Translate(line[i].x, line[i].y), turn, size;
        turn.a = cos(angle), turn.b = sin(angle), turn.c = -sin(angle), turn.d = cos(angle);
        size.a = size.d = scale;
        Matrix port = Multiply(
            c.ctm, Multiply(place, Multiply(turn, Multiply(size, Translate(-ref.x, -ref.y)))));
        mc.ctm = Multiply(port, view);
        r.drawing.push_back(marker);
        ++r.depth;
        auto draw = [&] {
            for (int child : r.N(marker).children)
                Walk(r, child, mc);
        };
        const char* overflow = svg::Attr(r.N(marker), "overflow");
        if (overflow && (strcmp(overflow, "visible") == 0 || strcmp(overflow, "auto") == 0))
            draw();
        else
            Clipped(r, {Rectangle(port, 0, 0, mw, mh)}, false, r.N(node).line, draw);
        --r.depth;
        r.drawing.pop_back();
    }
}

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

// ---- elements ----

bool NeverDrawn(const std::string& tag)
{
    static const char* kNames[] = {"defs", "symbol", "clipPath", "mask", "marker", "pattern",
        "title", "desc", "metadata", "style", "script", "linearGradient", "radialGradient",
        "filter", "font", "font-face", "glyph", "missing-glyph", "cursor", "view", "animate", "set",
        "animateMotion", "animateTransform", "animateColor", "solidColor", "hatch", "meshgradient",
        "audio", "video", "canvas", "iframe", "tref"};
    for (const char* name : kNames)
        if (tag == name)
            return true;
    return false;
}

bool HasText(const Reader& r, int node)
{
    for (char ch : r.N(node).text)
        if (!isspace(static_cast<unsigned char>(ch)))
            return true;
    for (int child : r.N(node).children)
        if (r.N(child).svg && HasText(r, child))
            return true;
    return false;
}

// What a pen cannot draw: refused, or skipped and listed. Empty text draws
// nothing and is passed over; a frame of flowed text is never drawn.
void CannotDraw(Reader& r, int node, const Context& c)
{
    const std::string& tag = r.N(node).tag;
    bool textual = tag == "text" || tag == "flowRoot";
    if (r.measuring || !c.visible || (textual && !HasText(r, node)))
        return;
    // Listing the layers refuses nothing: it draws nothing.
    if (!r.options->ignoreUnknown && !r.options->listLayers)
        r.Fail(node,
            "<" + tag + "> cannot be drawn ("
                + (textual ? "convert text to paths" : "convert it to paths")
                + ", or skip it with --ignore-unknown)");
    else
        r.program->skipped.push_back(r.Where(node) + ": <" + tag + ">");
}

// switch: the first child whose conditions hold.
int Chosen(const Reader& r, int node)
{
    for (int child : r.N(node).children) {
        const svg::Node& n = r.N(child);
        if (!n.svg)
            continue;
        // No extensions are supported; requiredFeatures is obsolete and, as
        // viewers now take it, never holds.
        if (svg::Attr(n, "requiredExtensions") != nullptr
            || svg::Attr(n, "requiredFeatures") != nullptr)
            continue;
        const char* languages = svg::Attr(n, "systemLanguage");
        if (languages != nullptr) {
            bool english = false;
            std::string list = languages;
            size_t from = 0;
            while (from <= list.size()) {
                size_t comma = list.find(',', from);
                std::string item = list.substr(
                    from, comma == std::string::npos ? std::string::npos : comma - from);
                item.erase(0, item.find_first_not_of(' '));
                english = english || item.compare(0, 2, "en") == 0;
                if (comma == std::string::npos)
                    break;
                from = comma + 1;
            }
            if (!english)
                continue;
        }
        return child;
    }
    return -1;
}

// A viewport: nested svg, or a symbol or svg drawn by use. width and height
// may come from the use element.
void Viewport(Reader& r, int node, Context c, double x, double y, double width, double height)
{
    if (width <= 0 || height <= 0)
        return;
    Matrix parent = c.ctm;
    double vb[4];
    c.ctm = Multiply(c.ctm, Translate(x, y));
    c.viewWidth = width, c.viewHeight = height;
    if (ViewBox(r, node, vb)) {
        c.ctm = Multiply(
            c.ctm, ViewBoxMatrix(vb, width, height, svg::Attr(r.N(node), "preserveAspectRatio")));
        c.viewWidth = vb[2], c.viewHeight = vb[3];
    }
    auto draw = [&] {
        for (int child : r.N(node).children)
            Walk(r, child, c);
    };
    std::string overflow = r.Style(node, "overflow");
    if (overflow == "visible" || overflow == "auto")
        draw();
    else
        Clipped(r, {Rectangle(parent, x, y, width, height)}, false, r.N(node).line, draw);
}

void Use(Reader& r, int node, Context c)
{
    const svg::Node& n = r.N(node);
    int target = Target(r, svg::Attr(n, "xlink:href"));
    if (target < 0)
        target = Target(r, svg::Attr(n, "href"));
    if (target < 0)
        return;  // nothing to draw, as a renderer
    if (std::find(r.drawing.begin(), r.drawing.end(), target) != r.drawing.end()
        || r.depth >= kMostNesting) {
        r.Fail(node, "<use> refers to itself or nests too deep");
        return;
    }
    double x, y, width, height;
    if (!UserLength(r, node, "x", c.viewWidth, 0, &x)
        || !UserLength(r, node, "y", c.viewHeight, 0, &y)
        || !UserLength(r, node, "width", c.viewWidth, -1, &width)
        || !UserLength(r, node, "height", c.viewHeight, -1, &height))
        return;
    r.drawing.push_back(target);
    ++r.depth;
    const std::string& tag = r.N(target).tag;
    if (tag == "symbol" || tag == "svg") {
        // The target's own width and height, else the whole viewport.
        double tw, th;
        if (UserLength(r, target, "width", c.viewWidth, c.viewWidth, &tw)
            && UserLength(r, target, "height", c.viewHeight, c.viewHeight, &th)) {
            if (r.Style(target, "display") != "none") {
                std::string v = r.Style(target, "visibility");
                if (v == "hidden" || v == "collapse")
                    c.visible = false;
                else if (v == "visible")
                    c.visible = true;
                Viewport(r, target, c, x, y, width >= 0 ? width : tw, height >= 0 ? height : th);
            }
        }
    } else {
        c.ctm = Multiply(c.ctm, Translate(x, y));
        Walk(r, target, c);
    }
    --r.depth;
    r.drawing.pop_back();
}

// An element's own properties over what its parent hands down; false when
// it is not displayed.
bool Enter(Reader& r, int node, Context* c, bool force)
{
    if (!force && r.Style(node, "display") == "none")
        return false;
    // Fully transparent: nothing of it shows, whatever it holds.
    std::string opacity = r.Style(node, "opacity");
    if (!force && !opacity.empty()) {
        const char* o = opacity.c_str();
        double alpha = 1;
        if (ReadNumber(o, &alpha) && alpha <= 0)
            return false;
    }
    std::string v = r.Style(node, "visibility");
    if (v == "hidden" || v == "collapse")
        c->visible = false;
    else if (v == "visible")
        c->visible = true;
    if (force)
        c->visible = true;
    std::string width = r.Style(node, "stroke-width");
    double sw;
    std::string why;
    if (!width.empty() && width != "inherit"
        && ParseLength(r, width.c_str(), Diagonal(*c), &sw, &why))
        c->strokeWidth = sw;
    std::string dashes = r.Style(node, "stroke-dasharray");
    if (!dashes.empty() && dashes != "inherit")
        c->dashes = dashes;
    std::string offset = r.Style(node, "stroke-dashoffset");
    if (!offset.empty() && offset != "inherit")
        c->dashOffset = offset;
    static const char* kMarkers[] = {"marker-start", "marker-mid", "marker-end"};
    std::string all = r.Style(node, "marker");
    for (int i = 0; i < 3; ++i) {
        std::string m = r.Style(node, kMarkers[i]);
        if (m.empty())
            m = all;
        if (!m.empty() && m != "inherit")
            c->markers[i] = m == "none" ? "" : m;
    }
    if (const char* transform = svg::Attr(r.N(node), "transform")) {
        Matrix t;
        if (!ParseTransform(transform, &t)) {
            r.Fail(node, std::string("transform='") + transform + "' is not understood");
            return false;
        }
        c->ctm = Multiply(c->ctm, t);
    }
    return true;
}

void Draw(Reader& r, int node, const Context& c)
{
    const std::string& tag = r.N(node).tag;
    if (tag == "g" || tag == "a") {
        for (int child : r.N(node).children)
            Walk(r, child, c);
    } else if (tag == "switch") {
        int child = Chosen(r, node);
        if (child >= 0)
            Walk(r, child, c);
    } else if (tag == "svg") {
        double x, y, w, h;
        if (UserLength(r, node, "x", c.viewWidth, 0, &x)
            && UserLength(r, node, "y", c.viewHeight, 0, &y)
            && UserLength(r, node, "width", c.viewWidth, c.viewWidth, &w)
            && UserLength(r, node, "height", c.viewHeight, c.viewHeight, &h))
            Viewport(r, node, c, x, y, w, h);
    } else if (tag == "use") {
        Use(r, node, c);
    } else if (tag == "path" || tag == "line" || tag == "polyline" || tag == "polygon"
        || tag == "rect" || tag == "circle" || tag == "ellipse") {
        Shape(r, node, c);
    } else if (tag == "text" || tag == "flowRoot" || tag == "image" || tag == "foreignObject") {
        CannotDraw(r, node, c);
    }
}

// A clip path, or a mask (drawn inside its shapes: a pen cannot shade).
int Clip(Reader& r, int node, const char* property, const char* tag)
{
    int clip = Target(r, r.Style(node, property).c_str());
    return clip >= 0 && r.N(clip).tag == tag ? clip : -1;
}

void Walk(Reader& r, int node, Context c, bool force)
{
    if (!r.error.empty() || !r.N(node).svg || NeverDrawn(r.N(node).tag))
        return;
    // Clones of clones multiply: a few lines of a file could ask for more
    // elements than any drawing has.
    if (++r.walked > kMostElements) {
        r.Fail(node, "more than " + std::to_string(kMostElements) + " elements to draw");
        return;
    }
    if (!Enter(r, node, &c, force))
        return;
    int clips[2] = {Clip(r, node, "clip-path", "clipPath"), Clip(r, node, "mask", "mask")};
    if (clips[0] < 0 && clips[1] < 0) {
        Draw(r, node, c);
        return;
    }
    // The element is drawn first: objectBoundingBox needs its bounds.
    std::vector<Stroke>* outer = r.out;
    std::vector<Stroke> inner;
    r.out = &inner;
    Draw(r, node, c);
    r.out = outer;
    double box[4];
    UserBox(inner, c.ctm, box);
    for (int clip : clips) {
        if (clip < 0)
            continue;
        bool evenOdd = false;
        std::vector<std::vector<Point>> polygons = ClipRegion(r, clip, c, box, &evenOdd);
        std::vector<Stroke> kept;
        r.out = &kept;
        Clipped(r, polygons, evenOdd, r.N(node).line, [&] {
            for (Stroke& s : inner)
                r.out->push_back(std::move(s));
        });
        inner.swap(kept);
    }
    r.out = outer;
    for (Stroke& s : inner)
        r.out->push_back(std::move(s));
}

// ---- the root: page, units and layers ----

// Inkscape before 0.92 made 90 user units an inch; it converts such files
// when it opens them, so they are meant at 90.
double UserUnitsPerInch(const svg::Node& root)
{
    const char* version = svg::Attr(root, "inkscape:version");
    if (version == nullptr)
        return kDefaultUserPerInch;
    int major = 0, minor = 0;
    if (sscanf(version, "%d.%d", &major, &minor) == 2 && major == 0 && minor < 92)
        return 90;
    return kDefaultUserPerInch;
}

bool Root(Reader& r, Context* c)
{
    const svg::Node& root = r.N(0);
    r.userPerInch = UserUnitsPerInch(root);
    double vb[4] = {0, 0, 0, 0};
    bool hasViewBox = ViewBox(r, 0, vb);
    if (!r.error.empty())
        return false;
    // Width and height in inches; a percentage (or none) takes the viewBox's size.
    double size[2] = {0, 0};
    bool given[2] = {false, false};
    const char* names[2] = {"width", "height"};
    for (int i = 0; i < 2; ++i) {
        const char* text = svg::Attr(root, names[i]);
        if (text == nullptr || strchr(text, '%') != nullptr)
            continue;
        std::string why;
        double user;
        if (!ParseLength(r, text, 0, &user, &why)) {
            r.Fail(0, std::string("svg ") + names[i] + "='" + text + "' " + why);
            return false;
        }
        size[i] = user / r.userPerInch;
        given[i] = size[i] > 0;
    }
    Matrix place;
    if (hasViewBox) {
        if (!given[0] && !given[1]) {
            size[0] = vb[2] / r.userPerInch;
            size[1] = vb[3] / r.userPerInch;
        } else if (!given[0]) {
            size[0] = size[1] * vb[2] / vb[3];
        } else if (!given[1]) {
            size[1] = size[0] * vb[3] / vb[2];
        }
        Matrix inches;
        inches.a = inches.d = 1.0 / r.userPerInch;
        // The viewport in user units (the sizes back in px), then inches.
        place = Multiply(inches,
            ViewBoxMatrix(vb, size[0] * r.userPerInch, size[1] * r.userPerInch,
                svg::Attr(root, "preserveAspectRatio")));
        c->viewWidth = vb[2], c->viewHeight = vb[3];
    } else {
        place.a = place.d = 1.0 / r.userPerInch;
        c->viewWidth = size[0] > 0 ? size[0] * r.userPerInch : 100;
        c->viewHeight = size[1] > 0 ? size[1] * r.userPerInch : 100;
    }
    r.program->pageWidth = size[0];
    r.program->pageHeight = size[1];
    Matrix flip;
    flip.d = -1;
    flip.f = size[1];
    c->ctm = Multiply(flip, place);
    return Enter(r, 0, c, false);
}

double DrawnLength(const std::vector<Stroke>& strokes)
{
    double total = 0;
    for (const Stroke& s : strokes)
        for (size_t i = 1; i < s.points.size(); ++i)
            total += hypot(s.points[i].x - s.points[i - 1].x, s.points[i].y - s.points[i - 1].y);
    return total;
}

void Emit(Program& program, const std::vector<Stroke>& strokes)
{
    for (const Stroke& s : strokes) {
        for (size_t i = 0; i < s.points.size(); ++i) {
            if (i == 1) {
                Action on;
                on.kind = ActionKind::ToolOn;
                on.line = s.line;
                program.actions.push_back(on);
            }
            Action a;
            a.kind = ActionKind::Move;
            a.to = s.points[i];
            a.rapid = i == 0;
            a.line = s.line;
            program.actions.push_back(a);
        }
        Action off;
        off.kind = ActionKind::ToolOff;
        off.line = s.line;
        program.actions.push_back(off);
    }
}

std::string LayerName(const Reader& r, int node, int index)
{
    if (const char* label = svg::Attr(r.N(node), "inkscape:label"))
        return label;
    if (const char* id = svg::Attr(r.N(node), "id"))
        return id;
    return "layer " + std::to_string(index + 1);
}

// Layers are the root's groups (Inkscape's layers among them).
void DrawRoot(Reader& r, const Context& c)
{
    Program& program = *r.program;
    std::vector<int> layers;
    for (int child : r.N(0).children)
        if (r.N(child).svg && r.N(child).tag == "g")
            layers.push_back(child);
    auto drawLayer = [&](int node, size_t index) {
        Layer layer;
        layer.name = LayerName(r, node, static_cast<int>(index));
        layer.line = r.N(node).line;
        Context lc = c;
        std::vector<Stroke> strokes;
        r.out = &strokes;
        bool displayed = Enter(r, node, &lc, false);
        layer.visible = displayed && lc.visible;
        if (!r.error.empty())
            return;
        lc = c;
        // Children of an invisible layer may show themselves again.
        if (displayed || r.options->listLayers) {
            r.measuring = !displayed;
            Walk(r, node, lc, !displayed);
            if (r.measuring)
                r.error.clear();  // a hidden layer never refuses the file
            r.measuring = false;
        }
        layer.drawnInches = DrawnLength(strokes);
        layer.begin = program.actions.size();
        if (displayed)
            Emit(program, strokes);
        layer.end = program.actions.size();
        program.layers.push_back(layer);
    };
    if (!r.options->layers.empty()) {
        for (const std::string& wanted : r.options->layers) {
            int found = -1;
            for (size_t i = 0; i < layers.size() && found < 0; ++i)
                if (LayerName(r, layers[i], static_cast<int>(i)) == wanted)
                    found = static_cast<int>(i);
            for (size_t i = 0; i < layers.size() && found < 0; ++i) {
                const char* id = svg::Attr(r.N(layers[i]), "id");
                if (id && wanted == id)
                    found = static_cast<int>(i);
            }
            if (found < 0) {
                std::string names;
                for (size_t i = 0; i < layers.size(); ++i)
                    names += (i ? ", " : "") + LayerName(r, layers[i], static_cast<int>(i));
                r.error = *r.name + ": no layer '" + wanted
                    + "' (layers: " + (names.empty() ? "none" : names) + ")";
                return;
            }
            drawLayer(layers[static_cast<size_t>(found)], static_cast<size_t>(found));
            if (!program.layers.back().visible) {
                r.Fail(layers[static_cast<size_t>(found)], "layer '" + wanted + "' is hidden");
                return;
            }
        }
        return;
    }
    size_t index = 0;
    for (int child : r.N(0).children) {
        if (!r.error.empty())
            return;
        if (r.N(child).svg && r.N(child).tag == "g") {
            drawLayer(child, index++);
            continue;
        }
        std::vector<Stroke> strokes;
        r.out = &strokes;
        Walk(r, child, c);
        Emit(program, strokes);
    }
}

}  // namespace

bool ParseSvg(const std::string& text, const std::string& name, const ParseOptions& options,
    Program* program, std::string* error)
{
    *program = Program();
    Reader r;
    r.name = &name;
    r.options = &options;
    r.program = program;
    bool unbound = false;
    if (!ReadTree(text, name, true, &r.doc, error, &unbound)) {
        // A prefix without its declaration (some exporters write them): read
        // again with names as written.
        if (!unbound)
            return false;
        r.doc = svg::Document();
        if (!ReadTree(text, name, false, &r.doc, error, &unbound))
            return false;
    }
    if (r.doc.nodes.empty()) {
        *error = name + ": no svg element";
        return false;
    }
    if (r.doc.nodes[0].tag != "svg") {
        *error = name + ":" + std::to_string(r.doc.nodes[0].line) + ":"
            + std::to_string(r.doc.nodes[0].column)
            + ": not an SVG document (the first element is '" + r.doc.nodes[0].tag + "')";
        return false;
    }
    for (const svg::Node& n : r.doc.nodes)
        if (n.svg && n.tag == "style") {
            const char* type = svg::Attr(n, "type");
            if (type == nullptr || strcmp(type, "text/css") == 0 || *type == '\0')
                svg::AddSheet(&r.styles, n.text);
        }
    Context c;
    if (Root(r, &c))
        DrawRoot(r, c);
    if (!r.error.empty()) {
        *error = r.error;
        return false;
    }
    return true;
}

}  // namespace job
