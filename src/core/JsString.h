#pragma once
// JavaScript string literals for values the client puts into script it runs in a page.

#include <string>
#include <string_view>

namespace vx {

// A double-quoted JavaScript string literal of a UTF-8 text that reaches the script exactly
// as given. Escapes \ " control characters, U+2028, U+2029 and "</"; everything else stays
// as it is, so a plain text gives exactly "text".
std::string jsStringLiteral(std::string_view text);

} // namespace vx
