#pragma once
// Small text helpers shared by the core. Texts are UTF-8 in std::string.

#include <cstdint>
#include <string>
#include <string_view>

namespace vx {

// ASCII-only case folding: non-ASCII bytes are left alone.
std::string asciiLower(std::string_view s);
bool iequals(std::string_view a, std::string_view b);
// True when `needle` occurs in `haystack`, ASCII letters compared without regard to case.
bool icontains(std::string_view haystack, std::string_view needle);

// UTF-8 <-> the system's ANSI code page (GBK on the systems the client serves). Characters
// the code page lacks become its default character "?".
std::string toAnsi(std::string_view utf8);
std::string fromAnsi(std::string_view ansi);

// Parses a decimal 32-bit signed integer (an optional sign and digits only); false for
// anything else, overflow included.
bool parseInt32(std::string_view text, int32_t& out);

// A path joined with the system's separator: folder (with or without a trailing
// separator) + name.
std::string joinPath(std::string_view folder, std::string_view name);

} // namespace vx
