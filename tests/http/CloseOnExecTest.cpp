// The worker's connection while it is open: a program that the client starts meanwhile must
// not inherit it (it would keep the connection open for the service after the client closed
// it).

#include <gtest/gtest.h>

#include <atomic>

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "core/MainThread.h"
#include "http/HttpThread.h"
#include "platform/interpose/LibrarySockets.h"
#include "support/Loopback.h"

namespace {

// The descriptors of this process that are connected to 127.0.0.1:port.
std::vector<int> connectedTo(int port) {
    std::vector<int> out;
    DIR* d = ::opendir("/proc/self/fd");
    while (dirent* e = d ? ::readdir(d) : nullptr) {
        const int fd = std::atoi(e->d_name);
        sockaddr_in peer{};
        socklen_t len = sizeof peer;
        if (e->d_name[0] != '.' && ::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &len) == 0 &&
            peer.sin_family == AF_INET && ntohs(peer.sin_port) == port)
            out.push_back(fd);
    }
    if (d)
        ::closedir(d);
    return out;
}

} // namespace

TEST(WorkerConnection, IsCloseOnExec) {
    vx::LoopMainThread loop;
    vx::setMainThread(&loop);
    vxtest::Listener server = vxtest::listenLoopback(4);
    bool done = false;
    auto* worker = new vx::THttpThread("http://127.0.0.1:" + std::to_string(server.port) + "/x",
                                       "", "", "0", nullptr, vx::kSendGetText,
                                       std::chrono::milliseconds(20000));
    worker->FSendDone = [&](vx::THttpThread*, vx::PReturnInfo) { done = true; };
    // The server accepts and holds the request unanswered while the worker's end is looked at.
    std::vector<int> fds;
    for (int i = 0; i < 1000 && fds.empty(); ++i) {
        loop.processPending(); // the worker starts from the main thread
        fds = connectedTo(server.port);
        if (fds.empty())
            ::usleep(10000);
    }
    const int peer = ::accept(server.fd, nullptr, nullptr);
    ASSERT_GE(peer, 0);
    ASSERT_FALSE(fds.empty()) << "the worker's connection was not found";
    for (int fd : fds)
        EXPECT_NE(::fcntl(fd, F_GETFD) & FD_CLOEXEC, 0) << "descriptor " << fd;
    ::close(peer);
    EXPECT_TRUE(loop.runUntil([&] { return done; }));
    ::close(server.fd);
    vx::setMainThread(nullptr);
}

// The socket pairs libcurl makes for itself during a request (the wake-up pair of its
// transfer, and the resolver's for a name): close-on-exec from the moment they exist.
std::atomic<int> g_pairs{0};
std::atomic<int> g_inheritable{0};

TEST(WorkerConnection, LibcurlsOwnSocketPairsAreCloseOnExec) {
    vx::platform::setLibrarySocketPairHookForTests([](int a, int b) {
        ++g_pairs;
        for (int fd : {a, b})
            if (!(::fcntl(fd, F_GETFD) & FD_CLOEXEC))
                ++g_inheritable;
    });
    vx::LoopMainThread loop;
    vx::setMainThread(&loop);
    vxtest::Listener server = vxtest::listenLoopback(4);
    for (const char* host : {"127.0.0.1", "localhost"}) {
        bool done = false;
        auto* worker = new vx::THttpThread("http://" + std::string(host) + ":" +
                                               std::to_string(server.port) + "/x",
                                           "", "", "0", nullptr, vx::kSendGetText,
                                           std::chrono::milliseconds(20000));
        worker->FSendDone = [&](vx::THttpThread*, vx::PReturnInfo) { done = true; };
        int peer = -1;
        for (int i = 0; i < 1000 && peer < 0; ++i) {
            loop.processPending();
            pollfd p{server.fd, POLLIN, 0};
            if (::poll(&p, 1, 10) == 1)
                peer = ::accept(server.fd, nullptr, nullptr);
        }
        ASSERT_GE(peer, 0) << host;
        ::close(peer);
        EXPECT_TRUE(loop.runUntil([&] { return done; })) << host;
    }
    ::close(server.fd);
    vx::setMainThread(nullptr);
    vx::platform::setLibrarySocketPairHookForTests(nullptr);
    EXPECT_GE(g_pairs.load(), 2);
    EXPECT_EQ(g_inheritable.load(), 0);
}
