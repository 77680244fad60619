#include "ApiFixture.h"

#include <sys/stat.h>

#include "api/PageCalls.h"
#include "core/Crypto.h"
#include "core/Xml.h"

using namespace apitest;
using vx::page::ST_Login;

namespace {

std::string loginReply(const std::string& statu, const std::string& msg = "",
                       const std::string& uid = "10086") {
    return "<?xml version=\"1.0\" encoding=\"utf-8\"?><root><statu>" + statu + "</statu><msg>" +
           msg + "</msg><info><user>张三</user><qq>123</qq><agentId>5</agentId><uid>" + uid +
           "</uid></info></root>";
}

class LoginTest : public ApiTest {
protected:
    void SetUp() override {
        ApiTest::SetUp();
        service.server.Post("/Login.php", [this](const httplib::Request& req, httplib::Response& res) {
            lastUser = req.get_file_value("user").content;
            lastPws = req.get_file_value("pws").content;
            lastPid = req.get_file_value("pid").content;
            res.set_content(reply, "text/xml; charset=utf-8");
        });
        service.server.Get("/myApps.php", [this](const httplib::Request& req, httplib::Response& res) {
            // The token is appended as it is, "=" padding included.
            listToken = req.target.substr(req.target.find("u=") + 2);
            if (listFails)
                res.status = 500;
            else
                res.set_content(listReply({appElement(1, "a1", "1.0")}), "text/xml");
        });
    }

    // Logs in and waits for the end of the login's page calls.
    void login(const std::string& user, const std::string& pwd, const std::string& save,
               const std::string& autoLogin) {
        std::size_t before = host.callsStarting("ST_Login(").size();
        api->_LoginFun(user, pwd, save, autoLogin);
        waitFor([&] { return host.callsStarting("ST_Login(").size() > before && vx::THttpThread::liveCount() == 0; },
                "the login's report");
    }

    std::string users() { return vxtest::readFile(vx::UsersXml); }

    std::string reply = loginReply("true");
    bool listFails = false;
    std::string lastUser, lastPws, lastPid, listToken;
};

} // namespace

TEST_F(LoginTest, SuccessfulLoginRunsTheWholeRoad) {
    login("张三", "密码", "1", "1");
    EXPECT_EQ(lastUser, "张三");
    EXPECT_EQ(lastPws, "密码");
    EXPECT_EQ(lastPid, "77");
    // The user is handed to the link server and application 4 is asked to hide.
    EXPECT_EQ(link.events, (std::vector<std::string>{"CloseAll", "SetUid:10086",
                                                    "send:appID=4&parma=HideForm%3Fa"}));
    EXPECT_EQ(vx::UserInfo.user, "张三");
    EXPECT_EQ(vx::UserInfo.qq, "123");
    EXPECT_EQ(vx::UserInfo.aid, "5");
    EXPECT_EQ(vx::UserInfo.uid, "10086");
    EXPECT_EQ(api->_uid, "10086");
    EXPECT_EQ(listToken, vx::ScrambleParam("10086"));
    // The login is reported once the list has arrived, then the statuses.
    EXPECT_EQ(host.calls, (std::vector<std::string>{
                              ST_Login(true, vx::ScrambleParam("10086"), "登录成功"),
                              "ST_icoStatu(\"1\",\"未安装\")"}));
    EXPECT_EQ(host.timerEnabled, 1);
    EXPECT_EQ(api->process, "");
    EXPECT_EQ(api->_GetUser(), "张三");
    EXPECT_EQ(api->_GetPwd(), "密码");
    EXPECT_EQ(api->_GetAutoLogin(), "1");
    EXPECT_EQ(api->_GetUid(), vx::ScrambleParam("10086"));
}

TEST_F(LoginTest, UsersXmlMatrix) {
    // No file: created with DefUser before User, password and auto kept.
    login("Alice", "pw1", "1", "1");
    pugi::xml_document doc;
    ASSERT_TRUE(vx::xml::load(doc, vx::UsersXml));
    std::string text = users();
    EXPECT_NE(text.find("<!DOCTYPE VXFrame>"), std::string::npos);
    EXPECT_NE(text.find("encoding=\"utf-8\""), std::string::npos);
    auto root = doc.document_element();
    EXPECT_STREQ(root.name(), "VXFrame");
    EXPECT_STREQ(root.first_child().name(), "DefUser");
    EXPECT_EQ(vx::xml::attr(root.child("DefUser"), "pwd"), "pw1");
    EXPECT_EQ(vx::xml::attr(root.child("DefUser"), "auto"), "true");
    EXPECT_EQ(vx::xml::attr(root.child("User"), "pwd"), "pw1");
    struct stat st {};
    ::stat(vx::UsersXml.c_str(), &st);
    EXPECT_EQ(st.st_mode & 0777, 0600u); // remembered passwords are the owner's alone

    // Password not remembered: both pwd empty, auto false even though asked for.
    login("Alice", "pw2", "0", "1");
    ASSERT_TRUE(vx::xml::load(doc, vx::UsersXml));
    root = doc.document_element();
    EXPECT_EQ(vx::xml::attr(root.child("DefUser"), "pwd"), "");
    EXPECT_EQ(vx::xml::attr(root.child("DefUser"), "auto"), "false");
    EXPECT_EQ(vx::xml::attr(root.child("User"), "pwd"), "");

    // Another letter case is another user; the same name updates in place.
    login("alice", "pw3", "1", "0");
    login("Alice", "pw4", "1", "0");
    ASSERT_TRUE(vx::xml::load(doc, vx::UsersXml));
    root = doc.document_element();
    std::vector<std::string> names;
    for (auto u : root.children("User"))
        names.push_back(vx::xml::attr(u, "user") + "=" + vx::xml::attr(u, "pwd"));
    EXPECT_EQ(names, (std::vector<std::string>{"Alice=pw4", "alice=pw3"}));
    EXPECT_EQ(vx::xml::attr(root.child("DefUser"), "user"), "Alice");
    EXPECT_EQ(vx::xml::attr(root.child("DefUser"), "auto"), "false");
}

TEST_F(LoginTest, DefUserAppendedAfterExistingUsersAndSentInFileOrder) {
    dir.write("Config/Users.xml", "<?xml version=\"1.0\"?><Saved><User USER=\"b\" PWD=\"x\"/>"
                                  "<other/><User user=\"c\" pwd=\"\"/></Saved>");
    login("d", "p\"q", "1", "1");
    EXPECT_EQ(vx::userListCalls(vx::UsersXml),
              (std::vector<std::string>{"ST_writeUserList(\"b\",\"x\",true,false);",
                                        "ST_writeUserList(\"c\",\"\",false,false);",
                                        "ST_writeUserForm(\"d\",\"p\\\"q\",true,true);",
                                        "ST_writeUserList(\"d\",\"p\\\"q\",true,false);"}));
    // The upper-case attribute names of the existing entry were matched, not duplicated.
    EXPECT_EQ(users().find("user=\"b\""), std::string::npos);
}

TEST_F(LoginTest, FailuresReachThePage) {
    const std::string token0 = vx::ScrambleParam("0");
    reply = loginReply("false", "密码错误");
    login("a", "b", "1", "1");
    EXPECT_EQ(host.calls.back(), ST_Login(false, token0, "密码错误"));
    EXPECT_FALSE(std::filesystem::exists(vx::UsersXml));
    EXPECT_TRUE(link.events.empty());

    // The service's text reaches the page as data, whatever it holds.
    reply = loginReply("false", "x\");alert(1);//&lt;/script&gt;");
    login("a", "b", "1", "1");
    EXPECT_EQ(host.calls.back(),
              "ST_Login(false,\"" + token0 + "\",\"x\\\");alert(1);//<\\/script>\")");

    reply = loginReply("0", "停用");
    login("a", "b", "1", "1");
    EXPECT_EQ(host.calls.back(), ST_Login(false, token0, "停用"));

    reply = "<html>502 Bad Gateway</html";
    login("a", "b", "1", "1");
    EXPECT_EQ(host.calls.back(), ST_Login(false, token0, "登录失败，服务器返回的数据无效"));

    reply = loginReply("TRUE", "", "");
    login("a", "b", "1", "1");
    EXPECT_EQ(host.calls.back(), ST_Login(false, token0, "登录失败，服务器返回的数据无效"));

    service.server.stop(); // no reply at all
    login("a", "b", "1", "1");
    EXPECT_EQ(host.calls.back(), ST_Login(false, token0, "登录超时，请检查网络"));
    EXPECT_EQ(host.timerEnabled, 0);
    EXPECT_EQ(vx::UserInfo.uid, "");
}

// statu is read as true/false in any letter case or as a plain decimal number (zero is
// false); every other text is a refusal, however a number parser might read it.
TEST_F(LoginTest, StatuTexts) {
    const struct {
        const char* statu;
        bool loggedIn;
    } rows[] = {
        {"true", true},    {"True", true},     {"tRUE", true},   {"1", true},
        {"-1", true},      {"+2.50", true},    {"0.001", true},  {"0012", true},
        {"false", false},  {"FALSE", false},   {"0", false},     {"-0", false},
        {"+0.000", false}, {"", false},        {"nan", false},   {"NaN", false},
        {"inf", false},    {"-Infinity", false}, {"0x1", false}, {" 1", false},
        {"1 ", false},     {"1e3", false},     {"1E3", false},   {"1.", false},
        {".5", false},     {"+", false},       {"-", false},     {"1,5", false},
        {"yes", false},    {"truex", false},   {"1.2.3", false}, {"++1", false},
    };
    const std::string token0 = vx::ScrambleParam("0");
    for (const auto& r : rows) {
        SCOPED_TRACE(std::string("statu \"") + r.statu + "\"");
        reply = loginReply(r.statu, "停用");
        login("张三", "密码", "0", "0");
        const std::string reported = host.callsStarting("ST_Login(").back();
        if (r.loggedIn)
            EXPECT_EQ(reported.rfind("ST_Login(true,", 0), 0u) << reported;
        else
            EXPECT_EQ(reported, ST_Login(false, token0, "停用"));
    }
}

TEST_F(LoginTest, FirstListFailureAfterLogin) {
    listFails = true;
    login("a", "b", "1", "1");
    EXPECT_EQ(host.calls.back(), ST_Login(false, vx::ScrambleParam("0"), "获取应用失败"));
    EXPECT_EQ(vx::UserInfo.uid, "10086"); // still logged in
    EXPECT_EQ(host.timerEnabled, 1);
}

TEST_F(LoginTest, UnwritableUsersXmlWarnsAndTheLoginGoesOn) {
    // Config is a file, so nothing can be written below it.
    std::filesystem::remove_all(vx::ConfigPath);
    dir.write("Config", "not a folder");
    api->_LoginFun("a", "b", "1", "1");
    waitFor([&] { return host.callsStarting("ST_Login(true").size() == 1; }, "the login");
    auto logins = host.callsStarting("ST_Login(");
    ASSERT_EQ(logins.size(), 2u);
    EXPECT_EQ(logins[0], ST_Login(false, vx::ScrambleParam("0"),
                                  "亲，您不是以管理员身份登录系统，部分功能将无法正常使用"));
}

TEST_F(LoginTest, BrokenUsersXmlIsKeptAsideAndReplaced) {
    dir.write("Config/Users.xml", "<VXFrame><User user=");
    login("a", "b", "1", "1");
    EXPECT_EQ(vxtest::readFile(vx::UsersXml + ".broken"), "<VXFrame><User user=");
    EXPECT_EQ(vx::userListCalls(vx::UsersXml).size(), 2u);
}

TEST_F(LoginTest, AutoLoginSettingsAndGetters) {
    EXPECT_FALSE(api->_CloseAutoLogin()); // no file yet
    api->_SetAutoLogin("1");              // silently ignored without a file
    EXPECT_EQ(api->_GetAutoLogin(), "1");
    login("a", "b", "1", "1");
    api->_SetAutoLogin("0");
    EXPECT_NE(users().find("auto=\"false\""), std::string::npos);
    api->_SetAutoLogin("1");
    EXPECT_NE(users().find("auto=\"true\""), std::string::npos);
    EXPECT_TRUE(api->_CloseAutoLogin());
    EXPECT_NE(users().find("auto=\"false\""), std::string::npos);
    EXPECT_EQ(api->_GetAutoLogin(), "1"); // unchanged by _CloseAutoLogin
}

TEST_F(LoginTest, UidProductIdAndConfigValues) {
    EXPECT_EQ(api->_GetUid(), vx::ScrambleParam("0"));
    EXPECT_EQ(api->_uid, "0");
    EXPECT_EQ(api->_GetProductID(), vx::ScrambleParam("0"));
    EXPECT_EQ(api->_GetProductID(), vx::ScrambleParam("0"));
    api->_productID = "12";
    EXPECT_EQ(api->_GetProductID(), "12");
    EXPECT_EQ(api->_GetConfigValue("TITLE"), "应用中心");
    EXPECT_EQ(api->_GetConfigValue("deep"), "x");
    EXPECT_EQ(api->_GetConfigValue("missing"), "");
    std::filesystem::remove(vx::ConfigXml);
    EXPECT_EQ(api->_GetConfigValue("title"), "");
}

namespace {

// A service whose replies the test lets go one by one: logins by user name, lists by the
// user's token, each held until released. A list names application 1 with the user's version
// ("1.0" for the first, "2.0" for the second) unless `plans` says otherwise.
class OrderTest : public ApiTest {
protected:
    void SetUp() override {
        ApiTest::SetUp();
        service.server.Post("/Login.php", [this](const httplib::Request& req, httplib::Response& res) {
            const std::string user = req.get_file_value("user").content;
            hold("login " + user);
            res.set_content(loginReply("true", "", user == "first" ? "10001" : "20002"),
                            "text/xml; charset=utf-8");
        });
        service.server.Get("/myApps.php", [this](const httplib::Request& req, httplib::Response& res) {
            const std::string token = req.target.substr(req.target.find("u=") + 2);
            const std::string who = token == vx::ScrambleParam("10001") ? "first" : "second";
            hold("list " + who);
            std::pair<int, std::string> plan{1, who == "first" ? "1.0" : "2.0"};
            {
                std::lock_guard lock(m);
                if (!plans.empty()) {
                    plan = plans.front();
                    plans.erase(plans.begin());
                }
            }
            std::vector<std::string> apps;
            for (int i = 0; i < plan.first; ++i)
                apps.push_back(appElement(1 + i, "a" + std::to_string(i), plan.second));
            res.set_content(listReply(apps), "text/xml");
        });
    }
    // Holds a reply while its name is in `held`; counts the requests that came.
    void hold(const std::string& what) {
        std::unique_lock lock(m);
        ++came[what];
        cv.notify_all();
        cv.wait(lock, [&] { return !held.count(what); });
    }
    void release(const std::string& what) {
        std::lock_guard lock(m);
        held.erase(what);
        cv.notify_all();
    }
    void waitCame(const std::string& what, int n = 1) {
        waitFor([&] { std::lock_guard lock(m); return came[what] >= n; }, what.c_str());
    }
    void TearDown() override {
        {
            std::lock_guard lock(m);
            held.clear();
            cv.notify_all();
        }
        ApiTest::TearDown();
    }
    std::string users() { return vxtest::readFile(vx::UsersXml); }

    std::mutex m;
    std::condition_variable cv;
    std::set<std::string> held;
    std::map<std::string, int> came;
    std::vector<std::pair<int, std::string>> plans; // (applications, version) of the next lists
};

} // namespace

TEST_F(OrderTest, ALoginAndAListThatASecondLoginOvertookChangeNothing) {
    // The first login's reply comes after the second's.
    held = {"login first"};
    api->_LoginFun("first", "p1", "1", "0");
    waitCame("login first");
    api->_LoginFun("second", "p2", "1", "0");
    waitFor([&] { return !host.callsStarting("ST_Login(").empty() && vx::THttpThread::liveCount() == 1; },
            "the second login");
    release("login first");
    settle();
    EXPECT_EQ(host.callsStarting("ST_Login("),
              std::vector<std::string>{ST_Login(true, vx::ScrambleParam("20002"), "登录成功")});
    EXPECT_EQ(vx::UserInfo.uid, "20002");
    EXPECT_EQ(users().find("first"), std::string::npos) << users();
    EXPECT_NE(users().find("pwd=\"p2\""), std::string::npos) << users();

    // A list asked for the first user arrives after the second user logged in: dropped.
    api->_LoginFun("first", "p1", "1", "0");
    settle();
    ASSERT_EQ(vx::UserInfo.uid, "10001");
    held = {"list first"};
    api->_GetMyApps();
    waitCame("list first", 2);
    api->_LoginFun("second", "p2", "1", "0");
    waitFor([&] { return vx::UserInfo.uid == "20002" && vx::FindApp(1) &&
                         vx::FindApp(1)->version == "2.0"; },
            "the second user's list");
    release("list first");
    settle();
    EXPECT_EQ(vx::FindApp(1)->version, "2.0");
}

TEST_F(OrderTest, ListsAreMergedInTheOrderTheyArrived) {
    api->_LoginFun("first", "p1", "1", "0");
    settle();
    // A large list arrives and is being parsed when a small one asked for after it arrives:
    // the small one, the newer, decides.
    plans = {{4000, "1.5"}, {1, "1.6"}};
    api->_GetMyApps();
    waitCame("list first", 2);
    waitFor([&] { return vx::THttpThread::liveCount() == 0; }, "the large list's arrival");
    api->_GetMyApps();
    settle();
    EXPECT_EQ(vx::FindApp(1)->version, "1.6");
}
