#include "ApiFixture.h"

#include "core/Text.h"

#include <cstdlib>
#include <filesystem>

#include <sys/stat.h>
#include <unistd.h>

using namespace apitest;

TEST(UpdateScript, WindowsTextLineByLine) {
    std::string text = vx::updateScriptWindows("C:\\Apps\\Client\\", "VXClient.exe", 45);
    std::string utf8 = vx::fromAnsi(text);
    EXPECT_EQ(utf8, "@echo off\r\n"
                    "echo Wscript.Sleep WScript.Arguments(0) >%tmp%\\delay.vbs\r\n"
                    "echo 将在 5 秒后完成升级\r\n"
                    "cscript //b //nologo %tmp%\\delay.vbs 5000\r\n"
                    "if exist \"C:\\Apps\\Client\\Update\\backup\\\" rd /s /q "
                    "\"C:\\Apps\\Client\\Update\\backup\"\r\n"
                    "del /q \"C:\\Apps\\Client\\Update\\healthy\" "
                    "\"C:\\Apps\\Client\\Update\\rolledback\" 2>nul\r\n"
                    "md \"C:\\Apps\\Client\\Update\\backup\"\r\n"
                    "pushd \"C:\\Apps\\Client\\Update\\\"\r\n"
                    "for %%f in (*.*) do call :replace \"%%~nxf\"\r\n"
                    "popd\r\n"
                    "start VXClient.exe\r\n"
                    "set n=0\r\n"
                    ":wait\r\n"
                    "if exist \"C:\\Apps\\Client\\Update\\healthy\" goto confirmed\r\n"
                    "if %n% geq 45 goto undo\r\n"
                    "ping -n 2 127.0.0.1 >nul\r\n"
                    "set /a n+=1\r\n"
                    "goto wait\r\n"
                    ":undo\r\n"
                    "taskkill /f /im VXClient.exe >nul 2>nul\r\n"
                    "ping -n 2 127.0.0.1 >nul\r\n"
                    "move /y \"C:\\Apps\\Client\\Update\\backup\\*.*\" "
                    "\"C:\\Apps\\Client\\\" >nul\r\n"
                    "rd \"C:\\Apps\\Client\\Update\\backup\"\r\n"
                    "echo.>\"C:\\Apps\\Client\\Update\\rolledback\"\r\n"
                    "start VXClient.exe\r\n"
                    "exit\r\n"
                    ":confirmed\r\n"
                    "rd /s /q \"C:\\Apps\\Client\\Update\\backup\"\r\n"
                    "del /q \"C:\\Apps\\Client\\Update\\healthy\"\r\n"
                    "exit\r\n"
                    ":replace\r\n"
                    "if exist \"C:\\Apps\\Client\\%~1\" move /y \"C:\\Apps\\Client\\%~1\" "
                    "\"C:\\Apps\\Client\\Update\\backup\\\" >nul\r\n"
                    "move /y \"C:\\Apps\\Client\\Update\\%~1\" \"C:\\Apps\\Client\\\" >nul\r\n"
                    "goto :eof\r\n");
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
    // Runs the script as the client writes it, to its end (the five seconds that let the old
    // client close are left out).
    int runScript(int waitSeconds) {
        std::string text = vx::updateScriptPosix(dir.str(), "vxclient", waitSeconds);
        const auto pause = text.find("sleep 5\n");
        if (pause == std::string::npos)
            return -1;
        text.replace(pause, 8, "");
        const std::string script = dir.write("temp.sh", text);
        return std::system(("sh '" + script + "' >/dev/null 2>&1").c_str());
    }
    std::string read(const std::string& rel) { return vxtest::readFile(dir.file(rel)); }
    bool has(const std::string& rel) { return std::filesystem::exists(dir.file(rel)); }

    vxtest::TempDir dir{"selfupdate"};
};

const std::string kNewClientConfirms =
    "#!/bin/sh\nd=\"$(dirname \"$0\")\"\necho new >> \"$d/starts.txt\"\n"
    ": > \"$d/Update/healthy\"\n";
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
         {std::pair{kNewClientCrashes, 600}, std::pair{kNewClientHangs, 1}}) {
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

TEST_F(ApiTest, TheStartedClientConfirmsItsUpdateOrSaysItWasUndone) {
    const std::string update = vx::AppPath + "Update/";
    // No update waits: nothing is written.
    api->ClientStarted(true);
    EXPECT_FALSE(std::filesystem::exists(update));
    EXPECT_TRUE(host.calls.empty());

    // The script waits: a client without its link server does not confirm; one with it does.
    std::filesystem::create_directories(update + "backup");
    api->ClientStarted(false);
    EXPECT_FALSE(std::filesystem::exists(update + "healthy"));
    api->ClientStarted(true);
    EXPECT_TRUE(std::filesystem::exists(update + "healthy"));
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
