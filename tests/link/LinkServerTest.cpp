// The link server library, loaded with dlopen from the build's bin folder as the client loads
// it, driven by raw peers over loopback.

#include "LinkTestSupport.h"

#include <fcntl.h>
#include <filesystem>
#include <ifaddrs.h>
#include <map>
#include <random>
#include <set>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>

extern char** environ;

using namespace linktest;

namespace {

// The client's way of answering: "echo:<id>:<payload>" is sent back to <id> as its payload.
void echoResponder(const std::string& text) {
    if (!text.starts_with("echo:"))
        return;
    std::size_t colon = text.find(':', 5);
    std::string id = text.substr(5, colon - 5);
    Library::get().sendToApp(("appID=" + id + "&parma=" + text.substr(colon + 1)).c_str());
}

// The socket descriptors of this process, each with its kernel name ("socket:[1234]").
std::map<int, std::string> ownSockets() {
    std::map<int, std::string> out;
    for (const auto& e : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code ec;
        std::string target = std::filesystem::read_symlink(e.path(), ec).string();
        if (!ec && target.starts_with("socket:"))
            out[std::stoi(e.path().filename().string())] = target;
    }
    return out;
}

// The sockets of this process whose own end is `port`: the server's listener and the
// connections it accepted (a peer's own end has a port of its own).
std::map<int, std::string> serverSockets(const std::string& port) {
    std::map<int, std::string> out;
    for (auto& [fd, name] : ownSockets()) {
        sockaddr_storage a{};
        socklen_t len = sizeof a;
        if (::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0 &&
            a.ss_family == AF_INET &&
            ntohs(reinterpret_cast<sockaddr_in*>(&a)->sin_port) == std::stoi(port))
            out[fd] = name;
    }
    return out;
}

// What a program started now finds open: the kernel names of its descriptors.
std::set<std::string> descriptorsOfAChild() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        return {};
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, fds[1], 1);
    const char* argv[] = {"/bin/sh", "-c", "for f in /proc/$$/fd/*; do readlink \"$f\"; done",
                          nullptr};
    pid_t pid = -1;
    int rc = posix_spawn(&pid, "/bin/sh", &fa, nullptr, const_cast<char**>(argv), environ);
    posix_spawn_file_actions_destroy(&fa);
    ::close(fds[1]);
    std::string out;
    char buf[4096];
    for (ssize_t n; rc == 0 && (n = ::read(fds[0], buf, sizeof buf)) > 0;)
        out.append(buf, static_cast<std::size_t>(n));
    ::close(fds[0]);
    if (rc == 0)
        ::waitpid(pid, nullptr, 0);
    std::set<std::string> names;
    for (std::size_t at = 0, nl; (nl = out.find('\n', at)) != std::string::npos; at = nl + 1)
        names.insert(out.substr(at, nl - at));
    return names;
}

} // namespace

TEST_F(ServerTest, NoSocketOfTheServerReachesAChildProcess) {
    // Accepted in the order they connected: once the second is answered, both are accepted.
    Peer pending(port), registered(port);
    ASSERT_TRUE(registered.registerAs(1));

    // The listener and both accepted connections.
    auto server = serverSockets(port);
    ASSERT_EQ(server.size(), 3u);
    for (auto& [fd, name] : server)
        EXPECT_TRUE(::fcntl(fd, F_GETFD) & FD_CLOEXEC) << name;

    auto inChild = descriptorsOfAChild();
    // The peer's own socket is inheritable: the child sees sockets that are not kept back.
    ASSERT_TRUE(inChild.contains(ownSockets().at(registered.fd())));
    for (auto& [fd, name] : server)
        EXPECT_FALSE(inChild.contains(name)) << name << " reached the child";
}

TEST_F(ServerTest, RegistrationReportsOnlineMessagesInOrderAndOffline) {
    Peer a(port);
    ASSERT_TRUE(a.registerAs(12));
    ASSERT_TRUE(rec().waitFor(online(12)));

    const std::string request = ansi("获取用户信息:MyID=12");
    ASSERT_TRUE(a.sendFrame("first"));
    ASSERT_TRUE(a.sendFrame(request));
    ASSERT_TRUE(a.sendFrame("")); // keep-alive: never delivered
    ASSERT_TRUE(a.sendFrame("third"));
    a.close();
    ASSERT_TRUE(rec().waitFor(offline(12)));
    EXPECT_EQ(rec().events(),
              (std::vector<std::string>{online(12), "first", request, "third", offline(12)}));

    // Two connections under one id are two applications: one event pair each. A registration
    // of a later protocol version is answered in the version this server speaks.
    Peer b(port), c(port);
    ASSERT_TRUE(b.registerAs(7));
    ASSERT_TRUE(c.sendFrame("VXLINK/9 appID=7 future=field"));
    EXPECT_EQ(c.readFrame(), "VXLINK/1 OK");
    ASSERT_TRUE(rec().waitFor(online(7), 2));
    b.close();
    c.close();
    ASSERT_TRUE(rec().waitFor(offline(7), 2));
}

TEST_F(ServerTest, RepliesReachEveryConnectionOfTheirIdAndNoOther) {
    std::map<int, std::vector<std::unique_ptr<Peer>>> peers;
    for (int id : {1, 2, 3, 3, 4, 0}) {
        peers[id].push_back(std::make_unique<Peer>(port));
        ASSERT_TRUE(peers[id].back()->registerAs(id));
    }
    ASSERT_TRUE(rec().waitForCount(6));

    const std::string gbk = ansi("appID=3&parma=中文");
    EXPECT_EQ(lib().sendToApp("appID=99&parma=nobody"), TCPSERVER_OK); // dropped: none is 99
    for (int id : {1, 2, 4, 0})
        EXPECT_EQ(lib().sendToApp(
                      ("appID=" + std::to_string(id) + "&parma=for" + std::to_string(id)).c_str()),
                  TCPSERVER_OK);
    EXPECT_EQ(lib().sendToApp(gbk.c_str()), TCPSERVER_OK);
    EXPECT_EQ(lib().sendToApp("APPID=1"), TCPSERVER_OK); // the key in any case, no payload
    for (auto& [id, list] : peers)
        lib().sendToApp(("appID=" + std::to_string(id) + "&parma=end").c_str());

    for (auto& [id, list] : peers) {
        std::vector<std::string> expected;
        if (id == 3)
            expected = {gbk};
        else
            expected = {"appID=" + std::to_string(id) + "&parma=for" + std::to_string(id)};
        if (id == 1)
            expected.push_back("APPID=1");
        expected.push_back("appID=" + std::to_string(id) + "&parma=end");
        for (auto& p : list) {
            std::vector<std::string> got;
            for (std::size_t i = 0; i < expected.size(); ++i)
                got.push_back(p->readFrame().value_or("<closed>"));
            EXPECT_EQ(got, expected) << "application " << id;
        }
    }
}

TEST_F(ServerTest, EntriesCheckTheirArguments) {
    EXPECT_EQ(lib().sendToApp(nullptr), TCPSERVER_E_ARGUMENT);
    EXPECT_EQ(lib().sendToApp("hello"), TCPSERVER_E_ARGUMENT);
    EXPECT_EQ(lib().sendToApp("appID=x&parma=a"), TCPSERVER_E_ARGUMENT);
    EXPECT_EQ(lib().sendToApp("appID=-4&parma=a"), TCPSERVER_E_ARGUMENT);
    EXPECT_EQ(lib().sendToApp("appID=99999999999&parma=a"), TCPSERVER_E_ARGUMENT);
    std::string huge = "appID=1&parma=" + std::string(proto::kMaxFrame, 'x');
    EXPECT_EQ(lib().sendToApp(huge.c_str()), TCPSERVER_E_TOO_LARGE);

    EXPECT_EQ(lib().start("127.0.0.1", port.c_str(), &Recorder::notify),
              TCPSERVER_E_ALREADY_RUNNING);
    EXPECT_EQ(lib().start(nullptr, "1", &Recorder::notify), TCPSERVER_E_ARGUMENT);
    EXPECT_EQ(lib().start("127.0.0.1", nullptr, &Recorder::notify), TCPSERVER_E_ARGUMENT);
    EXPECT_EQ(lib().start("127.0.0.1", "1", nullptr), TCPSERVER_E_ARGUMENT);
    for (const char* bad : {"0", "65536", "-1", "88a", "", " 80"})
        EXPECT_EQ(lib().start("127.0.0.1", bad, &Recorder::notify), TCPSERVER_E_ARGUMENT) << bad;
    for (const char* bad : {"localhost", "127.0.0", "", "::g"})
        EXPECT_EQ(lib().start(bad, "1", &Recorder::notify), TCPSERVER_E_ARGUMENT) << bad;

    ASSERT_EQ(lib().disconnectAll(), TCPSERVER_OK);
    EXPECT_EQ(lib().disconnectAll(), TCPSERVER_E_NOT_RUNNING);
    EXPECT_EQ(lib().closeAll(), TCPSERVER_E_NOT_RUNNING);
    EXPECT_EQ(lib().sendToApp("appID=1&parma=a"), TCPSERVER_E_NOT_RUNNING);
    EXPECT_EQ(lib().setUid("5"), TCPSERVER_OK); // remembered for later

    // A port held by another socket cannot be bound; nothing is left running.
    auto held = vxtest::listenLoopback(1);
    int fd = held.fd;
    std::string taken = std::to_string(held.port);
    EXPECT_EQ(lib().start("127.0.0.1", taken.c_str(), &Recorder::notify), TCPSERVER_E_LISTEN);
    EXPECT_EQ(lib().start("192.0.2.1", port.c_str(), &Recorder::notify), TCPSERVER_E_LISTEN);
    ::close(fd);
    EXPECT_EQ(lib().closeAll(), TCPSERVER_E_NOT_RUNNING);
    lib().setUid(nullptr);
}

TEST_F(ServerTest, CloseAllClosesEveryApplicationAndKeepsListening) {
    Peer a(port), b(port), c(port), pending(port);
    ASSERT_TRUE(a.registerAs(1));
    ASSERT_TRUE(b.registerAs(2));
    ASSERT_TRUE(c.registerAs(2));
    ASSERT_TRUE(rec().waitForCount(3));

    ASSERT_EQ(lib().closeAll(), TCPSERVER_OK);
    for (Peer* p : {&a, &b, &c, &pending})
        EXPECT_TRUE(p->waitClosed());
    ASSERT_TRUE(rec().waitFor(offline(1)));
    ASSERT_TRUE(rec().waitFor(offline(2), 2));

    Peer again(port);
    ASSERT_TRUE(again.registerAs(1));
    ASSERT_TRUE(rec().waitFor(online(1), 2));
    EXPECT_EQ(rec().events().size(), 7u); // the unregistered peer went without a word
}

TEST_F(ServerTest, DisconnectAllReleasesThePortAndTheServerStartsAgain) {
    Peer a(port);
    ASSERT_TRUE(a.registerAs(3));
    ASSERT_TRUE(rec().waitFor(online(3)));

    ASSERT_EQ(lib().disconnectAll(), TCPSERVER_OK);
    EXPECT_TRUE(a.waitClosed());
    EXPECT_FALSE(Peer(port).connected());
    // Stopping is silent: the client is going away and takes no more calls.
    EXPECT_EQ(rec().events(), std::vector<std::string>{online(3)});

    ASSERT_EQ(lib().start("127.0.0.1", port.c_str(), &Recorder::notify), TCPSERVER_OK);
    Peer b(port);
    ASSERT_TRUE(b.registerAs(3));
    ASSERT_TRUE(rec().waitFor(online(3), 2));
    ASSERT_TRUE(b.sendFrame("after restart"));
    ASSERT_TRUE(rec().waitFor("after restart"));
}

TEST_F(ServerTest, DisconnectAllFromInsideTheCallbackStopsWithoutDeadlock) {
    rec().setHook([](const std::string& text) {
        if (text == "stop now") {
            Library::get().disconnectAll();
            Library::get().sendToApp("appID=1&parma=late"); // not running any more
        }
    });
    Peer a(port);
    ASSERT_TRUE(a.registerAs(1));
    ASSERT_TRUE(a.sendFrame("stop now"));
    ASSERT_TRUE(a.sendFrame("never delivered"));
    EXPECT_TRUE(a.waitClosed());
    EXPECT_FALSE(Peer(port).connected());

    ASSERT_EQ(lib().start("127.0.0.1", port.c_str(), &Recorder::notify), TCPSERVER_OK);
    Peer b(port);
    ASSERT_TRUE(b.registerAs(2));
    ASSERT_TRUE(rec().waitFor(online(2)));
    EXPECT_EQ(rec().events(), (std::vector<std::string>{online(1), "stop now", online(2)}));
}

TEST_F(ServerTest, HttpAndTlsPeersAreClosedAtOnceWithoutCallback) {
    const std::string tlsHello("\x16\x03\x01\x00\xc8\x01\x00\x00\xc4\x03\x03", 11);
    for (std::string first :
         {std::string("GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nOrigin: http://evil.example\r\n\r\n"),
          std::string("POST /x HTTP/1.1\r\nContent-Length: 30\r\n\r\n") +
              ansi("登陆信息:uid=1&user=evil"),
          std::string("OPTIONS * HTTP/1.1\r\n\r\n"), tlsHello, std::string("\x01", 1)}) {
        Peer p(port);
        ASSERT_TRUE(p.sendBytes(first));
        EXPECT_TRUE(p.waitClosed()) << first;
    }
    // A registered application cannot switch to HTTP either.
    Peer r(port);
    ASSERT_TRUE(r.registerAs(5));
    ASSERT_TRUE(r.sendBytes("GET / HTTP/1.1\r\n\r\n"));
    EXPECT_TRUE(r.waitClosed());
    ASSERT_TRUE(rec().waitFor(offline(5)));
    EXPECT_EQ(rec().events(), (std::vector<std::string>{online(5), offline(5)}));
}

TEST_F(ServerTest, OversizedFramesCloseTheConnection) {
    Peer a(port);
    ASSERT_TRUE(a.registerAs(4));
    std::string largest(proto::kMaxFrame, 'a');
    largest.front() = 'L';
    ASSERT_TRUE(a.sendFrame(largest));
    ASSERT_TRUE(rec().waitFor(largest));
    auto h = proto::encodeHeader(proto::kMaxFrame + 1);
    ASSERT_TRUE(a.sendBytes(std::string(reinterpret_cast<char*>(h.data()), 4) + "oversized"));
    EXPECT_TRUE(a.waitClosed());
    ASSERT_TRUE(rec().waitFor(offline(4)));

    Peer unregistered(port);
    ASSERT_TRUE(unregistered.sendBytes(std::string(reinterpret_cast<char*>(h.data()), 4)));
    EXPECT_TRUE(unregistered.waitClosed());
    EXPECT_EQ(rec().events(), (std::vector<std::string>{online(4), largest, offline(4)}));
}

TEST_F(ServerTest, PeersThatDoNotRegisterAreClosedSilently) {
    lib().setLimits(200, 0, 0);
    Peer silent(port), half(port), wrong(port), negative(port);
    ASSERT_TRUE(half.sendBytes(std::string("\0\0\0\x20VXLINK/1 app", 16)));
    ASSERT_TRUE(wrong.sendFrame(ansi("获取用户信息:MyID=12")));
    ASSERT_TRUE(negative.sendFrame("VXLINK/1 appID=-3"));
    EXPECT_TRUE(silent.waitClosed());
    EXPECT_TRUE(half.waitClosed());
    // A peer that sent a whole frame learns why before the server hangs up.
    auto err = wrong.readFrame();
    ASSERT_TRUE(err.has_value());
    EXPECT_TRUE(err->starts_with("VXLINK/1 ERR ")) << *err;
    EXPECT_TRUE(wrong.waitClosed());
    EXPECT_TRUE(negative.readFrame().value_or("").starts_with("VXLINK/1 ERR "));
    EXPECT_TRUE(negative.waitClosed());

    Peer late(port);
    ASSERT_TRUE(late.registerAs(8));
    ASSERT_TRUE(rec().waitFor(online(8)));
    EXPECT_EQ(rec().events(), std::vector<std::string>{online(8)});
}

TEST_F(ServerTest, ANeverReadingApplicationIsClosedWhileOthersAreServed) {
    lib().setLimits(0, 0, 256 * 1024);
    rec().setHook(echoResponder);
    Peer stuck(port), busy(port);
    ASSERT_TRUE(stuck.registerAs(7));
    ASSERT_TRUE(busy.registerAs(8));
    ASSERT_TRUE(rec().waitFor(online(8)));

    const std::string bulk = "appID=7&parma=" + std::string(32 * 1024, 'x');
    int served = 0;
    // The kernel buffers take some megabytes before the server's queue starts to fill.
    for (int i = 0; i < 4000 && rec().count(offline(7)) == 0; ++i) {
        ASSERT_EQ(lib().sendToApp(bulk.c_str()), TCPSERVER_OK);
        std::string ping = "ping" + std::to_string(i);
        ASSERT_TRUE(busy.sendFrame("echo:8:" + ping));
        ASSERT_EQ(busy.readFrame(), "appID=8&parma=" + ping);
        ++served;
    }
    ASSERT_TRUE(rec().waitFor(offline(7)));
    EXPECT_GT(served, 0);
    EXPECT_TRUE(stuck.waitClosed());
    ASSERT_TRUE(busy.sendFrame("echo:8:still here"));
    EXPECT_EQ(busy.readFrame(), "appID=8&parma=still here");
}

TEST_F(ServerTest, TwoHundredApplicationsLoseMisrouteAndReorderNothing) {
    constexpr int kApps = 200, kMessages = 100;
    rec().setHook(echoResponder);
    std::vector<std::unique_ptr<Peer>> peers;
    for (int i = 0; i < kApps; ++i) {
        peers.push_back(std::make_unique<Peer>(port));
        ASSERT_TRUE(peers.back()->registerAs(1000 + i));
    }
    ASSERT_TRUE(rec().waitForCount(kApps));
    // Sent interleaved across the applications; each application reads its own replies.
    for (int m = 0; m < kMessages; ++m)
        for (int i = 0; i < kApps; ++i)
            ASSERT_TRUE(peers[i]->sendFrame("echo:" + std::to_string(1000 + i) + ":" +
                                            std::to_string(1000 + i) + "/" + std::to_string(m)));
    for (int i = 0; i < kApps; ++i) {
        std::string id = std::to_string(1000 + i);
        for (int m = 0; m < kMessages; ++m)
            ASSERT_EQ(peers[i]->readFrame(),
                      "appID=" + id + "&parma=" + id + "/" + std::to_string(m));
    }
    // And the callback saw each application's messages in the order they were sent.
    std::map<std::string, int> next;
    for (const auto& e : rec().events()) {
        if (!e.starts_with("echo:"))
            continue;
        std::string body = e.substr(e.find(':', 5) + 1);
        std::string id = body.substr(0, body.find('/'));
        EXPECT_EQ(std::stoi(body.substr(body.find('/') + 1)), next[id]++) << e;
    }
    EXPECT_EQ(next.size(), static_cast<std::size_t>(kApps));
    for (auto& [id, n] : next)
        EXPECT_EQ(n, kMessages) << id;
}

TEST_F(ServerTest, TheUserIdIsToldNowAndToLaterRegistrations) {
    Peer a(port);
    ASSERT_TRUE(a.registerAs(1));
    ASSERT_EQ(lib().setUid("10086"), TCPSERVER_OK);
    EXPECT_EQ(a.readFrame(), "VXLINK/1 UID 10086");

    Peer b(port);
    ASSERT_TRUE(b.registerAs(2));
    EXPECT_EQ(b.readFrame(), "VXLINK/1 UID 10086");

    // Kept across a restart of the server.
    ASSERT_EQ(lib().disconnectAll(), TCPSERVER_OK);
    ASSERT_EQ(lib().start("127.0.0.1", port.c_str(), &Recorder::notify), TCPSERVER_OK);
    Peer c(port);
    ASSERT_TRUE(c.registerAs(3));
    EXPECT_EQ(c.readFrame(), "VXLINK/1 UID 10086");
    // An empty id means nobody is logged in: said to those registered, not to later ones.
    lib().setUid("");
    EXPECT_EQ(c.readFrame(), "VXLINK/1 UID ");
    Peer d(port);
    ASSERT_TRUE(d.registerAs(4));
    ASSERT_EQ(lib().sendToApp("appID=4&parma=next"), TCPSERVER_OK);
    EXPECT_EQ(d.readFrame(), "appID=4&parma=next");
}

TEST_F(ServerTest, TheConnectionLimitRefusesExtraPeers) {
    lib().setLimits(0, 3, 0);
    Peer a(port), b(port), c(port);
    ASSERT_TRUE(a.registerAs(1));
    ASSERT_TRUE(b.registerAs(2));
    ASSERT_TRUE(c.registerAs(3));
    Peer extra(port);
    extra.sendBytes(proto::registrationFrame(4));
    EXPECT_TRUE(extra.waitClosed());
    a.close();
    ASSERT_TRUE(rec().waitFor(offline(1)));
    Peer later(port);
    EXPECT_TRUE(later.registerAs(5));
}

TEST_F(ServerTest, MalformedOrSpoofedFramesNeverReachTheCallback) {
    Peer a(port), b(port);
    ASSERT_TRUE(a.registerAs(1));
    ASSERT_TRUE(b.registerAs(2));
    ASSERT_TRUE(a.sendFrame(ansi("应用下线:appID=2")));
    ASSERT_TRUE(a.sendFrame(ansi("应用上线:appID=9")));
    ASSERT_TRUE(a.sendFrame("VXLINK/1 PING"));
    ASSERT_TRUE(a.sendFrame("kept"));
    ASSERT_TRUE(rec().waitFor("kept"));
    ASSERT_TRUE(b.sendFrame(std::string("cut\0here", 8)));
    EXPECT_TRUE(b.waitClosed());
    ASSERT_TRUE(rec().waitFor(offline(2)));
    EXPECT_EQ(rec().events(), (std::vector<std::string>{online(1), online(2), "kept", offline(2)}));

    // Noise from many peers, registered or not, never takes the server down.
    std::mt19937 rng(42);
    for (int i = 0; i < 300; ++i) {
        Peer p(port);
        if (i % 3 == 0) {
            ASSERT_TRUE(p.registerAs(100 + i));
        }
        std::string noise(rng() % 300, '\0');
        for (char& ch : noise)
            ch = static_cast<char>(rng());
        if (i % 2 == 0)
            noise = proto::frame(noise); // well framed, random inside
        p.sendBytes(noise);
    }
    Peer last(port);
    ASSERT_TRUE(last.registerAs(3));
    ASSERT_TRUE(last.sendFrame("echo works"));
    ASSERT_TRUE(rec().waitFor("echo works"));
}

TEST(LinkServerNetwork, PeersOffTheLoopbackAreRefused) {
    std::string local;
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) == 0) {
        for (ifaddrs* i = list; i; i = i->ifa_next) {
            if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET)
                continue;
            auto* sin = reinterpret_cast<sockaddr_in*>(i->ifa_addr);
            if ((ntohl(sin->sin_addr.s_addr) >> 24) == 127)
                continue;
            char buf[INET_ADDRSTRLEN];
            local = ::inet_ntop(AF_INET, &sin->sin_addr, buf, sizeof buf);
            break;
        }
        ::freeifaddrs(list);
    }
    if (local.empty())
        GTEST_SKIP() << "no network interface besides the loopback";

    auto& lib = Library::get();
    Recorder::get().reset();
    std::string port = freePort();
    ASSERT_EQ(lib.start("0.0.0.0", port.c_str(), &Recorder::notify), TCPSERVER_OK);
    {
        Peer outside(port, local.c_str(), local.c_str());
        ASSERT_TRUE(outside.connected());
        outside.sendBytes(proto::registrationFrame(1));
        EXPECT_TRUE(outside.waitClosed());
        Peer inside(port);
        ASSERT_TRUE(inside.registerAs(2));
        ASSERT_TRUE(Recorder::get().waitFor(online(2)));
        EXPECT_EQ(Recorder::get().events(), std::vector<std::string>{online(2)});
    }
    lib.disconnectAll();
    Recorder::get().reset();
}

namespace {

std::string to(int id, const std::string& payload) {
    return "appID=" + std::to_string(id) + "&parma=" + payload;
}

} // namespace

TEST_F(ServerTest, CloseAllHoldsABoundedQueueForEachApplicationItClosed) {
    lib().setUid(nullptr);
    Peer many(port), big(port), twiceA(port), twiceB(port);
    ASSERT_TRUE(many.registerAs(21));
    ASSERT_TRUE(big.registerAs(22));
    ASSERT_TRUE(twiceA.registerAs(23));
    ASSERT_TRUE(twiceB.registerAs(23));
    ASSERT_TRUE(rec().waitForCount(4));

    ASSERT_EQ(lib().closeAll(), TCPSERVER_OK);
    for (int i = 0; i < 70; ++i)
        ASSERT_EQ(lib().sendToApp(to(21, "m" + std::to_string(i)).c_str()), TCPSERVER_OK);
    // Four of these fit into 256 KiB; once one does not, nothing after it is held either.
    const std::string bulk(60 * 1024, 'x');
    for (int i = 0; i < 5; ++i)
        ASSERT_EQ(lib().sendToApp(to(22, std::to_string(i) + bulk).c_str()), TCPSERVER_OK);
    ASSERT_EQ(lib().sendToApp(to(22, "small").c_str()), TCPSERVER_OK);
    ASSERT_EQ(lib().sendToApp(to(23, "for both").c_str()), TCPSERVER_OK);
    ASSERT_EQ(lib().sendToApp(to(30, "nobody had 30").c_str()), TCPSERVER_OK);
    for (Peer* p : {&many, &big, &twiceA, &twiceB})
        ASSERT_TRUE(p->waitClosed());

    Peer back21(port);
    ASSERT_TRUE(back21.registerAs(21));
    ASSERT_EQ(lib().sendToApp(to(21, "live").c_str()), TCPSERVER_OK);
    for (int i = 0; i < 64; ++i)
        ASSERT_EQ(back21.readFrame(), to(21, "m" + std::to_string(i)));
    EXPECT_EQ(back21.readFrame(), to(21, "live"));

    Peer back22(port);
    ASSERT_TRUE(back22.registerAs(22));
    ASSERT_EQ(lib().sendToApp(to(22, "live").c_str()), TCPSERVER_OK);
    for (int i = 0; i < 4; ++i)
        ASSERT_EQ(back22.readFrame(), to(22, std::to_string(i) + bulk));
    EXPECT_EQ(back22.readFrame(), to(22, "live"));

    // Both connections of 23 get what they missed, also what came while one was back already.
    Peer backA(port);
    ASSERT_TRUE(backA.registerAs(23));
    EXPECT_EQ(backA.readFrame(), to(23, "for both"));
    ASSERT_EQ(lib().sendToApp(to(23, "while one is back").c_str()), TCPSERVER_OK);
    EXPECT_EQ(backA.readFrame(), to(23, "while one is back"));
    Peer backB(port);
    ASSERT_TRUE(backB.registerAs(23));
    EXPECT_EQ(backB.readFrame(), to(23, "for both"));
    EXPECT_EQ(backB.readFrame(), to(23, "while one is back"));
    // Both are back: a third registration of 23 is a new one and starts with live messages.
    Peer third(port);
    ASSERT_TRUE(third.registerAs(23));
    ASSERT_EQ(lib().sendToApp(to(23, "all three").c_str()), TCPSERVER_OK);
    EXPECT_EQ(third.readFrame(), to(23, "all three"));
    EXPECT_EQ(backA.readFrame(), to(23, "all three"));

    // An id that was not connected at the CloseAll had nothing held.
    Peer late30(port);
    ASSERT_TRUE(late30.registerAs(30));
    ASSERT_EQ(lib().sendToApp(to(30, "live").c_str()), TCPSERVER_OK);
    EXPECT_EQ(late30.readFrame(), to(30, "live"));
}

TEST_F(ServerTest, ASecondCloseAllDropsWhatTheFirstHeld) {
    // A login closes 26, which does not come back before the next login closes everything
    // again: what was held for the first user is never delivered after the second's UID.
    lib().setUid("1001");
    Peer a(port);
    ASSERT_TRUE(a.registerAs(26));
    ASSERT_TRUE(rec().waitForCount(1));
    ASSERT_EQ(lib().closeAll(), TCPSERVER_OK);
    ASSERT_EQ(lib().sendToApp(to(26, "UserInfo?uid=1001").c_str()), TCPSERVER_OK);
    ASSERT_TRUE(a.waitClosed());
    ASSERT_EQ(lib().closeAll(), TCPSERVER_OK);
    lib().setUid("2002");
    Peer back(port);
    ASSERT_TRUE(back.registerAs(26));
    EXPECT_EQ(back.readFrame(), "VXLINK/1 UID 2002");
    ASSERT_EQ(lib().sendToApp(to(26, "live").c_str()), TCPSERVER_OK);
    EXPECT_EQ(back.readFrame(), to(26, "live"));
}

TEST_F(ServerTest, HeldMessagesLapseTenSecondsAfterTheCloseAll) {
    lib().setUid(nullptr);
    Peer a(port);
    ASSERT_TRUE(a.registerAs(25));
    ASSERT_EQ(lib().closeAll(), TCPSERVER_OK);
    ASSERT_EQ(lib().sendToApp(to(25, "early").c_str()), TCPSERVER_OK);
    ASSERT_TRUE(a.waitClosed());
    // Longer than the server holds anything.
    std::this_thread::sleep_for(std::chrono::milliseconds(10500));
    ASSERT_EQ(lib().sendToApp(to(25, "late").c_str()), TCPSERVER_OK);

    Peer back(port);
    ASSERT_TRUE(back.registerAs(25));
    ASSERT_EQ(lib().sendToApp(to(25, "live").c_str()), TCPSERVER_OK);
    EXPECT_EQ(back.readFrame(), to(25, "live"));
}

namespace {

// How a peer of another user behaves once connected.
enum class PeerAct {
    Stays,            // registers, sends a message and waits for an answer
    SendsAndCloses,   // registers, sends a message and closes at once
    ConnectsAndCloses,
    HalfCloses,       // registers, sends a message, shuts its sending side and waits
    Resets,           // registers, sends a message and aborts the connection (RST)
};

struct PeerPlan {
    PeerAct act;
    int port;
    const std::string* bytes; // the registration and one message
};

// Closes once the other side has acknowledged the end of what was sent: the socket then goes
// straight to the kernel's time-wait table (FIN_WAIT2 there), owned by no process, where the
// socket table reports uid 0 for it: root's, were the server to believe it.
void closeOnceAcknowledged(int fd) {
    ::shutdown(fd, SHUT_WR);
    tcp_info info{};
    socklen_t len = sizeof info;
    while (::getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &len) == 0 &&
           info.tcpi_state == TCP_FIN_WAIT1)
        ::usleep(1000);
    ::close(fd);
}

// The peer (of another user, but for one case): connects, acts, reports 'D' once it has acted, then what came back
// if it still listens: 'C' closed without a word, 'A' answered, 'T' nothing yet when the
// parent was done. 'N' when it could not connect.
void otherUsersPeer(const void* arg, int report, int command) {
    const auto& plan = *static_cast<const PeerPlan*>(arg);
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(plan.port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::write(report, "N", 1);
        return;
    }
    if (plan.act != PeerAct::ConnectsAndCloses)
        ::send(fd, plan.bytes->data(), plan.bytes->size(), MSG_NOSIGNAL);
    bool listens = false;
    switch (plan.act) {
    case PeerAct::Stays:
        listens = true;
        break;
    case PeerAct::HalfCloses:
        ::shutdown(fd, SHUT_WR);
        listens = true;
        break;
    case PeerAct::Resets: {
        linger l{1, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
        ::close(fd);
        break;
    }
    case PeerAct::SendsAndCloses:
    case PeerAct::ConnectsAndCloses:
        closeOnceAcknowledged(fd);
        break;
    }
    ::write(report, "D", 1);
    if (!listens)
        return;
    pollfd p[2] = {{fd, POLLIN, 0}, {command, POLLIN, 0}};
    char verdict = 'T';
    while (::poll(p, 2, -1) > 0 && !(p[1].revents & (POLLIN | POLLHUP))) {
        char buf[256];
        const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        verdict = n == 0 || (n < 0 && errno == ECONNRESET) ? 'C' : n > 0 ? 'A' : 'T';
        break;
    }
    ::write(report, &verdict, 1);
}

// Holds the server's thread inside the callback until opened: meanwhile the server accepts
// nothing, so a peer's whole act is over before the server first looks at it.
struct Gate {
    std::mutex m;
    std::condition_variable cv;
    bool inside = false;
    bool open = false;
    // In the callback: says it is there and waits to be let through.
    void pass() {
        std::unique_lock lock(m);
        inside = true;
        cv.notify_all();
        cv.wait_for(lock, kHangGuard, [&] { return open; });
        inside = open = false;
    }
    bool waitInside() {
        std::unique_lock lock(m);
        return cv.wait_for(lock, kHangGuard, [&] { return inside; });
    }
    void release() {
        std::lock_guard lock(m);
        open = true;
        cv.notify_all();
    }
};

} // namespace

// The same-user rule fails closed: whatever another user's peer does with its connection
// before the server takes it (its socket may then linger in the time-wait table, owned by no
// process, where the kernel's table names root as its owner), the peer is never served. The
// server's thread is held in the callback meanwhile, so it looks only once the act is over.
TEST_F(ServerTest, APeerOfAnotherUserIsNeverServedWhateverItDoes) {
    LINKTEST_NEEDS_ROOT();
    const std::string bytes = proto::registrationFrame(7) + proto::frame("from another user");
    const struct {
        PeerAct act;
        const char* name;
        char heard; // what a listening peer hears: 'C' closed without a word; 0 not listening
        bool otherUser = true;
    } cases[] = {
        {PeerAct::Stays, "stays", 'C'},
        {PeerAct::SendsAndCloses, "sends and closes at once", 0},
        {PeerAct::ConnectsAndCloses, "connects and closes", 0},
        {PeerAct::HalfCloses, "half-closes", 'C'},
        {PeerAct::Resets, "resets", 0},
        // A closing end is no proof of its owner even when the table names this user: only
        // an established connection counts.
        {PeerAct::HalfCloses, "half-closes, as this user", 'C', false},
    };
    auto gate = std::make_shared<Gate>();
    rec().setHook([gate](const std::string& text) {
        if (text == "hold")
            gate->pass();
    });
    Peer own(port);
    ASSERT_TRUE(own.registerAs(8));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(own.sendFrame("hold"));
        ASSERT_TRUE(gate->waitInside());
        const std::size_t eventsBefore = rec().events().size();
        const PeerPlan plan{c.act, std::stoi(port), &bytes};
        AsOtherUser peer(otherUsersPeer, &plan, c.otherUser);
        char acted = '?';
        ASSERT_TRUE(peer.read(&acted, 1));
        ASSERT_EQ(acted, 'D');
        gate->release();
        if (c.heard) {
            char heard = '?';
            EXPECT_TRUE(peer.read(&heard, 1));
            EXPECT_EQ(heard, c.heard);
        }
        // The server has taken the other user's connection before this one; served or not,
        // its frames were waiting in its socket already.
        Peer after(port);
        ASSERT_TRUE(after.registerAs(9));
        ASSERT_TRUE(after.sendFrame("after"));
        ASSERT_TRUE(rec().waitFor("after", static_cast<std::size_t>(&c - cases + 1)));
        const auto events = rec().events();
        for (std::size_t i = eventsBefore; i < events.size(); ++i)
            EXPECT_TRUE(events[i] != online(7) && events[i] != "from another user")
                << vx::fromAnsi(events[i]);
        EXPECT_EQ(peer.finish(), 0);
    }
    // This user's programs are still served.
    ASSERT_TRUE(own.sendFrame("still served"));
    ASSERT_TRUE(rec().waitFor("still served"));
}
