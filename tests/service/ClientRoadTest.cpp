// The client's core against the demo service: the page API object with a fake window, the
// real downloader and the real link server, the service in-process.

#include "ClientFixture.h"
#include "core/Text.h"
#include "link/LinkNotify.h"
#include "platform/Platform.h"

#include <arpa/inet.h>
#include <dlfcn.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace servicetest;

using vxtest::freePort;

TEST_F(ClientRoadTest, LoginListInstallAndUpdate) {
    // A wrong password: the service's words reach the page.
    api->_LoginFun("demo", "nope", "0", "0");
    waitFor([this] { return !host.callsStarting("ST_Login(").empty(); }, "the refusal");
    EXPECT_EQ(host.callsStarting("ST_Login("),
              std::vector<std::string>{"ST_Login(false,\"" + vx::ScrambleParam("0") +
                                       "\",\"用户名或密码错误，请重新输入\")"});
    host.calls.clear();

    login();
    EXPECT_EQ(host.callsStarting("ST_Login("),
              std::vector<std::string>{"ST_Login(true,\"" + vx::ScrambleParam("10086") +
                                       "\",\"登录成功\")"});
    // Statuses for the two ordinary applications; the necessary one gets none.
    EXPECT_EQ(host.callsStarting("ST_icoStatu("),
              (std::vector<std::string>{"ST_icoStatu(\"12\",\"未安装\")",
                                        "ST_icoStatu(\"15\",\"未安装\")"}));
    // No folder before anything is written into it.
    EXPECT_FALSE(std::filesystem::exists(vx::AppsPath + "assistant"));

    // Install: package downloaded and unpacked, the program runnable, status normal.
    EXPECT_EQ(api->_InstallApp("15"), "正在安装");
    waitIdle("the install of 15");
    EXPECT_TRUE(host.has("ST_setFlatDivAnlv(\"15\",\"安装完成\")"));
    EXPECT_FALSE(host.callsStarting("ST_jdt(\"15\",").empty());
    const std::string launcher = vx::AppsPath + "launcher/vx-launcher";
    struct stat st {};
    ASSERT_EQ(::stat(launcher.c_str(), &st), 0);
    EXPECT_TRUE(st.st_mode & S_IXUSR);
    EXPECT_EQ(vxtest::readFile(launcher),
              vxtest::readFile(std::string(VX_SAMPLE_APPS_DIR) + "/launcher/files/vx-launcher"));
    EXPECT_TRUE(std::filesystem::exists(vx::AppsPath + "launcher/version.xml"));
    EXPECT_FALSE(std::filesystem::exists(vx::AppsPath + "launcher/launcher-1.0.zip"));
    EXPECT_EQ(api->_CheckAPP("15"), "正常");

    // The packaged 1.0 of application 12 is older than the catalogue's 1.1.
    EXPECT_EQ(api->_InstallApp("12"), "正在安装");
    waitIdle("the install of 12");
    EXPECT_EQ(api->_CheckAPP("12"), "有升级");
    const std::string readme = vx::AppsPath + "userinfo/readme.txt";
    const std::string oldReadme = vxtest::readFile(readme);
    EXPECT_EQ(oldReadme,
              vxtest::readFile(std::string(VX_SAMPLE_SRC_DIR) + "/userinfo/readme-1.0.txt"));

    // The update fetches the changed readme alone.
    host.calls.clear();
    const int programBefore = requests("GET /apps/userinfo/vx-userinfo");
    EXPECT_EQ(api->_UpdateApp("12"), "正在升级");
    waitIdle("the update of 12");
    EXPECT_TRUE(host.has("ST_setFlatDivAnlv(\"12\",\"升级完成\")"));
    EXPECT_EQ(requests("GET /apps/userinfo/readme.txt"), 1);
    EXPECT_EQ(requests("GET /apps/userinfo/vx-userinfo"), programBefore);
    const std::string fresh =
        vxtest::readFile(std::string(VX_SAMPLE_APPS_DIR) + "/userinfo/files/readme.txt");
    EXPECT_NE(fresh, oldReadme);
    EXPECT_EQ(vxtest::readFile(readme), fresh);
    EXPECT_EQ(api->_CheckAPP("12"), "正常");

    // Adding from the catalogue installs at once.
    host.calls.clear();
    EXPECT_EQ(api->_AddNewTestApp("20"), "正在添加");
    waitFor([this] { return host.has("ST_setFlatDivAnlv(\"20\",\"添加完成\")"); }, "the add");
    waitIdle("the install of 20");
    EXPECT_TRUE(host.has("ST_setFlatDivAnlv(\"20\",\"正在安装\")"));
    EXPECT_TRUE(host.has("ST_setFlatDivAnlv(\"20\",\"安装完成\")"));
    EXPECT_TRUE(std::filesystem::exists(vx::AppsPath + "appinfo/vx-appinfo"));
    EXPECT_EQ(api->_CheckAPP("20"), "正常");
}

TEST_F(ClientRoadTest, SampleApplicationsTalkThroughTheLinkServer) {
    ASSERT_TRUE(libs.bindLinkServer(VX_LIB_DIR).ok());
    const int port = freePort();
    ASSERT_TRUE(libs.StartServer("127.0.0.1", std::to_string(port)));
    ::setenv("VX_LINK_PORT", std::to_string(port).c_str(), 1); // inherited by started apps
    login();
    for (const char* id : {"12", "15"}) {
        EXPECT_EQ(api->_InstallApp(id), "正在安装");
        waitIdle("an install");
    }

    // The launcher asks the client to start application 12 with a parameter; application 12
    // then asks for the user and its own data.
    const std::string result = vx::AppsPath + "userinfo/userinfo-result.txt";
    const std::string launcherResult = vx::AppsPath + "launcher/launcher-result.txt";
    (void)vx::LaunchFile(vx::AppsPath + "launcher/vx-launcher", "12 \"--from launcher\"",
                         vx::AppsPath + "launcher");
    waitFor([&] { return std::filesystem::exists(result); }, "the started application's result");
    auto got = readResult(result);
    EXPECT_EQ(got["uid"], "10086");
    EXPECT_EQ(got["args"], "--from launcher");
    EXPECT_EQ(got["appPrice"], "0");
    EXPECT_EQ(got["myAppVersionName"], "专业版");
    EXPECT_EQ(got["help"], "/help.html#userinfo");
    EXPECT_EQ(got.count("error"), 0u) << got["error"];
    waitFor([&] { return std::filesystem::exists(launcherResult); }, "the launcher's result");
    auto sent = readResult(launcherResult);
    EXPECT_EQ(sent["sent"], "运行应用:appID=12&parma=--from+launcher");
    EXPECT_EQ(sent.count("error"), 0u);
    // Its start message reached the status line.
    waitFor([this] { return host.has("ST_softStatu(\"启动成功：用户信息（应用 12）\")"); },
            "the start message");
    ::unsetenv("VX_LINK_PORT");
}
