#pragma once
// Hand-over of work to the main thread.
//
// The main thread owns all shared state. Worker threads (HTTP workers, the link server,
// the downloader) never touch it directly: they hand a call to the main thread, either
// fire-and-forget (post) or synchronously (invoke, which waits until the call has run).
// The shell implements this with Qt's queued invocation; tests use LoopMainThread.

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace vx {

class MainThread {
public:
    using Call = std::function<void()>;
    virtual ~MainThread() = default;

    // Queues the call to run on the main thread and returns at once.
    virtual void post(Call call) = 0;
    // Runs the call on the main thread and returns when it has run. Called on the main
    // thread itself, it runs the call directly.
    virtual void invoke(Call call) = 0;
    // True when the calling thread is the main thread.
    virtual bool isMainThread() const = 0;
};

// The process-wide hand-over, set once at start (by the shell or by a test).
void setMainThread(MainThread* mainThread);
// The hand-over set by setMainThread; aborts when none was set.
MainThread& mainThread();
// Posts the call when a main thread is set; false (and the call dropped) when none is. For
// the helper libraries' callbacks, which may come from their threads at any time.
bool postToMainThread(MainThread::Call call);

// A main thread driven by a loop that its owner pumps: the thread that constructs it is the
// main thread. Used by tests and command-line tools.
class LoopMainThread : public MainThread {
public:
    LoopMainThread();
    void post(Call call) override;
    void invoke(Call call) override;
    bool isMainThread() const override;

    // Runs every queued call (including ones queued while running), then returns the count.
    int processPending();
    // Runs queued calls until pred() is true or the timeout passes; true when pred() held.
    bool runUntil(const std::function<bool()>& pred,
                  std::chrono::milliseconds timeout = std::chrono::seconds(30));
    // Runs queued calls for the given time.
    void runFor(std::chrono::milliseconds duration);

private:
    std::thread::id m_owner;
    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::deque<Call> m_queue;
};

} // namespace vx
