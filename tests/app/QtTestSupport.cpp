#include "app/QtTestSupport.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QEvent>
#include <QGuiApplication>
#include <QPixmap>

namespace zimlo::qttest {

bool pumpUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    QDeadlineTimer deadline(timeout.count());
    while (!done()) {
        if (deadline.hasExpired()) return done();
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    return true;
}

void pumpFor(std::chrono::milliseconds duration) {
    QDeadlineTimer deadline(duration.count());
    while (!deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
}

void settle() {
    for (int i = 0; i < 5; ++i) {
        QCoreApplication::processEvents();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
}

QString screenshotDirectory() {
    const QString dir = QStringLiteral(ZIMLO_BINARY_DIR "/screenshots");
    QDir().mkpath(dir);
    return dir;
}

bool saveScreenshot(QWidget* widget, const QString& name) {
    settle();
    return widget->grab().save(screenshotDirectory() + QLatin1Char('/') + name, "PNG");
}

bool onXServer() { return QGuiApplication::platformName() == QLatin1String("xcb"); }

}  // namespace zimlo::qttest
