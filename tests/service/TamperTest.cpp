// A man in the middle between the client's core and the demo service, which signs its
// descriptors and lists SHA-256 for every file: whatever byte it changes, nothing it made is
// placed or started. The client's parts are the real ones (HTTP worker, downloader).

#include "ClientFixture.h"
#include "support/TamperProxy.h"

namespace servicetest {
namespace {

class TamperTest : public SignedServiceTest {
protected:
    void SetUp() override {
        SignedServiceTest::SetUp();
        proxy = std::make_unique<vxtest::TamperProxy>(port);
    }
    void TearDown() override {
        SignedServiceTest::TearDown();
        proxy.reset();
    }
    // Everything goes through the proxy, the login included.
    void loginThroughProxy() {
        vx::SetBaseUrl(proxy->base());
        login();
        ASSERT_NE(vx::FindApp(15), nullptr);
        ASSERT_EQ(vx::FindApp(15)->VerUrl.rfind(proxy->base(), 0), 0u) << vx::FindApp(15)->VerUrl;
        host.calls.clear();
    }

    // The files below an application's folder (none when it does not exist).
    static int filesIn(const std::string& folder) {
        std::error_code ec;
        int n = 0;
        for (auto it = std::filesystem::recursive_directory_iterator(folder, ec);
             !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec))
            n += it->is_regular_file();
        return n;
    }

    std::unique_ptr<vxtest::TamperProxy> proxy;
};

TEST_F(TamperTest, NothingAChangedByteMadeIsPlacedOrStarted) {
    loginThroughProxy();

    // Untouched, the signed road works: the refusals below are the changes' doing.
    EXPECT_EQ(api->_InstallApp("12"), "正在安装");
    waitIdle("the install of 12");
    EXPECT_TRUE(host.has("ST_setFlatDivAnlv(\"12\",\"安装完成\")"));
    EXPECT_EQ(proxy->requests("GET /apps/userinfo/version.xml.sig"), 1);
    const std::string readme = vx::AppsPath + "userinfo/readme.txt";
    const std::string oldReadme = vxtest::readFile(readme);
    const std::string oldDescriptor = vxtest::readFile(vx::AppsPath + "userinfo/version.xml");
    ASSERT_FALSE(oldReadme.empty());
    ASSERT_EQ(api->_CheckAPP("12"), "有升级");

    // A package swapped for another, whole and valid one (the appinfo application's): only
    // its digest can tell.
    const std::string other =
        vxtest::readFile(std::string(VX_SAMPLE_APPS_DIR) + "/appinfo/appinfo-1.0.zip");
    ASSERT_FALSE(other.empty());
    proxy->setRule([other](const std::string& path, std::string& body) {
        if (path != "/apps/launcher/launcher-1.0.zip")
            return false;
        body = other;
        return true;
    });
    host.calls.clear();
    EXPECT_EQ(api->_InstallApp("15"), "正在安装");
    waitIdle("the install of 15");
    EXPECT_GT(proxy->tampered(), 0);
    EXPECT_TRUE(host.has("ST_setFlatDivAnlv(\"15\",\"安装失败\")"));
    EXPECT_TRUE(statusHas("SHA256"));
    EXPECT_EQ(filesIn(vx::AppsPath + "launcher"), 0);
    EXPECT_EQ(api->_CheckAPP("15"), "安装失败");

    // A descriptor: its signature no longer fits, and its package is never asked for.
    proxy->setRule(vxtest::TamperProxy::bumpVersionOf("/apps/launcher/version.xml"));
    const int packageFetches = proxy->requests("GET /apps/launcher/launcher-1.0.zip");
    host.calls.clear();
    EXPECT_EQ(api->_InstallApp("15"), "正在安装");
    waitIdle("the refused install of 15");
    EXPECT_TRUE(statusHas("描述文件签名无效，已拒绝：" + proxy->base() + "apps/launcher/version.xml"));
    EXPECT_EQ(proxy->requests("GET /apps/launcher/launcher-1.0.zip"), packageFetches);
    EXPECT_EQ(filesIn(vx::AppsPath + "launcher"), 0);

    // One byte of a file of an update of application 12.
    const int before = proxy->tampered();
    proxy->setRule(vxtest::TamperProxy::flipByteOf("/apps/userinfo/readme.txt"));
    host.calls.clear();
    EXPECT_EQ(api->_UpdateApp("12"), "正在升级");
    waitIdle("the update of 12");
    EXPECT_GT(proxy->tampered(), before);
    EXPECT_TRUE(host.has("ST_setFlatDivAnlv(\"12\",\"安装失败\")"));
    EXPECT_EQ(vxtest::readFile(readme), oldReadme);
    EXPECT_EQ(vxtest::readFile(vx::AppsPath + "userinfo/version.xml"), oldDescriptor);
    EXPECT_EQ(vx::FindApp(12)->DownStatu, "升级失败");
}

TEST_F(TamperTest, TheClientsOwnUpdateChangedOnTheWayIsNeverRun) {
    // A release of the client on the service, and the running client an older one.
    const std::string v2 = "#!/bin/sh\necho v2 > \"$(dirname \"$0\")/ran.txt\"\n";
    std::filesystem::create_directories(data.path() / "apps/KVLMZ/files");
    data.write("apps/KVLMZ/files/vxclient", v2);
    data.write("apps/KVLMZ/version.txt", "2.0");
    api->executablePath = client.write("vxclient", "#!/bin/sh\necho v1\n");
    vx::SetShowMsgHook([](const std::string&, const std::string&) {});
    vx::SetBaseUrl(proxy->base());

    // The new client's bytes.
    proxy->setRule(vxtest::TamperProxy::flipByteOf("/apps/KVLMZ/vxclient"));
    api->CheckMainVer();
    waitIdle("the client's update");
    EXPECT_GT(proxy->tampered(), 0);
    EXPECT_FALSE(std::filesystem::exists(client.file("Update/vxclient")));
    EXPECT_FALSE(std::filesystem::exists(client.file("temp.sh")));
    EXPECT_EQ(host.closed, 0);

    // Its descriptor, pointing at another file with that file's own digests: no signature
    // fits, nothing is fetched.
    proxy->setRule([](const std::string& path, std::string& body) {
        const auto at = body.find("Name=\"vxclient\"");
        if (path != "/apps/KVLMZ/version.xml" || at == std::string::npos)
            return false;
        body.replace(at, 15, "Name=\"evil.sh\"");
        return true;
    });
    const int fetches = proxy->requests("GET /apps/KVLMZ/");
    host.calls.clear();
    api->CheckMainVer();
    waitIdle("the refused check");
    EXPECT_TRUE(statusHas("描述文件签名无效，已拒绝："));
    EXPECT_EQ(proxy->requests("GET /apps/KVLMZ/"), fetches + 2); // the descriptor and its signature
    EXPECT_FALSE(std::filesystem::exists(client.file("Update/evil.sh")));
    EXPECT_EQ(host.closed, 0);
    vx::SetShowMsgHook(nullptr);
    EXPECT_FALSE(std::filesystem::exists(client.file("ran.txt")));
}

// Genuine files replayed for something else: another application's signed pair at an
// application's address, an older signed release after an uninstall, a list that names
// another file of the package to start. Every one is refused; nothing is placed or run.
TEST_F(TamperTest, AGenuineReplayDoesNothingItWasNotSignedFor) {
    loginThroughProxy();
    httplib::Client service("127.0.0.1", port);
    const auto genuine = [&](const std::string& path) {
        auto r = service.Get(path);
        return r && r->status == 200 ? r->body : std::string();
    };
    const std::string appinfo = genuine("/apps/appinfo/version.xml");
    const std::string appinfoSig = genuine("/apps/appinfo/version.xml.sig");
    ASSERT_NE(appinfo.find("<appId>20</appId>"), std::string::npos) << appinfo;
    // What the service signed for userinfo once, when it offered 1.0: signed by its key.
    std::string older = genuine("/apps/userinfo/version.xml");
    ASSERT_NE(older.find("<version>1.1</version>"), std::string::npos) << older;
    older.replace(older.find("<version>1.1</version>"), 22, "<version>1.0</version>");
    const std::string olderSig =
        vx::signatureFileText(*vx::signEd25519(signingKey.privatePem, older));
    const auto serve = [this](std::map<std::string, std::string> bodies) {
        proxy->setRule([bodies](const std::string& path, std::string& body) {
            auto it = bodies.find(path);
            if (it == bodies.end())
                return false;
            body = it->second;
            return true;
        });
    };

    // Another application's pair at the launcher's address.
    serve({{"/apps/launcher/version.xml", appinfo}, {"/apps/launcher/version.xml.sig", appinfoSig}});
    EXPECT_EQ(api->_InstallApp("15"), "正在安装");
    waitIdle("the install of 15");
    EXPECT_TRUE(statusHas("描述文件不属于该应用，已拒绝：" + proxy->base() + "apps/launcher/version.xml"));
    EXPECT_EQ(proxy->requests("GET /apps/launcher/launcher"), 0);
    EXPECT_EQ(proxy->requests("GET /apps/appinfo/"), 0);
    EXPECT_EQ(filesIn(vx::AppsPath + "launcher"), 0);

    // Installed (1.1 accepted) and uninstalled, then the older release served again.
    serve({});
    EXPECT_EQ(api->_InstallApp("12"), "正在安装");
    waitIdle("the install of 12");
    ASSERT_TRUE(host.has("ST_setFlatDivAnlv(\"12\",\"安装完成\")"));
    EXPECT_EQ(api->_UninstallApp("12"), "未安装");
    waitIdle("the uninstall");
    serve({{"/apps/userinfo/version.xml", older}, {"/apps/userinfo/version.xml.sig", olderSig}});
    host.calls.clear();
    const int packages = proxy->requests("GET /apps/userinfo/userinfo");
    EXPECT_EQ(api->_InstallApp("12"), "正在安装");
    waitIdle("the older install of 12");
    EXPECT_TRUE(statusHas("描述文件的版本比已安装的旧，已拒绝："));
    EXPECT_EQ(proxy->requests("GET /apps/userinfo/userinfo"), packages);
    EXPECT_EQ(filesIn(vx::AppsPath + "userinfo"), 0);

    // Installed and updated again; the list then names the package's readme as the program
    // to start.
    serve({});
    EXPECT_EQ(api->_InstallApp("12"), "正在安装");
    waitIdle("the install of 12");
    EXPECT_EQ(api->_UpdateApp("12"), "正在升级");
    waitIdle("the update of 12");
    ASSERT_EQ(api->_CheckAPP("12"), "正常");
    proxy->setRule([](const std::string& path, std::string& body) {
        const auto at = body.find("<MainFile>vx-userinfo");
        if (path.rfind("/myApps.php", 0) != 0 || at == std::string::npos)
            return false;
        body.replace(at, std::string("<MainFile>vx-userinfo").size(), "<MainFile>readme.txt");
        return true;
    });
    api->_GetMyApps();
    waitIdle("the list");
    ASSERT_EQ(vx::FindApp(12)->MainFile.rfind("readme.txt", 0), 0u) << vx::FindApp(12)->MainFile;
    host.calls.clear();
    EXPECT_EQ(api->_RunApp("12"), "正在启动");
    EXPECT_TRUE(statusHas("应用无法启动：" + vx::AppsPath + "userinfo/readme.txt"))
        << ::testing::PrintToString(host.calls);
}

} // namespace
} // namespace servicetest
