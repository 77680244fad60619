#include "SocketOwner.h"

#include <cerrno>
#include <cstring>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <optional>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace vxlink::owner {

namespace {

// The two ends of a connection in the form of the kernel's socket table: addresses and ports
// in network order, IPv4-mapped addresses as plain IPv4 (the other end's socket is then an
// IPv4 one).
struct Ends {
    int family = AF_UNSPEC;
    unsigned char remote[16] = {};
    unsigned char local[16] = {};
    std::uint16_t remotePort = 0;
    std::uint16_t localPort = 0;
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
    sockaddr_storage local{}, remote{};
    socklen_t localLen = sizeof local, remoteLen = sizeof remote;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &localLen) != 0 ||
        ::getpeername(fd, reinterpret_cast<sockaddr*>(&remote), &remoteLen) != 0 ||
        local.ss_family != remote.ss_family)
        return std::nullopt;
    Ends e;
    bool mapped = false;
    if (remote.ss_family == AF_INET6)
        mapped = IN6_IS_ADDR_V4MAPPED(&reinterpret_cast<const sockaddr_in6&>(remote).sin6_addr);
    e.family = remote.ss_family == AF_INET || mapped ? AF_INET : AF_INET6;
    if (!setEnd(remote, mapped, e.remote, e.remotePort) ||
        !setEnd(local, mapped, e.local, e.localPort))
        return std::nullopt;
    return e;
}

// The kernel's entry for the socket whose source is `e.remote` and whose destination is
// `e.local`: the other end of our connection. SO_PEERCRED would be simpler but tells nothing
// for TCP; the table is what `ss -e` reads, and it is open to unprivileged processes. Without
// a socket of that exact connection the kernel may answer with the listener of the port (or
// with nothing); only an entry of the connection itself is returned.
std::optional<inet_diag_msg> entryOfOtherEnd(const Ends& e, std::string& why) {
    const int nl = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    if (nl < 0) {
        why = std::string("the kernel's socket table cannot be read: ") + std::strerror(errno);
        return std::nullopt;
    }
    // The kernel answers while handling the request; the timeout only guards the caller's
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
    req.request.id.idiag_sport = e.remotePort;
    req.request.id.idiag_dport = e.localPort;
    std::memcpy(req.request.id.idiag_src, e.remote, sizeof e.remote);
    std::memcpy(req.request.id.idiag_dst, e.local, sizeof e.local);
    req.request.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
    req.request.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;

    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    std::optional<inet_diag_msg> entry;
    why = "the kernel's socket table has no entry for the other end";
    if (::sendto(nl, &req, sizeof req, 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel) ==
        static_cast<ssize_t>(sizeof req)) {
        alignas(nlmsghdr) char buf[8192];
        const ssize_t n = ::recv(nl, buf, sizeof buf, 0);
        auto* h = reinterpret_cast<nlmsghdr*>(buf);
        const std::size_t addrLen = e.family == AF_INET ? 4 : 16;
        if (n > 0 && NLMSG_OK(h, static_cast<unsigned>(n)) &&
            h->nlmsg_type == SOCK_DIAG_BY_FAMILY &&
            h->nlmsg_len >= NLMSG_LENGTH(sizeof(inet_diag_msg))) {
            const auto* m = static_cast<const inet_diag_msg*>(NLMSG_DATA(h));
            if (m->idiag_family == e.family && m->id.idiag_sport == e.remotePort &&
                m->id.idiag_dport == e.localPort &&
                std::memcmp(m->id.idiag_src, e.remote, addrLen) == 0 &&
                std::memcmp(m->id.idiag_dst, e.local, addrLen) == 0)
                entry = *m;
        } else if (n < 0) {
            why = std::string("the kernel's socket table did not answer: ") + std::strerror(errno);
        }
    } else {
        why = std::string("the kernel's socket table cannot be asked: ") + std::strerror(errno);
    }
    ::close(nl);
    return entry;
}

std::string describeUid(uid_t uid, bool withName) {
    std::string who = "uid " + std::to_string(uid);
    if (!withName)
        return who;
    passwd pw{}, *found = nullptr;
    char buf[4096];
    if (::getpwuid_r(uid, &pw, buf, sizeof buf, &found) == 0 && found && found->pw_name)
        who += std::string(" (") + found->pw_name + ")";
    return who;
}

} // namespace

EndOwner ownerOfOtherEnd(std::uintptr_t nativeHandle, bool nameTheUser) {
    EndOwner o;
    auto ends = endsOf(static_cast<int>(nativeHandle));
    if (!ends) {
        o.who = "the socket is not a connected TCP socket";
        return o;
    }
    auto entry = entryOfOtherEnd(*ends, o.who);
    if (!entry)
        return o;
    // The uid of an entry is the owner's only while a program holds its socket (it has an
    // inode) and the connection is up. A socket that was closed already lives on in the
    // time-wait table or as an orphan, and a connection still in its listener's queue has no
    // socket of a program yet; for those the kernel reports a placeholder (uid 0, or the
    // listener's), never to be taken for the owner.
    if (entry->idiag_state != TCP_ESTABLISHED) {
        o.who = "the other end is closing (TCP state " + std::to_string(entry->idiag_state) +
                "): no program holds it";
        return o;
    }
    if (entry->idiag_inode == 0) {
        o.who = "no program has taken the connection yet";
        o.pending = true;
        return o;
    }
    const uid_t uid = entry->idiag_uid;
    if (uid == ::geteuid()) {
        o.verdict = Verdict::Same;
        o.who.clear();
        return o;
    }
    o.verdict = Verdict::Other;
    o.who = describeUid(uid, nameTheUser);
    return o;
}

} // namespace vxlink::owner
