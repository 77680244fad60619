#pragma once
// The texts of the page functions the client calls. Every string argument is written as a
// JavaScript string literal that reaches the page exactly: the values come from the service,
// Users.xml, the downloader and local programs, and must never become script.

#include <optional>
#include <string>
#include <string_view>

namespace vx::page {

// A double-quoted JavaScript string literal of a UTF-8 text. Escapes \ " control
// characters, U+2028, U+2029 and "</"; everything else stays as it is, so a plain text gives
// exactly "text".
std::string jsString(std::string_view text);

// True for a plain decimal number (digits with an optional sign and fraction), the only
// thing a bare argument may hold.
bool isBareNumber(std::string_view text);

std::string ST_Login(bool ok, std::string_view token, std::string_view text);
std::string ST_setFlatDivAnlv(std::string_view appId, std::string_view text);
std::string tsmsg(std::string_view text);
std::string ST_icoStatu(std::string_view appId, std::string_view status);
// nullopt when `progress` is not a bare number.
std::optional<std::string> ST_jdt(std::string_view appId, std::string_view progress);
std::string ST_writeUserList(std::string_view user, std::string_view pwd, bool hasPwd);
std::string ST_writeUserForm(std::string_view user, std::string_view pwd, bool hasPwd,
                             bool autoLogin);
std::string ST_softStatu(std::string_view text);

} // namespace vx::page
