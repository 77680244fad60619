#pragma once
// Socket options of the listening socket that differ between systems.

#include <cstdint>

namespace tcpserver {

// Called between open and bind. On POSIX it allows binding again at once after a stop while
// old connections linger in TIME_WAIT; on Windows it forbids other programs from binding the
// same port over ours.
void prepareListenSocket(std::uintptr_t nativeHandle);

} // namespace tcpserver
