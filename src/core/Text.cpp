#include "core/Text.h"

#include "platform/Platform.h"

namespace vx {

namespace {
char lowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }
} // namespace

std::string asciiLower(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        c = lowerAscii(c);
    return out;
}

bool iequals(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (lowerAscii(a[i]) != lowerAscii(b[i]))
            return false;
    return true;
}

bool icontains(std::string_view haystack, std::string_view needle) {
    if (needle.empty())
        return true;
    if (needle.size() > haystack.size())
        return false;
    for (std::size_t i = 0; i + needle.size() <= haystack.size(); ++i)
        if (iequals(haystack.substr(i, needle.size()), needle))
            return true;
    return false;
}

std::string toAnsi(std::string_view utf8) { return platform::utf8ToAnsi(utf8); }
std::string fromAnsi(std::string_view ansi) { return platform::ansiToUtf8(ansi); }

std::string joinPath(std::string_view folder, std::string_view name) {
    std::string out(folder);
    if (!out.empty() && out.back() != '/' && out.back() != platform::kSeparator)
        out += platform::kSeparator;
    out += name;
    return out;
}

} // namespace vx
