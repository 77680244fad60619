#include "core/JsString.h"

namespace vx {

std::string jsStringLiteral(std::string_view text) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(text.size() + 2);
    out += '"';
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        switch (c) {
        case '"': out += "\\\""; continue;
        case '\\': out += "\\\\"; continue;
        case '\n': out += "\\n"; continue;
        case '\r': out += "\\r"; continue;
        case '\t': out += "\\t"; continue;
        default: break;
        }
        if (c < 0x20 || c == 0x7F) {
            out += "\\u00";
            out += kHex[c >> 4];
            out += kHex[c & 15];
        } else if (c == 0xE2 && i + 2 < text.size() && text[i + 1] == '\x80' &&
                   (text[i + 2] == '\xA8' || text[i + 2] == '\xA9')) {
            // U+2028 and U+2029 end a line in older script engines.
            out += text[i + 2] == '\xA8' ? "\\u2028" : "\\u2029";
            i += 2;
        } else if (c == '<' && i + 1 < text.size() && text[i + 1] == '/') {
            // "</script>" inside an inline script would end it.
            out += "<\\/";
            ++i;
        } else {
            out += static_cast<char>(c);
        }
    }
    out += '"';
    return out;
}

} // namespace vx
