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

std::string trimSpaces(std::string_view s) {
    const auto first = s.find_first_not_of(" \t\r\n");
    if (first == std::string_view::npos)
        return {};
    return std::string(s.substr(first, s.find_last_not_of(" \t\r\n") + 1 - first));
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

Expected<std::string> tryToAnsi(std::string_view utf8) { return platform::utf8ToAnsi(utf8); }
Expected<std::string> tryFromAnsi(std::string_view ansi) { return platform::ansiToUtf8(ansi); }
std::string toAnsi(std::string_view utf8) { return tryToAnsi(utf8).valueOr({}); }
std::string fromAnsi(std::string_view ansi) { return tryFromAnsi(ansi).valueOr({}); }

bool parseInt32(std::string_view v, int32_t& out) {
    std::size_t i = 0;
    bool negative = false;
    if (i < v.size() && (v[i] == '-' || v[i] == '+'))
        negative = v[i++] == '-';
    if (i == v.size())
        return false;
    int64_t n = 0;
    for (; i < v.size(); ++i) {
        if (v[i] < '0' || v[i] > '9')
            return false;
        n = n * 10 + (v[i] - '0');
        if (n > (int64_t{1} << 31))
            return false;
    }
    n = negative ? -n : n;
    if (n > INT32_MAX || n < INT32_MIN)
        return false;
    out = static_cast<int32_t>(n);
    return true;
}

std::string joinPath(std::string_view folder, std::string_view name) {
    std::string out(folder);
    if (!out.empty() && out.back() != '/' && out.back() != platform::kSeparator)
        out += platform::kSeparator;
    out += name;
    return out;
}

} // namespace vx
