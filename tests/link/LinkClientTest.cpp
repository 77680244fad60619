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

// A started vxlink process with its standard output on a pipe (and its standard error on
// another when asked).
struct Tool {
    pid_t pid = -1;
    int out = -1;
    int err = -1;

    // `env`: NAME=value entries added to this process's environment.
    explicit Tool(const std::vector<std::string>& args, const std::string& exe = VXLINK_EXE,
                  const std::vector<std::string>& env = {}, bool captureErr = false) {
        int fds[2], efds[2] = {-1, -1};
        if (::pipe(fds) != 0 || (captureErr && ::pipe(efds) != 0))
            throw std::runtime_error("pipe");
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, fds[1], 1);
        posix_spawn_file_actions_addclose(&fa, fds[0]);
        if (captureErr) {
            posix_spawn_file_actions_adddup2(&fa, efds[1], 2);
            posix_spawn_file_actions_addclose(&fa, efds[0]);
        }
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
        if (captureErr) {
            ::close(efds[1]);
            err = efds[0];
        }
    }
    ~Tool() {
        if (out >= 0)
            ::close(out);
        if (err >= 0)
            ::close(err);
        if (pid > 0) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
    }
    // Reads the output up to and including `lines` line breaks, or to its end.
    std::string readLines(int lines, bool fromErr = false) {
        std::string s;
        char c;
        while (lines > 0 && ::read(fromErr ? err : out, &c, 1) == 1) {
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
    std::string err;
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

// vxlink writes a line or two to its standard error, so reading one stream to its end and
// then the other cannot block it.
ToolRun runTool(const std::vector<std::string>& args) {
    Tool t(args, VXLINK_EXE, {}, true);
    std::string out = t.readLines(1 << 30);
    std::string err = t.readLines(1 << 30, true);
    return {t.wait(), out, err};
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

    EXPECT_EQ(client.refusals(), 0u);

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

namespace {

// What a program of another user does on the port where the kit expects the client.
enum class ImpostorAct {
    Answers,      // takes each connection and greets it at once as the server would
    Listens,      // takes each connection and waits for the first frame
    NeverAccepts, // leaves every connection in its listener's queue
};

struct ImpostorPlan {
    ImpostorAct act;
    const std::string* greeting; // "VXLINK/1 OK" and "VXLINK/1 UID 10086", framed
};

struct ImpostorReport {
    int connections = 0;
    long bytes = 0; // everything the kit sent it, over all its connections
};

// Listens on a free loopback port and reports it (2 bytes), plays its part until the parent
// is done, then takes what is still waiting in its queue, reads every connection to its end
// and reports an ImpostorReport.
void impostor(const void* arg, int report, int command) {
    const auto& plan = *static_cast<const ImpostorPlan*>(arg);
    const int l = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (::bind(l, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(l, 64) != 0 ||
        ::getsockname(l, reinterpret_cast<sockaddr*>(&a), &len) != 0)
        return;
    const std::uint16_t port = ntohs(a.sin_port);
    ::write(report, &port, sizeof port);

    ImpostorReport r;
    constexpr int kMax = 64;
    pollfd p[2 + kMax];
    int n = 2;
    auto takeAll = [&](bool greet) {
        for (int fd; n < 2 + kMax && (fd = ::accept4(l, nullptr, nullptr, SOCK_NONBLOCK)) >= 0;) {
            ++r.connections;
            if (greet)
                ::send(fd, plan.greeting->data(), plan.greeting->size(), MSG_NOSIGNAL);
            p[n++] = {fd, POLLIN, 0};
        }
    };
    // What a connection holds now; false at its end.
    auto readSome = [&](int fd) {
        char buf[4096];
        for (;;) {
            const ssize_t got = ::recv(fd, buf, sizeof buf, 0);
            if (got > 0)
                r.bytes += got;
            else
                return got < 0 && errno == EAGAIN;
        }
    };
    p[0] = {command, POLLIN, 0};
    p[1] = {plan.act == ImpostorAct::NeverAccepts ? -1 : l, POLLIN, 0};
    while (::poll(p, static_cast<nfds_t>(n), -1) > 0 && !(p[0].revents & (POLLIN | POLLHUP))) {
        if (p[1].revents & POLLIN)
            takeAll(plan.act == ImpostorAct::Answers);
        for (int i = 2; i < n; ++i)
            if (p[i].revents && !readSome(p[i].fd))
                p[i].fd = -1; // poll skips it from now on
    }
    takeAll(false);
    for (int i = 2; i < n; ++i)
        if (p[i].fd >= 0)
            readSome(p[i].fd);
    ::write(report, &r, sizeof r);
}

} // namespace

// Another user's program holds the port (before the client starts, or while it restarts): the
// kit sends it nothing at all (not the registration, not a request queued before or during
// the connection), believes none of its frames, and says whose the program is; so does
// vxlink, which exits with 1.
TEST(LinkKitOwner, AProgramOfAnotherUserOnThePortGetsNothing) {
    LINKTEST_NEEDS_ROOT();
    const std::string greeting = proto::frame("VXLINK/1 OK") + proto::frame("VXLINK/1 UID 10086");
    const struct {
        ImpostorAct act;
        const char* name;
        const char* says; // what the error says of the program's owner
    } cases[] = {
        {ImpostorAct::Answers, "answers at once", "uid 65534"},
        {ImpostorAct::Listens, "listens", "uid 65534"},
        // Its owner cannot be told while nobody has taken the connection (the kernel's table
        // may even name root then): unknown, so refused as well.
        {ImpostorAct::NeverAccepts, "never accepts", "cannot tell"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const ImpostorPlan plan{c.act, &greeting};
        AsOtherUser other(impostor, &plan);
        std::uint16_t portNumber = 0;
        ASSERT_TRUE(other.read(&portNumber, sizeof portNumber));
        const std::string port = std::to_string(portNumber);
        const std::string where = "127.0.0.1:" + port;

        vxlink::LinkClientOptions o = optionsFor(port, 12);
        o.acceptWait = 200ms;
        vxlink::LinkClient client(o);
        ASSERT_TRUE(client.send("登陆信息:user=demo&uid=10086").ok());
        client.start();
        // Requests made while the kit looks at the other end wait as well.
        const auto until = std::chrono::steady_clock::now() + kHangGuard;
        while (client.refusals() == 0 && std::chrono::steady_clock::now() < until) {
            ASSERT_TRUE(client.send("获取用户信息:MyID=12").ok());
            std::this_thread::sleep_for(10ms);
        }
        // It keeps trying (the real client may take the port back) and is refused each time.
        auto st = client.waitRegistered(kHangGuard);
        ASSERT_FALSE(st.ok());
        EXPECT_GE(client.refusals(), 2u);
        EXPECT_NE(st.error().find(where), std::string::npos) << st.error();
        EXPECT_NE(st.error().find(c.says), std::string::npos) << st.error();
        EXPECT_EQ(client.lastError(), st.error());
        EXPECT_EQ(client.registrations(), 0u);
        EXPECT_EQ(client.uid(), std::nullopt);
        EXPECT_EQ(client.receive(0ms), std::nullopt);
        client.close();

        ToolRun r = runTool({"--app", "12", "--port", port, "--timeout", "1000",
                             "获取用户信息:MyID=12"});
        EXPECT_EQ(r.code, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_NE(r.err.find(where), std::string::npos) << r.err;
        EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;

        other.done();
        ImpostorReport seen;
        ASSERT_TRUE(other.read(&seen, sizeof seen));
        EXPECT_GE(seen.connections, 3); // the kit twice, the tool once: they did reach it
        EXPECT_EQ(seen.bytes, 0);
        EXPECT_EQ(other.finish(), 0);
    }
}
