#include "app/DesktopReveal.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDesktopServices>
#include <QFileInfo>
#include <QProcess>
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

void openWithDefaultApplication(const std::filesystem::path& file,
                                const std::function<void(const QString& problem)>& failed) {
    const QString path = QString::fromStdString(file.string());
    // Not parented: the player may outlive the window (xdg-open waits for it on some desktops),
    // and a process object going away would end it.
    auto* process = new QProcess;
    process->setProgram(QStringLiteral("xdg-open"));
    process->setArguments({path});
    process->setStandardInputFile(QProcess::nullDevice());
    process->setStandardOutputFile(QProcess::nullDevice());
    auto report = [failed, path](const std::string& why) {
        ZIMLO_LOG_WARN("desktop") << "opening " << path.toStdString() << " failed: " << why;
        if (failed)
            failed(QCoreApplication::translate(
                       "DesktopReveal",
                       "没有可以打开这个视频的应用。请安装视频播放器，或用“在文件夹中显示”"
                       "找到文件：%1")
                       .arg(path));
    };
    QObject::connect(
        process, &QProcess::errorOccurred, process,
        [process, report](QProcess::ProcessError error) {
            if (error != QProcess::FailedToStart) return;
            report("xdg-open could not be started: " + process->errorString().toStdString());
            process->deleteLater();
        });
    QObject::connect(process, &QProcess::finished, process,
                     [process, report](int code, QProcess::ExitStatus status) {
                         // xdg-open: 3 no tool for the type, 4 the action failed.
                         if (status != QProcess::NormalExit || code != 0)
                             report("xdg-open ended with " + std::to_string(code) + ": " +
                                    process->readAllStandardError().trimmed().toStdString());
                         process->deleteLater();
                     });
    process->start();
}

}  // namespace zimlo::app
