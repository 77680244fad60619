#pragma once
// The link server as the Windows client binds it: TCPServer.dll loaded by its bare name with
// LoadLibraryW and its entries found by GetProcAddress; a recorder for its stdcall callback;
// a raw peer speaking the wire format over a blocking Winsock socket.

#include <winsock2.h>
#include <ws2tcpip.h>

#include "WinSupport.h"
#include "core/Text.h"
#include "tcpserver/LinkProtocol.h"
#include "tcpserver/TCPServer.h"

#include <algorithm>
#include <condition_variable>
#include <functional>
#include <gtest/gtest.h>
#include <mutex>
#include <stdexcept>
#include <vector>

namespace winlink {

namespace proto = vxlink::proto;
using wintest::kHangGuard;

struct Library {
    HMODULE module = nullptr;
    StartServerProc start = nullptr;
    DisconnectAllProc disconnectAll = nullptr;
    CloseAllProc closeAll = nullptr;
    SetUidProc setUid = nullptr;
    SendToAppProc sendToApp = nullptr;
    LinkServerSetLimitsProc setLimits = nullptr;

    static Library& get() {
        static Library lib = [] {
            WSADATA wsa{};
            ::WSAStartup(MAKEWORD(2, 2), &wsa);
            Library l;
            // By its bare name, as the client loads it: the program's own folder comes first.
            l.module = ::LoadLibraryW(L"TCPServer.dll");
            if (!l.module)
                throw std::runtime_error("LoadLibraryW(TCPServer.dll): error " +
                                         std::to_string(::GetLastError()));
            auto entry = [&](const char* name) {
                auto p = reinterpret_cast<void*>(::GetProcAddress(l.module, name));
                if (!p)
                    throw std::runtime_error(std::string("missing entry ") + name);
                return p;
            };
            l.start = reinterpret_cast<StartServerProc>(entry("StartServer"));
            l.disconnectAll = reinterpret_cast<DisconnectAllProc>(entry("DisconnectAll"));
            l.closeAll = reinterpret_cast<CloseAllProc>(entry("CloseAll"));
            l.setUid = reinterpret_cast<SetUidProc>(entry("SetUid"));
            l.sendToApp = reinterpret_cast<SendToAppProc>(entry("sendToApp"));
            l.setLimits =
                reinterpret_cast<LinkServerSetLimitsProc>(entry("LinkServerSetLimitsForTesting"));
            return l;
        }();
        return lib;
    }
};

// Everything the callback received, in order (ANSI code page), the threads it came on, and
// an optional responder playing the client's part.
class Recorder {
public:
    static Recorder& get() {
        static Recorder r;
        return r;
    }

    static void TCPSERVER_CALL notify(const char* text) { get().add(text); }

    void add(const char* text) {
        std::function<void(const std::string&)> hook;
        {
            std::lock_guard lock(m_mutex);
            m_events.emplace_back(text);
            m_threads.push_back(::GetCurrentThreadId());
            hook = m_hook;
            if (m_inside)
                m_overlaps++;
            m_inside = true;
        }
        if (hook)
            hook(text);
        {
            std::lock_guard lock(m_mutex);
            m_inside = false;
        }
        m_cv.notify_all();
    }

    void reset() {
        std::lock_guard lock(m_mutex);
        m_events.clear();
        m_threads.clear();
        m_hook = nullptr;
    }
    void setHook(std::function<void(const std::string&)> hook) {
        std::lock_guard lock(m_mutex);
        m_hook = std::move(hook);
    }
    std::vector<std::string> events() {
        std::lock_guard lock(m_mutex);
        return m_events;
    }
    std::vector<DWORD> threads() {
        std::lock_guard lock(m_mutex);
        return m_threads;
    }
    int overlaps() {
        std::lock_guard lock(m_mutex);
        return m_overlaps;
    }
    bool waitFor(const std::string& ansi, std::size_t times = 1) {
        std::unique_lock lock(m_mutex);
        return m_cv.wait_for(lock, kHangGuard, [&] {
            return static_cast<std::size_t>(std::count(m_events.begin(), m_events.end(), ansi)) >=
                   times;
        });
    }
    bool waitForCount(std::size_t n) {
        std::unique_lock lock(m_mutex);
        return m_cv.wait_for(lock, kHangGuard, [&] { return m_events.size() >= n; });
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::vector<std::string> m_events;
    std::vector<DWORD> m_threads;
    std::function<void(const std::string&)> m_hook;
    bool m_inside = false;
    int m_overlaps = 0;
};

inline std::string ansi(std::string_view utf8) { return vx::toAnsi(utf8); }
inline std::string online(int id) { return ansi("应用上线:appID=" + std::to_string(id)); }
inline std::string offline(int id) { return ansi("应用下线:appID=" + std::to_string(id)); }

// A loopback port that was free a moment ago.
inline std::string freePort() {
    SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    int len = sizeof a;
    ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    ::closesocket(s);
    return std::to_string(ntohs(a.sin_port));
}

// One peer of the link server over a blocking Winsock socket.
class Peer {
public:
    explicit Peer(const std::string& port, const char* host = "127.0.0.1",
                  const char* bindTo = nullptr) {
        m_socket = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        DWORD ms = static_cast<DWORD>(kHangGuard.count() * 1000);
        ::setsockopt(m_socket, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&ms),
                     sizeof ms);
        ::setsockopt(m_socket, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&ms),
                     sizeof ms);
        BOOL one = TRUE;
        ::setsockopt(m_socket, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one),
                     sizeof one);
        if (bindTo) {
            sockaddr_in b{};
            b.sin_family = AF_INET;
            ::inet_pton(AF_INET, bindTo, &b.sin_addr);
            ::bind(m_socket, reinterpret_cast<sockaddr*>(&b), sizeof b);
        }
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<u_short>(std::stoi(port)));
        ::inet_pton(AF_INET, host, &a.sin_addr);
        m_connected = ::connect(m_socket, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    }
    ~Peer() { close(); }
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;

    bool connected() const { return m_connected; }
    void close() {
        if (m_socket != INVALID_SOCKET)
            ::closesocket(m_socket);
        m_socket = INVALID_SOCKET;
    }

    bool sendBytes(std::string_view bytes) {
        while (!bytes.empty()) {
            int n = ::send(m_socket, bytes.data(), static_cast<int>(bytes.size()), 0);
            if (n <= 0)
                return false;
            bytes.remove_prefix(static_cast<std::size_t>(n));
        }
        return true;
    }
    bool sendFrame(std::string_view payload) { return sendBytes(proto::frame(payload)); }

    std::optional<std::string> readFrame() {
        unsigned char h[4];
        if (!readExactly(reinterpret_cast<char*>(h), 4))
            return std::nullopt;
        std::string body(proto::decodeHeader(h), '\0');
        if (!readExactly(body.data(), body.size()))
            return std::nullopt;
        return body;
    }

    bool registerAs(int id) {
        if (!sendBytes(proto::registrationFrame(id)))
            return false;
        auto ack = readFrame();
        return ack && *ack == "VXLINK/1 OK";
    }

    // True once the server has closed the connection (a reset counts; a timeout does not).
    bool waitClosed() {
        char buf[65536];
        for (;;) {
            int n = ::recv(m_socket, buf, sizeof buf, 0);
            if (n == 0)
                return true;
            if (n < 0)
                return ::WSAGetLastError() == WSAECONNRESET ||
                       ::WSAGetLastError() == WSAECONNABORTED;
        }
    }

private:
    bool readExactly(char* p, std::size_t n) {
        while (n > 0) {
            int r = ::recv(m_socket, p, static_cast<int>(n), 0);
            if (r <= 0)
                return false;
            p += r;
            n -= static_cast<std::size_t>(r);
        }
        return true;
    }

    SOCKET m_socket = INVALID_SOCKET;
    bool m_connected = false;
};

// A fresh server on a free port for each test, with default limits.
class ServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        lib().setLimits(0, 0, 0);
        Recorder::get().reset();
        for (int i = 0; i < 5 && rcStart != TCPSERVER_OK; ++i) {
            port = freePort();
            rcStart = lib().start("127.0.0.1", port.c_str(), &Recorder::notify);
        }
        ASSERT_EQ(rcStart, TCPSERVER_OK);
    }
    void TearDown() override {
        lib().disconnectAll();
        lib().setLimits(0, 0, 0);
        EXPECT_EQ(Recorder::get().overlaps(), 0);
        Recorder::get().reset();
    }
    static Library& lib() { return Library::get(); }
    static Recorder& rec() { return Recorder::get(); }

    std::string port;
    int rcStart = -100;
};

} // namespace winlink
