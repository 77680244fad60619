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
                                int waitSeconds, bool moveFiles, long oldClientPid) {
    const char* crlf = "\r\n";
    const std::string update = appPath + "Update\\";
    const std::string backup = update + "backup";
    const std::string moved = update + "moved.lst";
    const std::string started = update + "started";
    // The client by its full path: the working folder is not always the client's.
    const std::string start = "start \"\" \"" + appPath + exeName + "\"";
    std::string s;
    auto line = [&](const std::string& l) { s += l + crlf; };
    line("@echo off");
    line("echo Wscript.Sleep WScript.Arguments(0) >%tmp%\\delay.vbs");
    line("echo 将在 5 秒后完成升级");
    line("cscript //b //nologo %tmp%\\delay.vbs 5000");
    if (oldClientPid > 0) {
        // Then until the old client's process has ended (at most a minute): its files are
        // free only then. (Wine's tasklist lists nothing, so there the five seconds remain.)
        const std::string pid = std::to_string(oldClientPid);
        line("set n=0");
        line(":old");
        line("tasklist /fi \"PID eq " + pid + "\" /nh 2>nul | find \" " + pid + " \" >nul");
        line("if errorlevel 1 goto free");
        line("if %n% geq 60 goto free");
        line("ping -n 2 127.0.0.1 >nul");
        line("set /a n+=1");
        line("goto old");
        line(":free");
    }
    if (!moveFiles) {
        // A restart without a verified download of this run: nothing is moved.
        line(start);
        line("exit");
        return toAnsi(s);
    }
    // Markers of an earlier update would decide this one.
    line("if exist \"" + backup + "\\\" rd /s /q \"" + backup + "\"");
    line("del /q \"" + update + "healthy\" \"" + update + "rolledback\" \"" + moved + "\" 2>nul");
    line("md \"" + backup + "\"");
    // One file at a time (a "for" over a wildcard names files only), so that the backup
    // folder stays where it is and each replaced file goes there first. The "for" runs in the
    // folder itself: Wine's cmd reads a ")" of the path in its set as the set's end, even
    // quoted ("Program Files (x86)"). A move that fails stops the loop and undoes the moves
    // made so far.
    line("set failed=");
    line("pushd \"" + update + "\"");
    line("for %%f in (*.*) do if not defined failed if /i not \"%%~nxf\"==\"moved.lst\" call :replace \"%%~nxf\"");
    line("popd");
    line("if defined failed goto restore");
    line("del /q \"" + started + "\" 2>nul");
    line(start);
    // The new client leaves its process id in Update\started as it starts and writes the same
    // id into Update\healthy once its page has loaded; a marker with another id (or none) is
    // not its word. ping is the one-second wait that holds on every Windows (and under Wine,
    // whose WScript.Sleep returns at once).
    line("set n=0");
    line(":wait");
    line("set me=");
    line("set ok=");
    line("if exist \"" + started + "\" set /p me=<\"" + started + "\"");
    line("if exist \"" + update + "healthy\" set /p ok=<\"" + update + "healthy\"");
    line("if defined me if \"%ok%\"==\"%me%\" goto confirmed");
    line("if %n% geq " + std::to_string(waitSeconds) + " goto undo");
    line("ping -n 2 127.0.0.1 >nul");
    line("set /a n+=1");
    line("goto wait");
    line(":undo");
    // A new client that hangs holds its files: it ends, by its process id, before they are
    // put back. One that left no id never got that far.
    line("if defined me taskkill /f /pid %me% >nul 2>nul");
    line("ping -n 2 127.0.0.1 >nul");
    line("move /y \"" + backup + "\\*.*\" \"" + appPath + "\" >nul");
    line("rd \"" + backup + "\"");
    line("del /q \"" + update + "healthy\" \"" + moved + "\" \"" + started + "\" 2>nul");
    line("echo.>\"" + update + "rolledback\"");
    line(start);
    line("exit");
    line(":restore");
    // The new files moved in so far go back to Update, the kept old ones into place.
    line("if exist \"" + moved + "\" for /f \"usebackq delims=\" %%m in (\"" + moved +
         "\") do move /y \"" + appPath + "%%m\" \"" + update + "\" >nul");
    line("move /y \"" + backup + "\\*.*\" \"" + appPath + "\" >nul");
    line("rd \"" + backup + "\"");
    line("del /q \"" + moved + "\" 2>nul");
    line("echo.>\"" + update + "rolledback\"");
    line(start);
    line("exit");
    line(":confirmed");
    line("rd /s /q \"" + backup + "\"");
    line("del /q \"" + update + "healthy\" \"" + moved + "\" \"" + started + "\" 2>nul");
    line("exit");
    // One step a line, each checked by its errorlevel: Wine's cmd reads a "(...)" group after
    // "||" on to the following lines.
    line(":replace");
    line("if not exist \"" + appPath + "%~1\" goto replacenew");
    line("move /y \"" + appPath + "%~1\" \"" + backup + "\\\" >nul");
    line("if errorlevel 1 goto replacefailed");
    line(":replacenew");
    line("move /y \"" + update + "%~1\" \"" + appPath + "\" >nul");
    line("if errorlevel 1 goto replacefailed");
    // The redirection first: a name ending in a digit would otherwise name a handle.
    line(">>\"" + moved + "\" echo %~1");
    line("goto :eof");
    line(":replacefailed");
    line("set failed=1");
    line("goto :eof");
    return toAnsi(s);
}

std::string updateScriptPosix(const std::string& appPath, const std::string& exeName,
                              int waitSeconds, long oldClientPid,
                              const std::vector<std::string>& files) {
    const std::string wait = std::to_string(waitSeconds);
    std::string s;
    s += "#!/bin/sh\n";
    s += "# Replaces the client by the files downloaded into its Update folder and restarts it.\n";
    s += "# The replaced files wait in Update/backup until the client started here writes its\n";
    s += "# process id into Update/healthy; a new client that exits before, or stays silent for\n";
    s += "# " + wait + " seconds, is undone.\n";
    s += "app=" + shellQuote(appPath) + "\n";
    s += "upd=" + shellQuote(appPath + "Update/") + "\n";
    s += "exe=" + shellQuote(appPath + exeName) + "\n";
    s += "old=" + std::to_string(oldClientPid > 0 ? oldClientPid : 0) + "\n";
    s += "echo '将在 5 秒后完成升级'\n";
    // The old client has ended, so its files are free (a zombie has ended too); at most a
    // minute, should its id be taken by another program meanwhile.
    s += "i=0\n";
    s += "while [ \"$old\" -gt 0 ] && kill -0 \"$old\" 2>/dev/null && [ \"$i\" -lt 600 ]; do\n";
    s += "  case \"$(sed 's/^.*) //' \"/proc/$old/stat\" 2>/dev/null)\" in Z*) break ;; esac\n";
    s += "  sleep 0.1\n";
    s += "  i=$((i + 1))\n";
    s += "done\n";
    // The verified files of this update, by name; none: a restart.
    s += "set --";
    for (const std::string& f : files)
        s += " " + shellQuote(f);
    s += "\n";
    s += "[ $# -eq 0 ] && exec \"$exe\"\n";
    // Markers of an earlier update would decide this one.
    s += "rm -rf \"${upd}backup\" \"${upd}healthy\" \"${upd}rolledback\"\n";
    s += "mkdir -p \"${upd}backup\"\n";
    s += "for n in \"$@\"; do\n";
    s += "  f=\"$upd$n\"\n";
    s += "  [ -f \"$f\" ] || continue\n";
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
    // Only the client started here confirms: its own process id.
    s += "while [ \"$(cat \"${upd}healthy\" 2>/dev/null)\" != \"$pid\" ]; do\n";
    // The shell reaps the exited client while it waits for sleep, so kill -0 then fails.
    s += "  if ! kill -0 \"$pid\" 2>/dev/null || [ \"$t\" -ge " + wait + " ]; then\n";
    // A client that confirmed and ended at once, between the two looks, keeps its files.
    s += "    [ \"$(cat \"${upd}healthy\" 2>/dev/null)\" = \"$pid\" ] && break\n";
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
    s += "    rm -f \"${upd}healthy\" \"${upd}started\"\n";
    s += "    : > \"${upd}rolledback\"\n";
    s += "    exec \"$exe\"\n";
    s += "  fi\n";
    s += "  sleep 1\n";
    s += "  t=$((t + 1))\n";
    s += "done\n";
    s += "rm -rf \"${upd}backup\" \"${upd}healthy\" \"${upd}started\"\n";
    return s;
}

} // namespace vx
