#pragma once
// Small text helpers shared by the core. Texts are UTF-8 in std::string.

#include "core/Expected.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace vx {

// ASCII-only case folding: non-ASCII bytes are left alone.
std::string asciiLower(std::string_view s);
bool iequals(std::string_view a, std::string_view b);
// True when `needle` occurs in `haystack`, ASCII letters compared without regard to case.
bool icontains(std::string_view haystack, std::string_view needle);
// Without the spaces, tabs and line breaks at either end.
std::string trimSpaces(std::string_view s);

// UTF-8 <-> the system's ANSI code page (GBK on the systems the client serves). Characters
// the code page lacks become its default character "?", and each maximal subpart of an
// invalid UTF-8 sequence one "?" (the bytes after it are kept: "a\xE5Abc" -> "a?Abc"); a
// byte that starts no ANSI character becomes U+FFFD. The rules are those of
// platform::utf8ToAnsi / ansiToUtf8.
// On a system that has no converter for the code page, a text that is not pure ASCII
// cannot be converted: the try* forms then fail with the reason, and toAnsi / fromAnsi give
// an empty text, never a text of question marks that would pass for the right one (a path
// or a message built from it fails visibly instead of naming the wrong thing).
Expected<std::string> tryToAnsi(std::string_view utf8);
Expected<std::string> tryFromAnsi(std::string_view ansi);
std::string toAnsi(std::string_view utf8);
std::string fromAnsi(std::string_view ansi);

// Parses a decimal 32-bit signed integer (an optional sign and digits only); false for
// anything else, overflow included.
bool parseInt32(std::string_view text, int32_t& out);

// A path joined with the system's separator: folder (with or without a trailing
// separator) + name.
std::string joinPath(std::string_view folder, std::string_view name);

} // namespace vx
