// The moves an arc (G2, G3 in any plane, by centre or radius) and a drilling
// cycle (G73, G81, G82, G83) stand for, as straight moves of the tool.
#include <math.h>

#include <algorithm>
#include <vector>

#include "tools/job/gcode_internal.h"

namespace job {
namespace gcode {

namespace {

// How far an arc's end may sit off its circle before the arc is refused:
// CAM output rounds its numbers, so a part of the radius is allowed as well.
const double kArcMismatch = 0.002;  // inches
const double kArcMismatchPart = 0.001;

}  // namespace

// The plane's two axes and the one along it, as indices of x y z.
void PlaneAxes(Plane plane, int* a, int* b, int* along)
{
    if (plane == kPlaneXY)
        *a = 0, *b = 1, *along = 2;
    else if (plane == kPlaneZX)
        *a = 2, *b = 0, *along = 1;
    else
        *a = 1, *b = 2, *along = 0;
}

double& Coord(Point& p, int i)
{
    return i == 0 ? p.x : i == 1 ? p.y : p.z;
}

double Coord(const Point& p, int i)
{
    return i == 0 ? p.x : i == 1 ? p.y : p.z;
}

bool AddArc(Context& c, State& s, const Point& to, const Arc& arc, bool clockwise, double feed)
{
    Point from = s.at;
    int ia, ib, iz;
    PlaneAxes(s.plane, &ia, &ib, &iz);
    double fa = Coord(from, ia), fb = Coord(from, ib);
    double ta = Coord(to, ia), tb = Coord(to, ib);
    double ca, cb;
    if (arc.hasR) {
        // The centre sits on the chord's bisector; a negative R asks for the
        // arc of more than half a turn.
        double da = ta - fa, db = tb - fb;
        double chord = hypot(da, db);
        double r = fabs(arc.r);
        if (chord == 0)
            return Fail(c, arc.column, "an R arc needs an end point other than its start");
        if (chord > 2 * r + kArcMismatch)
            return Fail(c, arc.column, "R is less than half the distance to the end point");
        double h = sqrt(std::max(0.0, r * r - chord * chord / 4));
        // Left of the chord for a counter-clockwise short arc.
        double side = (clockwise ? -1.0 : 1.0) * (arc.r < 0 ? -1.0 : 1.0);
        ca = (fa + ta) / 2 - side * h * db / chord;
        cb = (fb + tb) / 2 + side * h * da / chord;
    } else {
        double oa = arc.offset[ia], ob = arc.offset[ib];
        ca = s.arcAbsolute ? oa : fa + oa;
        cb = s.arcAbsolute ? ob : fb + ob;
    }
    double r0 = hypot(fa - ca, fb - cb);
    double r1 = hypot(ta - ca, tb - cb);
    if (r0 == 0)
        return Fail(c, arc.column, "arc centre on its start point");
    if (fabs(r1 - r0) > std::max(kArcMismatch, kArcMismatchPart * r0))
        return Fail(c, arc.column, "arc end point is not on its circle");
    double a0 = atan2(fb - cb, fa - ca);
    double sweep = atan2(tb - cb, ta - ca) - a0;
    if (clockwise) {
        while (sweep >= 0)
            sweep -= 2 * M_PI;
    } else {
        while (sweep <= 0)
            sweep += 2 * M_PI;
    }
    // A start and end that differ by a rounding error are a full circle only
    // when they coincide; a tiny sweep the other way round is not.
    if (fabs(fabs(sweep) - 2 * M_PI) < 1e-12 && (fa != ta || fb != tb))
        sweep = 0;
    std::vector<Point> points;
    FlattenArc(ca, cb, r0, a0, sweep, c.options->tolerance, &points);
    size_t n = points.size();
    double fz = Coord(from, iz), tz = Coord(to, iz);
    for (size_t k = 0; k < n; ++k) {
        Point p;
        Coord(p, ia) = k + 1 == n ? ta : points[k].x;
        Coord(p, ib) = k + 1 == n ? tb : points[k].y;
        Coord(p, iz) = fz + (tz - fz) * static_cast<double>(k + 1) / static_cast<double>(n);
        AddMove(c, s, p, false, feed);
    }
    s.at = to;
    return true;
}

// A drilling cycle at one hole, as a controller moves: up to R if below it,
// across, down to R, drill (in pecks for G73 and G83), dwell for G82, and back
// to R (G99) or to the Z before the cycles (G98).
void Cycle(Context& c, State& s, const Point& hole, double feed)
{
    const double kPeckClearance = 0.010;  // inches above the last peck
    double r = s.cycleR, bottom = s.cycleZ;
    Point p = s.at;
    if (p.z < r) {
        p.z = r;
        AddMove(c, s, p, true, 0);
    }
    p.x = hole.x, p.y = hole.y;
    AddMove(c, s, p, true, 0);
    p.z = r;
    AddMove(c, s, p, true, 0);
    bool pecks = s.motion == 73 || s.motion == 83;
    double depth = r;
    while (depth > bottom) {
        double next = pecks ? std::max(bottom, depth - s.cycleQ) : bottom;
        if (s.motion == 83 && depth != r) {
            p.z = depth + kPeckClearance;
            AddMove(c, s, p, true, 0);
        }
        p.z = next;
        AddMove(c, s, p, false, feed);
        depth = next;
        if (depth > bottom) {
            p.z = s.motion == 83 ? r : depth + kPeckClearance;
            AddMove(c, s, p, true, 0);
        }
    }
    if (s.motion == 82 && s.cycleP > 0)
        AddAction(c, ActionKind::Dwell, s.cycleP);
    p.z = s.retractToR ? r : std::max(s.initialZ, r);
    AddMove(c, s, p, true, 0);
}

}  // namespace gcode
}  // namespace job
