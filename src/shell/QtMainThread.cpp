#include "shell/QtMainThread.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>

namespace vx::shell {

void QtMainThread::post(Call call) {
    QMetaObject::invokeMethod(QCoreApplication::instance(), std::move(call), Qt::QueuedConnection);
}

void QtMainThread::invoke(Call call) {
    if (isMainThread()) {
        call();
        return;
    }
    QMetaObject::invokeMethod(QCoreApplication::instance(), std::move(call),
                              Qt::BlockingQueuedConnection);
}

bool QtMainThread::isMainThread() const {
    return QThread::currentThread() == QCoreApplication::instance()->thread();
}

} // namespace vx::shell
