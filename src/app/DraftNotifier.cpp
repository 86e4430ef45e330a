#include "app/DraftNotifier.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QPointer>
#include <QVariantMap>

#include "app/DraftFormatting.h"
#include "platform/log/Log.h"

namespace zimlo::app {
namespace {

const QString kService = QStringLiteral("org.freedesktop.Notifications");
const QString kPath = QStringLiteral("/org/freedesktop/Notifications");

}  // namespace

DraftNotifier::DraftNotifier(QDBusConnection bus) : bus_(std::move(bus)) {
    if (!bus_.isConnected()) return;
    bus_.connect(kService, kPath, kService, QStringLiteral("ActionInvoked"), this,
                 SLOT(actionInvoked(uint, QString)));
    bus_.connect(kService, kPath, kService, QStringLiteral("NotificationClosed"), this,
                 SLOT(notificationClosed(uint, uint)));
}

void DraftNotifier::notifySaved(const RecordingProject& project, std::function<void()> open) {
    if (!bus_.isConnected()) {
        ZIMLO_LOG_WARN("notify") << "no session bus: the saved draft is not announced";
        return;
    }
    QDBusMessage call =
        QDBusMessage::createMethodCall(kService, kPath, kService, QStringLiteral("Notify"));
    const QString body = tr("%1，时长 %2")
                             .arg(draftTitle(toQDateTime(project.createdAt)),
                                  durationBadgeText(project.duration).trimmed());
    call << QStringLiteral("Zimlo") << uint(0) << QStringLiteral("video-x-generic")
         << tr("已保存草稿") << body
         << QStringList{QStringLiteral("default"), tr("打开"), QStringLiteral("open"), tr("打开")}
         << QVariantMap() << int(-1);
    auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(call, 5000), this);
    QPointer<DraftNotifier> self(this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [self, open = std::move(open)](QDBusPendingCallWatcher* w) {
                QDBusPendingReply<uint> reply = *w;
                w->deleteLater();
                if (reply.isError()) {
                    ZIMLO_LOG_WARN("notify") << "announcing the saved draft failed: "
                                             << reply.error().message().toStdString();
                    return;
                }
                if (self) self->opens_[reply.value()] = open;
            });
}

void DraftNotifier::actionInvoked(uint id, const QString& action) {
    auto found = opens_.find(id);
    if (found == opens_.end()) return;  // another program's notification
    if (action == QStringLiteral("default") || action == QStringLiteral("open")) {
        auto open = found->second;
        opens_.erase(found);
        if (open) open();
    }
}

void DraftNotifier::notificationClosed(uint id, uint) { opens_.erase(id); }

}  // namespace zimlo::app
