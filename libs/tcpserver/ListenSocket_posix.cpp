#include "ListenSocket.h"

#include <fcntl.h>
#include <sys/socket.h>

namespace tcpserver {

void prepareListenSocket(std::uintptr_t nativeHandle) {
    int on = 1;
    ::setsockopt(static_cast<int>(nativeHandle), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
}

void keepFromChildren(std::uintptr_t nativeHandle) {
    const int fd = static_cast<int>(nativeHandle);
    const int flags = ::fcntl(fd, F_GETFD);
    if (flags >= 0)
        ::fcntl(fd, F_SETFD, flags | FD_CLOEXEC);
}

} // namespace tcpserver
