#include "ListenSocket.h"
#include "SocketOwner.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace tcpserver {

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
    // Unknown is refused as surely as another user: a peer that is gone already, half-closed
    // or still queued is not served on the strength of the kernel's placeholder owner.
    return vxlink::owner::ownerOfOtherEnd(nativeHandle).verdict == vxlink::owner::Verdict::Same;
}

} // namespace tcpserver
