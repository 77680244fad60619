// The application-side kit and the vxlink tool against the real link server library.

#include "LinkClient.h"

#include "LinkTestSupport.h"

#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>

extern char** environ;

using namespace linktest;
using namespace std::chrono_literals;

namespace {

// What the client answers to "获取用户信息:MyID=<id>" once a user has logged in as 10086.
void userInfoResponder(const std::string& text) {
    const std::string key = ansi("获取用户信息:MyID=");
    if (text.starts_with(key)) {
        std::string id = text.substr(key.size());
        Library::get().sendToApp(("appID=" + id + "&parma=UserInfo%3Fuid%3D10086").c_str());
    }
}

vxlink::LinkClientOptions optionsFor(const std::string& port, int id) {
    vxlink::LinkClientOptions o;
    o.port = static_cast<std::uint16_t>(std::stoi(port));
    o.appId = id;
    o.firstRetryDelay = 20ms;
    o.maxRetryDelay = 200ms;
    return o;
}

// A started vxlink process with its standard output on a pipe.
struct Tool {
    pid_t pid = -1;
    int out = -1;

    // `env`: NAME=value entries added to this process's environment.
    explicit Tool(const std::vector<std::string>& args, const std::string& exe = VXLINK_EXE,
                  const std::vector<std::string>& env = {}) {
        int fds[2];
        if (::pipe(fds) != 0)
            throw std::runtime_error("pipe");
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, fds[1], 1);
        posix_spawn_file_actions_addclose(&fa, fds[0]);
        std::vector<std::string> all{exe};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (auto& a : all)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        std::vector<std::string> extra = env;
        std::vector<char*> envp;
        for (char** e = environ; *e; ++e)
            envp.push_back(*e);
        for (auto& e : extra)
            envp.push_back(e.data());
        envp.push_back(nullptr);
        if (posix_spawn(&pid, exe.c_str(), &fa, nullptr, argv.data(), envp.data()) != 0)
            throw std::runtime_error("spawn " + exe);
        posix_spawn_file_actions_destroy(&fa);
        ::close(fds[1]);
        out = fds[0];
    }
    ~Tool() {
        if (out >= 0)
            ::close(out);
        if (pid > 0) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
    }
    // Reads the output up to and including `lines` line breaks, or to its end.
    std::string readLines(int lines) {
        std::string s;
        char c;
        while (lines > 0 && ::read(out, &c, 1) == 1) {
            s += c;
            if (c == '\n')
                --lines;
        }
        return s;
    }
    // Waits for the end; the exit code, or 128 + the signal.
    int wait() {
        int status = 0;
        ::waitpid(pid, &status, 0);
        pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
};

struct ToolRun {
    int code;
    std::string out;
};

// Waits, with the hang guard, until `done` holds.
bool eventually(const std::function<bool()>& done) {
    const auto until = std::chrono::steady_clock::now() + kHangGuard;
    while (!done()) {
        if (std::chrono::steady_clock::now() > until)
            return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

// The client's steps when a user logs in, and the command it sends the assistant then.
void login(const char* uid) {
    auto& lib = Library::get();
    ASSERT_EQ(lib.closeAll(), TCPSERVER_OK);
    ASSERT_EQ(lib.setUid(uid), TCPSERVER_OK);
    ASSERT_EQ(lib.sendToApp("appID=4&parma=HideForm%3Fa"), TCPSERVER_OK);
}

std::vector<std::string> linesOf(const std::filesystem::path& file) {
    std::ifstream in(file);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

ToolRun runTool(const std::vector<std::string>& args) {
    Tool t(args);
    std::string out = t.readLines(1 << 30);
    return {t.wait(), out};
}

} // namespace

TEST(LinkMessage, DecodesTheClientsReplies) {
    auto m = vxlink::parseLinkMessage("appID=12&parma=UserInfo%3Fuid%3D10086");
    EXPECT_TRUE(m.decoded);
    EXPECT_EQ(m.appId, 12);
    EXPECT_EQ(m.payload, "UserInfo?uid=10086");
    EXPECT_EQ(m.command(), "UserInfo");
    EXPECT_EQ(m.argument("UID"), "10086");
    EXPECT_EQ(m.argument("missing"), std::nullopt);

    // The error payload carries its text encoded once more, in the ANSI code page.
    m = vxlink::parseLinkMessage(
        "appID=0&parma=error%3Fmsg%3DCallApp%253A%25B2%25CE%25CA%25FD%25B4%25ED%25CE%25F3");
    EXPECT_EQ(m.appId, 0);
    EXPECT_EQ(m.command(), "error");
    EXPECT_EQ(m.argument("msg"), "CallApp:参数错误");

    m = vxlink::parseLinkMessage(ansi("appID=3&parma=AppInfo%3FappPrice%3D1%26help%3D%25D6%25D0"));
    EXPECT_EQ(m.argument("help"), "中");
    EXPECT_EQ(m.argument("appPrice"), "1");

    m = vxlink::parseLinkMessage("appID=99&parma=Close%3Ffdsa");
    EXPECT_EQ(m.payload, "Close?fdsa");
    EXPECT_EQ(m.argument("fdsa"), std::nullopt);

    // Not of the client's form: kept whole and marked.
    for (std::string bad : {"appID=1&parma=%G1", "hello", "appID=1", "appID=x&parma=a"}) {
        m = vxlink::parseLinkMessage(bad);
        EXPECT_FALSE(m.decoded) << bad;
        EXPECT_EQ(m.payload, bad);
    }
}

TEST_F(ServerTest, ClientSendsRequestsAndReceivesDecodedReplies) {
    rec().setHook(userInfoResponder);
    vxlink::LinkClient client(optionsFor(port, 12));
    client.start();
    ASSERT_TRUE(client.waitRegistered(kHangGuard).ok()) << client.lastError();
    ASSERT_TRUE(rec().waitFor(online(12)));

    ASSERT_TRUE(client.send("获取用户信息:MyID=12").ok());
    ASSERT_TRUE(rec().waitFor(ansi("获取用户信息:MyID=12")));
    auto reply = client.receive(kHangGuard);
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(reply->payload, "UserInfo?uid=10086");

    lib().sendToApp(ansi("appID=12&parma=%D6%D0%CE%C4").c_str());
    reply = client.receive(kHangGuard);
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(reply->payload, "中文");

    EXPECT_FALSE(client.send(std::string(proto::kMaxFrame + 1, 'x')).ok());
    EXPECT_FALSE(client.send(std::string("a\0b", 3)).ok());
    client.close();
    EXPECT_FALSE(client.send("after close").ok());
    ASSERT_TRUE(rec().waitFor(offline(12)));
}

TEST_F(ServerTest, ClientReconnectsAfterCloseAllAndLearnsTheUser) {
    rec().setHook(userInfoResponder);
    vxlink::LinkClient client(optionsFor(port, 5));
    client.start();
    ASSERT_TRUE(client.waitRegistered(kHangGuard).ok());
    EXPECT_EQ(client.registrations(), 1u);

    // What the client does when an application hands it a logged-in user.
    lib().closeAll();
    lib().setUid("777");
    ASSERT_TRUE(rec().waitFor(online(5), 2));
    while (client.registrations() < 2 || !client.uid())
        std::this_thread::sleep_for(5ms);
    EXPECT_EQ(client.uid(), "777");

    ASSERT_TRUE(client.send("获取用户信息:MyID=5").ok());
    auto reply = client.receive(kHangGuard);
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(reply->argument("uid"), "10086");
    lib().setUid(nullptr);
}

TEST_F(ServerTest, ALoginsCommandReachesTheApplicationAfterItsReconnect) {
    lib().setUid("1001");
    vxlink::LinkClient assistant(optionsFor(port, 4));
    assistant.start();
    ASSERT_TRUE(assistant.waitRegistered(kHangGuard).ok());
    ASSERT_TRUE(eventually([&] { return assistant.uid() == "1001"; }));

    login("2002");
    auto m = assistant.receive(kHangGuard);
    ASSERT_TRUE(m.has_value());
    EXPECT_EQ(m->payload, "HideForm?a");
    // It came over the new connection, after the new user's id.
    EXPECT_EQ(assistant.registrations(), 2u);
    EXPECT_EQ(assistant.uid(), "2002");

    // An application that was not connected at the CloseAll finds nothing held for it.
    ASSERT_EQ(lib().closeAll(), TCPSERVER_OK);
    ASSERT_EQ(lib().sendToApp("appID=6&parma=ShowForm%3Fa"), TCPSERVER_OK);
    ASSERT_TRUE(rec().waitFor(online(4), 3));
    vxlink::LinkClient other(optionsFor(port, 6));
    other.start();
    ASSERT_TRUE(other.waitRegistered(kHangGuard).ok());
    ASSERT_EQ(lib().sendToApp("appID=6&parma=Close%3Ffdsa"), TCPSERVER_OK);
    m = other.receive(kHangGuard);
    ASSERT_TRUE(m.has_value());
    EXPECT_EQ(m->payload, "Close?fdsa");
    lib().setUid(nullptr);
}

TEST_F(ServerTest, TheAssistantHidesItsWindowAfterEveryLogin) {
    // A folder of its own: the assistant writes its log beside its program.
    std::string dirTemplate =
        (std::filesystem::temp_directory_path() / "vx-assistant-XXXXXX").string();
    ASSERT_NE(::mkdtemp(dirTemplate.data()), nullptr);
    const std::filesystem::path dir = dirTemplate;
    const std::filesystem::path exe = dir / "vx-assistant";
    std::filesystem::copy_file(VX_ASSISTANT_EXE, exe);
    {
        Tool app({}, exe.string(), {"VX_LINK_PORT=" + port});
        ASSERT_TRUE(rec().waitFor(ansi("启动成功：消息助手已在后台运行")));

        const std::vector<std::string> hidden{"隐藏窗口 HideForm?a", "隐藏窗口 HideForm?a"};
        login("10086");
        ASSERT_TRUE(eventually([&] { return linesOf(dir / "assistant.log").size() >= 1; }));
        ASSERT_TRUE(rec().waitFor(online(4), 2));
        login("10087");
        ASSERT_TRUE(eventually([&] { return linesOf(dir / "assistant.log").size() >= 2; }));
        EXPECT_EQ(linesOf(dir / "assistant.log"), hidden);

        ::kill(app.pid, SIGTERM);
        EXPECT_EQ(app.wait(), 0);
    }
    lib().setUid(nullptr);
    std::filesystem::remove_all(dir);
}

TEST_F(ServerTest, RequestsMadeWhileTheServerIsDownAreSentOnceItIsBack) {
    ASSERT_EQ(lib().disconnectAll(), TCPSERVER_OK);
    vxlink::LinkClient client(optionsFor(port, 9));
    client.start();
    EXPECT_FALSE(client.waitRegistered(50ms).ok());
    EXPECT_NE(client.lastError(), "");
    ASSERT_TRUE(client.send("one").ok());
    ASSERT_TRUE(client.send("two").ok());

    ASSERT_EQ(lib().start("127.0.0.1", port.c_str(), &Recorder::notify), TCPSERVER_OK);
    ASSERT_TRUE(client.waitRegistered(kHangGuard).ok());
    ASSERT_TRUE(client.flush(kHangGuard).ok());
    ASSERT_TRUE(rec().waitFor("two"));
    EXPECT_EQ(rec().events(), (std::vector<std::string>{online(9), "one", "two"}));
}

TEST_F(ServerTest, VxlinkPrintsRepliesAndListens) {
    rec().setHook(userInfoResponder);
    ToolRun r = runTool({"--app", "12", "--port", port, "获取用户信息:MyID=12"});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, "UserInfo?uid=10086\n");
    EXPECT_TRUE(rec().waitFor(ansi("获取用户信息:MyID=12")));

    r = runTool({"--app", "12", "--port", port, "--raw", "获取用户信息:MyID=12"});
    EXPECT_EQ(r.out, "appID=12&parma=UserInfo%3Fuid%3D10086\n");

    // Nothing answers "启动成功": --count 0 only sends, the default waits in vain.
    r = runTool({"--app", "12", "--port", port, "--count", "0", "启动成功"});
    EXPECT_EQ(r.code, 0);
    EXPECT_TRUE(rec().waitFor(ansi("启动成功")));
    r = runTool({"--app", "12", "--port", port, "--timeout", "100", "启动成功"});
    EXPECT_EQ(r.code, 3);

    Tool listener({"--app", "4", "--port", port, "--listen"});
    ASSERT_TRUE(rec().waitFor(online(4)));
    lib().sendToApp("appID=4&parma=HideForm%3Fa");
    lib().sendToApp("appID=5&parma=ShowForm%3Fa"); // someone else's
    lib().closeAll();                              // the listener comes back by itself
    ASSERT_TRUE(rec().waitFor(online(4), 2));
    lib().sendToApp(ansi("appID=4&parma=%D6%D0").c_str());
    EXPECT_EQ(listener.readLines(2), "HideForm?a\n中\n");
    ::kill(listener.pid, SIGTERM);
    EXPECT_EQ(listener.wait(), 0);
}

TEST(Vxlink, ReportsUsageAndFailures) {
    ToolRun r = runTool({"--help"});
    EXPECT_EQ(r.code, 0);
    EXPECT_NE(r.out.find("usage: vxlink --app ID"), std::string::npos);

    for (std::vector<std::string> bad :
         std::vector<std::vector<std::string>>{{"hello"},
                                               {"--app"},
                                               {"--app", "x", "m"},
                                               {"--app", "1"},
                                               {"--app", "1", "--port", "70000", "m"},
                                               {"--app", "1", "--bogus", "m"}})
        EXPECT_EQ(runTool(bad).code, 2) << bad.front();

    // Nobody listens on that port.
    std::string port = freePort();
    r = runTool({"--app", "1", "--port", port, "--timeout", "500", "获取用户信息:MyID=1"});
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.out, "");
}
