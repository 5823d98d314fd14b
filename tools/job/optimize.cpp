// Pen-up travel: the strokes of each layer in a shorter order. Greedy
// nearest neighbour over both ends of every stroke (a stroke may be drawn
// backwards), found through a grid of cells so that a drawing of hundreds of
// thousands of strokes takes a fraction of a second; strokes whose ends meet
// are joined into one pen-down run.
#include <math.h>

#include <algorithm>

#include "tools/job/job.h"

namespace job {

namespace {

struct Stroke {
    size_t first = 0, last = 0;  // its moves in the old actions, [first, last]
    Point start, end;
    bool used = false;
};

double Distance(const Point& a, const Point& b)
{
    return hypot(a.x - b.x, a.y - b.y);
}

// The ends of the strokes not yet drawn, by cell.
struct Grid {
    double x0 = 0, y0 = 0, cell = 1;
    int columns = 1, rows = 1;
    std::vector<std::vector<int>> cells;  // entries: stroke * 2 + (0 start, 1 end)

    void Build(const std::vector<Stroke>& strokes)
    {
        double lo[2] = {1e300, 1e300}, hi[2] = {-1e300, -1e300};
        for (const Stroke& s : strokes)
            for (const Point* p : {&s.start, &s.end}) {
                lo[0] = std::min(lo[0], p->x), hi[0] = std::max(hi[0], p->x);
                lo[1] = std::min(lo[1], p->y), hi[1] = std::max(hi[1], p->y);
            }
        double w = std::max(hi[0] - lo[0], 1e-6), h = std::max(hi[1] - lo[1], 1e-6);
        // About two ends a cell.
        cell = std::max(sqrt(w * h / std::max<size_t>(1, strokes.size())), 1e-6);
        columns = std::min(4096, static_cast<int>(w / cell) + 1);
        rows = std::min(4096, static_cast<int>(h / cell) + 1);
        cell = std::max(w / columns, h / rows) * (1 + 1e-9);
        x0 = lo[0], y0 = lo[1];
        cells.assign(static_cast<size_t>(columns) * static_cast<size_t>(rows), {});
        for (size_t i = 0; i < strokes.size(); ++i) {
            cells[Index(strokes[i].start)].push_back(static_cast<int>(i * 2));
            cells[Index(strokes[i].end)].push_back(static_cast<int>(i * 2 + 1));
        }
    }
    int Column(double x) const
    {
        return std::max(0, std::min(columns - 1, static_cast<int>((x - x0) / cell)));
    }
    int Row(double y) const
    {
        return std::max(0, std::min(rows - 1, static_cast<int>((y - y0) / cell)));
    }
    size_t Index(const Point& p) const
    {
        return static_cast<size_t>(Row(p.y)) * static_cast<size_t>(columns)
            + static_cast<size_t>(Column(p.x));
    }

    // The nearest end of an unused stroke, or -1; rings of cells outwards
    // until no nearer one can lie further out.
    int Nearest(const Point& at, std::vector<Stroke>& strokes)
    {
        int cx = Column(at.x), cy = Row(at.y);
        int best = -1;
        double bestDistance = 1e300;
        int most = std::max(columns, rows);
        for (int ring = 0; ring <= most; ++ring) {
            for (int y = cy - ring; y <= cy + ring; ++y) {
                if (y < 0 || y >= rows)
                    continue;
                bool edge = y == cy - ring || y == cy + ring;
                for (int x = cx - ring; x <= cx + ring; x += edge ? 1 : 2 * ring) {
                    if (x >= 0 && x < columns) {
                        std::vector<int>& list
                            = cells[static_cast<size_t>(y) * static_cast<size_t>(columns)
                                + static_cast<size_t>(x)];
                        for (size_t k = 0; k < list.size();) {
                            const Stroke& s = strokes[static_cast<size_t>(list[k] / 2)];
                            if (s.used) {  // drawn already: dropped as met
                                list[k] = list.back();
                                list.pop_back();
                                continue;
                            }
                            double d = Distance(at, list[k] % 2 ? s.end : s.start);
                            if (d < bestDistance) {
                                bestDistance = d;
                                best = list[k];
                            }
                            ++k;
                        }
                    }
                    if (ring == 0)
                        break;
                }
            }
            if (best >= 0 && bestDistance <= ring * cell)
                break;
        }
        return best;
    }
};

const double kMeet = 0.00005;  // half a tenth of a mil: ends that meet

}  // namespace

bool OptimizeTravel(Program* program, const Point& from, OptimizeReport* report)
{
    *report = OptimizeReport();
    const std::vector<Action>& old = program->actions;
    // Strokes only: travel, pen down, moves, pen up.
    std::vector<Stroke> strokes;
    for (size_t i = 0; i < old.size();) {
        if (old[i].kind != ActionKind::Move || !old[i].rapid || i + 2 >= old.size()
            || old[i + 1].kind != ActionKind::ToolOn)
            return false;
        size_t j = i + 2;
        while (j < old.size() && old[j].kind == ActionKind::Move && !old[j].rapid)
            ++j;
        if (j >= old.size() || old[j].kind != ActionKind::ToolOff || j == i + 2)
            return false;
        Stroke s;
        s.first = i;
        s.last = j - 1;
        s.start = old[i].to;
        s.end = old[j - 1].to;
        strokes.push_back(s);
        i = j + 1;
    }
    // Groups of strokes that keep their place: the layers and what lies between.
    std::vector<size_t> bounds = {0, old.size()};
    for (const Layer& layer : program->layers) {
        bounds.push_back(layer.begin);
        bounds.push_back(layer.end);
    }
    std::sort(bounds.begin(), bounds.end());
    bounds.erase(std::unique(bounds.begin(), bounds.end()), bounds.end());

    std::vector<Action> actions;
    actions.reserve(old.size());
    std::vector<size_t> moved(bounds.size());  // new index of each bound
    Point at = from, before = from;
    size_t next = 0;
    for (size_t b = 0; b + 1 < bounds.size(); ++b) {
        moved[b] = actions.size();
        std::vector<Stroke> group;
        while (next < strokes.size() && strokes[next].first < bounds[b + 1]) {
            report->travelBefore += Distance(before, strokes[next].start);
            before = strokes[next].end;
            group.push_back(strokes[next++]);
        }
        if (group.empty())
            continue;
        Grid grid;
        grid.Build(group);
        bool down = false;
        for (size_t n = 0; n < group.size(); ++n) {
            int pick = grid.Nearest(at, group);
            Stroke& s = group[static_cast<size_t>(pick / 2)];
            s.used = true;
            bool backwards = pick % 2 == 1;
            const Point& start = backwards ? s.end : s.start;
            double gap = Distance(at, start);
            if (down && gap <= kMeet) {
                ++report->joined;  // the pen stays down
            } else {
                if (down) {
                    Action off;
                    off.kind = ActionKind::ToolOff;
                    off.line = actions.back().line;
                    actions.push_back(off);
                }
                report->travelAfter += gap;
                Action travel = old[s.first];
                travel.to = start;
                actions.push_back(travel);
                actions.push_back(old[s.first + 1]);
            }
            // The stroke's points are its travel's target and its moves';
            // backwards, each move goes to the point before.
            size_t count = s.last - s.first - 1;  // moves
            for (size_t k = 1; k <= count; ++k) {
                size_t move = backwards ? s.last - k + 1 : s.first + 1 + k;
                size_t to = backwards ? (k == count ? s.first : move - 1) : move;
                Action a = old[move];
                a.to = old[to].to;
                actions.push_back(a);
            }
            at = backwards ? s.start : s.end;
            down = true;
        }
        Action off;
        off.kind = ActionKind::ToolOff;
        off.line = actions.back().line;
        actions.push_back(off);
        report->strokes += static_cast<long>(group.size());
    }
    moved.back() = actions.size();
    for (Layer& layer : program->layers) {
        layer.begin = moved[static_cast<size_t>(
            std::lower_bound(bounds.begin(), bounds.end(), layer.begin) - bounds.begin())];
        layer.end = moved[static_cast<size_t>(
            std::lower_bound(bounds.begin(), bounds.end(), layer.end) - bounds.begin())];
    }
    program->actions.swap(actions);
    return true;
}

}  // namespace job
