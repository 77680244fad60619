// The scripts of the client's self-update, apart from the page API so that the Windows
// cross build can run the very text the client writes.

#include "api/UJsExterned.h"

#include "core/Text.h"

namespace vx {

namespace {

std::string shellQuote(std::string_view s) {
    std::string q = "'";
    for (char c : s)
        q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

} // namespace

std::string updateScriptWindows(const std::string& appPath, const std::string& exeName) {
    const char* crlf = "\r\n";
    std::string s;
    s += std::string("@echo off") + crlf;
    s += std::string("echo Wscript.Sleep WScript.Arguments(0) >%tmp%\\delay.vbs") + crlf;
    s += std::string("echo 将在 5 秒后完成升级") + crlf;
    s += std::string("cscript //b //nologo %tmp%\\delay.vbs 5000") + crlf;
    s += "move \"" + appPath + "Update\\*.*\" \"" + appPath + "\"" + crlf;
    s += "start " + exeName + crlf;
    s += std::string("exit") + crlf;
    return toAnsi(s);
}

std::string updateScriptPosix(const std::string& appPath, const std::string& exeName) {
    std::string s;
    s += "#!/bin/sh\n";
    s += "# Replaces the client by the files downloaded into its Update folder and restarts it.\n";
    s += "echo '将在 5 秒后完成升级'\n";
    s += "sleep 5\n";
    s += "for f in " + shellQuote(appPath + "Update/") + "*; do\n";
    s += "  [ -f \"$f\" ] || continue\n";
    // A downloaded file replacing a program must stay runnable.
    s += "  [ -x " + shellQuote(appPath) + "\"$(basename \"$f\")\" ] && chmod +x \"$f\"\n";
    s += "  mv -f \"$f\" " + shellQuote(appPath) + "\n";
    s += "done\n";
    s += "exec " + shellQuote(appPath + exeName) + "\n";
    return s;
}

} // namespace vx
