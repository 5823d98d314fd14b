// The style cascade as a renderer applies it, for the properties that decide
// what is drawn (display, visibility, clip-path, markers, stroke-width):
// style attribute, <style> sheets (type, class, id, descendant and child
// selectors, !important) and presentation attributes.
#include <ctype.h>
#include <string.h>

#include <algorithm>

#include "tools/job/svg_internal.h"

namespace job {
namespace svg {

const char* Attr(const Node& node, const char* name)
{
    for (const auto& a : node.attrs)
        if (a.first == name)
            return a.second.c_str();
    return nullptr;
}

namespace {

std::string Trim(const std::string& s)
{
    size_t b = 0, e = s.size();
    while (b < e && isspace(static_cast<unsigned char>(s[b])))
        ++b;
    while (e > b && isspace(static_cast<unsigned char>(s[e - 1])))
        --e;
    return s.substr(b, e - b);
}

std::string Lower(std::string s)
{
    for (char& c : s)
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return s;
}

std::string StripComments(const std::string& css)
{
    std::string out;
    for (size_t i = 0; i < css.size(); ++i) {
        if (css.compare(i, 2, "/*") == 0) {
            size_t end = css.find("*/", i + 2);
            if (end == std::string::npos)
                break;
            i = end + 1;
            continue;
        }
        out += css[i];
    }
    return out;
}

bool NameChar(char c)
{
    return isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_'
        || static_cast<unsigned char>(c) >= 0x80;
}

// One selector of a comma list; false for what is not understood.
bool ParseSelector(const std::string& text, Rule* rule)
{
    size_t i = 0, n = text.size();
    char join = 0;
    while (i < n) {
        if (isspace(static_cast<unsigned char>(text[i]))) {
            if (!rule->parts.empty() && join == 0)
                join = ' ';
            ++i;
            continue;
        }
        if (text[i] == '>') {
            if (rule->parts.empty())
                return false;
            join = '>';
            ++i;
            continue;
        }
        Compound c;
        bool any = false;
        while (i < n && !isspace(static_cast<unsigned char>(text[i])) && text[i] != '>') {
            char k = text[i];
            if (k == '*') {
                ++i;
                any = true;
                continue;
            }
            if (k == '.' || k == '#')
                ++i;
            else if (!NameChar(k))
                return false;  // attribute selectors, pseudo-classes, siblings
            size_t b = i;
            while (i < n && NameChar(text[i]))
                ++i;
            if (i == b)
                return false;
            std::string name = text.substr(b, i - b);
            if (k == '.') {
                c.classes.push_back(name);
                rule->specificity += 100;
            } else if (k == '#') {
                c.id = name;
                rule->specificity += 10000;
            } else {
                c.type = name;
                rule->specificity += 1;
            }
            any = true;
        }
        if (!any)
            return false;
        if (!rule->parts.empty())
            rule->joins.push_back(join == 0 ? ' ' : join);
        rule->parts.push_back(c);
        join = 0;
    }
    return !rule->parts.empty() && join == 0;
}

bool HasClass(const Node& node, const std::string& name)
{
    const char* list = Attr(node, "class");
    if (list == nullptr)
        return false;
    const char* s = list;
    while (*s) {
        while (*s && isspace(static_cast<unsigned char>(*s)))
            ++s;
        const char* b = s;
        while (*s && !isspace(static_cast<unsigned char>(*s)))
            ++s;
        if (static_cast<size_t>(s - b) == name.size()
            && name.compare(0, name.size(), b, s - b) == 0)
            return true;
    }
    return false;
}

bool MatchesCompound(const Node& node, const Compound& c)
{
    if (!c.type.empty() && c.type != node.tag)
        return false;
    if (!c.id.empty()) {
        const char* id = Attr(node, "id");
        if (id == nullptr || c.id != id)
            return false;
    }
    for (const std::string& k : c.classes)
        if (!HasClass(node, k))
            return false;
    return true;
}

// Does parts[0..last] match with parts[last] on the node?
bool Matches(const Document& doc, const Rule& rule, int last, int node)
{
    if (!MatchesCompound(
            doc.nodes[static_cast<size_t>(node)], rule.parts[static_cast<size_t>(last)]))
        return false;
    if (last == 0)
        return true;
    char join = rule.joins[static_cast<size_t>(last - 1)];
    for (int up = doc.nodes[static_cast<size_t>(node)].parent; up >= 0;
         up = doc.nodes[static_cast<size_t>(up)].parent) {
        if (Matches(doc, rule, last - 1, up))
            return true;
        if (join == '>')
            return false;
    }
    return false;
}

}  // namespace

std::vector<Declaration> ParseDeclarations(const std::string& text)
{
    std::vector<Declaration> out;
    size_t from = 0;
    while (from < text.size()) {
        // A semicolon inside url(...) or quotes does not end the declaration.
        size_t end = from;
        int depth = 0;
        char quote = 0;
        for (; end < text.size(); ++end) {
            char c = text[end];
            if (quote) {
                if (c == quote)
                    quote = 0;
            } else if (c == '"' || c == '\'') {
                quote = c;
            } else if (c == '(') {
                ++depth;
            } else if (c == ')') {
                depth = std::max(0, depth - 1);
            } else if (c == ';' && depth == 0) {
                break;
            }
        }
        std::string item = text.substr(from, end - from);
        from = end + 1;
        size_t colon = item.find(':');
        if (colon == std::string::npos)
            continue;
        Declaration d;
        d.property = Lower(Trim(item.substr(0, colon)));
        d.value = Trim(item.substr(colon + 1));
        size_t bang = d.value.rfind('!');
        if (bang != std::string::npos && Lower(Trim(d.value.substr(bang + 1))) == "important") {
            d.important = true;
            d.value = Trim(d.value.substr(0, bang));
        }
        if (!d.property.empty())
            out.push_back(d);
    }
    return out;
}

void AddSheet(Styles* styles, const std::string& sheet)
{
    std::string css = StripComments(sheet);
    size_t i = 0;
    while (i < css.size()) {
        size_t open = css.find('{', i);
        if (open == std::string::npos)
            break;
        std::string prelude = Trim(css.substr(i, open - i));
        // The block's end, counting nested braces (@media and the like).
        int depth = 1;
        size_t close = open + 1;
        for (; close < css.size() && depth > 0; ++close)
            depth += css[close] == '{' ? 1 : css[close] == '}' ? -1 : 0;
        std::string block = css.substr(open + 1, close - open - 2 + (depth > 0 ? 1 : 0));
        i = close;
        // At-rules (statements before a block included) are passed over.
        size_t at = prelude.rfind(';');
        if (at != std::string::npos)
            prelude = Trim(prelude.substr(at + 1));
        if (prelude.empty() || prelude[0] == '@')
            continue;
        std::vector<Declaration> declarations = ParseDeclarations(block);
        size_t from = 0;
        while (from <= prelude.size()) {
            size_t comma = prelude.find(',', from);
            if (comma == std::string::npos)
                comma = prelude.size();
            Rule rule;
            if (ParseSelector(Trim(prelude.substr(from, comma - from)), &rule)) {
                rule.declarations = declarations;
                styles->rules.push_back(rule);
            }
            from = comma + 1;
        }
    }
}

std::string Specified(const Document& doc, Styles* styles, int node, const std::string& property)
{
    size_t k = static_cast<size_t>(node);
    if (styles->ready.size() < doc.nodes.size()) {
        styles->ready.resize(doc.nodes.size(), 0);
        styles->matched.resize(doc.nodes.size());
        styles->inline_.resize(doc.nodes.size());
    }
    if (!styles->ready[k]) {
        styles->ready[k] = 1;
        for (size_t r = 0; r < styles->rules.size(); ++r) {
            const Rule& rule = styles->rules[r];
            if (Matches(doc, rule, static_cast<int>(rule.parts.size()) - 1, node))
                styles->matched[k].push_back(static_cast<int>(r));
        }
        // Equal specificity: the later rule wins; a stable sort keeps the order.
        std::stable_sort(styles->matched[k].begin(), styles->matched[k].end(), [&](int a, int b) {
            return styles->rules[static_cast<size_t>(a)].specificity
                < styles->rules[static_cast<size_t>(b)].specificity;
        });
        if (const char* style = Attr(doc.nodes[k], "style"))
            styles->inline_[k] = ParseDeclarations(style);
    }
    // Ranks: attribute 1, sheet 2, style attribute 3, sheet !important 4,
    // style attribute !important 5.
    std::string value;
    int rank = 0;
    if (const char* a = Attr(doc.nodes[k], property.c_str())) {
        value = Trim(a);
        rank = 1;
    }
    for (int r : styles->matched[k])
        for (const Declaration& d : styles->rules[static_cast<size_t>(r)].declarations)
            if (d.property == property && (d.important ? 4 : 2) >= rank) {
                value = d.value;
                rank = d.important ? 4 : 2;
            }
    for (const Declaration& d : styles->inline_[k])
        if (d.property == property && (d.important ? 5 : 3) >= rank) {
            value = d.value;
            rank = d.important ? 5 : 3;
        }
    return value;
}

}  // namespace svg
}  // namespace job
