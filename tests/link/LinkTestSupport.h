#pragma once
// Shared pieces of the link tests: the server library loaded the way the client loads it,
// a recorder for its callback, and a raw peer speaking the wire format over blocking sockets.

#include "core/Text.h"
#include "tcpserver/LinkProtocol.h"
#include "tcpserver/TCPServer.h"
#include "support/Loopback.h"

#include <arpa/inet.h>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <dlfcn.h>
#include <functional>
#include <gtest/gtest.h>
#include <mutex>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <optional>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace linktest {

namespace proto = vxlink::proto;

// Guards against a hang only; no test measures time.
inline constexpr auto kHangGuard = std::chrono::seconds(30);

struct Library {
    void* handle = nullptr;
    StartServerProc start = nullptr;
    DisconnectAllProc disconnectAll = nullptr;
    CloseAllProc closeAll = nullptr;
    SetUidProc setUid = nullptr;
    SendToAppProc sendToApp = nullptr;
    LinkServerSetLimitsProc setLimits = nullptr;

    static Library& get() {
        static Library lib = [] {
            Library l;
            l.handle = ::dlopen(TCPSERVER_LIB, RTLD_NOW | RTLD_LOCAL);
            if (!l.handle)
                throw std::runtime_error(std::string("dlopen: ") + ::dlerror());
            auto sym = [&](const char* name) {
                void* p = ::dlsym(l.handle, name);
                if (!p)
                    throw std::runtime_error(std::string("missing entry ") + name);
                return p;
            };
            l.start = reinterpret_cast<StartServerProc>(sym("StartServer"));
            l.disconnectAll = reinterpret_cast<DisconnectAllProc>(sym("DisconnectAll"));
            l.closeAll = reinterpret_cast<CloseAllProc>(sym("CloseAll"));
            l.setUid = reinterpret_cast<SetUidProc>(sym("SetUid"));
            l.sendToApp = reinterpret_cast<SendToAppProc>(sym("sendToApp"));
            l.setLimits =
                reinterpret_cast<LinkServerSetLimitsProc>(sym("LinkServerSetLimitsForTesting"));
            return l;
        }();
        return lib;
    }
};

// Everything the callback received, in order (ANSI code page), plus an optional responder
// that plays the client's part.
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
            hook = m_hook;
            // The contract: one call at a time, never re-entered.
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
    int overlaps() {
        std::lock_guard lock(m_mutex);
        return m_overlaps;
    }
    std::size_t count(const std::string& ansi) {
        std::lock_guard lock(m_mutex);
        return std::count(m_events.begin(), m_events.end(), ansi);
    }
    // Waits until the text has been received `times` times in all.
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
    std::function<void(const std::string&)> m_hook;
    bool m_inside = false;
    int m_overlaps = 0;
};

inline std::string ansi(std::string_view utf8) {
    return vx::toAnsi(utf8);
}
inline std::string online(int id) {
    return ansi("应用上线:appID=" + std::to_string(id));
}
inline std::string offline(int id) {
    return ansi("应用下线:appID=" + std::to_string(id));
}

// A port that was free a moment ago.
inline std::string freePort() { return std::to_string(vxtest::freePort()); }

// One peer of the link server over a blocking socket.
class Peer {
public:
    explicit Peer(const std::string& port, const char* host = "127.0.0.1",
                  const char* bindTo = nullptr) {
        m_fd = ::socket(AF_INET, SOCK_STREAM, 0);
        timeval tv{static_cast<time_t>(kHangGuard.count()), 0};
        ::setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        ::setsockopt(m_fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
        int one = 1;
        ::setsockopt(m_fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        if (bindTo) {
            sockaddr_in b{};
            b.sin_family = AF_INET;
            ::inet_pton(AF_INET, bindTo, &b.sin_addr);
            ::bind(m_fd, reinterpret_cast<sockaddr*>(&b), sizeof b);
        }
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(std::stoi(port)));
        ::inet_pton(AF_INET, host, &a.sin_addr);
        m_connected = ::connect(m_fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    }
    ~Peer() { close(); }
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;

    bool connected() const { return m_connected; }
    void close() {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
    }

    bool sendBytes(std::string_view bytes) {
        while (!bytes.empty()) {
            ssize_t n = ::send(m_fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
            if (n <= 0)
                return false;
            bytes.remove_prefix(static_cast<std::size_t>(n));
        }
        return true;
    }
    bool sendFrame(std::string_view payload) { return sendBytes(proto::frame(payload)); }

    // The next frame; none on end of stream, error or a broken frame.
    std::optional<std::string> readFrame() {
        unsigned char h[4];
        if (!readExactly(reinterpret_cast<char*>(h), 4))
            return std::nullopt;
        std::string body(proto::decodeHeader(h), '\0');
        if (!readExactly(body.data(), body.size()))
            return std::nullopt;
        return body;
    }

    // Registers and reads the acknowledgement.
    bool registerAs(int id) {
        if (!sendBytes(proto::registrationFrame(id)))
            return false;
        auto ack = readFrame();
        return ack && *ack == "VXLINK/1 OK";
    }

    // True once the server has closed the connection (everything it sent is skipped).
    bool waitClosed() {
        char buf[65536];
        for (;;) {
            ssize_t n = ::recv(m_fd, buf, sizeof buf, 0);
            if (n == 0)
                return true;
            if (n < 0)
                return errno == ECONNRESET;
        }
    }

    int fd() const { return m_fd; }

private:
    bool readExactly(char* p, std::size_t n) {
        while (n > 0) {
            ssize_t r = ::recv(m_fd, p, n, 0);
            if (r <= 0)
                return false;
            p += r;
            n -= static_cast<std::size_t>(r);
        }
        return true;
    }

    int m_fd = -1;
    bool m_connected = false;
};

// A forked child that runs as another user of the machine (nobody, 65534; the tests run as
// root to make one), or as this one for a counterpart (`asOtherUser` false). `body` runs in
// the child once it is that user, with the ends of two
// pipes: what it writes to `report` the parent reads with read(), and it learns from `command`
// what the parent tells it (and that the parent is done, at end of file). Everything the body
// needs is prepared before the fork: in the child of a threaded program it only makes system
// calls. A child that cannot become nobody reports the single byte 'E' and ends.
class AsOtherUser {
public:
    static constexpr uid_t kUid = 65534;
    using Body = void (*)(const void* arg, int report, int command);

    AsOtherUser(Body body, const void* arg, bool asOtherUser = true) {
        int r[2], c[2];
        if (::pipe(r) != 0 || ::pipe(c) != 0)
            throw std::runtime_error("pipe");
        m_pid = ::fork();
        if (m_pid < 0)
            throw std::runtime_error("fork");
        if (m_pid == 0) {
            ::close(r[0]);
            ::close(c[1]);
            if (asOtherUser && (::setgid(kUid) != 0 || ::setuid(kUid) != 0 || ::getuid() != kUid)) {
                ::write(r[1], "E", 1);
                ::_exit(1);
            }
            body(arg, r[1], c[0]);
            ::_exit(0);
        }
        ::close(r[1]);
        ::close(c[0]);
        m_report = r[0];
        m_command = c[1];
    }
    ~AsOtherUser() { finish(); }
    AsOtherUser(const AsOtherUser&) = delete;
    AsOtherUser& operator=(const AsOtherUser&) = delete;

    // Exactly `n` bytes of the child's report; false when it ended before.
    bool read(void* to, std::size_t n) {
        auto* p = static_cast<char*>(to);
        while (n > 0) {
            const ssize_t got = ::read(m_report, p, n);
            if (got <= 0)
                return false;
            p += got;
            n -= static_cast<std::size_t>(got);
        }
        return true;
    }
    void tell(char c) { ::write(m_command, &c, 1); }
    // Tells the child that the parent is done (end of file on its command pipe).
    void done() {
        if (m_command >= 0)
            ::close(m_command);
        m_command = -1;
    }
    // Ends the child and waits for it; its exit status (-1 when killed).
    int finish() {
        done();
        if (m_report >= 0)
            ::close(m_report);
        m_report = -1;
        int status = 0;
        if (m_pid > 0 && ::waitpid(m_pid, &status, 0) == m_pid) {
            m_pid = -1;
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        return -1;
    }

private:
    pid_t m_pid = -1;
    int m_report = -1;
    int m_command = -1;
};

#define LINKTEST_NEEDS_ROOT()                                                                   \
    do {                                                                                        \
        if (::geteuid() != 0)                                                                   \
            GTEST_SKIP() << "needs root to run a program as another user (nobody, 65534)";      \
    } while (0)

// A fresh server on a free port for each test, with default limits.
class ServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        lib().setLimits(0, 0, 0);
        Recorder::get().reset();
        // Another program may take the port between the probe and the bind: try a few.
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

} // namespace linktest
