#pragma once
// Loopback sockets for tests and benchmarks: listeners on ephemeral ports, free ports and
// blocking client connections, all on 127.0.0.1.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdint>
#include <stdexcept>
#include <string>

namespace vxtest {

inline sockaddr_in loopbackAddress(int port = 0) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

inline int boundPort(int fd) {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    return ntohs(a.sin_port);
}

// A listening socket on an ephemeral port of 127.0.0.1; throws when none can be had.
struct Listener {
    int fd = -1;
    int port = 0;
};

inline Listener listenLoopback(int backlog) {
    Listener l;
    l.fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    ::setsockopt(l.fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a = loopbackAddress();
    if (l.fd < 0 || ::bind(l.fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::listen(l.fd, backlog) != 0) {
        if (l.fd >= 0)
            ::close(l.fd);
        throw std::runtime_error("cannot listen on 127.0.0.1");
    }
    l.port = boundPort(l.fd);
    return l;
}

// A port on which nothing listens (it was free a moment ago).
inline int freePort() {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = loopbackAddress();
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    int port = boundPort(fd);
    ::close(fd);
    return port;
}

// A blocking connection to 127.0.0.1:port with Nagle off, or -1 when it is refused.
// guardSeconds (if not 0) bounds every send and receive, as a guard against hangs only;
// rcvbuf (if not 0) shrinks the receive buffer.
inline int connectLoopback(int port, int guardSeconds = 0, int rcvbuf = 0) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    if (rcvbuf)
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (guardSeconds) {
        timeval tv{guardSeconds, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    }
    sockaddr_in a = loopbackAddress(port);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

inline std::string loopbackUrl(int port, const std::string& path) {
    return "http://127.0.0.1:" + std::to_string(port) + path;
}

} // namespace vxtest
