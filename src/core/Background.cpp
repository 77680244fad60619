#include "core/Background.h"

#include <atomic>

namespace vx {

namespace {
std::atomic<int> g_running{0};
} // namespace

namespace detail {
void backgroundStarted() { g_running.fetch_add(1); }
void backgroundHandedBack() { g_running.fetch_sub(1); }
} // namespace detail

int backgroundJobsRunning() { return g_running.load(); }

} // namespace vx
