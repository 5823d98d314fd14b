// SVG drawings: path, line, polyline, polygon, rect, circle and ellipse, with
// transform attributes and the document's viewBox and size units. The XML is
// read by expat; this file only interprets what it reports. Y grows down in
// SVG and up on the machine, so the page is turned over about its height:
// the drawing lands on the machine as it looks on the screen.
#include <ctype.h>
#include <expat.h>
#include <math.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tools/job/job.h"

namespace job {

namespace {

struct Matrix {
    double a = 1, b = 0, c = 0, d = 1, e = 0, f = 0;  // x' = ax + cy + e, y' = bx + dy + f
};

Matrix Multiply(const Matrix& m, const Matrix& n)  // m after n
{
    Matrix r;
    r.a = m.a * n.a + m.c * n.b;
    r.b = m.b * n.a + m.d * n.b;
    r.c = m.a * n.c + m.c * n.d;
    r.d = m.b * n.c + m.d * n.d;
    r.e = m.a * n.e + m.c * n.f + m.e;
    r.f = m.b * n.e + m.d * n.f + m.f;
    return r;
}

Point Apply(const Matrix& m, double x, double y)
{
    Point p;
    p.x = m.a * x + m.c * y + m.e;
    p.y = m.b * x + m.d * y + m.f;
    return p;
}

// The most the matrix lengthens any vector (its largest singular value): a
// tolerance divided by it holds after the transform.
double Stretch(const Matrix& m)
{
    double f = m.a * m.a + m.b * m.b + m.c * m.c + m.d * m.d;
    double det = m.a * m.d - m.b * m.c;
    return sqrt((f + sqrt(std::max(0.0, f * f - 4 * det * det))) / 2);
}

struct Element {
    Matrix ctm;
    bool hidden = false;  // inside defs, symbol, clipPath and the like
};

struct Parser {
    XML_Parser xml = nullptr;
    const std::string* name = nullptr;
    const ParseOptions* options = nullptr;
    Program* program = nullptr;
    std::string error;
    std::vector<Element> stack;
    bool sawRoot = false;
    bool toolOn = false;
    int line = 0, column = 0;

    void Fail(const std::string& message)
    {
        if (!error.empty())
            return;
        error = *name + ":" + std::to_string(line) + ":" + std::to_string(column) + ": " + message;
        XML_StopParser(xml, XML_FALSE);
    }
};

// ---- numbers and lengths ----

void SkipSeparators(const char*& s)
{
    while (*s && (isspace(static_cast<unsigned char>(*s)) || *s == ','))
        ++s;
}

bool ReadNumber(const char*& s, double* value)
{
    SkipSeparators(s);
    const char* start = s;
    if (*s == '+' || *s == '-')
        ++s;
    bool digits = false, point = false;
    while (isdigit(static_cast<unsigned char>(*s)) || (*s == '.' && !point)) {
        if (*s == '.')
            point = true;
        else
            digits = true;
        ++s;
    }
    if (!digits) {
        s = start;
        return false;
    }
    if (*s == 'e' || *s == 'E') {
        const char* e = s + 1;
        if (*e == '+' || *e == '-')
            ++e;
        if (isdigit(static_cast<unsigned char>(*e))) {
            while (isdigit(static_cast<unsigned char>(*e)))
                ++e;
            s = e;
        }
    }
    *value = strtod(std::string(start, s).c_str(), nullptr);
    return std::isfinite(*value);
}

// A length with its unit, in inches; user units (no unit, px) are 1/96 inch.
bool ReadLength(const char* text, double* inches, bool* hadUnit)
{
    const char* s = text;
    double v = 0;
    if (!ReadNumber(s, &v))
        return false;
    std::string unit(s);
    while (!unit.empty() && isspace(static_cast<unsigned char>(unit.back())))
        unit.pop_back();
    static const struct {
        const char* name;
        double inches;
    } kUnits[] = {{"", 1.0 / 96}, {"px", 1.0 / 96}, {"in", 1.0}, {"mm", 1.0 / 25.4},
        {"cm", 1.0 / 2.54}, {"pt", 1.0 / 72}, {"pc", 1.0 / 6}};
    for (const auto& u : kUnits)
        if (unit == u.name) {
            *inches = v * u.inches;
            *hadUnit = !unit.empty();
            return true;
        }
    return false;
}

const char* Attribute(const char** attrs, const char* name)
{
    for (int i = 0; attrs[i] != nullptr; i += 2)
        if (strcmp(attrs[i], name) == 0)
            return attrs[i + 1];
    return nullptr;
}

bool UserNumber(Parser& p, const char** attrs, const char* name, double* value, double fallback)
{
    const char* text = Attribute(attrs, name);
    *value = fallback;
    if (text == nullptr)
        return true;
    const char* s = text;
    if (!ReadNumber(s, value)) {
        p.Fail(std::string(name) + "='" + text + "' is not a number");
        return false;
    }
    SkipSeparators(s);
    if (*s != '\0' && strcmp(s, "px") != 0) {
        p.Fail(std::string(name) + "='" + text + "': only user units inside the drawing");
        return false;
    }
    return true;
}

// ---- transform="..." ----

bool ParseTransform(const char* text, Matrix* out)
{
    Matrix m;
    const char* s = text;
    for (;;) {
        SkipSeparators(s);
        if (*s == '\0')
            break;
        const char* nameStart = s;
        while (isalpha(static_cast<unsigned char>(*s)))
            ++s;
        std::string name(nameStart, s);
        while (isspace(static_cast<unsigned char>(*s)))
            ++s;
        if (*s != '(')
            return false;
        ++s;
        double v[6];
        int n = 0;
        while (n < 6 && ReadNumber(s, &v[n]))
            ++n;
        SkipSeparators(s);
        if (*s != ')')
            return false;
        ++s;
        Matrix t;
        if (name == "matrix" && n == 6) {
            t.a = v[0], t.b = v[1], t.c = v[2], t.d = v[3], t.e = v[4], t.f = v[5];
        } else if (name == "translate" && (n == 1 || n == 2)) {
            t.e = v[0];
            t.f = n == 2 ? v[1] : 0;
        } else if (name == "scale" && (n == 1 || n == 2)) {
            t.a = v[0];
            t.d = n == 2 ? v[1] : v[0];
        } else if (name == "rotate" && (n == 1 || n == 3)) {
            double r = v[0] * M_PI / 180;
            t.a = cos(r), t.b = sin(r), t.c = -sin(r), t.d = cos(r);
            if (n == 3) {
                Matrix to, back;
                to.e = v[1], to.f = v[2];
                back.e = -v[1], back.f = -v[2];
                t = Multiply(to, Multiply(t, back));
            }
        } else if (name == "skewX" && n == 1) {
            t.c = tan(v[0] * M_PI / 180);
        } else if (name == "skewY" && n == 1) {
            t.b = tan(v[0] * M_PI / 180);
        } else {
            return false;
        }
        m = Multiply(m, t);
    }
    *out = m;
    return true;
}

// ---- output ----

void Emit(Parser& p, const Point& at, bool draw)
{
    Program& program = *p.program;
    if (program.actions.size() > kMostMoves) {
        p.Fail("more than " + std::to_string(kMostMoves) + " moves");
        return;
    }
    if (draw != p.toolOn) {
        Action a;
        a.kind = draw ? ActionKind::ToolOn : ActionKind::ToolOff;
        a.line = p.line;
        program.actions.push_back(a);
        p.toolOn = draw;
    }
    Action a;
    a.kind = ActionKind::Move;
    a.to = at;
    a.rapid = !draw;
    a.line = p.line;
    program.actions.push_back(a);
}

// Points of one element in user space, turned into machine moves.
struct Pen {
    Parser* p;
    Matrix ctm;
    double tolerance;  // in user units
    Point current, subpathStart;
    bool down = false;

    void MoveTo(double x, double y)
    {
        current.x = subpathStart.x = x;
        current.y = subpathStart.y = y;
        Emit(*p, Apply(ctm, x, y), false);
        down = false;
    }
    void LineTo(double x, double y)
    {
        current.x = x;
        current.y = y;
        Emit(*p, Apply(ctm, x, y), true);
        down = true;
    }
    void Points(const std::vector<Point>& points)
    {
        for (const Point& q : points)
            LineTo(q.x, q.y);
    }
    void Close()
    {
        if (down && (current.x != subpathStart.x || current.y != subpathStart.y))
            LineTo(subpathStart.x, subpathStart.y);
        current = subpathStart;
    }
};

// An ellipse is the image of a unit circle, and chords map to chords: the
// circle's sagitta times the larger radius bounds the ellipse's.
void EllipseArc(
    Pen& pen, double cx, double cy, double rx, double ry, double phi, double t0, double sweep)
{
    std::vector<Point> unit;
    double larger = std::max(rx, ry);
    FlattenArc(0, 0, 1, t0, sweep, larger > 0 ? pen.tolerance / larger : 1, &unit);
    double cp = cos(phi), sp = sin(phi);
    for (const Point& u : unit)
        pen.LineTo(cx + rx * u.x * cp - ry * u.y * sp, cy + rx * u.x * sp + ry * u.y * cp);
}

double VectorAngle(double ux, double uy, double vx, double vy)
{
    return atan2(ux * vy - uy * vx, ux * vx + uy * vy);
}

// The endpoint form of an elliptical arc, converted to its centre form.
void SvgArc(
    Pen& pen, double rx, double ry, double degrees, bool large, bool sweepFlag, double x, double y)
{
    double x1 = pen.current.x, y1 = pen.current.y;
    if (x1 == x && y1 == y)
        return;
    rx = fabs(rx);
    ry = fabs(ry);
    if (rx == 0 || ry == 0) {
        pen.LineTo(x, y);
        return;
    }
    double phi = degrees * M_PI / 180, cp = cos(phi), sp = sin(phi);
    double dx = (x1 - x) / 2, dy = (y1 - y) / 2;
    double x1p = cp * dx + sp * dy, y1p = -sp * dx + cp * dy;
    double lambda = (x1p * x1p) / (rx * rx) + (y1p * y1p) / (ry * ry);
    if (lambda > 1) {  // radii too small: scaled up until the arc just fits
        rx *= sqrt(lambda);
        ry *= sqrt(lambda);
    }
    double num = rx * rx * ry * ry - rx * rx * y1p * y1p - ry * ry * x1p * x1p;
    double den = rx * rx * y1p * y1p + ry * ry * x1p * x1p;
    double coef = sqrt(std::max(0.0, num / den)) * (large == sweepFlag ? -1 : 1);
    double cxp = coef * rx * y1p / ry, cyp = -coef * ry * x1p / rx;
    double cx = cp * cxp - sp * cyp + (x1 + x) / 2;
    double cy = sp * cxp + cp * cyp + (y1 + y) / 2;
    double t0 = VectorAngle(1, 0, (x1p - cxp) / rx, (y1p - cyp) / ry);
    double sweep
        = VectorAngle((x1p - cxp) / rx, (y1p - cyp) / ry, (-x1p - cxp) / rx, (-y1p - cyp) / ry);
    if (!sweepFlag && sweep > 0)
        sweep -= 2 * M_PI;
    else if (sweepFlag && sweep < 0)
        sweep += 2 * M_PI;
    EllipseArc(pen, cx, cy, rx, ry, phi, t0, sweep);
    pen.current.x = x;
    pen.current.y = y;
}

bool ReadFlag(const char*& s, bool* flag)
{
    SkipSeparators(s);
    if (*s != '0' && *s != '1')
        return false;
    *flag = *s++ == '1';
    return true;
}

bool PathData(Pen& pen, const char* d, std::string* why)
{
    const char* s = d;
    char command = 0;
    Point control;  // last control point, for S and T
    char previous = 0;
    bool started = false;
    for (;;) {
        SkipSeparators(s);
        if (*s == '\0')
            return true;
        bool fresh = isalpha(static_cast<unsigned char>(*s));
        if (fresh) {
            command = *s++;
            if (!strchr("MmLlHhVvCcSsQqTtAaZz", command)) {
                *why = std::string("unknown path command '") + command + "'";
                return false;
            }
        } else if (command == 0) {
            *why = "path data must begin with M";
            return false;
        }
        bool relative = islower(static_cast<unsigned char>(command));
        double ox = relative ? pen.current.x : 0, oy = relative ? pen.current.y : 0;
        char upper = static_cast<char>(toupper(static_cast<unsigned char>(command)));
        // Z takes no numbers; without this, numbers after it would never be read.
        if (upper == 'Z' && !fresh) {
            *why = "numbers after 'Z'";
            return false;
        }
        if (!started && upper != 'M') {
            *why = "path data must begin with M";
            return false;
        }
        double v[7];
        auto numbers = [&](int n) {
            for (int i = 0; i < n; ++i)
                if (!ReadNumber(s, &v[i])) {
                    *why = std::string("'") + command + "' needs " + std::to_string(n) + " numbers";
                    return false;
                }
            return true;
        };
        Point from = pen.current;
        switch (upper) {
        case 'M':
            if (!numbers(2))
                return false;
            pen.MoveTo(ox + v[0], oy + v[1]);
            started = true;
            command = relative ? 'l' : 'L';  // further pairs are lines
            break;
        case 'L':
            if (!numbers(2))
                return false;
            pen.LineTo(ox + v[0], oy + v[1]);
            break;
        case 'H':
            if (!numbers(1))
                return false;
            pen.LineTo(ox + v[0], pen.current.y);
            break;
        case 'V':
            if (!numbers(1))
                return false;
            pen.LineTo(pen.current.x, oy + v[0]);
            break;
        case 'C':
        case 'S': {
            Point p1, p2, p3;
            if (upper == 'C') {
                if (!numbers(6))
                    return false;
                p1.x = ox + v[0], p1.y = oy + v[1];
                p2.x = ox + v[2], p2.y = oy + v[3];
                p3.x = ox + v[4], p3.y = oy + v[5];
            } else {
                if (!numbers(4))
                    return false;
                bool reflect = previous == 'C' || previous == 'S';
                p1.x = reflect ? 2 * from.x - control.x : from.x;
                p1.y = reflect ? 2 * from.y - control.y : from.y;
                p2.x = ox + v[0], p2.y = oy + v[1];
                p3.x = ox + v[2], p3.y = oy + v[3];
            }
            std::vector<Point> points;
            FlattenCubic(from, p1, p2, p3, pen.tolerance, &points);
            pen.Points(points);
            control = p2;
            break;
        }
        case 'Q':
        case 'T': {
            Point p1, p2;
            if (upper == 'Q') {
                if (!numbers(4))
                    return false;
                p1.x = ox + v[0], p1.y = oy + v[1];
                p2.x = ox + v[2], p2.y = oy + v[3];
            } else {
                if (!numbers(2))
                    return false;
                bool reflect = previous == 'Q' || previous == 'T';
                p1.x = reflect ? 2 * from.x - control.x : from.x;
                p1.y = reflect ? 2 * from.y - control.y : from.y;
                p2.x = ox + v[0], p2.y = oy + v[1];
            }
            std::vector<Point> points;
            FlattenQuadratic(from, p1, p2, pen.tolerance, &points);
            pen.Points(points);
            control = p1;
            break;
        }
        case 'A': {
            bool large = false, sweep = false;
            if (!numbers(3) || !ReadFlag(s, &large) || !ReadFlag(s, &sweep)) {
                *why = std::string("'") + command + "' needs rx ry angle large-arc sweep x y";
                return false;
            }
            double r[3] = {v[0], v[1], v[2]};
            if (!numbers(2))
                return false;
            SvgArc(pen, r[0], r[1], r[2], large, sweep, ox + v[0], oy + v[1]);
            break;
        }
        case 'Z': pen.Close(); break;
        }
        previous = upper;
    }
}

// ---- elements ----

void Shape(Parser& p, const std::string& tag, const char** attrs, const Matrix& ctm)
{
    Pen pen;
    pen.p = &p;
    pen.ctm = ctm;
    double stretch = Stretch(ctm);
    pen.tolerance = stretch > 0 ? p.options->tolerance / stretch : p.options->tolerance;
    if (tag == "path") {
        const char* d = Attribute(attrs, "d");
        std::string why;
        if (d != nullptr && !PathData(pen, d, &why))
            p.Fail("path d: " + why);
    } else if (tag == "line") {
        double x1, y1, x2, y2;
        if (UserNumber(p, attrs, "x1", &x1, 0) && UserNumber(p, attrs, "y1", &y1, 0)
            && UserNumber(p, attrs, "x2", &x2, 0) && UserNumber(p, attrs, "y2", &y2, 0)) {
            pen.MoveTo(x1, y1);
            pen.LineTo(x2, y2);
        }
    } else if (tag == "polyline" || tag == "polygon") {
        const char* s = Attribute(attrs, "points");
        double x, y;
        bool first = true;
        while (s != nullptr && ReadNumber(s, &x)) {
            if (!ReadNumber(s, &y)) {
                p.Fail(tag + " points: an odd count of numbers");
                return;
            }
            if (first)
                pen.MoveTo(x, y);
            else
                pen.LineTo(x, y);
            first = false;
        }
        if (tag == "polygon")
            pen.Close();
    } else if (tag == "rect") {
        double x, y, w, h, rx, ry;
        if (!UserNumber(p, attrs, "x", &x, 0) || !UserNumber(p, attrs, "y", &y, 0)
            || !UserNumber(p, attrs, "width", &w, 0) || !UserNumber(p, attrs, "height", &h, 0)
            || !UserNumber(p, attrs, "rx", &rx, -1) || !UserNumber(p, attrs, "ry", &ry, -1))
            return;
        if (w <= 0 || h <= 0)
            return;  // not rendered
        if (rx < 0)
            rx = ry < 0 ? 0 : ry;
        if (ry < 0)
            ry = rx;
        rx = std::min(rx, w / 2);
        ry = std::min(ry, h / 2);
        pen.MoveTo(x + rx, y);
        pen.LineTo(x + w - rx, y);
        if (rx > 0)
            EllipseArc(pen, x + w - rx, y + ry, rx, ry, 0, -M_PI / 2, M_PI / 2);
        pen.LineTo(x + w, y + h - ry);
        if (rx > 0)
            EllipseArc(pen, x + w - rx, y + h - ry, rx, ry, 0, 0, M_PI / 2);
        pen.LineTo(x + rx, y + h);
        if (rx > 0)
            EllipseArc(pen, x + rx, y + h - ry, rx, ry, 0, M_PI / 2, M_PI / 2);
        pen.LineTo(x, y + ry);
        if (rx > 0)
            EllipseArc(pen, x + rx, y + ry, rx, ry, 0, M_PI, M_PI / 2);
        pen.Close();
    } else if (tag == "circle" || tag == "ellipse") {
        double cx, cy, rx, ry;
        if (!UserNumber(p, attrs, "cx", &cx, 0) || !UserNumber(p, attrs, "cy", &cy, 0))
            return;
        if (tag == "circle") {
            if (!UserNumber(p, attrs, "r", &rx, 0))
                return;
            ry = rx;
        } else if (!UserNumber(p, attrs, "rx", &rx, 0) || !UserNumber(p, attrs, "ry", &ry, 0)) {
            return;
        }
        if (rx <= 0 || ry <= 0)
            return;
        pen.MoveTo(cx + rx, cy);
        EllipseArc(pen, cx, cy, rx, ry, 0, 0, 2 * M_PI);
    }
    // Pen up at the end of every element: shapes are never joined.
    if (p.toolOn) {
        Action a;
        a.kind = ActionKind::ToolOff;
        a.line = p.line;
        p.program->actions.push_back(a);
        p.toolOn = false;
    }
}

// The outermost svg element maps its viewBox onto its width and height
// (uniformly, centred, as preserveAspectRatio's default), then turns the
// page over so that Y grows up.
bool RootMatrix(Parser& p, const char** attrs, Matrix* m)
{
    double width = 0, height = 0;
    bool wUnit = false, hUnit = false;
    const char* w = Attribute(attrs, "width");
    const char* h = Attribute(attrs, "height");
    if ((w && !ReadLength(w, &width, &wUnit)) || (h && !ReadLength(h, &height, &hUnit))) {
        p.Fail("svg width and height must be lengths in px, in, mm, cm, pt or pc");
        return false;
    }
    double vb[4] = {0, 0, 0, 0};
    const char* viewBox = Attribute(attrs, "viewBox");
    bool hasViewBox = false;
    if (viewBox != nullptr) {
        const char* s = viewBox;
        for (double& v : vb)
            if (!ReadNumber(s, &v)) {
                p.Fail(std::string("viewBox='") + viewBox + "' needs four numbers");
                return false;
            }
        hasViewBox = vb[2] > 0 && vb[3] > 0;
    }
    Matrix place;
    double pageHeight = height;
    if (hasViewBox) {
        if (w == nullptr)
            width = vb[2] / 96;
        if (h == nullptr)
            height = vb[3] / 96;
        if (w == nullptr && h != nullptr)
            width = height * vb[2] / vb[3];
        if (h == nullptr && w != nullptr)
            height = width * vb[3] / vb[2];
        double scale = std::min(width / vb[2], height / vb[3]);
        place.a = place.d = scale;
        place.e = -vb[0] * scale + (width - vb[2] * scale) / 2;
        place.f = -vb[1] * scale + (height - vb[3] * scale) / 2;
        pageHeight = height;
    } else {
        place.a = place.d = 1.0 / 96;
    }
    Matrix flip;
    flip.d = -1;
    flip.f = pageHeight;
    *m = Multiply(flip, place);
    return true;
}

bool Hidden(const std::string& tag)
{
    static const char* kNeverDrawn[]
        = {"defs", "symbol", "clipPath", "mask", "marker", "pattern", "title", "desc", "metadata",
            "style", "script", "linearGradient", "radialGradient", "filter"};
    for (const char* name : kNeverDrawn)
        if (tag == name)
            return true;
    return false;
}

std::string LocalName(const char* qualified)
{
    // expat reports namespaced names as "uri|local" (see XML_ParserCreateNS).
    const char* bar = strrchr(qualified, '|');
    return bar ? bar + 1 : qualified;
}

void XMLCALL Start(void* data, const char* qualified, const char** attrs)
{
    Parser& p = *static_cast<Parser*>(data);
    p.line = static_cast<int>(XML_GetCurrentLineNumber(p.xml));
    p.column = static_cast<int>(XML_GetCurrentColumnNumber(p.xml)) + 1;
    std::string tag = LocalName(qualified);
    Element parent = p.stack.empty() ? Element() : p.stack.back();
    Element e = parent;
    if (!p.sawRoot) {
        if (tag != "svg") {
            p.Fail("not an SVG document (the first element is '" + tag + "')");
            return;
        }
        p.sawRoot = true;
        if (!RootMatrix(p, attrs, &e.ctm))
            return;
    }
    const char* display = Attribute(attrs, "display");
    if (Hidden(tag) || (display && strcmp(display, "none") == 0))
        e.hidden = true;
    const char* transform = Attribute(attrs, "transform");
    if (transform != nullptr) {
        Matrix t;
        if (!ParseTransform(transform, &t)) {
            p.Fail(std::string("transform='") + transform + "' is not understood");
            return;
        }
        e.ctm = Multiply(e.ctm, t);
    }
    p.stack.push_back(e);
    if (e.hidden)
        return;
    static const char* kShapes[]
        = {"path", "line", "polyline", "polygon", "rect", "circle", "ellipse"};
    for (const char* shape : kShapes)
        if (tag == shape) {
            Shape(p, tag, attrs, e.ctm);
            return;
        }
    if (tag == "text" || tag == "image" || tag == "use" || tag == "foreignObject") {
        // Nothing here can be drawn as a line; the operator hears of it.
        std::string where = *p.name + ":" + std::to_string(p.line) + ":" + std::to_string(p.column);
        if (!p.options->ignoreUnknown)
            p.Fail("<" + tag + "> cannot be drawn (convert it to a path)");
        else
            p.program->skipped.push_back(where + ": <" + tag + ">");
    }
}

void XMLCALL End(void* data, const char*)
{
    Parser& p = *static_cast<Parser*>(data);
    if (!p.stack.empty())
        p.stack.pop_back();
}

}  // namespace

bool ParseSvg(const std::string& text, const std::string& name, const ParseOptions& options,
    Program* program, std::string* error)
{
    *program = Program();
    Parser p;
    p.name = &name;
    p.options = &options;
    p.program = program;
    p.xml = XML_ParserCreateNS(nullptr, '|');
    if (p.xml == nullptr) {
        *error = name + ": out of memory";
        return false;
    }
    XML_SetUserData(p.xml, &p);
    XML_SetElementHandler(p.xml, Start, End);
    XML_Status status = XML_Parse(p.xml, text.data(), static_cast<int>(text.size()), XML_TRUE);
    if (status == XML_STATUS_ERROR && p.error.empty())
        p.error = name + ":" + std::to_string(XML_GetCurrentLineNumber(p.xml)) + ":"
            + std::to_string(XML_GetCurrentColumnNumber(p.xml) + 1) + ": "
            + XML_ErrorString(XML_GetErrorCode(p.xml));
    if (p.error.empty() && !p.sawRoot)
        p.error = name + ": no svg element";
    XML_ParserFree(p.xml);
    if (!p.error.empty()) {
        *error = p.error;
        return false;
    }
    return true;
}

}  // namespace job
