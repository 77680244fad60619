#include "ApiFixture.h"

#include "core/Text.h"

using namespace apitest;

TEST(UpdateScript, WindowsTextLineByLine) {
    std::string text = vx::updateScriptWindows("C:\\Apps\\Client\\", "VXClient.exe");
    std::string utf8 = vx::fromAnsi(text);
    EXPECT_EQ(utf8, "@echo off\r\n"
                    "echo Wscript.Sleep WScript.Arguments(0) >%tmp%\\delay.vbs\r\n"
                    "echo 将在 5 秒后完成升级\r\n"
                    "cscript //b //nologo %tmp%\\delay.vbs 5000\r\n"
                    "move \"C:\\Apps\\Client\\Update\\*.*\" \"C:\\Apps\\Client\\\"\r\n"
                    "start VXClient.exe\r\n"
                    "exit\r\n");
    // Written in the ANSI code page.
    EXPECT_NE(text.find(vx::toAnsi("将在 5 秒后完成升级")), std::string::npos);
}

TEST(UpdateScript, PosixScriptQuotesPaths) {
    std::string s = vx::updateScriptPosix("/opt/it's here/", "vxclient");
    EXPECT_NE(s.find("for f in '/opt/it'\\''s here/Update/'*; do"), std::string::npos);
    EXPECT_NE(s.find("exec '/opt/it'\\''s here/vxclient'"), std::string::npos);
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
