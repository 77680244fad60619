#pragma once
// Pumps Qt's loop until pred() holds, or a generous guard against hangs passes (then false).

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>

#include <functional>

namespace shelltest {

inline bool pumpUntil(const std::function<bool()>& pred, int guardMs = 30000) {
    QElapsedTimer t;
    t.start();
    while (!pred()) {
        if (t.elapsed() > guardMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return true;
}

} // namespace shelltest
