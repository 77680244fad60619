#include "SocketOwner.h"

#include <cstdio>
#include <cstring>
#include <optional>
#include <vector>

// Winsock before windows.h, which would otherwise bring in the old winsock.h.
#include <winsock2.h>
#include <ws2tcpip.h>
// The connection table, process tokens and account names.
#include <iphlpapi.h>
#include <sddl.h>
#include <windows.h>

namespace vxlink::owner {

namespace {

// An IPv4-mapped IPv6 address as the IPv4 one: the other end's socket is then an IPv4 socket,
// and its row is in the IPv4 table.
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

// The TCP connections (listeners left out) of one address family with the process owning
// each.
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

struct Row {
    DWORD state = 0;
    DWORD pid = 0;
};

// The row of the other end: its local end is our remote end and its remote end ours (our own
// socket has the opposite row). False when the table has none or cannot be read.
bool rowOfOtherEnd(const sockaddr_storage& remote, const sockaddr_storage& local, Row& out) {
    if (remote.ss_family == AF_INET) {
        const auto& p = reinterpret_cast<const sockaddr_in&>(remote);
        const auto& o = reinterpret_cast<const sockaddr_in&>(local);
        auto table = connectionTable(AF_INET);
        if (table.empty())
            return false;
        const auto* t = reinterpret_cast<const MIB_TCPTABLE_OWNER_PID*>(table.data());
        const MIB_TCPROW_OWNER_PID* rows = t->table;
        for (DWORD i = 0; i < t->dwNumEntries; ++i) {
            const auto& r = rows[i];
            // Ports sit in the low 16 bits, in network order like the addresses.
            if (r.dwLocalAddr == p.sin_addr.s_addr &&
                static_cast<u_short>(r.dwLocalPort) == p.sin_port &&
                r.dwRemoteAddr == o.sin_addr.s_addr &&
                static_cast<u_short>(r.dwRemotePort) == o.sin_port) {
                out = {r.dwState, r.dwOwningPid};
                return true;
            }
        }
        return false;
    }
    if (remote.ss_family == AF_INET6) {
        const auto& p = reinterpret_cast<const sockaddr_in6&>(remote);
        const auto& o = reinterpret_cast<const sockaddr_in6&>(local);
        auto table = connectionTable(AF_INET6);
        if (table.empty())
            return false;
        const auto* t = reinterpret_cast<const MIB_TCP6TABLE_OWNER_PID*>(table.data());
        const MIB_TCP6ROW_OWNER_PID* rows = t->table;
        for (DWORD i = 0; i < t->dwNumEntries; ++i) {
            const auto& r = rows[i];
            if (std::memcmp(r.ucLocalAddr, &p.sin6_addr, 16) == 0 &&
                static_cast<u_short>(r.dwLocalPort) == p.sin6_port &&
                std::memcmp(r.ucRemoteAddr, &o.sin6_addr, 16) == 0 &&
                static_cast<u_short>(r.dwRemotePort) == o.sin6_port) {
                out = {r.dwState, r.dwOwningPid};
                return true;
            }
        }
    }
    return false;
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

std::string utf8(const wchar_t* w) {
    const int n = ::WideCharToMultiByte(CP_UTF8, 0, w, -1, nullptr, 0, nullptr, nullptr);
    if (n <= 1)
        return {};
    std::string s(static_cast<std::size_t>(n), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, w, -1, s.data(), n, nullptr, nullptr);
    s.resize(static_cast<std::size_t>(n - 1));
    return s;
}

// "S-1-5-21-...", and with `withName` the account in front ("HOST\name (S-1-5-21-...)").
std::string describeSid(PSID sid, bool withName) {
    std::string text;
    LPWSTR str = nullptr;
    if (::ConvertSidToStringSidW(sid, &str)) {
        text = utf8(str);
        ::LocalFree(str);
    }
    if (!withName)
        return text.empty() ? "an unreadable account" : text;
    wchar_t name[256], domain[256];
    DWORD nameLen = 256, domainLen = 256;
    SID_NAME_USE use;
    if (::LookupAccountSidW(nullptr, sid, name, &nameLen, domain, &domainLen, &use)) {
        std::string account = (domainLen ? utf8(domain) + "\\" : std::string()) + utf8(name);
        return text.empty() ? account : account + " (" + text + ")";
    }
    return text.empty() ? "an unreadable account" : text;
}

// --- Under Wine -------------------------------------------------------------------------------
// Wine keeps the Unix descriptor of a socket in its wineserver; a program gets a copy only once
// it does I/O on the socket. Wine's connection table finds a row's process by the descriptors
// that programs hold, so a live connection on which its program has not read or written yet
// (the server's end before the registration arrives, the kit's end before it writes it: each
// side waits for the other's check) shows process 0. Every program of a Wine prefix runs as one
// Unix user, and any other user's program (native, or Wine under another user) also shows
// process 0, so there the real question is the Linux one: the kernel's socket table, read from
// /proc/net/tcp through Wine's view of the Unix file system, names the Unix uid of the other end
// and whether a program holds it (its inode). That answer is as sound as the Linux check; a
// process-0 row is still refused on Windows itself.

bool underWine() {
    HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
    return ntdll && ::GetProcAddress(ntdll, "wine_get_version");
}

// A file of the Unix system Wine runs on (empty when it cannot be read): Wine's \\?\unix\ path,
// else the drive Z: that a Wine prefix maps to /.
std::string readHostFile(const char* unixPath) {
    for (const wchar_t* prefix : {L"\\\\?\\unix", L"Z:"}) {
        std::wstring path = prefix;
        for (const char* c = unixPath; *c; ++c)
            path += *c == '/' ? L'\\' : static_cast<wchar_t>(*c);
        HANDLE h = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                 nullptr, OPEN_EXISTING, 0, nullptr);
        if (h == INVALID_HANDLE_VALUE)
            continue;
        std::string text;
        char buf[16384];
        DWORD got = 0;
        while (::ReadFile(h, buf, sizeof buf, &got, nullptr) && got > 0)
            text.append(buf, got);
        ::CloseHandle(h);
        if (!text.empty())
            return text;
    }
    return {};
}

struct HostRow {
    unsigned state = 0; // 1: established
    unsigned long uid = 0;
    unsigned long long inode = 0;
};

// "0100007F:22B5": an end as /proc/net/tcp writes it, each 32-bit word of the address as the
// kernel holds it (in memory order, read as a little-endian number), the port as a number.
std::string hostEnd(const sockaddr_storage& a) {
    char out[64] = {};
    if (a.ss_family == AF_INET) {
        const auto& v4 = reinterpret_cast<const sockaddr_in&>(a);
        std::uint32_t w;
        std::memcpy(&w, &v4.sin_addr, 4);
        std::snprintf(out, sizeof out, "%08X:%04X", static_cast<unsigned>(w), ntohs(v4.sin_port));
    } else {
        const auto& v6 = reinterpret_cast<const sockaddr_in6&>(a);
        std::uint32_t w[4];
        std::memcpy(w, &v6.sin6_addr, 16);
        std::snprintf(out, sizeof out, "%08X%08X%08X%08X:%04X", static_cast<unsigned>(w[0]),
                      static_cast<unsigned>(w[1]), static_cast<unsigned>(w[2]),
                      static_cast<unsigned>(w[3]), ntohs(v6.sin6_port));
    }
    return out;
}

// The kernel's row of the other end: local end = our remote end, remote end = ours.
std::optional<HostRow> hostRowOfOtherEnd(const sockaddr_storage& remote,
                                         const sockaddr_storage& local) {
    const std::string table =
        readHostFile(remote.ss_family == AF_INET ? "/proc/net/tcp" : "/proc/net/tcp6");
    const std::string want = hostEnd(remote) + " " + hostEnd(local);
    for (std::size_t at = 0, nl; at < table.size(); at = nl + 1) {
        nl = table.find('\n', at);
        if (nl == std::string::npos)
            nl = table.size();
        const std::string line = table.substr(at, nl - at);
        char own[64], rem[64];
        HostRow r;
        if (std::sscanf(line.c_str(), " %*s %63s %63s %x %*s %*s %*s %lu %*s %llu", own, rem,
                        &r.state, &r.uid, &r.inode) == 5 &&
            std::string(own) + " " + rem == want)
            return r;
    }
    return std::nullopt;
}

// The effective uid of this program on the Unix side.
std::optional<unsigned long> hostUid() {
    const std::string status = readHostFile("/proc/self/status");
    const std::size_t at = status.find("\nUid:");
    unsigned long real = 0, effective = 0;
    if (at == std::string::npos ||
        std::sscanf(status.c_str() + at + 5, " %lu %lu", &real, &effective) != 2)
        return std::nullopt;
    return effective;
}

EndOwner hostOwnerOfOtherEnd(const sockaddr_storage& remote, const sockaddr_storage& local) {
    EndOwner o;
    const auto row = hostRowOfOtherEnd(remote, local);
    const auto ours = hostUid();
    if (!row || !ours) {
        o.who = "Wine's connection table names no process for the other end, and the Unix "
                "socket table cannot be read";
        return o;
    }
    if (row->state != 1) {
        o.who = "the other end is closing (Unix TCP state " + std::to_string(row->state) +
                "): no program holds it";
        return o;
    }
    if (row->inode == 0) {
        o.who = "no program has taken the connection yet";
        o.pending = true;
        return o;
    }
    if (row->uid == *ours) {
        o.verdict = Verdict::Same;
        return o;
    }
    o.verdict = Verdict::Other;
    o.who = "Unix uid " + std::to_string(row->uid) + " on the system Wine runs on";
    return o;
}

} // namespace

EndOwner ownerOfOtherEnd(std::uintptr_t nativeHandle, bool nameTheUser) {
    EndOwner o;
    const auto s = static_cast<SOCKET>(nativeHandle);
    sockaddr_storage remote{}, local{};
    int remoteLen = sizeof remote, localLen = sizeof local;
    if (::getpeername(s, reinterpret_cast<sockaddr*>(&remote), &remoteLen) != 0 ||
        ::getsockname(s, reinterpret_cast<sockaddr*>(&local), &localLen) != 0) {
        o.who = "the socket is not a connected TCP socket";
        return o;
    }
    remote = unmapped(remote);
    local = unmapped(local);
    Row row;
    if (remote.ss_family != local.ss_family || !rowOfOtherEnd(remote, local, row)) {
        o.who = "the connection table has no row for the other end";
        return o;
    }
    // Only an established row names its owner: a closing or time-wait row belongs to no
    // program any more (process 0, or the id of one that has ended and may be someone else's
    // by now).
    if (row.state != MIB_TCP_STATE_ESTAB) {
        o.who = "the other end is closing (TCP state " + std::to_string(row.state) +
                "): no program holds it";
        return o;
    }
    if (row.pid == 0 && underWine())
        return hostOwnerOfOtherEnd(remote, local);
    if (row.pid == 0) {
        o.who = "no program has taken the connection yet";
        o.pending = true;
        return o;
    }
    HANDLE process = ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, row.pid);
    if (!process) {
        o.who = "process " + std::to_string(row.pid) + " cannot be opened (error " +
                std::to_string(::GetLastError()) + ")";
        return o;
    }
    std::vector<unsigned char> theirs = tokenUser(process);
    ::CloseHandle(process);
    std::vector<unsigned char> ours = tokenUser(::GetCurrentProcess());
    if (theirs.empty() || ours.empty()) {
        o.who = "the token of process " + std::to_string(row.pid) + " cannot be read";
        return o;
    }
    PSID theirSid = reinterpret_cast<TOKEN_USER*>(theirs.data())->User.Sid;
    if (::EqualSid(theirSid, reinterpret_cast<TOKEN_USER*>(ours.data())->User.Sid)) {
        o.verdict = Verdict::Same;
        o.who.clear();
        return o;
    }
    o.verdict = Verdict::Other;
    o.who = describeSid(theirSid, nameTheUser) + ", process " + std::to_string(row.pid);
    return o;
}

} // namespace vxlink::owner
