// SVG geometry in user space: numbers, transforms and path data flattened
// into polylines (curves within a chord tolerance), with the vertices that
// markers go on.
#include <ctype.h>
#include <math.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tools/job/svg_internal.h"

namespace job {
namespace svg {

namespace {

double VectorAngle(double ux, double uy, double vx, double vy)
{
    return atan2(ux * vy - uy * vx, ux * vx + uy * vy);
}

}  // namespace

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

// ---- path geometry, in user space ----

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

namespace {

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

}  // namespace

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
        pen.Vertex();
    }
}

}  // namespace svg
}  // namespace job
