#include "app/DesktopReveal.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDesktopServices>
#include <QFileInfo>
#include <QUrl>

#include "platform/log/Log.h"

namespace zimlo::app {
namespace {

void openContainingFolder(const QString& path) {
    const QString folder = QFileInfo(path).absolutePath();
    if (!QDesktopServices::openUrl(QUrl::fromLocalFile(folder))) {
        ZIMLO_LOG_WARN("app") << "no program opens the folder " << folder.toStdString();
    }
}

}  // namespace

void revealInFileManager(const std::filesystem::path& file) {
    const QString path = QString::fromStdString(file.string());
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        openContainingFolder(path);
        return;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.FileManager1"),
        QStringLiteral("/org/freedesktop/FileManager1"),
        QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("ShowItems"));
    call << QStringList{QUrl::fromLocalFile(path).toString(QUrl::FullyEncoded)} << QString();
    // Asynchronous, so that a slow file manager never stalls the window.
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call, 5000));
    QObject::connect(
        watcher, &QDBusPendingCallWatcher::finished, [path](QDBusPendingCallWatcher* w) {
            if (w->isError()) {
                ZIMLO_LOG_INFO("app")
                    << "the file manager does not show " << path.toStdString() << " ("
                    << w->error().message().toStdString() << "); opening its folder instead";
                openContainingFolder(path);
            }
            w->deleteLater();
        });
}

}  // namespace zimlo::app
