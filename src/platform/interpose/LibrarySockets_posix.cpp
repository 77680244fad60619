#include "platform/interpose/LibrarySockets.h"

#include <atomic>
#include <cstring>

#include <dlfcn.h>
#include <sys/socket.h>

namespace {

std::atomic<vx::platform::SocketPairHook> g_hook{nullptr};

bool fromLibcurl(void* returnAddress) {
    Dl_info info{};
    if (::dladdr(returnAddress, &info) == 0 || info.dli_fname == nullptr)
        return false;
    const char* slash = std::strrchr(info.dli_fname, '/');
    const char* name = slash ? slash + 1 : info.dli_fname;
    return std::strncmp(name, "libcurl", 7) == 0;
}

} // namespace

namespace vx::platform {

void setLibrarySocketPairHookForTests(SocketPairHook hook) { g_hook = hook; }

} // namespace vx::platform

extern "C" int socketpair(int domain, int type, int protocol, int sv[2]) {
    using Fn = int (*)(int, int, int, int*);
    static const Fn next = reinterpret_cast<Fn>(::dlsym(RTLD_NEXT, "socketpair"));
    const bool curl = fromLibcurl(__builtin_return_address(0));
    if (curl)
        type |= SOCK_CLOEXEC;
    const int rc = next(domain, type, protocol, sv);
    if (rc == 0 && curl)
        if (auto hook = g_hook.load())
            hook(sv[0], sv[1]);
    return rc;
}
