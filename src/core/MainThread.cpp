#include "core/MainThread.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <future>

namespace vx {

namespace {
std::atomic<MainThread*> g_mainThread{nullptr};
}

void setMainThread(MainThread* mainThread) { g_mainThread.store(mainThread); }

MainThread& mainThread() {
    MainThread* m = g_mainThread.load();
    if (!m) {
        std::fputs("vx::mainThread(): no main thread was set\n", stderr);
        std::abort();
    }
    return *m;
}

bool postToMainThread(MainThread::Call call) {
    MainThread* m = g_mainThread.load();
    if (!m)
        return false;
    m->post(std::move(call));
    return true;
}

LoopMainThread::LoopMainThread() : m_owner(std::this_thread::get_id()) {}

bool LoopMainThread::isMainThread() const { return std::this_thread::get_id() == m_owner; }

void LoopMainThread::post(Call call) {
    // Notified under the lock: once the owner has taken the call it may destroy the loop, so
    // the poster must not touch the condition variable after releasing the mutex.
    std::lock_guard lock(m_mutex);
    m_queue.push_back(std::move(call));
    m_cv.notify_all();
}

void LoopMainThread::invoke(Call call) {
    if (isMainThread()) {
        call();
        return;
    }
    std::promise<void> done;
    auto future = done.get_future();
    post([&call, &done] {
        try {
            call();
            done.set_value();
        } catch (...) {
            done.set_exception(std::current_exception());
        }
    });
    future.get();
}

int LoopMainThread::processPending() {
    int count = 0;
    for (;;) {
        Call call;
        {
            std::lock_guard lock(m_mutex);
            if (m_queue.empty())
                return count;
            call = std::move(m_queue.front());
            m_queue.pop_front();
        }
        call();
        ++count;
    }
}

bool LoopMainThread::runUntil(const std::function<bool()>& pred,
                              std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        processPending();
        if (pred())
            return true;
        std::unique_lock lock(m_mutex);
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        m_cv.wait_until(lock, std::min(deadline, std::chrono::steady_clock::now() +
                                                     std::chrono::milliseconds(50)),
                        [this] { return !m_queue.empty(); });
    }
}

void LoopMainThread::runFor(std::chrono::milliseconds duration) {
    runUntil([] { return false; }, duration);
}

} // namespace vx
