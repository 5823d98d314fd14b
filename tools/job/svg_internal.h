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
