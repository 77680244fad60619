#include "ListenSocket.h"

#include <winsock2.h>

namespace tcpserver {

void prepareListenSocket(std::uintptr_t nativeHandle) {
    // SO_REUSEADDR on Windows would let another socket steal the port; exclusive use is the
    // safe choice there, and a stopped listener frees its port at once anyway.
    BOOL on = TRUE;
    ::setsockopt(static_cast<SOCKET>(nativeHandle), SOL_SOCKET, SO_EXCLUSIVEADDRUSE,
                 reinterpret_cast<const char*>(&on), sizeof on);
}

} // namespace tcpserver
