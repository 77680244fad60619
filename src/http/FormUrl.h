#pragma once
// Form-URL encoding of 8-bit text: space as "+", other bytes outside a small safe set as
// "%XX". Callers convert text to the ANSI code page before encoding and read decoded bytes
// in that code page.

#include <string>
#include <string_view>

#include "core/Expected.h"

namespace vx {

// Copies A-Z a-z 0-9 and ! $ ' ( ) * - . @ _ unchanged, turns a space into "+" and every
// other byte into "%" and two upper-case hexadecimal digits. Stops at the first NUL byte.
std::string FormUrlEncode(std::string_view bytes);

// "+" becomes a space, "%%" a "%", "%XY" the byte 0xXY (either letter case); every other
// byte is copied. A "%" with fewer than two characters after it, or followed by two that
// are not hexadecimal, is an error whose message gives the zero-based offset of the
// character after the "%".
Expected<std::string> FormUrlDecode(std::string_view text);

} // namespace vx
