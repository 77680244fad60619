#include "ApiFixture.h"

#include "core/Crypto.h"

using namespace apitest;

namespace {

class CatalogueTest : public ApiTest {
protected:
    void SetUp() override {
        ApiTest::SetUp();
        service.server.Get("/myApps.php", [this](const httplib::Request&, httplib::Response& res) {
            std::lock_guard lock(m);
            if (listStatus != 200)
                res.status = listStatus;
            else
                res.set_content(list, "text/xml");
        });
        service.server.Post("/userAppAdd.php",
                            [this](const httplib::Request& req, httplib::Response& res) {
                                std::lock_guard lock(m);
                                addUid = req.get_file_value("uid").content;
                                addId = req.get_file_value("appId").content;
                                if (addStatus != 200)
                                    res.status = addStatus;
                                else
                                    res.set_content(list, "text/xml");
                            });
        api->_uid = "10086";
    }

    void refresh() {
        api->_GetMyApps();
        settle();
    }
    void install(int id, const std::string& dirName, const std::string& version) {
        dir.write("apps/" + dirName + "/version.xml",
                  "<?xml version=\"1.0\" encoding=\"utf-8\"?><info><version>" + version +
                      "</version></info>");
        (void)id;
    }

    std::mutex m;
    std::string list;
    int listStatus = 200, addStatus = 200;
    std::string addUid, addId;
};

} // namespace

TEST_F(CatalogueTest, MergeAppendsUpdatesInPlaceAndKeepsVanishedRecords) {
    list = listReply({appElement(5, "five", "1.0"), appElement(3, "three", "2.0", "是")});
    refresh();
    ASSERT_EQ(vx::AppList.size(), 2u);
    vx::TMyApp* five = vx::FindApp(5);
    ASSERT_NE(five, nullptr);
    EXPECT_EQ(vx::AppList[0]->appID, 5);
    EXPECT_EQ(five->appName, "应用5");
    EXPECT_EQ(five->DirUrl, service.base() + "apps/five/");
    EXPECT_EQ(five->appDir, vx::AppsPath + "five/");
    EXPECT_EQ(five->logoFile, five->appDir + "ico.png");
    EXPECT_EQ(five->logoUrl, five->DirUrl + "ico.png");
    EXPECT_EQ(five->VerUrl, five->DirUrl + "version.xml");
    EXPECT_EQ(five->VerFile, five->appDir + "version.xml");
    EXPECT_EQ(five->VideoImg, five->appDir + "i.png");
    EXPECT_EQ(five->VideoImgUrl, five->DirUrl + "i.png");
    EXPECT_EQ(five->VideoUrl, "http://help/5");
    EXPECT_EQ(five->MainFile, "run.sh");
    EXPECT_EQ(five->appPrice, "9.9");
    EXPECT_EQ(five->myAppVersionName, "专业版");
    EXPECT_TRUE(five->showStatu);
    EXPECT_FALSE(five->nessary);
    EXPECT_TRUE(vx::FindApp(3)->nessary);
    // No folder yet: one is made when something is first written into it.
    EXPECT_FALSE(std::filesystem::exists(vx::AppsPath + "five"));
    EXPECT_FALSE(std::filesystem::exists(vx::AppsPath + "three"));
    EXPECT_EQ(api->_CheckAPP("5"), "未安装");
    // The necessary application gets no status call.
    EXPECT_EQ(host.calls, (std::vector<std::string>{"ST_icoStatu(\"5\",\"未安装\")"}));

    // A later reply: 3 vanished, 5 changed, 9 new and appended.
    list = listReply({appElement(9, "nine", "1.0"), appElement(5, "five", "1.1")});
    refresh();
    ASSERT_EQ(vx::AppList.size(), 3u);
    EXPECT_EQ(vx::FindApp(5), five); // same record, updated in place
    EXPECT_EQ(five->version, "1.1");
    EXPECT_EQ(vx::AppList[1]->appID, 3);
    EXPECT_EQ(vx::AppList[2]->appID, 9);
}

TEST_F(CatalogueTest, ExactFlagTexts) {
    list = listReply({
        "<a><appId>1</appId><Dir>d1</Dir><Statu>显示 </Statu><nessary>是 </nessary></a>",
        "<a><appId>2</appId><Dir>d2</Dir><STATU>显示</STATU><NESSARY>是</NESSARY></a>",
    });
    refresh();
    EXPECT_FALSE(vx::FindApp(1)->showStatu);
    EXPECT_FALSE(vx::FindApp(1)->nessary);
    EXPECT_TRUE(vx::FindApp(2)->showStatu);
    EXPECT_TRUE(vx::FindApp(2)->nessary);
}

TEST_F(CatalogueTest, BadElementsAreSkipped) {
    list = listReply({"<a><appId>x1</appId><Dir>bad</Dir></a>",
                      "<a><appId>7</appId><Dir>../../escape</Dir></a>",
                      "<a><appId>8</appId><Dir></Dir></a>",
                      // Id 0 would receive the downloader's messages for the client itself.
                      appElement(0, "zero", "1"), appElement(4, "ok", "1")});
    refresh();
    ASSERT_EQ(vx::AppList.size(), 1u);
    EXPECT_EQ(vx::AppList[0]->appID, 4);
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "escape"));
    // A reply that is not XML is a failed refresh: nothing changes, nothing is reported.
    host.calls.clear();
    list = "<html>error";
    refresh();
    EXPECT_TRUE(host.calls.empty());
    EXPECT_EQ(vx::AppList.size(), 1u);
}

TEST_F(CatalogueTest, StatusesAndCheckApp) {
    list = listReply({appElement(12, "twelve", "1.2"), appElement(13, "thirteen", "1.2.0"),
                      appElement(14, "fourteen", "1")});
    refresh();
    install(12, "twelve", "1.2");
    install(13, "thirteen", "1.2");
    host.calls.clear();
    api->_RefreshApp();
    EXPECT_EQ(host.calls, (std::vector<std::string>{"ST_icoStatu(\"12\",\"正常\")",
                                                    "ST_icoStatu(\"13\",\"有升级\")",
                                                    "ST_icoStatu(\"14\",\"未安装\")"}));
    EXPECT_EQ(api->_CheckAPP("12"), "正常");
    EXPECT_EQ(link.events, (std::vector<std::string>{"send:appID=12&parma=ShowForm%3Fa"}));
    EXPECT_EQ(api->_CheckAPP("13"), "有升级");
    EXPECT_EQ(api->_CheckAPP("99"), "未添加");
    EXPECT_EQ(api->_CheckAPP("abc"), "未添加");
    EXPECT_EQ(link.events.size(), 1u);
    EXPECT_EQ(api->CheckAPP(vx::FindApp(14)), "未安装");
    EXPECT_EQ(api->CheckAPP(nullptr), "未添加");
    vx::FindApp(12)->DownStatu = "正在升级";
    EXPECT_EQ(api->_CheckAPP("12"), "正在升级");
}

TEST_F(CatalogueTest, OpenTimerCommands) {
    api->_OpenTimer();
    api->OpenTimer(false);
    EXPECT_EQ(link.events, (std::vector<std::string>{"send:appID=4&parma=ShowForm%3Fa",
                                                    "send:appID=4&parma=HideForm%3Fa"}));
}

TEST_F(CatalogueTest, AddInstallsANewApplication) {
    list = listReply({appElement(21, "app21", "1.0")});
    EXPECT_EQ(api->_AddNewTestApp("21"), "正在添加");
    EXPECT_EQ(api->process, "安装");
    settle(); // the add reply, then the descriptor request fails (no route): 安装失败
    EXPECT_EQ(addUid, vx::ScrambleParam("10086"));
    EXPECT_EQ(addId, "21");
    ASSERT_GE(host.calls.size(), 3u);
    EXPECT_EQ(host.calls[0], "ST_setFlatDivAnlv(\"21\",\"添加完成\")");
    EXPECT_EQ(host.calls[1], "ST_setFlatDivAnlv(\"21\",\"正在安装\")");
    EXPECT_EQ(host.calls[2], "ST_icoStatu(\"21\",\"正在安装\")");
    EXPECT_EQ(service.count("GET /apps/app21/version.xml"), 1);
    EXPECT_EQ(api->process, "");
}

TEST_F(CatalogueTest, AddOfAnInstalledApplicationStartsNoDownload) {
    list = listReply({appElement(22, "app22", "2.0")});
    install(22, "app22", "1.0");
    api->_AddNewTestApp("22");
    settle();
    EXPECT_EQ(host.calls, (std::vector<std::string>{"ST_setFlatDivAnlv(\"22\",\"添加完成\")",
                                                    "ST_icoStatu(\"22\",\"有升级\")"}));
    EXPECT_FALSE(vx::installBusy);
    EXPECT_EQ(service.count("GET /apps/"), 0);
}

TEST_F(CatalogueTest, AddWhileBusyAndAddFailure) {
    list = listReply({appElement(23, "app23", "1.0")});
    vx::installBusy = true;
    api->_AddNewTestApp("23");
    settle();
    EXPECT_EQ(host.calls, (std::vector<std::string>{
                              "ST_setFlatDivAnlv(\"23\",\"添加完成\")",
                              "tsmsg(\"有应用正在安装，请稍候点击安装...\")",
                              "ST_icoStatu(\"23\",\"未安装\")"}));
    host.calls.clear();
    addStatus = 500;
    api->_AddNewTestApp("23");
    settle();
    EXPECT_EQ(host.calls, (std::vector<std::string>{"ST_setFlatDivAnlv(\"23\",\"添加失败\")"}));
    EXPECT_EQ(vx::FindApp(23)->DownStatu, "添加失败");
    // The id text is reported exactly as the page passed it, even when it is hostile.
    host.calls.clear();
    api->_AddNewTestApp("1\");x(\"");
    settle();
    EXPECT_EQ(host.calls, (std::vector<std::string>{
                              R"(ST_setFlatDivAnlv("1\");x(\"","添加失败"))"}));
}

TEST_F(CatalogueTest, ARefreshIsNeverTakenForAnAddReply) {
    // The add's reply is slow; a periodic refresh overtakes it.
    service.server.Post("/userAppAdd.php", [this](const httplib::Request&, httplib::Response& res) {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        std::lock_guard lock(m);
        res.set_content(list, "text/xml");
    });
    list = listReply({appElement(24, "app24", "1.0")});
    install(24, "app24", "1.0");
    api->_AddNewTestApp("24");
    api->_GetMyApps();
    settle();
    // Exactly one "添加完成", tagged with the add's id, never with the refresh's "0".
    EXPECT_EQ(host.callsStarting("ST_setFlatDivAnlv").size(), 1u);
    EXPECT_TRUE(host.has("ST_setFlatDivAnlv(\"24\",\"添加完成\")"));
}
