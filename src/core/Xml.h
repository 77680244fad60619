#pragma once
// XML helpers over pugixml with the client's lookup rules: an element is the first one of
// that name anywhere below a node (depth-first, document order, name compared without
// regard to ASCII case); a missing attribute reads as empty.

#include <pugixml.hpp>
#include <functional>
#include <string>
#include <string_view>

#include "core/Expected.h"

namespace vx::xml {

// The first element named `name` strictly below `under`; an empty node when there is none.
pugi::xml_node findElement(pugi::xml_node under, std::string_view name);
// Visits every element below `under` in document order (depth-first), until `visit` returns
// false.
void forEachElementBelow(pugi::xml_node under, const std::function<bool(pugi::xml_node)>& visit);
// The attribute `name` of `node` (name compared without regard to case); empty when missing.
std::string attr(pugi::xml_node node, std::string_view name);
// The text of an element: its first text or CDATA child; empty for an empty node.
std::string text(pugi::xml_node node);
// The text of the first element named `name` below `under`; empty when there is none.
std::string elementText(pugi::xml_node under, std::string_view name);

// Parses a document from text; the error says what is wrong and where.
Status parse(pugi::xml_document& doc, std::string_view text);
// Parses a file; the error names the file.
Status load(pugi::xml_document& doc, const std::string& path);
// The whole content of a file; the error names the file (missing, denied, a read error).
Expected<std::string> readFile(const std::string& path);
// The document as indented UTF-8 text, with an XML declaration.
std::string serialize(const pugi::xml_document& doc);
// Writes the document indented in UTF-8, atomically: the old file stays whole when the
// write fails. With ownerOnly the file is readable by its owner alone (POSIX).
Status save(const pugi::xml_document& doc, const std::string& path, bool ownerOnly = false);

} // namespace vx::xml
