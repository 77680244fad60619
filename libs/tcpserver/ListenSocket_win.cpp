#include "ListenSocket.h"

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

void keepFromChildren(std::uintptr_t nativeHandle) {
    // Sockets are created inheritable; CreateProcess with bInheritHandles would hand them on.
    ::SetHandleInformation(reinterpret_cast<HANDLE>(nativeHandle), HANDLE_FLAG_INHERIT, 0);
}

} // namespace tcpserver
