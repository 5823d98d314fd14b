// What the SVG reader's parts share: the document as a tree (read whole
// first, since references, style sheets and clip paths point anywhere in
// it), the style cascade and the clipping of polylines.
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

}  // namespace svg
}  // namespace job

#endif
