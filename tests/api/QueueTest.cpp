// The download queue through the page API and the real downloader: order, a queue file that
// a kill left, the users' queues kept apart, pause and resume, the disk-space check, the
// rate limit, and verify and repair of installed files.

#include "InstallFixture.h"

#include "core/Signing.h"

namespace fs = std::filesystem;

namespace {

using namespace apitest;

class QueueTest : public InstallTest {
protected:
    void SetUp() override {
        InstallTest::SetUp();
        fs::create_directories(vx::ConfigPath);
        queueFile = vx::ConfigPath + "Queue.xml";
        api->loadQueue(queueFile);
        apps = {appElement(30, "app30", "1.0"), appElement(31, "app31", "1.0"),
                appElement(32, "app32", "1.0")};
        for (int id : {30, 31, 32}) {
            const std::string d = "app" + std::to_string(id);
            const std::string desc = descriptor("1.0", "");
            publish(d + "/version.xml", desc);
            publish(d + "/pkg.zip", makeZip(dir, {{"version.xml", desc}, {"run.sh", d}}));
        }
        // Users "a" and "b" log in as 7 and 8.
        service.server.Post("/Login.php", [](const httplib::Request& req, httplib::Response& res) {
            const std::string uid = req.get_file_value("user").content == "a" ? "7" : "8";
            res.set_content("<?xml version=\"1.0\" encoding=\"utf-8\"?><root><statu>true</statu>"
                            "<msg></msg><info><user>u</user><uid>" + uid + "</uid></info></root>",
                            "text/xml; charset=utf-8");
        });
    }
    void TearDown() override {
        vx::TVX_JS::setFreeSpaceForTests(std::nullopt);
        InstallTest::TearDown();
    }
    void login(const std::string& user) {
        const std::size_t before = host.callsStarting("ST_Login(").size();
        api->_LoginFun(user, "pw", "0", "0");
        waitFor([&] { return host.callsStarting("ST_Login(").size() > before; }, "the login");
    }
    // The packages the service was asked for, in order ("30", "32", ...).
    std::vector<std::string> packagesFetched() {
        std::vector<std::string> out;
        std::lock_guard lock(service.mutex);
        for (const auto& r : service.requests)
            if (auto at = r.find("/pkg.zip"); at != std::string::npos)
                out.push_back(r.substr(at - 2, 2));
        return out;
    }
    bool installed(int id) {
        return fs::exists(vx::AppsPath + "app" + std::to_string(id) + "/run.sh");
    }
    std::string queueFile;
};

TEST_F(QueueTest, OneOperationAtATimeInQueueOrderAndTheFirstSetStillRefuses) {
    loadList();
    hold("app30/pkg.zip");
    EXPECT_EQ(api->_QueueApp("30"), "正在安装");
    waitFor([&] { return requestsFor("app30/pkg.zip") == 1; }, "the first package");
    EXPECT_EQ(api->_QueueApp("31"), "排队中");
    EXPECT_EQ(api->_QueueApp("32"), "排队中");
    EXPECT_EQ(api->_QueueApp("32"), "排队中"); // once only
    EXPECT_EQ(api->_QueueApp("99"), "未添加");
    EXPECT_TRUE(host.has("ST_setFlatDivAnlv(\"31\",\"排队中\")"));
    EXPECT_EQ(api->_GetQueue(), "31,32");
    EXPECT_EQ(api->_MoveInQueue("32", 0), "32,31");
    EXPECT_EQ(api->_MoveInQueue("32", 99), "31,32");
    EXPECT_EQ(api->_MoveInQueue("32", -5), "32,31");
    EXPECT_EQ(api->_CheckAPP("31"), "排队中");
    // What waits is on disk, owner-only.
    EXPECT_NE(vxtest::readFile(queueFile).find("id=\"31\""), std::string::npos);
    EXPECT_EQ(fs::status(queueFile).permissions() & (fs::perms::group_all | fs::perms::others_all),
              fs::perms::none);
    EXPECT_EQ(api->_InstallApp("31"), "有应用正在安装，请稍候再试...");
    EXPECT_EQ(api->_UpdateApp("31"), "有应用正在安装，请稍候再试...");
    release();
    waitFor([&] { return installed(30) && installed(31) && installed(32) && !vx::installBusy; },
            "the three installs");
    waitIdle("the queue");
    EXPECT_EQ(packagesFetched(), (std::vector<std::string>{"30", "32", "31"}));
    EXPECT_EQ(api->_GetQueue(), "");
    EXPECT_EQ(vxtest::readFile(queueFile).find("<app"), std::string::npos);
    EXPECT_EQ(api->_QueueApp("30"), "正常"); // nothing to fetch
    // A failed operation ends its turn too: the next begins.
    publish("app31/version.xml", "not a descriptor");
    std::filesystem::remove_all(vx::AppsPath + "app31");
    std::filesystem::remove_all(vx::AppsPath + "app32");
    hold("app31/version.xml");
    EXPECT_EQ(api->_QueueApp("31"), "正在安装");
    EXPECT_EQ(api->_QueueApp("32"), "排队中");
    release();
    waitFor([&] { return installed(32) && !vx::installBusy; }, "the install after a failure");
    EXPECT_EQ(api->_CheckAPP("31"), "安装失败");
}

TEST_F(QueueTest, WhatAKillLeftGoesOnUnderItsOwnUserOnly) {
    // Another user's login comes while 8's entry waits for its descriptor, and while its
    // package is on its way: either way it stops, 7's queue runs, and 8's goes on later.
    for (const std::string phase : {"app32/version.xml", "app32/pkg.zip"}) {
        SCOPED_TRACE(phase);
        for (int id : {30, 31, 32})
            fs::remove_all(vx::AppsPath + "app" + std::to_string(id));
        {
            std::lock_guard lock(service.mutex);
            service.requests.clear();
        }
        // As a kill left it: 7 had begun 30 with 31 waiting; 8 has 32 waiting.
        std::ofstream(queueFile) << "<queue><user uid=\"7\"><active id=\"30\" kind=\"install\"/>"
                                    "<app id=\"31\" kind=\"install\"/></user>"
                                    "<user uid=\"8\"><app id=\"32\" kind=\"install\"/></user></queue>";
        api->loadQueue(queueFile);
        if (phase == "app32/version.xml") {
            EXPECT_EQ(api->_GetQueue(), ""); // nobody logged in yet
        }
        hold(phase);
        login("b");
        waitFor([&] { return service.count("GET /apps/" + phase) == 1; }, "8's entry");
        login("a");
        release();
        waitFor([&] { return installed(30) && installed(31) && !vx::installBusy; }, "7's queue");
        waitIdle("7's queue");
        EXPECT_FALSE(installed(32));
        const std::vector<std::string> expected =
            phase == "app32/pkg.zip" ? std::vector<std::string>{"32", "30", "31"}
                                     : std::vector<std::string>{"30", "31"};
        EXPECT_EQ(packagesFetched(), expected);
        EXPECT_NE(vxtest::readFile(queueFile).find("id=\"32\""), std::string::npos);
        login("b");
        waitFor([&] { return installed(32) && !vx::installBusy; }, "8's queue");
        waitIdle("8's queue");
        EXPECT_EQ(vxtest::readFile(queueFile).find("<app"), std::string::npos);
        EXPECT_EQ(vxtest::readFile(queueFile).find("<active"), std::string::npos);
    }
    // A damaged queue file is an empty queue.
    std::ofstream(queueFile) << "<queue><user uid=\"7\"><app id=\"x\"";
    api->loadQueue(queueFile);
    EXPECT_EQ(api->_GetQueue(), "");
}

TEST_F(QueueTest, PauseKeepsTheTurnForLaterAndResumeFinishesIt) {
    loadList();
    hold("app30/pkg.zip");
    ASSERT_EQ(api->_QueueApp("30"), "正在安装");
    EXPECT_EQ(api->_QueueApp("31"), "排队中");
    EXPECT_EQ(api->_PauseApp("31"), "已暂停"); // a waiting one
    EXPECT_EQ(api->_GetQueue(), "");
    waitFor([&] { return requestsFor("app30/pkg.zip") == 1; }, "the download");
    EXPECT_EQ(api->_PauseApp("30"), "已暂停"); // the running one
    release();
    waitIdle("the pause");
    EXPECT_EQ(api->_CheckAPP("30"), "已暂停");
    EXPECT_FALSE(installed(30));
    EXPECT_FALSE(installed(31));
    EXPECT_TRUE(host.has("ST_setFlatDivAnlv(\"30\",\"已暂停\")"));
    EXPECT_NE(vxtest::readFile(queueFile).find("<paused id=\"30\""), std::string::npos);
    EXPECT_EQ(api->_ResumeApp("31"), "正在安装");
    EXPECT_EQ(api->_ResumeApp("30"), "排队中");
    waitFor([&] { return installed(30) && installed(31) && !vx::installBusy; }, "the resumed");
    waitIdle("the resumed");
    EXPECT_EQ(api->_ResumeApp("30"), "正常");
    // Removing a paused entry forgets it.
    std::filesystem::remove_all(vx::AppsPath + "app32");
    hold("app32/pkg.zip");
    ASSERT_EQ(api->_QueueApp("32"), "正在安装");
    waitFor([&] { return requestsFor("app32/pkg.zip") == 1; }, "the third download");
    EXPECT_EQ(api->_PauseApp("32"), "已暂停");
    release();
    waitIdle("the second pause");
    EXPECT_EQ(api->_RemoveFromQueue("32"), "未安装");
    EXPECT_EQ(vxtest::readFile(queueFile).find("id=\"32\""), std::string::npos);
    for (const auto& e : fs::directory_iterator(vx::AppsPath + "app32"))
        ADD_FAILURE() << "left behind: " << e.path();
}

TEST_F(QueueTest, TooLittleSpaceFetchesNothing) {
    struct Case {
        const char* name;
        bool update;
    };
    for (const Case c : {Case{"install", false}, Case{"update", true}}) {
        SCOPED_TRACE(c.name);
        const std::string big(64, 'b');
        if (c.update) {
            dir.write("apps/app31/version.xml", descriptor("0.9", ""));
            publish("app31/version.xml",
                    descriptor("1.0", "<f Dir=\"{app}\" Name=\"big.bin\" SHA256=\"" +
                                          vx::sha256Hex(big) + "\" size=\"10485760\"/>"));
            publish("app31/big.bin", big);
        } else {
            publish("app31/version.xml", "<?xml version=\"1.0\"?><info><appId>31</appId>"
                                         "<version>1.0</version><zipFile>pkg.zip</zipFile>"
                                         "<size>10485760</size></info>");
        }
        loadList();
        vx::TVX_JS::setFreeSpaceForTests(1 << 20);
        ASSERT_EQ(api->_QueueApp("31"), c.update ? "正在升级" : "正在安装");
        waitIdle("the refusal");
        EXPECT_EQ(host.callsStarting("ST_softStatu(").back(),
                  c.update ? "ST_softStatu(\"磁盘空间不足：需要 10 MB，可用 1 MB\")"
                           : "ST_softStatu(\"磁盘空间不足：需要 20 MB，可用 1 MB\")");
        EXPECT_EQ(requestsFor("app31/pkg.zip") + requestsFor("app31/big.bin"), 0);
        EXPECT_EQ(api->_CheckAPP("31"), c.update ? "升级失败" : "安装失败");
        // With the space there, the same goes through.
        vx::TVX_JS::setFreeSpaceForTests(std::nullopt);
        vx::FindApp(31)->DownStatu.clear();
    }
}

TEST_F(QueueTest, VerifyFindsTheDamageAndRepairFetchesOnlyThat) {
    const std::map<std::string, std::string> content{
        {"a.txt", "alpha"}, {"b.txt", "bravo"}, {"sub/c.txt", "charlie"}};
    std::string entries;
    for (const auto& [name, bytes] : content) {
        const auto slash = name.find('/');
        const std::string d = slash == std::string::npos ? "" : name.substr(0, slash + 1);
        const std::string n = name.substr(slash == std::string::npos ? 0 : slash + 1);
        // One by MD5 only, the others by SHA-256.
        entries += "<f Dir=\"{app}" + d + "\" Name=\"" + n + "\" " +
                   (n == "a.txt" ? "MD5=\"" + md5Upper(bytes) : "SHA256=\"" + vx::sha256Hex(bytes)) +
                   "\"/>";
        dir.write("apps/app30/" + name, bytes);
        publish("app30/" + name, bytes);
    }
    dir.write("apps/app30/version.xml", descriptor("1.0", entries));
    loadList();
    EXPECT_EQ(api->_VerifyApp("30"), "正在校验");
    waitIdle("the first check");
    EXPECT_EQ(host.callsStarting("ST_setFlatDivAnlv(\"30\"").back(),
              "ST_setFlatDivAnlv(\"30\",\"文件完整\")");
    EXPECT_FALSE(host.callsStarting("ST_jdt(\"30\"").empty());
    dir.write("apps/app30/b.txt", "bravX");
    fs::remove(vx::AppsPath + "app30/sub/c.txt");
    EXPECT_EQ(api->_VerifyApp("30"), "正在校验");
    waitIdle("the second check");
    EXPECT_EQ(host.callsStarting("ST_setFlatDivAnlv(\"30\"").back(),
              "ST_setFlatDivAnlv(\"30\",\"文件损坏：2\")");
    EXPECT_EQ(api->_RepairApp("30"), "正在修复");
    waitIdle("the repair");
    EXPECT_EQ(host.callsStarting("ST_setFlatDivAnlv(\"30\"").back(),
              "ST_setFlatDivAnlv(\"30\",\"修复完成\")");
    EXPECT_EQ(service.count("GET /apps/app30/a.txt"), 0);
    EXPECT_EQ(service.count("GET /apps/app30/b.txt"), 1);
    EXPECT_EQ(service.count("GET /apps/app30/sub/c.txt"), 1);
    for (const auto& [name, bytes] : content)
        EXPECT_EQ(vxtest::readFile(vx::AppsPath + "app30/" + name), bytes) << name;
    EXPECT_EQ(api->_CheckAPP("30"), "正常");
    // Nothing damaged: nothing fetched.
    EXPECT_EQ(api->_RepairApp("30"), "正在修复");
    waitIdle("the second repair");
    EXPECT_EQ(host.callsStarting("ST_setFlatDivAnlv(\"30\"").back(),
              "ST_setFlatDivAnlv(\"30\",\"文件完整\")");
    EXPECT_EQ(service.count("GET /apps/app30/b.txt"), 1);
    EXPECT_EQ(api->_VerifyApp("31"), "未安装");
}

TEST_F(QueueTest, TheRateLimitIsRememberedOverConfigXml) {
    const std::string setting = vx::ConfigPath + "RateLimit";
    api->loadRateLimit(setting, 300);
    EXPECT_EQ(api->_GetRateLimit(), "300");
    EXPECT_EQ(api->_SetRateLimit(512), "512");
    EXPECT_EQ(api->_SetRateLimit(-1), "512");
    EXPECT_EQ(vx::trimSpaces(vxtest::readFile(setting)), "512");
    vx::TVX_JS again(host, link, libs);
    again.loadRateLimit(setting, 300);
    EXPECT_EQ(again._GetRateLimit(), "512");
    EXPECT_EQ(api->_SetRateLimit(0), "0");
}

} // namespace
