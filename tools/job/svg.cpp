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
namespace svg {

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

std::vector<Point> Rectangle(const Matrix& m, double x, double y, double w, double h)
{
    return {Apply(m, x, y), Apply(m, x + w, y), Apply(m, x + w, y + h), Apply(m, x, y + h)};
}

}  // namespace svg

namespace {

using namespace svg;

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
