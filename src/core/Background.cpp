#include "core/Background.h"

#include <atomic>
#include <system_error>

namespace vx {

namespace {
std::atomic<int> g_running{0};
std::atomic<int> g_failStarts{0};
} // namespace

namespace detail {
void backgroundStarted() { g_running.fetch_add(1); }
void backgroundHandedBack() { g_running.fetch_sub(1); }
void checkThreadStart() {
    for (int n = g_failStarts.load(); n > 0;)
        if (g_failStarts.compare_exchange_weak(n, n - 1))
            throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again),
                                    "no thread");
}
} // namespace detail

void failThreadStartsForTests(int count) { g_failStarts = count > 0 ? count : 0; }

int backgroundJobsRunning() { return g_running.load(); }

} // namespace vx
