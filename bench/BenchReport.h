#pragma once
// Helpers for benchmark programs: timing and the one result-row format that bench/run-all
// collects into a table.

#include <chrono>
#include <cstdio>
#include <string>

namespace vxbench {

// Seconds taken by fn().
template <typename Fn>
double seconds(Fn&& fn) {
    auto t0 = std::chrono::steady_clock::now();
    fn();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// Best of `runs` timings of fn(), in seconds.
template <typename Fn>
double bestOf(int runs, Fn&& fn) {
    double best = 1e300;
    for (int i = 0; i < runs; ++i) {
        double s = seconds(fn);
        if (s < best)
            best = s;
    }
    return best;
}

// One row: our figure, the baseline's figure measured in the same run, their unit, and
// the ratio ours / baseline (for throughputs above 1 is better; for times below 1 is).
inline void report(const std::string& measure, double ours, double baseline,
                   const std::string& unit) {
    std::printf("BENCH\t%s\t%.3f\t%.3f\t%s\t%.3f\n", measure.c_str(), ours, baseline,
                unit.c_str(), baseline != 0 ? ours / baseline : 0.0);
    std::fflush(stdout);
}

} // namespace vxbench
