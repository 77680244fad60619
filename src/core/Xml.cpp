#include "core/Xml.h"

#include <functional>
#include <sstream>

#include "core/Text.h"
#include "platform/Platform.h"

namespace vx::xml {

namespace {
// Keep declarations, document types, comments and processing instructions, so that a file
// read and written again loses nothing but insignificant white space.
constexpr unsigned kParseFlags = pugi::parse_default | pugi::parse_declaration |
                                 pugi::parse_doctype | pugi::parse_comments | pugi::parse_pi;
} // namespace

void forEachElementBelow(pugi::xml_node under, const std::function<bool(pugi::xml_node)>& visit) {
    if (!under)
        return;
    // Iterative pre-order walk of the subtree below `under`.
    pugi::xml_node cur = under.first_child();
    while (cur) {
        if (cur.type() == pugi::node_element && !visit(cur))
            return;
        if (cur.first_child()) {
            cur = cur.first_child();
            continue;
        }
        while (cur && !cur.next_sibling()) {
            cur = cur.parent();
            if (cur == under)
                return;
        }
        if (cur)
            cur = cur.next_sibling();
    }
}

pugi::xml_node findElement(pugi::xml_node under, std::string_view name) {
    pugi::xml_node found;
    forEachElementBelow(under, [&](pugi::xml_node e) {
        if (!iequals(e.name(), name))
            return true;
        found = e;
        return false;
    });
    return found;
}

std::string attr(pugi::xml_node node, std::string_view name) {
    for (pugi::xml_attribute a : node.attributes())
        if (iequals(a.name(), name))
            return a.value();
    return {};
}

std::string text(pugi::xml_node node) { return node.text().get(); }

std::string elementText(pugi::xml_node under, std::string_view name) {
    return text(findElement(under, name));
}

Status parse(pugi::xml_document& doc, std::string_view text) {
    pugi::xml_parse_result r =
        doc.load_buffer(text.data(), text.size(), kParseFlags, pugi::encoding_utf8);
    if (!r)
        return Error{std::string(r.description()) + " at offset " + std::to_string(r.offset)};
    return {};
}

Expected<std::string> readFile(const std::string& path) {
    platform::SharedReadFile file;
    if (Status st = file.open(path); !st)
        return Error{st.error()};
    std::string data;
    char buf[65536];
    for (;;) {
        long long n = file.read(buf, sizeof buf);
        if (n < 0)
            return Error{"cannot read " + path};
        if (n == 0)
            break;
        data.append(buf, static_cast<std::size_t>(n));
    }
    return data;
}

Status load(pugi::xml_document& doc, const std::string& path) {
    auto read = readFile(path);
    if (!read)
        return Error{read.error()};
    const std::string& data = read.value();
    pugi::xml_parse_result r = doc.load_buffer(data.data(), data.size(), kParseFlags);
    if (!r)
        return Error{path + ": " + r.description() + " at offset " + std::to_string(r.offset)};
    return {};
}

std::string serialize(const pugi::xml_document& doc) {
    // pugixml adds an XML declaration when the document has none.
    std::ostringstream out;
    doc.save(out, "  ", pugi::format_indent, pugi::encoding_utf8);
    return out.str();
}

Status save(const pugi::xml_document& doc, const std::string& path, bool ownerOnly) {
    return platform::writeFileAtomic(path, serialize(doc), ownerOnly);
}

} // namespace vx::xml
