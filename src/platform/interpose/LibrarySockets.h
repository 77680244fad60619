#pragma once

// libcurl makes socket pairs for itself (the threaded resolver's wake-up pair, one for every
// name it resolves) without marking them close-on-exec, so a program that another thread of
// the client starts meanwhile would inherit them. The client's executable defines
// socketpair() (LibrarySockets_posix.cpp, linked with vx_keep_library_sockets_private) and
// adds SOCK_CLOEXEC to the calls that come from libcurl; every other caller gets the system's
// call unchanged.

namespace vx::platform {

// Called with both descriptors of every pair made for libcurl (tests look at their flags).
using SocketPairHook = void (*)(int, int);
void setLibrarySocketPairHookForTests(SocketPairHook hook);

} // namespace vx::platform
