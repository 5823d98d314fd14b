// The elements of an SVG drawing walked as a renderer walks them: what each
// hands down to its children, groups, switch, nested svg and symbols drawn
// by use, what a pen cannot draw, and clip paths and masks.
#include <ctype.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tools/job/svg_internal.h"

namespace job {
namespace svg {

namespace {

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

}  // namespace

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

namespace {

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

}  // namespace

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

}  // namespace svg
}  // namespace job
