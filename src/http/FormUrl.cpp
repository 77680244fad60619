#include "http/FormUrl.h"

namespace vx {

namespace {

bool isUnreserved(unsigned char c) {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'))
        return true;
    switch (c) {
    case '!': case '$': case '\'': case '(': case ')': case '*': case '-': case '.': case '@':
    case '_':
        return true;
    default:
        return false;
    }
}

int hexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

} // namespace

std::string FormUrlEncode(std::string_view bytes) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(bytes.size() * 3);
    for (char ch : bytes) {
        auto c = static_cast<unsigned char>(ch);
        if (c == 0)
            break;
        if (isUnreserved(c)) {
            out += ch;
        } else if (c == ' ') {
            out += '+';
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        }
    }
    return out;
}

Expected<std::string> FormUrlDecode(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '+') {
            out += ' ';
        } else if (c != '%') {
            out += c;
        } else if (i + 1 < text.size() && text[i + 1] == '%') {
            out += '%';
            ++i;
        } else if (i + 2 >= text.size()) {
            return Error{"Error decoding URL style (%XX) encoded string at position " +
                         std::to_string(i + 1)};
        } else {
            int hi = hexValue(text[i + 1]), lo = hexValue(text[i + 2]);
            if (hi < 0 || lo < 0)
                return Error{"Invalid URL encoded character (" +
                             std::string(text.substr(i, 3)) + ") at position " +
                             std::to_string(i + 1)};
            out += static_cast<char>(hi * 16 + lo);
            i += 2;
        }
    }
    return out;
}

} // namespace vx
