#pragma once
// The main-thread hand-over on Qt's event loop: queued and blocking-queued invocation on the
// application object's thread.

#include "core/MainThread.h"

namespace vx::shell {

class QtMainThread : public MainThread {
public:
    void post(Call call) override;
    void invoke(Call call) override;
    bool isMainThread() const override;
};

} // namespace vx::shell
