// Users.xml when it cannot be read, and when it is read but broken: only the second may be
// replaced, since a file that merely could not be read this once may hold every remembered
// user.

#include "ApiFixture.h"

#include <unistd.h>

#include "core/Crypto.h"

using namespace apitest;

namespace {

class UsersFileTest : public ApiTest {
protected:
    void SetUp() override {
        ApiTest::SetUp();
        service.server.Post("/Login.php", [](const httplib::Request&, httplib::Response& res) {
            res.set_content("<r><statu>true</statu><msg/><user>u</user><qq/><agentId/>"
                            "<uid>10086</uid></r>",
                            "text/xml; charset=utf-8");
        });
        service.server.Get("/myApps.php", [](const httplib::Request&, httplib::Response& res) {
            res.set_content(listReply({}), "text/xml");
        });
    }
    void login() {
        api->_LoginFun("u", "p", "1", "1");
        waitFor([this] { return host.has("ST_Login(true,\"" + vx::ScrambleParam("10086") +
                                         "\",\"登录成功\")"); },
                "the login");
    }
};

} // namespace

TEST_F(UsersFileTest, AFileThatCannotBeReadIsLeftAlone) {
    // A file whose every read fails with an I/O error (root may read any file, so a mode
    // would not do): the process's own memory at address 0.
    ASSERT_EQ(::symlink("/proc/self/mem", vx::UsersXml.c_str()), 0);
    login();
    EXPECT_EQ(std::filesystem::read_symlink(vx::UsersXml), "/proc/self/mem");
    EXPECT_FALSE(std::filesystem::exists(vx::UsersXml + ".broken"));
    // Nothing was remembered, and the page was told, as for a file that cannot be written.
    EXPECT_TRUE(host.has("ST_Login(false,\"" + vx::ScrambleParam("0") +
                         "\",\"亲，您不是以管理员身份登录系统，部分功能将无法正常使用\")"));
}

TEST_F(UsersFileTest, ABrokenFileIsKeptAsideAndReplaced) {
    dir.write("Config/Users.xml", "<VXFrame><User user=\"old\"");
    login();
    EXPECT_EQ(vxtest::readFile(vx::UsersXml + ".broken"), "<VXFrame><User user=\"old\"");
    EXPECT_NE(vxtest::readFile(vx::UsersXml).find("<DefUser user=\"u\""), std::string::npos);
}
