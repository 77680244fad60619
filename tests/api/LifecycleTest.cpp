// Running, removing and cancelling from the page, with a fake link server and downloader: what
// the page and the other side see for each state of an application.

#include "ApiFixture.h"

#include <fcntl.h>
#include <fstream>
#include <sys/stat.h>

#include "core/Digests.h"
#include "core/Text.h"
#include "platform/Platform.h"

using namespace apitest;

namespace {

namespace fs = std::filesystem;

class LifecycleTest : public ApiTest {
protected:
    void SetUp() override {
        ApiTest::SetUp();
        service.server.Get("/myApps.php", [this](const httplib::Request&, httplib::Response& res) {
            res.set_content(listReply({appElement(30, "app30", "1.0"),
                                       appElement(31, "app31", "1.0")}),
                            "text/xml");
        });
        service.server.Get(R"(/apps/(.*))",
                           [this](const httplib::Request& req, httplib::Response& res) {
                               std::lock_guard lock(m);
                               auto it = files.find(req.matches[1]);
                               if (it == files.end())
                                   res.status = 404;
                               else
                                   res.set_content(it->second, "text/xml");
                           });
        api->_GetMyApps();
        settle();
        host.calls.clear();
    }
    void publish(const std::string& path, const std::string& content) {
        std::lock_guard lock(m);
        files[path] = content;
    }
    static std::string descriptor(const std::string& version, const std::string& entries = "") {
        return "<?xml version=\"1.0\" encoding=\"utf-8\"?><info><version>" + version +
               "</version><zipFile>pkg.zip</zipFile><updateFile>" + entries +
               "</updateFile></info>";
    }
    // Application 30 as installed: its descriptor and a main file that notes each start.
    void installThirty(const std::string& version = "1.0") {
        dir.write("apps/app30/version.xml", descriptor(version));
        dir.write("apps/app30/run.sh", "#!/bin/sh\necho started >> started.txt\n");
        ::chmod((vx::AppsPath + "app30/run.sh").c_str(), 0755);
    }

    std::mutex m;
    std::map<std::string, std::string> files;
};

} // namespace

TEST_F(LifecycleTest, RunStartsOrShowsByConnectionAndLeavesOtherStatesAlone) {
    EXPECT_EQ(api->_RunApp("99"), "未添加");
    EXPECT_EQ(api->_RunApp("x"), "未添加");
    EXPECT_EQ(api->_RunApp("30"), "未安装");
    installThirty("0.9");
    EXPECT_EQ(api->_RunApp("30"), "有升级");
    vx::FindApp(31)->DownStatu = "正在安装";
    EXPECT_EQ(api->_RunApp("31"), "正在安装");
    vx::FindApp(31)->DownStatu = "升级失败"; // but nothing is installed
    EXPECT_EQ(api->_RunApp("31"), "升级失败");
    EXPECT_TRUE(link.events.empty());
    EXPECT_FALSE(fs::exists(vx::AppsPath + "app30/started.txt"));
    // A failed update left the old version whole: it runs.
    vx::FindApp(30)->DownStatu = "升级失败";
    EXPECT_EQ(api->_RunApp("30"), "正在启动");
    waitFor([&] { return fs::exists(vx::AppsPath + "app30/started.txt"); }, "the old version");
    fs::remove(vx::AppsPath + "app30/started.txt");
    vx::FindApp(30)->DownStatu.clear();

    // Installed and not connected: started as a run request would start it.
    installThirty();
    EXPECT_EQ(api->_RunApp("30"), "正在启动");
    waitFor([&] { return fs::exists(vx::AppsPath + "app30/started.txt"); }, "the start");
    EXPECT_TRUE(link.events.empty());

    // Connected (twice, e.g. two windows): asked to show itself, not started again.
    notify("应用上线:appID=30");
    notify("应用上线:appID=30");
    EXPECT_EQ(api->_RunApp("30"), "已运行");
    notify("应用下线:appID=30");
    EXPECT_EQ(api->_RunApp("30"), "已运行");
    EXPECT_EQ(sent(), (std::vector<std::string>{"appID=30&parma=ShowForm%3Fa",
                                                "appID=30&parma=ShowForm%3Fa"}));
    // Another application's reports count for it alone.
    notify("应用上线:appID=31");
    notify("应用下线:appID=30");
    notify("应用下线:appID=30"); // one report too many counts for nothing
    link.events.clear();
    EXPECT_EQ(api->_RunApp("30"), "正在启动");
    EXPECT_TRUE(link.events.empty());
    waitFor([&] { return vxtest::readFile(vx::AppsPath + "app30/started.txt") ==
                         "started\nstarted\n"; },
            "the second start");
}

TEST_F(LifecycleTest, StatusesFollowEveryChangeOfAnInstalledDescriptor) {
    installThirty("1.0");
    const std::string file = vx::AppsPath + "app30/version.xml";
    auto statusOf30 = [&] {
        host.calls.clear();
        api->_RefreshApp();
        return host.has("ST_icoStatu(\"30\",\"正常\")") ? "正常"
               : host.has("ST_icoStatu(\"30\",\"有升级\")") ? "有升级" : "?";
    };
    // Remembered between refreshes at once (no settle time), so the stamp alone decides.
    vx::setDigestCacheSettleTime(std::chrono::nanoseconds(0));
    auto age = [&] {
        const timespec past[2] = {{::time(nullptr) - 60, 0}, {::time(nullptr) - 60, 0}};
        ASSERT_EQ(::utimensat(AT_FDCWD, file.c_str(), past, 0), 0);
    };
    age();
    EXPECT_STREQ(statusOf30(), "正常");
    EXPECT_STREQ(statusOf30(), "正常");
    // Changed in place, same size, its times set back: its change time tells.
    struct stat st {};
    ASSERT_EQ(::stat(file.c_str(), &st), 0);
    std::string text = vxtest::readFile(file);
    text.replace(text.find("<version>1.0") + 9, 3, "0.9");
    {
        std::ofstream out(file, std::ios::binary | std::ios::in | std::ios::out);
        out << text;
    }
    const timespec kept[2] = {st.st_atim, st.st_mtim};
    ASSERT_EQ(::utimensat(AT_FDCWD, file.c_str(), kept, 0), 0);
    EXPECT_STREQ(statusOf30(), "有升级");
    // Replaced by another file.
    dir.write("apps/app30/version.xml", descriptor("1.0"));
    age();
    EXPECT_STREQ(statusOf30(), "正常");
    // Removed.
    fs::remove(file);
    host.calls.clear();
    api->_RefreshApp();
    EXPECT_TRUE(host.has("ST_icoStatu(\"30\",\"未安装\")"));
    vx::setDigestCacheSettleTime(std::chrono::seconds(2));
}

TEST_F(LifecycleTest, UninstallRemovesTheFolderOnlyWhenNothingHoldsIt) {
    installThirty();
    dir.write("apps/app30/data/deep/file.bin", "x");
    // A link inside pointing elsewhere: the link goes, what it points to stays.
    const std::string outside = dir.write("keep/precious.txt", "mine");
    fs::create_directory_symlink(dir.file("keep"), vx::AppsPath + "app30/data/link");

    EXPECT_EQ(api->_UninstallApp("99"), "未添加");
    vx::installBusy = true;
    EXPECT_EQ(api->_UninstallApp("30"), "有应用正在安装，请稍候再试...");
    vx::installBusy = false;
    notify("应用上线:appID=30");
    EXPECT_EQ(api->_UninstallApp("30"), "应用正在运行，请先关闭后再卸载");
    EXPECT_TRUE(fs::exists(vx::AppsPath + "app30/run.sh"));
    EXPECT_TRUE(host.calls.empty());

    notify("应用下线:appID=30");
    vx::FindApp(30)->DownStatu = "升级失败"; // a failed update before: gone with the files
    EXPECT_EQ(api->_UninstallApp("30"), "未安装");
    EXPECT_FALSE(fs::exists(vx::AppsPath + "app30"));
    EXPECT_EQ(vxtest::readFile(outside), "mine");
    EXPECT_EQ(host.calls, (std::vector<std::string>{"ST_icoStatu(\"30\",\"未安装\")"}));
    EXPECT_EQ(api->_CheckAPP("30"), "未安装");
    // Nothing left to remove: the same answer.
    EXPECT_EQ(api->_UninstallApp("30"), "未安装");
}

TEST_F(LifecycleTest, UninstallTakesTheFolderAwayInOneStepAndRefusesWhatItCannotOwn) {
    installThirty();
    const std::string app = vx::AppsPath + "app30";
    // A program the client started from the folder runs, not yet on the link.
    dir.write("apps/app30/run.sh", "#!/bin/sh\nwhile [ ! -f stop ]; do sleep 0.05; done\n");
    ::chmod((app + "/run.sh").c_str(), 0755);
    EXPECT_EQ(api->_RunApp("30"), "正在启动");
    EXPECT_EQ(api->_UninstallApp("30"), "应用正在运行，请先关闭后再卸载");
    dir.write("apps/app30/stop", "");
    waitFor([&] { return !vx::platform::startedProgramRuns(app + "/"); }, "the program's end");
    // Folders the record cannot call its own: another record's too, a name that Windows
    // reads as another one.
    vx::TMyApp* other = vx::FindApp(31);
    const std::string otherDir = other->appDir;
    other->appDir = app + "/";
    EXPECT_EQ(api->_UninstallApp("30"), "卸载失败");
    other->appDir = otherDir;
    vx::FindApp(30)->appDir = vx::AppsPath + "app30./";
    EXPECT_EQ(api->_UninstallApp("30"), "卸载失败");
    vx::FindApp(30)->appDir = app + "/";
    EXPECT_TRUE(fs::exists(app + "/version.xml"));
    // A file system mounted inside stays as it is (where this machine lets a test mount).
    fs::create_directories(app + "/mnt");
    const bool mounted = std::system(("mount -t tmpfs vxtest " + app + "/mnt 2>/dev/null").c_str()) == 0;
    if (mounted)
        dir.write("apps/app30/mnt/other.txt", "another file system");
    // The folder goes in one rename: gone under its name at once, its files removed after.
    EXPECT_EQ(api->_UninstallApp("30"), "未安装");
    EXPECT_FALSE(fs::exists(app));
    settle();
    std::vector<std::string> left;
    for (const auto& e : fs::recursive_directory_iterator(vx::AppsPath))
        left.push_back(fs::relative(e.path(), vx::AppsPath).string());
    if (mounted) {
        ASSERT_EQ(left.size(), 3u) << left.front();
        const fs::path aside = fs::path(vx::AppsPath) / left.front();
        EXPECT_EQ(vxtest::readFile((aside / "mnt/other.txt").string()), "another file system");
        EXPECT_EQ(std::system(("umount " + (aside / "mnt").string()).c_str()), 0);
    } else {
        EXPECT_TRUE(left.empty()) << left.front();
    }
    // What a kill during a removal left is removed by the next start.
    dir.write("apps/.app31.vxgone-1-0/version.xml", "half of a removed folder");
    vx::removeUninstalled(vx::AppsPath);
    EXPECT_TRUE(fs::is_empty(vx::AppsPath));
}

TEST_F(LifecycleTest, UninstallRemovesNothingOutsideTheApplicationsFolder) {
    // The application's folder is a link to a folder elsewhere.
    const std::string elsewhere = dir.write("elsewhere/run.sh", "#!/bin/sh\n");
    fs::create_directories(vx::AppsPath);
    fs::create_directory_symlink(dir.file("elsewhere"), vx::AppsPath + "app30");
    EXPECT_EQ(api->_UninstallApp("30"), "卸载失败");
    EXPECT_TRUE(fs::exists(elsewhere));
    EXPECT_TRUE(fs::is_symlink(vx::AppsPath + "app30"));
    // A record whose folder is not directly below the applications folder.
    vx::FindApp(31)->appDir = dir.file("elsewhere") + "/";
    EXPECT_EQ(api->_UninstallApp("31"), "卸载失败");
    vx::FindApp(31)->appDir = vx::AppsPath + "app30/sub/";
    EXPECT_EQ(api->_UninstallApp("31"), "卸载失败");
    vx::FindApp(31)->appDir = vx::AppsPath + "../";
    EXPECT_EQ(api->_UninstallApp("31"), "卸载失败");
    EXPECT_TRUE(fs::exists(elsewhere));
    EXPECT_TRUE(host.calls.empty());
}

TEST_F(LifecycleTest, CancelWhileTheDescriptorIsOnItsWay) {
    publish("app30/version.xml", descriptor("1.0"));
    EXPECT_EQ(api->_CancelInstall("30"), ""); // nothing runs
    EXPECT_EQ(api->_InstallApp("30"), "正在安装");
    EXPECT_EQ(api->_CancelInstall("31"), ""); // not this one
    EXPECT_EQ(api->_CancelInstall("30"), "已取消");
    EXPECT_FALSE(vx::installBusy);
    EXPECT_EQ(vx::FindApp(30)->DownStatu, "");
    EXPECT_EQ(host.calls, (std::vector<std::string>{"ST_setFlatDivAnlv(\"30\",\"已取消\")",
                                                    "ST_icoStatu(\"30\",\"未安装\")",
                                                    "ST_icoStatu(\"31\",\"未安装\")"}));
    // The descriptor arrives afterwards: the cancelled install does nothing with it.
    settle();
    EXPECT_TRUE(downloader.calls.empty());
    EXPECT_TRUE(downloader.cancels.empty());
    EXPECT_EQ(host.calls.size(), 3u);
    EXPECT_EQ(api->_CancelInstall("30"), "");
    // The next install runs through.
    EXPECT_EQ(api->_InstallApp("30"), "正在安装");
    waitFor([&] { return downloader.calls.size() == 1; }, "the download");
    EXPECT_TRUE(vx::installBusy);
    api->DownloadNotify(30, vx::toAnsi("完成"));
    EXPECT_FALSE(vx::installBusy);
}

TEST_F(LifecycleTest, CancelWhileTheDigestsAreComputed) {
    installThirty("0.9");
    // Enough data that the digests take a while.
    dir.write("apps/app30/big.bin", std::string(64 << 20, 'b'));
    std::string entries;
    for (int i = 0; i < 40; ++i)
        entries += "<f Dir=\"{app}\" Name=\"big.bin\" MD5=\"00\"/>";
    publish("app30/version.xml", descriptor("1.0", entries));
    EXPECT_EQ(api->_UpdateApp("30"), "正在升级");
    bool cancelled = false;
    waitFor([&] {
        if (!cancelled && vx::digestJobsRunning() > 0) {
            EXPECT_EQ(api->_CancelInstall("30"), "已取消");
            cancelled = true;
        }
        return cancelled || !vx::installBusy;
    }, "the digests to start");
    ASSERT_TRUE(cancelled) << "the update ended before its digests were seen running";
    settle();
    EXPECT_TRUE(downloader.calls.empty());
    EXPECT_FALSE(vx::installBusy);
    EXPECT_TRUE(host.has("ST_setFlatDivAnlv(\"30\",\"已取消\")"));
    // Still the old version, still offered the update.
    EXPECT_EQ(api->_CheckAPP("30"), "有升级");
}

TEST_F(LifecycleTest, CancelDuringTheDownload) {
    publish("app30/version.xml", descriptor("1.0"));
    api->_InstallApp("30");
    waitFor([&] { return downloader.calls.size() == 1; }, "the download");
    api->DownloadNotify(30, "process:10");

    // The downloader has decided already: the cancel is refused and the install goes on.
    downloader.cancelAccepted = false;
    EXPECT_EQ(api->_CancelInstall("30"), "");
    EXPECT_TRUE(vx::installBusy);
    EXPECT_EQ(vx::FindApp(30)->DownStatu, "正在安装");

    // A downloader without the entry: told in the status line.
    downloader.canCancel = false;
    host.calls.clear();
    EXPECT_EQ(api->_CancelInstall("30"), "");
    EXPECT_EQ(host.calls, (std::vector<std::string>{"ST_softStatu(\"下载器不支持取消安装\")"}));
    EXPECT_TRUE(vx::installBusy);

    downloader.canCancel = true;
    downloader.cancelAccepted = true;
    host.calls.clear();
    EXPECT_EQ(api->_CancelInstall("30"), "已取消");
    EXPECT_EQ(downloader.cancels, (std::vector<int>{30, 30}));
    EXPECT_EQ(host.calls, (std::vector<std::string>{"ST_setFlatDivAnlv(\"30\",\"已取消\")"}));
    // Until the library has undone its files (its "已取消"), the operation holds: nothing
    // starts, a second cancel is refused, and its other messages change nothing.
    EXPECT_TRUE(vx::installBusy);
    EXPECT_EQ(api->_InstallApp("30"), "有应用正在安装，请稍候再试...");
    EXPECT_EQ(api->_CancelInstall("30"), "");
    api->DownloadNotify(30, "process:20");
    api->DownloadNotify(30, vx::toAnsi("正在下载 pkg.zip"));
    EXPECT_EQ(host.calls.size(), 1u);
    api->DownloadNotify(30, vx::toAnsi("无法恢复旧文件：x（旧文件保留在 y）"));
    EXPECT_TRUE(host.has("ST_softStatu(\"无法恢复旧文件：x（旧文件保留在 y）\")"));
    host.calls.clear();
    api->DownloadNotify(30, vx::toAnsi("已取消"));
    EXPECT_FALSE(vx::installBusy);
    EXPECT_EQ(host.calls, (std::vector<std::string>{"ST_icoStatu(\"30\",\"未安装\")",
                                                    "ST_icoStatu(\"31\",\"未安装\")"}));

    // The next install's messages count again.
    api->_InstallApp("30");
    waitFor([&] { return downloader.calls.size() == 2; }, "the second download");
    api->DownloadNotify(30, "process:30");
    EXPECT_TRUE(host.has("ST_jdt(\"30\",30);"));
    api->DownloadNotify(30, vx::toAnsi("完成"));
    EXPECT_TRUE(host.has("ST_setFlatDivAnlv(\"30\",\"安装完成\")"));
    EXPECT_FALSE(vx::installBusy);
}

TEST_F(LifecycleTest, CancelOfAnUpdateKeepsTheInstalledDescriptor) {
    installThirty("0.9");
    dir.write("apps/app30/a.txt", "old");
    publish("app30/version.xml", descriptor("1.0", "<f Dir=\"{app}\" Name=\"a.txt\" MD5=\"00\"/>"));
    EXPECT_EQ(api->_UpdateApp("30"), "正在升级");
    waitFor([&] { return downloader.calls.size() == 1; }, "the download");
    EXPECT_EQ(api->_CancelInstall("30"), "已取消");
    EXPECT_EQ(vx::FindApp(30)->DownStatu, "");
    EXPECT_EQ(api->_CheckAPP("30"), "有升级");
    // A "完成" that arrives anyway leaves the installed descriptor as it was.
    api->DownloadNotify(30, vx::toAnsi("完成"));
    api->DownloadNotify(30, vx::toAnsi("已取消"));
    EXPECT_TRUE(host.has("ST_icoStatu(\"30\",\"有升级\")"));
    EXPECT_EQ(api->_CheckAPP("30"), "有升级");
    EXPECT_FALSE(vx::installBusy);
}
