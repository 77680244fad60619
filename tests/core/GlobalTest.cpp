#include <gtest/gtest.h>

#include <filesystem>

#include "core/Global.h"
#include "support/TempDir.h"

using namespace vx;

namespace {

// Installs a local descriptor with the given version for an application.
void install(TMyApp& app, const vxtest::TempDir& dir, const std::string& body) {
    app.appDir = dir.str() + "apps/a" + std::to_string(app.appID) + "/";
    app.VerFile = app.appDir + "version.xml";
    std::filesystem::create_directories(app.appDir);
    dir.write("apps/a" + std::to_string(app.appID) + "/version.xml", body);
}

} // namespace

TEST(SharedState, PathsComeFromTheExecutableFolderUnchanged) {
    vxtest::TempDir dir("paths");
    std::string folder = dir.str() + "程序 目录/";
    std::filesystem::create_directories(folder);
    InitSharedState(folder + "vxclient");
    EXPECT_EQ(AppPath, folder);
    EXPECT_EQ(ConfigPath, folder + "Config/");
    EXPECT_EQ(AppsPath, folder + "apps/");
    EXPECT_EQ(ImgsPath, folder + "imgs/");
    EXPECT_EQ(ConfigXml, folder + "Config/config.xml");
    EXPECT_EQ(UsersXml, folder + "Config/Users.xml");
    // apps is created, Config is not.
    EXPECT_TRUE(std::filesystem::is_directory(folder + "apps"));
    EXPECT_FALSE(std::filesystem::exists(folder + "Config"));
    // A second start leaves the contents of apps alone.
    dir.write("程序 目录/apps/keep.txt", "x");
    InitSharedState(folder + "vxclient");
    EXPECT_TRUE(std::filesystem::exists(folder + "apps/keep.txt"));
    EXPECT_TRUE(AppList.empty());
}

TEST(SharedState, UncreatableAppsFolderIsIgnored) {
    vxtest::TempDir dir("paths");
    // The executable's "folder" is a regular file: nothing can be created below it.
    std::string file = dir.write("notafolder", "");
    InitSharedState(file + "/vxclient");
    EXPECT_EQ(AppsPath, file + "/apps/");
    EXPECT_FALSE(std::filesystem::exists(AppsPath));
}

TEST(SharedState, BaseUrlForms) {
    std::string saved = BaseUrl;
    EXPECT_EQ(std::string(kBuildBaseUrl).back(), '/');
    SetBaseUrl("http://127.0.0.1:9/");
    EXPECT_EQ(BaseUrl, "http://127.0.0.1:9/");
    EXPECT_EQ(BaseUrlNoSlash, "http://127.0.0.1:9");
    SetBaseUrl("http://example.test");
    EXPECT_EQ(BaseUrl, "http://example.test/");
    EXPECT_EQ(BaseUrlNoSlash, "http://example.test");
    SetBaseUrl(saved);
}

TEST(AppList, OrderedAppendOnlyFirstMatch) {
    AppList.clear();
    TMyApp& a = AddApp(12);
    AddApp(7);
    AddApp(12); // never done by the catalogue, but the lookup still takes the first
    EXPECT_EQ(FindApp(12), &a);
    EXPECT_EQ(FindApp(7)->appID, 7);
    EXPECT_EQ(FindApp(99), nullptr);
    // Growing the list never moves a record.
    for (int i = 100; i < 1100; ++i)
        AddApp(i);
    EXPECT_EQ(FindApp(12), &a);
    EXPECT_EQ(AppList[0]->appID, 12);
    EXPECT_EQ(AppList[1]->appID, 7);
    AppList.clear();
}

TEST(AppStatus, RulesInOrderAgainstRealFiles) {
    vxtest::TempDir dir("status");
    AppList.clear();
    TMyApp& app = AddApp(3);
    app.version = "1.2";
    app.VerFile = dir.file("apps/a3/version.xml");
    EXPECT_EQ(AppStatus(app), "未安装");
    EXPECT_EQ(AppStatus(3), "未安装");
    EXPECT_EQ(AppStatus(4), "未添加");

    install(app, dir, "<?xml version=\"1.0\" encoding=\"utf-8\"?><info><a><VERSION>1.2</VERSION></a>"
                      "<version>9</version></info>");
    EXPECT_EQ(AppStatus(app), "正常");
    app.version = "1.2.0"; // texts are compared, not versions
    EXPECT_EQ(AppStatus(app), "有升级");
    app.DownStatu = "正在升级";
    EXPECT_EQ(AppStatus(app), "正在升级");
    app.DownStatu.clear();

    // A descriptor without a version element or one that is not XML reads as empty.
    install(app, dir, "<info/>");
    EXPECT_EQ(AppStatus(app), "有升级");
    app.version = "";
    EXPECT_EQ(AppStatus(app), "正常");
    install(app, dir, "not xml <");
    app.version = "1";
    EXPECT_EQ(AppStatus(app), "有升级");
    AppList.clear();
}

TEST(ShowMsg, GoesThroughTheHookWithTheTitleAsCaption) {
    std::string caption = "unset", text;
    SetShowMsgHook([&](const std::string& c, const std::string& t) {
        caption = c;
        text = t;
    });
    Title.clear();
    ShowMsg("已经运行这个程序!");
    EXPECT_EQ(caption, "");
    EXPECT_EQ(text, "已经运行这个程序!");
    Title = "应用中心";
    ShowMsg("x");
    EXPECT_EQ(caption, "应用中心");
    Title.clear();
    SetShowMsgHook(nullptr);
}
