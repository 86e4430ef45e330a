#include "platform/runtime/QtMainQueue.h"

#include <QCoreApplication>
#include <QTimer>
#include <stdexcept>

namespace zimlo {

QtMainQueue::QtMainQueue() {
    if (!QCoreApplication::instance())
        throw std::logic_error("QtMainQueue needs a QCoreApplication");
    mainThread_ = QCoreApplication::instance()->thread();
}

void QtMainQueue::post(Task task) {
    QMetaObject::invokeMethod(QCoreApplication::instance(), std::move(task), Qt::QueuedConnection);
}

void QtMainQueue::postAfter(std::chrono::milliseconds delay, Task task) {
    // Timers belong to the thread that starts them, so start this one on the main thread.
    post([delay, task = std::move(task)]() mutable {
        QTimer::singleShot(delay, QCoreApplication::instance(), std::move(task));
    });
}

bool QtMainQueue::isMainThread() const { return QThread::currentThread() == mainThread_; }

}  // namespace zimlo
