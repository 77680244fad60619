#include "ListenSocket.h"

#include <cstring>
#include <vector>

// Winsock before windows.h, which would otherwise bring in the old winsock.h.
#include <winsock2.h>
#include <ws2tcpip.h>
// The connection table and process tokens.
#include <iphlpapi.h>
#include <windows.h>

namespace tcpserver {

namespace {

// An IPv4-mapped IPv6 address as the IPv4 one: the peer's socket is then an IPv4 socket, and
// its row is in the IPv4 table.
sockaddr_storage unmapped(const sockaddr_storage& a) {
    if (a.ss_family != AF_INET6)
        return a;
    const auto& v6 = reinterpret_cast<const sockaddr_in6&>(a);
    if (!IN6_IS_ADDR_V4MAPPED(&v6.sin6_addr))
        return a;
    sockaddr_storage out{};
    auto& v4 = reinterpret_cast<sockaddr_in&>(out);
    v4.sin_family = AF_INET;
    v4.sin_port = v6.sin6_port;
    std::memcpy(&v4.sin_addr, v6.sin6_addr.s6_addr + 12, 4);
    return out;
}

// The TCP connections of one address family with the process owning each.
std::vector<unsigned char> connectionTable(ULONG family) {
    std::vector<unsigned char> table;
    DWORD size = 0;
    for (int attempt = 0; attempt < 4; ++attempt) {
        DWORD rc = ::GetExtendedTcpTable(table.data(), &size, FALSE, family,
                                         TCP_TABLE_OWNER_PID_CONNECTIONS, 0);
        if (rc == NO_ERROR)
            return table;
        if (rc != ERROR_INSUFFICIENT_BUFFER)
            return {};
        // Room for a few more rows: the table may grow between asking its size and reading it.
        table.assign(size + 16 * sizeof(MIB_TCP6ROW_OWNER_PID), 0);
        size = static_cast<DWORD>(table.size());
    }
    return {};
}

// The process at the peer's end: the row whose local end is the peer's and whose remote end
// is ours (our own accepted socket has the opposite row). 0 when none is found.
DWORD owningProcess(const sockaddr_storage& peer, const sockaddr_storage& own) {
    if (peer.ss_family == AF_INET) {
        const auto& p = reinterpret_cast<const sockaddr_in&>(peer);
        const auto& o = reinterpret_cast<const sockaddr_in&>(own);
        auto table = connectionTable(AF_INET);
        if (table.empty())
            return 0;
        const auto* t = reinterpret_cast<const MIB_TCPTABLE_OWNER_PID*>(table.data());
        const MIB_TCPROW_OWNER_PID* rows = t->table;
        for (DWORD i = 0; i < t->dwNumEntries; ++i) {
            const auto& r = rows[i];
            // Ports sit in the low 16 bits, in network order like the addresses.
            if (r.dwLocalAddr == p.sin_addr.s_addr &&
                static_cast<u_short>(r.dwLocalPort) == p.sin_port &&
                r.dwRemoteAddr == o.sin_addr.s_addr &&
                static_cast<u_short>(r.dwRemotePort) == o.sin_port)
                return r.dwOwningPid;
        }
        return 0;
    }
    if (peer.ss_family == AF_INET6) {
        const auto& p = reinterpret_cast<const sockaddr_in6&>(peer);
        const auto& o = reinterpret_cast<const sockaddr_in6&>(own);
        auto table = connectionTable(AF_INET6);
        if (table.empty())
            return 0;
        const auto* t = reinterpret_cast<const MIB_TCP6TABLE_OWNER_PID*>(table.data());
        const MIB_TCP6ROW_OWNER_PID* rows = t->table;
        for (DWORD i = 0; i < t->dwNumEntries; ++i) {
            const auto& r = rows[i];
            if (std::memcmp(r.ucLocalAddr, &p.sin6_addr, 16) == 0 &&
                static_cast<u_short>(r.dwLocalPort) == p.sin6_port &&
                std::memcmp(r.ucRemoteAddr, &o.sin6_addr, 16) == 0 &&
                static_cast<u_short>(r.dwRemotePort) == o.sin6_port)
                return r.dwOwningPid;
        }
    }
    return 0;
}

// The TOKEN_USER of a process; empty when it cannot be read.
std::vector<unsigned char> tokenUser(HANDLE process) {
    HANDLE token = nullptr;
    if (!::OpenProcessToken(process, TOKEN_QUERY, &token))
        return {};
    DWORD size = 0;
    ::GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    std::vector<unsigned char> user(size);
    if (size == 0 || !::GetTokenInformation(token, TokenUser, user.data(), size, &size))
        user.clear();
    ::CloseHandle(token);
    return user;
}

} // namespace

void prepareListenSocket(std::uintptr_t nativeHandle) {
    // SO_REUSEADDR on Windows would let another socket steal the port; exclusive use is the
    // safe choice there, and a stopped listener frees its port at once anyway.
    BOOL on = TRUE;
    ::setsockopt(static_cast<SOCKET>(nativeHandle), SOL_SOCKET, SO_EXCLUSIVEADDRUSE,
                 reinterpret_cast<const char*>(&on), sizeof on);
}

const bool kAcceptsPrivately = false;

std::intptr_t acceptPrivate(std::uintptr_t, bool& wouldBlock) {
    wouldBlock = false;
    return -1; // Asio's accept, then keepFromChildren
}

void keepFromChildren(std::uintptr_t nativeHandle) {
    // Sockets are created inheritable; CreateProcess with bInheritHandles would hand them on.
    ::SetHandleInformation(reinterpret_cast<HANDLE>(nativeHandle), HANDLE_FLAG_INHERIT, 0);
}

bool peerIsSameUser(std::uintptr_t nativeHandle) {
    const auto s = static_cast<SOCKET>(nativeHandle);
    sockaddr_storage peer{}, own{};
    int peerLen = sizeof peer, ownLen = sizeof own;
    if (::getpeername(s, reinterpret_cast<sockaddr*>(&peer), &peerLen) != 0 ||
        ::getsockname(s, reinterpret_cast<sockaddr*>(&own), &ownLen) != 0)
        return false;
    peer = unmapped(peer);
    own = unmapped(own);
    if (peer.ss_family != own.ss_family)
        return false;
    const DWORD pid = owningProcess(peer, own);
    if (pid == 0)
        return false;
    HANDLE process = ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    if (!process)
        return false;
    std::vector<unsigned char> theirs = tokenUser(process);
    ::CloseHandle(process);
    std::vector<unsigned char> ours = tokenUser(::GetCurrentProcess());
    if (theirs.empty() || ours.empty())
        return false;
    return ::EqualSid(reinterpret_cast<TOKEN_USER*>(theirs.data())->User.Sid,
                      reinterpret_cast<TOKEN_USER*>(ours.data())->User.Sid) != FALSE;
}

} // namespace tcpserver
