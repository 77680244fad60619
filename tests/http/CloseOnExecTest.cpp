// The worker's connection while it is open: a program that the client starts meanwhile must
// not inherit it (it would keep the connection open for the service after the client closed
// it).

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "core/MainThread.h"
#include "http/HttpThread.h"
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
