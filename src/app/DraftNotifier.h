#pragma once

#include <QDBusConnection>
#include <QObject>
#include <functional>
#include <map>

#include "model/RecordingProject.h"

namespace zimlo::app {

// Announces a saved draft on the desktop ("已保存草稿", org.freedesktop.Notifications) with an
// action that opens it. Without a notification service nothing is shown; that is logged once
// per failure and never in the user's way.
class DraftNotifier : public QObject {
    Q_OBJECT
  public:
    explicit DraftNotifier(QDBusConnection bus = QDBusConnection::sessionBus());

    // Shows the notice for `project`; `open` runs when the user picks it or its "打开" action.
    void notifySaved(const RecordingProject& project, std::function<void()> open);

  private slots:
    void actionInvoked(uint id, const QString& action);
    void notificationClosed(uint id, uint reason);

  private:
    QDBusConnection bus_;
    std::map<uint, std::function<void()>> opens_;  // by notification id, until it is closed
};

}  // namespace zimlo::app
