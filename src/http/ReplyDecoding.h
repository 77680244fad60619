#pragma once
// Decoding of HTTP reply bodies: the content encoding (gzip) and the character set of
// text replies, chosen from the reply itself.

#include "core/Expected.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace vx {

// Inflates one gzip member (RFC 1952). Verifies the magic bytes, method 8 and the
// reserved flag bits, skips the optional extra, name, comment and header-CRC fields, and
// compares the trailer's CRC-32 and length with the output. Bytes after the member are
// ignored. Fails on any of these checks, on truncated or corrupt deflate data, and when the
// output would exceed maxOutput bytes (a small reply must not inflate without end).
Expected<std::string> gunzip(std::string_view body, std::size_t maxOutput = SIZE_MAX);

// The content rule: a Content-Encoding value that contains "gzip" anywhere, in any letter
// case ("gzip", "x-gzip", "GZIP"), makes the body a gzip stream to inflate; anything else,
// "deflate" included, leaves the body unchanged.
// maxOutput limits the inflated size as for gunzip.
Expected<std::string> decodeContent(std::string_view rawBody, std::string_view contentEncoding,
                                    std::size_t maxOutput = SIZE_MAX);

// The charset parameter of a Content-Type value ("text/xml; charset=utf-8" -> "utf-8"),
// unquoted; empty when there is none.
std::string contentTypeCharset(std::string_view contentType);

// Bytes decoded with a character-set name (IANA or code-page name, "gb2312" = code page
// 936); a name that denotes no known character set decodes as 7-bit ASCII, bytes above
// 0x7F becoming U+FFFD. Result in UTF-8; never fails.
std::string decodeWithCharset(std::string_view bytes, std::string_view charset);

// The text rule of GET replies: the declaration found by "<meta[\S\s]*?charset=(.*?)>",
// or else "encoding=[^>]+", searched without regard to case in the body read with the ANSI
// code page, picks UTF-8 (when the whole match contains "utf-8"; sets isutf8) or the
// default label's character set (clears isutf8). With no declaration the ANSI code page
// stays and isutf8 is left as it was. The reply's Content-Type is not consulted.
std::string decodeGetText(std::string_view content, std::string_view defaultLabel, bool& isutf8);

// The text rule of POST replies: a non-empty charset parameter of the reply's Content-Type
// decides (isutf8 exactly when it is "utf-8" in any case); otherwise the GET rule with the
// greedy "<meta[\S\s]*?charset=(.*)>".
std::string decodePostText(std::string_view content, std::string_view charsetParam,
                           std::string_view defaultLabel, bool& isutf8);

} // namespace vx
