// The whole road over HTTPS with signed descriptors: the demo service with a certificate of
// the test CA and a signing key, the client's core trusting that CA (config.xml's cafile)
// and that key, the real worker, downloader and update script.

#include "ClientFixture.h"
#include "support/TlsServer.h"

#include <thread>

namespace servicetest {
namespace {

class SecureRoadTest : public SignedServiceTest {
protected:
    void SetUp() override {
        SignedServiceTest::SetUp();
        vx::Trust.caFile = vxtest::certsFile("ca.pem");
        ASSERT_TRUE(libs.trustCaFile(vx::Trust.caFile));
        vx::SetBaseUrl("https://127.0.0.1:" + std::to_string(port) + "/");
    }
    void TearDown() override {
        libs.trustCaFile(""); // the library's setting outlives the test otherwise
        SignedServiceTest::TearDown();
    }
    void adjust(vxdemo::ServiceOptions& o) override {
        SignedServiceTest::adjust(o);
        o.tlsCertificate = vxtest::certsFile("server.pem");
        o.tlsKey = vxtest::certsFile("server.key");
    }
};

TEST_F(SecureRoadTest, LoginInstallUpdateAndTheClientsOwnUpdate) {
    login();
    ASSERT_TRUE(host.has("ST_Login(true,\"" + vx::ScrambleParam("10086") + "\",\"登录成功\")"))
        << ::testing::PrintToString(host.calls);

    EXPECT_EQ(api->_InstallApp("12"), "正在安装");
    waitIdle("the install of 12");
    EXPECT_TRUE(host.has("ST_setFlatDivAnlv(\"12\",\"安装完成\")"));
    EXPECT_EQ(requests("GET /apps/userinfo/version.xml.sig"), 1);
    ASSERT_EQ(api->_CheckAPP("12"), "有升级");
    EXPECT_EQ(api->_UpdateApp("12"), "正在升级");
    waitIdle("the update of 12");
    EXPECT_TRUE(host.has("ST_setFlatDivAnlv(\"12\",\"升级完成\")"));
    EXPECT_EQ(vxtest::readFile(vx::AppsPath + "userinfo/readme.txt"),
              vxtest::readFile(std::string(VX_SAMPLE_APPS_DIR) + "/userinfo/files/readme.txt"));
    EXPECT_EQ(api->_CheckAPP("12"), "正常");

    // The client's own update: fetched over HTTPS, checked, moved in by the script and
    // started, and the new client runs and confirms with its process id, so it stays.
    const std::string v2 = "#!/bin/sh\necho v2 > \"$(dirname \"$0\")/ran.txt\"\n"
                           "echo $$ > \"$(dirname \"$0\")/Update/healthy\"\n";
    std::filesystem::create_directories(data.path() / "apps/KVLMZ/files");
    data.write("apps/KVLMZ/files/vxclient", v2);
    data.write("apps/KVLMZ/version.txt", "2.0");
    api->executablePath = client.write("vxclient", "#!/bin/sh\necho v1\n");
    ::chmod(api->executablePath.c_str(), 0755);
    vx::SetShowMsgHook([](const std::string&, const std::string&) {});
    api->CheckMainVer();
    waitFor([this] { return host.closed == 1; }, "the client to close for its update");
    vx::SetShowMsgHook(nullptr);
    for (int i = 0; i < 300 && !std::filesystem::exists(client.file("ran.txt")); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(vxtest::readFile(client.file("ran.txt")), "v2\n");
    EXPECT_EQ(vxtest::readFile(client.file("vxclient")), v2);
}

TEST_F(SecureRoadTest, WithoutTheAuthorityNothingIsFetched) {
    // A client that does not trust the service's CA: the login fails like a failed
    // transfer, and the status line says it was the certificate.
    vx::Trust.caFile.clear();
    std::vector<std::string> refused;
    vx::THttpThread::setCertificateFailureHook([&](const std::string& url) { refused.push_back(url); });
    api->_LoginFun("demo", "demo123", "1", "1");
    waitFor([this] { return !host.callsStarting("ST_Login(").empty(); }, "the login");
    vx::THttpThread::setCertificateFailureHook(nullptr);
    EXPECT_TRUE(host.has("ST_Login(false,\"" + vx::ScrambleParam("0") + "\",\"登录超时，请检查网络\")"));
    EXPECT_EQ(refused, std::vector<std::string>{vx::BaseUrl + "Login.php"});
    EXPECT_EQ(requests("POST /Login.php"), 0);
}

} // namespace
} // namespace servicetest
