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

std::string updateScriptWindows(const std::string& appPath, const std::string& exeName,
                                int waitSeconds) {
    const char* crlf = "\r\n";
    const std::string update = appPath + "Update\\";
    const std::string backup = update + "backup";
    std::string s;
    auto line = [&](const std::string& l) { s += l + crlf; };
    line("@echo off");
    line("echo Wscript.Sleep WScript.Arguments(0) >%tmp%\\delay.vbs");
    line("echo 将在 5 秒后完成升级");
    line("cscript //b //nologo %tmp%\\delay.vbs 5000");
    // Markers of an earlier update would decide this one.
    line("if exist \"" + backup + "\\\" rd /s /q \"" + backup + "\"");
    line("del /q \"" + update + "healthy\" \"" + update + "rolledback\" 2>nul");
    line("md \"" + backup + "\"");
    // One file at a time (a "for" over a wildcard names files only), so that the backup
    // folder stays where it is and each replaced file goes there first. The "for" runs in the
    // folder itself: Wine's cmd reads a ")" of the path in its set as the set's end, even
    // quoted ("Program Files (x86)").
    line("pushd \"" + update + "\"");
    line("for %%f in (*.*) do call :replace \"%%~nxf\"");
    line("popd");
    line("start " + exeName);
    // The new client writes Update\healthy once it runs; ping is the one-second wait
    // that holds on every Windows (and under Wine, whose WScript.Sleep returns at once).
    line("set n=0");
    line(":wait");
    line("if exist \"" + update + "healthy\" goto confirmed");
    line("if %n% geq " + std::to_string(waitSeconds) + " goto undo");
    line("ping -n 2 127.0.0.1 >nul");
    line("set /a n+=1");
    line("goto wait");
    line(":undo");
    // A new client that hangs holds its files: it ends before they are put back.
    line("taskkill /f /im " + exeName + " >nul 2>nul");
    line("ping -n 2 127.0.0.1 >nul");
    line("move /y \"" + backup + "\\*.*\" \"" + appPath + "\" >nul");
    line("rd \"" + backup + "\"");
    line("echo.>\"" + update + "rolledback\"");
    line("start " + exeName);
    line("exit");
    line(":confirmed");
    line("rd /s /q \"" + backup + "\"");
    line("del /q \"" + update + "healthy\"");
    line("exit");
    line(":replace");
    line("if exist \"" + appPath + "%~1\" move /y \"" + appPath + "%~1\" \"" + backup +
         "\\\" >nul");
    line("move /y \"" + update + "%~1\" \"" + appPath + "\" >nul");
    line("goto :eof");
    return toAnsi(s);
}

std::string updateScriptPosix(const std::string& appPath, const std::string& exeName,
                              int waitSeconds) {
    const std::string wait = std::to_string(waitSeconds);
    std::string s;
    s += "#!/bin/sh\n";
    s += "# Replaces the client by the files downloaded into its Update folder and restarts it.\n";
    s += "# The replaced files wait in Update/backup until the new client writes Update/healthy;\n";
    s += "# a new client that exits before, or stays silent for " + wait + " seconds, is undone.\n";
    s += "app=" + shellQuote(appPath) + "\n";
    s += "upd=" + shellQuote(appPath + "Update/") + "\n";
    s += "exe=" + shellQuote(appPath + exeName) + "\n";
    s += "echo '将在 5 秒后完成升级'\n";
    s += "sleep 5\n";
    // Markers of an earlier update would decide this one.
    s += "rm -rf \"${upd}backup\" \"${upd}healthy\" \"${upd}rolledback\"\n";
    s += "mkdir -p \"${upd}backup\"\n";
    s += "for f in \"$upd\"*; do\n";
    s += "  [ -f \"$f\" ] || continue\n";
    s += "  n=$(basename \"$f\")\n";
    s += "  if [ -e \"$app$n\" ]; then\n";
    // A downloaded file replacing a program must stay runnable.
    s += "    [ -x \"$app$n\" ] && chmod +x \"$f\"\n";
    s += "    mv -f \"$app$n\" \"${upd}backup/\"\n";
    s += "  fi\n";
    s += "  mv -f \"$f\" \"$app\"\n";
    s += "done\n";
    s += "\"$exe\" &\n";
    s += "pid=$!\n";
    s += "t=0\n";
    s += "while [ ! -f \"${upd}healthy\" ]; do\n";
    // The shell reaps the exited client while it waits for sleep, so kill -0 then fails.
    s += "  if ! kill -0 \"$pid\" 2>/dev/null || [ \"$t\" -ge " + wait + " ]; then\n";
    s += "    kill \"$pid\" 2>/dev/null\n";
    s += "    i=0\n";
    s += "    while kill -0 \"$pid\" 2>/dev/null && [ \"$i\" -lt 10 ]; do\n";
    s += "      sleep 1\n";
    s += "      i=$((i + 1))\n";
    s += "    done\n";
    s += "    kill -9 \"$pid\" 2>/dev/null\n";
    s += "    for f in \"${upd}backup/\"*; do\n";
    s += "      [ -f \"$f\" ] && mv -f \"$f\" \"$app\"\n";
    s += "    done\n";
    s += "    rmdir \"${upd}backup\"\n";
    s += "    : > \"${upd}rolledback\"\n";
    s += "    exec \"$exe\"\n";
    s += "  fi\n";
    s += "  sleep 1\n";
    s += "  t=$((t + 1))\n";
    s += "done\n";
    s += "rm -rf \"${upd}backup\" \"${upd}healthy\"\n";
    return s;
}

} // namespace vx
