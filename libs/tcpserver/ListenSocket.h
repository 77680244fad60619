#pragma once
// What differs between systems for the server's sockets.

#include <cstdint>

namespace tcpserver {

// Called between open and bind. On POSIX it allows binding again at once after a stop while
// old connections linger in TIME_WAIT; on Windows it forbids other programs from binding the
// same port over ours.
void prepareListenSocket(std::uintptr_t nativeHandle);

// Called right after a socket is opened or accepted, so that no program the client starts
// inherits it: an inherited listener would keep the port bound and keep taking connections
// that nobody serves after the client has gone, an inherited connection would keep an
// application from seeing its link close.
void keepFromChildren(std::uintptr_t nativeHandle);

// POSIX takes each connection off the listener itself (acceptPrivate), born close-on-exec,
// once the listener is readable; Windows accepts through Asio and marks it at once
// (keepFromChildren): a handle is inherited there only by a child created to inherit, which
// the client never starts.
extern const bool kAcceptsPrivately;
// Takes one waiting connection off a listening socket, close-on-exec and non-blocking from
// the start (accept4), so that a program started meanwhile on another thread cannot inherit
// it even for a moment. The new native handle; -1 when none is waiting (`wouldBlock`) or on
// an error. Only where kAcceptsPrivately.
std::intptr_t acceptPrivate(std::uintptr_t listenHandle, bool& wouldBlock);

// True when the program at the other end of an accepted loopback connection runs as the same
// user as this process. The port is open to every user of the machine; another user's program
// must not talk to this user's client. False also when the owner cannot be found out: a peer
// that has closed or half-closed its end, or is gone, before the server looks at it
// (SocketOwner.h).
bool peerIsSameUser(std::uintptr_t nativeHandle);

} // namespace tcpserver
