// Parallel transfers against an https server that offers HTTP/2 (nghttpd) share one
// multiplexed connection; against one that speaks only HTTP/1.1 each keeps its own. A TCP
// relay in front of the server counts the connections and can cut the first one.

#include "DownloaderHarness.h"
#include "support/TempDir.h"
#include "support/TlsServer.h"

#include <csignal>
#include <filesystem>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>

extern char** environ;

namespace fs = std::filesystem;
using namespace dltest;

namespace {

// Relays every connection it accepts to 127.0.0.1:target. With `cutAfter` set, the first
// connection is dropped once it has carried that many bytes to the client.
class Relay {
public:
    explicit Relay(int target, std::size_t cutAfter = 0)
        : m_target(target), m_cutAfter(cutAfter), m_listener(vxtest::listenLoopback(64)) {
        m_accepting = std::thread([this] { acceptLoop(); });
    }
    ~Relay() {
        m_stop = true;
        m_accepting.join();
        for (auto& t : m_workers)
            t.join();
        ::close(m_listener.fd);
    }
    int port() const { return m_listener.port; }
    int connections() const { return m_connections.load(); }

private:
    bool readable(int fd) {
        while (!m_stop) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 100) > 0)
                return true;
        }
        return false;
    }
    void acceptLoop() {
        while (readable(m_listener.fd)) {
            const int client = ::accept4(m_listener.fd, nullptr, nullptr, SOCK_CLOEXEC);
            if (client < 0)
                continue;
            const bool first = m_connections++ == 0;
            m_workers.emplace_back([this, client, first] { relay(client, first && m_cutAfter > 0); });
        }
    }
    void relay(int client, bool cut) {
        const int server = vxtest::connectLoopback(m_target);
        std::size_t toClient = 0;
        char buf[16384];
        while (server >= 0 && !m_stop) {
            pollfd p[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
            if (::poll(p, 2, 100) <= 0)
                continue;
            bool closed = false;
            for (int i = 0; i < 2 && !closed; ++i) {
                if (!(p[i].revents & (POLLIN | POLLHUP | POLLERR)))
                    continue;
                const ssize_t n = ::recv(p[i].fd, buf, sizeof buf, 0);
                closed = n <= 0 || ::send(p[1 - i].fd, buf, static_cast<std::size_t>(n), MSG_NOSIGNAL) != n;
                if (!closed && i == 1)
                    toClient += static_cast<std::size_t>(n);
            }
            if (closed || (cut && toClient >= m_cutAfter))
                break;
        }
        if (server >= 0)
            ::close(server);
        ::close(client);
    }

    int m_target;
    std::size_t m_cutAfter;
    vxtest::Listener m_listener;
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_connections{0};
    std::thread m_accepting;
    std::vector<std::thread> m_workers; // touched by the accepting thread only, until it ends
};

// nghttpd serving `root` over TLS with the test certificate, on a port of its own.
class Nghttpd {
public:
    explicit Nghttpd(const std::string& root) {
        for (int tries = 0; tries < 5 && m_pid <= 0; ++tries) {
            m_port = vxtest::freePort();
            const std::string port = std::to_string(m_port), key = vxtest::certsFile("server.key"),
                              cert = vxtest::certsFile("server.pem"), docs = "--htdocs=" + root;
            const char* argv[] = {"nghttpd", "--address=127.0.0.1", docs.c_str(), port.c_str(),
                                  key.c_str(), cert.c_str(), nullptr};
            pid_t pid = 0;
            if (::posix_spawnp(&pid, "nghttpd", nullptr, nullptr, const_cast<char**>(argv), environ) != 0)
                return;
            // Up once it accepts; a port taken meanwhile ends it, and the next try takes another.
            for (int wait = 0; wait < 300; ++wait) {
                if (int fd = vxtest::connectLoopback(m_port); fd >= 0) {
                    ::close(fd);
                    m_pid = pid;
                    break;
                }
                if (::waitpid(pid, nullptr, WNOHANG) == pid)
                    break;
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
            if (m_pid <= 0 && ::waitpid(pid, nullptr, WNOHANG) == 0) {
                ::kill(pid, SIGKILL);
                ::waitpid(pid, nullptr, 0);
            }
        }
    }
    ~Nghttpd() {
        if (m_pid > 0) {
            ::kill(m_pid, SIGTERM);
            ::waitpid(m_pid, nullptr, 0);
        }
    }
    bool running() const { return m_pid > 0; }
    int port() const { return m_port; }

private:
    pid_t m_pid = 0;
    int m_port = 0;
};

} // namespace

TEST(Http2, ParallelTransfersShareOneConnectionWhereTheServerOffersIt) {
    Library::get();
    constexpr int kFiles = 40, kSize = 20 * 1024;
    vxtest::TempDir served("h2srv"), dir("h2");
    for (int i = 0; i < kFiles; ++i)
        served.write(std::to_string(i), pattern(kSize, static_cast<unsigned>(i)));
    Nghttpd h2(served.path());
    ASSERT_TRUE(h2.running()) << "nghttpd (the nghttp2-server package) did not start";
    // The same files from a server that speaks only HTTP/1.1.
    vxtest::TlsServer h1;
    h1.server().set_keep_alive_max_count(1000); // its connections are kept as long as ours
    h1.server().Get("/(\\d+)", [&](const httplib::Request& req, httplib::Response& res) {
        res.set_content(pattern(kSize, static_cast<unsigned>(std::stoi(req.matches[1]))), "application/octet-stream");
    });
    ASSERT_EQ(Library::get().trustCaFile(vxtest::certsFile("ca.pem").c_str()), 0);

    struct Case {
        const char* what;
        bool http2;
        std::size_t cutAfter; // the first connection drops after this many bytes to the client
        bool missing;         // one file of the set is not on the server
        int minConnections, maxConnections;
    };
    const Case cases[] = {
        {"HTTP/2: every file over one connection", true, 0, false, 1, 1},
        {"HTTP/2: the shared connection cut mid-way, every transfer on it again", true, 300000, false, 2, 5},
        {"HTTP/2: a missing file, nothing placed", true, 0, true, 1, 1},
        {"HTTP/1.1: a connection for each transfer at once", false, 0, false, 2, 4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ConnectionsScope scope(4);
        Relay relay(c.http2 ? h2.port() : h1.port(), c.cutAfter);
        fs::remove_all(dir.path());
        std::vector<std::string> urls, paths, digests;
        for (int i = 0; i < kFiles; ++i) {
            const std::string name = c.missing && i == kFiles / 2 ? "gone" : std::to_string(i);
            urls.push_back("https://127.0.0.1:" + std::to_string(relay.port()) + "/" + name);
            paths.push_back(dir.file("app/" + std::to_string(i) + ".bin"));
            digests.push_back(sha256Of(pattern(kSize, static_cast<unsigned>(i))));
        }
        auto msgs = Messages::get().waitFinal(startResumable(urls, paths, digests, "", 0, 3));
        if (c.missing) {
            expectFailure(msgs);
            for (const auto& e : fs::recursive_directory_iterator(dir.path()))
                EXPECT_FALSE(e.is_regular_file()) << e.path() << " is left";
        } else {
            expectSuccess(msgs);
            for (int i = 0; i < kFiles; ++i)
                EXPECT_TRUE(vxtest::readFile(paths[i]) == pattern(kSize, static_cast<unsigned>(i))) << i;
        }
        EXPECT_GE(relay.connections(), c.minConnections);
        EXPECT_LE(relay.connections(), c.maxConnections);
    }
    EXPECT_EQ(Library::get().trustCaFile(nullptr), 0);
    EXPECT_TRUE(Messages::get().violations().empty());
}
