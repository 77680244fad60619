#pragma once
// Who runs the program at the other end of a loopback TCP connection. The port of the link
// is open to every user of the machine, so each side asks it of the other: the link server of
// every peer it accepts, the application-side kit (libs/linkclient) of the server before it
// sends a byte. Both build this file; neither exports it.
//
// The answer comes from the system's connection table, looked up by the connection seen from
// the other side (its local end is our remote end and the other way round):
//   Linux:   the kernel's socket table (sock_diag, what `ss -e` shows): the socket's uid,
//            compared with our effective uid;
//   Windows: the TCP connection table (GetExtendedTcpTable): the owning process, whose token
//            user is compared with the user of our own token.
// Whatever the table cannot vouch for is Unknown, and both sides refuse on Unknown.

#include <cstdint>
#include <string>

namespace vxlink::owner {

enum class Verdict {
    Same,    // runs as the user of this process
    Other,   // runs as another user, named in `who`
    Unknown, // cannot be told: refuse
};

struct EndOwner {
    Verdict verdict = Verdict::Unknown;
    // Other: the user ("uid 65534 (nobody)"; "HOST\name (S-1-5-21-...)"). Unknown: why not.
    std::string who;
    // Unknown only: the other end is an established connection that no program has taken off
    // its listener's queue yet (a server that has not called accept). Its owner may be told
    // once it has; asking again later makes sense. Nothing else that is Unknown gets better.
    bool pending = false;
};

// The owner of the socket at the other end of the connected TCP socket `nativeHandle` (a file
// descriptor, a SOCKET). Accepted as the owner only: an entry of that exact connection, in the
// established state, held by a live program (on Linux a socket with an inode; on Windows a
// process id that can be opened, with a readable token). An entry in any other state (closing,
// time-wait) or held by no program reports the kernel's placeholder instead of an owner (uid 0
// on Linux, process 0 on Windows), and a placeholder must never pass for root.
// `nameTheUser` adds the account name to `who` (a look-up in the user database: the kit asks
// for it to tell a person; the server, refusing a flood of peers, does not).
EndOwner ownerOfOtherEnd(std::uintptr_t nativeHandle, bool nameTheUser = false);

} // namespace vxlink::owner
