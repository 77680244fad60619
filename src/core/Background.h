#pragma once
// Heavy work off the main thread: runInBackground runs `work` on a thread of its own and then
// `then` with its result on the main thread (through vx::mainThread()). The main thread is
// never blocked; the continuation runs later, like an HTTP worker's completion. `work` must
// not touch shared state.

#include <functional>
#include <memory>
#include <system_error>
#include <thread>
#include <utility>

#include "core/MainThread.h"

namespace vx {

namespace detail {
void backgroundStarted();
void backgroundHandedBack();
// Throws std::system_error as std::thread does when the system gives no thread: for tests,
// the next `count` calls fail so (failThreadStartsForTests).
void checkThreadStart();
} // namespace detail

// Jobs started whose continuation has not yet run on the main thread.
int backgroundJobsRunning();

// FOR TESTS ONLY: the next `count` thread starts of runInBackground and the digest pool fail as
// when the system has no thread left.
void failThreadStartsForTests(int count);

// When the system gives no thread, the work runs on the calling thread instead (a pause, but
// the operation ends as it would): `then` still comes later, from the main thread's queue.
template <typename Work, typename Then>
void runInBackground(Work work, Then then) {
    detail::backgroundStarted();
    auto job = [work = std::move(work), then = std::move(then)]() mutable {
        auto result = std::make_shared<decltype(work())>(work());
        mainThread().post([then = std::move(then), result]() mutable {
            detail::backgroundHandedBack();
            then(std::move(*result));
        });
    };
    auto shared = std::make_shared<decltype(job)>(std::move(job));
    try {
        detail::checkThreadStart();
        std::thread([shared] { (*shared)(); }).detach();
    } catch (const std::system_error&) {
        (*shared)();
    }
}

} // namespace vx
