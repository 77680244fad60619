#include "ApiFixture.h"

#include "core/Text.h"

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace apitest;

TEST(UpdateScript, WindowsTextLineByLine) {
    std::string text = vx::updateScriptWindows("C:\\Apps\\Client\\", "VXClient.exe", 45, true, 4242);
    std::string utf8 = vx::fromAnsi(text);
    EXPECT_EQ(utf8, "@echo off\r\n"
                    "echo Wscript.Sleep WScript.Arguments(0) >%tmp%\\delay.vbs\r\n"
                    "echo 将在 5 秒后完成升级\r\n"
                    "cscript //b //nologo %tmp%\\delay.vbs 5000\r\n"
                    "set n=0\r\n"
                    ":old\r\n"
                    "tasklist /fi \"PID eq 4242\" /nh 2>nul | find \" 4242 \" >nul\r\n"
                    "if errorlevel 1 goto free\r\n"
                    "if %n% geq 60 goto free\r\n"
                    "ping -n 2 127.0.0.1 >nul\r\n"
                    "set /a n+=1\r\n"
                    "goto old\r\n"
                    ":free\r\n"
                    "if exist \"C:\\Apps\\Client\\Update\\backup\\\" rd /s /q \"C:\\Apps\\Client\\Update\\backup\"\r\n"
                    "del /q \"C:\\Apps\\Client\\Update\\healthy\" \"C:\\Apps\\Client\\Update\\rolledback\" \"C:\\Apps\\Client\\Update\\moved.lst\" 2>nul\r\n"
                    "md \"C:\\Apps\\Client\\Update\\backup\"\r\n"
                    "set failed=\r\n"
                    "pushd \"C:\\Apps\\Client\\Update\\\"\r\n"
                    "for %%f in (*.*) do if not defined failed if /i not \"%%~nxf\"==\"moved.lst\" call :replace \"%%~nxf\"\r\n"
                    "popd\r\n"
                    "if defined failed goto restore\r\n"
                    "del /q \"C:\\Apps\\Client\\Update\\started\" 2>nul\r\n"
                    "start \"\" \"C:\\Apps\\Client\\VXClient.exe\"\r\n"
                    "set n=0\r\n"
                    ":wait\r\n"
                    "set me=\r\n"
                    "set ok=\r\n"
                    "if exist \"C:\\Apps\\Client\\Update\\started\" set /p me=<\"C:\\Apps\\Client\\Update\\started\"\r\n"
                    "if exist \"C:\\Apps\\Client\\Update\\healthy\" set /p ok=<\"C:\\Apps\\Client\\Update\\healthy\"\r\n"
                    "if defined me if \"%ok%\"==\"%me%\" goto confirmed\r\n"
                    "if %n% geq 45 goto undo\r\n"
                    "ping -n 2 127.0.0.1 >nul\r\n"
                    "set /a n+=1\r\n"
                    "goto wait\r\n"
                    ":undo\r\n"
                    "if defined me taskkill /f /pid %me% >nul 2>nul\r\n"
                    "ping -n 2 127.0.0.1 >nul\r\n"
                    "move /y \"C:\\Apps\\Client\\Update\\backup\\*.*\" \"C:\\Apps\\Client\\\" >nul\r\n"
                    "rd \"C:\\Apps\\Client\\Update\\backup\"\r\n"
                    "del /q \"C:\\Apps\\Client\\Update\\healthy\" \"C:\\Apps\\Client\\Update\\moved.lst\" \"C:\\Apps\\Client\\Update\\started\" 2>nul\r\n"
                    "echo.>\"C:\\Apps\\Client\\Update\\rolledback\"\r\n"
                    "start \"\" \"C:\\Apps\\Client\\VXClient.exe\"\r\n"
                    "exit\r\n"
                    ":restore\r\n"
                    "if exist \"C:\\Apps\\Client\\Update\\moved.lst\" for /f \"usebackq delims=\" %%m in (\"C:\\Apps\\Client\\Update\\moved.lst\") do move /y \"C:\\Apps\\Client\\%%m\" \"C:\\Apps\\Client\\Update\\\" >nul\r\n"
                    "move /y \"C:\\Apps\\Client\\Update\\backup\\*.*\" \"C:\\Apps\\Client\\\" >nul\r\n"
                    "rd \"C:\\Apps\\Client\\Update\\backup\"\r\n"
                    "del /q \"C:\\Apps\\Client\\Update\\moved.lst\" 2>nul\r\n"
                    "echo.>\"C:\\Apps\\Client\\Update\\rolledback\"\r\n"
                    "start \"\" \"C:\\Apps\\Client\\VXClient.exe\"\r\n"
                    "exit\r\n"
                    ":confirmed\r\n"
                    "rd /s /q \"C:\\Apps\\Client\\Update\\backup\"\r\n"
                    "del /q \"C:\\Apps\\Client\\Update\\healthy\" \"C:\\Apps\\Client\\Update\\moved.lst\" \"C:\\Apps\\Client\\Update\\started\" 2>nul\r\n"
                    "exit\r\n"
                    ":replace\r\n"
                    "if not exist \"C:\\Apps\\Client\\%~1\" goto replacenew\r\n"
                    "move /y \"C:\\Apps\\Client\\%~1\" \"C:\\Apps\\Client\\Update\\backup\\\" >nul\r\n"
                    "if errorlevel 1 goto replacefailed\r\n"
                    ":replacenew\r\n"
                    "move /y \"C:\\Apps\\Client\\Update\\%~1\" \"C:\\Apps\\Client\\\" >nul\r\n"
                    "if errorlevel 1 goto replacefailed\r\n"
                    ">>\"C:\\Apps\\Client\\Update\\moved.lst\" echo %~1\r\n"
                    "goto :eof\r\n"
                    ":replacefailed\r\n"
                    "set failed=1\r\n"
                    "goto :eof\r\n");
    // A restart without a download of this run moves nothing.
    EXPECT_EQ(vx::fromAnsi(vx::updateScriptWindows("C:\\C\\", "VXClient.exe", 45, false)),
              "@echo off\r\n"
              "echo Wscript.Sleep WScript.Arguments(0) >%tmp%\\delay.vbs\r\n"
              "echo 将在 5 秒后完成升级\r\n"
              "cscript //b //nologo %tmp%\\delay.vbs 5000\r\n"
              "start \"\" \"C:\\C\\VXClient.exe\"\r\n"
              "exit\r\n");
    // Written in the ANSI code page.
    EXPECT_NE(text.find(vx::toAnsi("将在 5 秒后完成升级")), std::string::npos);
}

TEST(UpdateScript, PosixScriptQuotesPaths) {
    std::string s = vx::updateScriptPosix("/opt/it's here/", "vxclient");
    EXPECT_NE(s.find("app='/opt/it'\\''s here/'\n"), std::string::npos);
    EXPECT_NE(s.find("upd='/opt/it'\\''s here/Update/'\n"), std::string::npos);
    EXPECT_NE(s.find("exe='/opt/it'\\''s here/vxclient'\n"), std::string::npos);
    EXPECT_NE(s.find("-ge 60 ]"), std::string::npos); // the default time limit
}

namespace {

// A client folder with an installed client and data file, and their downloaded successors.
struct ClientFolder {
    explicit ClientFolder(const std::string& newClient) {
        write("vxclient", "#!/bin/sh\necho old >> \"$(dirname \"$0\")/starts.txt\"\n", true);
        write("data.txt", "old data");
        write("keep.txt", "not updated");
        write("Update/vxclient", newClient, false);
        write("Update/data.txt", "new data");
        write("Update/added.txt", "added");
    }
    std::string write(const std::string& rel, const std::string& text, bool exe = false) {
        const std::string p = dir.write(rel, text);
        if (exe)
            ::chmod(p.c_str(), 0755);
        return p;
    }
    // Runs the script as the client writes it, to its end, moving the three downloaded files
    // (`files`: others) after the process `oldPid` has ended (0: none).
    int runScript(int waitSeconds, long oldPid = 0,
                  const std::vector<std::string>& files = {"vxclient", "data.txt", "added.txt"}) {
        const std::string text =
            vx::updateScriptPosix(dir.str(), "vxclient", waitSeconds, oldPid, files);
        const std::string script = dir.write("temp.sh", text);
        return std::system(("sh '" + script + "' >/dev/null 2>&1").c_str());
    }
    std::string read(const std::string& rel) { return vxtest::readFile(dir.file(rel)); }
    bool has(const std::string& rel) { return std::filesystem::exists(dir.file(rel)); }

    vxtest::TempDir dir{"selfupdate"};
};

const std::string kNewClientConfirms =
    "#!/bin/sh\nd=\"$(dirname \"$0\")\"\necho new >> \"$d/starts.txt\"\n"
    "echo $$ > \"$d/Update/healthy\"\n";
// Writes a marker that is not its own process id (as any other program could), then stays.
const std::string kNewClientForgesTheMarker =
    "#!/bin/sh\nd=\"$(dirname \"$0\")\"\necho new >> \"$d/starts.txt\"\n"
    "echo 1 > \"$d/Update/healthy\"\nexec sleep 600\n";
const std::string kNewClientCrashes =
    "#!/bin/sh\necho new >> \"$(dirname \"$0\")/starts.txt\"\nexit 1\n";
// Starts and never confirms (exec: the script's kill must reach the program itself).
const std::string kNewClientHangs =
    "#!/bin/sh\necho new >> \"$(dirname \"$0\")/starts.txt\"\nexec sleep 600\n";

} // namespace

TEST(UpdateScript, PosixScriptKeepsANewClientThatConfirmsAndDropsTheBackup) {
    ClientFolder c(kNewClientConfirms);
    ASSERT_EQ(c.runScript(60), 0);
    EXPECT_EQ(c.read("starts.txt"), "new\n");
    EXPECT_EQ(c.read("vxclient"), kNewClientConfirms);
    EXPECT_EQ(::access(c.dir.file("vxclient").c_str(), X_OK), 0); // still runnable
    EXPECT_EQ(c.read("data.txt"), "new data");
    EXPECT_EQ(c.read("keep.txt"), "not updated");
    EXPECT_EQ(c.read("added.txt"), "added");
    EXPECT_FALSE(c.has("Update/backup"));
    EXPECT_FALSE(c.has("Update/healthy"));
    EXPECT_FALSE(c.has("Update/rolledback"));
    EXPECT_FALSE(c.has("Update/vxclient"));
    EXPECT_FALSE(c.has("Update/data.txt"));
}

TEST(UpdateScript, PosixScriptPutsTheOldClientBackWhenTheNewOneExitsOrStaysSilent) {
    for (const auto& [newClient, wait] :
         {std::pair{kNewClientCrashes, 600}, std::pair{kNewClientHangs, 1},
          std::pair{kNewClientForgesTheMarker, 1}}) {
        ClientFolder c(newClient);
        // A marker left by an earlier update decides nothing.
        c.write("Update/healthy", "");
        c.write("Update/rolledback", "");
        ASSERT_EQ(c.runScript(wait), 0) << newClient;
        // The new client ran once, then the old one started again in its place.
        EXPECT_EQ(c.read("starts.txt"), "new\nold\n") << newClient;
        EXPECT_NE(c.read("vxclient").find("echo old"), std::string::npos);
        EXPECT_EQ(c.read("data.txt"), "old data");
        EXPECT_EQ(c.read("keep.txt"), "not updated");
        EXPECT_TRUE(c.has("Update/rolledback"));
        EXPECT_FALSE(c.has("Update/backup"));
        EXPECT_FALSE(c.has("Update/healthy"));
    }
}

TEST(UpdateScript, PosixScriptWaitsForTheOldClientAndMovesOnlyTheNamedFiles) {
    ClientFolder c(kNewClientConfirms);
    c.write("Update/stale.txt", "from an unfinished update");
    // The old client still runs while the script starts: nothing moves until it has ended.
    pid_t old = ::fork();
    if (old == 0) {
        ::execlp("sleep", "sleep", "600", nullptr);
        ::_exit(127);
    }
    std::thread script([&] { EXPECT_EQ(c.runScript(60, old, {"vxclient", "data.txt"}), 0); });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(c.read("data.txt"), "old data");
    ::kill(old, SIGKILL); // stays a zombie until reaped below: ended all the same
    script.join();
    ::waitpid(old, nullptr, 0);
    EXPECT_EQ(c.read("starts.txt"), "new\n");
    EXPECT_EQ(c.read("data.txt"), "new data");
    EXPECT_FALSE(c.has("added.txt"));
    EXPECT_EQ(c.read("Update/stale.txt"), "from an unfinished update");

    // No files named: a restart of the installed client that moves nothing.
    ClientFolder restart(kNewClientConfirms);
    ASSERT_EQ(restart.runScript(60, 0, {}), 0);
    EXPECT_EQ(restart.read("starts.txt"), "old\n");
    EXPECT_EQ(restart.read("data.txt"), "old data");
    EXPECT_TRUE(restart.has("Update/vxclient"));
    EXPECT_FALSE(restart.has("Update/backup"));
}

TEST_F(ApiTest, TheStartedClientConfirmsItsUpdateOrSaysItWasUndone) {
    const std::string update = vx::AppPath + "Update/";
    // No update waits: nothing is written.
    api->ClientStarted(true);
    EXPECT_FALSE(std::filesystem::exists(update));
    EXPECT_TRUE(host.calls.empty());

    // The script waits: a start page that failed to load does not confirm; one that loaded
    // does, with the client's process id (a taken link port is no reason to refuse it).
    std::filesystem::create_directories(update + "backup");
    api->ClientLaunched(); // its process id as it starts, for the Windows script
    EXPECT_EQ(vxtest::readFile(update + "started"), std::to_string(::getpid()));
    api->ClientStarted(false);
    EXPECT_FALSE(std::filesystem::exists(update + "healthy"));
    api->ClientStarted(true);
    EXPECT_EQ(vxtest::readFile(update + "healthy"), std::to_string(::getpid()));
    EXPECT_TRUE(host.calls.empty());

    // A client put back says so once.
    std::filesystem::remove_all(update);
    dir.write("Update/rolledback", "");
    api->ClientStarted(true);
    ASSERT_EQ(host.calls.size(), 1u);
    EXPECT_EQ(host.calls[0], "ST_softStatu(\"新版本未能正常启动，已恢复原版本\")");
    EXPECT_FALSE(std::filesystem::exists(update + "rolledback"));
    api->ClientStarted(true);
    EXPECT_EQ(host.calls.size(), 1u);
}

TEST_F(ApiTest, UpdateMainStaysOpenWhenTheScriptCannotBeWritten) {
    api->scriptFolder = dir.write("file-not-folder", "");
    api->UpdateMain();
    EXPECT_EQ(host.closed, 0);
    ASSERT_EQ(host.calls.size(), 1u);
    EXPECT_EQ(host.calls[0].rfind("ST_softStatu(\"无法写入升级脚本：", 0), 0u);
}

TEST(LocalPaths, EntriesStayInsideTheirFolder) {
    const std::string base = "/c/apps/x/";
    EXPECT_EQ(vx::localPathBelow(base, "{app}", "a.txt"), "/c/apps/x/a.txt");
    EXPECT_EQ(vx::localPathBelow(base, "{App}bin\\", "a.txt"), "/c/apps/x/bin/a.txt");
    EXPECT_EQ(vx::localPathBelow(base, "{app}/bin//", "a.txt"), "/c/apps/x/bin/a.txt");
    EXPECT_EQ(vx::localPathBelow(base, "{app}./", "a.txt"), "/c/apps/x/a.txt");
    for (auto [d, n] : std::vector<std::pair<std::string, std::string>>{
             {"{app}..\\", "a.txt"}, {"{app}", "../a.txt"}, {"{app}bin/../../", "a"},
             {"/etc/", "passwd"}, {"bin/", "a"}, {"{app}", ""}, {"{app}C:\\", "a"}}) {
        EXPECT_EQ(vx::localPathBelow(base, d, n), "") << d << n;
    }
    EXPECT_EQ(vx::replaceAppToken("{app}x{APP}", "B/"), "B/xB/");
}
