// Programs the client starts, run under Wine: an application through LaunchFile, and the
// self-update script through Wine's own cmd.exe, in folders whose names have spaces and
// parentheses as "C:\Program Files (x86)\..." has.

#include <gtest/gtest.h>

#include "WinSupport.h"
#include "api/UJsExterned.h"
#include "core/Text.h"
#include "link/LinkNotify.h"
#include "platform/Platform.h"

using namespace wintest;
using Args = std::vector<std::string>;

namespace {

const std::string kProbe = "win_start_probe.exe";

bool copyProbe(const std::string& to) {
    return ::CopyFileW(wide(ownFolder() + kProbe).c_str(), wide(to).c_str(), FALSE) != FALSE;
}

struct Started {
    std::string cwd;
    Args args;
};

// What the probe at `exe` wrote about its start; none when it did not start.
std::optional<Started> startOf(const std::string& exe) {
    auto text = waitForFile(exe + ".txt");
    if (!text)
        return std::nullopt;
    Started s;
    for (std::size_t at = 0, nl; (nl = text->find('\n', at)) != std::string::npos; at = nl + 1) {
        std::string line = text->substr(at, nl - at);
        if (line.starts_with("cwd="))
            s.cwd = line.substr(4);
        else if (line.starts_with("arg="))
            s.args.push_back(line.substr(4));
    }
    return s;
}

std::string withoutFinalSlash(std::string p) {
    if (!p.empty() && p.back() == '\\')
        p.pop_back();
    return p;
}

} // namespace

TEST(LaunchFile, WithoutTheTaskServiceTheShellStartsTheApplication) {
    // Wine has no wdc.dll, so the task service is never there and the shell's start is what
    // runs; on Windows 10 and 11 the task service starts the application instead (checked
    // below by the command line it would be given).
    EXPECT_FALSE(vx::platform::runTaskAsInteractiveUser("cmd.exe /c exit", "C:\\"));

    TempFolder apps("apps (x86)");
    const std::string folder = apps / "应用 12\\";
    ASSERT_TRUE(vx::platform::createDirs(folder));
    ASSERT_TRUE(copyProbe(folder + "main app.exe"));
    const std::string params = "12 \"--from launcher\" 中文 a\\\\\"b c\"";
    const Args expected{"12", "--from launcher", "中文", "a\\b c"};

    bool started = false;
    EXPECT_FALSE(vx::LaunchFile("main app.exe", params, folder, &started));
    EXPECT_TRUE(started);
    auto s = startOf(folder + "main app.exe");
    ASSERT_TRUE(s) << "the application did not start";
    EXPECT_EQ(s->args, expected);
    EXPECT_EQ(s->cwd, withoutFinalSlash(folder));

    // Without parameters the program gets none.
    ASSERT_TRUE(copyProbe(folder + "bare.exe"));
    EXPECT_FALSE(vx::LaunchFile("bare.exe", "", folder, &started));
    EXPECT_TRUE(started);
    s = startOf(folder + "bare.exe");
    ASSERT_TRUE(s);
    EXPECT_EQ(s->args, Args{});

    // A missing main file is a failed start.
    EXPECT_FALSE(vx::LaunchFile("missing.exe", params, folder, &started));
    EXPECT_FALSE(started);
}

TEST(LaunchFile, TheTaskServiceCommandLineGivesTheSameArguments) {
    // The task service runs its command line as CreateProcess does, in the given folder. Run
    // here the same way, the application must see what the shell's start gave it.
    TempFolder apps("task (x86)");
    const std::string folder = apps / "应用 7\\";
    ASSERT_TRUE(vx::platform::createDirs(folder));
    ASSERT_TRUE(copyProbe(folder + "main app.exe"));
    const std::string params = "7 \"--from launcher\" 中文";
    const std::string line = vx::taskCommandLine("main app.exe", params);
    EXPECT_EQ(line, "\"main app.exe\" " + params);
    EXPECT_EQ(vx::taskCommandLine("main.exe", ""), "main.exe");

    std::wstring wline = wide(line);
    std::wstring exe = wide(folder + "main app.exe");
    std::wstring wfolder = wide(folder);
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    ASSERT_TRUE(::CreateProcessW(exe.c_str(), wline.data(), nullptr, nullptr, FALSE, 0, nullptr,
                                 wfolder.c_str(), &si, &pi));
    ::CloseHandle(pi.hThread);
    ::CloseHandle(pi.hProcess);
    auto s = startOf(folder + "main app.exe");
    ASSERT_TRUE(s);
    EXPECT_EQ(s->args, (Args{"7", "--from launcher", "中文"}));
    EXPECT_EQ(s->cwd, withoutFinalSlash(folder));
}

namespace {

// Waits until nothing is at the path any more.
bool waitForNoFile(const std::string& path) {
    const auto until = std::chrono::steady_clock::now() + kHangGuard;
    while (std::chrono::steady_clock::now() < until) {
        if (!exists(path))
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

// Writes the script as UpdateMain does: temp.bat in the working folder, which is the client's
// folder here, and runs it.
bool runUpdateScript(const std::string& app, int waitSeconds) {
    const std::string scriptFolder = withoutFinalSlash(app);
    const std::string script = vx::joinPath(scriptFolder, "temp.bat");
    return vx::platform::writeFileAtomic(script,
                                         vx::updateScriptWindows(app, "VXClient.exe", waitSeconds))
               .ok() &&
           vx::platform::runScriptDetached(script, scriptFolder);
}

} // namespace

TEST(UpdateScript, WinesCmdReplacesTheFilesAndStartsTheClientAgain) {
    // The client's folder as a user may have it: spaces and parentheses in the path.
    TempFolder root("Program Files (x86)");
    const std::string app = root / "VX Center (beta)\\";
    ASSERT_TRUE(vx::platform::createDirs(app + "Update"));
    ASSERT_TRUE(writeFile(app + "VXClient.exe", "old client"));
    ASSERT_TRUE(writeFile(app + "data.txt", "old data"));
    ASSERT_TRUE(writeFile(app + "keep.txt", "not updated"));
    ASSERT_TRUE(copyProbe(app + "Update\\VXClient.exe"));
    ASSERT_TRUE(writeFile(app + "Update\\data.txt", "new data"));
    const std::string scriptFolder = withoutFinalSlash(app);
    ASSERT_TRUE(runUpdateScript(app, 60));

    // On Windows the script waits five seconds before it moves anything (the guard is well
    // above that). Wine's script host returns from WScript.Sleep at once, so here the move
    // comes at once; the wait's own script is checked by its text below.
    auto s = startOf(app + "VXClient.exe");
    ASSERT_TRUE(s) << "the updated client was not started";
    EXPECT_EQ(s->cwd, scriptFolder);
    EXPECT_EQ(s->args, Args{});
    EXPECT_EQ(readFile(app + "data.txt"), "new data");
    EXPECT_EQ(readFile(app + "keep.txt"), "not updated");
    EXPECT_FALSE(exists(app + "Update\\VXClient.exe"));
    EXPECT_FALSE(exists(app + "Update\\data.txt"));
    // The replaced files wait for the new client's word (the probe cannot give it: the test
    // writes the markers as a client does, its process id as it starts and again once its
    // start page has loaded).
    EXPECT_EQ(readFile(app + "Update\\backup\\VXClient.exe"), "old client");
    EXPECT_EQ(readFile(app + "Update\\backup\\data.txt"), "old data");
    ASSERT_TRUE(writeFile(app + "Update\\started", "4321"));
    ASSERT_TRUE(writeFile(app + "Update\\healthy", "4321"));
    EXPECT_TRUE(waitForNoFile(app + "Update\\backup")) << "the backup was kept";
    EXPECT_TRUE(waitForNoFile(app + "Update\\healthy"));
    EXPECT_EQ(readFile(app + "data.txt"), "new data");
    EXPECT_FALSE(exists(app + "Update\\rolledback"));
    // Neither temp.bat nor delay.vbs is removed.
    EXPECT_TRUE(exists(vx::joinPath(scriptFolder, "temp.bat")));

    // The wait is the script host's: delay.vbs was written to the user's temporary folder, and
    // cscript ran it (an unknown script would have stopped nothing either, so its text counts).
    wchar_t tmp[MAX_PATH] = {};
    ::GetEnvironmentVariableW(L"TMP", tmp, MAX_PATH);
    auto vbs = readFile(withoutFinalSlash(utf8(tmp)) + "\\delay.vbs");
    ASSERT_TRUE(vbs);
    EXPECT_EQ(vbs->substr(0, vbs->find_last_not_of(" \r\n") + 1),
              "Wscript.Sleep WScript.Arguments(0)");
}

TEST(UpdateScript, WinesCmdPutsTheOldClientBackWhenTheNewOneDoesNotConfirm) {
    TempFolder root("Program Files (x86)");
    const std::string app = root / "VX Center (undo)\\";
    ASSERT_TRUE(vx::platform::createDirs(app + "Update"));
    // Both clients are the probe; the old one carries bytes after its image (it still runs),
    // so that the file put back can be told from the new one.
    ASSERT_TRUE(copyProbe(app + "Update\\VXClient.exe"));
    ASSERT_TRUE(copyProbe(app + "VXClient.exe"));
    auto probe = readFile(app + "VXClient.exe");
    ASSERT_TRUE(probe);
    const std::string oldClient = *probe + "old client";
    ASSERT_TRUE(writeFile(app + "VXClient.exe", oldClient));
    ASSERT_TRUE(writeFile(app + "data.txt", "old data"));
    ASSERT_TRUE(writeFile(app + "keep.txt", "not updated"));
    ASSERT_TRUE(writeFile(app + "Update\\data.txt", "new data"));
    // A marker of an earlier update decides nothing.
    ASSERT_TRUE(writeFile(app + "Update\\healthy", ""));
    ASSERT_TRUE(runUpdateScript(app, 1));
    // Nor does one that is not the started client's own id.
    ASSERT_TRUE(writeFile(app + "Update\\started", "4321"));
    ASSERT_TRUE(writeFile(app + "Update\\healthy", "1234"));

    // The new client starts and stays silent; after the time limit (ping's one-second waits,
    // real under Wine too) the script ends it and puts the old files back.
    ASSERT_TRUE(startOf(app + "VXClient.exe")) << "the new client was not started";
    EXPECT_EQ(readFile(app + "VXClient.exe"), probe);
    EXPECT_EQ(readFile(app + "data.txt"), "new data");
    ASSERT_TRUE(::DeleteFileW(wide(app + "VXClient.exe.txt").c_str()));
    ASSERT_TRUE(waitForFile(app + "Update\\rolledback")) << "the update was not undone";
    auto s = startOf(app + "VXClient.exe");
    ASSERT_TRUE(s) << "the old client was not started again";
    EXPECT_EQ(s->cwd, withoutFinalSlash(app));
    EXPECT_EQ(readFile(app + "VXClient.exe"), oldClient);
    EXPECT_EQ(readFile(app + "data.txt"), "old data");
    EXPECT_EQ(readFile(app + "keep.txt"), "not updated");
    EXPECT_FALSE(exists(app + "Update\\backup"));
    EXPECT_FALSE(exists(app + "Update\\healthy"));
    EXPECT_FALSE(exists(app + "Update\\started"));
}

TEST(UpdateScript, AScriptThatCannotStartIsReported) {
    TempFolder root("no start");
    EXPECT_FALSE(vx::platform::runScriptDetached(root / "missing folder\\temp.bat",
                                                 root / "missing folder"));
    EXPECT_FALSE(vx::platform::runScriptDetached(root / "a b.bat", withoutFinalSlash(root.path())));
}

TEST(UpdateScript, WinesCmdUndoesItsMovesWhenOneFails) {
    TempFolder root("Program Files (x86)");
    const std::string app = root / "VX Center (refused)\\";
    ASSERT_TRUE(vx::platform::createDirs(app + "Update"));
    ASSERT_TRUE(copyProbe(app + "VXClient.exe"));
    auto probe = readFile(app + "VXClient.exe");
    ASSERT_TRUE(probe);
    const std::string oldClient = *probe + "old client";
    ASSERT_TRUE(writeFile(app + "VXClient.exe", oldClient));
    ASSERT_TRUE(writeFile(app + "a.txt", "old a"));
    ASSERT_TRUE(writeFile(app + "locked2", "old locked"));
    ASSERT_TRUE(copyProbe(app + "Update\\VXClient.exe"));
    ASSERT_TRUE(writeFile(app + "Update\\a.txt", "new a"));
    ASSERT_TRUE(writeFile(app + "Update\\added.txt", "added"));
    ASSERT_TRUE(writeFile(app + "Update\\locked2", "new locked"));
    // A file in use (opened without sharing) cannot be moved aside: wherever it comes in the
    // script's order, the moves before it are undone.
    HANDLE held = ::CreateFileW(wide(app + "locked2").c_str(), GENERIC_READ, 0, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(runUpdateScript(app, 60));
    // The old client is started again at once, in front of the files it had.
    ASSERT_TRUE(waitForFile(app + "Update\\rolledback")) << "the failed move was not undone";
    ::CloseHandle(held);
    ASSERT_TRUE(startOf(app + "VXClient.exe")) << "the old client was not started again";
    EXPECT_EQ(readFile(app + "VXClient.exe"), oldClient);
    EXPECT_EQ(readFile(app + "a.txt"), "old a");
    EXPECT_EQ(readFile(app + "locked2"), "old locked");
    EXPECT_FALSE(exists(app + "added.txt"));
    // The downloaded files are back where they were, and nothing of the script is left.
    EXPECT_EQ(readFile(app + "Update\\a.txt"), "new a");
    EXPECT_EQ(readFile(app + "Update\\added.txt"), "added");
    EXPECT_FALSE(exists(app + "Update\\backup"));
    EXPECT_FALSE(exists(app + "Update\\moved.lst"));
}
