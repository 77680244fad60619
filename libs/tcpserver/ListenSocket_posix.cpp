#include "ListenSocket.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <optional>
#include <sys/socket.h>
#include <unistd.h>

namespace tcpserver {

namespace {

// The two ends of a connection in the form of the kernel's socket table: addresses and ports
// in network order, IPv4-mapped addresses as plain IPv4 (the peer's socket is an IPv4 one).
struct Ends {
    int family = AF_UNSPEC;
    unsigned char peer[16] = {};
    unsigned char own[16] = {};
    std::uint16_t peerPort = 0;
    std::uint16_t ownPort = 0;
};

bool setEnd(const sockaddr_storage& a, bool mappedToV4, unsigned char* addr, std::uint16_t& port) {
    if (a.ss_family == AF_INET) {
        const auto& v4 = reinterpret_cast<const sockaddr_in&>(a);
        std::memcpy(addr, &v4.sin_addr, 4);
        port = v4.sin_port;
        return true;
    }
    if (a.ss_family == AF_INET6) {
        const auto& v6 = reinterpret_cast<const sockaddr_in6&>(a);
        if (mappedToV4)
            std::memcpy(addr, v6.sin6_addr.s6_addr + 12, 4);
        else
            std::memcpy(addr, &v6.sin6_addr, 16);
        port = v6.sin6_port;
        return true;
    }
    return false;
}

std::optional<Ends> endsOf(int fd) {
    sockaddr_storage own{}, peer{};
    socklen_t ownLen = sizeof own, peerLen = sizeof peer;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&own), &ownLen) != 0 ||
        ::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peerLen) != 0 ||
        own.ss_family != peer.ss_family)
        return std::nullopt;
    Ends e;
    bool mapped = false;
    if (peer.ss_family == AF_INET6)
        mapped = IN6_IS_ADDR_V4MAPPED(&reinterpret_cast<const sockaddr_in6&>(peer).sin6_addr);
    e.family = peer.ss_family == AF_INET || mapped ? AF_INET : AF_INET6;
    if (!setEnd(peer, mapped, e.peer, e.peerPort) || !setEnd(own, mapped, e.own, e.ownPort))
        return std::nullopt;
    return e;
}

// The owner of the peer's socket, asked of the kernel's socket table (sock_diag) by the
// connection seen from the peer's side. SO_PEERCRED would be simpler but tells nothing for
// TCP; the table is what `ss -e` reads, and it is open to unprivileged processes.
std::optional<uid_t> ownerOfPeer(const Ends& e) {
    const int nl = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    if (nl < 0)
        return std::nullopt;
    // The kernel answers while handling the request; the timeout only guards the server
    // thread against a kernel that does not.
    timeval tv{1, 0};
    ::setsockopt(nl, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);

    struct {
        nlmsghdr header;
        inet_diag_req_v2 request;
    } req{};
    req.header.nlmsg_len = sizeof req;
    req.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    req.header.nlmsg_flags = NLM_F_REQUEST;
    req.header.nlmsg_seq = 1;
    req.request.sdiag_family = static_cast<__u8>(e.family);
    req.request.sdiag_protocol = IPPROTO_TCP;
    req.request.idiag_states = ~0u;
    req.request.id.idiag_sport = e.peerPort;
    req.request.id.idiag_dport = e.ownPort;
    std::memcpy(req.request.id.idiag_src, e.peer, sizeof e.peer);
    std::memcpy(req.request.id.idiag_dst, e.own, sizeof e.own);
    req.request.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
    req.request.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;

    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    std::optional<uid_t> owner;
    if (::sendto(nl, &req, sizeof req, 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel) ==
        static_cast<ssize_t>(sizeof req)) {
        alignas(nlmsghdr) char buf[8192];
        const ssize_t n = ::recv(nl, buf, sizeof buf, 0);
        auto* h = reinterpret_cast<nlmsghdr*>(buf);
        if (n > 0 && NLMSG_OK(h, static_cast<unsigned>(n)) &&
            h->nlmsg_type == SOCK_DIAG_BY_FAMILY &&
            h->nlmsg_len >= NLMSG_LENGTH(sizeof(inet_diag_msg))) {
            const auto* m = static_cast<const inet_diag_msg*>(NLMSG_DATA(h));
            if (m->id.idiag_sport == e.peerPort && m->id.idiag_dport == e.ownPort)
                owner = m->idiag_uid;
        }
    }
    ::close(nl);
    return owner;
}

} // namespace

void prepareListenSocket(std::uintptr_t nativeHandle) {
    int on = 1;
    ::setsockopt(static_cast<int>(nativeHandle), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
}

const bool kAcceptsPrivately = true;

std::intptr_t acceptPrivate(std::uintptr_t listenHandle, bool& wouldBlock) {
    for (;;) {
        const int fd = ::accept4(static_cast<int>(listenHandle), nullptr, nullptr,
                                 SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd >= 0) {
            wouldBlock = false;
            return fd;
        }
        if (errno == EINTR || errno == ECONNABORTED)
            continue;
        wouldBlock = errno == EAGAIN || errno == EWOULDBLOCK;
        return -1;
    }
}

void keepFromChildren(std::uintptr_t nativeHandle) {
    const int fd = static_cast<int>(nativeHandle);
    const int flags = ::fcntl(fd, F_GETFD);
    if (flags >= 0)
        ::fcntl(fd, F_SETFD, flags | FD_CLOEXEC);
}

bool peerIsSameUser(std::uintptr_t nativeHandle) {
    auto ends = endsOf(static_cast<int>(nativeHandle));
    if (!ends)
        return false;
    auto owner = ownerOfPeer(*ends);
    return owner && *owner == ::geteuid();
}

} // namespace tcpserver
