#include "FileOps.h"

#include <atomic>
#include <cstdlib>

namespace vxdl {

namespace {
std::atomic<int> g_crashAt{-1};
std::atomic<int> g_steps{0};
} // namespace

void crashAtStepForTests(int n) {
    g_steps = 0;
    g_crashAt = n;
}

void crashPoint() {
    const int at = g_crashAt.load();
    if (at >= 0 && g_steps.fetch_add(1) == at)
        std::_Exit(kCrashExitCode);
}

// The process id in a name of the library's own: "<.NAME><marker>PID-N"; 0 when the name is
// not one of them.
long pidInName(const std::string& name, const std::string& marker) {
    auto at = name.rfind(marker);
    if (name.empty() || name[0] != '.' || at == std::string::npos || at == 0)
        return 0;
    std::string rest = name.substr(at + marker.size());
    auto dash = rest.find('-');
    if (dash == 0 || dash == std::string::npos || dash > 9 || rest.find_first_not_of("0123456789") != dash ||
        dash + 1 == rest.size() || rest.find_first_not_of("0123456789", dash + 1) != std::string::npos)
        return 0;
    return std::stol(rest.substr(0, dash));
}

std::string partialPath(const std::string& target) {
#ifdef _WIN32
    const auto slash = target.find_last_of("/\\");
#else
    const auto slash = target.find_last_of('/');
#endif
    if (slash == std::string::npos)
        return "." + target + ".vxpart";
    return target.substr(0, slash + 1) + "." + target.substr(slash + 1) + ".vxpart";
}

std::string partialInfoPath(const std::string& target) { return partialPath(target) + ".info"; }

} // namespace vxdl
