#include "ListenSocket.h"
#include "SocketOwner.h"

// Winsock before windows.h, which would otherwise bring in the old winsock.h.
#include <winsock2.h>
#include <windows.h>

namespace tcpserver {

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
    // Unknown is refused as surely as another user: no row, a closing row, process 0, a
    // process that cannot be opened or a token that cannot be read.
    return vxlink::owner::ownerOfOtherEnd(nativeHandle).verdict == vxlink::owner::Verdict::Same;
}

} // namespace tcpserver
