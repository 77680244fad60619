// The client's own update: the check, the download, the script and the restart, and the
// check beside a running install.

#include "InstallFixture.h"

#include <thread>

using namespace apitest;

namespace {
class SelfUpdateTest : public InstallTest {};
} // namespace

TEST_F(SelfUpdateTest, SelfUpdateDownloadsChangedFilesAndRestarts) {
    // The "client" is a script that records each start; the new one confirms it, as a
    // healthy client does once its start page has loaded.
    const std::string v1 = "#!/bin/sh\necho v1 >> \"$(dirname \"$0\")/starts.txt\"\n";
    const std::string v2 = "#!/bin/sh\necho v2 >> \"$(dirname \"$0\")/starts.txt\"\n"
                           "echo $$ > \"$(dirname \"$0\")/Update/healthy\"\n";
    dir.write("Config/config.xml", "<config><updatewait> 20 </updatewait></config>");
    api->executablePath = dir.write("vxclient", v1);
    ::chmod(api->executablePath.c_str(), 0755);
    publish("KVLMZ/vxclient", v2);
    publish("KVLMZ/version.xml",
            "<?xml version=\"1.0\" encoding=\"utf-8\"?><verInfo><updateFile>"
            "<f Dir=\"{app}\" Name=\"vxclient\" MD5=\"" + md5Upper(v2) + "\"/>"
            "<f Dir=\"{app}\" Name=\"vxclient\" MD5=\"" + md5Upper(v2) + "\"/>"
            "<f Dir=\"{app}\" Name=\"skip.dll\" MD5=\"" + md5Upper(v1) + "\"/>"
            "</updateFile></verInfo>");
    std::string shown, underTheBox;
    vx::SetShowMsgHook([&](const std::string&, const std::string& text) {
        shown = text;
        // The box's modal loop runs page calls: an install started now would be cut off by
        // the restart.
        underTheBox = api->_InstallApp("30");
    });
    api->CheckMainVer();
    EXPECT_TRUE(vx::installBusy);
    waitFor([&] { return host.closed == 1; }, "the client to close for its update");
    vx::SetShowMsgHook(nullptr);
    EXPECT_EQ(shown, "主程序新版本下载完成，点击确定 重起 并 升级 软件");
    EXPECT_EQ(underTheBox, "有应用正在安装，请稍候再试...");
    EXPECT_FALSE(vx::installBusy);
    EXPECT_EQ(service.count("GET /apps/KVLMZ/vxclient"), 1);
    EXPECT_EQ(service.count("GET /apps/KVLMZ/skip.dll"), 0);
    EXPECT_TRUE(std::filesystem::exists(dir.file("temp.sh")));
    // The script waits, moves the new file over the old one and starts it.
    for (int i = 0; i < 300 && !std::filesystem::exists(dir.file("starts.txt")); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_TRUE(std::filesystem::exists(dir.file("starts.txt")));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(vxtest::readFile(dir.file("starts.txt")), "v2\n");
    EXPECT_FALSE(std::filesystem::exists(dir.file("Update/vxclient")));
    // The time limit is config.xml's.
    EXPECT_NE(vxtest::readFile(dir.file("temp.sh")).find("-ge 20 ]"), std::string::npos);
    // Once the script has seen the confirmation, the old client's copy goes.
    for (int i = 0; i < 300 && std::filesystem::exists(dir.file("Update/backup")); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(std::filesystem::exists(dir.file("Update/backup")));
    EXPECT_FALSE(std::filesystem::exists(dir.file("Update/rolledback")));
}

TEST_F(SelfUpdateTest, SelfUpdateWithNothingNewEndsSilently) {
    api->executablePath = dir.write("vxclient", "same");
    publish("KVLMZ/version.xml", "<verInfo><updateFile><f Dir=\"{app}\" Name=\"vxclient\" MD5=\"" +
                                     md5Upper("same") + "\"/></updateFile></verInfo>");
    api->CheckMainVer();
    waitIdle("the check");
    publish("KVLMZ/version.xml", "<other/>");
    api->CheckMainVer();
    waitIdle("the second check");
    EXPECT_TRUE(host.calls.empty());
    EXPECT_EQ(host.closed, 0);
    EXPECT_FALSE(std::filesystem::exists(vx::AppPath + "Update"));
}

TEST_F(SelfUpdateTest, AClientCheckBesideAnInstallLeavesTheInstallsHold) {
    loadList();
    api->executablePath = dir.write("vxclient", "same");
    publish("KVLMZ/version.xml", "<verInfo><updateFile><f Dir=\"{app}\" Name=\"vxclient\" MD5=\"" +
                                     md5Upper("same") + "\"/></updateFile></verInfo>");
    // An install runs (its download still under way) when the page checks the client.
    vx::installBusy = true;
    vx::FindApp(30)->DownStatu = "正在安装";
    api->CheckMainVer();
    settle();
    // The check found nothing, but the flag is the install's.
    EXPECT_TRUE(vx::installBusy);
    EXPECT_EQ(api->_InstallApp("30"), "有应用正在安装，请稍候再试...");
    api->DownloadNotify(30, vx::toAnsi("完成"));
    EXPECT_FALSE(vx::installBusy);

    // The other way round: a client download runs beside an install that ends first; the
    // flag stays set until the client's own download ends.
    publish("KVLMZ/version.xml", "<verInfo><updateFile><f Dir=\"{app}\" Name=\"vxclient\" MD5=\"" +
                                     md5Upper("new") + "\"/></updateFile></verInfo>");
    // (A recording downloader: the client's download must not end by itself here.)
    vx::TVX_JS client(host, link, downloader);
    client.executablePath = api->executablePath;
    vx::installBusy = true;
    vx::FindApp(30)->DownStatu = "正在安装";
    client.CheckMainVer();
    settle();
    ASSERT_EQ(downloader.calls.size(), 1u);
    client.DownloadNotify(30, vx::toAnsi("完成"));
    EXPECT_TRUE(vx::installBusy);
    client.DownloadNotify(0, vx::toAnsi("error:下载失败"));
    EXPECT_FALSE(vx::installBusy);
}

TEST_F(SelfUpdateTest, TheRestartMovesOnlyThisRunsCheckedDownloadAndNeverCutsAnOperationShort) {
    loadList();
    api->executablePath = dir.write("vxclient", "old client");
    std::string descriptor =
        "<verInfo><updateFile><f Dir=\"{app}\" Name=\"vxclient\" MD5=\"" + md5Upper("new") +
        "\"/><f Dir=\"{app}sub/\" Name=\"deep.dll\" MD5=\"" + md5Upper("deep") +
        "\"/></updateFile></verInfo>";
    publish("KVLMZ/version.xml", descriptor);
    publish("app30/version.xml", "<info><version>1.0</version><zipFile>pkg.zip</zipFile></info>");
    // (A recording downloader: each of its messages is handed in by the test.)
    vx::TVX_JS client(host, link, downloader);
    client.executablePath = api->executablePath;
    client.scriptFolder = dir.path().string();
    client.clientProcessId = 0;
    const std::string script = dir.file("temp.sh");
    int boxes = 0;
    vx::SetShowMsgHook([&](const std::string&, const std::string&) { ++boxes; });

    // Called by the page without a download of this run: a restart that moves nothing.
    dir.write("Update/vxclient", "left by an unfinished update");
    client.UpdateMain();
    EXPECT_NE(vxtest::readFile(script).find("set --\n"), std::string::npos);
    EXPECT_EQ(host.closed, 1);

    // An install runs; a check beside it clears what the unfinished update left before it
    // downloads, and a second check meanwhile is refused.
    EXPECT_EQ(client._InstallApp("30"), "正在安装");
    waitFor([&] { return downloader.calls.size() == 1; }, "the install's download");
    client.CheckMainVer();
    client.CheckMainVer();
    EXPECT_TRUE(host.has("ST_softStatu(\"正在检查主程序新版本，请稍候\")"));
    waitFor([&] { return downloader.calls.size() == 2; }, "the client's download");
    EXPECT_FALSE(std::filesystem::exists(dir.file("Update/vxclient")));
    // The client's download ends first: the restart waits for the install.
    dir.write("Update/vxclient", "new");
    dir.write("Update/sub/deep.dll", "deep");
    client.DownloadNotify(0, vx::toAnsi("完成"));
    EXPECT_TRUE(host.has(
        "ST_softStatu(\"主程序新版本已下载，当前应用的安装或升级结束后将重启升级\")"));
    EXPECT_EQ(boxes, 0);
    client.DownloadNotify(30, vx::toAnsi("完成"));
    settle();
    EXPECT_EQ(boxes, 1);
    EXPECT_EQ(host.closed, 2);
    // Only the checked files directly in Update/ are moved.
    EXPECT_NE(vxtest::readFile(script).find("set -- 'vxclient'\n"), std::string::npos);

    // The new client did not confirm and was put back: that release is skipped from now on.
    dir.write("Update/rolledback", "");
    client.ClientStarted(true);
    EXPECT_TRUE(host.has("ST_softStatu(\"新版本未能正常启动，已恢复原版本\")"));
    client.CheckMainVer();
    settle();
    EXPECT_TRUE(host.has("ST_softStatu(\"该主程序新版本曾未能正常启动，已跳过\")"));
    EXPECT_EQ(downloader.calls.size(), 2u);
    // A changed descriptor is offered again.
    publish("KVLMZ/version.xml", descriptor + " ");
    client.CheckMainVer();
    waitFor([&] { return downloader.calls.size() == 3; }, "the new release's download");
    client.DownloadNotify(0, vx::toAnsi("error:下载失败"));
    vx::SetShowMsgHook(nullptr);
}
