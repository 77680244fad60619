#include "api/PageCalls.h"

namespace vx::page {

std::string jsString(std::string_view text) {
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

bool isBareNumber(std::string_view t) {
    std::size_t i = 0;
    if (i < t.size() && (t[i] == '-' || t[i] == '+'))
        ++i;
    std::size_t digits = 0;
    while (i < t.size() && t[i] >= '0' && t[i] <= '9')
        ++i, ++digits;
    if (digits == 0)
        return false;
    if (i < t.size() && t[i] == '.') {
        ++i;
        std::size_t frac = 0;
        while (i < t.size() && t[i] >= '0' && t[i] <= '9')
            ++i, ++frac;
        if (frac == 0)
            return false;
    }
    return i == t.size();
}

namespace {
const char* boolText(bool b) { return b ? "true" : "false"; }
} // namespace

std::string ST_Login(bool ok, std::string_view token, std::string_view text) {
    return "ST_Login(" + std::string(boolText(ok)) + "," + jsString(token) + "," +
           jsString(text) + ")";
}

std::string ST_setFlatDivAnlv(std::string_view appId, std::string_view text) {
    return "ST_setFlatDivAnlv(" + jsString(appId) + "," + jsString(text) + ")";
}

std::string tsmsg(std::string_view text) { return "tsmsg(" + jsString(text) + ")"; }

std::string ST_icoStatu(std::string_view appId, std::string_view status) {
    return "ST_icoStatu(" + jsString(appId) + "," + jsString(status) + ")";
}

std::optional<std::string> ST_jdt(std::string_view appId, std::string_view progress) {
    if (!isBareNumber(progress))
        return std::nullopt;
    return "ST_jdt(" + jsString(appId) + "," + std::string(progress) + ");";
}

std::string ST_writeUserList(std::string_view user, std::string_view pwd, bool hasPwd) {
    return "ST_writeUserList(" + jsString(user) + "," + jsString(pwd) + "," + boolText(hasPwd) +
           ",false);";
}

std::string ST_writeUserForm(std::string_view user, std::string_view pwd, bool hasPwd,
                             bool autoLogin) {
    return "ST_writeUserForm(" + jsString(user) + "," + jsString(pwd) + "," + boolText(hasPwd) +
           "," + boolText(autoLogin) + ");";
}

std::string ST_softStatu(std::string_view text) {
    return "ST_softStatu(" + jsString(text) + ")";
}

} // namespace vx::page
