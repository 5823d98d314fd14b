// Clip paths: drawn polylines cut to the filled inside of the clip shapes.
// The geometry is the Clipper library's (Debian: libpolyclipping-dev), which
// clips open polylines against polygons; its integer plane holds our inches
// at 10^-7 in, far finer than the box's resolution.
#include <math.h>
#include <polyclipping/clipper.hpp>

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

void ClipPolylines(const std::vector<std::vector<Point>>& polygons, bool evenOdd,
    std::vector<std::vector<Point>>* lines)
{
    ClipperLib::Paths clip, subject;
    for (const auto& polygon : polygons)
        if (polygon.size() >= 3)
            clip.push_back(ToPath(polygon));
    for (const auto& line : *lines)
        if (line.size() >= 2)
            subject.push_back(ToPath(line));
    lines->clear();
    if (clip.empty() || subject.empty())
        return;  // an empty clip path hides everything
    ClipperLib::Clipper clipper;
    clipper.AddPaths(subject, ClipperLib::ptSubject, false);
    clipper.AddPaths(clip, ClipperLib::ptClip, true);
    ClipperLib::PolyTree tree;
    ClipperLib::PolyFillType fill = evenOdd ? ClipperLib::pftEvenOdd : ClipperLib::pftNonZero;
    if (!clipper.Execute(ClipperLib::ctIntersection, tree, ClipperLib::pftNonZero, fill))
        return;
    ClipperLib::Paths kept;
    ClipperLib::OpenPathsFromPolyTree(tree, kept);
    for (const ClipperLib::Path& path : kept) {
        std::vector<Point> line;
        for (const ClipperLib::IntPoint& q : path) {
            Point p;
            p.x = static_cast<double>(q.X) / kUnitsPerInch;
            p.y = static_cast<double>(q.Y) / kUnitsPerInch;
            line.push_back(p);
        }
        if (line.size() >= 2)
            lines->push_back(line);
    }
}

}  // namespace svg
}  // namespace job
