// Markers (marker-start, marker-mid, marker-end) drawn at the vertices of
// paths, lines, polylines and polygons.
#include <math.h>
#include <string.h>

#include <algorithm>
#include <vector>

#include "tools/job/svg_internal.h"

namespace job {
namespace svg {

namespace {

double Direction(const std::vector<Point>& line, size_t from, size_t to, bool* known)
{
    *known = false;
    if (from >= line.size() || to >= line.size())
        return 0;
    double dx = line[to].x - line[from].x, dy = line[to].y - line[from].y;
    *known = dx != 0 || dy != 0;
    return atan2(dy, dx);
}

}  // namespace

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

}  // namespace svg
}  // namespace job
