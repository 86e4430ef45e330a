#pragma once

#include <QThread>

#include "platform/runtime/MainQueue.h"

namespace zimlo {

// The main queue bound to Qt's event loop (the application's GUI thread).
class QtMainQueue : public MainQueueBackend {
  public:
    // Must be created after the QCoreApplication, on its thread.
    QtMainQueue();

    void post(Task task) override;
    void postAfter(std::chrono::milliseconds delay, Task task) override;
    bool isMainThread() const override;

  private:
    QThread* mainThread_;
};

}  // namespace zimlo
