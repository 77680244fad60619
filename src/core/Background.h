#pragma once
// Heavy work off the main thread: runInBackground runs `work` on a thread of its own and then
// `then` with its result on the main thread (through vx::mainThread()). The main thread is
// never blocked; the continuation runs later, like an HTTP worker's completion. `work` must
// not touch shared state.

#include <functional>
#include <memory>
#include <thread>
#include <utility>

#include "core/MainThread.h"

namespace vx {

namespace detail {
void backgroundStarted();
void backgroundHandedBack();
} // namespace detail

// Jobs started whose continuation has not yet run on the main thread.
int backgroundJobsRunning();

template <typename Work, typename Then>
void runInBackground(Work work, Then then) {
    detail::backgroundStarted();
    std::thread([work = std::move(work), then = std::move(then)]() mutable {
        auto result = std::make_shared<decltype(work())>(work());
        mainThread().post([then = std::move(then), result]() mutable {
            detail::backgroundHandedBack();
            then(std::move(*result));
        });
    }).detach();
}

} // namespace vx
