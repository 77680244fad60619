#include "api/PageCalls.h"

#include "core/JsString.h"

namespace vx::page {

std::string jsString(std::string_view text) { return jsStringLiteral(text); }

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
