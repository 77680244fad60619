// The log of a real session: a login, an install, a refused signature. It says what happened,
// and never holds the password, the user's token or a key.

#include "ClientFixture.h"
#include "core/Crypto.h"
#include "core/Log.h"
#include "support/TamperProxy.h"

#include <fstream>

namespace servicetest {
namespace {

class LogSecrecyTest : public SignedServiceTest {
protected:
    void SetUp() override {
        SignedServiceTest::SetUp();
        proxy = std::make_unique<vxtest::TamperProxy>(port);
        folder = client.str() + "state/vxcenter";
        ASSERT_TRUE(vx::log::start(folder));
    }
    void TearDown() override {
        vx::log::stop();
        SignedServiceTest::TearDown();
        proxy.reset();
    }
    std::vector<std::string> logLines() {
        vx::log::flush();
        std::vector<std::string> out;
        for (const char* name : {"vxcenter.2.log", "vxcenter.1.log", "vxcenter.log"}) {
            std::ifstream in(folder + "/" + name);
            for (std::string l; std::getline(in, l);)
                out.push_back(l);
        }
        return out;
    }
    std::unique_ptr<vxtest::TamperProxy> proxy;
    std::string folder;
};

TEST_F(LogSecrecyTest, ASessionIsToldWithoutItsSecrets) {
    vx::SetBaseUrl(proxy->base());
    login();
    ASSERT_FALSE(vx::UserInfo.uid.empty());
    EXPECT_EQ(api->_InstallApp("12"), "正在安装");
    waitIdle("the install");
    proxy->setRule(vxtest::TamperProxy::bumpVersionOf("/apps/launcher/version.xml"));
    EXPECT_EQ(api->_InstallApp("15"), "正在安装");
    waitIdle("the refused install");
    ASSERT_TRUE(statusHas("描述文件签名无效"));

    const auto lines = logLines();
    auto has = [&](const std::string& part) {
        return std::any_of(lines.begin(), lines.end(),
                           [&](const std::string& l) { return l.find(part) != std::string::npos; });
    };
    for (const std::string expected :
         {"[login] user demo: logged in", "[catalogue] list merged: ", "[operation] begin id=12",
          "[operation] end id=12 done", "[status] 描述文件签名无效，已拒绝：",
          "[operation] end id=15 failed"})
        EXPECT_TRUE(has(expected)) << expected;
    // The private key's body, line by line, as well as the public key the client trusts.
    std::vector<std::string> secrets{"demo123", vx::ScrambleParam(vx::UserInfo.uid),
                                     signingKey.publicKeyBase64};
    std::istringstream pem(signingKey.privatePem);
    for (std::string l; std::getline(pem, l);)
        if (l.rfind("-----", 0) != 0 && l.size() > 8)
            secrets.push_back(l);
    for (const auto& secret : secrets)
        for (const auto& line : lines)
            EXPECT_EQ(line.find(secret), std::string::npos) << secret << " in " << line;
}

} // namespace
} // namespace servicetest
