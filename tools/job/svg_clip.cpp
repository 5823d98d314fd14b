// Clip paths: drawn polylines cut to the filled inside of the clip shapes.
// The geometry is the Clipper library's (Debian: libpolyclipping-dev), which
// clips open polylines against polygons; its integer plane holds our inches
// at 10^-7 in, far finer than the box's resolution.
#include <math.h>
#include <polyclipping/clipper.hpp>

#include <algorithm>

#include "tools/job/svg_internal.h"

namespace job {
namespace svg {

namespace {

const double kUnitsPerInch = 1e7;

ClipperLib::Path ToPath(const std::vector<Point>& points)
{
    ClipperLib::Path path;
    path.reserve(points.size());
    for (const Point& p : points)
        path.push_back(
            ClipperLib::IntPoint(static_cast<ClipperLib::cInt>(llround(p.x * kUnitsPerInch)),
                static_cast<ClipperLib::cInt>(llround(p.y * kUnitsPerInch))));
    return path;
}

}  // namespace

// Where along the line a point lies: the index of its nearest segment, and
// the distance along that segment (for the order of a line's pieces).
double Along(const std::vector<Point>& line, const Point& p)
{
    double best = 1e300, at = 0;
    for (size_t i = 0; i + 1 < line.size(); ++i) {
        double dx = line[i + 1].x - line[i].x, dy = line[i + 1].y - line[i].y;
        double length2 = dx * dx + dy * dy;
        double t = length2 > 0 ? ((p.x - line[i].x) * dx + (p.y - line[i].y) * dy) / length2 : 0;
        t = t < 0 ? 0 : t > 1 ? 1 : t;
        double ex = line[i].x + t * dx - p.x, ey = line[i].y + t * dy - p.y;
        double d = ex * ex + ey * ey;
        if (d < best) {
            best = d;
            at = static_cast<double>(i) + t;
        }
    }
    return at;
}

void ClipPolylines(const std::vector<std::vector<Point>>& polygons, bool evenOdd,
    std::vector<std::vector<Point>>* lines)
{
    ClipperLib::Paths clip;
    for (const auto& polygon : polygons)
        if (polygon.size() >= 3)
            clip.push_back(ToPath(polygon));
    std::vector<std::vector<Point>> in;
    in.swap(*lines);
    if (clip.empty())
        return;  // an empty clip path hides everything
    ClipperLib::PolyFillType fill = evenOdd ? ClipperLib::pftEvenOdd : ClipperLib::pftNonZero;
    // One line at a time: the library may hand pieces back reversed and in
    // any order, and each piece is put back the way its line runs.
    for (const auto& line : in) {
        if (line.size() < 2)
            continue;
        ClipperLib::Clipper clipper;
        clipper.AddPath(ToPath(line), ClipperLib::ptSubject, false);
        clipper.AddPaths(clip, ClipperLib::ptClip, true);
        ClipperLib::PolyTree tree;
        if (!clipper.Execute(ClipperLib::ctIntersection, tree, ClipperLib::pftNonZero, fill))
            continue;
        ClipperLib::Paths kept;
        ClipperLib::OpenPathsFromPolyTree(tree, kept);
        std::vector<std::pair<double, std::vector<Point>>> pieces;
        for (const ClipperLib::Path& path : kept) {
            std::vector<Point> piece;
            for (const ClipperLib::IntPoint& q : path) {
                Point p;
                p.x = static_cast<double>(q.X) / kUnitsPerInch;
                p.y = static_cast<double>(q.Y) / kUnitsPerInch;
                piece.push_back(p);
            }
            if (piece.size() < 2)
                continue;
            double from = Along(line, piece.front()), to = Along(line, piece.back());
            if (from > to)
                std::reverse(piece.begin(), piece.end());
            pieces.push_back({std::min(from, to), piece});
        }
        std::sort(pieces.begin(), pieces.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
        for (auto& piece : pieces)
            lines->push_back(std::move(piece.second));
    }
}

}  // namespace svg
}  // namespace job
