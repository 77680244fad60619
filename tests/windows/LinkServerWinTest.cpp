// TCPServer.dll under Wine, bound as the Windows client binds it, driven by Winsock peers over
// loopback: the stdcall entries and callback, the ANSI texts, routing, limits and the
// loopback rule. Every peer here runs in this process, so as this user: the same-user rule
// lets them all through (Wine runs every program as the one Unix user; a peer of another user
// cannot be made here, and the Linux tests cover that rule).

#include "WinLinkSupport.h"

#include <iphlpapi.h>

#include <map>
#include <memory>

using namespace winlink;

TEST_F(ServerTest, TheCallbackComesFromTheServersThreadWithAnsiTexts) {
    Peer a(port);
    ASSERT_TRUE(a.registerAs(12));
    const std::string request = ansi("获取用户信息:MyID=12");
    ASSERT_TRUE(a.sendFrame(request));
    ASSERT_TRUE(a.sendFrame("")); // keep-alive: never delivered
    ASSERT_TRUE(a.sendFrame("third"));
    a.close();
    ASSERT_TRUE(rec().waitFor(offline(12)));
    // The events in code page 936 exactly as the client compares them, the peer's bytes as
    // they were sent.
    EXPECT_EQ(online(12), "\xD3\xA6\xD3\xC3\xC9\xCF\xCF\xDF:appID=12");
    EXPECT_EQ(rec().events(), (std::vector<std::string>{online(12), request, "third", offline(12)}));
    for (DWORD t : rec().threads())
        EXPECT_NE(t, ::GetCurrentThreadId());
}

TEST_F(ServerTest, RepliesReachEveryConnectionOfTheirIdAndNoOther) {
    std::map<int, std::vector<std::unique_ptr<Peer>>> peers;
    for (int id : {1, 2, 3, 3, 0}) {
        peers[id].push_back(std::make_unique<Peer>(port));
        ASSERT_TRUE(peers[id].back()->registerAs(id));
    }
    ASSERT_TRUE(rec().waitForCount(5));
    const std::string gbk = ansi("appID=3&parma=中文");
    EXPECT_EQ(lib().sendToApp("appID=99&parma=nobody"), TCPSERVER_OK);
    for (int id : {1, 2, 0})
        EXPECT_EQ(lib().sendToApp(("appID=" + std::to_string(id) + "&parma=for" +
                                   std::to_string(id))
                                      .c_str()),
                  TCPSERVER_OK);
    EXPECT_EQ(lib().sendToApp(gbk.c_str()), TCPSERVER_OK);
    for (auto& [id, list] : peers)
        for (auto& p : list)
            EXPECT_EQ(p->readFrame(), id == 3 ? gbk
                                              : "appID=" + std::to_string(id) + "&parma=for" +
                                                    std::to_string(id))
                << "application " << id;
}

TEST_F(ServerTest, TheUserIdIsToldNowAndToLaterRegistrations) {
    Peer a(port);
    ASSERT_TRUE(a.registerAs(1));
    ASSERT_EQ(lib().setUid("10086"), TCPSERVER_OK);
    EXPECT_EQ(a.readFrame(), "VXLINK/1 UID 10086");
    Peer b(port);
    ASSERT_TRUE(b.registerAs(2));
    EXPECT_EQ(b.readFrame(), "VXLINK/1 UID 10086");
    lib().setUid(nullptr);
    EXPECT_EQ(a.readFrame(), "VXLINK/1 UID ");
}

TEST_F(ServerTest, LimitsCloseSilentOversizedAndExtraPeers) {
    lib().setLimits(300, 3, 0);
    Peer silent(port);
    EXPECT_TRUE(silent.waitClosed()); // never registered within the deadline
    Peer a(port), b(port);
    ASSERT_TRUE(a.registerAs(1));
    ASSERT_TRUE(b.registerAs(2));
    std::string largest(proto::kMaxFrame, 'a');
    largest.front() = 'L';
    ASSERT_TRUE(a.sendFrame(largest));
    ASSERT_TRUE(rec().waitFor(largest));
    auto h = proto::encodeHeader(proto::kMaxFrame + 1);
    ASSERT_TRUE(a.sendBytes(std::string(reinterpret_cast<char*>(h.data()), 4) + "oversized"));
    EXPECT_TRUE(a.waitClosed());
    ASSERT_TRUE(rec().waitFor(offline(1)));

    Peer c(port), d(port);
    ASSERT_TRUE(c.registerAs(3));
    ASSERT_TRUE(d.registerAs(4));
    Peer extra(port); // a fourth connection
    extra.sendBytes(proto::registrationFrame(5));
    EXPECT_TRUE(extra.waitClosed());
    EXPECT_EQ(rec().events(), (std::vector<std::string>{online(1), online(2), largest, offline(1),
                                                        online(3), online(4)}));
}

TEST_F(ServerTest, HttpPeersAreClosedAtOnceWithoutCallback) {
    Peer p(port);
    ASSERT_TRUE(p.sendBytes("GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"));
    EXPECT_TRUE(p.waitClosed());
    EXPECT_EQ(rec().events(), std::vector<std::string>{});
}

TEST_F(ServerTest, EntriesCheckTheirArgumentsAndAPortInUseIsRefused) {
    EXPECT_EQ(lib().sendToApp(nullptr), TCPSERVER_E_ARGUMENT);
    EXPECT_EQ(lib().sendToApp("hello"), TCPSERVER_E_ARGUMENT);
    EXPECT_EQ(lib().start("127.0.0.1", port.c_str(), &Recorder::notify),
              TCPSERVER_E_ALREADY_RUNNING);
    EXPECT_EQ(lib().start("127.0.0.1", "65536", &Recorder::notify), TCPSERVER_E_ARGUMENT);
    EXPECT_EQ(lib().start("localhost", "1", &Recorder::notify), TCPSERVER_E_ARGUMENT);
    ASSERT_EQ(lib().disconnectAll(), TCPSERVER_OK);
    EXPECT_EQ(lib().disconnectAll(), TCPSERVER_E_NOT_RUNNING);
    EXPECT_EQ(lib().closeAll(), TCPSERVER_E_NOT_RUNNING);

    // A port another socket listens on cannot be taken over (exclusive use on Windows).
    SOCKET held = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(held, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(::listen(held, 1), 0);
    int len = sizeof a;
    ::getsockname(held, reinterpret_cast<sockaddr*>(&a), &len);
    const std::string taken = std::to_string(ntohs(a.sin_port));
    EXPECT_EQ(lib().start("127.0.0.1", taken.c_str(), &Recorder::notify), TCPSERVER_E_LISTEN);
    ::closesocket(held);
    EXPECT_EQ(lib().closeAll(), TCPSERVER_E_NOT_RUNNING);
}

TEST_F(ServerTest, CloseAllAndDisconnectAllFromInsideTheCallback) {
    Peer a(port), b(port);
    ASSERT_TRUE(a.registerAs(1));
    ASSERT_TRUE(b.registerAs(2));
    ASSERT_TRUE(rec().waitForCount(2));
    ASSERT_EQ(lib().closeAll(), TCPSERVER_OK);
    EXPECT_TRUE(a.waitClosed());
    EXPECT_TRUE(b.waitClosed());
    ASSERT_TRUE(rec().waitFor(offline(2)));

    rec().setHook([](const std::string& text) {
        if (text == "stop now")
            Library::get().disconnectAll();
    });
    Peer c(port);
    ASSERT_TRUE(c.registerAs(3));
    ASSERT_TRUE(c.sendFrame("stop now"));
    EXPECT_TRUE(c.waitClosed());
    EXPECT_FALSE(Peer(port).connected());
    // The port is free again at once.
    ASSERT_EQ(lib().start("127.0.0.1", port.c_str(), &Recorder::notify), TCPSERVER_OK);
    Peer d(port);
    ASSERT_TRUE(d.registerAs(4));
    ASSERT_TRUE(rec().waitFor(online(4)));
}

TEST(LinkServerNetwork, PeersOffTheLoopbackAreRefused) {
    // A local address of this machine that is not a loopback one.
    std::string local;
    ULONG size = 16 * 1024;
    std::vector<unsigned char> buf(size);
    auto* list = reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buf.data());
    if (::GetAdaptersAddresses(AF_INET, GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST, nullptr,
                               list, &size) == NO_ERROR) {
        for (auto* ad = list; ad && local.empty(); ad = ad->Next)
            for (auto* u = ad->FirstUnicastAddress; u && local.empty(); u = u->Next) {
                auto* sin = reinterpret_cast<sockaddr_in*>(u->Address.lpSockaddr);
                if ((ntohl(sin->sin_addr.s_addr) >> 24) == 127)
                    continue;
                char text[INET_ADDRSTRLEN] = {};
                ::inet_ntop(AF_INET, &sin->sin_addr, text, sizeof text);
                local = text;
            }
    }
    if (local.empty())
        GTEST_SKIP() << "no network interface besides the loopback";

    auto& lib = Library::get();
    Recorder::get().reset();
    const std::string port = freePort();
    ASSERT_EQ(lib.start("0.0.0.0", port.c_str(), &Recorder::notify), TCPSERVER_OK);
    {
        Peer outside(port, local.c_str(), local.c_str());
        ASSERT_TRUE(outside.connected()) << local;
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
