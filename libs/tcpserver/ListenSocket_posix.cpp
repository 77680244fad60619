#include "ListenSocket.h"

#include <sys/socket.h>

namespace tcpserver {

void prepareListenSocket(std::uintptr_t nativeHandle) {
    int on = 1;
    ::setsockopt(static_cast<int>(nativeHandle), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
}

} // namespace tcpserver
