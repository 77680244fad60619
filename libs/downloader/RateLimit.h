#pragma once
// The library's bandwidth limit (DownLoaderSetRateLimit): one budget of body bytes per
// second that every transfer of every call draws from, whatever thread it runs on.
//
// A transfer asks for each piece of body before it writes it, and waits its turn: the
// pieces of all transfers are granted in the order they were asked for, at the limit's
// pace, and time in which nobody asked is not saved up for a burst later. So no byte is
// written before its time: a file of S bytes alone under a limit of R takes at least S / R.
// A change of the limit applies to the waiting pieces at once (the waits are sliced).

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>

namespace vxdl {

class CancelFlag;

class RateLimit {
public:
    using Clock = std::chrono::steady_clock;

    // The one limit of the library.
    static RateLimit& shared();

    // Bytes per second; 0 or less: no limit.
    void set(long long bytesPerSecond);
    // 0 when there is no limit.
    long long bytesPerSecond() const { return m_rate.load(); }
    // How many bytes a transfer lets pass as one piece under the present limit (about a
    // twentieth of a second's worth), so that the bytes of a big read come out evenly.
    std::size_t piece() const;
    // Waits until `bytes` more may pass (at once without a limit). False when `cancel` was
    // set meanwhile (the bytes then count as passed). The time waited is added to `held`.
    bool take(std::size_t bytes, CancelFlag& cancel, Clock::duration& held);

private:
    // Grants what the time since the last look allows, never more than was asked for.
    void refill(Clock::time_point now);

    std::atomic<long long> m_rate{0};
    std::mutex m_mutex;
    double m_asked = 0;   // bytes asked for, all transfers together
    double m_granted = 0; // bytes of those let pass so far
    Clock::time_point m_last = Clock::now();
};

} // namespace vxdl
