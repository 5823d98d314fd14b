// The SVG file read whole into a tree by expat, before anything is drawn:
// references, style sheets and clip paths may point anywhere in it.
#include <expat.h>
#include <string.h>

#include <string>
#include <vector>

#include "tools/job/svg_internal.h"

namespace job {
namespace svg {

namespace {

struct Builder {
    XML_Parser xml = nullptr;
    Document* doc = nullptr;
    std::vector<int> open;
    bool namespaces = true;
};

std::string AttributeName(const char* qualified, bool namespaces)
{
    if (!namespaces)
        return qualified;
    const char* bar = strrchr(qualified, '|');
    if (bar == nullptr)
        return qualified;
    std::string uri(qualified, bar);
    static const struct {
        const char* uri;
        const char* prefix;
    } kKnown[] = {{"http://www.w3.org/1999/xlink", "xlink:"},
        {"http://www.inkscape.org/namespaces/inkscape", "inkscape:"},
        {"http://sodipodi.sourceforge.net/DTD/sodipodi-0.dtd", "sodipodi:"},
        {"http://www.w3.org/XML/1998/namespace", "xml:"}, {"http://www.w3.org/2000/svg", ""}};
    for (const auto& k : kKnown)
        if (uri == k.uri)
            return k.prefix + std::string(bar + 1);
    return qualified;
}

void XMLCALL Start(void* data, const char* qualified, const char** attrs)
{
    Builder& b = *static_cast<Builder*>(data);
    Node node;
    node.line = static_cast<int>(XML_GetCurrentLineNumber(b.xml));
    node.column = static_cast<int>(XML_GetCurrentColumnNumber(b.xml)) + 1;
    const char* split = strrchr(qualified, b.namespaces ? '|' : ':');
    if (split == nullptr) {
        node.tag = qualified;
    } else {
        std::string space(qualified, split);
        node.tag = split + 1;
        node.svg = b.namespaces ? space == "http://www.w3.org/2000/svg" : space == "svg";
    }
    for (int i = 0; attrs[i] != nullptr; i += 2)
        node.attrs.push_back({AttributeName(attrs[i], b.namespaces), attrs[i + 1]});
    int index = static_cast<int>(b.doc->nodes.size());
    node.parent = b.open.empty() ? -1 : b.open.back();
    if (const char* id = Attr(node, "id"))
        b.doc->ids.insert({id, index});
    if (node.parent >= 0)
        b.doc->nodes[static_cast<size_t>(node.parent)].children.push_back(index);
    b.doc->nodes.push_back(std::move(node));
    b.open.push_back(index);
}

void XMLCALL End(void* data, const char*)
{
    Builder& b = *static_cast<Builder*>(data);
    if (!b.open.empty())
        b.open.pop_back();
}

void XMLCALL Characters(void* data, const char* text, int length)
{
    Builder& b = *static_cast<Builder*>(data);
    if (!b.open.empty())
        b.doc->nodes[static_cast<size_t>(b.open.back())].text.append(
            text, static_cast<size_t>(length));
}

// Encodings expat does not know (windows-1251 and the like): ASCII as it
// is, other bytes as a replacement character; they only ever appear in text.
int XMLCALL UnknownEncoding(void*, const XML_Char*, XML_Encoding* info)
{
    for (int i = 0; i < 256; ++i)
        info->map[i] = i < 0x80 ? i : 0xFFFD;
    info->data = nullptr;
    info->convert = nullptr;
    info->release = nullptr;
    return XML_STATUS_OK;
}

}  // namespace

bool ReadTree(const std::string& text, const std::string& name, bool namespaces, Document* doc,
    std::string* error, bool* unboundPrefix)
{
    Builder b;
    b.doc = doc;
    b.namespaces = namespaces;
    b.xml = namespaces ? XML_ParserCreateNS(nullptr, '|') : XML_ParserCreate(nullptr);
    if (b.xml == nullptr) {
        *error = name + ": out of memory";
        return false;
    }
    XML_SetUserData(b.xml, &b);
    XML_SetElementHandler(b.xml, Start, End);
    XML_SetCharacterDataHandler(b.xml, Characters);
    XML_SetUnknownEncodingHandler(b.xml, UnknownEncoding, nullptr);
    XML_Status status = XML_Parse(b.xml, text.data(), static_cast<int>(text.size()), XML_TRUE);
    XML_Error code = XML_GetErrorCode(b.xml);
    *unboundPrefix = code == XML_ERROR_UNBOUND_PREFIX;
    if (status == XML_STATUS_ERROR)
        *error = name + ":" + std::to_string(XML_GetCurrentLineNumber(b.xml)) + ":"
            + std::to_string(XML_GetCurrentColumnNumber(b.xml) + 1) + ": " + XML_ErrorString(code);
    XML_ParserFree(b.xml);
    return status != XML_STATUS_ERROR;
}

}  // namespace svg
}  // namespace job
