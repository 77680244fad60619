#include "ApiFixture.h"

#include <atomic>
#include <LinkClient.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/Text.h"
#include "support/Loopback.h"

using namespace apitest;

namespace {

class LinkTest : public ApiTest {
protected:
    void SetUp() override {
        ApiTest::SetUp();
        vx::TMyApp& app = vx::AddApp(12);
        app.appPrice = "9.9 元";
        app.myAppVersionName = "专业版&1";
        app.VideoUrl = "http://help/?a=1";
        app.appDir = vx::AppsPath + "app12/";
        app.MainFile = "main.sh";
    }
};

} // namespace

TEST_F(LinkTest, RepliesToInformationRequests) {
    vx::UserInfo.uid = "10086";
    notify("获取用户信息:MyID=12");
    notify("获取用户信息:myid=7");
    notify("获取应用信息:MyID=12");
    notify("获取应用信息:MyID=99");
    EXPECT_EQ(sent(), (std::vector<std::string>{
                          "appID=12&parma=UserInfo%3Fuid%3D10086",
                          "appID=7&parma=UserInfo%3Fuid%3D10086",
                          "appID=12&parma=AppInfo%3FappPrice%3D9.9%2B%25D4%25AA%26"
                          "myAppVersionName%3D%25D7%25A8%25D2%25B5%25B0%25E6%25261%26"
                          "help%3Dhttp%253A%252F%252Fhelp%252F%253Fa%253D1",
                          "appID=99&parma=Close%3Ffdsa"}));
}

TEST_F(LinkTest, ErrorPayloads) {
    notify("运行应用:appID=x");
    notify("运行应用:appID=12&parma=%zz");
    notify("获取应用信息:MyID=");
    notify("获取用户信息:MyID=1.5");
    EXPECT_EQ(sent(), (std::vector<std::string>{
                          "appID=0&parma=error%3Fmsg%3DCallApp%253A%25B2%25CE%25CA%25FD%25B4%25ED%25CE%25F3",
                          "appID=12&parma=error%3Fmsg%3DCallApp%253A%25B2%25CE%25CA%25FD%25B4%25ED%25CE%25F3",
                          "appID=0&parma=error%3Fmsg%3DGetAppInfo%253A%25B2%25CE%25CA%25FD%25B4%25ED%25CE%25F3",
                          "appID=0&parma=error%3Fmsg%3DGetUserInfo%253A%25B2%25CE%25CA%25FD%25B4%25ED%25CE%25F3"}));
}

TEST_F(LinkTest, LoginInformationTakesOverTheUser) {
    vx::UserInfo.pwd = "kept";
    notify("登陆信息:user=%D5%C5%C8%FD&qq=1&aid=2&uid=7");
    EXPECT_EQ(vx::UserInfo.user, "张三");
    EXPECT_EQ(vx::UserInfo.qq, "1");
    EXPECT_EQ(vx::UserInfo.aid, "2");
    EXPECT_EQ(vx::UserInfo.uid, "7");
    EXPECT_EQ(vx::UserInfo.pwd, "kept");
    EXPECT_EQ(link.events, (std::vector<std::string>{"CloseAll", "SetUid:7",
                                                    "send:appID=4&parma=HideForm%3Fa"}));
    EXPECT_TRUE(host.calls.empty()); // the page is not told
    EXPECT_EQ(api->_uid, "");        // nor are the page API's own fields changed

    // Without the colon the first pair is lost; missing pairs become empty.
    link.events.clear();
    notify("登陆信息user=a&uid=8");
    EXPECT_EQ(vx::UserInfo.user, "");
    EXPECT_EQ(vx::UserInfo.qq, "");
    EXPECT_EQ(vx::UserInfo.uid, "8");

    // A malformed escape stops at that field, with a message box.
    std::string shown;
    vx::SetShowMsgHook([&](const std::string&, const std::string& t) { shown = t; });
    link.events.clear();
    notify("登陆信息:user=b&qq=%4&uid=9");
    vx::SetShowMsgHook(nullptr);
    EXPECT_EQ(shown, "登陆失败");
    EXPECT_EQ(vx::UserInfo.user, "b");
    EXPECT_EQ(vx::UserInfo.uid, "8");
    EXPECT_EQ(link.events, (std::vector<std::string>{"CloseAll"}));
}

TEST_F(LinkTest, StatusEventsAndIgnoredMessages) {
    notify("启动成功:应用12已启动");
    notify("启动失败:x");
    notify("应用上线:appID=12");
    notify("应用下线:appID=12");
    notify("调用成功");
    notify("随便什么");
    notify("");
    EXPECT_EQ(host.calls, (std::vector<std::string>{"ST_softStatu(\"启动成功:应用12已启动\")"}));
    EXPECT_TRUE(link.events.empty());
    // A hostile status text stays data.
    host.calls.clear();
    notify("启动成功\");alert(1);//");
    EXPECT_EQ(host.calls, (std::vector<std::string>{R"(ST_softStatu("启动成功\");alert(1);//"))"}));
}

TEST_F(LinkTest, RunAppStartsTheMainFileInItsFolder) {
    notify("运行应用:appID=55&parma=x");
    notify("运行应用:appID=12&parma=x");
    EXPECT_EQ(host.calls, (std::vector<std::string>{
                              "ST_softStatu(\"参数错误!\")",
                              "ST_softStatu(\"应用不存在：" + vx::AppsPath + "app12/main.sh\")"}));
    std::string main = dir.write("apps/app12/main.sh",
                                 "#!/bin/sh\n{ pwd; printf '[%s]\\n' \"$@\"; } > out.tmp && "
                                 "mv out.tmp out.txt\n");
    ::chmod(main.c_str(), 0755);
    // parma is form-URL encoded: "ShowForm?a=1 &b" then a quoted argument.
    notify("运行应用:appID=12&parma=ShowForm%3Fa%3D1+%26b+%22two+words%22");
    const std::string out = vx::AppsPath + "app12/out.txt";
    for (int i = 0; i < 500 && !std::filesystem::exists(out); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(vxtest::readFile(out),
              vx::AppsPath + "app12\n[ShowForm?a=1]\n[&b]\n[two words]\n");
    EXPECT_TRUE(sent().empty());
}

TEST_F(LinkTest, RoadThroughTheRealLinkServer) {
    vx::HelperLibraries libs;
    ASSERT_TRUE(libs.bindLinkServer(VX_LIB_DIR).ok());
    vx::TVX_JS client(host, libs, downloader);
    vx::setLinkMessageHandler([&](const std::string& t) { client.LinkNotify(t); });
    int port = vxtest::freePort();
    ASSERT_TRUE(libs.StartServer("127.0.0.1", std::to_string(port)));
    vx::UserInfo.uid = "10086";

    vxlink::LinkClientOptions opts;
    opts.port = static_cast<std::uint16_t>(port);
    opts.appId = 12;
    vxlink::LinkClient app(opts);
    app.start();
    ASSERT_TRUE(app.waitRegistered(std::chrono::seconds(10)).ok());
    ASSERT_TRUE(app.send("获取用户信息:MyID=12").ok());
    std::optional<vxlink::LinkMessage> reply;
    std::atomic<bool> received{false}; // the reader's result is read only after this
    std::thread reader([&] {
        reply = app.receive(std::chrono::seconds(20));
        received = true;
    });
    waitFor([&] { return received.load(); }, "the reply");
    reader.join();
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->payload, "UserInfo?uid=10086");
    EXPECT_EQ(reply->argument("uid").value_or(""), "10086");
    app.close();
    vx::setLinkMessageHandler(nullptr);
    libs.DisconnectAllAndUnload();
    loop.processPending();
}
