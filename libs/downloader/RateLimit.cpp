#include "RateLimit.h"

#include <algorithm>

#include "Transfer.h"

namespace vxdl {

namespace {
// The longest single wait: a new limit, or none, reaches a waiting transfer within it.
constexpr auto kSlice = std::chrono::milliseconds(50);
} // namespace

RateLimit& RateLimit::shared() {
    static RateLimit limit;
    return limit;
}

void RateLimit::refill(Clock::time_point now) {
    const long long rate = m_rate.load();
    const double seconds = std::chrono::duration<double>(now - m_last).count();
    m_last = now;
    if (rate > 0 && seconds > 0)
        m_granted = std::min(m_asked, m_granted + static_cast<double>(rate) * seconds);
}

void RateLimit::set(long long bytesPerSecond) {
    std::lock_guard lock(m_mutex);
    refill(Clock::now()); // what was due at the old pace
    const long long rate = bytesPerSecond > 0 ? bytesPerSecond : 0;
    // Without a limit nobody waits; a limit newly set counts from now, not from what passed
    // freely before it.
    if (rate == 0 || m_rate.load() == 0)
        m_granted = m_asked;
    m_rate = rate;
}

std::size_t RateLimit::piece() const {
    const long long rate = m_rate.load();
    if (rate <= 0)
        return static_cast<std::size_t>(-1);
    return static_cast<std::size_t>(std::clamp<long long>(rate / 20, 1024, 256 * 1024));
}

bool RateLimit::take(std::size_t bytes, CancelFlag& cancel, Clock::duration& held) {
    if (m_rate.load() <= 0)
        return true;
    const auto start = Clock::now();
    double ticket;
    {
        std::lock_guard lock(m_mutex);
        refill(start);
        m_asked += static_cast<double>(bytes);
        ticket = m_asked;
    }
    bool ok = true;
    for (;;) {
        std::chrono::nanoseconds wait{};
        {
            std::lock_guard lock(m_mutex);
            refill(Clock::now());
            const long long rate = m_rate.load();
            if (rate <= 0 || m_granted >= ticket)
                break;
            wait = std::chrono::nanoseconds(
                static_cast<long long>((ticket - m_granted) * 1e9 / static_cast<double>(rate)) + 1);
        }
        const auto slice = std::min<std::chrono::nanoseconds>(wait, kSlice);
        if (cancel.waitFor(slice)) {
            ok = false;
            break;
        }
    }
    held += Clock::now() - start;
    return ok;
}

} // namespace vxdl
