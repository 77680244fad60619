#pragma once
// Base64, the parameter scrambler and file digests.

#include <string>
#include <string_view>

#include "core/Expected.h"

namespace vx {

// Base64 (RFC 4648 alphabet, "=" padding, no line breaks) of raw bytes.
std::string base64Bytes(std::string_view bytes);
// Decodes base64 (padding required, no white space); an error for anything else.
Expected<std::string> base64Decode(std::string_view text);
// MD5 of bytes as 32 lowercase hexadecimal digits.
std::string md5HexLower(std::string_view bytes);

// Base64 of the text's bytes in the ANSI code page (characters the code page lacks become
// its default character). The empty text gives the empty text.
std::string Base64Encode(std::string_view text);

// The parameter scrambler: turns a user id (or "0") into the token the service and the page
// see. Base64 of the text, combined by exclusive or with the MD5 pad of a fixed key, and
// base64 again. Deterministic; "" gives "".
std::string ScrambleParam(std::string_view text);
// The reverse of ScrambleParam: the original text (UTF-8) of a token; an error when the
// token is not one the scrambler can produce.
Expected<std::string> UnscrambleParam(std::string_view token);

// MD5 of a file's bytes as 32 uppercase hexadecimal digits; the empty text when no file
// exists at the path. The file is opened so that other processes may read, write and
// delete it meanwhile. An error when the file exists but cannot be opened or read.
Expected<std::string> FileMD5(const std::string& path);
// CRC-32 (as zip entries carry it) of a file's bytes as 8 lowercase hexadecimal digits; the
// same rules as FileMD5.
Expected<std::string> FileCRC32(const std::string& path);

} // namespace vx
