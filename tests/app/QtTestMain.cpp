#include <gtest/gtest.h>

#include <QApplication>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QEvent>
#include <QPixmap>
#include <cstring>
#include <memory>

#include "app/QtTestSupport.h"
#include "platform/runtime/MainQueue.h"
#include "platform/runtime/QtMainQueue.h"

#ifdef ZIMLO_QT_TEST_XVFB
#include "support/env/XvfbServer.h"
#endif

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

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    bool listing = false;
    for (int i = 1; i < argc; ++i) listing = listing || std::strcmp(argv[i], "--gtest_list_tests") == 0;

#ifdef ZIMLO_QT_TEST_XVFB
    // A private X server, so tests see real windows and never touch the user's desktop.
    std::unique_ptr<zimlo::test::XvfbServer> xvfb;
    if (!listing) {
        xvfb = std::make_unique<zimlo::test::XvfbServer>("1920x1080x24");
        xvfb->exportDisplay();
        qputenv("QT_QPA_PLATFORM", "xcb");
    } else {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
#else
    (void)listing;
    qputenv("QT_QPA_PLATFORM", "offscreen");
#endif
    // Keep the desktop's settings programs out of the tests.
    qputenv("XDG_CURRENT_DESKTOP", "");

    int result = 0;
    {
        QApplication app(argc, argv);
        zimlo::MainQueue::install(std::make_shared<zimlo::QtMainQueue>());
        result = RUN_ALL_TESTS();
        zimlo::qttest::settle();
    }
    return result;
}
