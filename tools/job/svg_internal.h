// What the SVG reader's parts share: the document as a tree (read whole
// first, since references, style sheets and clip paths point anywhere in
// it), the style cascade, the clipping of polylines, and the drawing: what
// an element hands down to its children and the reader's state.
#ifndef ZRQ_TOOLS_JOB_SVG_INTERNAL_H
#define ZRQ_TOOLS_JOB_SVG_INTERNAL_H

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "tools/job/job.h"

namespace job {
namespace svg {

// Attribute names keep the usual prefix of the namespaces the reader looks
// at ("xlink:href", "inkscape:label"); SVG's own attributes have none.
struct Node {
    std::string tag;
    bool svg = true;  // in the SVG namespace (or in none): others are never drawn
    std::vector<std::pair<std::string, std::string>> attrs;
    int parent = -1;
    std::vector<int> children;
    int line = 0, column = 0;
    std::string text;  // character data directly inside
};

struct Document {
    std::vector<Node> nodes;  // nodes[0] is the root
    std::map<std::string, int> ids;
};

const char* Attr(const Node& node, const char* name);

// ---- geometry ----

struct Matrix {
    double a = 1, b = 0, c = 0, d = 1, e = 0, f = 0;  // x' = ax + cy + e, y' = bx + dy + f
};

Matrix Multiply(const Matrix& m, const Matrix& n);  // m after n
Point Apply(const Matrix& m, double x, double y);
// The most the matrix lengthens any vector: a tolerance divided by it holds
// after the transform.
double Stretch(const Matrix& m);

void SkipSeparators(const char*& s);
bool ReadNumber(const char*& s, double* value);
bool ParseTransform(const char* text, Matrix* out);

// Points of one element in its user space: polylines (a lone move makes a
// one-point line, dropped when drawn) and the vertices markers go on.
struct Pen {
    double tolerance = 0.001;  // in user units
    Point current, subpathStart;
    bool down = false, closed = false;
    std::vector<std::vector<Point>> lines;
    std::vector<std::pair<size_t, size_t>> vertices;  // line, point

    void MoveTo(double x, double y)
    {
        current.x = subpathStart.x = x;
        current.y = subpathStart.y = y;
        lines.push_back({current});
        down = closed = false;
    }
    void LineTo(double x, double y)
    {
        if (lines.empty() || closed)  // after Z the next subpath starts where Z ended
            MoveTo(current.x, current.y);
        current.x = x;
        current.y = y;
        lines.back().push_back(current);
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
        closed = true;
    }
    void Vertex()
    {
        if (!lines.empty())
            vertices.push_back({lines.size() - 1, lines.back().size() - 1});
    }
};

// An arc of an ellipse (angles in radians) onto the pen, within its tolerance.
void EllipseArc(
    Pen& pen, double cx, double cy, double rx, double ry, double phi, double t0, double sweep);
// A path's d attribute; false with the reason.
bool PathData(Pen& pen, const char* d, std::string* why);

// ---- the tree ----

// False with "file:line:column: message". Without namespaces, names are
// kept as written (for files that use a prefix they never declare).
bool ReadTree(const std::string& text, const std::string& name, bool namespaces, Document* doc,
    std::string* error, bool* unboundPrefix);

// ---- the cascade ----

struct Declaration {
    std::string property, value;
    bool important = false;
};

struct Compound {
    std::string type, id;  // empty: any
    std::vector<std::string> classes;
};

struct Rule {
    std::vector<Compound> parts;  // the last one is the subject
    std::vector<char> joins;      // between parts: ' ' descendant, '>' child
    int specificity = 0;
    std::vector<Declaration> declarations;
};

struct Styles {
    std::vector<Rule> rules;  // in document order
    std::vector<std::vector<int>> matched;
    std::vector<std::vector<Declaration>> inline_;
    std::vector<char> ready;
};

// Declarations of a style attribute or a rule's block.
std::vector<Declaration> ParseDeclarations(const std::string& text);
// Rules of a <style> sheet; selectors beyond type, class, id, '*' and the
// descendant and child combinators are passed over (their rule never applies).
void AddSheet(Styles* styles, const std::string& css);
// The value a property is given on the node itself (style attribute, sheets,
// presentation attribute, by the cascade's order), "" when none.
std::string Specified(const Document& doc, Styles* styles, int node, const std::string& property);

// ---- clipping ----

// Cuts polylines (machine inches) to the inside of the polygons (filled with
// the nonzero rule, or even-odd); parts outside are dropped.
void ClipPolylines(const std::vector<std::vector<Point>>& polygons, bool evenOdd,
    std::vector<std::vector<Point>>* lines);

// ---- drawing ----

// svg.cpp: lengths, viewports, references and the root with its layers;
// svg_walk.cpp: the elements (groups, switch, nested svg, use, clip paths);
// svg_shapes.cpp: shapes into lines, dashes; svg_markers.cpp: markers.

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

bool ParseLength(const Reader& r, const char* text, double whole, double* value, std::string* why);
bool UserLength(
    Reader& r, int node, const char* name, double whole, double fallback, double* value);
double Diagonal(const Context& c);
bool ViewBox(Reader& r, int node, double vb[4]);
Matrix ViewBoxMatrix(const double vb[4], double width, double height, const char* aspect);
Matrix Translate(double x, double y);
int Target(const Reader& r, const char* href);
void AddStroke(Reader& r, Stroke stroke);
std::vector<Point> Rectangle(const Matrix& m, double x, double y, double w, double h);

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

bool Geometry(Reader& r, int node, const Context& c, Pen* pen);
void Walk(Reader& r, int node, Context c, bool force = false);
void Shape(Reader& r, int node, const Context& c);
void Markers(Reader& r, int node, const Context& c, const Pen& pen);
bool Enter(Reader& r, int node, Context* c, bool force);

}  // namespace svg
}  // namespace job

#endif
