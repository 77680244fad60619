// The catalogue cache behind the offline page: written after a merged list, read back by the
// catalogue's own reader for the last user.

#include "ApiFixture.h"

#include "core/Background.h"
#include "core/Crypto.h"

namespace fs = std::filesystem;

namespace {

using namespace apitest;

class OfflineTest : public ApiTest {
protected:
    void SetUp() override {
        ApiTest::SetUp();
        service.server.Post("/Login.php", [this](const httplib::Request& req, httplib::Response& res) {
            const std::string uid = req.get_file_value("user").content == "first" ? "10086" : "777";
            res.set_content("<?xml version=\"1.0\" encoding=\"utf-8\"?><root><statu>true</statu>"
                            "<msg></msg><info><user>u</user><uid>" + uid + "</uid></info></root>",
                            "text/xml; charset=utf-8");
        });
        service.server.Get("/myApps.php", [this](const httplib::Request&, httplib::Response& res) {
            std::lock_guard lock(m);
            res.set_content(listReply(apps), "text/xml");
        });
    }
    void login(const std::string& user) {
        const std::size_t before = host.callsStarting("ST_Login(").size();
        api->_LoginFun(user, "s3cret-pw", "1", "0");
        waitFor([&] { return host.callsStarting("ST_Login(").size() > before; }, "the login");
        settle();
    }
    std::mutex m;
    std::vector<std::string> apps;
};

TEST_F(OfflineTest, TheLastUsersInstalledApplicationsComeBackFromTheCache) {
    dir.write("apps/app31/version.xml", "<info><version>0.9</version></info>");
    apps = {appElement(30, "app30", "1.0"), appElement(31, "app31", "1.0")};
    login("first");
    const std::string first = vx::TVX_JS::catalogueCacheFile("10086");
    waitFor([&] { return fs::exists(first); }, "the first user's cache");
    EXPECT_EQ(fs::status(first).permissions() & (fs::perms::group_all | fs::perms::others_all),
              fs::perms::none);
    const std::string text = vxtest::readFile(first);
    for (const std::string& secret : {std::string("s3cret-pw"), vx::ScrambleParam("10086")})
        EXPECT_EQ(text.find(secret), std::string::npos) << secret;
    // A later user's list: the offline page shows his.
    std::this_thread::sleep_for(std::chrono::milliseconds(20)); // a later time stamp
    {
        std::lock_guard lock(m);
        apps = {appElement(31, "app31", "1.0"), appElement(32, "app32", "1.0")};
    }
    dir.write("apps/app32/version.xml", "<info><version>1.0</version></info>");
    login("second");
    waitFor([&] { return fs::exists(vx::TVX_JS::catalogueCacheFile("777")); }, "the second cache");
    waitFor([] { return vx::backgroundJobsRunning() == 0; }, "the writes");

    // A start without the service: nothing in the list but what the cache holds.
    vx::AppList.clear();
    vx::TVX_JS offline(host, link, downloader);
    offline.enterOffline();
    EXPECT_EQ(offline._GetOfflineApps(),
              R"([{"id":"31","name":"应用31","version":"0.9","status":"正常"},)"
              R"({"id":"32","name":"应用32","version":"1.0","status":"正常"}])");
    EXPECT_EQ(vx::FindApp(30), nullptr);
    EXPECT_EQ(vx::FindApp(31)->appDir, vx::AppsPath + "app31/");
    EXPECT_EQ(offline._UninstallApp("32"), "未安装");
    EXPECT_EQ(offline._GetOfflineApps(), R"([{"id":"31","name":"应用31","version":"0.9","status":"正常"}])");
}

} // namespace
